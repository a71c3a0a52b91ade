// The mounted file systems, from /proc/self/mountinfo. The table is parsed
// once and read again only when the kernel says it changed (a mount, an
// unmount, another mount namespace).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace os::mounts {

struct Mount {
  int id = -1;  // the kernel's mount ID; reused only after an unmount
  std::string mountPoint;
  std::string fsType;
  std::string source;
  std::string root;          // the part of its file system the mount shows
  std::string options;       // the mount's own options (rw, relatime, ...)
  std::string superOptions;  // the file system's own options, comma-separated
  unsigned major = 0;
  unsigned minor = 0;
};

// Every mount, in the order the kernel lists them.
std::shared_ptr<const std::vector<Mount>> All();
// The mount that holds path: the path is resolved as far as it exists and
// matched against mount points by whole components, the longest winning.
std::optional<Mount> MountOf(const std::string& path);
// The mount whose mount point is exactly mountPoint (the topmost one).
std::optional<Mount> MountAt(const std::string& mountPoint);

// Size geometry the way the volume queries report it.
struct Geometry {
  std::uint32_t bytesPerSector = 512;
  std::uint32_t sectorsPerCluster = 1;
  std::uint64_t freeClusters = 0;
  std::uint64_t totalClusters = 0;
  std::uint64_t ClusterSize() const { return std::uint64_t{bytesPerSector} * sectorsPerCluster; }
};
std::optional<Geometry> GeometryOf(const Mount& m);

// The mount's block device, when it has one that exists here.
std::optional<std::string> BlockDevice(const Mount& m);

// The first 4096 bytes of the mount's device; empty when they cannot be read.
std::string ReadBootSector(const Mount& m);

}  // namespace os::mounts
