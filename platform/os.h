// The operating-system operations the program is written against, under their
// Windows names. Each system has its own implementation file set; nothing
// outside platform/ includes a system header.
//
// Arguments the program always passes as NULL (security attributes, template
// files, overlapped structures) are left out of the signatures.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

namespace os {

using DWORD = std::uint32_t;
using LONG = std::int32_t;
using BOOL = int;
using UINT = std::uint32_t;
using MMRESULT = std::uint32_t;
// A file, directory, volume or process handle.
using HANDLE = std::intptr_t;

inline constexpr BOOL FALSE = 0;
inline constexpr BOOL TRUE = 1;
inline constexpr HANDLE INVALID_HANDLE_VALUE = -1;

// CreateFileA
inline constexpr DWORD GENERIC_READ = 0x80000000u;
inline constexpr DWORD GENERIC_WRITE = 0x40000000u;
inline constexpr DWORD FILE_SHARE_READ = 1;
inline constexpr DWORD FILE_SHARE_WRITE = 2;
inline constexpr DWORD FILE_SHARE_DELETE = 4;
inline constexpr DWORD CREATE_NEW = 1;
inline constexpr DWORD CREATE_ALWAYS = 2;
inline constexpr DWORD OPEN_EXISTING = 3;
inline constexpr DWORD OPEN_ALWAYS = 4;
inline constexpr DWORD FILE_ATTRIBUTE_READONLY = 0x1;
inline constexpr DWORD FILE_ATTRIBUTE_DIRECTORY = 0x10;
inline constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x80;
inline constexpr DWORD FILE_ATTRIBUTE_COMPRESSED = 0x800;
inline constexpr DWORD INVALID_FILE_ATTRIBUTES = 0xFFFFFFFFu;
// Needed, as on Windows, to open a directory.
inline constexpr DWORD FILE_FLAG_BACKUP_SEMANTICS = 0x02000000;
inline constexpr DWORD FILE_FLAG_WRITE_THROUGH = 0x80000000u;
inline constexpr DWORD FILE_FLAG_NO_BUFFERING = 0x20000000u;
inline constexpr DWORD FILE_FLAG_RANDOM_ACCESS = 0x10000000u;
inline constexpr DWORD FILE_FLAG_SEQUENTIAL_SCAN = 0x08000000u;
// For a queue of platform/aio.h; Linux needs nothing of the kind and ignores it.
inline constexpr DWORD FILE_FLAG_OVERLAPPED = 0x40000000u;

// SetFilePointer, GetFileSize
inline constexpr DWORD FILE_BEGIN = 0;
inline constexpr DWORD FILE_CURRENT = 1;
inline constexpr DWORD FILE_END = 2;
inline constexpr DWORD INVALID_SET_FILE_POINTER = 0xFFFFFFFFu;
inline constexpr DWORD INVALID_FILE_SIZE = 0xFFFFFFFFu;

// VirtualAlloc, VirtualFree
inline constexpr DWORD MEM_COMMIT = 0x1000;
inline constexpr DWORD MEM_RESERVE = 0x2000;
inline constexpr DWORD MEM_DECOMMIT = 0x4000;
inline constexpr DWORD MEM_RELEASE = 0x8000;
inline constexpr DWORD PAGE_READWRITE = 0x04;

// OpenProcess, SetPriorityClass
inline constexpr DWORD PROCESS_SET_INFORMATION = 0x200;
inline constexpr DWORD PROCESS_QUERY_INFORMATION = 0x400;
inline constexpr DWORD NORMAL_PRIORITY_CLASS = 0x20;
inline constexpr DWORD HIGH_PRIORITY_CLASS = 0x80;

// GetVersionExA
inline constexpr DWORD VER_PLATFORM_WIN32s = 0;
inline constexpr DWORD VER_PLATFORM_WIN32_WINDOWS = 1;
inline constexpr DWORD VER_PLATFORM_WIN32_NT = 2;

// FormatMessageA
inline constexpr DWORD FORMAT_MESSAGE_FROM_SYSTEM = 0x1000;

// DeviceIoControl
inline constexpr DWORD FSCTL_GET_RETRIEVAL_POINTERS = 0x90073;
inline constexpr DWORD IOCTL_DISK_GET_PARTITION_INFO = 0x74004;

// Error codes the program compares or that the layer reports itself.
inline constexpr DWORD ERROR_SUCCESS = 0;
inline constexpr DWORD ERROR_INVALID_FUNCTION = 1;
inline constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
inline constexpr DWORD ERROR_PATH_NOT_FOUND = 3;
inline constexpr DWORD ERROR_TOO_MANY_OPEN_FILES = 4;
inline constexpr DWORD ERROR_ACCESS_DENIED = 5;
inline constexpr DWORD ERROR_INVALID_HANDLE = 6;
inline constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
inline constexpr DWORD ERROR_WRITE_PROTECT = 19;
inline constexpr DWORD ERROR_CRC = 23;
inline constexpr DWORD ERROR_HANDLE_EOF = 38;
inline constexpr DWORD ERROR_NOT_SUPPORTED = 50;
inline constexpr DWORD ERROR_FILE_EXISTS = 80;
inline constexpr DWORD ERROR_INVALID_PARAMETER = 87;
inline constexpr DWORD ERROR_DISK_FULL = 112;
inline constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;
inline constexpr DWORD ERROR_DIR_NOT_EMPTY = 145;
inline constexpr DWORD ERROR_BUSY = 170;
inline constexpr DWORD ERROR_FILENAME_EXCED_RANGE = 206;
inline constexpr DWORD ERROR_NOT_A_REPARSE_POINT = 4390;
inline constexpr DWORD ERROR_MORE_DATA = 234;
inline constexpr DWORD ERROR_ALREADY_EXISTS = 183;
inline constexpr DWORD ERROR_INVALID_ADDRESS = 487;
inline constexpr DWORD ERROR_IO_DEVICE = 1117;
// Other system errors are reported with this bit set over the system's own
// number, so that FormatMessageA can still find their text.
inline constexpr DWORD kSystemErrorBit = 0x20000000u;

struct OSVERSIONINFOA {
  DWORD dwOSVersionInfoSize = 0;
  DWORD dwMajorVersion = 0;
  DWORD dwMinorVersion = 0;
  DWORD dwBuildNumber = 0;
  DWORD dwPlatformId = 0;
  char szCSDVersion[128] = {};
};

struct STARTING_VCN_INPUT_BUFFER {
  std::int64_t StartingVcn;
};
// RETRIEVAL_POINTERS_BUFFER: this head, then one RETRIEVAL_POINTER per run.
// Run i covers the file's clusters from the previous NextVcn (StartingVcn
// for the first) up to its own NextVcn; Lcn -1 means it has no place on disk.
struct RETRIEVAL_POINTERS_HEAD {
  DWORD ExtentCount;
  std::int64_t StartingVcn;
};
struct RETRIEVAL_POINTER {
  std::int64_t NextVcn;
  std::int64_t Lcn;
};
static_assert(sizeof(RETRIEVAL_POINTERS_HEAD) == 16 && sizeof(RETRIEVAL_POINTER) == 16);

struct PARTITION_INFORMATION {
  std::int64_t StartingOffset;
  std::int64_t PartitionLength;
  DWORD HiddenSectors;
  DWORD PartitionNumber;
  std::uint8_t PartitionType;
  std::uint8_t BootIndicator;
  std::uint8_t RecognizedPartition;
  std::uint8_t RewritePartition;
};
static_assert(sizeof(PARTITION_INFORMATION) == 32);

// Files. Names are byte strings passed to the system unchanged.
HANDLE CreateFileA(const std::string& fileName, DWORD desiredAccess, DWORD shareMode,
                   DWORD creationDisposition, DWORD flagsAndAttributes);
BOOL ReadFile(HANDLE hFile, std::span<std::byte> buffer, DWORD* bytesRead);
BOOL WriteFile(HANDLE hFile, std::span<const std::byte> buffer, DWORD* bytesWritten);
DWORD SetFilePointer(HANDLE hFile, LONG distanceToMove, LONG* distanceToMoveHigh, DWORD moveMethod);
BOOL FlushFileBuffers(HANDLE hFile);
BOOL CloseHandle(HANDLE h);
DWORD GetFileSize(HANDLE hFile, DWORD* fileSizeHigh);
DWORD GetFileAttributesA(const std::string& fileName);
// The bytes the file really occupies on its volume (holes not counted): low
// half returned, high half stored; INVALID_FILE_SIZE on failure.
DWORD GetCompressedFileSizeA(const std::string& fileName, DWORD* fileSizeHigh);
BOOL DeleteFileA(const std::string& fileName);

// A folder opened once, so that files are created and deleted in it and not
// wherever its name points later: a folder renamed or replaced by a link
// during a test never sends a deletion elsewhere. Opening needs no write
// right on the folder itself.
HANDLE OpenFolder(const std::string& folderName);
// CreateFileA for a plain name (no separator) inside an open folder.
HANDLE CreateFileInFolder(HANDLE folder, const std::string& name, DWORD desiredAccess,
                          DWORD shareMode, DWORD creationDisposition, DWORD flagsAndAttributes);
// DeleteFileA for a plain name inside an open folder.
BOOL DeleteFileInFolder(HANDLE folder, const std::string& name);
// A handle whose flush writes back the whole volume that holds the open
// file or folder h, found from the handle itself (its device), not from a
// path that may name something else by now. INVALID_HANDLE_VALUE with the
// last error set when the volume cannot be opened.
HANDLE OpenVolumeOfHandle(HANDLE h);
// Free bytes the caller may still use on the volume that holds path.
BOOL GetDiskFreeSpaceExA(const std::string& directoryName,
                         std::uint64_t* freeBytesAvailableToCaller,
                         std::uint64_t* totalNumberOfBytes, std::uint64_t* totalNumberOfFreeBytes);

// Volumes and devices. rootPath is what runtime::DriveRoot gives.
BOOL GetDiskFreeSpaceA(const std::string& rootPath, DWORD* sectorsPerCluster, DWORD* bytesPerSector,
                       DWORD* numberOfFreeClusters, DWORD* totalNumberOfClusters);
BOOL GetVolumeInformationA(const std::string& rootPath, std::span<char> volumeName,
                           DWORD* volumeSerialNumber, DWORD* maximumComponentLength,
                           DWORD* fileSystemFlags, std::span<char> fileSystemName);
// The mount point that holds fileName, ending in the separator.
BOOL GetVolumePathNameA(const std::string& fileName, std::span<char> volumePathName);
// The volume name of a mount point, such as \\?\Volume{8:1:29}\ (device and
// mount ID: the mount, not the first of its device); CreateFileA of
// it without the trailing backslash gives a handle whose flush is the whole
// volume's.
BOOL GetVolumeNameForVolumeMountPointA(const std::string& volumeMountPoint,
                                       std::span<char> volumeName);
BOOL DeviceIoControl(HANDLE hDevice, DWORD ioControlCode, std::span<const std::byte> in,
                     std::span<std::byte> out, DWORD* bytesReturned);

// Memory.
void* VirtualAlloc(void* address, std::size_t size, DWORD allocationType, DWORD protect);
BOOL VirtualLock(void* address, std::size_t size);
BOOL VirtualUnlock(void* address, std::size_t size);
BOOL VirtualFree(void* address, std::size_t size, DWORD freeType);

// Process and system.
DWORD GetCurrentProcessId();
// Returns 0 on failure, as Windows does.
HANDLE OpenProcess(DWORD desiredAccess, BOOL inheritHandle, DWORD processId);
BOOL SetPriorityClass(HANDLE hProcess, DWORD priorityClass);
void Sleep(DWORD milliseconds);
BOOL GetVersionExA(OSVERSIONINFOA* info);
DWORD GetLastError();
void SetLastError(DWORD errorCode);
// Writes the system's text for messageId, NUL-terminated, into buffer;
// returns the number of characters without the NUL, 0 on failure.
DWORD FormatMessageA(DWORD flags, DWORD messageId, DWORD languageId, std::span<char> buffer);
// Returns the length written, 0 on failure (or the size needed when the
// buffer is too small, as Windows does).
UINT GetWindowsDirectoryA(std::span<char> buffer);
// Writes the executable that would run for file (empty when none) into
// result; returns a value above 32 on success. Nothing is executed.
std::intptr_t FindExecutableA(const std::string& file, const std::string& directory,
                              std::span<char> result);

// The multimedia clock.
DWORD timeGetTime();
MMRESULT timeBeginPeriod(UINT periodMs);
MMRESULT timeEndPeriod(UINT periodMs);

// What the desktop runtime offers beside the Windows API.
namespace runtime {
// Files the program writes besides the test file (timelines, charts,
// screenshots): checked like a test file, written under a temporary name in
// the target's folder and renamed into place when complete, so that a failed
// or stopped write leaves nothing and never truncates what was there.
// "-" and the names of the standard output (/dev/stdout, /dev/fd/1, a path
// that is the file standard output goes to) write to that stream as it is,
// appending where it appends.
namespace output {
class Writer {
 public:
  Writer() = default;
  ~Writer();  // abandons what was not committed
  Writer(const Writer&) = delete;
  Writer& operator=(const Writer&) = delete;

  // Checks path and prepares the temporary file: false, with Error() set,
  // when path is a device, a FIFO, a socket, a folder, a file of the running
  // system, a file without a write permission bit, a link whose target is
  // missing, or the same file as protectedFile (the test file) under any
  // name. Nothing that could block is ever opened.
  bool Open(const std::string& path, const std::string& protectedFile);
  bool Write(std::string_view bytes);
  // Flushes and renames into place (or flushes the stream); false, with
  // Error() set, when anything failed: the target is then unchanged.
  bool Commit();
  // Removes the temporary file; the target stays as it was.
  void Abandon();
  bool IsOpen() const { return handle_ != INVALID_HANDLE_VALUE; }
  bool IsStream() const { return stream_; }
  // Why it failed: the path and the system's own reason.
  const std::string& Error() const { return error_; }

 private:
  bool Fail(const std::string& why);
  HANDLE handle_ = INVALID_HANDLE_VALUE;
  HANDLE folder_ = INVALID_HANDLE_VALUE;
  bool stream_ = false;
  std::string path_, target_, temp_, error_, protected_;
};
// Why path cannot take an output ("" when it can), as Writer::Open checks it.
std::string Refusal(const std::string& path, const std::string& protectedFile);
}  // namespace output

// What a comparison of results from two machines needs to know about the
// system and the storage that hold a path. Each figure is empty (or 0, or
// no value) where the system cannot tell.
struct SystemFacts {
  // Linux: "Linux", uname's release and its version string. Windows: the
  // version RtlGetVersion reports, and Wine's own and its host's where the
  // program runs in Wine.
  std::string kernel;
  // The file system that holds path, or the folder it would be made in.
  std::string fileSystem;
  // Linux: the mount's options and its file system's, as findmnt shows
  // them. Windows has none.
  std::string mountOptions;
  struct Device {
    // The disk's model; "loop" for a loop device, "device-mapper NAME" for
    // a mapped one; "" for none (tmpfs, overlay) or when the disk has none.
    std::string model;
    std::optional<bool> rotational;
    std::uint32_t logicalSectorSize = 0;
  } device;
};
SystemFacts DescribeSystem(const std::string& path);

// The full path of the running executable.
std::string ExecutablePath();
// The separator between the parts of a path.
char PathSeparator();
// The current directory; empty when it cannot be read.
std::string CurDir();
// Each returns false when the system refused.
bool ChDir(const std::string& directory);
bool ChDrive(const std::string& drive);

// The drive that holds path; on Linux the mount point of the mounted file
// system that holds it. "" when there is none.
std::string DriveOf(const std::string& path);
// The drive's root folder, ending in the path separator.
std::string DriveRoot(const std::string& drive);
// The drive's volume device, for reading its boot sector and asking for its
// partition; "" when it has none.
std::string VolumeDevicePath(const std::string& drive);
// The test file the window starts with, from the command-line argument text.
std::string InitialTestFile(const std::string& argumentText);

// Where path points when it is a symbolic link whose target is missing;
// "" when it is none (or the system cannot tell).
std::string MissingLinkTarget(const std::string& path);

// Whether the X display named as in DISPLAY answers a connection, so that
// a window can start there; true where the system has no such displays.
bool DisplayReachable(const std::string& display);

// A file this program wrote carries a mark, where its file system keeps
// one (an extended attribute on Linux, a named stream on NTFS), so that the
// window need not ask before writing over it again. False when the mark
// cannot be set.
bool MarkWrittenByProgram(HANDLE file);
// Whether the file at path carries that mark.
bool WrittenByProgram(const std::string& path);

// The memory this process can really have: the machine's, or the lowest
// limit of its control groups and their parents when that is lower. 0 when
// unknown.
std::uint64_t PhysicalMemory();

// Memory for an array of plain records that grows to megabytes a record or
// a block at a time. Address space is set aside ahead, so it grows in place
// and nothing is copied; each growth maps its pages in one call, where a
// first touch page by page would trap once a page (a virtual machine pays
// microseconds a trap). Grow throws std::bad_alloc.
class GrowingMemory {
 public:
  GrowingMemory() = default;
  GrowingMemory(GrowingMemory&& o) noexcept
      : base_(std::exchange(o.base_, nullptr)),
        usable_(std::exchange(o.usable_, 0)),
        reserved_(std::exchange(o.reserved_, 0)) {}
  GrowingMemory& operator=(GrowingMemory&& o) noexcept {
    std::swap(base_, o.base_);
    std::swap(usable_, o.usable_);
    std::swap(reserved_, o.reserved_);
    return *this;
  }
  ~GrowingMemory();
  // At least bytes usable from Base(), what was there kept; Base() may move.
  void Grow(std::size_t bytes);
  std::byte* Base() const { return base_; }
  std::size_t Usable() const { return usable_; }

 private:
  std::byte* base_ = nullptr;
  std::size_t usable_ = 0, reserved_ = 0;
};

template <class T>
class BulkArray {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  T* data() { return reinterpret_cast<T*>(memory_.Base()); }
  const T* data() const { return reinterpret_cast<const T*>(memory_.Base()); }
  T* begin() { return data(); }
  T* end() { return data() + size_; }
  const T* begin() const { return data(); }
  const T* end() const { return data() + size_; }
  T& operator[](std::size_t i) { return data()[i]; }
  const T& operator[](std::size_t i) const { return data()[i]; }
  T& back() { return data()[size_ - 1]; }
  const T& back() const { return data()[size_ - 1]; }
  void push_back(const T& value) {
    if ((size_ + 1) * sizeof(T) > memory_.Usable()) memory_.Grow((size_ + 1) * sizeof(T));
    data()[size_++] = value;
  }
  // Elements added are zero.
  void resize(std::size_t n) {
    if (n * sizeof(T) > memory_.Usable()) memory_.Grow(n * sizeof(T));
    if (n > size_) std::memset(static_cast<void*>(data() + size_), 0, (n - size_) * sizeof(T));
    size_ = n;
  }
  void clear() { size_ = 0; }

 private:
  GrowingMemory memory_;
  std::size_t size_ = 0;
};

// A cheap millisecond clock for pacing repaints; coarser than timeGetTime
// (a few ms) and never used for a measured time.
std::uint64_t FrameClockMs();
// The nanosecond clock of every measured interval: monotonic, the same in
// every thread.
std::int64_t ClockNs();
// The processor's invariant time-stamp counter where it has one, ClockNs
// elsewhere: reading it costs a third of ClockNs, which matters for a
// latency taken around every transfer of a few microseconds. Ticks are
// comparable only with ticks; NsPerTick (calibrated against ClockNs on its
// first call, in 20 ms) turns them into nanoseconds. Not replaced by the
// test seam.
std::uint64_t Ticks();
double NsPerTick();

// Gives the calling helper thread an empty table of open files of its own;
// it can open files after that, but sees none of the others'. While a file
// is in two tables (or two threads share one), Linux locks the file
// position on every read and write of the thread doing the transfers, which
// costs a 512-byte block a tenth of its time. A watched file stays readable
// to the thread through an open of its own (a description the transfers
// never share), for WatchedFileCache.
void SeparateFileTable(HANDLE watched = INVALID_HANDLE_VALUE);

// The system's dirty page cache and the part of it being written back now,
// in KiB (1,024 bytes). False when the system has no such figures.
bool CacheFigures(std::uint64_t* dirtyKiB, std::uint64_t* writebackKiB);

// How much of one open file the system's page cache holds, in bytes.
// Linux counts with cachestat (6.5 and later); where that is missing, with
// mincore on a read-only mapping of the file, which sees pages in memory
// but not whether they are dirty. Windows keeps no per-file figure.
struct FileCache {
  enum class Source { None, Cachestat, Mincore };
  Source source = Source::None;  // None: no figure was taken
  std::int64_t fileBytes = 0;
  std::int64_t cachedBytes = 0;
  std::int64_t dirtyBytes = -1;  // -1: the source does not tell
  std::int64_t writebackBytes = -1;
  // The file system keeps its files in memory alone (tmpfs, ramfs): no
  // disk lies beneath.
  bool inMemory = false;
};
// False, with the last error set, when the system gives no figure for the
// file (Windows: ERROR_NOT_SUPPORTED).
bool FileCacheFigures(HANDLE file, FileCache* figures);
// The same figures of the file the calling thread watches (SeparateFileTable),
// by cachestat alone, cheap enough for twenty times a second. False without
// a watched file or cachestat (Windows: always).
bool WatchedFileCache(FileCache* figures);

// Where the kernel starts writing dirty pages back on its own, and where it
// makes writers wait for it, in bytes; -1 where the system has none.
struct DirtyThresholds {
  std::int64_t backgroundBytes = -1;
  std::int64_t dirtyBytes = -1;
};
DirtyThresholds DirtyLimits();
// Writes the file's data back and asks the system to drop the file's pages
// from its cache, touching no other file's. False, with the last error set,
// when it cannot (Windows: ERROR_NOT_SUPPORTED).
bool DropFileCache(HANDLE file);
// Whether DropFileCache can work on this system at all, so that a face
// offers it only where it can.
bool CanDropFileCache();
// "cachestat", "mincore" or "none".
inline const char* FileCacheSourceName(FileCache::Source source) {
  return source == FileCache::Source::Cachestat ? "cachestat"
         : source == FileCache::Source::Mincore ? "mincore"
                                                : "none";
}

// True when the standard error stream is a terminal, where a progress line
// can redraw itself.
bool StderrIsTerminal();

// Opens the null device on standard input, output or error where the
// process was started without them, so that no file the program opens
// later takes their place and receives its messages. True when standard
// output was one of them: nothing printed there reaches anyone.
bool KeepStandardStreams();

// From this call on, an interrupt, termination or hang-up request (Ctrl-C,
// a service manager's stop, a logout, a closed terminal) is noted instead
// of ending the process, so that a test can stop and clean up. A write
// beyond a file-size limit or into a closed pipe then fails with its error
// instead of ending the process.
void CatchStopRequests();
// The request noted: the signal number on Linux (2 for an interrupt, 15 for
// a termination, 1 for a hang-up, 3 for a quit), 0 when none came.
int StopRequested();
// Forgets a noted request.
void ClearStopRequest();
// Notes a request the program received itself, as a window's end of the
// session: code as StopRequested gives it.
void RequestStop(int code);
}  // namespace runtime

}  // namespace os
