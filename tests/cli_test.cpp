// The command line as a script sees it.
#include <gtest/gtest.h>

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
