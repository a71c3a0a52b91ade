// Many machines: the job's totals from its ranks' records, and jobs of
// three ranks on this machine under mpirun.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "cli/Job.h"
#include "platform/cluster.h"
#include "random/Histogram.h"
#include "tests/support.h"

namespace {

using json = nlohmann::json;
namespace fs = std::filesystem;
const std::string kCli = ORVANDEL_CLI;
// Open MPI unloads its plugins at its end and leaves allocations that the
// leak checker of a sanitizer build cannot attribute: ranks run without it
// (the paths of ours they take are leak-checked by the single runs' tests).
const std::string kRanksEnv = "ASAN_OPTIONS=\"${ASAN_OPTIONS:-}:detect_leaks=0\" ";

std::int64_t Min(const json& ranks, const char* f) {
  std::int64_t v = ranks[0][f];
  for (const json& r : ranks) v = std::min<std::int64_t>(v, r[f]);
  return v;
}
std::int64_t Max(const json& ranks, const char* f) {
  std::int64_t v = ranks[0][f];
  for (const json& r : ranks) v = std::max<std::int64_t>(v, r[f]);
  return v;
}
double Sum(const json& ranks, const char* f) {
  double v = 0;
  for (const json& r : ranks) v += r[f].get<double>();
  return v;
}

TEST(JobTotals, SpansSumsAndMergedLatenciesFromTheRanksRecords) {
  // Times on rank 0's clock; rank 1 started first.
  auto write = [](double size, int start, int end, int endWithFlush, double rate, json flushMs) {
    return json{{"command", "write"},
                {"test_size", size},
                {"start_ns", start},
                {"end_ns", end},
                {"end_with_flush_ns", endWithFlush},
                {"mb_per_s", rate},
                {"file_flush_ms", flushMs},
                {"block_size", 4096}};
  };
  std::vector<json> writes = {write(1048576, 5000, 1005000, 1505000, 1.0, 3),
                              write(1048576, 4000, 904000, 2004000, 3.0, 7),
                              write(2097152, 4500, 1254000, 1304000, 2.0, nullptr)};
  const json w = AggregateThroughput(writes);
  EXPECT_EQ(writes[1]["start_ns"], 0);
  EXPECT_EQ(writes[0]["end_with_flush_ns"], 1501000);
  EXPECT_EQ(w["elapsed_ns"], 1250000);
  EXPECT_EQ(w["elapsed_with_flush_ns"], 2000000);
  EXPECT_EQ(w["test_size"], 4194304.0);
  EXPECT_DOUBLE_EQ(w["mb_per_s"].get<double>(), 4 / 1.25e-3);
  EXPECT_DOUBLE_EQ(w["mb_per_s_with_flush"].get<double>(), 4 / 2e-3);
  EXPECT_EQ(w["file_flush_ms"], 7);  // the one the job waited for
  EXPECT_EQ(w["over_ranks"]["mb_per_s"]["median"], 2.0);
  EXPECT_EQ(w["lines"][0], "without flush: Written with 3200.0 MB/s");
  EXPECT_FALSE(w.contains("start_ns") || w.contains("cache") || w.contains("host"));

  std::vector<json> tests;
  for (int r = 0; r < 2; ++r)
    tests.push_back({{"files", 10},
                     {"created", 10},
                     {"not_deleted", 0},
                     {"volume_flushed", true},
                     {"create_start_ns", 1000 + r * 500},
                     {"create_end_ns", 11000 + r * 1000},
                     {"delete_start_ns", 20000},
                     {"delete_end_ns", 24000 + r * 1000}});
  const json c = AggregateCreateDelete(tests);
  EXPECT_EQ(c["files"], 20);
  EXPECT_EQ(c["create_ns"], 11000);
  EXPECT_DOUBLE_EQ(c["creations_per_s"].get<double>(), 20 / 11e-6);
  EXPECT_DOUBLE_EQ(c["deletions_per_s"].get<double>(), 20 / 5e-6);

  // Two ranks of different speeds: the job's percentiles are those of all
  // transfers, not an average of the ranks' own.
  Histogram fast, slow, all;
  for (std::uint64_t ns = 1000; ns <= 100000; ns += 7) fast.Record(ns), all.Record(ns);
  for (std::uint64_t ns = 5000000; ns <= 5100000; ns += 1000) slow.Record(ns), all.Record(ns);
  auto random = [](double iops, double rate, const Histogram& h, int start, json perSecond) {
    return json{{"iops", iops},
                {"mb_per_s", rate},
                {"transfers", h.Count()},
                {"start_ns", start},
                {"end_ns", 900 + start},
                {"iops_per_second", perSecond},
                {"histogram", h.Serialized()}};
  };
  std::vector<json> randoms = {random(1000.0, 4.0, fast, 0, {5, 6}),
                               random(10.0, 0.5, slow, 100, {1})};
  const json r = AggregateRandom(randoms);
  EXPECT_DOUBLE_EQ(r["iops"].get<double>(), 1010);
  EXPECT_EQ(r["transfers"], all.Count());
  EXPECT_EQ(r["iops_per_second"], json({6, 6}));
  for (const char* p : {"50", "99", "99.9"})
    EXPECT_EQ(r["latency_ns"]["percentiles"][p], all.Percentile(std::stod(p))) << p;
  EXPECT_EQ(r["latency_ns"]["max"], all.Max());
  EXPECT_DOUBLE_EQ(r["latency_ns"]["mean"].get<double>(), all.Mean());
  EXPECT_FALSE(randoms[0].contains("histogram"));

  // What is not a histogram's text is none.
  for (const char* bad :
       {"", "3 1 2 3", "1 5 5 5 25 999999:1", "2 5 5 10 50 5:1", "1 5 5 5 25 5:1 x"})
    EXPECT_FALSE(Histogram::FromSerialized(bad)) << bad;
}

// Three ranks on this machine, as CI can start them.
class MpiJob : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!os::cluster::Available()) GTEST_SKIP() << "built without MPI";
    if (testing_support::RunCommand("command -v mpirun >/dev/null").status != 0)
      GTEST_SKIP() << "mpirun is not installed (openmpi-bin)";
  }
  static std::string Mpirun(const std::string& args) {
    return kRanksEnv + "timeout 120 mpirun --allow-run-as-root --oversubscribe -np 3 " + kCli +
           " " + args + " 2>" + "/dev/null";
  }
  // The job's object; without status, the job must succeed.
  static json Job(const std::string& args, int* status = nullptr) {
    const auto r = testing_support::RunCommand(Mpirun(args + " --json"));
    if (status) *status = r.status;
    EXPECT_TRUE(status || r.status == 0) << args << ": status " << r.status << ", " << r.out;
    json j = json::parse(r.out, nullptr, false);
    EXPECT_TRUE(j.is_object()) << args << ": " << r.out;
    return j;
  }
  testing_support::TempDir dir;
};

TEST_F(MpiJob, EveryTestOverThreeRanksAddsUpFromItsRanks) {
  const std::string file = dir.File("t.bin");
  json w = Job("write --file " + file + " --size 4");
  ASSERT_EQ(w["ranks"].size(), 3u);
  for (int r = 0; r < 3; ++r) {
    EXPECT_EQ(w["ranks"][r]["rank"], r);
    EXPECT_EQ(fs::file_size(file + ".r000" + std::to_string(r)), 4u << 20);
  }
  EXPECT_FALSE(fs::exists(file));
  const json& ranks = w["ranks"];
  EXPECT_EQ(Min(ranks, "start_ns"), 0);
  EXPECT_EQ(w["aggregate"]["elapsed_ns"], Max(ranks, "end_ns"));
  EXPECT_EQ(w["aggregate"]["elapsed_with_flush_ns"], Max(ranks, "end_with_flush_ns"));
  EXPECT_DOUBLE_EQ(w["aggregate"]["mb_per_s"].get<double>(),
                   Sum(ranks, "test_size") / 1048576 / (Max(ranks, "end_ns") / 1e9));
  for (const json& r : ranks)
    EXPECT_EQ(r["end_with_flush_ns"],
              r["start_ns"].get<std::int64_t>() + r["elapsed_with_flush_ns"].get<std::int64_t>());

  json rd = Job("read --file " + file);
  EXPECT_EQ(rd["aggregate"]["test_size"], 12.0 * 1048576);
  EXPECT_EQ(rd["aggregate"]["elapsed_ns"], Max(rd["ranks"], "end_ns"));

  json cd = Job("create-delete --files 20 --file " + file);
  EXPECT_EQ(cd["aggregate"]["files"], 60);
  const std::int64_t span = Max(cd["ranks"], "create_end_ns") - Min(cd["ranks"], "create_start_ns");
  EXPECT_DOUBLE_EQ(cd["aggregate"]["creations_per_s"].get<double>(), 60 / (span / 1e9));
  EXPECT_EQ(cd["ranks"][2]["file"], file + ".r0002");

  json rn = Job("random --read --count 200 --depth 4 --file " + file);
  EXPECT_EQ(rn["aggregate"]["transfers"], 600);
  EXPECT_DOUBLE_EQ(rn["aggregate"]["iops"].get<double>(), Sum(rn["ranks"], "iops"));
  EXPECT_FALSE(rn["ranks"][0].contains("histogram"));
  const json& lat = rn["aggregate"]["latency_ns"];
  EXPECT_LE(lat["min"], lat["percentiles"]["50"]);
  EXPECT_LE(lat["percentiles"]["99"], lat["max"]);
  // A stonewall stops every rank's blocks, and the totals count what was done.
  json sw = Job("write --size 500 --stonewall 0.05 --no-flush-file --file " + file);
  EXPECT_TRUE(sw["aggregate"]["cut_short"]);
  EXPECT_EQ(sw["aggregate"]["test_size"], Sum(sw["ranks"], "test_size"));
  for (const json& r : sw["ranks"]) {
    EXPECT_TRUE(r["cut_short"]);
    EXPECT_LT(r["test_size"].get<double>(), 500.0 * 1048576);
    EXPECT_EQ(r["test_size"].get<double>(), r["bytes_transferred"].get<double>());
  }
  // Only the test files are left: every numbered file went again.
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 3);
}

TEST_F(MpiJob, OneFailingRankEndsTheJobAndAStopEndsEveryRank) {
  const std::string file = dir.File("t.bin");
  fs::create_directory(file + ".r0001");
  int status = 0;
  json j = Job("write --file " + file + " --size 64 --flush-every-block", &status);
  EXPECT_NE(status, 0);
  EXPECT_EQ(j["ok"], false);
  EXPECT_NE(j["reason"].get<std::string>().find("rank 1 on "), std::string::npos) << j.dump();
  EXPECT_FALSE(j.contains("aggregate"));
  EXPECT_EQ(j["ranks"][0]["message"], "Ended early: another rank failed");
  fs::remove(file + ".r0001");

  // A stop sent to mpirun reaches every rank, and each ends its run as a
  // stop ends one.
  const std::string out = dir.File("out.json");
  // Only this job's mpirun: other tests may run jobs of their own meanwhile.
  std::thread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    testing_support::RunCommand("pkill -TERM -f '^mpirun .*" + file + "'");
  });
  const auto r = testing_support::RunCommand(
      Mpirun("write --json --flush-every-block --size 4000 --file " + file) + " >" + out);
  stopper.join();
  EXPECT_NE(r.status, 0);
  j = json::parse(testing_support::ReadText(out), nullptr, false);
  ASSERT_TRUE(j.is_object()) << testing_support::ReadText(out);
  for (const json& rank : j["ranks"]) EXPECT_EQ(rank["message"], "Stopped by SIGTERM") << rank;
}

TEST_F(MpiJob, SharedFileSegmentsAreEachWrittenOnceAndReadBack) {
  const std::string file = dir.File("shared.bin");
  // Beyond the three segments the file keeps what it held.
  testing_support::WriteText(file, std::string(7 << 20, '\xff'));
  json w = Job("write --shared-file --size 2 --file " + file);
  std::vector<std::int64_t> offsets;
  for (const json& r : w["ranks"]) offsets.push_back(r["offset"]);
  EXPECT_EQ(offsets, (std::vector<std::int64_t>{0, 2 << 20, 4 << 20}));
  const std::string bytes = testing_support::ReadText(file);
  ASSERT_EQ(bytes.size(), 7u << 20);
  EXPECT_EQ(bytes.find_first_not_of('\0'), 6u << 20);
  EXPECT_EQ(bytes.find_first_not_of('\xff', 6u << 20), std::string::npos);

  json rd = Job("read --shared-file --block-size 1M --file " + file);
  // Two whole blocks each, and the last rank to the end of the file.
  EXPECT_EQ(rd["ranks"][1]["offset"], 2 << 20);
  EXPECT_EQ(rd["ranks"][2]["test_size"], 3.0 * 1048576);
  EXPECT_EQ(rd["aggregate"]["test_size"], 7.0 * 1048576);

  const auto alone = testing_support::RunCommand(kCli + " write --shared-file --file " + file);
  EXPECT_EQ(alone.status, 2);
}

// MPI is loaded only by a process that joins a job: the program does not
// need it, a job still runs, and a rank that cannot load it says why.
TEST_F(MpiJob, OnlyAJobLoadsMpiAndARankWithoutItsModuleSaysWhy) {
  const auto needed = testing_support::RunCommand("readelf -d " + kCli + " | grep NEEDED");
  ASSERT_NE(needed.out.find("libc.so"), std::string::npos) << needed.out;
  EXPECT_EQ(needed.out.find("libmpi"), std::string::npos) << needed.out;
  EXPECT_EQ(needed.out.find("libopen-"), std::string::npos) << needed.out;
  const std::string file = dir.File("t.bin");
  const json w = Job("write --file " + file + " --size 1");
  EXPECT_EQ(w["rank_count"], 3);

  // The program alone, without the module beside it or installed.
  const fs::path alone = dir.path() / "bin" / "orvandel-cli";
  fs::create_directories(alone.parent_path());
  fs::copy_file(kCli, alone);
  for (const std::string& how :
       {"OMPI_COMM_WORLD_SIZE=1 " + alone.string() + " write", alone.string() + " write --mpi"}) {
    const auto r =
        testing_support::RunCommand(how + " --json --size 1 --file " + dir.File("u.bin"));
    EXPECT_EQ(r.status, 1) << how;
    const json j = json::parse(r.out, nullptr, false);
    ASSERT_TRUE(j.is_object()) << how << ": " << r.out;
    EXPECT_EQ(j["ok"], false);
    EXPECT_EQ(j["message"], "Cannot run as a rank of a job");
    const std::string reason = j.value("reason", "");
    // Where the installed module would be, and why it is not loaded.
    const std::size_t installed = reason.find((dir.path() / "lib/").string());
    EXPECT_NE(installed, std::string::npos) << reason;
    EXPECT_NE(reason.find("/orvandel/orvandel-mpi.so: cannot open shared object file", installed),
              std::string::npos)
        << reason;
    EXPECT_NE(reason.find((alone.parent_path() / "orvandel-mpi.so").string()), std::string::npos)
        << reason;
  }
  EXPECT_FALSE(fs::exists(dir.File("u.bin")) || fs::exists(dir.File("u.bin.r0000")));
}

// Ranks that were started unlike each other either run honestly or are
// refused; none waits for the others forever.
TEST_F(MpiJob, RanksStartedUnlikeEachOtherNeitherHangNorOverlap) {
  const std::string file = dir.File("t.bin");
  const std::string cli = " " + kCli + " ";
  const std::string mpmd =
      kRanksEnv + "timeout 30 mpirun --allow-run-as-root --oversubscribe -np 1" + cli;
  auto r = testing_support::RunCommand(mpmd + "random --read --size 1M --count 10 --file " + file +
                                       " : -np 1" + cli + "random --size 1M --file " + file +
                                       " >/dev/null 2>&1");
  EXPECT_NE(r.status, 124) << "a rank refused after joining left the other at its meeting";

  r = testing_support::RunCommand(
      mpmd + "write --shared-file --json --size 1 --file " + file + " : -np 1" + cli +
      "write --shared-file --json --size 2 --file " + file + " : -np 1" + cli +
      "write --shared-file --json --size 1 --file " + file + " 2>/dev/null");
  const json w = json::parse(r.out, nullptr, false);
  if (r.status == 0) {
    ASSERT_TRUE(w.is_object()) << r.out;
    std::int64_t end = 0;
    for (const json& rank : w["ranks"]) {
      EXPECT_GE(rank["offset"].get<std::int64_t>(), end)
          << "rank " << rank["rank"] << "'s segment overlaps the one before";
      end = rank["offset"].get<std::int64_t>() + rank["test_size"].get<std::int64_t>();
    }
  }

  // A job of one rank adds up to that rank's own figures, also where the
  // name is not UTF-8 (the object names it in hex).
  r = testing_support::RunCommand(kRanksEnv + "timeout 60 " + kCli +
                                  " write --mpi --json --size 8 --file '" + file +
                                  "\xff' 2>/dev/null");
  const json one = json::parse(r.out, nullptr, false);
  ASSERT_TRUE(one.is_object()) << "status " << r.status << ": " << r.out;
  EXPECT_DOUBLE_EQ(one["aggregate"]["mb_per_s_with_flush"].get<double>(),
                   one["ranks"][0]["mb_per_s_with_flush"].get<double>());
}

}  // namespace
