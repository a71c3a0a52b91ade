// What the desktop runtime offers: the program's path, the current folder
// and drive, drive letters and volume device paths.
#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdlib>
#include <new>

#include "platform/paths.h"
#include "platform/windows/internal.h"

namespace os::runtime {
namespace {

// "C:" for a path on a lettered drive.
bool IsDrive(const std::string& s) {
  return s.size() == 2 && s[1] == ':' && std::isalpha(static_cast<unsigned char>(s[0]));
}

}  // namespace

std::string ExecutablePath() {
  char buf[MAX_PATH * 4];
  const ::DWORD n = GetModuleFileNameA(nullptr, buf, sizeof buf);
  return n > 0 && n < sizeof buf ? std::string(buf, n) : std::string();
}

char PathSeparator() { return '\\'; }

std::string CurDir() {
  char buf[MAX_PATH * 4];
  const ::DWORD n = GetCurrentDirectoryA(sizeof buf, buf);
  return n > 0 && n < sizeof buf ? std::string(buf, n) : std::string();
}

bool ChDir(const std::string& directory) {
  return !directory.empty() && directory.find('\0') == std::string::npos &&
         SetCurrentDirectoryA(directory.c_str()) != 0;
}

bool ChDrive(const std::string& drive) {
  if (drive.empty() || !rules::IsDriveLetter(drive.substr(0, 1))) return false;
  // "X:" alone goes to the folder the process last used on that drive.
  return SetCurrentDirectoryA((drive.substr(0, 1) + ":").c_str()) != 0;
}

std::string DriveOf(const std::string& path) {
  if (path.empty() || path.find('\0') != std::string::npos) return "";
  char full[MAX_PATH * 4];
  const ::DWORD n = GetFullPathNameA(path.c_str(), sizeof full, full, nullptr);
  if (n == 0 || n >= sizeof full) return "";
  char volume[MAX_PATH * 4];
  if (!::GetVolumePathNameA(full, volume, sizeof volume)) return "";
  std::string v = volume;
  // A lettered drive is its letter; a share or a mounted folder its path.
  if (v.size() == 3 && IsDrive(v.substr(0, 2)) && v[2] == '\\') return v.substr(0, 2);
  return v;
}

std::string DriveRoot(const std::string& drive) {
  if (drive.empty()) return drive;
  return drive.back() == '\\' ? drive : drive + "\\";
}

std::string VolumeDevicePath(const std::string& drive) {
  if (IsDrive(drive)) return "\\\\.\\" + drive;
  // A volume mounted in a folder has a volume name instead of a letter; a
  // network share has no device here.
  char name[MAX_PATH];
  if (drive.empty() ||
      !::GetVolumeNameForVolumeMountPointA(DriveRoot(drive).c_str(), name, sizeof name))
    return "";
  std::string device = name;
  if (!device.empty() && device.back() == '\\') device.pop_back();
  return device;
}

std::string InitialTestFile(const std::string& argumentText) {
  // A folder takes the test file, as on Linux; a drive letter its root.
  const bool letter =
      argumentText.size() == 1 || (argumentText.size() == 2 && argumentText[1] == ':');
  const ::DWORD attributes = argumentText.empty() || letter
                                 ? INVALID_FILE_ATTRIBUTES
                                 : ::GetFileAttributesA(argumentText.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    std::string folder = argumentText;
    if (folder.back() != '\\' && folder.back() != '/') folder += '\\';
    return folder + rules::kTestFileName;
  }
  return rules::WindowsInitialTestFile(argumentText, CurDir());
}

// Windows' links are reparse points whose target would need the reparse
// data read; the plain reason stands there.
std::string MissingLinkTarget(const std::string&) { return ""; }

bool DisplayReachable(const std::string&) { return true; }

namespace {
constexpr const char* kWrittenMark = ":orvandel";
}  // namespace

bool MarkWrittenByProgram(HANDLE file) {
  char path[MAX_PATH * 4];
  const ::DWORD n =
      GetFinalPathNameByHandleA(detail::Native(file), path, sizeof path, FILE_NAME_NORMALIZED);
  if (n == 0 || n >= sizeof path) return false;
  // FAT and other file systems without named streams refuse it.
  const ::HANDLE mark = ::CreateFileA((std::string(path, n) + kWrittenMark).c_str(), GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (detail::Ours(mark) == -1) return false;  // INVALID_HANDLE_VALUE
  ::CloseHandle(mark);
  return true;
}

bool WrittenByProgram(const std::string& path) {
  return path.find('\0') == std::string::npos &&
         ::GetFileAttributesA((path + kWrittenMark).c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Windows commits pages on first touch without the cost of a trap each
// that a virtual machine adds on Linux: the heap serves.
GrowingMemory::~GrowingMemory() { std::free(base_); }

void GrowingMemory::Grow(std::size_t bytes) {
  if (bytes <= usable_) return;
  const std::size_t want = std::max(bytes, usable_ + usable_ / 4);
  void* p = std::realloc(base_, want);
  if (!p) throw std::bad_alloc();
  base_ = static_cast<std::byte*>(p);
  usable_ = want;
}

std::uint64_t PhysicalMemory() {
  MEMORYSTATUSEX status{};
  status.dwLength = sizeof status;
  return GlobalMemoryStatusEx(&status) ? status.ullTotalPhys : 0;
}

namespace {

std::atomic<int> stopSignal{0};

// Ctrl-C and Ctrl-Break count as an interrupt, a closed console, a logoff
// or a shutdown as a termination, with the numbers the C runtime uses.
BOOL WINAPI NoteStop(::DWORD event) {
  const bool interrupt = event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT;
  stopSignal.store(interrupt ? 2 : 15, std::memory_order_relaxed);
  // The system ends the process when this returns from a close: leave the
  // run a moment to delete what it made.
  if (!interrupt) ::Sleep(2000);
  return TRUE;
}

}  // namespace

std::uint64_t FrameClockMs() { return GetTickCount64(); }

// Windows keeps no file position lock that a second thread would make dear.
void SeparateFileTable(HANDLE) {}

// Windows publishes no system-wide figure of dirty cache pages.
bool CacheFigures(std::uint64_t*, std::uint64_t*) { return false; }

// Windows counts its cache for the whole system only: no figure of one
// file's pages exists, and none is estimated.
bool FileCacheFigures(HANDLE, FileCache*) {
  os::SetLastError(ERROR_NOT_SUPPORTED);
  return false;
}

bool WatchedFileCache(FileCache*) { return false; }

// Windows writes its cache back by its own rules, with no thresholds to show.
DirtyThresholds DirtyLimits() { return {}; }

// No call drops one file's pages from the Windows cache.
bool CanDropFileCache() { return false; }

bool DropFileCache(HANDLE) {
  os::SetLastError(ERROR_NOT_SUPPORTED);
  return false;
}

bool StderrIsTerminal() {
  ::DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

void CatchStopRequests() { SetConsoleCtrlHandler(NoteStop, TRUE); }

// A Windows process without standard handles gets none from later opens.
bool KeepStandardStreams() { return false; }

int StopRequested() { return stopSignal.load(std::memory_order_relaxed); }

void ClearStopRequest() { stopSignal.store(0, std::memory_order_relaxed); }

void RequestStop(int code) { stopSignal.store(code, std::memory_order_relaxed); }

}  // namespace os::runtime
