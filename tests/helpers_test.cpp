// String, path and file helpers.
#include <gtest/gtest.h>

#include <filesystem>

#include <sys/wait.h>
#include <unistd.h>

#include "fileio/basFiles.h"
#include "fileio/basStrings.h"
#include "platform/seam.h"
#include "tests/support.h"

namespace fs = std::filesystem;
namespace seam = os::seam;

namespace {

using namespace std::string_literals;

TEST(TrimNull, TrimsBlanksBeforeCuttingAtTheFirstNul) {
  EXPECT_EQ(TrimNull("  NTFS\0"s + std::string(27, ' ')), "NTFS");
  EXPECT_EQ(TrimNull("ab \0   "s), "ab ");
  EXPECT_EQ(TrimNull("     "), "");
  EXPECT_EQ(TrimNull(" plain text "), "plain text");
  EXPECT_EQ(TrimNull("\0rest"s), "");
  EXPECT_EQ(TrimNull("\tx\t"), "\tx\t");  // only spaces are blanks
}

TEST(ReplaceString, ReplacesEveryMatchLeftToRightWithoutOverlap) {
  const std::string cases[][4] = {{"*.*||", "|", "\0"s, "*.*\0\0"s},
                                  {"aaaa", "aa", "b", "bb"},
                                  {"aaa", "aa", "aaa", "aaaa"},
                                  {"1,464844 MB", ",", ".", "1.464844 MB"},
                                  {"none here", ",", ".", "none here"}};
  for (const auto& c : cases) {
    std::string text = c[0];
    ReplaceString(text, c[1], c[2]);
    EXPECT_EQ(text, c[3]) << c[0];
  }
}

TEST(AddBackslash, EndsNonEmptyPathsInOneSeparator) {
  for (const auto& [path, ended] : {std::pair<std::string, std::string>{"/tmp/x", "/tmp/x/"},
                                    {"/tmp/x/", "/tmp/x/"},
                                    {"/", "/"},
                                    {"", ""}}) {
    std::string p = path;
    AddBackslash(p);
    EXPECT_EQ(p, ended);
  }
}

TEST(FileExists, BlankNamesAreFalseWithoutAnyQuery) {
  seam::Reset();
  EXPECT_FALSE(FileExists(""));
  EXPECT_FALSE(FileExists("   "));
  EXPECT_EQ(seam::Calls(seam::Op::GetFileAttributesA), 0u);
  EXPECT_EQ(seam::Calls(seam::Op::FindExecutableA), 0u);
}

TEST(FileExists, FilesDirectoriesAndProgramsExistOthersDoNot) {
  testing_support::TempDir dir;
  testing_support::WriteText(dir.File("f"), "x");
  EXPECT_TRUE(FileExists(dir.File("f")));
  EXPECT_TRUE(FileExists(dir.path().string()));
  EXPECT_TRUE(FileExists("f", dir.path().string()));
  // A program's bare name is no file here: nothing is searched along PATH
  // or in the system's directory.
  EXPECT_FALSE(FileExists("sh"));

  const auto before = fs::current_path();
  EXPECT_FALSE(FileExists(dir.File("missing")));
  EXPECT_FALSE(FileExists("no-such-program-anywhere"));
  EXPECT_EQ(fs::current_path(), before) << "the lookup must return to the directory it left";
}

TEST(ChangeDirectory, TrimsItsArgumentAndGoesBack) {
  testing_support::TempDir dir;
  const auto before = fs::current_path();
  std::string target = " " + dir.path().string() + " ";
  EXPECT_TRUE(ChangeDirectory(target));
  EXPECT_EQ(target, dir.path().string());
  EXPECT_EQ(fs::current_path(), dir.path());
  std::string back;
  EXPECT_TRUE(ChangeDirectory(back));
  EXPECT_EQ(fs::current_path(), before);

  std::string missing = dir.File("missing");
  EXPECT_FALSE(ChangeDirectory(missing));
  EXPECT_EQ(fs::current_path(), before);
}

// In a child process, so that this one keeps its directory.
TEST(FileExists, AFolderThatCannotBeReadIsNeverLeft) {
  testing_support::TempDir dir;
  const std::string gone = dir.File("gone");
  fs::create_directory(gone);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    int failures = 0;
    if (chdir(gone.c_str()) != 0 || rmdir(gone.c_str()) != 0) _exit(100);
    failures += FileExists("cat") ? 1 : 0;  // a program's bare name
    failures += FileExists("orvandel-new.bin") ? 2 : 0;
    // Still in the deleted folder: a relative name resolves there, not in
    // the system's folder.
    char buf[4096];
    failures += getcwd(buf, sizeof buf) == nullptr && errno == ENOENT ? 0 : 4;
    failures += fs::exists("/usr/bin/orvandel-new.bin") ? 8 : 0;
    std::string target = "/";
    failures += ChangeDirectory(target) ? 16 : 0;  // could never come back
    failures += getcwd(buf, sizeof buf) == nullptr ? 0 : 32;
    failures += os::runtime::InitialTestFile("") == "_Orvandel.$$$" ? 0 : 64;
    _exit(failures);
  }
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "bit mask of the failed checks";
}

TEST(KeepStandardStreams, ClosedStandardStreamsBecomeTheNullDevice) {
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(0);
    close(2);
    os::runtime::KeepStandardStreams();
    int failures = 0;
    char target[64] = {};
    for (int fd : {0, 2}) {
      const std::string self = "/proc/self/fd/" + std::to_string(fd);
      const ssize_t n = readlink(self.c_str(), target, sizeof target - 1);
      if (n <= 0 || std::string(target, static_cast<std::size_t>(n)) != "/dev/null")
        failures |= 1 << fd;
    }
    _exit(failures);
  }
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "bit n: descriptor n is not the null device";
}

}  // namespace
