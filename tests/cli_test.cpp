// The command line as a script sees it.
#include <gtest/gtest.h>

#include <filesystem>
#include <random>

#include "tests/support.h"

namespace {

using testing_support::RunCommand;

const std::string kCli = ORVANDEL_CLI;

TEST(Cli, VersionPrintsTheTitle) {
  const auto r = RunCommand(kCli + " --version");
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(r.out == "Orvandel V0.9.55\n" || r.out == "Orvandel V0.9.55 IDE\n") << r.out;
}

TEST(Cli, HelpSucceedsAndUsageErrorsExitWithTwo) {
  const auto help = RunCommand(kCli + " --help");
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("--version"), std::string::npos);
  EXPECT_EQ(RunCommand(kCli + " --no-such-option 2>/dev/null").status, 2);
  EXPECT_EQ(RunCommand(kCli + " no-such-command 2>/dev/null").status, 2);
}

}  // namespace

namespace {

TEST(CliStatus, FilesThatCannotBeInspectedExitWithOneAndAReason) {
  testing_support::TempDir dir;
  auto r = RunCommand(kCli + " status --file " + dir.File("missing") + " 2>&1");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("file not found"), std::string::npos) << r.out;
  r = RunCommand(kCli + " status --file " + dir.path().string() + " 2>&1");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("is a directory"), std::string::npos) << r.out;
  EXPECT_EQ(RunCommand(kCli + " status --bogus 2>/dev/null").status, 2);

  // An empty file has an empty status line; that is a report, not a failure.
  testing_support::WriteText(dir.File("empty"), "");
  r = RunCommand(kCli + " status --json --file " + dir.File("empty"));
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("\"line\": \"\""), std::string::npos) << r.out;
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

}  // namespace
