// The random-order panel without pixels: the latency chart's scene at every
// size, and the table run, stopped and refused through a headless window.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <thread>

#include "form/HeadlessForm.h"
#include "form/LatencyChartModel.h"
#include "form/RandomPanelModel.h"
#include "form/basBase.h"
#include "platform/seam.h"
#include "tests/support.h"

namespace {

Histogram Samples(std::initializer_list<std::pair<std::uint64_t, int>> at) {
  Histogram h;
  for (const auto& [ns, n] : at)
    for (int i = 0; i < n; ++i) h.Record(ns + static_cast<std::uint64_t>(i % 97));
  return h;
}

TEST(LatencyChart, LabelsInsideApartTicksByDecadesMarkersAtTheirPercentiles) {
  const Histogram shapes[] = {
      Samples({{52'000, 5000}}),                                   // one narrow peak
      Samples({{2'100, 9000}, {180'000, 900}, {31'000'000, 40}}),  // wide, three modes
      Samples({{700, 1}}),                                         // one sample
  };
  for (const Histogram& h : shapes) {
    for (double f : {11.0, 13.0, 16.0}) {
      for (auto [w, hgt] :
           {std::pair{chart::LatencyMinimumWidth(f), chart::LatencyMinimumHeight(f)},
            std::pair{360.0, 240.0}, std::pair{1200.0, 420.0}}) {
        const auto width = chart::EstimatedWidth(f);
        const chart::LatencyChart c = chart::BuildLatencyChart(
            h, "RND4K Q32T1 read: latency of 12345 transfers", w, hgt, f, width);
        const std::string at = std::to_string(w) + "x" + std::to_string(hgt) + " font " +
                               std::to_string(f) + " max " + std::to_string(h.Max());
        const chart::Rect panel{0, 0, w, hgt};
        const auto& texts = c.scene.texts;
        for (std::size_t i = 0; i < texts.size(); ++i) {
          const chart::Rect b = chart::TextBounds(texts[i], f, width);
          EXPECT_TRUE(b.Inside(panel)) << texts[i].text << " at " << at;
          for (std::size_t j = i + 1; j < texts.size(); ++j)
            EXPECT_FALSE(b.Overlaps(chart::TextBounds(texts[j], f, width)))
                << texts[i].text << " / " << texts[j].text << " at " << at;
        }
        // Decades, left to right, evenly spaced, covering every sample.
        ASSERT_GE(c.tickNs.size(), 3u) << at;
        EXPECT_LE(c.tickNs.front(), static_cast<double>(h.Min()));
        EXPECT_GE(c.tickNs.back(), static_cast<double>(h.Max()));
        for (std::size_t i = 1; i < c.tickNs.size(); ++i) {
          EXPECT_DOUBLE_EQ(c.tickNs[i], c.tickNs[i - 1] * 10) << at;
          EXPECT_NEAR(c.tickX[i] - c.tickX[i - 1], c.tickX[1] - c.tickX[0], 1e-6) << at;
        }
        EXPECT_NEAR(c.tickX.front(), c.plot.left, 1e-6);
        EXPECT_NEAR(c.tickX.back(), c.plot.right, 1e-6);
        // Each percentile's dashed line where its latency lies, in order,
        // and its name in the scene once.
        ASSERT_EQ(c.markers.size(), 3u);
        for (const auto& m : c.markers) {
          EXPECT_EQ(m.ns, h.Percentile(m.percentile));
          EXPECT_NEAR(m.x, c.X(static_cast<double>(m.ns)), 1e-9);
          EXPECT_GE(m.x, c.plot.left);
          EXPECT_LE(m.x, c.plot.right);
          EXPECT_TRUE(std::any_of(c.scene.lines.begin(), c.scene.lines.end(), [&](auto& l) {
            return l.dashed && l.points.size() == 2 && l.points[0].x == m.x && l.points[1].x == m.x;
          })) << m.percentile;
        }
        EXPECT_LE(c.markers[0].x, c.markers[1].x);
        EXPECT_LE(c.markers[1].x, c.markers[2].x);
        if (w >= 360) {
          EXPECT_EQ(std::count_if(texts.begin(), texts.end(),
                                  [](auto& t) { return t.text.rfind("p99.9 ", 0) == 0; }),
                    1)
              << at;
        }
        // The bars stand in the plot.
        for (std::size_t i = 2; i < c.scene.boxes.size() - 1; ++i)
          EXPECT_TRUE(c.scene.boxes[i].rect.Inside(c.plot)) << at;
      }
    }
  }
  EXPECT_EQ(chart::LatencyText(850), "850 ns");
  EXPECT_EQ(chart::LatencyText(12'500), "12.5 \u00b5s");
  EXPECT_EQ(chart::LatencyText(3'200'000), "3.2 ms");
  // Nothing to show: the hint, inside the panel, and no axis.
  const chart::LatencyChart empty =
      chart::BuildLatencyChart(Histogram{}, "", 320, 180, 13, chart::EstimatedWidth(13));
  EXPECT_FALSE(empty.scene.texts.empty());
  EXPECT_TRUE(empty.markers.empty());
  EXPECT_TRUE(empty.tickNs.empty());
}

class RandomPanelRun : public ::testing::Test {
 protected:
  void SetUp() override {
    os::seam::Reset();
    form.SetText(Ctl::txtTestFile, 0, dir.File("p.bin"));
    form.SetText(Ctl::txtSize, 0, "4");
  }
  void TearDown() override { gTestRunning = false; }
  std::vector<std::string> Files() const {
    std::vector<std::string> names;
    // Under Wine the program's mark on the file, a stream of it, is a file.
    for (const auto& e : std::filesystem::directory_iterator(dir.path()))
      if (e.path().filename() != "p.bin:orvandel") names.push_back(e.path().filename().string());
    return names;
  }

  testing_support::TempDir dir;
  HeadlessForm form;
  RandomPanelModel model;
};

TEST_F(RandomPanelRun, TheTableRunsWholeStopsAndRefusesWhatItMustNotDo) {
  const std::size_t handles = os::seam::OpenHandles();
  const std::ptrdiff_t threads = os::seam::RunningThreads();
  // Sizes the field cannot give, and a file of the user's that stays as it is.
  form.SetText(Ctl::txtSize, 0, "lots");
  EXPECT_FALSE(model.RunFor(form, 0.05));
  EXPECT_EQ(model.ProgressText(), "The file size must be a number of MB.");
  form.SetText(Ctl::txtSize, 0, "0.5");
  EXPECT_FALSE(model.RunFor(form, 0.05));
  EXPECT_NE(model.ProgressText().find("at least 1 MB"), std::string::npos);
  const std::string mine = dir.File("mine.txt");
  testing_support::WriteText(mine, "the user's own words");
  form.SetText(Ctl::txtTestFile, 0, mine);
  form.SetText(Ctl::txtSize, 0, "4");
  EXPECT_FALSE(model.RunFor(form, 0.05));  // the question is answered No
  EXPECT_EQ(model.ProgressText(), "The file was not replaced.");
  EXPECT_EQ(testing_support::ReadText(mine), "the user's own words");
  EXPECT_FALSE(model.Running());
  EXPECT_FALSE(gTestRunning);
  std::filesystem::remove(mine);

  // The whole table, short: every cell filled, the latest job shown, any
  // other chosen.
  form.SetText(Ctl::txtTestFile, 0, dir.File("p.bin"));
  ASSERT_TRUE(model.RunFor(form, 0.05)) << model.ProgressText();
  EXPECT_TRUE(gTestRunning);
  EXPECT_FALSE(model.RunFor(form, 0.05));  // one run at a time
  model.Wait();
  ASSERT_EQ(model.GetState(), RandomPanelModel::State::Finished) << model.ProgressText();
  EXPECT_FALSE(gTestRunning);
  EXPECT_DOUBLE_EQ(model.Fraction(), 1);
  for (int r = 0; r < kProfileRowCount; ++r)
    for (int c = 0; c < RandomPanelModel::kColumns; ++c)
      EXPECT_GT(std::stod(model.Cell(r, c)), 0) << r << "," << c;
  EXPECT_EQ(model.Shown(), kProfileJobs - 1);
  model.Select(RandomPanelModel::JobOfCell(2, 1));
  EXPECT_EQ(model.Shown(), 4);
  EXPECT_EQ(model.ShownTitle().rfind("RND4K Q32T1 read: latency of ", 0), 0u) << model.ShownTitle();
  EXPECT_EQ(model.JobAt(4).latency.Count(),
            static_cast<std::uint64_t>(std::stoull(model.ShownTitle().substr(29))));

  // A long run stopped early: it ends at once, with the jobs before kept,
  // no thread, handle or file left behind.
  ASSERT_TRUE(model.RunFor(form, 60));
  EXPECT_EQ(model.Shown(), -1);  // the new run's table starts empty
  while (model.Fraction() == 0 && model.Running()) {
    model.Poll();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  const auto stopped = std::chrono::steady_clock::now();
  model.Stop();
  EXPECT_EQ(model.ProgressText(), "Stopping...");
  model.Wait();
  EXPECT_LT(std::chrono::steady_clock::now() - stopped, std::chrono::seconds(10));
  EXPECT_EQ(model.GetState(), RandomPanelModel::State::Stopped);
  EXPECT_EQ(model.ProgressText(), "Stopped during SEQ1M Q8T1 read.");
  EXPECT_EQ(model.Cell(0, 0), "");
  EXPECT_FALSE(gTestRunning);
  EXPECT_EQ(os::seam::OpenHandles(), handles);
  EXPECT_EQ(os::seam::RunningThreads(), threads);
  EXPECT_EQ(Files(), std::vector<std::string>{"p.bin"});
}

}  // namespace
