#include "form/TimelineChartModel.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <utility>

namespace chart {

namespace {

constexpr double kMB = 1048576;
constexpr std::int64_t kLiveRepaintMs = 100;
constexpr Rgb kWhite = 0xffffff;
constexpr Rgb kRate = 0x1f5fb4;
constexpr Rgb kCache = 0xd96500;
constexpr Rgb kAverage = 0x505050;
constexpr Rgb kFlush = 0xa02020;
constexpr Rgb kAxis = 0x404040;
constexpr Rgb kGrid = 0xe2e2e2;
constexpr Rgb kBand = 0xf5eaea;
// Parts of the font size above and below the baseline that a label's
// glyphs take.
constexpr double kAscent = 0.75;
constexpr double kDescent = 0.2;

// 1, 2, 2.5 or 5 times a power of ten, at least v.
double NiceCeil(double v) {
  if (!(v > 0)) return 1;
  const double p = std::pow(10.0, std::floor(std::log10(v)));
  for (double m : {1.0, 2.0, 2.5, 5.0, 10.0})
    if (m * p >= v * (1 - 1e-9)) return m * p;
  return 10 * p;
}

struct Axis {
  double step = 1;
  double max = 1;
};

// About five ticks from 0 to at least v.
Axis AxisFor(double v) {
  Axis a;
  a.step = NiceCeil(std::max(v, 1e-9) / 5);
  a.max = std::max(a.step, std::ceil(v / a.step - 1e-9) * a.step);
  return a;
}

std::string Format(const char* format, double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, format, v);
  return buf;
}

std::string Number(double v) { return Format("%.6g", v); }

// Where a moment of the run lies on the offset axis: between slices by
// their times; after the run's end (the flushes) at the run's average rate.
class OffsetOf {
 public:
  explicit OffsetOf(const std::vector<TimelineSlice>& slices) : slices_(slices) {
    if (!slices.empty() && slices.back().tNs > 0)
      mbPerNs_ = slices.back().offset / kMB / static_cast<double>(slices.back().tNs);
  }
  double operator()(std::int64_t t) const {
    if (slices_.empty() || t <= 0) return 0;
    const TimelineSlice& last = slices_.back();
    if (t >= last.tNs) return last.offset / kMB + static_cast<double>(t - last.tNs) * mbPerNs_;
    const auto it =
        std::lower_bound(slices_.begin(), slices_.end(), t,
                         [](const TimelineSlice& s, std::int64_t v) { return s.tNs < v; });
    const TimelineSlice before = it == slices_.begin() ? TimelineSlice{} : *(it - 1);
    const double span = static_cast<double>(it->tNs - before.tNs);
    const double f = span > 0 ? static_cast<double>(t - before.tNs) / span : 1;
    return (before.offset + f * static_cast<double>(it->offset - before.offset)) / kMB;
  }

 private:
  const std::vector<TimelineSlice>& slices_;
  double mbPerNs_ = 0;
};

// The texts placed so far, so that the next one goes where none is.
class Labels {
 public:
  Labels(Scene& scene, const TextWidth& width) : scene_(scene), width_(width) {}
  Rect Bounds(const Text& t) const { return TextBounds(t, scene_.fontPixels, width_); }
  bool Fits(const Text& t, const Rect& within) const {
    const Rect b = Bounds(t);
    if (!b.Inside(within)) return false;
    for (const Text& other : scene_.texts)
      if (b.Overlaps(Bounds(other))) return false;
    return true;
  }
  // Adds the first candidate that fits; false when none does.
  bool Place(std::initializer_list<Text> candidates, const Rect& within) {
    for (const Text& t : candidates) {
      if (!Fits(t, within)) continue;
      scene_.texts.push_back(t);
      return true;
    }
    return false;
  }
  double Width(const std::string& s) const { return width_(s); }

 private:
  Scene& scene_;
  const TextWidth& width_;
};

}  // namespace

bool Rect::Overlaps(const Rect& o) const {
  constexpr double e = 1e-6;
  return left < o.right - e && o.left < right - e && top < o.bottom - e && o.top < bottom - e;
}

bool Rect::Inside(const Rect& o) const {
  constexpr double e = 1e-6;
  return left >= o.left - e && right <= o.right + e && top >= o.top - e && bottom <= o.bottom + e;
}

double MinimumWidth(double f) { return std::max(320.0, f * 25); }
double MinimumHeight(double f) { return std::max(160.0, f * 12); }

TextWidth EstimatedWidth(double fontPixels) {
  return [fontPixels](const std::string& s) {
    // Characters, not bytes: UTF-8 continuation bytes take no room.
    const auto n = std::count_if(
        s.begin(), s.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xc0) != 0x80; });
    return static_cast<double>(n) * fontPixels * 0.6;
  };
}

Rect TextBounds(const Text& t, double f, const TextWidth& width) {
  const double w = width(t.text);
  const double left = t.align < 0 ? t.at.x : t.align == 0 ? t.at.x - w / 2 : t.at.x - w;
  return {left, t.at.y - f * kAscent, left + w, t.at.y + f * kDescent};
}

Scene BuildScene(const Timeline& timeline, double width, double height, double f,
                 const TextWidth& textWidth) {
  Scene scene;
  scene.width = width;
  scene.height = height;
  scene.fontPixels = f;
  const Rect all{0, 0, width, height};
  scene.boxes.push_back({all, kWhite, kNone});
  Labels labels(scene, textWidth);
  const auto& slices = timeline.slices;

  // The legend first: it wraps into as many rows as the width needs, and
  // the plot starts below them.
  // Each entry with its texts, longest first; kNone: no sample line.
  std::vector<std::pair<Rgb, std::vector<std::string>>> legend;
  std::vector<std::pair<std::int64_t, double>> cache;
  if (!slices.empty()) {
    // Dirty + writeback: every sample once the run is over, the figure at
    // each slice's end while it goes on.
    if (timeline.cacheFigures) {
      if (timeline.finished && !timeline.samples.empty()) {
        for (const CacheSample& c : timeline.samples)
          cache.emplace_back(std::max<std::int64_t>(0, c.tNs),
                             (c.dirtyKiB + c.writebackKiB) / 1024.0);
      } else {
        for (const TimelineSlice& s : slices)
          if (s.dirtyKiB != kNoFigure)
            cache.emplace_back(s.tNs, (s.dirtyKiB + s.writebackKiB) / 1024.0);
      }
    }
    legend.push_back(
        {kRate, {timeline.writing ? "written, MB/s per slice" : "read, MB/s per slice"}});
    if (!cache.empty()) legend.push_back({kCache, {"dirty + writeback, MB (right)"}});
    if (!timeline.flushes.empty()) legend.push_back({kFlush, {"flush start, end"}});
    if (!timeline.finished) legend.push_back({kAverage, {"running..."}});
    if (!timeline.cacheFigures)
      legend.push_back({kNone,
                        {"This system gives no dirty-cache figures.", "no dirty-cache figures here",
                         "no dirty figures"}});
  }

  // The axes' labels set the margins: the rate's on the left, the cache's
  // on the right.
  double rateMax = std::max(timeline.averageMBps, timeline.averageWithFlushMBps);
  for (std::size_t i = 0; i < slices.size(); ++i)
    rateMax = std::max(rateMax, timeline.SliceMBps(i).value_or(0));
  const Axis rate = AxisFor(rateMax * 1.05);
  double cacheMax = 0;
  for (const auto& [t, mb] : cache) cacheMax = std::max(cacheMax, mb);
  const Axis cacheAxis = AxisFor(cacheMax * 1.05);
  double leftMargin = f * 4.5, rightMargin = f * 5;
  for (double v = 0; v < rate.max + rate.step / 2; v += rate.step)
    leftMargin = std::max(leftMargin, labels.Width(Number(v)) + f * 0.8);
  if (!cache.empty())
    for (double v = 0; v < cacheAxis.max + cacheAxis.step / 2; v += cacheAxis.step)
      rightMargin = std::max(rightMargin, labels.Width(Number(v)) + f * 0.8);

  struct Placed {
    double x;
    int row;
    std::string text;
  };
  std::vector<Placed> at;
  {
    const double start = leftMargin + f, end = width - f * 0.5;
    double x = start;
    int row = 0;
    for (const auto& [colour, texts] : legend) {
      const double sample = colour == kNone ? 0 : f * 2;
      auto fitting = [&](double from) -> const std::string* {
        for (const std::string& t : texts)
          if (from + sample + labels.Width(t) <= end) return &t;
        return nullptr;
      };
      const std::string* text = fitting(x);
      if (!text && x > start) {
        x = start;
        ++row;
        text = fitting(x);
      }
      if (!text) text = &texts.back();
      at.push_back({x, row, *text});
      x += sample + labels.Width(*text) + f * 0.6;
    }
  }
  const int legendRows = at.empty() ? 1 : at.back().row + 1;

  const Rect plot{leftMargin, f * (2.4 + 1.2 * (legendRows - 1)), width - rightMargin,
                  height - f * 3};
  if (plot.Width() < f * 4 || plot.Height() < f * 2) return scene;
  const Point centre{(plot.left + plot.right) / 2, (plot.top + plot.bottom) / 2};

  if (slices.empty()) {
    scene.boxes.push_back({plot, kNone, kGrid});
    const Rect inside{f * 0.5, plot.top, width - f * 0.5, plot.bottom};
    const std::string first = "The next Write or Read run", second = "draws its timeline here.";
    if (!labels.Place({{{centre.x, centre.y}, first + " " + second, kAxis, 0}}, inside)) {
      labels.Place({{{centre.x, centre.y - f * 0.6}, first, kAxis, 0}}, inside);
      labels.Place({{{centre.x, centre.y + f * 0.6}, second, kAxis, 0}}, inside);
    }
    return scene;
  }

  // The domain: the file's offsets, then the flushes after them.
  const OffsetOf offsetOf(slices);
  const double runMB = slices.back().offset / kMB;
  std::int64_t endNs = timeline.EndNs();
  if (timeline.finished && !timeline.samples.empty())
    endNs = std::max(endNs, timeline.samples.back().tNs);
  const double xMax = std::max(offsetOf(endNs), std::max(runMB, 1e-6));
  auto X = [&](double mb) { return plot.left + mb / xMax * plot.Width(); };
  auto YRate = [&](double v) { return plot.bottom - v / rate.max * plot.Height(); };
  auto YCache = [&](double v) { return plot.bottom - v / cacheAxis.max * plot.Height(); };

  // The flushes' band, beyond the file's end.
  const double runRight = X(runMB);
  if (plot.right - runRight > 1)
    scene.boxes.push_back({{runRight, plot.top, plot.right, plot.bottom}, kBand, kNone});

  for (double v = rate.step; v < rate.max + rate.step / 2; v += rate.step)
    scene.lines.push_back({{{plot.left, YRate(v)}, {plot.right, YRate(v)}}, kGrid, 1, false});
  // Tick labels at every tick the height leaves room for; 0 always.
  const Rect panel = all;
  auto every = [&](double stepPixels, double room) {
    return std::max(1, static_cast<int>(std::ceil(room / std::max(stepPixels, 1e-9) - 1e-9)));
  };
  const int rateEvery = every(plot.Height() * rate.step / rate.max, f * 1.05);
  int tick = 0;
  for (double v = 0; v < rate.max + rate.step / 2; v += rate.step, ++tick)
    if (tick % rateEvery == 0)
      labels.Place({{{plot.left - f * 0.4, YRate(v) + f * 0.35}, Number(v), kAxis, 1}}, panel);
  if (!cache.empty()) {
    const int cacheEvery = every(plot.Height() * cacheAxis.step / cacheAxis.max, f * 1.05);
    tick = 0;
    for (double v = 0; v < cacheAxis.max + cacheAxis.step / 2; v += cacheAxis.step, ++tick)
      if (tick % cacheEvery == 0)
        labels.Place({{{plot.right + f * 0.4, YCache(v) + f * 0.35}, Number(v), kCache, -1}},
                     panel);
  }
  const Axis xAxis = AxisFor(runMB / 1.2);
  const double widest = labels.Width(Number(xAxis.max));
  const int xEvery = every(plot.Width() * xAxis.step / xMax, widest + f);
  tick = 0;
  for (double v = 0; v <= runMB * (1 + 1e-9); v += xAxis.step, ++tick) {
    scene.lines.push_back({{{X(v), plot.bottom}, {X(v), plot.bottom + f * 0.3}}, kAxis, 1, false});
    if (tick % xEvery == 0)
      labels.Place({{{X(v), plot.bottom + f * 1.3}, Number(v), kAxis, 0}}, panel);
  }
  const Point title{centre.x, height - f * 0.5};
  if (timeline.flushes.empty())
    labels.Place({{title, "file offset (MB)", kAxis, 0}}, panel);
  else
    labels.Place({{title, "file offset (MB), then the flushes at the run's average rate", kAxis, 0},
                  {title, "file offset (MB), then the flushes", kAxis, 0},
                  {title, "file offset (MB)", kAxis, 0}},
                 panel);
  labels.Place({{{plot.left - f * 0.4, plot.top - f * 0.6}, "MB/s", kAxis, 1}}, panel);

  // Each slice at its own rate, from its start to its end.
  Line rates{{}, kRate, 1, false};
  double from = 0;
  for (std::size_t i = 0; i < slices.size(); ++i) {
    const double to = slices[i].offset / kMB;
    const double y = YRate(timeline.SliceMBps(i).value_or(0));
    rates.points.push_back({X(from), y});
    rates.points.push_back({X(to), y});
    from = to;
  }
  scene.lines.push_back(std::move(rates));

  if (!cache.empty()) {
    Line line{{}, kCache, 1, false};
    for (const auto& [t, mb] : cache) line.points.push_back({X(offsetOf(t)), YCache(mb)});
    if (line.points.size() == 1)
      line.points.push_back({line.points.front().x + 1, line.points.front().y});
    scene.lines.push_back(std::move(line));
  }

  // The legend, above the plot.
  for (std::size_t i = 0; i < legend.size(); ++i) {
    const Rgb colour = legend[i].first;
    const std::string& text = at[i].text;
    const double y = f * (1.2 + 1.2 * at[i].row);
    double x = at[i].x;
    if (colour != kNone) {
      scene.lines.push_back(
          {{{x, y - f * 0.3}, {x + f * 1.6, y - f * 0.3}}, colour, 1.5, colour == kFlush});
      x += f * 2;
    }
    labels.Place({{{x, y}, text, kAxis, -1}}, panel);
  }

  // The averages' labels go above and below their lines, where they fit;
  // without their words where only the figure does.
  auto average = [&](double v, const std::string& label, double labelY) {
    if (v <= 0) return;
    scene.lines.push_back({{{plot.left, YRate(v)}, {runRight, YRate(v)}}, kAverage, 1, true});
    const std::string figure = Format("%.1f", v) + " MB/s";
    const Point p{runRight - f * 0.3, YRate(v) + labelY};
    const Point left{plot.left + f * 0.3, p.y};
    labels.Place({{p, label + " " + figure, kAverage, 1},
                  {left, label + " " + figure, kAverage, -1},
                  {p, figure, kAverage, 1}},
                 plot);
  };
  average(timeline.averageMBps, timeline.averageWithFlushMBps > 0 ? "without flush" : "average",
          -f * 0.35);
  average(timeline.averageWithFlushMBps, "with flush", f * 1.1);

  // Each flush's name beside its start, one row under the other; to the
  // left of its end where the plot ends too soon.
  int row = 0;
  for (const FlushMark& m : timeline.flushes) {
    const double x0 = X(offsetOf(m.startNs)), x1 = X(offsetOf(m.endNs));
    for (double x : {x0, x1})
      scene.lines.push_back({{{x, plot.top}, {x, plot.bottom}}, kFlush, 1, true});
    const std::string what = m.kind == FlushMark::File ? "file flush" : "volume flush";
    for (int r = row; r < row + 6; ++r) {
      const double y = plot.top + f * (1.2 + 1.2 * r);
      if (labels.Place(
              {{{x0 + f * 0.3, y}, what, kFlush, -1}, {{x1 - f * 0.3, y}, what, kFlush, 1}},
              plot)) {
        row = r + 1;
        break;
      }
    }
  }

  scene.boxes.push_back({plot, kNone, kAxis});
  return scene;
}

ShownTimeline::Update ShownTimeline::Take(const Timeline& t, std::int64_t nowMs) {
  Update u;
  if (t.finished) {
    timeline_ = t;
    u.repaint = true;
    return u;
  }
  // A new run starts from nothing; during one only the newest slices are
  // copied, the last again because the run's end may move it.
  if (timeline_.finished || t.slices.size() < timeline_.slices.size()) {
    timeline_ = Timeline{};
    timeline_.slices.reserve(t.slices.capacity());
    u.newRun = true;
  }
  timeline_.writing = t.writing;
  timeline_.cacheFigures = t.cacheFigures;
  const std::size_t from = timeline_.slices.empty() ? 0 : timeline_.slices.size() - 1;
  timeline_.slices.resize(from);
  timeline_.slices.insert(timeline_.slices.end(),
                          t.slices.begin() + static_cast<std::ptrdiff_t>(from), t.slices.end());
  // A paint costs about as much as a few hundred 4 KiB blocks: during a run
  // the panel repaints ten times a second, not every frame.
  if (lastRepaintMs_ >= 0 && nowMs - lastRepaintMs_ < kLiveRepaintMs) return u;
  lastRepaintMs_ = nowMs;
  u.repaint = true;
  return u;
}

}  // namespace chart
