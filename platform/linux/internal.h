// Shared by the Linux implementation files of the OS layer.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/os.h"
#include "platform/seam.h"

namespace os::detail {

DWORD FromErrno(int err);
// Sets the last error from errno.
void FailWithErrno();
// Counts the call; true when an armed test fault makes it fail now.
bool Faulted(seam::Op op);

// One run of a file's layout as the kernel reports it, merged where records
// continue each other in the file and on the disk with the same flags.
struct LayoutRun {
  std::uint64_t logical;
  std::uint64_t physical;
  std::uint64_t length;
  std::uint32_t flags;
  bool placed;   // physical is a real position on the device
  bool encoded;  // stored compressed or otherwise transformed
};
// The whole layout of an open file, without forcing pending writes out;
// nullopt with errno set when the file system cannot tell.
std::optional<std::vector<LayoutRun>> FileLayout(int fd);

// Volume names as GetVolumeNameForVolumeMountPointA gives them, without
// the trailing separator; opened as a handle whose flush syncs the volume.
bool IsVolumeName(const std::string& name);
HANDLE OpenVolume(const std::string& name);

}  // namespace os::detail
