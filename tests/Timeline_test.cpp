// A run's timeline: its slices against the blocks and the file, its flushes
// and cache samples, what the face hears, and its CSV and JSON rows.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <vector>

#include "cli/TimelineCsv.h"
#include "form/HeadlessForm.h"
#include "form/basBase.h"
#include "form/frmMain.h"
#include "platform/seam.h"
#include "tests/support.h"
#include "throughput/TimelineRecorder.h"

namespace {

namespace fs = std::filesystem;

// Counts what the run tells the face and checks that each slice it hears of
// extends the ones before.
class WatchingForm : public HeadlessForm {
 public:
  void TimelineChanged(const Timeline& t) override {
    ++calls;
    if (t.finished)
      ++finishedCalls;
    else if (t.slices.size() > largestLive)
      largestLive = t.slices.size();
    if (!t.finished) liveSamples = std::max(liveSamples, t.samples.size());
  }
  int calls = 0;
  int finishedCalls = 0;
  std::size_t largestLive = 0;
  std::size_t liveSamples = 0;  // samples the face saw during the run
};

class TimelineRun : public ::testing::Test {
 protected:
  void SetUp() override { os::seam::Reset(); }
  void TearDown() override { os::seam::Reset(); }
  const ThroughputRecord& RunWith(int index, const std::string& mb, const std::string& sectors,
                                  bool flushes = false) {
    form.SetText(Ctl::txtTestFile, 0, file);
    if (index == 1) form.SetText(Ctl::txtSize, 0, mb);
    form.SetText(Ctl::txtBlockSizeSectors, 0, sectors);
    form.SetValue(Ctl::chkFlushAtFinish, 0, flushes);
    form.SetValue(Ctl::chkFlushAtFinish, 1, flushes);
    window.cmdFileReadWrite_Click(index);
    return window.LastRun();
  }
  // Offsets and times rise, and the last slice ends at the file's size and
  // at the run's elapsed time.
  static void ExpectRisingToTheEnd(const ThroughputRecord& r, std::int64_t fileSize) {
    const auto& s = r.timeline.slices;
    ASSERT_FALSE(s.empty());
    for (std::size_t i = 1; i < s.size(); ++i) {
      EXPECT_GT(s[i].offset, s[i - 1].offset) << "slice " << i;
      EXPECT_GE(s[i].tNs, s[i - 1].tNs) << "slice " << i;
    }
    EXPECT_GT(s.front().offset, 0);
    EXPECT_GE(s.front().tNs, 0);
    EXPECT_EQ(s.back().offset, fileSize);
    EXPECT_EQ(s.back().tNs, r.elapsedNs);
  }

  WatchingForm form;
  frmMain window{form};
  testing_support::TempDir dir;
  std::string file = dir.File("t.bin");
};

TEST_F(TimelineRun, FewerThanAThousandBlocksGiveOneSlicePerBlockAndTheFinalTransfer) {
  // 1.01 MB in 4 KiB blocks: 258 whole blocks, then 2,621 bytes rounded up
  // to a page.
  const ThroughputRecord& r = RunWith(1, "1.01", "8");
  ASSERT_TRUE(r.finished) << r.message << r.detail;
  ASSERT_EQ(r.wholeBlocks, 258);
  const auto size = static_cast<std::int64_t>(fs::file_size(file));
  EXPECT_EQ(size, 259 * 4096);
  ASSERT_EQ(r.timeline.slices.size(), 259u);
  for (std::size_t i = 0; i < 258; ++i)
    EXPECT_EQ(r.timeline.slices[i].offset, static_cast<std::int64_t>(i + 1) * 4096);
  ExpectRisingToTheEnd(r, size);

  // Read back: the same blocks, the file's last page as its own slice.
  const ThroughputRecord& read = RunWith(0, "", "8");
  ASSERT_TRUE(read.finished) << read.message << read.detail;
  EXPECT_FALSE(read.timeline.writing);
  EXPECT_EQ(read.timeline.slices.size(), 259u);
  ExpectRisingToTheEnd(read, size);
  EXPECT_TRUE(read.timeline.flushes.empty());
}

TEST_F(TimelineRun, AThousandOrMoreBlocksGiveAThousandEvenSlices) {
  // 2,560 blocks of 512 bytes: slices of two or three blocks each.
  const ThroughputRecord& r = RunWith(1, "1.25", "1");
  ASSERT_TRUE(r.finished) << r.message << r.detail;
  ASSERT_EQ(r.wholeBlocks, 2560);
  ASSERT_EQ(r.timeline.slices.size(), 1000u);
  std::int64_t before = 0;
  for (const TimelineSlice& s : r.timeline.slices) {
    const std::int64_t blocks = (s.offset - before) / 512;
    EXPECT_TRUE(blocks == 2 || blocks == 3) << blocks << " blocks at offset " << s.offset;
    before = s.offset;
  }
  ExpectRisingToTheEnd(r, static_cast<std::int64_t>(fs::file_size(file)));
  // The face heard of every slice while the run went on, then of the end.
  EXPECT_EQ(form.largestLive, 1000u);
  EXPECT_EQ(form.finishedCalls, 1);
}

TEST_F(TimelineRun, FlushesAreMarkedAfterTheSlicesAndTheCacheIsSampledThroughThem) {
  const ThroughputRecord& r = RunWith(1, "32", "2048", true);
  ASSERT_TRUE(r.finished) << r.message << r.detail;
  const Timeline& t = r.timeline;
  ASSERT_EQ(t.flushes.size(), 2u);
  EXPECT_EQ(t.flushes[0].kind, FlushMark::File);
  EXPECT_EQ(t.flushes[1].kind, FlushMark::Volume);
  EXPECT_GE(t.flushes[0].startNs, t.slices.back().tNs);
  EXPECT_LE(t.flushes[0].startNs, t.flushes[0].endNs);
  EXPECT_LE(t.flushes[0].endNs, t.flushes[1].startNs);
  EXPECT_EQ(t.flushes[0].endNs - t.flushes[0].startNs, r.fileFlushNs);
  EXPECT_EQ(t.flushes[1].endNs - t.flushes[1].startNs, r.volumeFlushNs);
  EXPECT_EQ(t.EndNs(), t.flushes[1].endNs);
  // One time base: the settling pause is on no clock, so the flushes lie
  // inside the interval with flush.
  EXPECT_GE(t.flushes[0].startNs, r.elapsedNs);
  EXPECT_LT(t.flushes[0].startNs, r.elapsedNs + r.sleepNs / 2)
      << "the pause before the flushes counted";
  EXPECT_LE(t.flushes[1].endNs, r.elapsedWithFlushNs);
  // The averages are those of the two result lines, from the nanoseconds.
  ASSERT_GT(r.elapsedNs, 0);
  EXPECT_NEAR(t.averageMBps, 32.0 * 1e9 / static_cast<double>(r.elapsedNs), 1e-9);
  EXPECT_NEAR(t.averageWithFlushMBps, 32.0 * 1e9 / static_cast<double>(r.elapsedWithFlushNs), 1e-9);
  EXPECT_TRUE(t.finished);

  // Where the system has figures, they are sampled from before the clock
  // starts until after the last flush, and every slice carries one.
  if (t.cacheFigures) {
    ASSERT_GE(t.samples.size(), 2u);
    EXPECT_LE(t.samples.front().tNs, 0);
    EXPECT_GE(t.samples.back().tNs, t.flushes[1].endNs);
    for (std::size_t i = 1; i < t.samples.size(); ++i)
      EXPECT_GE(t.samples[i].tNs, t.samples[i - 1].tNs);
  } else {
    EXPECT_TRUE(t.samples.empty());
  }
  for (const TimelineSlice& s : t.slices) {
    EXPECT_EQ(s.dirtyKiB != kNoFigure, t.cacheFigures);
    EXPECT_EQ(s.writebackKiB != kNoFigure, t.cacheFigures);
    EXPECT_EQ(s.fileCachedKiB != kNoFigure, t.fileFigures);
  }
  // The file's own figures come where the run's own reading came from
  // cachestat; once both flushes are done nothing of it is dirty or under
  // writeback, while what was written is still in memory.
  EXPECT_EQ(t.fileFigures,
            r.cache.atStart.figures.source == os::runtime::FileCache::Source::Cachestat);
  if (t.fileFigures && !r.cache.atStart.figures.inMemory) {
    const CacheSample& last = t.samples.back();
    EXPECT_EQ(last.fileDirtyKiB, 0);
    EXPECT_EQ(last.fileWritebackKiB, 0);
    EXPECT_GT(last.fileCachedKiB, 0);
    EXPECT_LE(last.fileCachedKiB, 32 * 1024);
  }
  // The face saw the samples as they came, not only at the end.
  if (t.cacheFigures && r.elapsedNs > 150'000'000) {
    EXPECT_GT(form.liveSamples, 1u);
  }
}

TEST_F(TimelineRun, FailedRefusedAndUnrecordedRunsKeepWhatTheyHave) {
  // A block that fails part way: the slices before it stay, the run's end
  // is still told.
  os::seam::FailNext(os::seam::Op::WriteFile, os::ERROR_DISK_FULL, 10);
  const ThroughputRecord& failed = RunWith(1, "1", "8");
  EXPECT_EQ(failed.message, "Error");
  EXPECT_EQ(failed.timeline.slices.size(), 10u);
  EXPECT_TRUE(failed.timeline.finished);
  EXPECT_EQ(failed.timeline.averageMBps, 0);
  os::seam::Reset();
  if (window.oTestFile) window.oTestFile->CloseFile();

  // A run refused before its clock starts records nothing.
  const int calls = form.calls;
  form.SetText(Ctl::txtTestFile, 0, dir.File("missing"));
  window.cmdFileReadWrite_Click(0);
  EXPECT_EQ(window.LastRun().message, "File not found");
  EXPECT_TRUE(window.LastRun().timeline.slices.empty());
  EXPECT_EQ(form.calls, calls);

  window.recordTimeline = false;
  const ThroughputRecord& off = RunWith(1, "1", "8");
  ASSERT_TRUE(off.finished);
  EXPECT_TRUE(off.timeline.slices.empty());
  EXPECT_EQ(form.calls, calls);
}

TEST(TimelineRows, CsvAndJsonCarryEachSliceWithItsOwnRateAndEmptyFigures) {
  Timeline t;
  t.slices = {{1048576, 500000000, 2048, 0, 1024, 512, 0},
              {1048576, 500000000, 4096, 1024},  // no time passed: no rate
              {3145728, 1500000000, kNoFigure, kNoFigure}};
  t.flushes = {{FlushMark::File, 1600000000, 1700000000},
               {FlushMark::Volume, 1700000001, 1800000000}};
  std::ostringstream csv;
  WriteTimelineCsv(t, csv);
  EXPECT_EQ(csv.str(),
            "offset_bytes,t_ns,mb_per_s,dirty_kib,writeback_kib,file_cached_kib,file_dirty_kib,"
            "file_writeback_kib\n"
            "1048576,500000000,2.000,2048,0,1024,512,0\n"
            "1048576,500000000,,4096,1024,,,\n"
            "3145728,1500000000,2.000,,,,,\n");
  const nlohmann::json rows = TimelineJson(t);
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_DOUBLE_EQ(rows[0]["mb_per_s"].get<double>(), 2.0);
  EXPECT_TRUE(rows[1]["mb_per_s"].is_null());
  EXPECT_TRUE(rows[2]["dirty_kib"].is_null());
  EXPECT_EQ(rows[1]["writeback_kib"], 1024);
  EXPECT_EQ(rows[0]["file_dirty_kib"], 512);
  EXPECT_TRUE(rows[1]["file_cached_kib"].is_null());
  const nlohmann::json flushes = FlushesJson(t);
  ASSERT_EQ(flushes.size(), 2u);
  EXPECT_EQ(flushes[0]["kind"], "file");
  EXPECT_EQ(flushes[1]["kind"], "volume");
  EXPECT_EQ(flushes[1]["end_ns"], 1800000000);
  EXPECT_EQ(t.EndNs(), 1800000000);
}

TEST(TimelineRows, CachePairsSurviveTheOneWordTheyTravelIn) {
  std::int64_t dirty = 0, writeback = 0;
  CacheSampler::Unpack(CacheSampler::Pack(65536, 12), &dirty, &writeback);
  EXPECT_EQ(dirty, 65536);
  EXPECT_EQ(writeback, 12);
  // Beyond 4 TiB a figure stays at its largest rather than wrapping or
  // reading as "none".
  CacheSampler::Unpack(CacheSampler::Pack(std::uint64_t{1} << 40, std::uint64_t{1} << 33), &dirty,
                       &writeback);
  EXPECT_EQ(dirty, 0xFFFFFFFEll);
  EXPECT_EQ(writeback, 0xFFFFFFFEll);
  CacheSampler::Unpack(CacheSampler::kNone, &dirty, &writeback);
  EXPECT_EQ(dirty, kNoFigure);
  EXPECT_EQ(writeback, kNoFigure);
}

}  // namespace
