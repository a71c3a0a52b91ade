// The OS layer against real files.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <thread>
#include <vector>

#include "platform/os.h"
#include "platform/seam.h"
#include "tests/LoopDisk.h"
#include "tests/support.h"
#include "throughput/TimelineRecorder.h"

using namespace os;
using testing_support::TempDir;
namespace fs = std::filesystem;

namespace {

class OsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    seam::Reset();
    handlesBefore = seam::OpenHandles();
  }
  void TearDown() override {
    seam::Reset();
    EXPECT_EQ(seam::OpenHandles(), handlesBefore) << "a handle was left open";
  }
  HANDLE OpenRW(const std::string& path, DWORD flags = 0) {
    return CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 7, OPEN_ALWAYS,
                       flags | FILE_ATTRIBUTE_NORMAL);
  }
  std::span<const std::byte> Bytes(const std::string& s) { return std::as_bytes(std::span(s)); }

  TempDir dir;
  std::size_t handlesBefore = 0;
};

TEST_F(OsTest, OpenAlwaysCreatesMissingFilesAndNeverTruncatesOpenExistingMakesNone) {
  const auto path = dir.File("t.bin");
  HANDLE h = OpenRW(path);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), 0u);
  EXPECT_EQ(fs::file_size(path), 0u);
  DWORD n = 0;
  EXPECT_EQ(WriteFile(h, Bytes("hello"), &n), TRUE);
  EXPECT_EQ(n, 5u);
  CloseHandle(h);

  h = OpenRW(path);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  EXPECT_EQ(fs::file_size(path), 5u);
  std::array<std::byte, 16> buf{};
  EXPECT_EQ(ReadFile(h, buf, &n), TRUE);
  EXPECT_EQ(n, 5u);  // end of file is a short, successful read
  EXPECT_EQ(std::memcmp(buf.data(), "hello", 5), 0);
  CloseHandle(h);

  // Where the name must exist, a missing one fails and is not made.
  EXPECT_EQ(CreateFileA(dir.File("missing"), GENERIC_READ, 3, OPEN_EXISTING, 0),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(fs::exists(dir.File("missing")));
  EXPECT_EQ(OpenRW(dir.File("no/such/dir/f")), INVALID_HANDLE_VALUE);
  EXPECT_EQ(CreateFileA("", GENERIC_READ, 3, OPEN_EXISTING, 0), INVALID_HANDLE_VALUE);
}

// Writing to a device by mistake would destroy it; a FIFO or a terminal
// would hang the run. Such names fail like names that cannot be opened.
TEST_F(OsTest, DevicesFifosAndLinksToThemAreNotOpenedForTransfers) {
  const auto fifo = dir.File("fifo");
  ASSERT_EQ(testing_support::RunCommand("mkfifo '" + fifo + "'").status, 0);
  fs::create_symlink("/dev/null", dir.path() / "null-link");
  for (const std::string& name : {std::string("/dev/null"), fifo, dir.File("null-link")}) {
    EXPECT_EQ(OpenRW(name), INVALID_HANDLE_VALUE) << name;
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED) << name;
    EXPECT_EQ(CreateFileA(name, GENERIC_READ, 3, OPEN_EXISTING, 0), INVALID_HANDLE_VALUE) << name;
  }
  // A query without access has no side effect and is allowed.
  HANDLE h = CreateFileA("/dev/null", 0, 3, OPEN_EXISTING, 0);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  CloseHandle(h);
}

TEST_F(OsTest, DirectoriesOpenOnlyWhenAskedAndRefuseTransfers) {
  EXPECT_EQ(CreateFileA(dir.path().string(), 0, 7, OPEN_EXISTING, 0), INVALID_HANDLE_VALUE)
      << "not even to query";
  HANDLE h = OpenRW(dir.path().string(), FILE_FLAG_BACKUP_SEMANTICS);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  DWORD n = 7;
  EXPECT_EQ(WriteFile(h, Bytes("x"), &n), FALSE);
  EXPECT_EQ(n, 0u);
  CloseHandle(h);
  EXPECT_EQ(CloseHandle(h), FALSE) << "a handle closes once";
  EXPECT_EQ(DeleteFileA(dir.path().string()), FALSE);
  EXPECT_TRUE(fs::is_directory(dir.path()));
}

TEST_F(OsTest, FilePointerTakesBothHalvesAndRejectsOverflowWithoutHighHalf) {
  const auto path = dir.File("big.bin");
  HANDLE h = OpenRW(path);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  LONG high = 1;
  EXPECT_EQ(SetFilePointer(h, 5, &high, FILE_BEGIN), 5u);
  EXPECT_EQ(high, 1);
  DWORD n = 0;
  WriteFile(h, Bytes("z"), &n);
  DWORD sizeHigh = 0;
  EXPECT_EQ(GetFileSize(h, &sizeHigh), 6u);
  EXPECT_EQ(sizeHigh, 1u);

  // Without a high half the position must stay below 2^32 - 1.
  EXPECT_EQ(SetFilePointer(h, 0, nullptr, FILE_BEGIN), 0u);
  EXPECT_EQ(SetFilePointer(h, -1, nullptr, FILE_CURRENT), INVALID_SET_FILE_POINTER);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(SetFilePointer(h, 0, nullptr, FILE_END), INVALID_SET_FILE_POINTER);
  high = 0;
  EXPECT_EQ(SetFilePointer(h, 0, &high, FILE_CURRENT), 0u) << "a failed seek must not move";
  CloseHandle(h);
  EXPECT_EQ(fs::file_size(path), (1ull << 32) + 6);
}

// Transfers keep their position in the layer while another thread shares
// the file table, and use the kernel's alone; either way pointer moves, other
// handles and a handle number used again see the one a file object has.
class Positions : public OsTest {
 protected:
  void ShareOnePosition(const std::string& path) {
    testing_support::WriteText(path, "");  // an existing file opens the same way each time
    HANDLE h = OpenRW(path);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    std::string data(3000, '\0');
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>('a' + i % 26);
    DWORD n = 0;
    for (int i = 0; i < 3; ++i)
      ASSERT_EQ(WriteFile(h, Bytes(data.substr(i * 1000, 1000)), &n), TRUE);
    EXPECT_EQ(SetFilePointer(h, 0, nullptr, FILE_CURRENT), 3000u);
    EXPECT_EQ(SetFilePointer(h, 1000, nullptr, FILE_BEGIN), 1000u);
    std::vector<std::byte> got(500);
    ASSERT_EQ(ReadFile(h, got, &n), TRUE);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(got.data()), n), data.substr(1000, 500));
    ASSERT_EQ(WriteFile(h, Bytes("XYZ"), &n), TRUE);  // lands at 1500
    EXPECT_EQ(SetFilePointer(h, -3, nullptr, FILE_CURRENT), 1500u);
    got.assign(3, std::byte{0});
    ASSERT_EQ(ReadFile(h, got, &n), TRUE);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(got.data()), 3), "XYZ");
    EXPECT_EQ(SetFilePointer(h, 0, nullptr, FILE_END), 3000u);
    got.assign(10, std::byte{0});
    ASSERT_EQ(ReadFile(h, got, &n), TRUE);
    EXPECT_EQ(n, 0u) << "at the end a read moves nothing";

    // A second handle on the same file has a position of its own.
    HANDLE other = OpenRW(path);
    ASSERT_NE(other, INVALID_HANDLE_VALUE);
    ASSERT_EQ(ReadFile(other, got, &n), TRUE);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(got.data()), n), data.substr(0, 10));
    CloseHandle(other);

    // A handle number given out again starts at the file's beginning.
    CloseHandle(h);
    std::vector<HANDLE> opened;
    while (opened.size() < 8 && (opened.empty() || opened.back() != h))
      opened.push_back(OpenRW(path));
    ASSERT_EQ(opened.back(), h) << "the number never came back";
    ASSERT_EQ(ReadFile(h, got, &n), TRUE);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(got.data()), n), data.substr(0, 10));
    EXPECT_EQ(SetFilePointer(h, 0, nullptr, FILE_CURRENT), 10u);
    for (HANDLE o : opened) CloseHandle(o);
  }
  // Which position a transfer moved: the kernel's, or only the layer's.
  bool KernelPositionMoves(const std::string& path) {
    HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 3, OPEN_ALWAYS, 0);
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
    DWORD n = 0;
    std::string block(100, 'k');
    EXPECT_EQ(WriteFile(h, std::as_bytes(std::span(block)), &n), TRUE);
    const off_t kernel = lseek(static_cast<int>(h), 0, SEEK_CUR);
    EXPECT_EQ(SetFilePointer(h, 0, nullptr, FILE_CURRENT), 100u);
    CloseHandle(h);
    return kernel == 100;
  }
};

// A thread that waits until it is told to end, on a file table of its own
// or on the process's.
class OtherThread {
 public:
  explicit OtherThread(bool ownTable)
      : thread_([this, ownTable] {
          if (ownTable) runtime::SeparateFileTable();
          ready_.set_value();
          end_.get_future().wait();
        }) {
    ready_.get_future().wait();
  }
  ~OtherThread() {
    end_.set_value();
    thread_.join();
  }

 private:
  std::promise<void> ready_, end_;
  std::thread thread_;
};

TEST_F(Positions, TransfersAndPointerMovesAgreeWithATableSharedOrNot) {
  EXPECT_TRUE(KernelPositionMoves(dir.File("alone")));
  ShareOnePosition(dir.File("alone.bin"));
  {
    OtherThread separate(true);
    EXPECT_TRUE(KernelPositionMoves(dir.File("separate")))
        << "a thread with a table of its own shares nothing";
  }
  OtherThread sharing(false);
  EXPECT_FALSE(KernelPositionMoves(dir.File("shared")));
  ShareOnePosition(dir.File("shared.bin"));
}

TEST_F(OsTest, OpenFlagsReachTheKernel) {
  auto kernelFlags = [](HANDLE h) {
    const std::string info = testing_support::ReadText("/proc/self/fdinfo/" + std::to_string(h));
    return std::stoul(info.substr(info.find("flags:") + 6), nullptr, 8);
  };
  const HANDLE plain = OpenRW(dir.File("plain"));
  const HANDLE direct = OpenRW(dir.File("direct"), FILE_FLAG_NO_BUFFERING);
  const HANDLE dsync =
      OpenRW(dir.File("dsync"), FILE_FLAG_WRITE_THROUGH | FILE_FLAG_SEQUENTIAL_SCAN);
  ASSERT_NE(direct, INVALID_HANDLE_VALUE);
  EXPECT_EQ(kernelFlags(plain) & (O_DIRECT | O_DSYNC), 0u);
  EXPECT_EQ(kernelFlags(direct) & (O_DIRECT | O_DSYNC), unsigned{O_DIRECT});
  EXPECT_EQ(kernelFlags(dsync) & (O_DIRECT | O_DSYNC), unsigned{O_DSYNC});
  // Direct transfers the device's alignment forbids move nothing.
  void* buf = VirtualAlloc(nullptr, 4096, MEM_COMMIT, PAGE_READWRITE);
  DWORD n = 5;
  EXPECT_EQ(WriteFile(direct, {static_cast<const std::byte*>(buf), 1000}, &n), FALSE);
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(WriteFile(direct, {static_cast<const std::byte*>(buf), 4096}, &n), TRUE);
  VirtualFree(buf, 0, MEM_RELEASE);
  for (HANDLE h : {plain, direct, dsync}) CloseHandle(h);
}

TEST_F(OsTest, VolumeNamesOpenAHandleThatSyncsTheWholeVolume) {
  std::array<char, 260> point{}, name{};
  ASSERT_EQ(GetVolumePathNameA(dir.File("not-yet"), point), TRUE);
  EXPECT_EQ(std::string(point.data()), runtime::DriveRoot(runtime::DriveOf(dir.path().string())));
  ASSERT_EQ(GetVolumeNameForVolumeMountPointA(point.data(), name), TRUE);
  std::string volume = name.data();
  ASSERT_EQ(volume.rfind("\\\\?\\Volume{", 0), 0u) << volume;
  ASSERT_EQ(volume.back(), '\\');
  volume.pop_back();
  const HANDLE h = CreateFileA(volume, GENERIC_READ | GENERIC_WRITE, 3, OPEN_ALWAYS, 0);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(FlushFileBuffers(h), TRUE);
  CloseHandle(h);

  EXPECT_EQ(GetVolumePathNameA("", point), FALSE);
  EXPECT_EQ(GetVolumeNameForVolumeMountPointA(dir.path().string() + "/", name), FALSE)
      << "not a mount point";
  EXPECT_EQ(CreateFileA("\\\\?\\Volume{4095:4095}", GENERIC_READ, 3, OPEN_ALWAYS, 0),
            INVALID_HANDLE_VALUE);
  std::array<char, 1> tiny{};
  EXPECT_EQ(GetVolumePathNameA(dir.path().string(), tiny), FALSE);
}

TEST_F(OsTest, VirtualMemoryIsPageAlignedZeroedAndReleasedOnce) {
  auto* p = static_cast<unsigned char*>(VirtualAlloc(nullptr, 10000, MEM_COMMIT, PAGE_READWRITE));
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(p) % 4096, 0u);
  EXPECT_EQ(std::count(p, p + 10000, 0), 10000);
  std::memset(p, 0xAB, 10000);
  VirtualLock(p, 10000);  // may fail for want of privilege; that is ignored
  VirtualUnlock(p, 10000);
  EXPECT_EQ(VirtualFree(p, 0, MEM_DECOMMIT), TRUE);
  EXPECT_EQ(p[9999], 0);
  EXPECT_EQ(VirtualFree(p, 0, MEM_RELEASE), TRUE);
  EXPECT_EQ(VirtualFree(p, 0, MEM_RELEASE), FALSE);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_ADDRESS);
}

// Tens of megabytes of records a record at a time keep every record, also
// where a limit on address space makes the array move as it grows.
TEST(BulkArrays, GrowKeepingEveryRecordAndZeroWhatResizeAdds) {
  auto fill = [] {
    os::runtime::BulkArray<std::uint64_t> a;
    constexpr std::uint64_t kCount = std::uint64_t{8} << 20;
    for (std::uint64_t i = 0; i < kCount; ++i) a.push_back(i * 2654435761u);
    for (std::uint64_t i = 0; i < kCount; i += 4093)
      if (a[i] != i * 2654435761u) return false;
    a.clear();
    a.resize(1000);
    return a.size() == 1000 && std::count(a.begin(), a.end(), 0u) == 1000;
  };
  EXPECT_TRUE(fill());
#ifdef __SANITIZE_ADDRESS__
  GTEST_SKIP() << "AddressSanitizer's shadow memory leaves no limit on address space to set";
#endif
  EXPECT_EXIT(
      {
        struct rlimit limit {};
        getrlimit(RLIMIT_AS, &limit);
        std::ifstream status("/proc/self/status");
        std::uint64_t kb = 0;
        for (std::string line; std::getline(status, line);)
          if (line.rfind("VmSize:", 0) == 0) kb = std::stoull(line.substr(7));
        limit.rlim_cur = (kb << 10) + (std::uint64_t{512} << 20);
        setrlimit(RLIMIT_AS, &limit);
        std::exit(fill() ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

// Callers compare Windows' codes; the text of a code is the reason of the
// failure that gave it, until a failure gives that code for another reason.
TEST_F(OsTest, AFailuresTextIsItsOwnReasonWhileItsCodeIsWindows) {
  std::array<char, 1024> buf{};
  auto text = [&](DWORD code) {
    const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, code, 0x400, buf);
    EXPECT_EQ(std::strlen(buf.data()), n);
    return std::string(buf.data(), n);
  };
  EXPECT_EQ(text(ERROR_DISK_FULL), "No space left on device.\r\n");
  EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, 99999, 0, buf), 0u);
  CreateFileA(dir.File("nope"), GENERIC_READ, 3, OPEN_EXISTING, 0);
  EXPECT_EQ(text(GetLastError()), "No such file or directory.\r\n");

  EXPECT_EQ(OpenRW(dir.path().string()), INVALID_HANDLE_VALUE);
  const DWORD folder = GetLastError();
  EXPECT_EQ(folder, ERROR_ACCESS_DENIED);
  EXPECT_EQ(text(folder), "Is a directory.\r\n");
  // Calls that succeed meanwhile do not change it.
  const HANDLE h = OpenRW(dir.File("new.bin"));
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  CloseHandle(h);
  EXPECT_EQ(text(folder), "Is a directory.\r\n");

  const auto readOnly = dir.File("ro.bin");
  testing_support::WriteText(readOnly, "keep");
  fs::permissions(readOnly, fs::perms::owner_read);
  EXPECT_EQ(OpenRW(readOnly), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_EQ(text(ERROR_ACCESS_DENIED), "Permission denied.\r\n");

  EXPECT_EQ(OpenRW(dir.path().string()), INVALID_HANDLE_VALUE);
  SetLastError(ERROR_ACCESS_DENIED);  // a code that comes with no reason of its own
  EXPECT_EQ(text(ERROR_ACCESS_DENIED), "Permission denied.\r\n");
}

TEST_F(OsTest, FindExecutableAnswersOnlyForFilesThatExistAndRunsNothing) {
  std::array<char, 260> buf{};
  // Never along PATH: "sh" is no file in this directory.
  EXPECT_LE(FindExecutableA("sh", "", buf), 32);
  EXPECT_STREQ(buf.data(), "");

  const auto script = dir.File("tool");
  testing_support::WriteText(script, "#!/bin/sh\ntouch ran\n");
  fs::permissions(script, fs::perms::owner_all);
  EXPECT_GT(FindExecutableA("tool", dir.path().string(), buf), 32);
  EXPECT_EQ(std::string(buf.data()), dir.File("tool"));
  EXPECT_FALSE(fs::exists(dir.File("ran")));
  // Any existing file stands for the program that would open it.
  testing_support::WriteText(dir.File("data.txt"), "x");
  EXPECT_GT(FindExecutableA(dir.File("data.txt"), "", buf), 32);
  EXPECT_LE(FindExecutableA("no-such-program-anywhere", "", buf), 32);
  EXPECT_LE(FindExecutableA(dir.path().string(), "", buf), 32) << "a directory is no file";
}

TEST_F(OsTest, ReadOnlyAndPseudoFilesAreNeverOpenedForWritingRootIncluded) {
  const auto path = dir.File("ro.bin");
  testing_support::WriteText(path, "keep");
  fs::permissions(path, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  EXPECT_EQ(OpenRW(path), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  HANDLE h = CreateFileA(path, GENERIC_READ, 7, OPEN_EXISTING, 0);
  ASSERT_NE(h, INVALID_HANDLE_VALUE) << "reading stays allowed";
  CloseHandle(h);
  EXPECT_EQ(testing_support::ReadText(path), "keep");

  // Files of the running system, not of a disk: each exists and is writable
  // by root, so only the file system's kind can refuse them.
  for (const char* p :
       {"/proc/sys/kernel/hostname", "/sys/kernel/uevent_helper", "/proc/self/comm"}) {
    if (!fs::exists(p)) continue;
    SCOPED_TRACE(p);
    const std::string before = testing_support::ReadText(p);
    EXPECT_EQ(OpenRW(p), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(testing_support::ReadText(p), before);
  }
  EXPECT_EQ(OpenRW("/proc/orvandel-new-file"), INVALID_HANDLE_VALUE);
}

TEST_F(OsTest, AnOpenTheFileSystemRefusesLeavesNoNameBehind) {
  const std::string why = testing_support::ScratchMount::Unavailable();
  if (!why.empty()) GTEST_SKIP() << why;
  // ramfs makes the name, then refuses direct transfers.
  testing_support::ScratchMount ram("ramfs");
  ASSERT_TRUE(ram.Ready());
  const auto path = ram.File("direct.bin");
  EXPECT_EQ(OpenRW(path, FILE_FLAG_NO_BUFFERING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(fs::exists(path));
  // Without the flag the same name is made, and kept.
  const HANDLE h = OpenRW(path);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  CloseHandle(h);
  EXPECT_TRUE(fs::exists(path));
  // An existing file refused the flag stays as it was.
  EXPECT_EQ(OpenRW(path, FILE_FLAG_NO_BUFFERING), INVALID_HANDLE_VALUE);
  EXPECT_TRUE(fs::exists(path));
}

TEST_F(OsTest, BlockDevicesOpenForReadingWithoutWaitingForAMedium) {
  const std::string why = testing_support::ScratchMount::Unavailable();
  if (!why.empty()) GTEST_SKIP() << why;
  testing_support::LoopDisk disk(dir, "1M");
  if (!disk.Ready()) GTEST_SKIP() << "no loop device can be attached here";
  const HANDLE h = CreateFileA(disk.Device(), GENERIC_READ, 3, OPEN_EXISTING, 0);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_NE(fcntl(static_cast<int>(h), F_GETFL) & O_NONBLOCK, 0);
  CloseHandle(h);
  EXPECT_EQ(OpenRW(disk.Device()), INVALID_HANDLE_VALUE) << "never for writing";
}

// Mounts made for one test, undone at its end whatever happens.
class ScratchMounts {
 public:
  ~ScratchMounts() {
    for (auto it = points_.rbegin(); it != points_.rend(); ++it)
      if (testing_support::RunCommand("umount " + *it + " 2>/dev/null").status != 0)
        testing_support::RunCommand("umount -l " + *it);
  }
  bool Mount(const std::string& args, const std::string& point) {
    fs::create_directories(point);
    if (testing_support::RunCommand("mount " + args + " " + point).status != 0) return false;
    points_.push_back(point);
    return true;
  }

 private:
  std::vector<std::string> points_;
};

// The handle that the volume name of point opens, or INVALID_HANDLE_VALUE.
HANDLE VolumeHandleOf(const std::string& point, std::string* nameOut = nullptr) {
  std::array<char, 260> name{};
  if (GetVolumeNameForVolumeMountPointA(point + "/", name) != TRUE) return INVALID_HANDLE_VALUE;
  std::string volume = name.data();
  EXPECT_EQ(volume.rfind("\\\\?\\Volume{", 0), 0u) << volume;
  volume.pop_back();
  if (nameOut) *nameOut = volume;
  return CreateFileA(volume, GENERIC_READ | GENERIC_WRITE, 3, OPEN_ALWAYS, 0);
}

std::string FdPath(HANDLE h) { return "/proc/self/fd/" + std::to_string(h); }

// Two mounts of one file system (a bind mount) and a mount hidden under a
// later one: the handle is on the mount whose point was named, never on
// another mount of the same device.
TEST_F(OsTest, VolumeHandlesAreOnTheNamedMountOnly) {
  if (testing_support::RunCommand("id -u").out != "0\n") GTEST_SKIP() << "needs root to mount";
  ScratchMounts mounts;
  const std::string a = dir.File("a"), b = dir.File("b");
  if (!mounts.Mount("-t tmpfs -o size=1M orvandel-a", a))
    GTEST_SKIP() << "tmpfs cannot be mounted here";
  ASSERT_TRUE(mounts.Mount("--bind " + a, b));
  std::array<char, 260> point{};
  ASSERT_EQ(GetVolumePathNameA(b + "/file", point), TRUE);
  EXPECT_EQ(std::string(point.data()), b + "/");
  for (const std::string& p : {a, b}) {
    const HANDLE h = VolumeHandleOf(p);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << p;
    EXPECT_EQ(fs::read_symlink(FdPath(h)).string(), p)
        << "the handle of " << p << " is on another mount";
    EXPECT_EQ(FlushFileBuffers(h), TRUE);
    CloseHandle(h);
  }

  std::string hiddenName;
  const HANDLE before = VolumeHandleOf(a, &hiddenName);
  ASSERT_NE(before, INVALID_HANDLE_VALUE);
  CloseHandle(before);
  ASSERT_TRUE(mounts.Mount("-t tmpfs -o size=1M orvandel-over", a));
  testing_support::WriteText(a + "/on-top", "");
  EXPECT_EQ(CreateFileA(hiddenName, GENERIC_READ | GENERIC_WRITE, 3, OPEN_ALWAYS, 0),
            INVALID_HANDLE_VALUE)
      << "the hidden mount cannot be reached; the one over it is not its volume";
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  const HANDLE top = VolumeHandleOf(a);
  ASSERT_NE(top, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(fs::exists(FdPath(top) + "/on-top")) << "the handle is on the mount in effect";
  CloseHandle(top);
}

// The cache figures are the kernel's: data just written and not yet
// flushed shows in them.
TEST(CacheFigures, WrittenDataShowsAsDirtyOrUnderWriteback) {
  std::uint64_t dirty = 0, writeback = 0;
  ASSERT_TRUE(runtime::CacheFigures(&dirty, &writeback));
  TempDir dir;
  const std::string path = dir.File("dirty");
  const HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 3, OPEN_ALWAYS, 0);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  std::vector<std::byte> block(1 << 20, std::byte{1});
  for (int i = 0; i < 32; ++i) {
    DWORD written = 0;
    ASSERT_EQ(WriteFile(h, block, &written), TRUE);
  }
  std::uint64_t dirtyAfter = 0, writebackAfter = 0;
  ASSERT_TRUE(runtime::CacheFigures(&dirtyAfter, &writebackAfter));
  CloseHandle(h);
  const std::string type =
      testing_support::RunCommand("stat -f -c %T '" + dir.path().string() + "'").out;
  if (type.rfind("tmpfs", 0) == 0 || type.rfind("ramfs", 0) == 0)
    GTEST_SKIP() << "the temporary folder is in memory: its pages are never dirty";
  EXPECT_GE(dirtyAfter + writebackAfter, 16u * 1024)
      << "32 MiB written: dirty " << dirtyAfter << " KiB, writeback " << writebackAfter << " KiB";
}

// Once the sampler's start returns, a file the run has open is referred to
// by the run's own thread alone: its transfers pay no lock for a file table
// shared with the sampler, not even for their first blocks. A watched file
// is read through an open of the sampler's own, read-only.
TEST(CacheSamplerThread, HoldsNoFileOfTheRunOnceStarted) {
  TempDir dir;
  const HANDLE h = CreateFileA(dir.File("run"), GENERIC_READ | GENERIC_WRITE, 3, OPEN_ALWAYS, 0);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  std::vector<std::byte> block(1 << 20, std::byte{1});
  DWORD written = 0;
  ASSERT_EQ(WriteFile(h, block, &written), TRUE);
  const std::string self = std::to_string(gettid());
  runtime::FileCache figures;
  const bool cachestat = runtime::FileCacheFigures(h, &figures) &&
                         figures.source == runtime::FileCache::Source::Cachestat;
  for (int round = 0; round < 20; ++round) {
    const bool watched = round % 2 == 1;
    CacheSampler sampler;
    ASSERT_TRUE(sampler.Start(std::chrono::milliseconds(50), watched ? h : INVALID_HANDLE_VALUE));
    int others = 0;
    for (const auto& task : fs::directory_iterator("/proc/self/task")) {
      if (task.path().filename() == self) continue;
      ++others;
      std::error_code ec;
      const auto link = fs::read_symlink(task.path() / "fd" / std::to_string(h), ec);
      EXPECT_TRUE(ec) << "thread " << task.path().filename() << " still holds " << link
                      << " in round " << round;
      int own = 0;
      for (const auto& fd : fs::directory_iterator(task.path() / "fd")) {
        ++own;
        EXPECT_EQ(fs::read_symlink(fd.path()), dir.File("run"));
        const std::string info =
            testing_support::ReadText((task.path() / "fdinfo" / fd.path().filename()).string());
        const auto at = info.find("flags:");
        ASSERT_NE(at, std::string::npos);
        EXPECT_EQ(std::stoi(info.substr(at + 6), nullptr, 8) & O_ACCMODE, O_RDONLY);
      }
      EXPECT_EQ(own, watched ? 1 : 0) << "round " << round;
    }
    EXPECT_EQ(others, 1);
    sampler.Stop();
    // The file's figures in every sample where it is watched and cachestat
    // counts; 1 MiB written and not dropped is in memory.
    for (const CacheSample& c : sampler.Samples()) {
      EXPECT_EQ(c.fileCachedKiB != kNoFigure, watched && cachestat) << "round " << round;
      if (c.fileCachedKiB != kNoFigure) {
        EXPECT_EQ(c.fileCachedKiB, 1024);
        EXPECT_LE(c.fileDirtyKiB + c.fileWritebackKiB, 1024);
      }
    }
  }
  CloseHandle(h);
}

// The thresholds as the kernel's settings give them: a byte setting whole
// pages, a ratio of no more than that share of the memory; the background
// one below the other.
TEST(CacheFigures, DirtyThresholdsFollowTheKernelsSettings) {
  const runtime::DirtyThresholds t = runtime::DirtyLimits();
  auto setting = [](const char* name) {
    return std::stoll(testing_support::ReadText(std::string("/proc/sys/vm/") + name));
  };
  const std::int64_t page = sysconf(_SC_PAGESIZE);
  const std::int64_t memory = static_cast<std::int64_t>(sysconf(_SC_PHYS_PAGES)) * page;
  ASSERT_GT(t.dirtyBytes, 0);
  ASSERT_GT(t.backgroundBytes, 0);
  EXPECT_LT(t.backgroundBytes, t.dirtyBytes);
  EXPECT_EQ(t.dirtyBytes % page, 0);
  if (const std::int64_t bytes = setting("dirty_bytes"); bytes > 0) {
    EXPECT_EQ(t.dirtyBytes, (bytes + page - 1) / page * page);
  } else {
    EXPECT_LE(t.dirtyBytes, memory / 100 * setting("dirty_ratio"));
  }
  if (setting("dirty_background_bytes") == 0 && setting("dirty_bytes") == 0) {
    EXPECT_NEAR(
        static_cast<double>(t.backgroundBytes) / static_cast<double>(t.dirtyBytes),
        [&] {
          const double r = static_cast<double>(setting("dirty_background_ratio")) /
                           static_cast<double>(setting("dirty_ratio"));
          return r >= 1 ? 0.5 : r;
        }(),
        0.01);
  }
}

}  // namespace
