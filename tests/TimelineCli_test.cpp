// orvandel-cli --timeline as a script uses it: the CSV beside the JSON of
// the same run, and paths it cannot write.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <sstream>
#include <vector>

#include "tests/support.h"

namespace {

namespace fs = std::filesystem;
using testing_support::RunCommand;

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
  testing_support::TempDir dir;
  const std::string file = dir.File("t.bin"), csv = dir.File("t.csv");
  const auto run = RunCommand(std::string(ORVANDEL_CLI) + " write --file '" + file + "' --size 3 --block-sectors 8" +
                              " --timeline '" + csv + "' --json");
  ASSERT_EQ(run.status, 0) << run.out;
  const auto json = nlohmann::json::parse(run.out);
  const auto rows = Csv(testing_support::ReadText(csv));
  ASSERT_EQ(rows.size(), 769u) << "the header and one row per 4 KiB block";
  EXPECT_EQ(rows[0], (std::vector<std::string>{"offset_bytes", "t_ns", "mb_per_s", "dirty_kib", "writeback_kib"}));
  ASSERT_EQ(json["timeline"].size(), 768u);
  std::int64_t offset = 0, t = 0;
  for (std::size_t i = 1; i < rows.size(); ++i) {
    ASSERT_EQ(rows[i].size(), 5u) << i;
    const std::int64_t o = std::stoll(rows[i][0]), ns = std::stoll(rows[i][1]);
    EXPECT_EQ(o, offset + 4096) << "row " << i;
    EXPECT_GE(ns, t) << "row " << i;
    // The row's rate is its own slice's, and the JSON row says the same.
    const auto& j = json["timeline"][i - 1];
    EXPECT_EQ(j["offset_bytes"], o);
    EXPECT_EQ(j["t_ns"], ns);
    if (ns > t) EXPECT_NEAR(std::stod(rows[i][2]), 4096.0 / 1048576 / ((ns - t) / 1e9), 0.0005 + 1e-6 * std::stod(rows[i][2]));
    EXPECT_EQ(rows[i][3].empty(), j["dirty_kib"].is_null());
    offset = o;
    t = ns;
  }
  EXPECT_EQ(offset, static_cast<std::int64_t>(fs::file_size(file)));
  EXPECT_EQ(t, json["elapsed_ns"].get<std::int64_t>());
  ASSERT_EQ(json["flushes"].size(), 2u);
  EXPECT_EQ(json["flushes"][0]["kind"], "file");
  EXPECT_EQ(json["flushes"][1]["kind"], "volume");
  EXPECT_GE(json["flushes"][0]["start_ns"].get<std::int64_t>(), t);
}

TEST(CliTimeline, PathsItCannotWriteEndTheCommandBeforeAnythingRuns) {
  testing_support::TempDir dir;
  const std::string file = dir.File("t.bin");
  for (const std::string& csv : {dir.path().string(), dir.File("no/such/folder.csv")}) {
    const auto run = RunCommand(std::string(ORVANDEL_CLI) + " write --file '" + file + "' --size 1 --timeline '" +
                                csv + "' 2>&1");
    EXPECT_EQ(run.status, 1) << run.out;
    EXPECT_NE(run.out.find("--timeline: " + csv + ": "), std::string::npos) << run.out;
    EXPECT_FALSE(fs::exists(file)) << "the run must not have started";
  }
  // A run that ends before its clock starts leaves no CSV it made.
  const std::string csv = dir.File("read.csv");
  const auto run = RunCommand(std::string(ORVANDEL_CLI) + " read --file '" + file + "' --timeline '" + csv + "' 2>&1");
  EXPECT_EQ(run.status, 1) << run.out;
  EXPECT_NE(run.out.find("File not found"), std::string::npos) << run.out;
  EXPECT_FALSE(fs::exists(csv));
}

}  // namespace
