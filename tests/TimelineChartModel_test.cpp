// The timeline chart's scene, as both windows draw it: at every size a
// panel can take, no label overlaps another or runs off the panel, and
// everything drawn has its legend entry.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <set>
#include <string>

#include "form/TimelineChartModel.h"

namespace {

constexpr std::int64_t kMiB = 1048576;
constexpr std::int64_t kMs = 1'000'000;

// A run of n slices of sliceMiB each, at rateMBps, a slower middle third,
// sampled every 50 ms from before its clock starts: the file's pages rise
// with the offset, a third of them dirty.
Timeline MakeRun(int n, std::int64_t sliceMiB, double rateMBps, bool cache, bool file) {
  Timeline t;
  t.cacheFigures = cache;
  t.fileFigures = file;
  std::int64_t ns = 0;
  for (int i = 1; i <= n; ++i) {
    const double rate = i > n / 3 && i < 2 * n / 3 ? rateMBps / 3 : rateMBps;
    ns += static_cast<std::int64_t>(sliceMiB / rate * 1e9);
    t.slices.push_back(
        {i * sliceMiB * kMiB, ns, cache ? i * 900 : kNoFigure, cache ? 100 : kNoFigure});
  }
  t.averageMBps = n * sliceMiB / (ns / 1e9);
  if (cache) {
    t.backgroundLimitBytes = 64 * kMiB;
    t.dirtyLimitBytes = 3072 * kMiB;
    for (std::int64_t ms = -50; ms * kMs <= ns; ms += 50) {
      const std::int64_t kib = std::max<std::int64_t>(0, ms) * static_cast<std::int64_t>(rateMBps);
      CacheSample c{ms * kMs, 30000 + kib / 50, 2000};
      if (file) c = {c.tNs, c.dirtyKiB, c.writebackKiB, kib, kib / 3, kib / 20};
      t.samples.push_back(c);
    }
  }
  return t;
}

Timeline Finished(Timeline t, std::int64_t flushMs) {
  const std::int64_t end = t.slices.back().tNs;
  t.flushes = {{FlushMark::File, end, end + flushMs * kMs},
               {FlushMark::Volume, end + flushMs * kMs, end + flushMs * kMs + 2 * kMs}};
  if (t.cacheFigures) {
    CacheSample c = t.samples.back();
    for (std::int64_t ms = 50; ms < flushMs + 52; ms += 50)
      t.samples.push_back({end + ms * kMs, c.dirtyKiB / 2, c.writebackKiB, c.fileCachedKiB,
                           t.fileFigures ? 0 : kNoFigure, t.fileFigures ? 0 : kNoFigure});
  }
  t.averageWithFlushMBps = t.slices.back().offset / 1048576.0 / ((end + (flushMs + 2) * kMs) / 1e9);
  t.finished = true;
  return t;
}

bool IsNumber(const std::string& s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) {
    return std::isdigit(static_cast<unsigned char>(c)) || c == '.' || c == 'e' || c == '+';
  });
}

// The plot's frame is the last box the scene draws.
chart::Rect Plot(const chart::Scene& s) { return s.boxes.back().rect; }

TEST(TimelineChartModel, LabelsNeverOverlapOrLeaveThePanelAndEverythingDrawnIsInTheLegend) {
  Timeline read = Finished(MakeRun(1000, 100, 25000, false, false), 0);
  read.writing = false;
  read.flushes.clear();
  read.averageWithFlushMBps = 0;
  const std::pair<const char*, Timeline> runs[] = {
      {"write with the file's figures", Finished(MakeRun(200, 1, 800, true, true), 900)},
      {"flushes a sliver at the end", Finished(MakeRun(200, 1, 800, true, false), 1)},
      {"live, with samples so far", MakeRun(30, 4, 120, true, true)},
      {"live, without cache figures", MakeRun(30, 4, 120, false, false)},
      {"a 100 GB read at 25 GB/s", read},
      {"no run yet", Timeline{}},
  };
  for (const auto& [what, timeline] : runs) {
    for (double f : {11.0, 13.0, 17.0}) {
      for (auto [w, h] :
           {std::pair{320.0, 160.0}, {480.0, 200.0}, {640.0, 260.0}, {1400.0, 600.0}}) {
        w = std::max(w, chart::MinimumWidth(f));
        h = std::max(h, chart::MinimumHeight(f));
        const auto width = chart::EstimatedWidth(f);
        const chart::Scene s = chart::BuildScene(timeline, w, h, f, width);
        const std::string at = std::string(what) + " at " + std::to_string(int(w)) + "x" +
                               std::to_string(int(h)) + ", font " + std::to_string(int(f));
        const chart::Rect panel{0, 0, w, h};
        int numbers = 0;
        bool note = false, rateTitle = false;
        for (std::size_t i = 0; i < s.texts.size(); ++i) {
          const chart::Rect b = chart::TextBounds(s.texts[i], f, width);
          EXPECT_TRUE(b.Inside(panel)) << at << ": \"" << s.texts[i].text << "\" runs off";
          for (std::size_t j = 0; j < i; ++j)
            EXPECT_FALSE(b.Overlaps(chart::TextBounds(s.texts[j], f, width)))
                << at << ": \"" << s.texts[i].text << "\" over \"" << s.texts[j].text << "\"";
          numbers += IsNumber(s.texts[i].text);
          note |= s.texts[i].text.find("no cache figures") != std::string::npos;
          rateTitle |= s.texts[i].text == "MB/s";
        }
        for (const auto& l : s.lines)
          for (const auto& p : l.points)
            EXPECT_TRUE(p.x >= -0.5 && p.x <= w + 0.5 && p.y >= -0.5 && p.y <= h + 0.5) << at;
        if (timeline.slices.empty()) {
          EXPECT_EQ(numbers, 0) << at;
          EXPECT_FALSE(s.texts.empty()) << at << ": the empty panel says what comes";
          continue;
        }
        // At least 0 and one more figure on each axis.
        EXPECT_GE(numbers, 4) << at;
        EXPECT_TRUE(rateTitle) << at;
        EXPECT_EQ(note, !timeline.cacheFigures) << at << ": the panel says so without figures";
        // Every colour drawn in the plot has its sample in the legend above
        // it, the flushes' bands theirs too.
        const chart::Rect plot = Plot(s);
        std::set<chart::Rgb> inPlot, inLegend;
        for (const auto& l : s.lines) {
          const bool above = std::all_of(l.points.begin(), l.points.end(),
                                         [&](const chart::Point& p) { return p.y < plot.top; });
          // The grid's lines alone need no entry.
          const bool inside =
              l.colour != 0xe2e2e2 &&
              std::all_of(l.points.begin(), l.points.end(), [&](const chart::Point& p) {
                return p.y >= plot.top - 0.5 && p.y <= plot.bottom + 0.5;
              });
          if (above) inLegend.insert(l.colour);
          if (inside) inPlot.insert(l.colour);
        }
        for (const auto& b : s.boxes)
          if (b.rect.bottom < plot.top && b.stroke != chart::kNone) inLegend.insert(b.stroke);
        for (const chart::Rgb c : inPlot)
          EXPECT_TRUE(inLegend.count(c))
              << at << ": colour " << std::hex << c << " not in the legend";
        const std::size_t series =
            1 + (timeline.cacheFigures ? 2 : 0) + (timeline.fileFigures ? 3 : 0);
        EXPECT_GE(inPlot.size(), series) << at << ": a line is missing";
      }
    }
  }

  // Where there is room, every label is there: both flushes, both averages,
  // the threshold too far above the figures to draw, in words.
  const Timeline write = Finished(MakeRun(200, 1, 800, true, true), 900);
  const chart::Scene s = chart::BuildScene(write, 1400, 400, 13, chart::EstimatedWidth(13));
  std::string all;
  for (const auto& t : s.texts) all += t.text + "|";
  for (const char* label :
       {"file flush|", "volume flush|", "without flush ", "with flush ", "file cached|",
        "file dirty|", "file writeback|", "system dirty|", "background writeback threshold|",
        "3072 MB", "flushes|", "MB|", "time (ms), flushes included, as they took|"})
    EXPECT_NE(all.find(label), std::string::npos) << label << " in " << all;
}

TEST(TimelineChartModel, TheAxisIsTimeSoAFlushTakesTheWidthOfItsDurationAndSamplesAreSteps) {
  const Timeline write = Finished(MakeRun(200, 1, 800, true, true), 900);
  const chart::Scene s = chart::BuildScene(write, 1400, 400, 13, chart::EstimatedWidth(13));
  const chart::Rect plot = Plot(s);
  const double pxPerNs = plot.Width() / static_cast<double>(write.samples.back().tNs);
  std::vector<chart::Rect> bands;
  for (const auto& b : s.boxes)
    if (b.fill != chart::kNone && b.rect.top == plot.top && b.rect.bottom == plot.bottom)
      bands.push_back(b.rect);
  ASSERT_EQ(bands.size(), 2u);
  for (std::size_t i = 0; i < 2; ++i) {
    const FlushMark& m = write.flushes[i];
    EXPECT_NEAR(bands[i].left - plot.left, m.startNs * pxPerNs, 0.5);
    EXPECT_NEAR(bands[i].Width(), std::max(1.0, (m.endNs - m.startNs) * pxPerNs), 0.5);
  }
  // 900 ms of a run of about 1.4 s: the flush is most of the width, as it
  // was most of the time.
  EXPECT_GT(bands[0].Width(), plot.Width() / 2);

  // Every line inside the plot goes in steps: each segment is level or
  // upright, in the live scene and the finished one alike.
  const Timeline live = MakeRun(200, 1, 800, true, true);
  for (const Timeline* t : {&write, &live}) {
    const chart::Scene scene = chart::BuildScene(*t, 1000, 300, 13, chart::EstimatedWidth(13));
    const double top = Plot(scene).top;
    int steps = 0;
    for (const auto& l : scene.lines) {
      if (l.points.size() < 4 || l.points.front().y < top) continue;
      ++steps;
      for (std::size_t i = 1; i < l.points.size(); ++i) {
        const auto& a = l.points[i - 1];
        const auto& b = l.points[i];
        EXPECT_TRUE(std::abs(a.x - b.x) < 1e-6 || std::abs(a.y - b.y) < 1e-6)
            << "a slope in a line of colour " << std::hex << l.colour;
        EXPECT_LE(a.x, b.x + 1e-6) << "the line goes back in time";
      }
    }
    EXPECT_EQ(steps, 6) << "the rate and five cache figures";
  }
}

TEST(TimelineChartModel, ALiveRunRepaintsTenTimesASecondAndANewRunStartsAfresh) {
  chart::ShownTimeline shown;
  Timeline t = MakeRun(10, 1, 100, true, true);
  EXPECT_TRUE(shown.Take(t, 1000).repaint);
  EXPECT_EQ(shown.Get().samples.size(), t.samples.size());
  EXPECT_TRUE(shown.Get().fileFigures);
  EXPECT_EQ(shown.Get().dirtyLimitBytes, t.dirtyLimitBytes);
  t.slices.push_back({11 * kMiB, t.slices.back().tNs + kMs});
  t.samples.push_back({t.slices.back().tNs, 1, 2, 3, 4, 5});
  const auto soon = shown.Take(t, 1050);
  EXPECT_FALSE(soon.repaint);
  EXPECT_EQ(shown.Get().slices.size(), 11u) << "copied, drawn at the next repaint";
  EXPECT_EQ(shown.Get().samples.back().fileWritebackKiB, 5);
  EXPECT_TRUE(shown.Take(t, 1100).repaint);
  const Timeline done = Finished(t, 5);
  EXPECT_TRUE(shown.Take(done, 1110).repaint) << "the end shows at once";
  EXPECT_EQ(shown.Get().flushes.size(), 2u);
  const auto next = shown.Take(MakeRun(2, 1, 100, true, false), 1120);
  EXPECT_TRUE(next.newRun);
  EXPECT_EQ(shown.Get().slices.size(), 2u);
  EXPECT_EQ(shown.Get().samples.size(), MakeRun(2, 1, 100, true, false).samples.size());
  EXPECT_FALSE(shown.Get().finished);
}

}  // namespace
