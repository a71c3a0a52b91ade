// The random-order test on Linux: the fallback where io_uring is switched
// off, and the random and profile commands as a script meets them.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <stdlib.h>

#include <sstream>

#include "random/RandomTest.h"
#include "tests/support.h"

namespace {

using testing_support::RunCommand;
const std::string kCli = ORVANDEL_CLI;

TEST(RandomLinux, ThreadPoolRunsWhereIoUringIsSwitchedOff) {
  testing_support::TempDir dir;
  RandomDescription d;
  d.file = dir.File("t.bin");
  d.size = 4 << 20;
  d.readPercent = 25;
  d.depth = 8;
  d.threads = 2;
  d.count = 3000;
  RandomObserver plain;
  const RandomRecord uring = RunRandom(d, plain);
  ::setenv("ORVANDEL_IO_URING", "off", 1);
  const RandomRecord pool = RunRandom(d, plain);
  ::unsetenv("ORVANDEL_IO_URING");
  ASSERT_TRUE(uring.finished && pool.finished) << uring.detail << pool.detail;
  EXPECT_EQ(pool.engine, "threads");
  EXPECT_NE(uring.engine, "");
  for (const RandomRecord* r : {&uring, &pool}) {
    EXPECT_EQ(r->transfers, 3000);
    EXPECT_EQ(r->reads, 750);
    EXPECT_GE(r->maxInFlight, 8);
  }
}

TEST(RandomLinux, CommandsPrintTheirFiguresAndNameBadValues) {
  testing_support::TempDir dir;
  const std::string file = dir.File("t.bin"), csv = dir.File("h.csv");
  auto r = RunCommand(kCli + " random --file " + file +
                      " --size 8M --block-size 4k --depth 4 --count 500 --mix 60 --seed 3 --json"
                      " --histogram " +
                      csv);
  ASSERT_EQ(r.status, 0) << r.out;
  const auto j = nlohmann::json::parse(r.out);
  EXPECT_EQ(j["ok"], true);
  EXPECT_EQ(j["command"], "random");
  EXPECT_EQ(j["transfers"], 500);
  EXPECT_EQ(j["reads"], 300);
  EXPECT_EQ(j["max_in_flight"], 4);
  EXPECT_TRUE(j["engine"] == "io_uring" || j["engine"] == "threads") << j["engine"];
  EXPECT_GT(j["iops"].get<double>(), 0);
  const auto& lat = j["latency_ns"];
  EXPECT_EQ(lat["percentiles"].size(), 17u);
  EXPECT_LE(lat["min"], lat["percentiles"]["50"]);
  EXPECT_LE(lat["percentiles"]["50"], lat["percentiles"]["99.9"]);
  EXPECT_LE(lat["percentiles"]["99.99"], lat["max"]);
  // The CSV's counts are every transfer.
  std::istringstream rows(testing_support::ReadText(csv));
  std::string line;
  std::getline(rows, line);
  EXPECT_EQ(line, "lower_ns,upper_ns,count");
  long total = 0;
  while (std::getline(rows, line)) total += std::stol(line.substr(line.rfind(',') + 1));
  EXPECT_EQ(total, 500);

  const auto text = RunCommand(kCli + " random --file " + file + " --read --count 100 --depth 2");
  EXPECT_EQ(text.status, 0);
  EXPECT_NE(text.out.find("read, 4k, Q2T1, "), std::string::npos) << text.out;
  EXPECT_NE(text.out.find("latency p50 "), std::string::npos) << text.out;

  auto refused = [&](const std::string& args, int status, const std::string& says) {
    const auto bad = RunCommand(kCli + " random --file " + file + " " + args + " 2>&1");
    EXPECT_EQ(bad.status, status) << args << ": " << bad.out;
    EXPECT_NE(bad.out.find(says), std::string::npos) << args << ": " << bad.out;
  };
  refused("--read --depth 0", 2, "--depth");
  refused("--read --block-size 4q", 2, "must be a size such as");
  refused("--count 5", 2, "one of --read, --write or --mix PCT is needed");
  refused("--read --seconds 1 --count 5", 2, "excludes");
  refused("--read --block-size 16M", 1, "is larger than the file (8388608 bytes)");
  refused("--read --direct --block-size 1000", 1, "multiple of 512 bytes");

  const auto p = RunCommand(kCli + " profile --file " + dir.File("p.bin") +
                            " --size 4M --seconds 0.05 --json");
  ASSERT_EQ(p.status, 0) << p.out;
  const auto pj = nlohmann::json::parse(p.out);
  ASSERT_EQ(pj["tests"].size(), 8u);
  EXPECT_EQ(pj["tests"][4]["name"], "RND4K Q32T1");
  EXPECT_EQ(pj["tests"][5]["direction"], "write");
  EXPECT_EQ(pj["tests"][4]["max_in_flight"], 32);
  for (const auto& t : pj["tests"]) EXPECT_GT(t["iops"].get<double>(), 0) << t["name"];
}

}  // namespace
