// The Windows operations, passed to the system itself through the test seam.
// After windows.h the layer's constants are the system's macros (same
// values), so they appear unqualified here.
#include <algorithm>
#include <cstring>

#include "platform/windows/internal.h"

#include <shellapi.h>
#include <timeapi.h>

namespace os {

namespace detail {

bool Faulted(seam::Op op) {
  if (auto f = seam::Enter(op)) {
    ::SetLastError(f->error);
    return true;
  }
  return false;
}

}  // namespace detail

using detail::Faulted;
using detail::Kind;
using detail::Native;
using detail::Ours;

namespace {

constexpr os::HANDLE kInvalid = -1;

bool IsFileHandle(os::HANDLE h) {
  const auto kind = detail::FindHandle(h);
  return kind && *kind != Kind::Process;
}

// Why what was opened must not be used (0 when it may): devices for writing
// (only the volume that GetVolumeNameForVolumeMountPointA just named may
// be), and anything that is not a file, folder or disk (consoles, pipes,
// serial ports) at all.
DWORD RefusedAfterOpen(::HANDLE h, DWORD access) {
  if (GetFileType(h) != FILE_TYPE_DISK) return ERROR_ACCESS_DENIED;
  if (!(access & GENERIC_WRITE)) return 0;
  // A name that looks like a file may still lead to a device, through a
  // link: the path the handle really has must be a file below a root.
  const std::string s = detail::FinalPath(h, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  if (s.empty()) {
    // Wine cannot tell the path of a file whose full name passes MAX_PATH.
    const DWORD error = ::GetLastError();
    return error == ERROR_MORE_DATA || error == ERROR_INSUFFICIENT_BUFFER ||
                   error == ERROR_FILENAME_EXCED_RANGE
               ? ERROR_FILENAME_EXCED_RANGE
               : ERROR_ACCESS_DENIED;
  }
  const auto last = s.find_last_of('\\');
  return last == std::string::npos || last + 1 == s.size() ? ERROR_ACCESS_DENIED : 0;
}

}  // namespace

HANDLE CreateFileA(const std::string& fileName, DWORD desiredAccess, DWORD shareMode,
                   DWORD creationDisposition, DWORD flagsAndAttributes) {
  seam::NoteCreateFlags(flagsAndAttributes);
  const bool volumeGrant = detail::TakeVolumeGrant(fileName);
  if (Faulted(seam::Op::CreateFileA)) return kInvalid;
  // Never CREATE_ALWAYS or TRUNCATE_EXISTING: nothing the program opens is
  // ever cut short.
  if (creationDisposition != OPEN_EXISTING && creationDisposition != OPEN_ALWAYS) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return kInvalid;
  }
  if (fileName.empty() || fileName.find('\0') != std::string::npos) {
    ::SetLastError(ERROR_PATH_NOT_FOUND);
    return kInvalid;
  }
  const bool write = desiredAccess & GENERIC_WRITE;
  if (volumeGrant) {
    ::HANDLE h = ::CreateFileA(fileName.c_str(), desiredAccess, shareMode, nullptr, OPEN_EXISTING,
                               flagsAndAttributes, nullptr);
    if (Ours(h) == kInvalid) return kInvalid;
    detail::AddHandle(Ours(h), Kind::Volume);
    ::SetLastError(0);
    return Ours(h);
  }
  if (write && detail::NamesDevice(fileName)) {
    ::SetLastError(ERROR_ACCESS_DENIED);
    return kInvalid;
  }
  // A read-only file is not written, for an administrator either (Wine run
  // as root would otherwise write it).
  const DWORD attributes = ::GetFileAttributesA(fileName.c_str());
  if (write && attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY)) {
    ::SetLastError(ERROR_ACCESS_DENIED);
    return kInvalid;
  }
  ::HANDLE h = ::CreateFileA(fileName.c_str(), desiredAccess, shareMode, nullptr,
                             creationDisposition, flagsAndAttributes, nullptr);
  if (Ours(h) == kInvalid) return kInvalid;
  const DWORD opened = ::GetLastError();  // ERROR_ALREADY_EXISTS for OPEN_ALWAYS
  if (const DWORD refused = RefusedAfterOpen(h, desiredAccess)) {
    // A file this open made is not left behind by its refusal.
    if (creationDisposition == OPEN_ALWAYS && opened != ERROR_ALREADY_EXISTS)
      detail::DeleteThroughHandle(h);
    ::CloseHandle(h);
    ::SetLastError(refused);
    return kInvalid;
  }
  detail::AddHandle(Ours(h), Kind::File);
  ::SetLastError(opened);
  return Ours(h);
}

namespace {

// ReadFile and WriteFile: the seam may shorten the transfer or fail it.
template <typename Byte, typename Call>
BOOL Transfer(seam::Op op, os::HANDLE hFile, std::span<Byte> buffer, os::DWORD* done, Call call) {
  if (done) *done = 0;
  DWORD faultError = 0;
  if (auto f = seam::Enter(op)) {
    faultError = f->error;
    if (!f->shortCount) {
      ::SetLastError(f->error);
      return FALSE;
    }
    buffer = buffer.first(std::min<std::size_t>(buffer.size(), *f->shortCount));
  }
  if (seam::Active() && seam::TransferObserver()) seam::TransferObserver()(buffer);
  if (!IsFileHandle(hFile)) {
    ::SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  ::DWORD n = 0;
  const BOOL ok = call(Native(hFile), buffer.data(), static_cast<DWORD>(buffer.size()), &n);
  if (done) *done = n;
  if (!ok) return FALSE;
  ::SetLastError(faultError);
  return faultError == 0 ? TRUE : FALSE;
}

}  // namespace

BOOL ReadFile(HANDLE hFile, std::span<std::byte> buffer, DWORD* bytesRead) {
  return Transfer(seam::Op::ReadFile, hFile, buffer, bytesRead,
                  [](::HANDLE h, std::byte* p, ::DWORD size, ::DWORD* n) {
                    return ::ReadFile(h, p, size, n, nullptr);
                  });
}

BOOL WriteFile(HANDLE hFile, std::span<const std::byte> buffer, DWORD* bytesWritten) {
  return Transfer(seam::Op::WriteFile, hFile, buffer, bytesWritten,
                  [](::HANDLE h, const std::byte* p, ::DWORD size, ::DWORD* n) {
                    const BOOL ok = ::WriteFile(h, p, size, n, nullptr);
                    // A disk that takes less than it was given is full.
                    if (ok && *n < size) {
                      ::SetLastError(ERROR_DISK_FULL);
                      return FALSE;
                    }
                    return ok;
                  });
}

DWORD SetFilePointer(HANDLE hFile, LONG distanceToMove, LONG* distanceToMoveHigh,
                     DWORD moveMethod) {
  if (Faulted(seam::Op::SetFilePointer)) return INVALID_SET_FILE_POINTER;
  if (!IsFileHandle(hFile)) {
    ::SetLastError(ERROR_INVALID_HANDLE);
    return INVALID_SET_FILE_POINTER;
  }
  ::LONG high = distanceToMoveHigh ? *distanceToMoveHigh : 0;
  ::SetLastError(0);
  const DWORD low = ::SetFilePointer(Native(hFile), distanceToMove,
                                     distanceToMoveHigh ? &high : nullptr, moveMethod);
  if (distanceToMoveHigh) *distanceToMoveHigh = high;
  return low;
}

BOOL FlushFileBuffers(HANDLE hFile) {
  if (Faulted(seam::Op::FlushFileBuffers)) return FALSE;
  if (!IsFileHandle(hFile)) {
    ::SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return ::FlushFileBuffers(Native(hFile)) ? TRUE : FALSE;
}

BOOL CloseHandle(HANDLE h) {
  if (Faulted(seam::Op::CloseHandle)) return FALSE;
  if (!detail::RemoveHandle(h)) {
    ::SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  ::CloseHandle(Native(h));  // the handle is gone whatever the system says
  return TRUE;
}

DWORD GetFileSize(HANDLE hFile, DWORD* fileSizeHigh) {
  if (Faulted(seam::Op::GetFileSize)) return INVALID_FILE_SIZE;
  if (!IsFileHandle(hFile)) {
    ::SetLastError(ERROR_INVALID_HANDLE);
    return INVALID_FILE_SIZE;
  }
  ::DWORD high = 0;
  ::SetLastError(0);
  const DWORD low = ::GetFileSize(Native(hFile), &high);
  if (fileSizeHigh) *fileSizeHigh = high;
  return low;
}

DWORD GetFileAttributesA(const std::string& fileName) {
  if (Faulted(seam::Op::GetFileAttributesA)) return INVALID_FILE_ATTRIBUTES;
  if (fileName.find('\0') != std::string::npos) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_FILE_ATTRIBUTES;
  }
  return ::GetFileAttributesA(fileName.c_str());
}

DWORD GetCompressedFileSizeA(const std::string& fileName, DWORD* fileSizeHigh) {
  if (fileName.find('\0') != std::string::npos) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_FILE_SIZE;
  }
  ::DWORD high = 0;
  const ::DWORD low = ::GetCompressedFileSizeA(fileName.c_str(), &high);
  if (fileSizeHigh) *fileSizeHigh = high;
  return low;
}

BOOL DeleteFileA(const std::string& fileName) {
  if (Faulted(seam::Op::DeleteFileA)) return FALSE;
  if (fileName.find('\0') != std::string::npos) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const DWORD attributes = ::GetFileAttributesA(fileName.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY)) {
    ::SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  return ::DeleteFileA(fileName.c_str()) ? TRUE : FALSE;
}

void* VirtualAlloc(void* address, std::size_t size, DWORD allocationType, DWORD protect) {
  if (Faulted(seam::Op::VirtualAlloc)) return nullptr;
  return ::VirtualAlloc(address, size, allocationType, protect);
}

BOOL VirtualLock(void* address, std::size_t size) {
  if (Faulted(seam::Op::VirtualLock)) return FALSE;
  return ::VirtualLock(address, size) ? TRUE : FALSE;
}

BOOL VirtualUnlock(void* address, std::size_t size) {
  if (Faulted(seam::Op::VirtualUnlock)) return FALSE;
  return ::VirtualUnlock(address, size) ? TRUE : FALSE;
}

BOOL VirtualFree(void* address, std::size_t size, DWORD freeType) {
  if (Faulted(seam::Op::VirtualFree)) return FALSE;
  return ::VirtualFree(address, size, freeType) ? TRUE : FALSE;
}

DWORD GetCurrentProcessId() { return ::GetCurrentProcessId(); }

HANDLE OpenProcess(DWORD desiredAccess, BOOL inheritHandle, DWORD processId) {
  if (Faulted(seam::Op::OpenProcess)) return 0;
  ::HANDLE h = ::OpenProcess(desiredAccess, inheritHandle, processId);
  if (!h) return 0;
  detail::AddHandle(Ours(h), Kind::Process);
  return Ours(h);
}

BOOL SetPriorityClass(HANDLE hProcess, DWORD priorityClass) {
  if (Faulted(seam::Op::SetPriorityClass)) return FALSE;
  if (detail::FindHandle(hProcess) != Kind::Process) {
    ::SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return ::SetPriorityClass(Native(hProcess), priorityClass) ? TRUE : FALSE;
}

void Sleep(DWORD milliseconds) { ::Sleep(milliseconds); }

BOOL GetVersionExA(OSVERSIONINFOA* info) {
  if (Faulted(seam::Op::GetVersionExA)) return FALSE;
  if (!info || info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOA)) {
    ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  ::OSVERSIONINFOA v{};
  v.dwOSVersionInfoSize = sizeof v;
  if (!::GetVersionExA(&v)) return FALSE;
  info->dwMajorVersion = v.dwMajorVersion;
  info->dwMinorVersion = v.dwMinorVersion;
  info->dwBuildNumber = v.dwBuildNumber;
  info->dwPlatformId = v.dwPlatformId;
  static_assert(sizeof info->szCSDVersion == sizeof v.szCSDVersion);
  std::memcpy(info->szCSDVersion, v.szCSDVersion, sizeof v.szCSDVersion);
  return TRUE;
}

DWORD GetLastError() { return ::GetLastError(); }
void SetLastError(DWORD errorCode) { ::SetLastError(errorCode); }

DWORD FormatMessageA(DWORD flags, DWORD messageId, DWORD languageId, std::span<char> buffer) {
  if (Faulted(seam::Op::FormatMessageA)) return 0;
  if (buffer.empty()) {
    ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  // The system's texts may hold %1-style inserts; no arguments are given.
  return ::FormatMessageA(
      flags | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, messageId, languageId, buffer.data(),
      static_cast<DWORD>(std::min<std::size_t>(buffer.size(), 0xFFFF)), nullptr);
}

UINT GetWindowsDirectoryA(std::span<char> buffer) {
  if (Faulted(seam::Op::GetWindowsDirectoryA)) return 0;
  return ::GetWindowsDirectoryA(buffer.data(), static_cast<UINT>(buffer.size()));
}

std::intptr_t FindExecutableA(const std::string& file, const std::string& directory,
                              std::span<char> result) {
  constexpr std::intptr_t kNotFound = 2;  // SE_ERR_FNF
  if (!result.empty()) result[0] = '\0';
  if (Faulted(seam::Op::FindExecutableA)) return kNotFound;
  if (file.empty() || file.find('\0') != std::string::npos ||
      directory.find('\0') != std::string::npos)
    return kNotFound;
  // The system writes up to MAX_PATH characters, whatever the buffer's size.
  char found[MAX_PATH] = {};
  const auto rc = reinterpret_cast<std::intptr_t>(
      ::FindExecutableA(file.c_str(), directory.empty() ? nullptr : directory.c_str(), found));
  const std::size_t n = std::strlen(found);
  if (rc <= 32) return rc;
  if (n + 1 > result.size()) return kNotFound;
  std::memcpy(result.data(), found, n + 1);
  return rc;
}

DWORD timeGetTime() {
  if (const auto& fake = seam::Clock()) return fake();
  return ::timeGetTime();
}

MMRESULT timeBeginPeriod(UINT periodMs) { return ::timeBeginPeriod(periodMs); }
MMRESULT timeEndPeriod(UINT periodMs) { return ::timeEndPeriod(periodMs); }

}  // namespace os
