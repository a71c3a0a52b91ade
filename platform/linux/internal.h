// Shared by the Linux implementation files of the OS layer.
#pragma once

#include <cstdint>
#include <memory>
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

// What tells one state of a file from another: a write, a truncation, an
// allocation or a change of its metadata changes one of these (the kernel
// gives the change time in nanoseconds).
struct FileStamp {
  std::uint64_t dev = 0, ino = 0, size = 0, blocks = 0;
  std::int64_t mtimeSec = 0, ctimeSec = 0;
  std::uint32_t mtimeNsec = 0, ctimeNsec = 0, mode = 0;
  bool operator==(const FileStamp&) const = default;
};
// nullopt with errno set when fd cannot be looked at.
std::optional<FileStamp> StampOf(int fd);

// A file's layout as the kernel reports it, runs merged where records
// continue each other in the file and on the disk with the same flags.
// 16 bytes a run: a million runs cost 16 MB.
struct Layout {
  static constexpr std::uint64_t kUnplaced = ~std::uint64_t{0};
  struct Run {
    std::uint64_t end;       // byte after the run in the file
    std::uint64_t physical;  // byte on the device; kUnplaced for a hole or unplaced data
  };
  FileStamp stamp;
  runtime::BulkArray<Run> runs;  // from the start of the file, holes included
  bool complete = false;         // every run is here; otherwise the walk stopped at an encoded one
  bool encoded = false;          // some run is stored compressed or otherwise transformed
  bool pending = false;          // some run waits for writeback: the layout is about to change
};
enum class LayoutNeed { Runs, EncodedBit };
// The layout of the open file fd, without forcing pending writes out. For
// EncodedBit the walk may stop at the first encoded run. A layout walked
// for one call answers the calls of the same refresh while the file's stamp
// is unchanged and nothing waited for writeback; nullptr with errno set when
// the file system cannot tell.
std::shared_ptr<const Layout> LayoutOf(int fd, LayoutNeed need);
// Whether some of the open file's data is stored compressed; false also
// when the file system cannot tell.
bool StoredEncoded(int fd);

// Whether fd lies on a file system of the running system's settings
// (procfs, sysfs, ...), where writing changes the machine, not a disk.
bool OnPseudoFileSystem(int fd);

// Volume names as GetVolumeNameForVolumeMountPointA gives them, without
// the trailing separator; opened as a handle whose flush syncs the volume.
bool IsVolumeName(const std::string& name);
HANDLE OpenVolume(const std::string& name);

}  // namespace os::detail
