// The latency histogram without pixels: the share of transfers at each
// latency on a logarithmic time axis, with the p50, p99 and p99.9 marked,
// as a chart scene that both windows draw and the SVG writer saves.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "form/TimelineChartModel.h"
#include "random/Histogram.h"

namespace chart {

struct LatencyChart {
  Scene scene;
  Rect plot;
  // The axis's labelled ticks, left to right: their latencies and places.
  std::vector<double> tickNs, tickX;
  // Each marked percentile, its latency and where its line stands.
  struct Marker {
    double percentile;
    std::uint64_t ns;
    double x;
  };
  std::vector<Marker> markers;
  // Where a latency lies on the axis.
  double lowNs = 1, highNs = 10;
  double X(double ns) const;
};

// "850 ns", "12.5 us" with the micro sign, "3.2 ms", "1.5 s".
std::string LatencyText(double ns);

double LatencyMinimumWidth(double fontPixels);
double LatencyMinimumHeight(double fontPixels);

// title: what the histogram is of; an empty histogram gives the hint of
// how to fill it. Labels that would overlap or leave the panel are left out.
LatencyChart BuildLatencyChart(const Histogram& h, const std::string& title, double width,
                               double height, double fontPixels, const TextWidth& textWidth);

}  // namespace chart
