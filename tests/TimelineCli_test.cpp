// orvandel-cli --timeline as a script uses it: the CSV beside the JSON of
// the same run, and paths it cannot write.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <filesystem>
#include <sstream>
#include <vector>

#include "tests/LoopDisk.h"
#include "tests/support.h"

namespace {

namespace fs = std::filesystem;
using testing_support::RunCommand;
using namespace std::string_literals;
std::string Cli(const std::string& args) { return std::string(ORVANDEL_CLI) + " " + args; }
constexpr const char* kHeader =
    "offset_bytes,t_ns,mb_per_s,dirty_kib,writeback_kib,file_cached_kib,file_dirty_kib,"
    "file_writeback_kib";

std::vector<std::vector<std::string>> Csv(const std::string& text) {
  std::vector<std::vector<std::string>> rows;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    std::vector<std::string> fields;
    std::string field;
    std::istringstream cells(line);
    while (std::getline(cells, field, ',')) fields.push_back(field);
    if (!line.empty() && line.back() == ',') fields.emplace_back();
    rows.push_back(fields);
  }
  return rows;
}

TEST(CliTimeline, CsvRowsRiseToTheFileSizeAndEndAtTheRunsElapsedTime) {
  // Without --timeline the JSON carries no rows at all.
  testing_support::TempDir dir;
  const auto bare = RunCommand(Cli("write --file '" + dir.File("b.bin") + "' --size 1 --json"));
  ASSERT_EQ(bare.status, 0) << bare.out;
  const auto plain = nlohmann::json::parse(bare.out);
  EXPECT_FALSE(plain.contains("timeline"));
  EXPECT_FALSE(plain.contains("flushes"));
  EXPECT_TRUE(plain.contains("file_flush_ns"));

  const std::string file = dir.File("t.bin"), csv = dir.File("t.csv");
  const auto run = RunCommand(Cli("write --file '" + file + "' --size 3 --block-sectors 8" +
                                  " --timeline '" + csv + "' --json"));
  ASSERT_EQ(run.status, 0) << run.out;
  const auto json = nlohmann::json::parse(run.out);
  const auto rows = Csv(testing_support::ReadText(csv));
  ASSERT_EQ(rows.size(), 769u) << "the header and one row per 4 KiB block";
  EXPECT_EQ(rows[0], Csv(kHeader)[0]);
  ASSERT_EQ(json["timeline"].size(), 768u);
  std::int64_t offset = 0, t = 0;
  std::size_t withFile = 0;
  for (std::size_t i = 1; i < rows.size(); ++i) {
    ASSERT_EQ(rows[i].size(), 8u) << i;
    const std::int64_t o = std::stoll(rows[i][0]), ns = std::stoll(rows[i][1]);
    EXPECT_EQ(o, offset + 4096) << "row " << i;
    EXPECT_GE(ns, t) << "row " << i;
    // The row's rate is its own slice's, and the JSON row says the same.
    const auto& j = json["timeline"][i - 1];
    EXPECT_EQ(j["offset_bytes"], o);
    EXPECT_EQ(j["t_ns"], ns);
    if (ns > t) {
      EXPECT_NEAR(std::stod(rows[i][2]), 4096.0 / 1048576 / ((ns - t) / 1e9),
                  0.0005 + 1e-6 * std::stod(rows[i][2]));
    }
    EXPECT_EQ(rows[i][3].empty(), j["dirty_kib"].is_null());
    // The file's own pages: all three or none, in KiB of no more than was
    // written by then, dirty and under writeback a part of those in memory.
    EXPECT_EQ(rows[i][5].empty(), j["file_cached_kib"].is_null());
    EXPECT_EQ(rows[i][5].empty(), rows[i][6].empty());
    EXPECT_EQ(rows[i][5].empty(), rows[i][7].empty());
    if (!rows[i][5].empty()) {
      ++withFile;
      const std::int64_t cached = std::stoll(rows[i][5]);
      EXPECT_EQ(j["file_cached_kib"], cached);
      EXPECT_LE(cached, (o + 1023) / 1024) << "row " << i;
      EXPECT_LE(std::stoll(rows[i][6]), cached) << "row " << i;
      EXPECT_LE(std::stoll(rows[i][7]), cached) << "row " << i;
    }
    offset = o;
    t = ns;
  }
  EXPECT_EQ(offset, static_cast<std::int64_t>(fs::file_size(file)));
  EXPECT_EQ(t, json["elapsed_ns"].get<std::int64_t>());
  ASSERT_EQ(json["flushes"].size(), 2u);
  EXPECT_EQ(json["flushes"][0]["kind"], "file");
  EXPECT_EQ(json["flushes"][1]["kind"], "volume");
  EXPECT_GE(json["flushes"][0]["start_ns"].get<std::int64_t>(), t);
  // The file's figures come where the run measured them around the blocks.
  EXPECT_EQ(withFile > 0, json["cache"]["source"] == "cachestat") << json["cache"];
  const auto& limits = json["dirty_thresholds"];
  if (!limits["dirty_bytes"].is_null()) {
    EXPECT_LE(limits["background_bytes"].get<std::int64_t>(),
              limits["dirty_bytes"].get<std::int64_t>());
  }
}

TEST(CliTimeline, PathsItCannotWriteEndTheCommandBeforeAnythingRuns) {
  testing_support::TempDir dir;
  const std::string file = dir.File("t.bin");
  for (const std::string& csv : {dir.path().string(), dir.File("no/such/folder.csv"), ""s}) {
    const auto run =
        RunCommand(Cli("write --file '" + file + "' --size 1 --timeline '" + csv + "' 2>&1"));
    EXPECT_EQ(run.status, 1) << run.out;
    EXPECT_NE(run.out.find("--timeline: " + csv + ": " + (csv.empty() ? "no file name" : "")),
              std::string::npos)
        << run.out;
    EXPECT_FALSE(fs::exists(file)) << "the run must not have started";
  }
  // Nor can a stream be shared with the JSON object.
  for (const std::string& stream : {"-"s, "/dev/stdout"s}) {
    const auto json =
        RunCommand(Cli("write --file '" + file + "' --size 1 --json --timeline " + stream));
    EXPECT_EQ(json.status, 2) << json.out;
    const auto parsed = nlohmann::json::parse(json.out, nullptr, false);
    ASSERT_TRUE(parsed.is_object()) << "one object and nothing else: " << json.out;
    EXPECT_EQ(parsed["ok"], false);
  }
  EXPECT_FALSE(fs::exists(file)) << "nothing ran";
  // A run that ends before its clock starts leaves no CSV it made.
  const std::string csv = dir.File("read.csv");
  const auto run = RunCommand(Cli("read --file '" + file + "' --timeline '" + csv + "' 2>&1"));
  EXPECT_EQ(run.status, 1) << run.out;
  EXPECT_NE(run.out.find("File not found"), std::string::npos) << run.out;
  EXPECT_FALSE(fs::exists(csv));
}

// Outputs that would lose data: the run never starts, nothing is touched,
// the command fails with the path and the cause.
TEST(CliTimelineOutputs, AFifoAndTheTestFileAreRefusedBeforeTheRun) {
  testing_support::TempDir dir;
  const std::string data = dir.File("data.bin");
  ASSERT_EQ(RunCommand(Cli("write --file '" + data + "' --size 1 --random")).status, 0);
  const std::string before = testing_support::ReadText(data);
  const std::string fifo = dir.File("fifo");
  ASSERT_EQ(RunCommand("mkfifo '" + fifo + "'").status, 0);
  // Each kind of refusal is the writer's (outputs_test); here, that one
  // ends the command before the run, and a FIFO does not hold it up.
  for (const std::string& target : {data, fifo}) {
    const auto run = RunCommand(
        "timeout 20 " + Cli("read --file '" + data + "' --timeline '" + target + "' --json"));
    EXPECT_EQ(run.status, 1) << target << "\n" << run.out;
    const auto json = nlohmann::json::parse(run.out, nullptr, false);
    ASSERT_TRUE(json.is_object()) << run.out;
    EXPECT_EQ(json["ok"], false);
    EXPECT_EQ(json["reason"].get<std::string>().rfind(target + ": ", 0), 0u) << json["reason"];
    EXPECT_FALSE(json.contains("elapsed_ns")) << "the run must not have started";
  }
  EXPECT_EQ(testing_support::ReadText(data), before);
  // A new test file named as the timeline: refused before it is made.
  const auto same = RunCommand(Cli("write --file '" + dir.File("new.bin") +
                                   "' --size 1 --timeline '" + dir.File("new.bin") + "' 2>&1"));
  EXPECT_EQ(same.status, 1) << same.out;
  EXPECT_FALSE(fs::exists(dir.File("new.bin")));
}

TEST(CliTimelineOutputs, ABlockDevicesContentsAreNeverOverwritten) {
  if (RunCommand("id -u").out != "0\n") GTEST_SKIP() << "needs root for loop devices";
  testing_support::TempDir dir;
  testing_support::LoopDisk disk(dir, "4M");
  if (!disk.Ready()) GTEST_SKIP() << "no loop device can be attached here";
  ASSERT_EQ(RunCommand("printf 'disk label' | dd of=" + disk.Device() + " conv=notrunc status=none")
                .status,
            0);
  const auto run = RunCommand(
      Cli("write --file '" + dir.File("x") + "' --size 1 --timeline " + disk.Device() + " 2>&1"));
  EXPECT_EQ(run.status, 1) << run.out;
  EXPECT_NE(run.out.find(disk.Device() + ": is a block device, not a file"), std::string::npos)
      << run.out;
  EXPECT_EQ(RunCommand("head -c 10 " + disk.Device()).out, "disk label");
}

TEST(CliTimelineOutputs, StandardOutputTakesTheRowsAsItIsUnlessItIsTheTestFile) {
  testing_support::TempDir dir;
  const std::string file = dir.File("t.bin"), log = dir.File("log");
  for (const std::string& name : {std::string("/dev/stdout"), std::string("-"), log}) {
    testing_support::WriteText(log, "earlier\n");
    const auto run =
        RunCommand(Cli("write --file '" + file + "' --size 1 --block-sectors 64 --timeline '" +
                       name + "' >> '" + log + "'"));
    ASSERT_EQ(run.status, 0) << name;
    const std::string text = testing_support::ReadText(log);
    EXPECT_EQ(text.rfind("earlier\n", 0), 0u) << name << ": the log was truncated";
    const auto lines = text.find("volume flush time: "), header = text.find(kHeader);
    EXPECT_NE(lines, std::string::npos) << name;
    EXPECT_NE(header, std::string::npos) << name;
    EXPECT_LT(lines, header) << name << ": the lines come first, the rows after them";
    if (header != std::string::npos) {
      EXPECT_EQ(std::count(text.begin() + static_cast<std::ptrdiff_t>(header), text.end(), '\n'),
                1 + 32)
          << text;
    }
  }
  // A standard output that is the test file is refused by either name.
  for (const std::string& name : {std::string("/dev/stdout"), std::string("-")}) {
    const auto run = RunCommand(Cli("read --file '" + file + "' --block-sectors 64 --timeline '" +
                                    name + "' 2>&1 >> '" + file + "'"));
    EXPECT_EQ(run.status, 1) << name;
    EXPECT_NE(run.out.find(name + ": is the test file"), std::string::npos)
        << name << ": " << run.out;
    EXPECT_EQ(fs::file_size(file), 1048576u) << name << ": the rows went into the test file";
  }
}

TEST(CliTimelineOutputs, ACsvThatCannotBeCompletedFailsTheCommandAndLeavesTheOldOne) {
  if (const std::string why = testing_support::ScratchMount::Unavailable(); !why.empty())
    GTEST_SKIP() << why;
  testing_support::ScratchMount small("tmpfs", "size=16k");
  if (!small.Ready()) GTEST_SKIP() << "tmpfs cannot be mounted here";
  testing_support::TempDir dir;
  const std::string csv = small.File("t.csv");
  testing_support::WriteText(csv, "old");
  const auto run = RunCommand(Cli("write --file '" + dir.File("t.bin") +
                                  "' --size 3 --block-sectors 8 --timeline '" + csv + "' --json"));
  EXPECT_EQ(run.status, 1) << run.out;
  const auto json = nlohmann::json::parse(run.out, nullptr, false);
  ASSERT_TRUE(json.is_object()) << run.out;
  EXPECT_EQ(json["ok"], false);
  EXPECT_NE(json["reason"].get<std::string>().find("No space left on device"), std::string::npos)
      << json["reason"];
  EXPECT_EQ(testing_support::ReadText(csv), "old");
  EXPECT_EQ(std::distance(fs::directory_iterator(small.Path()), fs::directory_iterator()), 1)
      << "a temporary file was left behind";
}

}  // namespace
