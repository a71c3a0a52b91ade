// Volumes, devices and file layout, and which names reach a device.
#include <algorithm>
#include <cctype>
#include <cstring>
#include <string_view>

#include "platform/windows/internal.h"

#include <winioctl.h>

namespace os {

using detail::Faulted;
using detail::Native;

namespace detail {
namespace {

std::string Upper(std::string_view s) {
  std::string u(s);
  for (char& c : u) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return u;
}

bool IsLetter(char c) { return std::isalpha(static_cast<unsigned char>(c)) != 0; }

// CON, NUL, COM1 ... in any folder, with any extension or trailing blanks,
// dots or colon, as the system's own name parsing takes them.
bool IsReservedDosName(std::string_view part) {
  std::string base = Upper(part.substr(0, part.find_first_of(".:")));
  while (!base.empty() && base.back() == ' ') base.pop_back();
  static constexpr std::string_view kFixed[] = {"CON",    "PRN",     "AUX",   "NUL",
                                                "CONIN$", "CONOUT$", "CLOCK$"};
  for (auto name : kFixed)
    if (base == name) return true;
  // COM0..COM9, LPT0..LPT9, and with a superscript digit in code page 1252.
  if (base.size() == 4 && (base.starts_with("COM") || base.starts_with("LPT"))) {
    const auto c = static_cast<unsigned char>(base[3]);
    return (c >= '0' && c <= '9') || c == 0xB9 || c == 0xB2 || c == 0xB3;
  }
  return false;
}

}  // namespace

bool NamesDevice(const std::string& rawName) {
  std::string name = rawName;
  std::replace(name.begin(), name.end(), '/', '\\');
  // \\.\ and \\?\ lead into the device namespace. Only a drive path
  // (\\?\C:\dir\file), a UNC share (\\?\UNC\server\share\...) or a file on a
  // named volume (\\?\Volume{...}\file) below it is a file.
  if (name.size() >= 4 && name[0] == '\\' && name[1] == '\\' &&
      (name[2] == '.' || name[2] == '?') && name[3] == '\\') {
    const std::string rest = name.substr(4);
    const std::string upper = Upper(rest);
    const bool drivePath =
        rest.size() > 3 && IsLetter(rest[0]) && rest[1] == ':' && rest[2] == '\\';
    const bool unc = upper.starts_with("UNC\\") && rest.size() > 4;
    bool volumeFile = false;
    if (upper.starts_with("VOLUME{")) {
      const auto close = rest.find('}');
      volumeFile = close != std::string::npos && close + 2 < rest.size() && rest[close + 1] == '\\';
    }
    if (!drivePath && !unc && !volumeFile) return true;
  }
  // \??\ is the object manager's own prefix.
  if (name.starts_with("\\??\\")) return true;
  // Any part of the path that is a reserved DOS name opens that device.
  std::size_t at = 0;
  while (at <= name.size()) {
    const auto end = std::min(name.find('\\', at), name.size());
    if (end > at && IsReservedDosName(std::string_view(name).substr(at, end - at))) return true;
    at = end + 1;
  }
  return false;
}

}  // namespace detail

BOOL GetDiskFreeSpaceA(const std::string& rootPath, DWORD* sectorsPerCluster, DWORD* bytesPerSector,
                       DWORD* numberOfFreeClusters, DWORD* totalNumberOfClusters) {
  if (Faulted(seam::Op::GetDiskFreeSpaceA)) return FALSE;
  ::DWORD spc = 0, bps = 0, free = 0, total = 0;
  if (!::GetDiskFreeSpaceA(rootPath.c_str(), &spc, &bps, &free, &total)) return FALSE;
  if (sectorsPerCluster) *sectorsPerCluster = spc;
  if (bytesPerSector) *bytesPerSector = bps;
  if (numberOfFreeClusters) *numberOfFreeClusters = free;
  if (totalNumberOfClusters) *totalNumberOfClusters = total;
  return TRUE;
}

BOOL GetVolumeInformationA(const std::string& rootPath, std::span<char> volumeName,
                           DWORD* volumeSerialNumber, DWORD* maximumComponentLength,
                           DWORD* fileSystemFlags, std::span<char> fileSystemName) {
  if (Faulted(seam::Op::GetVolumeInformationA)) return FALSE;
  ::DWORD serial = 0, component = 0, flags = 0;
  if (!::GetVolumeInformationA(rootPath.c_str(), volumeName.empty() ? nullptr : volumeName.data(),
                               static_cast<::DWORD>(volumeName.size()), &serial, &component, &flags,
                               fileSystemName.empty() ? nullptr : fileSystemName.data(),
                               static_cast<::DWORD>(fileSystemName.size())))
    return FALSE;
  if (volumeSerialNumber) *volumeSerialNumber = serial;
  if (maximumComponentLength) *maximumComponentLength = component;
  if (fileSystemFlags) *fileSystemFlags = flags;
  return TRUE;
}

BOOL GetVolumePathNameA(const std::string& fileName, std::span<char> volumePathName) {
  if (Faulted(seam::Op::GetVolumePathNameA)) return FALSE;
  if (fileName.empty() || fileName.find('\0') != std::string::npos) {
    ::SetLastError(ERROR_PATH_NOT_FOUND);
    return FALSE;
  }
  return ::GetVolumePathNameA(fileName.c_str(), volumePathName.data(),
                              static_cast<::DWORD>(volumePathName.size()))
             ? TRUE
             : FALSE;
}

BOOL GetVolumeNameForVolumeMountPointA(const std::string& volumeMountPoint,
                                       std::span<char> volumeName) {
  if (Faulted(seam::Op::GetVolumeNameForVolumeMountPointA)) return FALSE;
  const std::string point = volumeMountPoint.substr(0, volumeMountPoint.find('\0'));
  if (point.empty() || volumeName.empty()) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (!::GetVolumeNameForVolumeMountPointA(point.c_str(), volumeName.data(),
                                           static_cast<::DWORD>(volumeName.size())))
    return FALSE;
  // The caller opens it without the trailing backslash, for the volume flush.
  std::string name(volumeName.data(), strnlen(volumeName.data(), volumeName.size()));
  if (!name.empty() && name.back() == '\\') name.pop_back();
  detail::GrantVolume(name);
  return TRUE;
}

BOOL DeviceIoControl(HANDLE hDevice, DWORD ioControlCode, std::span<const std::byte> in,
                     std::span<std::byte> out, DWORD* bytesReturned) {
  if (bytesReturned) *bytesReturned = 0;
  if (Faulted(seam::Op::DeviceIoControl)) return FALSE;
  if (!detail::FindHandle(hDevice) || detail::FindHandle(hDevice) == detail::Kind::Process) {
    ::SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  // Only the two queries the program asks; nothing that changes a disk.
  if (ioControlCode != FSCTL_GET_RETRIEVAL_POINTERS &&
      ioControlCode != IOCTL_DISK_GET_PARTITION_INFO) {
    ::SetLastError(ERROR_INVALID_FUNCTION);
    return FALSE;
  }
  ::DWORD n = 0;
  const BOOL ok = ::DeviceIoControl(
      Native(hDevice), ioControlCode, const_cast<std::byte*>(in.data()),
      static_cast<::DWORD>(in.size()), out.data(), static_cast<::DWORD>(out.size()), &n, nullptr);
  if (bytesReturned) *bytesReturned = n;
  return ok ? TRUE : FALSE;
}

}  // namespace os
