// The engine on its own: a description in, a record out, no window at all.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <limits>

#include "createdelete/CreateDeleteTest.h"
#include "fileio/basFiles.h"
#include "platform/seam.h"
#include "tests/support.h"
#include "throughput/ThroughputRun.h"

namespace {

namespace fs = std::filesystem;
using os::seam::Op;

constexpr std::int64_t kMB = 1048576;

// Remembers what the run told it and in what order.
class Witness : public ThroughputObserver {
 public:
  void Opened(os::HANDLE) override { events.push_back("opened"); }
  void ClockStarted() override { events.push_back("clock"); }
  void Progress(int percent) override {
    percents.push_back(percent);
    if (stopAt >= 0 && percent >= stopAt) stop = SIGTERM;
  }
  void BlocksDone() override { events.push_back("blocks done"); }
  FinishChoices AtFinish() override {
    events.push_back("at finish");
    return choices;
  }
  void FlushStarting(const ThroughputRecord&, FlushMark::Kind kind) override {
    events.push_back(kind == FlushMark::File ? "file flush" : "volume flush");
  }
  int StopRequested() override { return stop; }

  std::vector<std::string> events;
  std::vector<int> percents;
  FinishChoices choices;
  int stopAt = -1;
  int stop = 0;
};

class Engine : public ::testing::Test {
 protected:
  void SetUp() override { os::seam::Reset(); }
  void TearDown() override {
    EXPECT_EQ(os::seam::OpenHandles(), handlesBefore) << "a test left a handle open";
    os::seam::Reset();
  }
  std::size_t handlesBefore = os::seam::OpenHandles();
  testing_support::TempDir dir;
  std::string file = dir.File("t.bin");
};

TEST_F(Engine, WriteRunsCountTheirBlocksAndTimeEveryStepOnOneClock) {
  struct Case {
    std::int64_t size;  // ten-thousandths of a byte
    std::int32_t block;
    std::int64_t blocks, finalCount, fileSize;
  };
  const Case cases[] = {
      {50 * kMB * kFixed, 256 * 1024, 200, 0, 50 * kMB},  // whole blocks only
      {25 * kMB * 1000, kMB, 2, 524288, 2621440},         // half a block left
      {kMB * kFixed, 1536, 682, 4096, 1051648},           // 1024 left, rounded up to a page
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.size / kFixed) + " bytes in blocks of " +
                 std::to_string(c.block));
    fs::remove(file);
    os::seam::Reset();
    ThroughputDescription run;
    run.file = file;
    run.size = c.size;
    run.blockSize = c.block;
    clsFile64 testFile;
    Witness witness;
    witness.choices = {true, true};
    const ThroughputRecord r = RunThroughput(run, testFile, witness);
    ASSERT_TRUE(r.finished) << r.message << " " << r.detail;
    EXPECT_EQ(r.wholeBlocks, c.blocks);
    EXPECT_EQ(r.finalCount, c.finalCount);
    EXPECT_EQ(r.transferred, c.blocks * c.block);
    EXPECT_EQ(os::seam::Calls(Op::WriteFile), static_cast<std::uint64_t>(c.blocks + 1));
    EXPECT_EQ(static_cast<std::int64_t>(fs::file_size(file)), c.fileSize);
    EXPECT_FALSE(testFile.IsOpen());
    // The choices are asked for once, when the blocks are done.
    const std::vector<std::string> order = {"opened",    "clock",      "blocks done",
                                            "at finish", "file flush", "volume flush"};
    EXPECT_EQ(witness.events, order);
    EXPECT_TRUE(std::is_sorted(witness.percents.begin(), witness.percents.end()));
    EXPECT_LT(witness.percents.back(), 100);
    // One time base: the flushes lie after the blocks and inside the
    // interval with flush; the settling pause is in neither.
    ASSERT_EQ(r.timeline.flushes.size(), 2u);
    EXPECT_GE(r.timeline.flushes[0].startNs, r.elapsedNs);
    EXPECT_GE(r.timeline.flushes[1].startNs, r.timeline.flushes[0].endNs);
    EXPECT_LE(r.timeline.flushes[1].endNs, r.elapsedWithFlushNs);
    EXPECT_GE(r.elapsedWithFlushNs, r.elapsedNs + r.fileFlushNs + r.volumeFlushNs);
    EXPECT_LT(r.timeline.flushes[0].startNs - r.elapsedNs, r.sleepNs);
  }

  // A read of at most everything reads the whole file and never flushes.
  ThroughputDescription read;
  read.file = file;
  read.writing = false;
  read.size = std::numeric_limits<std::int64_t>::max();
  read.blockSize = 65536;
  clsFile64 testFile;
  Witness witness;
  witness.choices = {true, true};
  const ThroughputRecord r = RunThroughput(read, testFile, witness);
  ASSERT_TRUE(r.finished) << r.message << " " << r.detail;
  EXPECT_EQ(r.testSize, 1051648 * kFixed);
  EXPECT_EQ(r.transferred + r.finalResult, 1051648);
  EXPECT_EQ(r.fileFlushNs, -1);
  EXPECT_EQ(witness.events, (std::vector<std::string>{"opened", "clock", "blocks done"}));
}

TEST_F(Engine, EndingsAreRecordedWithTheirCauseAndGiveEverythingBack) {
  ThroughputDescription run;
  run.file = file;
  run.size = 8 * kMB * kFixed;
  run.blockSize = 4096;
  clsFile64 testFile;

  // A stop asked for through the observer ends the run where it is.
  Witness stopping;
  stopping.stopAt = 10;
  const ThroughputRecord stopped = RunThroughput(run, testFile, stopping);
  EXPECT_EQ(stopped.stoppedBy, SIGTERM);
  EXPECT_FALSE(stopped.finished);
  EXPECT_FALSE(stopped.HasLines());
  EXPECT_FALSE(testFile.IsOpen());
  EXPECT_LT(stopped.transferred, 8 * kMB / 2);

  // The file to read is missing: the system's own reason, nothing opened.
  ThroughputDescription read = run;
  read.writing = false;
  read.file = dir.File("missing");
  Witness reading;
  const ThroughputRecord missing = RunThroughput(read, testFile, reading);
  EXPECT_EQ(missing.failure, RunFailure::NotFound);
  EXPECT_EQ(missing.detail, read.file + ": " + SystemReason(os::ERROR_FILE_NOT_FOUND));
  EXPECT_TRUE(reading.events.empty());

  // A failed transfer leaves the file open for the next run, as the window
  // expects, and says why.
  os::seam::FailNext(Op::WriteFile, os::ERROR_DISK_FULL, 3);
  Witness failing;
  const ThroughputRecord failed = RunThroughput(run, testFile, failing);
  EXPECT_EQ(failed.failure, RunFailure::Error);
  EXPECT_EQ(failed.detail, file + ": " + SystemReason(os::ERROR_DISK_FULL));
  EXPECT_TRUE(testFile.IsOpen());
  testFile.CloseFile();
}

class CountingCreateDelete : public CreateDeleteObserver {
 public:
  void Created(std::int32_t i) override {
    created.push_back(i);
    if (stopAfter >= 0 && i >= stopAfter) stop = SIGINT;
  }
  void Deleted(std::int32_t j) override { deleted.push_back(j); }
  int StopRequested() override { return stop; }
  std::vector<std::int32_t> created, deleted;
  int stopAfter = -1;
  int stop = 0;
};

TEST_F(Engine, CreateAndDeleteRecordsBothPhasesAndLeavesOnlyWhatWasThere) {
  testing_support::WriteText(file, "mine");
  CreateDeleteDescription test;
  test.file = file;
  test.files = 12;
  CountingCreateDelete counting;
  const CreateDeleteRecord r = RunCreateDelete(test, counting);
  ASSERT_TRUE(r.finished) << r.message << " " << r.detail;
  EXPECT_EQ(r.created, 12);
  EXPECT_TRUE(r.createdAll && r.deletedAll);
  EXPECT_EQ(counting.created.size(), 12u);
  EXPECT_EQ(counting.deleted, counting.created);
  EXPECT_GE(r.createNs, 0);
  EXPECT_GE(r.flushAfterCreateMs, 0);
  EXPECT_GE(r.flushAfterDeleteMs, 0);

  // Stopped part way: exactly the files made so far are gone again.
  CountingCreateDelete stopping;
  stopping.stopAfter = 4;
  const CreateDeleteRecord s = RunCreateDelete(test, stopping);
  EXPECT_EQ(s.stoppedBy, SIGINT);
  EXPECT_EQ(s.created, 5);
  EXPECT_FALSE(s.createdAll);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
  EXPECT_EQ(testing_support::ReadText(file), "mine");
}

}  // namespace
