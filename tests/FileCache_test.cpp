// The test file's own pages in the cache: the figures of the OS layer
// against fincore, the readings a run takes around its clock, the verdict
// made of them, and the command line's --evict.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cerrno>
#include <limits>
#include <string>
#include <vector>

#include "form/ResultLines.h"
#include "platform/os.h"
#include "platform/seam.h"
#include "tests/support.h"
#include "throughput/ThroughputRun.h"

namespace {

using os::runtime::FileCache;
using os::seam::Op;
using testing_support::RunCommand;
using testing_support::TempDir;

constexpr std::int64_t kMiB = 1 << 20;

// The resident bytes fincore counts, on its own.
std::int64_t Fincore(const std::string& path) {
  return std::stoll(RunCommand("fincore -b -n -o RES '" + path + "'").out);
}

FileCache Figures(os::HANDLE h) {
  FileCache f;
  EXPECT_TRUE(os::runtime::FileCacheFigures(h, &f)) << os::GetLastError();
  return f;
}

TEST(FileCache, FiguresFollowWritesDropsAndReadsByBothSources) {
  os::seam::Reset();
  TempDir dir;
  const std::string path = dir.File("cached");
  // Random access: no read-ahead, so that what is read is what is cached.
  const os::HANDLE h = os::CreateFileA(path, os::GENERIC_READ | os::GENERIC_WRITE, 3,
                                       os::OPEN_ALWAYS, os::FILE_FLAG_RANDOM_ACCESS);
  ASSERT_NE(h, os::INVALID_HANDLE_VALUE);
  std::vector<std::byte> block(kMiB, std::byte{7});
  os::DWORD n = 0;
  for (int i = 0; i < 16; ++i) ASSERT_EQ(os::WriteFile(h, block, &n), os::TRUE);

  FileCache f = Figures(h);
  EXPECT_EQ(f.source, FileCache::Source::Cachestat);
  EXPECT_EQ(f.fileBytes, 16 * kMiB);
  EXPECT_EQ(f.cachedBytes, 16 * kMiB) << "all of it just written";
  EXPECT_GT(f.dirtyBytes + f.writebackBytes, 0) << "not flushed yet";
  EXPECT_EQ(f.cachedBytes, Fincore(path));

  ASSERT_TRUE(os::runtime::DropFileCache(h));
  f = Figures(h);
  EXPECT_LE(f.cachedBytes, f.fileBytes / 100) << "dropped";
  EXPECT_EQ(f.dirtyBytes, 0) << "written back before dropping";

  // Half of it read back: half of it in memory.
  os::SetFilePointer(h, 0, nullptr, os::FILE_BEGIN);
  for (int i = 0; i < 8; ++i) ASSERT_EQ(os::ReadFile(h, block, &n), os::TRUE);
  const FileCache byCachestat = Figures(h);
  EXPECT_GE(byCachestat.cachedBytes, 8 * kMiB);
  EXPECT_LE(byCachestat.cachedBytes, 9 * kMiB);
  EXPECT_EQ(byCachestat.cachedBytes, Fincore(path));

  // Without cachestat: the same count of pages, no dirty figure; a handle
  // that may only write is counted too.
  const os::HANDLE writeOnly = os::CreateFileA(path, os::GENERIC_WRITE, 3, os::OPEN_EXISTING, 0);
  ASSERT_NE(writeOnly, os::INVALID_HANDLE_VALUE);
  for (const os::HANDLE each : {h, writeOnly}) {
    os::seam::FailNext(Op::Cachestat, ENOSYS);
    const FileCache byMincore = Figures(each);
    EXPECT_EQ(byMincore.source, FileCache::Source::Mincore);
    EXPECT_EQ(byMincore.cachedBytes, byCachestat.cachedBytes);
    EXPECT_EQ(byMincore.dirtyBytes, -1);
    EXPECT_EQ(byMincore.writebackBytes, -1);
  }
  os::CloseHandle(writeOnly);
  os::CloseHandle(h);
  EXPECT_FALSE(os::runtime::FileCacheFigures(h, &f)) << "a closed handle has no figure";
  os::seam::Reset();
}

// Counts the figures taken at each moment the run tells its observer of.
class Watch : public ThroughputObserver {
 public:
  explicit Watch(bool flushFile) : flushFile_(flushFile) {}
  void ClockStarted() override { atClockStart = os::seam::Calls(Op::Cachestat); }
  void BlocksDone() override { atBlocksDone = os::seam::Calls(Op::Cachestat); }
  FinishChoices AtFinish() override { return {flushFile_, false}; }
  void FlushStarting(const ThroughputRecord&, FlushMark::Kind) override {
    atFlushStart = os::seam::Calls(Op::Cachestat);
  }
  std::uint64_t atClockStart = 0, atBlocksDone = 0, atFlushStart = 0;

 private:
  bool flushFile_;
};

ThroughputRecord RunOnce(const std::string& path, bool writing, bool flushFile, bool evict,
                         Watch* watch = nullptr) {
  ThroughputDescription d;
  d.file = path;
  d.writing = writing;
  d.size = writing ? 32 * kMiB * kFixed : std::numeric_limits<std::int64_t>::max();
  d.blockSize = 1 << 20;
  d.recordTimeline = false;
  d.evictFirst = evict;
  Watch own(flushFile);
  clsFile64 file;
  os::seam::Reset();
  // Any fault that never applies: counting starts.
  os::seam::FailNext(Op::Cachestat, ENOSYS, 1000);
  ThroughputRecord r = RunThroughput(d, file, watch ? *watch : own);
  if (file.IsOpen()) file.CloseFile();
  os::seam::Reset();
  return r;
}

TEST(FileCacheRun, ReadingsLieOutsideTheClockAndTheVerdictSaysWhatWasMeasured) {
  TempDir dir;
  const std::string path = dir.File("t.bin");

  // A Write with a file flush: a reading before the clock, one after it
  // stopped, one after the flush; none between.
  Watch watch(true);
  const ThroughputRecord w = RunOnce(path, true, true, false, &watch);
  ASSERT_TRUE(w.finished) << w.message << w.detail;
  EXPECT_EQ(watch.atClockStart, 1u);
  EXPECT_EQ(watch.atBlocksDone, 1u) << "nothing taken while the clock runs";
  EXPECT_EQ(watch.atFlushStart, 2u);
  EXPECT_LT(w.cache.atStart.tNs, 0);
  EXPECT_GE(w.cache.atStop.tNs, w.elapsedNs);
  ASSERT_EQ(w.cache.afterFlushes.size(), 1u);
  EXPECT_GE(w.cache.afterFlushes[0].reading.tNs, w.elapsedNs + w.sleepNs + w.fileFlushNs);
  EXPECT_EQ(w.cache.afterFlushes[0].reading.Unwritten(), 0) << "fsync wrote it all";
  EXPECT_GT(w.cache.atStop.Unwritten(), 0);
  EXPECT_NE(CacheVerdict(w, '.').find("; the flushes wrote "), std::string::npos)
      << CacheVerdict(w, '.');

  // Read right after: all in memory.
  const ThroughputRecord cached = RunOnce(path, false, false, false);
  ASSERT_TRUE(cached.finished) << cached.message << cached.detail;
  EXPECT_EQ(cached.cache.atStart.figures.cachedBytes, 32 * kMiB);
  EXPECT_FALSE(cached.cache.evicted);
  EXPECT_EQ(CacheVerdict(cached, '.'),
            "100 % of the file was in memory when the run began: this figure is mostly the cache");

  // Evicted first: from the disk, and the run's own read fills the cache.
  const ThroughputRecord evicted = RunOnce(path, false, false, true);
  ASSERT_TRUE(evicted.finished) << evicted.message << evicted.detail;
  EXPECT_TRUE(evicted.cache.evicted);
  EXPECT_EQ(evicted.cache.beforeEvict.figures.cachedBytes, 32 * kMiB);
  EXPECT_LT(evicted.cache.beforeEvict.tNs, evicted.cache.atStart.tNs);
  EXPECT_LT(evicted.cache.atStart.tNs, 0);
  EXPECT_LE(evicted.cache.atStart.figures.cachedBytes, kMiB / 4);
  EXPECT_EQ(evicted.cache.atStop.figures.cachedBytes, 32 * kMiB);
  EXPECT_EQ(CacheVerdict(evicted, '.'),
            "After dropping its pages, 0 % of the file was in memory when the run began: this "
            "figure came from the disk");
}

TEST(FileCacheRun, OnTmpfsTheVerdictSaysNoDiskLiesBeneath) {
  if (const std::string why = testing_support::ScratchMount::Unavailable(); !why.empty())
    GTEST_SKIP() << why;
  testing_support::ScratchMount tmpfs("tmpfs", "size=64m");
  ASSERT_TRUE(tmpfs.Ready());
  const std::string path = tmpfs.File("t.bin");
  ASSERT_TRUE(RunOnce(path, true, false, false).finished);
  const ThroughputRecord r = RunOnce(path, false, false, true);
  ASSERT_TRUE(r.finished) << r.message << r.detail;
  EXPECT_TRUE(r.cache.atStart.figures.inMemory);
  EXPECT_EQ(r.cache.atStart.figures.cachedBytes, r.cache.atStart.figures.fileBytes)
      << "dropping cannot take a tmpfs file's pages";
  EXPECT_EQ(CacheVerdict(r, '.'),
            "The file system of this file keeps it in memory alone: this figure is the "
            "memory's, no disk lies beneath");
}

TEST(FileCacheRun, VerdictThresholds) {
  ThroughputRecord r;
  r.finished = true;
  r.writing = false;
  r.cache.atStart.figures.source = FileCache::Source::Mincore;
  r.cache.atStart.figures.fileBytes = 1000;
  const std::pair<std::int64_t, const char*> reads[] = {
      {900, "90 % of the file was in memory when the run began: this figure is mostly the cache"},
      {894,
       "89 % of the file was in memory when the run began: this figure is partly the cache, "
       "partly the disk"},
      {100, "10 % of the file was in memory when the run began: this figure came from the disk"}};
  for (const auto& [cached, text] : reads) {
    r.cache.atStart.figures.cachedBytes = cached;
    EXPECT_EQ(CacheVerdict(r, '.'), text);
  }
  // A Write: what was still dirty or under writeback when the clock stopped.
  r.writing = true;
  r.transferred = 8 * kMiB;
  r.cache.atStop.figures = {FileCache::Source::Cachestat, 8 * kMiB, 8 * kMiB, 6 * kMiB, kMiB};
  EXPECT_EQ(CacheVerdict(r, ','),
            "88 % of what it wrote (7,0 MB) was still in memory, not on the disk, when its clock "
            "stopped: this figure is partly the cache, partly the disk");
  r.cache.atStop.figures.dirtyBytes = -1;
  EXPECT_NE(CacheVerdict(r, '.').find("not which are dirty"), std::string::npos);
  // No figure at all (Windows): said so, with the system's reason.
  r.cache = {};
  r.cache.reason = "The request is not supported.";
  EXPECT_EQ(CacheVerdict(r, '.'),
            "The system gives no figure of this file's pages in memory: The request is not "
            "supported.");
  r.finished = false;
  EXPECT_EQ(CacheVerdict(r, '.'), "") << "no result lines, no verdict";
}

TEST(FileCacheCli, ReadEvictReportsWhatStayedAndPrintsTheVerdictLast) {
  TempDir dir;
  const std::string file = dir.File("t.bin");
  const std::string cli = ORVANDEL_CLI;
  ASSERT_EQ(RunCommand(cli + " write --size 16 --no-flush-volume --file " + file).status, 0);
  const auto plain = RunCommand(cli + " read --file " + file);
  ASSERT_EQ(plain.status, 0) << plain.out;
  const std::string last = plain.out.substr(plain.out.rfind('\n', plain.out.size() - 2) + 1);
  EXPECT_EQ(last,
            "100 % of the file was in memory when the run began: this figure is mostly the "
            "cache\n")
      << plain.out;

  const auto evict = RunCommand(cli + " read --evict --json --file " + file);
  ASSERT_EQ(evict.status, 0) << evict.out;
  const auto cache = nlohmann::json::parse(evict.out)["cache"];
  EXPECT_EQ(cache["source"], "cachestat");
  EXPECT_EQ(cache["file_bytes"], 16 * kMiB);
  EXPECT_EQ(cache["evicted"], true);
  EXPECT_EQ(cache["before_evict"]["cached_bytes"], 16 * kMiB);
  EXPECT_LE(cache["at_start"]["cached_bytes"].get<std::int64_t>(), kMiB / 4);
  EXPECT_EQ(cache["at_start"]["dirty_bytes"], 0);
  EXPECT_TRUE(cache["after_flushes"].empty());
  EXPECT_NE(cache["verdict"].get<std::string>().find("this figure came from the disk"),
            std::string::npos)
      << cache;
}

}  // namespace
