// Volumes, devices and file layout: a Windows drive is the mounted file
// system that holds a path.
#include <fcntl.h>
#include <linux/fiemap.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <fstream>
#include <limits>

#include "placement/BootSector.h"
#include "platform/linux/handles.h"
#include "platform/linux/internal.h"
#include "platform/linux/mounts.h"
#include "platform/paths.h"

namespace os {

using detail::Faulted;

namespace {

constexpr std::uint32_t kUnplaced = FIEMAP_EXTENT_UNKNOWN | FIEMAP_EXTENT_DELALLOC |
                                    FIEMAP_EXTENT_DATA_INLINE | FIEMAP_EXTENT_NOT_ALIGNED;

DWORD Cap32(std::uint64_t v) {
  return static_cast<DWORD>(std::min<std::uint64_t>(v, std::numeric_limits<DWORD>::max()));
}

bool IsFat(const std::string& fsType) {
  return fsType == "vfat" || fsType == "msdos" || fsType == "exfat";
}

std::optional<mounts::Mount> MountOfHandle(int fd) {
  char path[4096];
  const std::string self = "/proc/self/fd/" + std::to_string(fd);
  const ssize_t n = readlink(self.c_str(), path, sizeof path - 1);
  if (n <= 0) return std::nullopt;
  return mounts::MountOf(std::string(path, static_cast<std::size_t>(n)));
}

std::span<const std::byte> Bytes(const std::string& s) { return std::as_bytes(std::span(s)); }

// Where cluster 0 lies on the device: FAT and exFAT number their clusters
// from the data area, everything else from the start of the device.
std::uint64_t ClusterBase(const mounts::Mount& m, const mounts::Geometry& g) {
  if (!IsFat(m.fsType)) return 0;
  const std::string boot = mounts::ReadBootSector(m);
  return static_cast<std::uint64_t>(std::max(0, bootsector::FirstDataSector(Bytes(boot)))) *
         g.bytesPerSector;
}

std::string ReadSysfs(dev_t dev, const char* leaf) {
  std::ifstream in("/sys/dev/block/" + std::to_string(major(dev)) + ":" +
                   std::to_string(minor(dev)) + "/" + leaf);
  std::string v;
  in >> v;
  return v;
}

BOOL RetrievalPointers(int fd, std::span<const std::byte> in, std::span<std::byte> out,
                       DWORD* bytesReturned) {
  STARTING_VCN_INPUT_BUFFER start{};
  if (in.size() < sizeof start) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::memcpy(&start, in.data(), sizeof start);
  if (out.size() < sizeof(RETRIEVAL_POINTERS_HEAD)) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  struct stat st {};
  const auto mount = MountOfHandle(fd);
  const auto geometry = mount ? mounts::GeometryOf(*mount) : std::nullopt;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || !geometry) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const auto layout = detail::FileLayout(fd);
  if (!layout) {
    detail::FailWithErrno();
    return FALSE;
  }
  const std::uint64_t cluster = geometry->ClusterSize();
  const auto size = static_cast<std::uint64_t>(st.st_size);
  if (start.StartingVcn < 0 || static_cast<std::uint64_t>(start.StartingVcn) >= (size + cluster - 1) / cluster) {
    SetLastError(ERROR_HANDLE_EOF);
    return FALSE;
  }
  const std::uint64_t base = ClusterBase(*mount, *geometry);
  std::vector<RETRIEVAL_POINTER> runs;
  std::int64_t firstVcn = -1;
  for (const auto& r : *layout) {
    const auto next = static_cast<std::int64_t>((r.logical + r.length + cluster - 1) / cluster);
    if (next <= start.StartingVcn) continue;
    if (firstVcn < 0) firstVcn = static_cast<std::int64_t>(r.logical / cluster);
    const bool placed = r.placed && r.physical >= base;
    runs.push_back({next, placed ? static_cast<std::int64_t>((r.physical - base) / cluster) : -1});
  }
  const std::size_t room = (out.size() - sizeof(RETRIEVAL_POINTERS_HEAD)) / sizeof(RETRIEVAL_POINTER);
  const std::size_t n = std::min(room, runs.size());
  const RETRIEVAL_POINTERS_HEAD head{static_cast<DWORD>(n), firstVcn < 0 ? start.StartingVcn : firstVcn};
  std::memcpy(out.data(), &head, sizeof head);
  std::memcpy(out.data() + sizeof head, runs.data(), n * sizeof(RETRIEVAL_POINTER));
  if (bytesReturned) *bytesReturned = static_cast<DWORD>(sizeof head + n * sizeof(RETRIEVAL_POINTER));
  if (n < runs.size()) {
    SetLastError(ERROR_MORE_DATA);
    return FALSE;
  }
  SetLastError(0);
  return TRUE;
}

BOOL PartitionInfo(int fd, std::span<std::byte> out, DWORD* bytesReturned) {
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISBLK(st.st_mode)) {
    SetLastError(ERROR_INVALID_FUNCTION);
    return FALSE;
  }
  if (out.size() < sizeof(PARTITION_INFORMATION)) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  // A whole disk or an unpartitioned loop device has no start: it begins at 0.
  PARTITION_INFORMATION info{};
  const std::int64_t startSectors = std::atoll(ReadSysfs(st.st_rdev, "start").c_str());
  info.StartingOffset = startSectors * 512;
  info.PartitionLength = std::atoll(ReadSysfs(st.st_rdev, "size").c_str()) * 512;
  info.HiddenSectors = static_cast<DWORD>(startSectors);
  info.PartitionNumber = static_cast<DWORD>(std::atol(ReadSysfs(st.st_rdev, "partition").c_str()));
  info.RecognizedPartition = 1;
  std::memcpy(out.data(), &info, sizeof info);
  if (bytesReturned) *bytesReturned = sizeof info;
  return TRUE;
}

}  // namespace

namespace detail {

std::optional<std::vector<LayoutRun>> FileLayout(int fd) {
  constexpr std::uint32_t kBatch = 256;
  std::vector<std::byte> buf(sizeof(fiemap) + kBatch * sizeof(fiemap_extent));
  auto* fm = reinterpret_cast<fiemap*>(buf.data());
  std::vector<LayoutRun> runs;
  std::uint64_t from = 0;
  for (bool last = false; !last;) {
    std::fill(buf.begin(), buf.end(), std::byte{0});
    fm->fm_start = from;
    fm->fm_length = FIEMAP_MAX_OFFSET - from;
    fm->fm_flags = 0;  // no FIEMAP_FLAG_SYNC: asking must not write anything
    fm->fm_extent_count = kBatch;
    if (ioctl(fd, FS_IOC_FIEMAP, fm) != 0) return std::nullopt;
    if (fm->fm_mapped_extents == 0) break;
    for (std::uint32_t i = 0; i < fm->fm_mapped_extents; ++i) {
      const fiemap_extent& e = fm->fm_extents[i];
      last = last || (e.fe_flags & FIEMAP_EXTENT_LAST);
      from = e.fe_logical + e.fe_length;
      const std::uint32_t flags = e.fe_flags & ~FIEMAP_EXTENT_LAST;
      const bool placed = !(flags & kUnplaced);
      // The kernel splits and joins records by the buffer it is given; what
      // continues in the file and on the disk is one run.
      if (!runs.empty()) {
        LayoutRun& prev = runs.back();
        if (prev.placed && placed && prev.flags == flags &&
            prev.logical + prev.length == e.fe_logical && prev.physical + prev.length == e.fe_physical) {
          prev.length += e.fe_length;
          continue;
        }
      }
      runs.push_back({e.fe_logical, e.fe_physical, e.fe_length, flags, placed,
                      (flags & FIEMAP_EXTENT_ENCODED) != 0});
    }
  }
  return runs;
}

}  // namespace detail

BOOL GetDiskFreeSpaceA(const std::string& rootPath, DWORD* sectorsPerCluster, DWORD* bytesPerSector,
                       DWORD* numberOfFreeClusters, DWORD* totalNumberOfClusters) {
  if (Faulted(seam::Op::GetDiskFreeSpaceA)) return FALSE;
  const auto mount = mounts::MountOf(rootPath);
  const auto g = mount ? mounts::GeometryOf(*mount) : std::nullopt;
  if (!g) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return FALSE;
  }
  if (sectorsPerCluster) *sectorsPerCluster = g->sectorsPerCluster;
  if (bytesPerSector) *bytesPerSector = g->bytesPerSector;
  if (numberOfFreeClusters) *numberOfFreeClusters = Cap32(g->freeClusters);
  if (totalNumberOfClusters) *totalNumberOfClusters = Cap32(g->totalClusters);
  return TRUE;
}

BOOL GetVolumeInformationA(const std::string& rootPath, std::span<char> volumeName,
                           DWORD* volumeSerialNumber, DWORD* maximumComponentLength,
                           DWORD* fileSystemFlags, std::span<char> fileSystemName) {
  if (Faulted(seam::Op::GetVolumeInformationA)) return FALSE;
  const auto mount = mounts::MountOf(rootPath);
  if (!mount) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return FALSE;
  }
  std::string name = mount->fsType;
  if (mount->fsType == "vfat" || mount->fsType == "msdos") {
    const std::string fat = bootsector::FatType(Bytes(mounts::ReadBootSector(*mount)));
    name = fat.empty() ? "FAT32" : fat;
  } else if (mount->fsType == "exfat") {
    name = "exFAT";
  } else if (mount->fsType == "ntfs" || mount->fsType == "ntfs3") {
    name = "NTFS";
  }
  if (!fileSystemName.empty() && name.size() + 1 > fileSystemName.size()) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  if (!volumeName.empty()) volumeName[0] = '\0';
  if (volumeSerialNumber) *volumeSerialNumber = (mount->major << 20) | mount->minor;
  if (maximumComponentLength) *maximumComponentLength = 255;
  if (fileSystemFlags) *fileSystemFlags = 0;
  if (!fileSystemName.empty()) {
    std::memcpy(fileSystemName.data(), name.data(), name.size());
    fileSystemName[name.size()] = '\0';
  }
  return TRUE;
}

BOOL DeviceIoControl(HANDLE hDevice, DWORD ioControlCode, std::span<const std::byte> in,
                     std::span<std::byte> out, DWORD* bytesReturned) {
  if (bytesReturned) *bytesReturned = 0;
  if (Faulted(seam::Op::DeviceIoControl)) return FALSE;
  const int fd = handles::Fd(hDevice);
  if (fd < 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  switch (ioControlCode) {
    case FSCTL_GET_RETRIEVAL_POINTERS:
      return RetrievalPointers(fd, in, out, bytesReturned);
    case IOCTL_DISK_GET_PARTITION_INFO:
      return PartitionInfo(fd, out, bytesReturned);
    default:
      SetLastError(ERROR_INVALID_FUNCTION);
      return FALSE;
  }
}

namespace {

constexpr std::string_view kVolumePrefix = "\\\\?\\Volume{";

// Copies text and its NUL into out; false (and the Windows error) when it
// does not fit.
bool PutString(const std::string& text, std::span<char> out) {
  if (text.size() + 1 > out.size()) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return false;
  }
  std::memcpy(out.data(), text.data(), text.size());
  out[text.size()] = '\0';
  return true;
}

}  // namespace

namespace detail {

bool IsVolumeName(const std::string& name) { return name.rfind(kVolumePrefix, 0) == 0; }

HANDLE OpenVolume(const std::string& name) {
  unsigned major = 0, minor = 0;
  char close = 0;
  const std::string numbers = name.substr(kVolumePrefix.size());
  if (std::sscanf(numbers.c_str(), "%u:%u%c", &major, &minor, &close) != 3 || close != '}' ||
      numbers.find('}') + 1 != numbers.size()) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  for (const auto& m : mounts::All()) {
    if (m.major != major || m.minor != minor) continue;
    const int fd = open(m.mountPoint.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) continue;
    handles::Add(fd, {handles::Kind::Directory, 0, true});
    SetLastError(0);
    return fd;
  }
  SetLastError(ERROR_FILE_NOT_FOUND);
  return INVALID_HANDLE_VALUE;
}

}  // namespace detail

BOOL GetVolumePathNameA(const std::string& fileName, std::span<char> volumePathName) {
  if (Faulted(seam::Op::GetVolumePathNameA)) return FALSE;
  const auto m = fileName.empty() ? std::nullopt : mounts::MountOf(fileName);
  if (!m) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return FALSE;
  }
  return PutString(runtime::DriveRoot(m->mountPoint), volumePathName) ? TRUE : FALSE;
}

BOOL GetVolumeNameForVolumeMountPointA(const std::string& volumeMountPoint, std::span<char> volumeName) {
  if (Faulted(seam::Op::GetVolumeNameForVolumeMountPointA)) return FALSE;
  std::string point = volumeMountPoint.substr(0, volumeMountPoint.find('\0'));
  if (point.size() > 1 && point.back() == '/') point.pop_back();
  const auto m = point.empty() ? std::nullopt : mounts::MountAt(point);
  if (!m) {
    SetLastError(ERROR_NOT_A_REPARSE_POINT);
    return FALSE;
  }
  const std::string name =
      std::string(kVolumePrefix) + std::to_string(m->major) + ":" + std::to_string(m->minor) + "}\\";
  return PutString(name, volumeName) ? TRUE : FALSE;
}

namespace runtime {

std::string DriveOf(const std::string& path) {
  const auto m = mounts::MountOf(path);
  return m ? m->mountPoint : std::string();
}

std::string DriveRoot(const std::string& drive) {
  return drive.empty() || drive.back() == '/' ? drive : drive + "/";
}

std::string VolumeDevicePath(const std::string& drive) {
  const auto m = mounts::MountAt(drive);
  const auto dev = m ? mounts::BlockDevice(*m) : std::nullopt;
  return dev.value_or("");
}

std::string InitialTestFile(const std::string& argumentText) {
  struct stat st {};
  const bool isDir = !argumentText.empty() && stat(argumentText.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  return rules::PosixInitialTestFile(argumentText, isDir, CurDir());
}

}  // namespace runtime

}  // namespace os
