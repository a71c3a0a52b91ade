// The command line as a script sees it.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <random>

#include "cli/JsonText.h"
#include "tests/support.h"

namespace {

using testing_support::RunCommand;

const std::string kCli = ORVANDEL_CLI;

TEST(Cli, VersionAndHelpSucceedAndUsageErrorsExitWithTwo) {
  const auto r = RunCommand(kCli + " --version");
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(r.out == "Orvandel V0.9.55\n" || r.out == "Orvandel V0.9.55 IDE\n") << r.out;
  const auto help = RunCommand(kCli + " --help");
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("--version"), std::string::npos);
  EXPECT_EQ(RunCommand(kCli + " --no-such-option 2>/dev/null").status, 2);
  EXPECT_EQ(RunCommand(kCli + " no-such-command 2>/dev/null").status, 2);
}

// An empty file has an empty status line: a report, not a failure.
TEST(CliStatus, AnEmptyFileIsReportedAndABadOptionIsAUsageError) {
  testing_support::TempDir dir;
  testing_support::WriteText(dir.File("empty"), "");
  const auto r = RunCommand(kCli + " status --json --file " + dir.File("empty"));
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("\"line\": \"\""), std::string::npos) << r.out;
  EXPECT_EQ(RunCommand(kCli + " status --bogus 2>/dev/null").status, 2);
}

TEST(CliStatus, FileSystemsWithoutLayoutQueriesAreReported) {
  if (!std::filesystem::is_directory("/dev/shm")) GTEST_SKIP() << "no tmpfs at /dev/shm";
  const std::string file = "/dev/shm/orvandel-cli-test-" + std::to_string(std::random_device{}());
  testing_support::WriteText(file, "data");
  const auto r = RunCommand(kCli + " status --file " + file + " 2>&1");
  std::filesystem::remove(file);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("does not tell where the file lies"), std::string::npos) << r.out;
}

TEST(CliStatus, NamesThatAreNoFileSayWhatTheyAreOnStderr) {
  testing_support::TempDir dir;
  const std::string cd = "cd " + dir.path().string() + " && ";
  // A program's name found along PATH is no file here.
  auto r = RunCommand(cd + kCli + " status --file ls 2>&1");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "orvandel-cli: ls: file not found\n");
  ASSERT_EQ(RunCommand("mkfifo " + dir.File("fifo")).status, 0);
  r = RunCommand(kCli + " status --file " + dir.File("fifo") + " 2>/dev/null");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "") << "nothing on stdout";
  r = RunCommand(kCli + " status --file " + dir.File("fifo") + " 2>&1 >/dev/null");
  EXPECT_NE(r.out.find("is a FIFO"), std::string::npos) << r.out;
  r = RunCommand(kCli + " status --file " + dir.path().string() + " 2>&1");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("is a directory"), std::string::npos) << r.out;
  r = RunCommand(kCli + " status --file /dev/null 2>&1");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("is a character device"), std::string::npos) << r.out;
  if (RunCommand("mknod " + dir.File("disk") + " b 7 0 2>/dev/null").status == 0) {
    r = RunCommand(kCli + " status --json --file " + dir.File("disk") + " 2>&1");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("is a block device"), std::string::npos) << r.out;
  }
}

// As Windows answers a sparse file: one run over the whole file, without a place.
TEST(CliStatus, AFileOfHolesOnlyReportsOneRunWithoutAPlace) {
  testing_support::TempDir dir;
  ASSERT_EQ(RunCommand("truncate -s 1M " + dir.File("holes")).status, 0);
  const auto r = RunCommand(kCli + " status --json --file " + dir.File("holes"));
  if (r.status == 1) GTEST_SKIP() << "the file system does not tell where files lie";
  ASSERT_EQ(r.status, 0);
  const auto json = nlohmann::json::parse(r.out);
  EXPECT_EQ(json["line"], "1 Fragment");
  EXPECT_EQ(json["fragments"], 1);
  ASSERT_EQ(json["runs"].size(), 1u);
  EXPECT_EQ(json["runs"][0]["lcn"], -1);
  EXPECT_EQ(json["runs"][0]["length"], (1 << 20) / json["cluster_size"].get<long long>());
}

TEST(CliStatus, NamesThatAreNotUtf8AreCarriedByteForByte) {
  testing_support::TempDir dir;
  const std::string file = dir.File("\xff\xfe");
  testing_support::WriteText(file, "data");
  const auto r = RunCommand(kCli + " status --json --file '" + file + "'");
  if (r.status == 1) GTEST_SKIP() << "the file system does not tell where files lie";
  ASSERT_EQ(r.status, 0) << r.out;
  const auto json = nlohmann::json::parse(r.out);
  ASSERT_TRUE(json["file"].is_object()) << json["file"];
  std::string bytes;
  const std::string hex = json["file"]["hex"];
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
    bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  EXPECT_EQ(bytes, file);
  EXPECT_TRUE(json["file"]["text"].get<std::string>().ends_with("/\xEF\xBF\xBD\xEF\xBF\xBD"));
  EXPECT_TRUE(json["file_system"].is_string());
}

TEST(JsonText, ValidUtf8PassesAndEverythingElseKeepsItsBytes) {
  for (const std::string valid : {"", "plain.bin", "caf\xC3\xA9", "\xE6\x97\xA5\xE6\x9C\xAC",
                                  "\xF0\x9F\x92\xBE", "back\\slash \"quoted\""})
    EXPECT_EQ(JsonText(valid), nlohmann::json(valid)) << valid;
  const struct {
    std::string bytes, hex, text;
  } invalid[] = {
      {"\xFF\xFE", "fffe", "\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"a\xC0\xAF", "61c0af", "a\xEF\xBF\xBD\xEF\xBF\xBD"},                // overlong '/'
      {"\xED\xA0\x80", "eda080", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // a surrogate
      {"\xE6\x97", "e697", "\xEF\xBF\xBD\xEF\xBF\xBD"},                    // cut short
      {"\xF4\x90\x80\x80", "f4908080",
       "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // above U+10FFFF
      {"ok\xC3\xA9\x80", "6f6bc3a980", "ok\xC3\xA9\xEF\xBF\xBD"},
  };
  for (const auto& c : invalid) {
    const auto j = JsonText(c.bytes);
    EXPECT_EQ(j, (nlohmann::json{{"hex", c.hex}, {"text", c.text}})) << c.hex;
    EXPECT_NO_THROW(j.dump());
  }
}

}  // namespace
