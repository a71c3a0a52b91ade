#include "engine/FileRules.h"

#include <algorithm>
#include <cctype>

#include "fileio/basFiles.h"
#include "platform/os.h"
#include "platform/paths.h"

namespace {

constexpr std::int64_t kMB = 1048576;

std::int64_t AllocatedBytes(const std::string& path) {
  os::DWORD high = 0;
  const os::DWORD low = os::GetCompressedFileSizeA(path, &high);
  if (low == os::INVALID_FILE_SIZE && os::GetLastError() != 0) return 0;
  return static_cast<std::int64_t>((std::uint64_t{high} << 32) | low);
}

}  // namespace

bool IsDefaultTestFile(const std::string& path) {
  const std::string name = SplitPath(path).name;
  const std::string expected = os::rules::kTestFileName;
  return std::equal(name.begin(), name.end(), expected.begin(), expected.end(), [](char a, char b) {
    return std::tolower(static_cast<unsigned char>(a)) ==
           std::tolower(static_cast<unsigned char>(b));
  });
}

std::string FreeSpaceRefusal(const std::string& path, std::int64_t bytes) {
  const std::int64_t growth = bytes - AllocatedBytes(path);
  std::uint64_t available = 0, total = 0;
  // A file system of no size (ramfs) has no limit to tell.
  if (growth <= 0 ||
      (os::GetDiskFreeSpaceExA(path, &available, &total, nullptr) != os::TRUE &&
       os::GetDiskFreeSpaceExA(SplitPath(path).folder, &available, &total, nullptr) != os::TRUE) ||
      total == 0 || static_cast<std::uint64_t>(growth) <= available)
    return "";
  const std::string where = os::runtime::DriveOf(path);
  return "Not enough free space: " + std::to_string((growth + kMB - 1) / kMB) + " MB needed, " +
         std::to_string(available / kMB) + " MB free" + (where.empty() ? "" : " on " + where);
}
