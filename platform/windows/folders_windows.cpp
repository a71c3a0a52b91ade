// Files made and removed inside a folder held open, the volume of an open
// handle, and free space in bytes.
#include <vector>

#include "platform/windows/internal.h"

namespace os {

using detail::Native;
using detail::Ours;

namespace detail {

std::string FinalPath(::HANDLE h, ::DWORD flags) {
  std::vector<char> buf(MAX_PATH);
  for (int tries = 0; tries < 3; ++tries) {
    const ::DWORD n =
        ::GetFinalPathNameByHandleA(h, buf.data(), static_cast<::DWORD>(buf.size()), flags);
    if (n == 0) return {};
    if (n < buf.size()) return std::string(buf.data(), n);
    buf.resize(n + 1);  // n is the size needed, NUL included
  }
  ::SetLastError(ERROR_MORE_DATA);
  return {};
}

bool DeleteThroughHandle(::HANDLE h) {
  // A second handle with the right to delete, to the very same file.
  ::HANDLE d = ::ReOpenFile(h, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, 0);
  if (os::detail::Invalid(d)) return false;
  FILE_DISPOSITION_INFO disposition{TRUE};
  const bool ok =
      ::SetFileInformationByHandle(d, FileDispositionInfo, &disposition, sizeof disposition) != 0;
  const ::DWORD error = ::GetLastError();
  ::CloseHandle(d);
  ::SetLastError(error);
  return ok;
}

std::string SystemText(::DWORD code) {
  char buf[512];
  ::DWORD n = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                               code, 0, buf, sizeof buf, nullptr);
  while (n > 0 && (buf[n - 1] == '\n' || buf[n - 1] == '\r' || buf[n - 1] == ' ')) --n;
  return n ? std::string(buf, n) : "error " + std::to_string(code);
}

}  // namespace detail

namespace {

constexpr os::HANDLE kInvalid = -1;

// A name that stays in its folder: no separator, no stream, not the folder
// itself or its parent.
bool IsPlainName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find_first_of("\\/:") == std::string::npos && name.find('\0') == std::string::npos;
}

bool SameText(const std::string& a, const std::string& b) {
  return ::lstrcmpiA(a.c_str(), b.c_str()) == 0;
}

std::string WithoutTrailingSeparator(std::string path) {
  while (!path.empty() && path.back() == '\\') path.pop_back();
  return path;
}

// True when path still leads to the folder held open: the same file index
// on the same volume. Wine forgets a moved folder's volume serial (0).
bool StillNamed(HANDLE folder, const std::string& path) {
  ::HANDLE now = ::CreateFileA(path.c_str(), FILE_READ_ATTRIBUTES,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (detail::Invalid(now)) return false;
  BY_HANDLE_FILE_INFORMATION held{}, named{};
  const bool known = ::GetFileInformationByHandle(Native(folder), &held) &&
                     ::GetFileInformationByHandle(now, &named);
  ::CloseHandle(now);
  // Without file indexes only the share mode keeps the name, as on Windows it does.
  if (known && !held.nFileIndexHigh && !held.nFileIndexLow) return true;
  return known && held.nFileIndexHigh == named.nFileIndexHigh &&
         held.nFileIndexLow == named.nFileIndexLow &&
         (held.dwVolumeSerialNumber == named.dwVolumeSerialNumber ||
          held.dwVolumeSerialNumber == 0);
}

}  // namespace

HANDLE OpenFolder(const std::string& folderName) {
  if (folderName.empty() || folderName.find('\0') != std::string::npos) {
    ::SetLastError(ERROR_PATH_NOT_FOUND);
    return kInvalid;
  }
  // A drive's root in the long form (\\?\C:\) is a folder, not the drive's device.
  const bool root = folderName.back() == '\\' && !detail::NamesDevice(folderName + "x");
  if (detail::NamesDevice(folderName) && !root) {
    ::SetLastError(ERROR_DIRECTORY);
    return kInvalid;
  }
  // Without FILE_SHARE_DELETE the folder can be neither renamed nor removed
  // while it is held, so its path keeps naming it.
  ::HANDLE h =
      ::CreateFileA(folderName.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (os::detail::Invalid(h)) return kInvalid;
  BY_HANDLE_FILE_INFORMATION info{};
  ::DWORD error = 0;
  std::string path;
  if (::GetFileType(h) != FILE_TYPE_DISK || !::GetFileInformationByHandle(h, &info) ||
      !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
    error = ERROR_DIRECTORY;
  } else {
    path = detail::FinalPath(h, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (path.empty()) {
      error = ::GetLastError() == ERROR_MORE_DATA ? ERROR_FILENAME_EXCED_RANGE : ::GetLastError();
      if (error == 0) error = ERROR_PATH_NOT_FOUND;
    }
  }
  if (error) {
    ::CloseHandle(h);
    ::SetLastError(error);
    return kInvalid;
  }
  detail::AddFolder(Ours(h), WithoutTrailingSeparator(path));
  ::SetLastError(0);
  return Ours(h);
}

HANDLE CreateFileInFolder(HANDLE folder, const std::string& name, DWORD desiredAccess,
                          DWORD shareMode, DWORD creationDisposition, DWORD flagsAndAttributes) {
  const auto path = detail::FolderPath(folder);
  if (!path) {
    ::SetLastError(ERROR_INVALID_HANDLE);
    return kInvalid;
  }
  if (!IsPlainName(name)) {
    ::SetLastError(ERROR_INVALID_NAME);
    return kInvalid;
  }
  return CreateFileA(*path + "\\" + name, desiredAccess, shareMode, creationDisposition,
                     flagsAndAttributes);
}

BOOL DeleteFileInFolder(HANDLE folder, const std::string& name) {
  const auto path = detail::FolderPath(folder);
  if (!path) {
    ::SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!IsPlainName(name)) {
    ::SetLastError(ERROR_INVALID_NAME);
    return FALSE;
  }
  if (detail::Faulted(seam::Op::DeleteFileA)) return FALSE;
  // The link itself, never what it points to, as DeleteFileA does.
  const std::string full = *path + "\\" + name;
  ::HANDLE h = ::CreateFileA(full.c_str(), DELETE | FILE_READ_ATTRIBUTES,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (os::detail::Invalid(h)) return FALSE;
  ::DWORD error = 0;
  BY_HANDLE_FILE_INFORMATION info{};
  if (!::GetFileInformationByHandle(h, &info)) {
    error = ::GetLastError();
  } else if (info.dwFileAttributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) {
    error = ERROR_ACCESS_DENIED;
  } else if (!StillNamed(folder, *path)) {
    // The folder was moved and something else took its name (Windows
    // forbids this while it is held; Wine does not).
    error = ERROR_PATH_NOT_FOUND;
  } else {
    // Nor may a link on the way have led the name elsewhere.
    const std::string filePath = detail::FinalPath(h, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    const auto cut = filePath.find_last_of('\\');
    if (filePath.empty()) {
      error =
          ::GetLastError() == ERROR_MORE_DATA ? ERROR_FILENAME_EXCED_RANGE : ERROR_ACCESS_DENIED;
    } else if (cut == std::string::npos || !SameText(filePath.substr(0, cut), *path)) {
      error = ERROR_PATH_NOT_FOUND;
    } else {
      FILE_DISPOSITION_INFO disposition{TRUE};
      if (!::SetFileInformationByHandle(h, FileDispositionInfo, &disposition, sizeof disposition))
        error = ::GetLastError();
    }
  }
  ::CloseHandle(h);
  ::SetLastError(error);
  return error == 0 ? TRUE : FALSE;
}

HANDLE OpenVolumeOfHandle(HANDLE h) {
  if (detail::Faulted(seam::Op::OpenVolumeOfHandle)) return kInvalid;
  const auto kind = detail::FindHandle(h);
  if (kind != detail::Kind::File && kind != detail::Kind::Folder) {
    ::SetLastError(ERROR_INVALID_HANDLE);
    return kInvalid;
  }
  // \\?\Volume{...}\path: the volume is everything before the path.
  std::string volume = detail::FinalPath(Native(h), FILE_NAME_NORMALIZED | VOLUME_NAME_GUID);
  if (volume.starts_with("\\\\?\\Volume{")) {
    volume = volume.substr(0, volume.find('\\', 4));
  } else {
    // Systems without volume GUID names for a handle: the mount point of
    // the handle's path, and that mount point's volume.
    const std::string path = detail::FinalPath(Native(h), FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (path.empty()) return kInvalid;
    std::vector<char> mountPoint(path.size() + 2), name(MAX_PATH);
    if (!::GetVolumePathNameA(path.c_str(), mountPoint.data(),
                              static_cast<::DWORD>(mountPoint.size())) ||
        !::GetVolumeNameForVolumeMountPointA(mountPoint.data(), name.data(),
                                             static_cast<::DWORD>(name.size())))
      return kInvalid;
    volume = WithoutTrailingSeparator(name.data());
  }
  if (!volume.starts_with("\\\\?\\Volume{")) {
    ::SetLastError(ERROR_INVALID_FUNCTION);
    return kInvalid;
  }
  ::HANDLE v =
      ::CreateFileA(volume.c_str(), GENERIC_READ | GENERIC_WRITE,
                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  if (os::detail::Invalid(v)) return kInvalid;
  detail::AddHandle(Ours(v), detail::Kind::Volume);
  ::SetLastError(0);
  return Ours(v);
}

BOOL GetDiskFreeSpaceExA(const std::string& directoryName,
                         std::uint64_t* freeBytesAvailableToCaller,
                         std::uint64_t* totalNumberOfBytes, std::uint64_t* totalNumberOfFreeBytes) {
  if (detail::Faulted(seam::Op::GetDiskFreeSpaceA)) return FALSE;
  if (directoryName.empty() || directoryName.find('\0') != std::string::npos) {
    ::SetLastError(ERROR_PATH_NOT_FOUND);
    return FALSE;
  }
  ULARGE_INTEGER available{}, total{}, free{};
  if (!::GetDiskFreeSpaceExA(directoryName.c_str(), &available, &total, &free)) return FALSE;
  if (freeBytesAvailableToCaller) *freeBytesAvailableToCaller = available.QuadPart;
  if (totalNumberOfBytes) *totalNumberOfBytes = total.QuadPart;
  if (totalNumberOfFreeBytes) *totalNumberOfFreeBytes = free.QuadPart;
  return TRUE;
}

}  // namespace os
