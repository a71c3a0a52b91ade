// The timeline chart's scene, as both windows draw it: at every size a
// panel can take, no label overlaps another or runs off the panel.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <string>

#include "form/TimelineChartModel.h"

namespace {

constexpr std::int64_t kMiB = 1048576;
constexpr std::int64_t kMs = 1'000'000;

// A run of n slices of sliceMiB each, at rateMBps, a slower middle third.
Timeline MakeRun(int n, std::int64_t sliceMiB, double rateMBps, bool cache) {
  Timeline t;
  t.cacheFigures = cache;
  std::int64_t ns = 0;
  for (int i = 1; i <= n; ++i) {
    const double rate = i > n / 3 && i < 2 * n / 3 ? rateMBps / 3 : rateMBps;
    ns += static_cast<std::int64_t>(sliceMiB / rate * 1e9);
    t.slices.push_back(
        {i * sliceMiB * kMiB, ns, cache ? i * 900 : kNoFigure, cache ? 100 : kNoFigure});
  }
  t.averageMBps = n * sliceMiB / (ns / 1e9);
  return t;
}

Timeline Finished(Timeline t, std::int64_t flushMs) {
  const std::int64_t end = t.slices.back().tNs;
  t.flushes = {{FlushMark::File, end, end + flushMs * kMs},
               {FlushMark::Volume, end + flushMs * kMs, end + flushMs * kMs + 2 * kMs}};
  if (t.cacheFigures)
    for (std::int64_t ms = -50; ms * kMs < end + (flushMs + 2) * kMs; ms += 50)
      t.samples.push_back({ms * kMs, 4096 + ms, 512});
  t.averageWithFlushMBps = t.slices.back().offset / 1048576.0 / ((end + (flushMs + 2) * kMs) / 1e9);
  t.finished = true;
  return t;
}

bool IsNumber(const std::string& s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) {
    return std::isdigit(static_cast<unsigned char>(c)) || c == '.' || c == 'e' || c == '+';
  });
}

TEST(TimelineChartModel, LabelsNeverOverlapOrLeaveThePanelAtAnySize) {
  Timeline read = Finished(MakeRun(1000, 100, 25000, false), 0);
  read.writing = false;
  read.flushes.clear();
  read.averageWithFlushMBps = 0;
  const std::pair<const char*, Timeline> runs[] = {
      {"write with cache figures", Finished(MakeRun(200, 1, 800, true), 900)},
      {"flushes a sliver at the end", Finished(MakeRun(200, 1, 800, true), 1)},
      {"live, without cache figures", MakeRun(30, 4, 120, false)},
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
          note |= s.texts[i].text.find("no dirty") != std::string::npos;
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
      }
    }
  }

  // Where there is room, every label is there: both flushes and both averages.
  const Timeline write = Finished(MakeRun(200, 1, 800, true), 900);
  const chart::Scene s = chart::BuildScene(write, 640, 260, 13, chart::EstimatedWidth(13));
  std::string all;
  for (const auto& t : s.texts) all += t.text + "|";
  for (const char* label : {"file flush|", "volume flush|", "without flush ", "with flush ",
                            "dirty + writeback, MB (right)|", "flush start, end|"})
    EXPECT_NE(all.find(label), std::string::npos) << label << " in " << all;
}

TEST(TimelineChartModel, ALiveRunRepaintsTenTimesASecondAndANewRunStartsAfresh) {
  chart::ShownTimeline shown;
  Timeline t = MakeRun(10, 1, 100, true);
  EXPECT_TRUE(shown.Take(t, 1000).repaint);
  t.slices.push_back({11 * kMiB, t.slices.back().tNs + kMs});
  const auto soon = shown.Take(t, 1050);
  EXPECT_FALSE(soon.repaint);
  EXPECT_EQ(shown.Get().slices.size(), 11u) << "copied, drawn at the next repaint";
  EXPECT_TRUE(shown.Take(t, 1100).repaint);
  const Timeline done = Finished(t, 5);
  EXPECT_TRUE(shown.Take(done, 1110).repaint) << "the end shows at once";
  EXPECT_EQ(shown.Get().flushes.size(), 2u);
  const auto next = shown.Take(MakeRun(2, 1, 100, true), 1120);
  EXPECT_TRUE(next.newRun);
  EXPECT_EQ(shown.Get().slices.size(), 2u);
  EXPECT_FALSE(shown.Get().finished);
}

}  // namespace
