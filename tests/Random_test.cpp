// The random-order test's parts and runs on real files; built for Linux and
// for Windows (under Wine).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <vector>

#include "platform/seam.h"
#include "random/Histogram.h"
#include "random/Order.h"
#include "random/RandomTest.h"
#include "tests/support.h"

namespace {

namespace fs = std::filesystem;

// What the process holds: its handles, and where the system has them its
// descriptors and threads (rings and pool threads are no handles of the layer).
struct Held {
  std::size_t handles = os::seam::OpenHandles();
  std::ptrdiff_t fds = os::seam::OpenDescriptors();
  std::ptrdiff_t tasks = os::seam::RunningThreads();
  bool operator==(const Held&) const = default;
};

TEST(RandomOrder, EachPassVisitsEveryBlockOnceAndRepeatsWithItsSeed) {
  for (std::uint64_t n : {1u, 2u, 3u, 7u, 100u, 4097u, 65539u}) {
    BlockOrder order(n, 42, false), again(n, 42, false), other(n, 43, false);
    std::vector<std::uint64_t> first;
    bool differs = false;
    for (std::uint64_t pass = 0; pass < 2; ++pass) {
      std::vector<int> seen(n);
      for (std::uint64_t i = 0; i < n; ++i) {
        const std::uint64_t k = pass * n + i, b = order.Block(k);
        ASSERT_LT(b, n);
        ++seen[b];
        ASSERT_EQ(b, again.Block(k));
        differs |= b != other.Block(k);
        if (pass == 0) first.push_back(b);
      }
      ASSERT_EQ(std::count(seen.begin(), seen.end(), 1), static_cast<std::ptrdiff_t>(n)) << n;
    }
    if (n > 3) {
      EXPECT_TRUE(differs) << "another seed, the same order, n=" << n;
      EXPECT_NE(first[0] * n + first[1], order.Block(n) * n + order.Block(n + 1)) << n;
    }
    // The pass an order is in does not change its answers.
    for (std::uint64_t k : {5 * n + 3, std::uint64_t{2}, n + 1, 7 * n, std::uint64_t{0}})
      EXPECT_EQ(order.Block(k), BlockOrder(n, 42, false).Block(k)) << n << " " << k;
  }
  // A mix reads exactly its share of every hundred transfers.
  for (int pct : {1, 30, 50, 99}) {
    int reads = 0;
    for (std::uint64_t k = 0; k < 1000; ++k) {
      reads += IsRead(k, pct, 7);
      if (k % 100 == 99) {
        EXPECT_EQ(reads, pct * static_cast<int>(k / 100 + 1));
      }
    }
  }
}

TEST(RandomHistogram, PercentilesAgainstSortedSamplesAndMerging) {
  std::mt19937_64 gen(5);
  std::lognormal_distribution<double> spread(std::log(200e3), 1.5);
  std::vector<std::uint64_t> samples;
  Histogram whole, a, b;
  for (int i = 0; i < 200000; ++i) {
    const auto v = static_cast<std::uint64_t>(i % 50 == 0 ? i % 300 : spread(gen));
    samples.push_back(v);
    whole.Record(v);
    (i % 3 ? a : b).Record(v);
    const std::size_t at = Histogram::Index(v);
    ASSERT_LE(Histogram::Lower(at), v);
    ASSERT_GT(Histogram::Upper(at), v);
  }
  a.Merge(b);
  std::sort(samples.begin(), samples.end());
  EXPECT_EQ(a.Count(), samples.size());
  EXPECT_EQ(a.Min(), samples.front());
  EXPECT_EQ(a.Max(), samples.back());
  double sum = 0, squares = 0;
  for (auto v : samples) sum += static_cast<double>(v);
  const double mean = sum / static_cast<double>(samples.size());
  for (auto v : samples)
    squares += (static_cast<double>(v) - mean) * (static_cast<double>(v) - mean);
  EXPECT_NEAR(a.Mean(), mean, mean * 1e-9);
  EXPECT_NEAR(a.StdDev(), std::sqrt(squares / static_cast<double>(samples.size())), mean * 1e-6);
  for (std::size_t i = 0; i < Histogram::kBuckets; ++i)
    ASSERT_EQ(a.BucketCount(i), whole.BucketCount(i)) << i;
  for (double p : {0.001, 1.0, 5.0, 10.0, 20.0, 30.0, 50.0, 90.0, 99.0, 99.5, 99.9, 99.99, 100.0}) {
    const auto rank = static_cast<std::size_t>(std::ceil(p / 100 * samples.size()));
    const double exact = static_cast<double>(samples[std::max<std::size_t>(rank, 1) - 1]);
    EXPECT_LE(std::abs(static_cast<double>(a.Percentile(p)) - exact), exact * 0.01) << p;
  }
  EXPECT_EQ(Histogram().Percentile(50), 0u);
}

class RandomRun : public ::testing::Test {
 protected:
  void SetUp() override { os::seam::Reset(); }
  testing_support::TempDir dir;
  std::string file = dir.File("random.bin");
};

// Stops as soon as transfers are known to run.
class StopWhenRunning : public RandomObserver {
 public:
  void Progress(const RandomProgress& p) override { running |= !p.preparing && p.transfers > 0; }
  int StopRequested() override { return running ? 15 : 0; }
  bool running = false;
};

TEST_F(RandomRun, WritePassStampsEveryBlockOnceThenMixKeepsItsRatio) {
  constexpr std::int64_t kBlocks = 1024;
  RandomDescription d;
  d.file = file;
  d.size = kBlocks * 4096;
  d.readPercent = 0;
  d.depth = 8;
  d.threads = 2;
  d.count = kBlocks;
  d.seed = 9;
  RandomObserver plain;
  RandomRecord r = RunRandom(d, plain);
  ASSERT_TRUE(r.finished) << r.message << " " << r.detail;
  EXPECT_FALSE(r.engine.empty());
  EXPECT_EQ(r.preparedBytes, d.size);
  EXPECT_EQ(r.transfers, kBlocks);
  EXPECT_EQ(r.writes, kBlocks);
  EXPECT_EQ(r.latency.Count(), static_cast<std::uint64_t>(kBlocks));
  EXPECT_EQ(r.bytes, d.size);
  // Both queues were handed their whole depth at once.
  EXPECT_GE(r.maxInFlight, 8);
  EXPECT_LE(r.maxInFlight, 16);
  // Each block holds its offset and one transfer number of the pass.
  std::ifstream in(file, std::ios::binary);
  std::set<std::uint64_t> numbers;
  std::vector<char> block(4096);
  for (std::uint64_t b = 0; b < kBlocks; ++b) {
    ASSERT_TRUE(in.read(block.data(), 4096));
    std::uint64_t words[2];
    std::memcpy(words, block.data(), sizeof words);
    ASSERT_EQ(words[0], b * 4096);
    ASSERT_GE(words[1], 1u);
    ASSERT_LE(words[1], static_cast<std::uint64_t>(kBlocks));
    numbers.insert(words[1]);
  }
  EXPECT_EQ(numbers.size(), static_cast<std::size_t>(kBlocks));

  d.readPercent = 70;
  d.count = 2000;
  d.size = 0;  // the file as it is
  // Counted after a first run: the layer keeps the mount table open once read.
  const Held before;
  r = RunRandom(d, plain);
  ASSERT_TRUE(r.finished) << r.message << " " << r.detail;
  EXPECT_EQ(Held(), before);
  EXPECT_EQ(r.preparedBytes, 0);
  EXPECT_EQ(r.reads, 1400);
  EXPECT_EQ(r.writes, 600);
  EXPECT_EQ(r.blocks, kBlocks);

  // A lone worker claims in batches and times with its own clock: the count
  // still holds exactly, the run lies within the time around the call, and
  // transfers one after another cannot add up to more than the run.
  d.readPercent = 70;
  d.depth = 1;
  d.threads = 1;
  d.count = 5000;
  const std::int64_t called = os::runtime::ClockNs();
  r = RunRandom(d, plain);
  const std::int64_t returned = os::runtime::ClockNs();
  ASSERT_TRUE(r.finished) << r.message << " " << r.detail;
  EXPECT_EQ(r.transfers, 5000);
  EXPECT_EQ(r.reads, 3500);
  EXPECT_EQ(r.bytes, 5000 * 4096);
  EXPECT_EQ(r.latency.Count(), 5000u);
  EXPECT_EQ(r.maxInFlight, 1);
  EXPECT_GE(r.startNs, called);
  EXPECT_LE(r.startNs + r.elapsedNs, returned);
  EXPECT_GT(r.latency.Min(), 0u);
  EXPECT_LE(r.latency.Mean() * 5000, static_cast<double>(r.elapsedNs));
}

TEST_F(RandomRun, StopWithTransfersInFlightEndsCleanly) {
  RandomDescription d;
  d.file = file;
  d.size = 8 << 20;
  d.readPercent = 50;
  d.depth = 32;
  RandomObserver plain;
  d.count = 1;
  // The file and the layer's mount table exist before counting what is held.
  ASSERT_TRUE(RunRandom(d, plain).finished);
  d.count = std::int64_t{1} << 40;  // ends by the stop or never
  // One thread watches for itself, at depth 1 in a loop of its own; more
  // are watched by the calling thread.
  for (auto [threads, depth] : {std::pair{1, 32}, {1, 1}, {2, 32}}) {
    d.threads = threads;
    d.depth = depth;
    const Held before;
    StopWhenRunning stop;
    const RandomRecord r = RunRandom(d, stop);
    EXPECT_EQ(r.stoppedBy, 15);
    EXPECT_FALSE(r.finished);
    EXPECT_TRUE(r.message.empty()) << r.message;
    EXPECT_GT(r.transfers, 0);
    EXPECT_EQ(r.latency.Count(), static_cast<std::uint64_t>(r.transfers));
    EXPECT_EQ(Held(), before) << threads << " " << depth;
  }
}

// Cuts the file to one block once transfers run.
class ShrinkWhenRunning : public StopWhenRunning {
 public:
  explicit ShrinkWhenRunning(std::string path) : path(std::move(path)) {}
  int StopRequested() override {
    if (running && !shrunk) std::filesystem::resize_file(path, 4096);
    shrunk |= running;
    return 0;
  }
  std::string path;
  bool shrunk = false;
};

TEST_F(RandomRun, AFileCutShortUnderTheRunEndsItNamingTheCause) {
  RandomDescription d;
  d.file = file;
  d.size = 8 << 20;
  d.count = 1;
  RandomObserver plain;
  ASSERT_TRUE(RunRandom(d, plain).finished);
  d.count = std::int64_t{1} << 40;
  // Depth 1 reads in the queue's own loop, depth 8 on the ring or the pool.
  for (const int depth : {1, 8}) {
    std::filesystem::resize_file(file, d.size);
    d.depth = depth;
    const Held before;
    ShrinkWhenRunning shrink(file);
    const RandomRecord r = RunRandom(d, shrink);
    EXPECT_FALSE(r.finished) << depth;
    EXPECT_EQ(r.message, "The file ended") << depth;
    EXPECT_NE(r.detail.find("the file is shorter than 8388608 bytes"), std::string::npos)
        << r.detail;
    EXPECT_EQ(r.latency.Count(), static_cast<std::uint64_t>(r.transfers)) << depth;
    EXPECT_EQ(Held(), before) << depth;
  }
}

TEST_F(RandomRun, BadValuesAreRefusedWithTheirCause) {
  RandomObserver plain;
  auto message = [&](auto change) {
    RandomDescription d;
    d.file = file;
    d.size = 1 << 20;
    d.count = 10;
    change(d);
    const RandomRecord r = RunRandom(d, plain);
    EXPECT_FALSE(r.finished);
    return r.message;
  };
  EXPECT_EQ(message([](auto& d) { d.depth = 0; }), "The queue depth must be from 1 to 256.");
  EXPECT_EQ(message([](auto& d) { d.threads = 65; }), "The threads must be from 1 to 64.");
  EXPECT_EQ(message([](auto& d) { d.blockSize = 256; }),
            "The block size must be from 512 bytes to 64 MiB.");
  EXPECT_EQ(message([](auto& d) { d.seconds = 1; }),
            "Either a duration or a count of transfers is needed.");
  EXPECT_EQ(message([](auto& d) { d.blockSize = 2 << 20; }),
            "The block size (2097152 bytes) is larger than the file (1048576 bytes).");
  EXPECT_NE(message([](auto& d) {
              d.blockSize = 1000;
              d.fileFlags = static_cast<std::int32_t>(os::FILE_FLAG_NO_BUFFERING);
            }).find("multiple of 512 bytes; 1000 bytes is not"),
            std::string::npos);
  EXPECT_NE(message([](auto& d) { d.size = 0; }).find("the file does not exist"),
            std::string::npos);
  // None of them wrote anything.
  EXPECT_FALSE(fs::exists(file));
  EXPECT_NE(message([&](auto& d) { d.file = dir.path().string(); }).find("is a folder"),
            std::string::npos);
}

}  // namespace
