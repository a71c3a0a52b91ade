// The boot-sector probe: where a FAT or exFAT volume's data area begins.
#pragma once

#include <cstdint>
#include <string>

// The first data sector of the volume at volumePath, counted in sectors from
// its start; 0 when the volume cannot be read or is neither FAT nor exFAT.
std::int32_t GetFirstDataSector(const std::string& volumePath);
