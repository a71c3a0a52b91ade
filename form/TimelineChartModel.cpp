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
constexpr Rgb kFileCached = 0x2e8b57;
constexpr Rgb kFileDirty = 0xd96500;
constexpr Rgb kFileWriteback = 0x8e44ad;
constexpr Rgb kSystemDirty = 0x9a7b00;
constexpr Rgb kSystemWriteback = 0x00838f;
constexpr Rgb kBackgroundLimit = 0x6a9f00;
constexpr Rgb kDirtyLimit = 0xc0392b;
constexpr Rgb kAverage = 0x505050;
constexpr Rgb kFlush = 0xa02020;
constexpr Rgb kAxis = 0x404040;
constexpr Rgb kGrid = 0xe2e2e2;
constexpr Rgb kBand = 0xf5eaea;
// Parts of the font size above and below the baseline that a label's
// glyphs take.
constexpr double kAscent = 0.75;
constexpr double kDescent = 0.2;
// A threshold further above the figures than this would flatten them: it
// is named in the legend instead of drawn.
constexpr double kThresholdReach = 3;

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

std::string Number(double v) { return Format("%.6g", v); }

// One figure of the samples over the run's time, in MB.
struct Series {
  Rgb colour;
  std::vector<std::string> names;  // longest first
  std::int64_t CacheSample::*figure;
  std::vector<std::pair<std::int64_t, double>> points;
};

struct LegendEntry {
  enum Sample { Solid, Dashed, Band, None };
  Rgb colour;
  Sample sample;
  std::vector<std::string> texts;  // longest first
};

}  // namespace

// 1, 2, 2.5 or 5 times a power of ten, at least v.
double NiceCeil(double v) {
  if (!(v > 0)) return 1;
  const double p = std::pow(10.0, std::floor(std::log10(v)));
  for (double m : {1.0, 2.0, 2.5, 5.0, 10.0})
    if (m * p >= v * (1 - 1e-9)) return m * p;
  return 10 * p;
}

std::string Format(const char* format, double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, format, v);
  return buf;
}

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

  // The cache figures, file's and system's, from the samples alone: the
  // same steps while the run goes on and after it.
  std::vector<Series> cache;
  if (timeline.fileFigures) {
    cache.push_back({kFileCached, {"file cached", "cached"}, &CacheSample::fileCachedKiB, {}});
    cache.push_back({kFileDirty, {"file dirty", "f.dirty"}, &CacheSample::fileDirtyKiB, {}});
    cache.push_back({kFileWriteback,
                     {"file writeback", "file wb", "f.wb"},
                     &CacheSample::fileWritebackKiB,
                     {}});
  }
  if (timeline.cacheFigures) {
    cache.push_back({kSystemDirty, {"system dirty", "sys dirty"}, &CacheSample::dirtyKiB, {}});
    cache.push_back(
        {kSystemWriteback, {"system writeback", "sys wb"}, &CacheSample::writebackKiB, {}});
  }
  double cacheMax = 0;
  for (Series& series : cache) {
    for (const CacheSample& c : timeline.samples) {
      const std::int64_t kib = c.*series.figure;
      if (kib == kNoFigure) continue;
      series.points.emplace_back(std::max<std::int64_t>(0, c.tNs), kib / 1024.0);
      cacheMax = std::max(cacheMax, kib / 1024.0);
    }
  }
  std::erase_if(cache, [](const Series& s) { return s.points.empty(); });
  // The kernel's thresholds, where the figures come near enough to show them.
  struct Threshold {
    Rgb colour;
    std::vector<std::string> names;
    double mb;
    bool drawn;
  };
  std::vector<Threshold> thresholds;
  if (!cache.empty()) {
    const double reach = cacheMax * kThresholdReach;
    if (timeline.backgroundLimitBytes != kNoFigure) {
      const double mb = static_cast<double>(timeline.backgroundLimitBytes) / kMB;
      thresholds.push_back({kBackgroundLimit,
                            {"background writeback threshold", "background limit", "bg limit"},
                            mb,
                            mb <= reach});
    }
    if (timeline.dirtyLimitBytes != kNoFigure) {
      const double mb = static_cast<double>(timeline.dirtyLimitBytes) / kMB;
      thresholds.push_back(
          {kDirtyLimit, {"writers' dirty threshold", "dirty limit"}, mb, mb <= reach});
    }
  }
  for (const Threshold& t : thresholds)
    if (t.drawn) cacheMax = std::max(cacheMax, t.mb);

  // The legend first, an entry for everything drawn: it wraps into as many
  // rows as the width needs, and the plot starts below them.
  std::vector<LegendEntry> legend;
  if (!slices.empty()) {
    legend.push_back({kRate,
                      LegendEntry::Solid,
                      {timeline.writing ? "written, MB/s per slice" : "read, MB/s per slice",
                       timeline.writing ? "written" : "read"}});
    for (const Series& series : cache)
      legend.push_back({series.colour, LegendEntry::Solid, series.names});
    for (const Threshold& t : thresholds) {
      if (t.drawn) {
        legend.push_back({t.colour, LegendEntry::Dashed, t.names});
      } else {
        // Off the scale: its figure in words.
        const std::string mb = Format("%.0f MB", t.mb);
        legend.push_back({kNone,
                          LegendEntry::None,
                          {t.names.front() + " " + mb + ", above", t.names.back() + " " + mb}});
      }
    }
    if (timeline.averageMBps > 0 || timeline.averageWithFlushMBps > 0)
      legend.push_back({kAverage, LegendEntry::Dashed, {"averages", "avg"}});
    if (!timeline.flushes.empty())
      legend.push_back({kFlush, LegendEntry::Band, {"flushes", "flush"}});
    if (!timeline.finished) legend.push_back({kNone, LegendEntry::None, {"running..."}});
    if (!timeline.cacheFigures)
      legend.push_back(
          {kNone,
           LegendEntry::None,
           {"This system gives no cache figures.", "no cache figures here", "no cache figures"}});
    else if (!timeline.fileFigures)
      legend.push_back({kNone,
                        LegendEntry::None,
                        {"This system gives no figures of the file's own pages.",
                         "no figures of the file's pages", "no file figures"}});
  }

  // The axes' labels set the margins: the rate's on the left, the cache's
  // on the right.
  double rateMax = std::max(timeline.averageMBps, timeline.averageWithFlushMBps);
  for (std::size_t i = 0; i < slices.size(); ++i)
    rateMax = std::max(rateMax, timeline.SliceMBps(i).value_or(0));
  const Axis rate = AxisFor(std::max(rateMax * 1.05, 1e-3));
  const Axis cacheAxis = AxisFor(std::max(cacheMax * 1.05, 1.0));
  double leftMargin = f * 4.5, rightMargin = f * (cache.empty() ? 1 : 4.5);
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
  // Each entry's longest text that fits the row, from the longest at level
  // 0 to the shortest; the first level that leaves the plot room wins.
  auto layout = [&](std::size_t level) {
    std::vector<Placed> placed;
    const double start = f * 0.5, end = width - f * 0.5;
    double x = start;
    int row = 0;
    for (const LegendEntry& entry : legend) {
      const double sample = entry.sample == LegendEntry::None ? 0 : f * 2;
      const std::size_t first = std::min(level, entry.texts.size() - 1);
      auto fitting = [&](double from) -> const std::string* {
        for (std::size_t k = first; k < entry.texts.size(); ++k)
          if (from + sample + labels.Width(entry.texts[k]) <= end) return &entry.texts[k];
        return nullptr;
      };
      const std::string* text = fitting(x);
      if (!text && x > start) {
        x = start;
        ++row;
        text = fitting(x);
      }
      if (!text) text = &entry.texts.back();
      placed.push_back({x, row, *text});
      x += sample + labels.Width(*text) + f * 0.8;
    }
    return placed;
  };
  const int roomRows = std::max(1, static_cast<int>((height - f * 9) / (f * 1.2)));
  std::vector<Placed> at;
  for (std::size_t level = 0; level < 3; ++level) {
    at = layout(level);
    if (at.empty() || at.back().row < roomRows) break;
  }
  const int legendRows = at.empty() ? 0 : at.back().row + 1;

  // The axes' titles have a row of their own between the legend and the plot.
  const Rect plot{leftMargin, f * (2.0 + 1.2 * legendRows), width - rightMargin, height - f * 3};
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

  // The legend, above the plot; a sample only beside a text that fits.
  for (std::size_t i = 0; i < legend.size(); ++i) {
    const LegendEntry& entry = legend[i];
    const double y = f * (1.2 + 1.2 * at[i].row);
    double x = at[i].x;
    const bool sample = entry.sample != LegendEntry::None;
    if (!labels.Place({{{x + (sample ? f * 2 : 0), y}, at[i].text, kAxis, -1}}, all)) continue;
    if (entry.sample == LegendEntry::Band)
      scene.boxes.push_back({{x, y - f * 0.7, x + f * 1.6, y + f * 0.1}, kBand, entry.colour});
    else if (sample)
      scene.lines.push_back({{{x, y - f * 0.3}, {x + f * 1.6, y - f * 0.3}},
                             entry.colour,
                             1.5,
                             entry.sample == LegendEntry::Dashed});
  }

  // The domain: the run's clock from its start through its flushes, in
  // seconds, or milliseconds for a short run.
  std::int64_t endNs = std::max<std::int64_t>(timeline.EndNs(), 1);
  if (!timeline.samples.empty()) endNs = std::max(endNs, timeline.samples.back().tNs);
  const bool seconds = endNs >= 2'000'000'000;
  const double unitNs = seconds ? 1e9 : 1e6;
  const double xMax = static_cast<double>(endNs) / unitNs;
  auto X = [&](std::int64_t ns) {
    return plot.left + std::clamp(static_cast<double>(ns) / unitNs / xMax, 0.0, 1.0) * plot.Width();
  };
  auto YRate = [&](double v) { return plot.bottom - v / rate.max * plot.Height(); };
  auto YCache = [&](double v) { return plot.bottom - v / cacheAxis.max * plot.Height(); };

  // Each flush's band, as long as it took; at least a pixel wide.
  for (const FlushMark& m : timeline.flushes) {
    const double x0 = X(m.startNs), x1 = std::min(plot.right, std::max(X(m.endNs), x0 + 1));
    scene.boxes.push_back({{x0, plot.top, x1, plot.bottom}, kBand, kNone});
    for (double x : {x0, x1})
      scene.lines.push_back({{{x, plot.top}, {x, plot.bottom}}, kFlush, 1, true});
  }

  for (double v = rate.step; v < rate.max + rate.step / 2; v += rate.step)
    scene.lines.push_back({{{plot.left, YRate(v)}, {plot.right, YRate(v)}}, kGrid, 1, false});
  // Tick labels at every tick the room leaves space for; 0 always.
  auto every = [&](double stepPixels, double room) {
    return std::max(1, static_cast<int>(std::ceil(room / std::max(stepPixels, 1e-9) - 1e-9)));
  };
  const int rateEvery = every(plot.Height() * rate.step / rate.max, f * 1.05);
  int tick = 0;
  for (double v = 0; v < rate.max + rate.step / 2; v += rate.step, ++tick)
    if (tick % rateEvery == 0)
      labels.Place({{{plot.left - f * 0.4, YRate(v) + f * 0.35}, Number(v), kAxis, 1}}, all);
  labels.Place({{{plot.left - f * 0.4, plot.top - f * 0.6}, "MB/s", kAxis, 1}}, all);
  if (!cache.empty()) {
    const int cacheEvery = every(plot.Height() * cacheAxis.step / cacheAxis.max, f * 1.05);
    tick = 0;
    for (double v = 0; v < cacheAxis.max + cacheAxis.step / 2; v += cacheAxis.step, ++tick)
      if (tick % cacheEvery == 0)
        labels.Place({{{plot.right + f * 0.4, YCache(v) + f * 0.35}, Number(v), kAxis, -1}}, all);
    labels.Place({{{plot.right + f * 0.4, plot.top - f * 0.6}, "MB", kAxis, -1}}, all);
  }
  const Axis xAxis = AxisFor(xMax / 1.2);
  double widest = 0;
  for (double v = 0; v <= xMax * (1 + 1e-9); v += xAxis.step)
    widest = std::max(widest, labels.Width(Number(v)));
  const int xEvery = every(plot.Width() * xAxis.step / xMax, widest + f);
  tick = 0;
  for (double v = 0; v <= xMax * (1 + 1e-9); v += xAxis.step, ++tick) {
    const double x = plot.left + v / xMax * plot.Width();
    scene.lines.push_back({{{x, plot.bottom}, {x, plot.bottom + f * 0.3}}, kAxis, 1, false});
    if (tick % xEvery == 0) labels.Place({{{x, plot.bottom + f * 1.3}, Number(v), kAxis, 0}}, all);
  }
  const Point title{centre.x, height - f * 0.5};
  const std::string unit = seconds ? "time (s)" : "time (ms)";
  if (timeline.flushes.empty())
    labels.Place({{title, unit, kAxis, 0}}, all);
  else
    labels.Place({{title, unit + ", flushes included, as they took", kAxis, 0},
                  {title, unit + ", flushes included", kAxis, 0},
                  {title, unit, kAxis, 0}},
                 all);

  // Each slice at its own rate, from its start to its end.
  Line rates{{}, kRate, 1, false};
  std::int64_t from = 0;
  for (std::size_t i = 0; i < slices.size(); ++i) {
    const auto v = timeline.SliceMBps(i);
    if (v) {
      const double y = YRate(*v);
      rates.points.push_back({X(from), y});
      rates.points.push_back({X(slices[i].tNs), y});
    }
    from = slices[i].tNs;
  }
  if (!rates.points.empty()) scene.lines.push_back(std::move(rates));

  // A sample holds until the next one; the last is drawn for its own width.
  for (const Series& series : cache) {
    Line line{{}, series.colour, 1, false};
    for (std::size_t i = 0; i < series.points.size(); ++i) {
      const double y = YCache(series.points[i].second);
      const double x = X(series.points[i].first);
      if (!line.points.empty()) line.points.push_back({x, line.points.back().y});
      line.points.push_back({x, y});
    }
    const Point last = line.points.back();
    line.points.push_back({std::min(plot.right, last.x + 1), last.y});
    scene.lines.push_back(std::move(line));
  }
  for (const Threshold& t : thresholds)
    if (t.drawn)
      scene.lines.push_back(
          {{{plot.left, YCache(t.mb)}, {plot.right, YCache(t.mb)}}, t.colour, 1, true});

  // The averages' labels go above and below their lines, where they fit;
  // without their words where only the figure does.
  const Rect inPlot{plot.left + 2, plot.top + 2, plot.right - 2, plot.bottom - 2};
  auto average = [&](double v, std::int64_t untilNs, const std::string& label, double labelY) {
    if (v <= 0) return;
    const double right = X(untilNs);
    scene.lines.push_back({{{plot.left, YRate(v)}, {right, YRate(v)}}, kAverage, 1, true});
    const std::string figure = Format("%.1f", v) + " MB/s";
    const Point p{right - f * 0.3, YRate(v) + labelY};
    const Point left{plot.left + f * 0.3, p.y};
    labels.Place({{p, label + " " + figure, kAverage, 1},
                  {left, label + " " + figure, kAverage, -1},
                  {p, figure, kAverage, 1},
                  {left, figure, kAverage, -1}},
                 inPlot);
  };
  average(timeline.averageMBps, slices.back().tNs,
          timeline.averageWithFlushMBps > 0 ? "without flush" : "average", -f * 0.35);
  average(timeline.averageWithFlushMBps, timeline.EndNs(), "with flush", f * 1.1);

  // Each flush's name beside its band, one row under the other.
  int row = 0;
  for (const FlushMark& m : timeline.flushes) {
    const double x0 = X(m.startNs), x1 = std::max(X(m.endNs), x0 + 1);
    const std::string what = m.kind == FlushMark::File ? "file flush" : "volume flush";
    for (int r = row; r < row + 6; ++r) {
      const double y = plot.top + f * (1.2 + 1.2 * r);
      if (labels.Place({{{x0 + f * 0.3, y}, what, kFlush, -1},
                        {{x1 + f * 0.3, y}, what, kFlush, -1},
                        {{x0 - f * 0.3, y}, what, kFlush, 1}},
                       inPlot)) {
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
  timeline_.fileFigures = t.fileFigures;
  timeline_.backgroundLimitBytes = t.backgroundLimitBytes;
  timeline_.dirtyLimitBytes = t.dirtyLimitBytes;
  if (t.samples.size() < timeline_.samples.size()) timeline_.samples.clear();
  timeline_.samples.insert(
      timeline_.samples.end(),
      t.samples.begin() + static_cast<std::ptrdiff_t>(timeline_.samples.size()), t.samples.end());
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
