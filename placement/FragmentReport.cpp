#include "placement/FragmentReport.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "fileio/basStrings.h"
#include "placement/basFAT.h"

namespace {

constexpr std::size_t kBufferStep = 10240;  // the head and 639 runs

bool IsFatFamily(const std::string& name) {
  return name == "FAT12" || name == "FAT16" || name == "FAT32" || name == "exFAT";
}

// Cluster numbers count from the start of the device (or, on FAT, its data
// area) only on these; on btrfs, say, they are addresses inside the file
// system and say nothing about the disk.
bool HasDiskPositions(const std::string& name) {
  return IsFatFamily(name) || name == "NTFS" || name == "ext2" || name == "ext3" ||
         name == "ext4" || name == "xfs";
}

}  // namespace

std::int64_t BigMod(std::int64_t x, std::int64_t y) {
  if (y == 0) throw std::domain_error("BigMod: division by zero");
  // Remainders carry the dividend's sign, as the % operator's do.
  if (y == INT64_MIN) return x == INT64_MIN ? 0 : x;
  return x % y;
}

std::int32_t GetOffsetAlignment(std::int64_t offset) {
  if (offset == 0) return 0;
  if (BigMod(offset, 512) > 0) return 0;
  std::int64_t p = 512;
  std::int64_t r = 0;
  // 2^31 does not fit the 32-bit result: every multiple of it reports 2^30.
  while (r == 0 && p < (std::int64_t{1} << 31)) {
    p *= 2;
    r = BigMod(offset, p);
  }
  const std::int64_t a = p / 2;
  return offset < a ? 0 : static_cast<std::int32_t>(a);
}

void AlignmentRange(std::int64_t base, std::uint32_t clusterSize,
                    std::span<const os::RETRIEVAL_POINTER> runs, std::int32_t& minimum,
                    std::int32_t& maximum) {
  minimum = 0x7FFFFFFF;
  maximum = 0;
  for (const auto& run : runs) {
    // A run without a place on the disk has no boundary to report.
    if (run.Lcn < 0) continue;
    const std::int32_t a = GetOffsetAlignment(base + run.Lcn * std::int64_t{clusterSize});
    minimum = std::min(minimum, a);
    maximum = std::max(maximum, a);
  }
}

bool RunsAreSound(std::int64_t startingVcn, std::span<const os::RETRIEVAL_POINTER> runs) {
  if (startingVcn < 0) return false;
  std::int64_t vcn = startingVcn;
  for (const auto& run : runs) {
    if (run.NextVcn <= vcn || run.Lcn < -1) return false;
    vcn = run.NextVcn;
  }
  return true;
}

std::string FragmentCaption(std::int32_t count, std::int32_t minimum, std::int32_t maximum) {
  std::string caption = std::to_string(count) + " Fragment";
  if (count > 1) caption += "s";
  if (minimum < 2 && maximum < 2) return caption;
  if (minimum == maximum) return caption + ", align=" + FormatBytesKM(maximum);
  if (minimum > 1 && maximum >= 2)
    return caption + ", align=" + FormatBytesKM(minimum) + " .. " + FormatBytesKM(maximum);
  return caption;  // some run has no alignment at all
}

std::int64_t MakeInt64(std::int32_t low, std::int32_t high) {
  return static_cast<std::int64_t>(
      (static_cast<std::uint64_t>(static_cast<std::uint32_t>(high)) << 32) |
      static_cast<std::uint32_t>(low));
}

std::string FormatBytesKM(std::int32_t n) {
  if (n % 1048576 == 0) return std::to_string(n / 1048576) + " M";
  if (n % 1024 == 0) return std::to_string(n / 1024) + " K";
  return std::to_string(n);
}

std::int64_t GetPartitionOffset(const std::string& drive) {
  const os::HANDLE h =
      os::CreateFileA(os::runtime::VolumeDevicePath(drive), os::GENERIC_READ,
                      os::FILE_SHARE_READ | os::FILE_SHARE_WRITE, os::OPEN_ALWAYS, 0);
  if (h == os::INVALID_HANDLE_VALUE) return 0;
  os::PARTITION_INFORMATION info{};
  os::DWORD returned = 0;
  std::int64_t offset = 0;
  if (os::DeviceIoControl(h, os::IOCTL_DISK_GET_PARTITION_INFO, {},
                          std::as_writable_bytes(std::span(&info, 1)), &returned) == os::TRUE) {
    std::int32_t halves[2];
    std::memcpy(halves, &info.StartingOffset, sizeof halves);
    offset = MakeInt64(halves[0], halves[1]);
  }
  os::CloseHandle(h);
  return offset;
}

bool GetFileFragments(const std::string& drive, os::HANDLE hFile, std::int32_t& count,
                      std::int32_t& minimum, std::int32_t& maximum, FragmentDetails* details) {
  const std::string root = os::runtime::DriveRoot(drive);
  os::DWORD sectorsPerCluster = 0, bytesPerSector = 0, freeClusters = 0, totalClusters = 0;
  os::GetDiskFreeSpaceA(root, &sectorsPerCluster, &bytesPerSector, &freeClusters, &totalClusters);
  const std::uint32_t clusterSize = bytesPerSector * sectorsPerCluster;

  std::string nameBuffer(32, ' ');
  os::GetVolumeInformationA(root, {}, nullptr, nullptr, nullptr, std::span<char>(nameBuffer));
  const std::string fileSystem = TrimNull(nameBuffer);

  std::int64_t dataAreaOffset = 0;
  if (IsFatFamily(fileSystem))
    dataAreaOffset =
        std::int64_t{GetFirstDataSector(os::runtime::VolumeDevicePath(drive))} * bytesPerSector;

  // A file with more runs than fit is asked again from its start with a
  // larger buffer, until the whole map fits in one answer. The buffer grows
  // in place: each answer writes it whole, and what the last one left there
  // spares the system writing the same runs again. Its first element holds
  // the head, which is as large as a run.
  static_assert(sizeof(os::RETRIEVAL_POINTERS_HEAD) == sizeof(os::RETRIEVAL_POINTER) &&
                kBufferStep % sizeof(os::RETRIEVAL_POINTER) == 0);
  const os::STARTING_VCN_INPUT_BUFFER start{0};
  os::runtime::BulkArray<os::RETRIEVAL_POINTER> out;
  bool ok = false;
  for (std::size_t size = kBufferStep;; size += kBufferStep) {
    out.resize(size / sizeof(os::RETRIEVAL_POINTER));
    os::DWORD returned = 0;
    ok = os::DeviceIoControl(hFile, os::FSCTL_GET_RETRIEVAL_POINTERS,
                             std::as_bytes(std::span(&start, 1)),
                             std::as_writable_bytes(std::span(out)), &returned) == os::TRUE;
    const os::DWORD error = os::GetLastError();
    if (ok || (error != os::ERROR_MORE_DATA && error != os::ERROR_INSUFFICIENT_BUFFER)) break;
  }
  if (!ok) return false;

  const std::int64_t partitionOffset = GetPartitionOffset(drive);
  const std::int64_t base = dataAreaOffset + partitionOffset;
  os::RETRIEVAL_POINTERS_HEAD head{};
  std::memcpy(&head, out.data(), sizeof head);
  // Never trust a count beyond what the buffer holds.
  const auto runs = std::span<const os::RETRIEVAL_POINTER>(out).subspan(
      1, std::min<std::size_t>(head.ExtentCount, out.size() - 1));
  // An impossible map is no answer: no fragment count beats a wrong one.
  if (!RunsAreSound(head.StartingVcn, runs)) return false;
  count = static_cast<std::int32_t>(runs.size());

  const bool aligned = HasDiskPositions(fileSystem);
  if (aligned) AlignmentRange(base, clusterSize, runs, minimum, maximum);
  if (details) {
    details->fileSystem = fileSystem;
    details->clusterSize = clusterSize;
    details->dataAreaOffset = dataAreaOffset;
    details->partitionOffset = partitionOffset;
    details->alignmentComputed = aligned;
    details->runs.clear();
    details->runs.reserve(runs.size());
    std::int64_t vcn = head.StartingVcn;
    for (const auto& run : runs) {
      details->runs.push_back({run.Lcn, run.NextVcn - vcn});
      vcn = run.NextVcn;
    }
  }
  return true;
}
