// Volumes, devices and file layout: a Windows drive is the mounted file
// system that holds a path.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <limits>
#include <string_view>

#include "placement/BootSector.h"
#include "platform/linux/handles.h"
#include "platform/linux/internal.h"
#include "platform/linux/mounts.h"
#include "platform/paths.h"

namespace os {

using detail::Faulted;
using detail::FileStamp;
using detail::Layout;

namespace {

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

// A caller whose buffer was too small asks again from the same start with a
// larger one, until the whole map fits. The asks of one such sequence on an
// unchanged file are answered from one layout, and when the caller grows its
// buffer in place, the runs the last answer left there are not written again.
struct Sequence {
  int fd = -1;
  FileStamp stamp;
  off_t position = 0;  // a transfer through this handle moves it
  std::int64_t startingVcn = 0;
  std::shared_ptr<const Layout> layout;
  std::uint64_t cluster = 1, base = 0;
  int shift = -1;         // log2 of cluster when it is a power of two
  std::size_t first = 0;  // the first run answered
  std::int64_t firstVcn = 0;
  const std::byte* out = nullptr;
  std::size_t outSize = 0;
  std::size_t written = 0;  // runs the last answer wrote at out
};
thread_local Sequence sequence;

RETRIEVAL_POINTER PointerOf(const Sequence& q, std::size_t i) {
  const Layout::Run& r = q.layout->runs[q.first + i];
  const bool placed = r.physical != Layout::kUnplaced && r.physical >= q.base;
  // Clusters are powers of two wherever the sizes come from real devices.
  if (q.shift >= 0)
    return {static_cast<std::int64_t>((r.end + q.cluster - 1) >> q.shift),
            placed ? static_cast<std::int64_t>((r.physical - q.base) >> q.shift) : -1};
  return {static_cast<std::int64_t>((r.end + q.cluster - 1) / q.cluster),
          placed ? static_cast<std::int64_t>((r.physical - q.base) / q.cluster) : -1};
}

// Whether the first n runs at out are still those the last answer wrote: a
// sample of 64 runs spread over them and the last catches a buffer that was
// cleared or reused. A sample that grew with n would make the thousands of
// asks for a map of a million runs cost as much as the walk itself.
bool StillHolds(const Sequence& q, const std::byte* out, std::size_t n) {
  constexpr std::size_t kSamples = 64;
  const auto same = [&](std::size_t i) {
    const RETRIEVAL_POINTER expected = PointerOf(q, i);
    return std::memcmp(out + sizeof(RETRIEVAL_POINTERS_HEAD) + i * sizeof expected, &expected,
                       sizeof expected) == 0;
  };
  const std::size_t stride = std::max<std::size_t>(1, n / kSamples);
  for (std::size_t i = 0; i < n; i += stride)
    if (!same(i)) return false;
  return n == 0 || same(n - 1);
}

bool Continues(const Sequence& q, int fd, const FileStamp& stamp, off_t position,
               std::int64_t startingVcn, std::size_t outSize) {
  return q.layout && q.fd == fd && q.stamp == stamp && q.position == position &&
         q.startingVcn == startingVcn && outSize > q.outSize;
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
  Sequence& q = sequence;
  const auto stamp = detail::StampOf(fd);
  handles::SyncPosition(fd);
  const off_t position = lseek(fd, 0, SEEK_CUR);
  if (!stamp || !S_ISREG(stamp->mode)) {
    q = {};
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const bool continued = Continues(q, fd, *stamp, position, start.StartingVcn, out.size());
  if (!continued) {
    q = {};
    const auto mount = MountOfHandle(fd);
    const auto geometry = mount ? mounts::GeometryOf(*mount) : std::nullopt;
    if (!geometry) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    const std::uint64_t cluster = geometry->ClusterSize();
    if (start.StartingVcn < 0 ||
        static_cast<std::uint64_t>(start.StartingVcn) >= (stamp->size + cluster - 1) / cluster) {
      SetLastError(ERROR_HANDLE_EOF);
      return FALSE;
    }
    auto layout = detail::LayoutOf(fd, detail::LayoutNeed::Runs);
    if (!layout) {
      detail::FailWithErrno();
      return FALSE;
    }
    q.fd = fd;
    q.stamp = *stamp;
    q.position = position;
    q.startingVcn = start.StartingVcn;
    q.layout = std::move(layout);
    q.cluster = cluster;
    if (std::has_single_bit(cluster)) q.shift = std::countr_zero(cluster);
    q.base = ClusterBase(*mount, *geometry);
    const auto& runs = q.layout->runs;
    const auto next = [&](const Layout::Run& r) {
      return static_cast<std::int64_t>((r.end + cluster - 1) / cluster);
    };
    while (q.first < runs.size() && next(runs[q.first]) <= start.StartingVcn) ++q.first;
    // A run covers the clusters from where the one before it ended. The
    // runs reach the end of the file, unless it shrank since its size was
    // looked at: then nothing is left from StartingVcn.
    if (q.first == runs.size())
      q.firstVcn = start.StartingVcn;
    else
      q.firstVcn = q.first == 0 ? 0 : next(runs[q.first - 1]);
  }

  const std::size_t total = q.layout->runs.size() - q.first;
  const std::size_t room =
      (out.size() - sizeof(RETRIEVAL_POINTERS_HEAD)) / sizeof(RETRIEVAL_POINTER);
  const std::size_t n = std::min(room, total);
  std::size_t from = 0;
  if (continued && out.data() == q.out && StillHolds(q, out.data(), q.written)) from = q.written;
  for (std::size_t i = from; i < n; ++i) {
    const RETRIEVAL_POINTER p = PointerOf(q, i);
    std::memcpy(out.data() + sizeof(RETRIEVAL_POINTERS_HEAD) + i * sizeof p, &p, sizeof p);
  }
  const RETRIEVAL_POINTERS_HEAD head{static_cast<DWORD>(n), q.firstVcn};
  std::memcpy(out.data(), &head, sizeof head);
  if (bytesReturned)
    *bytesReturned = static_cast<DWORD>(sizeof head + n * sizeof(RETRIEVAL_POINTER));
  if (n < total) {
    q.out = out.data();
    q.outSize = out.size();
    q.written = n;
    SetLastError(ERROR_MORE_DATA);
    return FALSE;
  }
  q = {};  // the map is out: the next ask walks again
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

BOOL GetDiskFreeSpaceExA(const std::string& directoryName,
                         std::uint64_t* freeBytesAvailableToCaller,
                         std::uint64_t* totalNumberOfBytes, std::uint64_t* totalNumberOfFreeBytes) {
  if (directoryName.find('\0') != std::string::npos) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  struct statvfs fs {};
  if (statvfs(directoryName.empty() ? "." : directoryName.c_str(), &fs) != 0) {
    detail::FailWithErrno();
    return FALSE;
  }
  // Blocks kept for root count as free but not as available: the caller's
  // figure is f_bavail, as df shows it.
  const std::uint64_t unit = fs.f_frsize ? fs.f_frsize : fs.f_bsize;
  if (freeBytesAvailableToCaller) *freeBytesAvailableToCaller = std::uint64_t{fs.f_bavail} * unit;
  if (totalNumberOfBytes) *totalNumberOfBytes = std::uint64_t{fs.f_blocks} * unit;
  if (totalNumberOfFreeBytes) *totalNumberOfFreeBytes = std::uint64_t{fs.f_bfree} * unit;
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

namespace {

BOOL IoControl(HANDLE hDevice, DWORD ioControlCode, std::span<const std::byte> in,
               std::span<std::byte> out, DWORD* bytesReturned) {
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

}  // namespace

BOOL DeviceIoControl(HANDLE hDevice, DWORD ioControlCode, std::span<const std::byte> in,
                     std::span<std::byte> out, DWORD* bytesReturned) {
  if (bytesReturned) *bytesReturned = 0;
  const BOOL ok = IoControl(hDevice, ioControlCode, in, out, bytesReturned);
  seam::NoteIoControl({ioControlCode, out.size(), ok == TRUE, GetLastError()});
  return ok;
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

// The ID of the mount that holds path (relative to dirfd; "" for dirfd
// itself), as mountinfo numbers it; -1 when unknown.
int MountIdOf(int dirfd, const std::string& path) {
  struct statx stx {};
  if (statx(dirfd, path.c_str(), path.empty() ? AT_EMPTY_PATH : 0, STATX_MNT_ID, &stx) != 0 ||
      !(stx.stx_mask & STATX_MNT_ID))
    return -1;
  return static_cast<int>(stx.stx_mnt_id);
}

HANDLE OpenVolume(const std::string& name) {
  unsigned major = 0, minor = 0;
  int id = -1;
  char close = 0;
  const std::string numbers = name.substr(kVolumePrefix.size());
  if (std::sscanf(numbers.c_str(), "%u:%u:%d%c", &major, &minor, &id, &close) != 4 ||
      close != '}' || numbers.find('}') + 1 != numbers.size()) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  const auto table = mounts::All();
  for (const auto& m : *table) {
    if (m.id != id || m.major != major || m.minor != minor) continue;
    const int fd = open(m.mountPoint.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    // A mount hidden under a later one cannot be reached by its path: the
    // directory found there belongs to another mount, whose flush is not ours.
    if (fd >= 0 && MountIdOf(fd, "") == id) {
      handles::Add(fd, {handles::Kind::Directory, 0, true});
      SetLastError(0);
      return fd;
    }
    if (fd >= 0) ::close(fd);
    break;
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

BOOL GetVolumeNameForVolumeMountPointA(const std::string& volumeMountPoint,
                                       std::span<char> volumeName) {
  if (Faulted(seam::Op::GetVolumeNameForVolumeMountPointA)) return FALSE;
  std::string point = volumeMountPoint.substr(0, volumeMountPoint.find('\0'));
  if (point.size() > 1 && point.back() == '/') point.pop_back();
  // The mount in effect at the point is the one its path leads into: the
  // topmost of those mounted there.
  const auto table = point.empty() ? nullptr : mounts::All();
  const int id = point.empty() ? -1 : detail::MountIdOf(AT_FDCWD, point);
  const mounts::Mount* m = nullptr;
  if (table)
    for (const auto& candidate : *table)
      if (candidate.id == id && candidate.mountPoint == point) m = &candidate;
  if (!m) {
    SetLastError(ERROR_NOT_A_REPARSE_POINT);
    return FALSE;
  }
  const std::string name = std::string(kVolumePrefix) + std::to_string(m->major) + ":" +
                           std::to_string(m->minor) + ":" + std::to_string(m->id) + "}\\";
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
  const bool isDir =
      !argumentText.empty() && stat(argumentText.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  return rules::PosixInitialTestFile(argumentText, isDir, CurDir());
}

}  // namespace runtime

}  // namespace os
