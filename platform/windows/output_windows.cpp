// Outputs written complete or not at all: a temporary file beside the
// target, renamed over it only once everything is on the disk.
#include <algorithm>
#include <atomic>
#include <cstdio>

#include "platform/windows/internal.h"

namespace os::runtime::output {
namespace {

using os::detail::Native;
using os::detail::Ours;

std::string FolderOf(const std::string& path) {
  const auto cut = path.find_last_of("\\/");
  if (cut == std::string::npos)
    return path.size() >= 2 && path[1] == ':' ? path.substr(0, 2) + "." : ".";
  // "C:\name" lives in "C:\", "\\?\C:\name" in "\\?\C:\": never in the drive's device.
  if (cut == 0 || path[cut - 1] == ':') return path.substr(0, cut + 1);
  return path.substr(0, cut);
}

std::string BaseOf(const std::string& path) {
  const auto cut = path.find_last_of("\\/");
  std::string base = cut == std::string::npos ? path : path.substr(cut + 1);
  if (cut == std::string::npos && base.size() >= 2 && base[1] == ':') base = base.substr(2);
  return base;
}

// An existing file opened for nothing but questions; following links.
::HANDLE OpenToAsk(const std::string& path) {
  return ::CreateFileA(path.c_str(), FILE_READ_ATTRIBUTES,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

// Volume serial and file index. Wine forgets the serial (0) of a file
// moved since it was opened, but keeps the index.
bool SameFile(::HANDLE a, ::HANDLE b) {
  BY_HANDLE_FILE_INFORMATION x{}, y{};
  if (!::GetFileInformationByHandle(a, &x) || !::GetFileInformationByHandle(b, &y)) return false;
  if (!x.nFileIndexHigh && !x.nFileIndexLow && !y.nFileIndexHigh && !y.nFileIndexLow) {
    // A file system without file indexes: the paths must tell.
    const std::string p = os::detail::FinalPath(a, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    const std::string q = os::detail::FinalPath(b, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    return !p.empty() && ::lstrcmpiA(p.c_str(), q.c_str()) == 0;
  }
  const bool sameVolume = x.dwVolumeSerialNumber == y.dwVolumeSerialNumber ||
                          x.dwVolumeSerialNumber == 0 || y.dwVolumeSerialNumber == 0;
  return sameVolume && x.nFileIndexHigh == y.nFileIndexHigh && x.nFileIndexLow == y.nFileIndexLow;
}

bool Inside(const std::string& path, const std::string& folder) {
  if (folder.empty() || path.size() <= folder.size()) return false;
  return ::CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, path.c_str(),
                          static_cast<int>(folder.size()), folder.c_str(),
                          static_cast<int>(folder.size())) == CSTR_EQUAL &&
         (path[folder.size()] == '\\' || folder.back() == '\\');
}

// The file an existing target really is (through links), "" with the last
// error set when it cannot be opened.
std::string ExistingTarget(const std::string& path, const std::string& protectedFile,
                           std::string& refusal) {
  ::HANDLE h = OpenToAsk(path);
  if (os::detail::Invalid(h)) {
    const ::DWORD error = ::GetLastError();
    refusal = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND
                  ? "is a link whose target is missing"
                  : os::detail::SystemText(error);
    return {};
  }
  std::string finalPath;
  BY_HANDLE_FILE_INFORMATION info{};
  if (::GetFileType(h) != FILE_TYPE_DISK) {
    refusal = "is a device, not a file";
  } else if (!::GetFileInformationByHandle(h, &info)) {
    refusal = os::detail::SystemText(::GetLastError());
  } else if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
    refusal = "is a folder";
  } else if (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) {
    refusal = "is read-only";
  } else {
    finalPath = os::detail::FinalPath(h, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (finalPath.empty()) refusal = os::detail::SystemText(::GetLastError());
  }
  if (refusal.empty() && !protectedFile.empty()) {
    ::HANDLE p = OpenToAsk(protectedFile);
    if (!os::detail::Invalid(p)) {
      if (SameFile(h, p)) refusal = "is the test file";
      ::CloseHandle(p);
    }
  }
  ::CloseHandle(h);
  return refusal.empty() ? finalPath : std::string();
}

std::string SystemFolder() {
  char buf[MAX_PATH];
  const UINT n = ::GetWindowsDirectoryA(buf, sizeof buf);
  if (n == 0 || n >= sizeof buf) return {};
  ::HANDLE h = OpenToAsk(std::string(buf, n));
  if (os::detail::Invalid(h)) return {};
  std::string path = os::detail::FinalPath(h, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  ::CloseHandle(h);
  return path;
}

// Where path writes to once checked: the full final path of the file to
// replace; "" with refusal set when it must not be written.
std::string Check(const std::string& path, const std::string& protectedFile, std::string& refusal) {
  refusal.clear();
  if (path.empty()) {
    refusal = "no file name given";
    return {};
  }
  if (path.find('\0') != std::string::npos) {
    refusal = "the name holds a NUL character";
    return {};
  }
  if (os::detail::NamesDevice(path)) {
    refusal = "is a device, not a file";
    return {};
  }
  const std::string base = BaseOf(path);
  if (base.empty() || base == "." || base == "..") {
    refusal = "is a folder";
    return {};
  }
  std::string target;
  const ::DWORD attributes = ::GetFileAttributesA(path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES) {
    target = ExistingTarget(path, protectedFile, refusal);
    if (target.empty()) return {};
  } else if (::GetLastError() != ERROR_FILE_NOT_FOUND) {
    refusal = os::detail::SystemText(::GetLastError());
    return {};
  } else {
    // A dangling link has no attributes of its target but is still there.
    WIN32_FIND_DATAA found{};
    ::HANDLE f = ::FindFirstFileA(path.c_str(), &found);
    if (!os::detail::Invalid(f)) {
      ::FindClose(f);
      refusal = "is a link whose target is missing";
      return {};
    }
    ::HANDLE folder = OpenToAsk(FolderOf(path));
    if (os::detail::Invalid(folder)) {
      refusal = "its folder cannot be opened: " + os::detail::SystemText(::GetLastError());
      return {};
    }
    target = os::detail::FinalPath(folder, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    const ::DWORD error = ::GetLastError();
    ::CloseHandle(folder);
    if (target.empty()) {
      refusal = os::detail::SystemText(error);
      return {};
    }
    if (target.back() != '\\') target += '\\';
    target += base;
  }
  const std::string system = SystemFolder();
  if (Inside(target, system)) {
    refusal = "is a file of the running system";
    return {};
  }
  return target;
}

std::atomic<unsigned> tempCounter{0};

}  // namespace

std::string Refusal(const std::string& path, const std::string& protectedFile) {
  if (path == "-") return {};
  std::string refusal;
  Check(path, protectedFile, refusal);
  return refusal.empty() ? refusal : path + ": " + refusal;
}

Writer::~Writer() { Abandon(); }

bool Writer::Fail(const std::string& why) {
  error_ = path_ + ": " + why;
  Abandon();
  return false;
}

bool Writer::Open(const std::string& path, const std::string& protectedFile) {
  Abandon();
  error_.clear();
  path_ = path;
  if (path == "-") {
    ::HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
    if (out == nullptr || os::detail::Invalid(out)) return Fail("there is no standard output");
    std::fflush(stdout);  // what the C runtime holds comes first
    handle_ = Ours(out);
    stream_ = true;
    return true;
  }
  std::string refusal;
  target_ = Check(path, protectedFile, refusal);
  if (target_.empty()) return Fail(refusal);
  const auto cut = target_.find_last_of('\\');
  const std::string folder = target_.substr(0, cut);
  folder_ = os::OpenFolder(cut == 0 || target_[cut - 1] == ':' ? folder + "\\" : folder);
  if (folder_ == INVALID_HANDLE_VALUE)
    return Fail("its folder cannot be opened: " + os::detail::SystemText(::GetLastError()));
  const std::string stem =
      *os::detail::FolderPath(folder_) + "\\." + target_.substr(cut + 1, 40) + ".";
  const std::string pid = std::to_string(::GetCurrentProcessId());
  for (int tries = 0; tries < 100; ++tries) {
    const std::string temp = stem + pid + "-" + std::to_string(tempCounter++) + ".tmp";
    // DELETE, so that an abandoned file goes through this very handle;
    // shared for deletion, so that it can be renamed while held.
    ::HANDLE h = ::CreateFileA(temp.c_str(), GENERIC_WRITE | DELETE, FILE_SHARE_DELETE, nullptr,
                               CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (!os::detail::Invalid(h)) {
      handle_ = Ours(h);
      os::detail::AddHandle(handle_, os::detail::Kind::File);
      temp_ = temp;
      return true;
    }
    if (::GetLastError() != ERROR_FILE_EXISTS && ::GetLastError() != ERROR_ALREADY_EXISTS)
      return Fail("no file can be made beside it: " + os::detail::SystemText(::GetLastError()));
  }
  return Fail("no free temporary name beside it");
}

bool Writer::Write(std::string_view bytes) {
  if (!IsOpen()) {
    if (error_.empty()) error_ = path_ + ": not open for writing";
    return false;
  }
  while (!bytes.empty()) {
    const ::DWORD chunk = static_cast<::DWORD>(std::min<std::size_t>(bytes.size(), 1u << 30));
    ::DWORD written = 0;
    if (!::WriteFile(Native(handle_), bytes.data(), chunk, &written, nullptr))
      return Fail(os::detail::SystemText(::GetLastError()));
    if (written == 0) return Fail(os::detail::SystemText(ERROR_DISK_FULL));
    bytes.remove_prefix(written);
  }
  return true;
}

bool Writer::Commit() {
  if (!IsOpen()) {
    if (error_.empty()) error_ = path_ + ": not open for writing";
    return false;
  }
  if (stream_) {
    // A pipe's flush would wait for its reader; only a file is flushed.
    const bool ok =
        ::GetFileType(Native(handle_)) != FILE_TYPE_DISK || ::FlushFileBuffers(Native(handle_));
    const ::DWORD error = ::GetLastError();
    handle_ = INVALID_HANDLE_VALUE;
    stream_ = false;
    return ok ? true : Fail(os::detail::SystemText(error));
  }
  if (!::FlushFileBuffers(Native(handle_))) return Fail(os::detail::SystemText(::GetLastError()));
  // The target may have changed since Open.
  std::string refusal;
  const std::string target = Check(target_, "", refusal);
  if (target.empty()) return Fail(refusal);
  if (!::MoveFileExA(temp_.c_str(), target_.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    return Fail(os::detail::SystemText(::GetLastError()));
  os::detail::RemoveHandle(handle_);
  ::CloseHandle(Native(handle_));
  handle_ = INVALID_HANDLE_VALUE;
  temp_.clear();
  os::CloseHandle(folder_);
  folder_ = INVALID_HANDLE_VALUE;
  return true;
}

void Writer::Abandon() {
  if (stream_) {
    handle_ = INVALID_HANDLE_VALUE;
    stream_ = false;
  }
  if (handle_ != INVALID_HANDLE_VALUE) {
    FILE_DISPOSITION_INFO disposition{TRUE};
    ::SetFileInformationByHandle(Native(handle_), FileDispositionInfo, &disposition,
                                 sizeof disposition);
    os::detail::RemoveHandle(handle_);
    ::CloseHandle(Native(handle_));
    handle_ = INVALID_HANDLE_VALUE;
  }
  temp_.clear();
  if (folder_ != INVALID_HANDLE_VALUE) {
    os::CloseHandle(folder_);
    folder_ = INVALID_HANDLE_VALUE;
  }
}

}  // namespace os::runtime::output
