// The command line's runs as a script meets them: what they print when they
// fail, how stop requests end them, and that they never act outside the
// folder they were given.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <random>
#include <regex>

#include "tests/LoopDisk.h"
#include "tests/support.h"

namespace {

namespace fs = std::filesystem;
using testing_support::RunCommand;
using testing_support::TempDir;

const std::string kCli = ORVANDEL_CLI;

TEST(CliRuns, FromADeletedFolderNothingLandsInTheSystemsFolder) {
  TempDir dir;
  const std::string name = "orvandel-test-" + std::to_string(std::random_device{}()) + ".bin";
  const std::string gone = dir.File("gone");
  fs::create_directory(gone);
  const auto r = RunCommand("cd " + gone + " && rmdir " + gone + " && " + kCli + " write --file " +
                            name + " --size 0.01 2>&1");
  const bool leaked = fs::exists("/usr/bin/" + name) || fs::exists("/" + name);
  fs::remove("/usr/bin/" + name);
  fs::remove("/" + name);
  EXPECT_FALSE(leaked) << "the run wrote outside the folder it was started in";
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_NE(r.out.find("Error opening the file: " + name + ": No such file or directory."),
            std::string::npos)
      << r.out;
}

TEST(CliRuns, AProgramsNameIsNoTestFile) {
  TempDir dir;
  const auto r = RunCommand("cd " + dir.path().string() + " && " + kCli + " read --file ls 2>&1");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("File not found"), std::string::npos) << r.out;
  EXPECT_FALSE(fs::exists(dir.File("ls")));
}

TEST(CliRuns, EveryEndIsOneJsonObjectThatSaysWhetherItWorked) {
  TempDir dir;
  auto json = [](const testing_support::CommandResult& r) { return nlohmann::json::parse(r.out); };
  auto ok =
      RunCommand(kCli + " write --json --size 0.1 --block-sectors 64 --file " + dir.File("t"));
  EXPECT_EQ(ok.status, 0);
  EXPECT_EQ(json(ok)["ok"], true);

  auto missing = RunCommand(kCli + " read --json --file " + dir.File("missing") + " 2>/dev/null");
  EXPECT_EQ(missing.status, 1);
  ASSERT_FALSE(missing.out.empty());
  EXPECT_EQ(json(missing)["ok"], false);
  EXPECT_EQ(json(missing)["message"], "File not found");
  EXPECT_EQ(json(missing)["reason"], dir.File("missing") + ": No such file or directory.");

  // A name that is not UTF-8 still gives a JSON object.
  const std::string odd = dir.File("\xff\xfe");
  auto refused = RunCommand(kCli + " write --json --size many --file '" + odd + "' 2>/dev/null");
  EXPECT_EQ(refused.status, 2);
  EXPECT_EQ(json(refused)["ok"], false);
  EXPECT_EQ(json(refused)["usage"], true);

  // A failed create-and-delete test: a name in a folder that does not exist.
  // The message box's two lines are one, the full stop between them gone.
  auto cd = RunCommand(kCli + " create-delete --json --files 10 --file " + dir.File("no/such/t") +
                       " 2>" + dir.File("err"));
  EXPECT_EQ(cd.status, 1);
  EXPECT_EQ(json(cd)["ok"], false);
  EXPECT_EQ(json(cd)["created"], 0);
  const std::string said = "Error: No such file or directory: " + dir.File("no/such/t.0000");
  EXPECT_EQ(json(cd)["message"], said);
  EXPECT_EQ(testing_support::ReadText(dir.File("err")), "orvandel-cli: " + said + "\n");

  // With --repeat, the run that failed ends the list.
  fs::permissions(dir.File("t"), fs::perms::owner_read);
  auto repeat = RunCommand(kCli + " write --json --repeat 3 --size 0.1 --file " + dir.File("t") +
                           " 2>/dev/null");
  EXPECT_EQ(repeat.status, 1);
  EXPECT_EQ(json(repeat)["ok"], false);
  EXPECT_EQ(json(repeat)["runs"].size(), 1u);
}

TEST(CliRuns, HelpAndJsonFollowTheCommandsOwnOptions) {
  const auto read = RunCommand(kCli + " read --help");
  EXPECT_EQ(read.status, 0);
  for (const char* writeOnly : {"--size", "--random ", "--flush-file", "--flush-every-block"})
    EXPECT_EQ(read.out.find(writeOnly), std::string::npos) << writeOnly;
  const auto write = RunCommand(kCli + " write --help");
  for (const char* named :
       {"--size SIZE", "--block-sectors SECTORS", "--block-size SIZE", "--repeat N", "--file PATH"})
    EXPECT_NE(write.out.find(named), std::string::npos) << named;
  EXPECT_NE(RunCommand(kCli + " create-delete --help").out.find("--files N"), std::string::npos);

  const auto none = RunCommand(kCli + " 2>&1 >/dev/null");
  EXPECT_EQ(none.status, 2);
  EXPECT_NE(none.out.find("Usage:"), std::string::npos) << "usage goes to stderr";

  TempDir dir;
  auto w = nlohmann::json::parse(
      RunCommand(kCli + " write --json --no-buffering --size 0.1 --block-sectors 8 --file " +
                 dir.File("t"))
          .out);
  EXPECT_EQ(w["command"], "write");
  EXPECT_EQ(w["file"], dir.File("t"));
  EXPECT_EQ(w["version"], "0.9.55");
  EXPECT_TRUE(std::regex_match(w["started_at"].get<std::string>(),
                               std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d[+-]\d\d:\d\d)")))
      << w["started_at"];
  EXPECT_EQ(w["flags"], "0x20000000");
  EXPECT_EQ(w["flag_names"], nlohmann::json::array({"FILE_FLAG_NO_BUFFERING"}));
  EXPECT_TRUE(w.contains("mb_per_s_with_flush"));

  auto r = nlohmann::json::parse(
      RunCommand(kCli + " read --json --repeat 3 --file " + dir.File("t")).out);
  EXPECT_EQ(r["command"], "read");
  EXPECT_EQ(r["summary"]["runs"], 3);
  const auto& rates = r["summary"]["mb_per_s"];
  EXPECT_LE(rates["min"], rates["median"]);
  EXPECT_LE(rates["median"], rates["max"]);
  ASSERT_EQ(r["runs"].size(), 3u);
  for (const char* writeOnly :
       {"mb_per_s_with_flush", "file_flush_ms", "volume_flush_ns", "elapsed_with_flush_ms"})
    EXPECT_FALSE(r["runs"][0].contains(writeOnly)) << writeOnly;

  // Repeated Write runs: each keeps a single run's figures, and every figure
  // of the lines, the ones with flush too, is summarised.
  auto rw = nlohmann::json::parse(
      RunCommand(kCli + " write --json --repeat 2 --size 0.1 --block-sectors 8 --file " +
                 dir.File("t"))
          .out);
  ASSERT_EQ(rw["runs"].size(), 2u);
  for (const auto& item : w.items())
    EXPECT_TRUE(rw.contains(item.key()) || rw["runs"][1].contains(item.key())) << item.key();
  for (const char* figure : {"mb_per_s", "mb_per_s_with_flush", "file_flush_ms", "volume_flush_ms"})
    EXPECT_TRUE(rw["summary"].contains(figure) &&
                rw["summary"][figure]["min"] <= rw["summary"][figure]["max"])
        << figure;
}

TEST(CliRuns, TypingErrorsAreUsageErrorsAndLostOutputIsAFailure) {
  TempDir dir;
  const std::string f = " --file " + dir.File("t");
  for (const char* bad :
       {"write --block-sectors abc", "write --block-sectors 1.5", "read --block-sectors 0",
        "write --block-sectors 4194304", "create-delete --files 5", "create-delete --files 12abc",
        "write --flush-file=false", "create-delete --files 10001"})
    EXPECT_EQ(RunCommand(kCli + " " + bad + f + " 2>/dev/null").status, 2) << bad;
  EXPECT_FALSE(fs::exists(dir.File("t")));
  // With --json each is one object that names the option and its cause, a
  // flag given a value among them.
  const struct {
    const char* args;
    const char* says;
  } named[] = {
      {"write --repeat abc --json", "--repeat: must be a whole number from 1 to 1000, not 'abc'"},
      {"read --repeat 1,5 --json", "not '1,5'"},
      {"random --read --depth 1G --json", "--depth: must be a whole number from 1 to 256"},
      {"random --mix -3 --json", "--mix: must be a whole number from 0 to 100, not '-3'"},
      {"random --write --threads 0 --json", "--threads: must be a whole number"},
      {"random --read --count 2.5 --json", "--count: must be a whole number"},
      {"write --size 1,5 --json", "--size: must be a size such as"},
      {"read --block-size 0 --json", "must be more than 0"},
      {"profile --size -3 --json", "must be more than 0"},
      {"write --json=yes", "json"}};
  for (const auto& c : named) {
    const auto r = RunCommand(kCli + " " + c.args + f + " 2>/dev/null");
    EXPECT_EQ(r.status, 2) << c.args;
    nlohmann::json j;
    ASSERT_NO_THROW(j = nlohmann::json::parse(r.out)) << c.args << ": " << r.out;
    EXPECT_EQ(j["usage"], true) << c.args;
    EXPECT_NE(j.value("message", "").find(c.says), std::string::npos) << c.args << ": " << j;
  }
  EXPECT_FALSE(fs::exists(dir.File("t")));

  const auto full = RunCommand(kCli + " write --size 0.01" + f + " 2>&1 >/dev/full");
  EXPECT_EQ(full.status, 1);
  EXPECT_NE(full.out.find("cannot write the output: No space left on device"), std::string::npos)
      << full.out;

  // A file-size limit fails the write with its reason instead of killing it.
  const auto limited = RunCommand("ulimit -f 1024; " + kCli + " write --size 3" + f + " 2>&1");
  EXPECT_EQ(limited.status, 1) << limited.out;
  EXPECT_NE(limited.out.find("File too large"), std::string::npos) << limited.out;
}

TEST(CliRuns, LookupFailuresNameTheSystemsReason) {
  TempDir dir;
  const std::string longName = dir.File(std::string(300, 'n'));
  const auto read = RunCommand(kCli + " read --file " + longName + " 2>&1 >/dev/null");
  EXPECT_EQ(read.status, 1);
  EXPECT_EQ(read.out, "orvandel-cli: File not found: " + longName + ": File name too long.\n");
  fs::create_symlink("loop", dir.File("loop"));
  const auto status =
      RunCommand(kCli + " status --json --file " + dir.File("loop") + " 2>/dev/null");
  EXPECT_EQ(status.status, 1);
  const auto j = nlohmann::json::parse(status.out);
  EXPECT_EQ(j["ok"], false);
  EXPECT_NE(j["reason"].get<std::string>().find("Too many levels of symbolic links"),
            std::string::npos)
      << j;
}

// Several reasons share one Windows code; each is named as the system names it.
TEST(CliRuns, RefusedFilesNameTheSystemsOwnReason) {
  const auto why = testing_support::LoopDisk::Unavailable({"chattr"}, "mkfs.ext4 -q -F");
  if (!why.empty()) GTEST_SKIP() << why;
  TempDir dir;
  testing_support::LoopDisk disk(dir, "32M");
  const std::string mount = disk.Format(0, "mkfs.ext4 -q -F");
  ASSERT_FALSE(mount.empty());
  auto reason = [](const std::string& args) {
    const auto r = RunCommand(kCli + " " + args + " --json 2>/dev/null");
    EXPECT_EQ(r.status, 1) << args;
    const auto j = nlohmann::json::parse(r.out);
    EXPECT_EQ(j["message"], "Error opening the file") << args;
    return j["reason"].get<std::string>();
  };

  const std::string fixed = mount + "/immutable.bin";
  testing_support::WriteText(fixed, "keep");
  ASSERT_EQ(RunCommand("chattr +i " + fixed).status, 0);
  EXPECT_EQ(reason("write --size 0.1 --file " + fixed), fixed + ": Operation not permitted.");
  RunCommand("chattr -i " + fixed);
  EXPECT_EQ(testing_support::ReadText(fixed), "keep");

  const std::string folder = mount + "/folder";
  fs::create_directory(folder);
  EXPECT_EQ(reason("write --size 0.1 --file " + folder), folder + ": Is a directory.");
  EXPECT_EQ(reason("read --file " + folder), folder + ": Is a directory.");
  // What the system refuses for want of permission still says so.
  const std::string readOnly = mount + "/read-only.bin";
  testing_support::WriteText(readOnly, "keep");
  fs::permissions(readOnly, fs::perms::owner_read);
  EXPECT_EQ(reason("write --size 0.1 --file " + readOnly), readOnly + ": Permission denied.");
}

// Runs under strace, which makes the calls named fail with the errno given
// (no quota is needed for the quota's errno); "" when strace cannot.
std::string WithInjected(const std::string& injection, const std::string& args) {
  if (RunCommand("strace -qq -o /dev/null true 2>&1").status != 0) return "";
  return RunCommand("strace -qq -f -o /dev/null -e inject=" + injection + " " + kCli + " " + args +
                    " --json 2>/dev/null")
      .out;
}

TEST(CliRuns, ErrnosThatShareACodeKeepTheirOwnTextAndTheirMeaning) {
  TempDir dir;
  const std::string f = dir.File("t.bin");
  const auto quota =
      WithInjected("write,pwrite64:error=EDQUOT:when=1", "write --size 4 --file " + f);
  if (quota.empty()) GTEST_SKIP() << "strace cannot trace here";
  auto j = nlohmann::json::parse(quota);
  EXPECT_EQ(j["ok"], false);
  EXPECT_EQ(j["reason"], f + ": Disk quota exceeded.");
  const auto full = nlohmann::json::parse(
      WithInjected("write,pwrite64:error=ENOSPC:when=1", "write --size 4 --file " + f));
  EXPECT_EQ(full["reason"], f + ": No space left on device.");

  // A flush the file refuses (EPERM, as EACCES) was never made: no data is
  // lost and the run stands. One that fails on the way lost data.
  j = nlohmann::json::parse(WithInjected("fsync:error=EPERM", "write --size 1 --file " + f));
  EXPECT_EQ(j["ok"], true) << j;
  EXPECT_EQ(j["file_flush_failed"], false);
  j = nlohmann::json::parse(WithInjected("fsync:error=EIO", "write --size 1 --file " + f));
  EXPECT_EQ(j["ok"], false);
  EXPECT_EQ(j["file_flush_failed"], true);
  EXPECT_EQ(j["reason"], "flushing " + f + ": Input/output error.");
}

TEST(CliRuns, AFileShortenedDuringAReadIsNamedAsTheCause) {
  TempDir dir;
  const std::string f = dir.File("t");
  ASSERT_EQ(
      RunCommand(kCli + " write --size 400 --no-flush-file --no-flush-volume --file " + f).status,
      0);
  const auto r = RunCommand("(sleep 0.2; truncate -s 1000000 " + f + ") & " + kCli +
                            " read --json --block-sectors 1 --file " + f + " 2>/dev/null; wait");
  const auto j = nlohmann::json::parse(r.out.substr(0, r.out.rfind('}') + 1));
  if (j["ok"] == true) GTEST_SKIP() << "the read ended before the file was shortened";
  EXPECT_NE(j["reason"].get<std::string>().find("the file ended after"), std::string::npos)
      << j["reason"];
  EXPECT_EQ(fs::file_size(f), 1000000u) << "the test file was written to";
}

TEST(Window, AScreenshotNeverReplacesWhatIsNoWritableFile) {
  TempDir dir;
  const std::string kept = dir.File("kept.png");
  testing_support::WriteText(kept, "keep");
  fs::permissions(kept, fs::perms::owner_read);
  for (const std::string& target : {kept, std::string("/proc/self/comm"), dir.path().string()}) {
    const auto r = RunCommand(std::string("QT_QPA_PLATFORM=offscreen timeout 20 ") +
                              ORVANDEL_WINDOW + " --screenshot " + target + " 2>&1");
    EXPECT_EQ(r.status, 1) << target;
    EXPECT_NE(r.out.find("no screenshot is saved there"), std::string::npos) << r.out;
  }
  EXPECT_EQ(testing_support::ReadText(kept), "keep");
}

TEST(CliRuns, StopRequestsEndTheWorkCleanlyWithTheSignalsStatus) {
  // A folder where each transfer or creation waits for the disk, so that a
  // stop request surely arrives in the middle of the work.
  const std::string why = testing_support::LoopDisk::Unavailable({"mkfs.ext4"}, "mkfs.ext4 -q");
  if (!why.empty()) GTEST_SKIP() << why;
  TempDir dir;
  testing_support::LoopDisk disk(dir, "64M");
  const std::string mount = disk.Ready() ? disk.Format(0, "mkfs.ext4 -q", "sync,dirsync") : "";
  if (mount.empty()) GTEST_SKIP() << "no synchronous ext4 mount here";
  auto left = [&] {
    return std::distance(fs::directory_iterator(mount), fs::directory_iterator());
  };
  // SIGTERM during the creations: the files made so far are deleted again.
  auto r = RunCommand("timeout --preserve-status -s TERM 1 " + kCli +
                      " create-delete --json --files 10000 --file " + mount + "/p 2>/dev/null");
  EXPECT_EQ(r.status, 143) << r.out;
  EXPECT_EQ(nlohmann::json::parse(r.out)["ok"], false);
  EXPECT_GT(nlohmann::json::parse(r.out)["created"].get<int>(), 0) << "stopped before it began";
  EXPECT_EQ(left(), 1) << "only lost+found may remain";

  // A closed terminal's SIGHUP is a stop too.
  r = RunCommand("timeout --preserve-status -s HUP 1 " + kCli +
                 " create-delete --files 10000 --file " + mount + "/h 2>/dev/null");
  EXPECT_EQ(r.status, 129) << r.out;
  EXPECT_EQ(left(), 1);

  // SIGINT during a write that flushes every block.
  r = RunCommand("timeout --preserve-status -s INT 1 " + kCli +
                 " write --flush-every-block --size 50 --block-sectors 1 --file " + mount +
                 "/t.bin 2>&1");
  EXPECT_EQ(r.status, 130) << r.out;
  EXPECT_EQ(r.out.find("Written with"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Stopped by SIGINT"), std::string::npos) << r.out;
  EXPECT_LT(fs::file_size(mount + "/t.bin"), 50u * 1048576);
}

}  // namespace
