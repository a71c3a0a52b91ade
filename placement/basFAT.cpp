#include "placement/basFAT.h"

#include <array>

#include "placement/BootSector.h"
#include "platform/os.h"

std::int32_t GetFirstDataSector(const std::string& volumePath) {
  const os::HANDLE h =
      os::CreateFileA(volumePath, os::GENERIC_READ, os::FILE_SHARE_READ | os::FILE_SHARE_WRITE,
                      os::OPEN_EXISTING, 0);
  if (h == os::INVALID_HANDLE_VALUE) return 0;
  std::array<std::byte, 4096> sector{};
  os::DWORD read = 0;
  const bool ok = os::ReadFile(h, sector, &read) == os::TRUE;
  os::CloseHandle(h);
  return ok ? bootsector::FirstDataSector(sector) : 0;
}
