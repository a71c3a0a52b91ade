// File layouts from FIEMAP, walked once for all the calls of one refresh:
// the status line asks for the attributes, the runs and the attributes
// again within milliseconds, and a walk of a file with a million runs costs
// a good part of a second.
#include <fcntl.h>
#include <linux/fiemap.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/vfs.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <mutex>

#include "platform/linux/internal.h"

namespace os::detail {
namespace {

constexpr std::uint32_t kUnplacedFlags = FIEMAP_EXTENT_UNKNOWN | FIEMAP_EXTENT_DELALLOC |
                                         FIEMAP_EXTENT_DATA_INLINE | FIEMAP_EXTENT_NOT_ALIGNED;
constexpr std::uint32_t kPendingFlags = FIEMAP_EXTENT_UNKNOWN | FIEMAP_EXTENT_DELALLOC;
// Long enough for one refresh of the status line, short enough that a
// layout changed without a trace in the stamp (a defragmenter moving
// blocks) is seen by the next one.
constexpr std::chrono::milliseconds kShared{500};

struct Remembered {
  std::mutex mutex;
  std::shared_ptr<const Layout> layout;
  std::chrono::steady_clock::time_point walked;
};
Remembered remembered;

bool Serves(const Layout& l, const FileStamp& stamp, LayoutNeed need) {
  return l.stamp == stamp && !l.pending &&
         (l.complete || (need == LayoutNeed::EncodedBit && l.encoded));
}

std::shared_ptr<Layout> Walk(int fd, std::uint64_t size, LayoutNeed need) {
  constexpr std::uint32_t kBatch = 2048;
  std::vector<std::byte> buf(sizeof(fiemap) + kBatch * sizeof(fiemap_extent));
  auto* fm = reinterpret_cast<fiemap*>(buf.data());
  auto layout = std::make_shared<Layout>();
  auto& runs = layout->runs;
  std::uint64_t from = 0, prevStart = 0;
  std::uint32_t prevFlags = 0;
  for (bool last = false; !last;) {
    std::memset(fm, 0, sizeof(fiemap));
    fm->fm_start = from;
    fm->fm_length = FIEMAP_MAX_OFFSET - from;
    fm->fm_flags = 0;  // no FIEMAP_FLAG_SYNC: asking must not write anything
    fm->fm_extent_count = kBatch;
    if (ioctl(fd, FS_IOC_FIEMAP, fm) != 0) return nullptr;
    if (fm->fm_mapped_extents == 0) break;
    for (std::uint32_t i = 0; i < fm->fm_mapped_extents; ++i) {
      const fiemap_extent& e = fm->fm_extents[i];
      last = last || (e.fe_flags & FIEMAP_EXTENT_LAST);
      from = e.fe_logical + e.fe_length;
      const std::uint32_t flags = e.fe_flags & ~FIEMAP_EXTENT_LAST;
      const bool placed = !(flags & kUnplacedFlags);
      layout->pending = layout->pending || (flags & kPendingFlags);
      if (flags & FIEMAP_EXTENT_ENCODED) {
        layout->encoded = true;
        if (need == LayoutNeed::EncodedBit) return layout;  // the answer is known
      }
      // A gap between records is a hole: a run of its own with no place, as
      // Windows answers the sparse ranges of a file.
      const std::uint64_t covered = runs.empty() ? 0 : runs.back().end;
      if (e.fe_logical > covered) runs.push_back({e.fe_logical, Layout::kUnplaced});
      // The kernel splits and joins records by the buffer it is given; what
      // continues in the file and on the disk is one run.
      if (!runs.empty()) {
        Layout::Run& prev = runs.back();
        if (prev.physical != Layout::kUnplaced && placed && prevFlags == flags &&
            prev.end == e.fe_logical && prev.physical + (prev.end - prevStart) == e.fe_physical) {
          prev.end += e.fe_length;
          continue;
        }
      }
      runs.push_back({e.fe_logical + e.fe_length, placed ? e.fe_physical : Layout::kUnplaced});
      prevStart = e.fe_logical;
      prevFlags = flags;
    }
  }
  // The hole after the last record, up to the end of the file, is a run too.
  if (size > (runs.empty() ? 0 : runs.back().end)) runs.push_back({size, Layout::kUnplaced});
  layout->complete = true;
  return layout;
}

}  // namespace

std::optional<FileStamp> StampOf(int fd) {
  struct statx stx {};
  if (statx(fd, "", AT_EMPTY_PATH, STATX_BASIC_STATS, &stx) != 0) return std::nullopt;
  FileStamp s;
  s.dev = (std::uint64_t{stx.stx_dev_major} << 32) | stx.stx_dev_minor;
  s.ino = stx.stx_ino;
  s.size = stx.stx_size;
  s.blocks = stx.stx_blocks;
  s.mtimeSec = stx.stx_mtime.tv_sec;
  s.mtimeNsec = stx.stx_mtime.tv_nsec;
  s.ctimeSec = stx.stx_ctime.tv_sec;
  s.ctimeNsec = stx.stx_ctime.tv_nsec;
  s.mode = stx.stx_mode;
  return s;
}

std::shared_ptr<const Layout> LayoutOf(int fd, LayoutNeed need) {
  const auto before = StampOf(fd);
  if (!before) return nullptr;
  {
    std::lock_guard lock(remembered.mutex);
    if (remembered.layout && std::chrono::steady_clock::now() - remembered.walked > kShared)
      remembered.layout.reset();  // a million runs are 16 MB
    if (remembered.layout && Serves(*remembered.layout, *before, need)) return remembered.layout;
  }
  auto layout = Walk(fd, before->size, need);
  if (!layout) return nullptr;
  layout->stamp = *before;
  // A file that changed while it was walked is answered, but not remembered.
  if (StampOf(fd) == before) {
    std::lock_guard lock(remembered.mutex);
    remembered.layout = layout;
    remembered.walked = std::chrono::steady_clock::now();
  }
  return layout;
}

bool StoredEncoded(int fd) {
  // These never store data transformed, so there is nothing to walk for.
  constexpr long kPlainFileSystems[] = {0xEF53 /* ext2/3/4 */, 0x58465342 /* xfs */,
                                        0x01021994 /* tmpfs */,
                                        static_cast<long>(0x858458f6) /* ramfs */};
  struct statfs fs {};
  if (fstatfs(fd, &fs) == 0)
    for (const long type : kPlainFileSystems)
      if (static_cast<long>(fs.f_type) == type) return false;
  const auto layout = LayoutOf(fd, LayoutNeed::EncodedBit);
  return layout && layout->encoded;
}

}  // namespace os::detail
