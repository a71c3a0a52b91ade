#include "form/LatencyChartModel.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace chart {

namespace {

constexpr Rgb kWhite = 0xffffff;
constexpr Rgb kBar = 0x1f5fb4;
constexpr Rgb kAxis = 0x404040;
constexpr Rgb kGrid = 0xe2e2e2;
struct Mark {
  double percentile;
  const char* name;
  Rgb colour;
};
constexpr Mark kMarks[] = {{50, "p50", 0x2a7d2a}, {99, "p99", 0xd96500}, {99.9, "p99.9", 0xa02020}};

}  // namespace

double LatencyChart::X(double ns) const {
  const double from = std::log10(lowNs), to = std::log10(highNs);
  return plot.left + (std::log10(std::max(ns, 1e-3)) - from) / (to - from) * plot.Width();
}

std::string LatencyText(double ns) {
  if (ns < 1e3) return Format("%.3g", ns) + " ns";
  if (ns < 1e6) return Format("%.3g", ns / 1e3) + " \u00b5s";
  if (ns < 1e9) return Format("%.3g", ns / 1e6) + " ms";
  return Format("%.3g", ns / 1e9) + " s";
}

double LatencyMinimumWidth(double f) { return std::max(320.0, f * 25); }
double LatencyMinimumHeight(double f) { return std::max(180.0, f * 14); }

LatencyChart BuildLatencyChart(const Histogram& h, const std::string& title, double width,
                               double height, double f, const TextWidth& textWidth) {
  LatencyChart c;
  Scene& scene = c.scene;
  scene.width = width;
  scene.height = height;
  scene.fontPixels = f;
  const Rect all{0, 0, width, height};
  scene.boxes.push_back({all, kWhite, kNone});
  Labels labels(scene, textWidth);

  if (h.Count() == 0) {
    const Point centre{width / 2, height / 2};
    const std::string first = "Run the profile: the latency", second = "of a test shows here.";
    if (!labels.Place({{centre, first + " " + second, kAxis, 0}}, all)) {
      labels.Place({{{centre.x, centre.y - f * 0.6}, first, kAxis, 0}}, all);
      labels.Place({{{centre.x, centre.y + f * 0.6}, second, kAxis, 0}}, all);
    }
    return c;
  }

  // Whole decades around the samples, at least two of them.
  c.lowNs = std::pow(10.0, std::floor(std::log10(std::max<double>(1, h.Min()))));
  c.highNs = std::pow(10.0, std::ceil(std::log10(std::max<double>(1, h.Max()))));
  if (c.highNs < c.lowNs * 100) c.highNs = c.lowNs * 100;

  // Bins of equal width on the axis; their share of all transfers in percent.
  const double total = static_cast<double>(h.Count());
  double leftMargin = f * 3;
  const double plotWidthGuess = width - f * 1.5 - leftMargin;
  const int bins = std::clamp(static_cast<int>(plotWidthGuess / 4), 10, 400);
  const double from = std::log10(c.lowNs), span = std::log10(c.highNs) - from;
  std::vector<double> share(static_cast<std::size_t>(bins));
  for (std::size_t i = 0; i < Histogram::kBuckets; ++i) {
    const std::uint64_t n = h.BucketCount(i);
    if (n == 0) continue;
    const double middle = static_cast<double>(Histogram::Lower(i)) +
                          static_cast<double>(Histogram::Upper(i) - 1 - Histogram::Lower(i)) / 2;
    const int bin = std::clamp(
        static_cast<int>((std::log10(std::max(middle, 1.0)) - from) / span * bins), 0, bins - 1);
    share[static_cast<std::size_t>(bin)] += static_cast<double>(n) / total * 100;
  }
  const double top = *std::max_element(share.begin(), share.end());
  const double step = NiceCeil(top * 1.05 / 4);
  const double yMax = std::max(step, std::ceil(top * 1.05 / step - 1e-9) * step);
  auto percent = [](double v) { return Format("%.6g", v) + "%"; };
  for (double v = 0; v < yMax + step / 2; v += step)
    leftMargin = std::max(leftMargin, labels.Width(percent(v)) + f * 0.8);

  // The title's row, a row for each percentile's name (close ones need all
  // three), the plot, the axis's labels below it.
  // The last decade's name is centred on the plot's right edge.
  const double rightMargin = std::max(f * 1.5, labels.Width(LatencyText(c.highNs)) / 2 + f * 0.3);
  c.plot = {leftMargin, f * 5.3, width - rightMargin, height - f * 2};
  const Rect& plot = c.plot;
  if (plot.Width() < f * 4 || plot.Height() < f * 2) return c;
  labels.Place({{{f * 0.5, f * 1.2}, title, kAxis, -1},
                {{f * 0.5, f * 1.2}, title.substr(0, title.find(':')), kAxis, -1}},
               all);
  auto Y = [&](double v) { return plot.bottom - v / yMax * plot.Height(); };

  for (double v = step; v < yMax + step / 2; v += step)
    scene.lines.push_back({{{plot.left, Y(v)}, {plot.right, Y(v)}}, kGrid, 1, false});
  const int every =
      std::max(1, static_cast<int>(std::ceil(f * 1.05 / (plot.Height() * step / yMax) - 1e-9)));
  int tick = 0;
  for (double v = 0; v < yMax + step / 2; v += step, ++tick)
    if (tick % every == 0)
      labels.Place({{{plot.left - f * 0.4, Y(v) + f * 0.35}, percent(v), kAxis, 1}}, all);

  for (int b = 0; b < bins; ++b) {
    const double v = share[static_cast<std::size_t>(b)];
    if (v <= 0) continue;
    const double x0 = plot.left + plot.Width() * b / bins;
    const double x1 = plot.left + plot.Width() * (b + 1) / bins;
    scene.boxes.push_back({{x0, Y(v), x1, plot.bottom}, kBar, kNone});
  }

  // A tick at every decade, named where there is room; 2 and 5 between.
  for (double d = c.lowNs; d <= c.highNs * (1 + 1e-9); d *= 10) {
    const double x = c.X(d);
    c.tickNs.push_back(d);
    c.tickX.push_back(x);
    scene.lines.push_back({{{x, plot.bottom}, {x, plot.bottom + f * 0.4}}, kAxis, 1, false});
    labels.Place({{{x, plot.bottom + f * 1.4}, LatencyText(d), kAxis, 0}}, all);
    if (d < c.highNs * (1 - 1e-9))
      for (double m : {2.0, 5.0})
        scene.lines.push_back(
            {{{c.X(d * m), plot.bottom}, {c.X(d * m), plot.bottom + f * 0.2}}, kAxis, 1, false});
  }

  // The percentiles: a line each, named above the plot in the first row
  // with room, centred on it or beside it.
  for (const Mark& m : kMarks) {
    const std::uint64_t ns = h.Percentile(m.percentile);
    const double x = c.X(static_cast<double>(ns));
    c.markers.push_back({m.percentile, ns, x});
    scene.lines.push_back({{{x, plot.top - f * 0.2}, {x, plot.bottom}}, m.colour, 1.5, true});
    const std::string text = std::string(m.name) + " " + LatencyText(static_cast<double>(ns));
    for (double y : {f * 2.4, f * 3.6, f * 4.8})
      if (labels.Place({{{x, y}, text, m.colour, 0},
                        {{x + f * 0.3, y}, text, m.colour, -1},
                        {{x - f * 0.3, y}, text, m.colour, 1}},
                       all))
        break;
  }

  scene.boxes.push_back({plot, kNone, kAxis});
  return c;
}

}  // namespace chart
