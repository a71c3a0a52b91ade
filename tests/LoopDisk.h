// A disk image on a loop device, partitioned or not, with file systems
// mounted on it; everything is unmounted and detached again at the end, also
// when the test fails.
#pragma once

#include <string>
#include <vector>

#include "tests/support.h"

namespace testing_support {

class LoopDisk {
 public:
  // Why a disk with the tools and the file system that mkfs makes cannot
  // be made and mounted here, or "" when it can.
  static std::string Unavailable(const std::vector<std::string>& tools, const std::string& mkfs);

  // size as truncate takes it; table as sfdisk reads it, "" for none;
  // losetupOptions such as "--sector-size 4096".
  LoopDisk(const TempDir& dir, const std::string& size, const std::string& table = "",
           const std::string& losetupOptions = "");
  ~LoopDisk();
  LoopDisk(const LoopDisk&) = delete;
  LoopDisk& operator=(const LoopDisk&) = delete;

  bool Ready() const { return !device_.empty(); }
  // The whole device for 0, else its partition n.
  std::string Device(int partition = 0) const;
  // Byte offset of partition n from sysfs.
  long long PartitionStart(int partition) const;
  // Makes a file system (mkfs command with options, the device appended)
  // and mounts it; returns the mount point, "" on failure.
  std::string Format(int partition, const std::string& mkfs, const std::string& mountOptions = "");
  std::string Mount(int partition, const std::string& mountOptions = "");

 private:
  const TempDir& dir_;
  std::string image_;
  std::string device_;
  std::vector<std::string> mounts_;
  int mountCount_ = 0;
};

// filefrag -v's account of a file: its extent count and each extent's
// physical start in bytes.
struct FilefragReport {
  int extents = -1;
  std::vector<long long> physicalBytes;
};
FilefragReport Filefrag(const std::string& path);

}  // namespace testing_support
