#include "placement/FileInspection.h"

FileInspection InspectFile(const std::string& path, os::HANDLE h, bool withRuns) {
  FileInspection f;
  os::DWORD high = 0;
  const os::DWORD low = os::GetFileSize(h, &high);
  f.size = MakeInt64(static_cast<std::int32_t>(low), static_cast<std::int32_t>(high));
  if (f.size != 0) {
    f.placed = GetFileFragments(os::runtime::DriveOf(path), h, f.fragments, f.minAlignment,
                                f.maxAlignment, withRuns ? &f.details : nullptr);
    if (!f.placed) f.error = os::GetLastError();
  }
  const os::DWORD attributes = os::GetFileAttributesA(path);
  f.compressed =
      attributes != os::INVALID_FILE_ATTRIBUTES && (attributes & os::FILE_ATTRIBUTE_COMPRESSED);
  return f;
}
