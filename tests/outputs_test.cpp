// Files the program writes besides the test file, and the folder and
// volume handles of the create-and-delete test, on real files and mounts.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <future>

#include "platform/os.h"
#include "platform/seam.h"
#include "tests/support.h"

namespace {

namespace fs = std::filesystem;
using os::runtime::output::Refusal;
using os::runtime::output::Writer;
using testing_support::ReadText;
using testing_support::TempDir;
using testing_support::WriteText;

bool IsRoot() { return geteuid() == 0; }

// Names in dir besides those given: a temporary file left behind shows here.
std::vector<std::string> Others(const TempDir& dir, std::initializer_list<std::string> known) {
  std::vector<std::string> out;
  for (const auto& e : fs::directory_iterator(dir.path())) {
    const std::string name = e.path().filename().string();
    if (std::find(known.begin(), known.end(), name) == known.end()) out.push_back(name);
  }
  return out;
}

TEST(Outputs, WhatIsNoPlainWritableFileIsRefusedWithoutBlocking) {
  TempDir dir;
  const std::string test = dir.File("t.bin");
  WriteText(test, "test data");
  const std::string fifo = dir.File("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0666), 0);
  const std::string sock = dir.File("sock");
  const int s = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", sock.c_str());
  ASSERT_EQ(bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  const std::string readOnly = dir.File("ro.csv");
  WriteText(readOnly, "keep");
  fs::permissions(readOnly, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  fs::create_symlink(test, dir.File("link-to-test"));
  fs::create_hard_link(test, dir.File("hard-link-to-test"));
  fs::create_symlink(dir.File("gone"), dir.File("dangling"));

  const std::pair<std::string, std::string> cases[] = {
      {"/dev/null", "is a character device, not a file"},
      {fifo, "is a FIFO, not a file"},
      {sock, "is a socket, not a file"},
      {dir.path().string(), "is a directory"},
      {readOnly, "is read-only (no write permission)"},
      {test, "is the test file"},
      {dir.File("link-to-test"), "is the test file"},
      {dir.File("hard-link-to-test"), "is the test file"},
      {dir.File("./t.bin"), "is the test file"},
      {dir.File("dangling"), "is a symbolic link whose target is missing"},
      {dir.File("no/such/folder.csv"), "No such file or directory"},
  };
  for (const auto& [path, why] : cases) {
    // A FIFO opened for writing would wait for a reader forever.
    auto answer = std::async(std::launch::async, [&, p = path] {
      Writer w;
      const bool opened = w.Open(p, test);
      return std::make_pair(opened, w.Error());
    });
    ASSERT_EQ(answer.wait_for(std::chrono::seconds(10)), std::future_status::ready)
        << path << " blocked";
    const auto [opened, error] = answer.get();
    EXPECT_FALSE(opened) << path;
    EXPECT_EQ(error, path + ": " + why);
    EXPECT_EQ(Refusal(path, test), why) << path;
  }
  close(s);
  EXPECT_EQ(ReadText(test), "test data");
  EXPECT_EQ(ReadText(readOnly), "keep");
  // A name the run will only create is still the test file.
  EXPECT_EQ(Refusal(dir.File("new.bin"), dir.File("sub/../new.bin")), "")
      << "no such folder: another file";
  fs::create_directory(dir.File("sub"));
  EXPECT_EQ(Refusal(dir.File("new.bin"), dir.File("sub/../new.bin")), "is the test file");
  EXPECT_EQ(Refusal(dir.File("other.bin"), dir.File("new.bin")), "");

  if (IsRoot()) {
    // Writing into the running system's settings changes the machine.
    EXPECT_NE(Refusal("/proc/sys/vm/orvandel.csv", test), "");
    EXPECT_NE(Refusal("/sys/kernel/orvandel.csv", test), "");
  }
}

TEST(Outputs, TheTargetChangesOnlyWhenTheWholeOutputIsThere) {
  TempDir dir;
  const std::string target = dir.File("out.csv");
  WriteText(target, "old");
  fs::permissions(target, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  {
    Writer w;
    ASSERT_TRUE(w.Open(target, "")) << w.Error();
    ASSERT_TRUE(w.Write("half"));
    EXPECT_EQ(ReadText(target), "old") << "nothing is truncated before the commit";
  }  // abandoned
  // Nor does a process killed while its output waits: until the commit the
  // output has no name.
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    Writer w;
    const bool ok = w.Open(target, "") && w.Write("half of the rows");
    (void)!write(ready[1], ok ? "y" : "n", 1);
    pause();
    _exit(0);
  }
  char answer = 0;
  ASSERT_EQ(read(ready[0], &answer, 1), 1);
  EXPECT_EQ(answer, 'y');
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  close(ready[0]);
  close(ready[1]);
  EXPECT_EQ(ReadText(target), "old");
  EXPECT_TRUE(Others(dir, {"out.csv"}).empty());

  // Through a link: the file it leads to is replaced, the link stays, the
  // file keeps its mode and (where root can give it away) its owner.
  if (IsRoot()) {
    ASSERT_EQ(chown(target.c_str(), 4321, 4322), 0);
  }
  fs::create_symlink(target, dir.File("link.csv"));
  Writer w;
  ASSERT_TRUE(w.Open(dir.File("link.csv"), "")) << w.Error();
  ASSERT_TRUE(w.Write("new rows\n"));
  ASSERT_TRUE(w.Commit()) << w.Error();
  EXPECT_EQ(ReadText(target), "new rows\n");
  EXPECT_TRUE(fs::is_symlink(dir.File("link.csv")));
  EXPECT_EQ(fs::status(target).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  if (IsRoot()) {
    struct stat st {};
    ASSERT_EQ(stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 4321u);
    EXPECT_EQ(st.st_gid, 4322u);
  }
  EXPECT_TRUE(Others(dir, {"out.csv", "link.csv"}).empty());

  // The test file, made and given the output's name after the check, is
  // never replaced.
  Writer guarded;
  ASSERT_TRUE(guarded.Open(dir.File("guarded.csv"), dir.File("p.bin")));
  WriteText(dir.File("p.bin"), "made by the run");
  fs::create_hard_link(dir.File("p.bin"), dir.File("guarded.csv"));
  ASSERT_TRUE(guarded.Write("rows"));
  EXPECT_FALSE(guarded.Commit());
  EXPECT_EQ(guarded.Error(), dir.File("guarded.csv") + ": is the test file");
  EXPECT_EQ(ReadText(dir.File("p.bin")), "made by the run");
  EXPECT_TRUE(Others(dir, {"out.csv", "link.csv", "p.bin", "guarded.csv"}).empty());
}

TEST(Folders, PlainNamesOnlyAndDeletionsStayInTheOpenedFolder) {
  os::seam::Reset();
  const std::size_t before = os::seam::OpenHandles();
  TempDir dir;
  fs::create_directory(dir.File("a"));
  fs::create_directory(dir.File("elsewhere"));
  const os::HANDLE folder = os::OpenFolder(dir.File("a"));
  ASSERT_NE(folder, os::INVALID_HANDLE_VALUE);
  for (const std::string& bad :
       std::vector<std::string>{"", ".", "..", "../elsewhere/x", "b/c", std::string("x\0y", 3)}) {
    EXPECT_EQ(os::CreateFileInFolder(folder, bad, os::GENERIC_READ | os::GENERIC_WRITE, 7,
                                     os::OPEN_ALWAYS, 0),
              os::INVALID_HANDLE_VALUE)
        << bad;
    EXPECT_EQ(os::GetLastError(), os::ERROR_INVALID_PARAMETER) << bad;
    EXPECT_FALSE(os::DeleteFileInFolder(folder, bad)) << bad;
  }
  const os::HANDLE f = os::CreateFileInFolder(folder, "x", os::GENERIC_READ | os::GENERIC_WRITE, 7,
                                              os::OPEN_ALWAYS, 0);
  ASSERT_NE(f, os::INVALID_HANDLE_VALUE);
  os::CloseHandle(f);
  // The folder moves; a new one takes its name, with a file of that name.
  fs::rename(dir.File("a"), dir.File("moved"));
  fs::create_directory(dir.File("a"));
  WriteText(dir.File("a/x"), "not ours");
  EXPECT_TRUE(os::DeleteFileInFolder(folder, "x"));
  EXPECT_FALSE(fs::exists(dir.File("moved/x")));
  EXPECT_EQ(ReadText(dir.File("a/x")), "not ours");
  EXPECT_FALSE(os::DeleteFileInFolder(folder, "x"));
  EXPECT_EQ(os::GetLastError(), os::ERROR_FILE_NOT_FOUND);
  // Only a folder handle will do.
  const os::HANDLE file =
      os::CreateFileA(dir.File("a/x"), os::GENERIC_READ, 7, os::OPEN_EXISTING, 0);
  EXPECT_FALSE(os::DeleteFileInFolder(file, "x"));
  EXPECT_EQ(os::GetLastError(), os::ERROR_INVALID_HANDLE);
  os::CloseHandle(file);
  os::CloseHandle(folder);
  EXPECT_EQ(os::OpenFolder(dir.File("a/x")), os::INVALID_HANDLE_VALUE);
  EXPECT_EQ(os::seam::OpenHandles(), before);
}

// A file with no name left, reached through /dev/fd: its volume is the one
// it lies on, not the one its path text would suggest.
TEST(Folders, TheVolumeOfAHandleIsTheFilesOwnEvenWithoutAName) {
  if (const std::string why = testing_support::ScratchMount::Unavailable(); !why.empty())
    GTEST_SKIP() << why;
  testing_support::ScratchMount mem("tmpfs", "size=1M");
  if (!mem.Ready()) GTEST_SKIP() << "tmpfs cannot be mounted here";
  const int fd = open(mem.File("gone").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(unlink(mem.File("gone").c_str()), 0);
  const os::HANDLE h =
      os::CreateFileA("/dev/fd/" + std::to_string(fd), os::GENERIC_READ | os::GENERIC_WRITE, 7,
                      os::OPEN_EXISTING, 0);
  ASSERT_NE(h, os::INVALID_HANDLE_VALUE);
  const os::HANDLE volume = os::OpenVolumeOfHandle(h);
  ASSERT_NE(volume, os::INVALID_HANDLE_VALUE);
  struct statfs fs {};
  ASSERT_EQ(fstatfs(static_cast<int>(volume), &fs), 0);
  EXPECT_EQ(fs.f_type, 0x01021994) << "tmpfs";
  EXPECT_EQ(os::FlushFileBuffers(volume), os::TRUE);
  // A folder opened without read access still gives its volume.
  const os::HANDLE folder = os::OpenFolder(mem.Path());
  const os::HANDLE fromFolder = os::OpenVolumeOfHandle(folder);
  EXPECT_NE(fromFolder, os::INVALID_HANDLE_VALUE);
  EXPECT_EQ(os::FlushFileBuffers(fromFolder), os::TRUE);
  for (os::HANDLE x : {fromFolder, folder, volume, h}) os::CloseHandle(x);
  close(fd);
}

// Replacing takes a rename in the folder: an append-only or immutable
// folder or file is refused at once, before a run is spent on it.
TEST(Outputs, AppendOnlyAndImmutableAreRefusedBeforeAnythingIsWritten) {
  TempDir dir;
  fs::create_directory(dir.File("log"));
  WriteText(dir.File("log/k.csv"), "kept");
  WriteText(dir.File("frozen.csv"), "kept");
  if (testing_support::RunCommand("chattr +a '" + dir.File("log") + "' 2>/dev/null").status != 0)
    GTEST_SKIP() << "the file system here keeps no append-only flag (or chattr needs root)";
  testing_support::RunCommand("chattr +i '" + dir.File("frozen.csv") + "'");
  Writer a, b, c;
  EXPECT_FALSE(a.Open(dir.File("log/k.csv"), ""));
  EXPECT_EQ(a.Error(),
            dir.File("log/k.csv") +
                ": is in an append-only or immutable folder, where no file can be replaced");
  EXPECT_FALSE(b.Open(dir.File("log/new.csv"), ""));
  EXPECT_FALSE(c.Open(dir.File("frozen.csv"), ""));
  EXPECT_EQ(c.Error(), dir.File("frozen.csv") + ": is immutable");
  testing_support::RunCommand("chattr -a '" + dir.File("log") + "'; chattr -i '" +
                              dir.File("frozen.csv") + "'");
  EXPECT_EQ(ReadText(dir.File("log/k.csv")), "kept");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.File("log")), fs::directory_iterator()), 1);
}

}  // namespace
