// The page cache's share of one file: cachestat where the kernel has it,
// mincore on a read-only mapping where it does not.
#include <fcntl.h>
#include <linux/magic.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "platform/linux/handles.h"
#include "platform/linux/internal.h"
#include "platform/os.h"

namespace os::runtime {
namespace {

// The kernel's own layout (include/uapi/linux/mman.h); older headers lack it.
struct CachestatRange {
  std::uint64_t off;
  std::uint64_t len;  // 0: to the end of the file
};
struct Cachestat {
  std::uint64_t nrCache;
  std::uint64_t nrDirty;
  std::uint64_t nrWriteback;
  std::uint64_t nrEvicted;
  std::uint64_t nrRecentlyEvicted;
};
#ifdef __NR_cachestat
constexpr long kCachestat = __NR_cachestat;
#elif defined(__x86_64__) || defined(__aarch64__)
constexpr long kCachestat = 451;  // the same number on every architecture
#else
constexpr long kCachestat = -1;
#endif

// A page count in bytes, no more than the file holds: its last page is
// counted whole.
std::int64_t PagesToBytes(std::uint64_t pages, std::int64_t pageSize, std::int64_t fileBytes) {
  return std::min<std::int64_t>(static_cast<std::int64_t>(pages) * pageSize, fileBytes);
}

// 0, or the errno of cachestat (ENOSYS where the kernel lacks it).
int ByCachestat(int fd, std::int64_t pageSize, FileCache* f) {
  if (detail::Faulted(seam::Op::Cachestat)) return ENOSYS;
  if (kCachestat < 0) return ENOSYS;
  CachestatRange range{0, 0};
  Cachestat cs{};
  if (syscall(kCachestat, fd, &range, &cs, 0) != 0) return errno;
  f->source = FileCache::Source::Cachestat;
  f->cachedBytes = PagesToBytes(cs.nrCache, pageSize, f->fileBytes);
  f->dirtyBytes = PagesToBytes(cs.nrDirty, pageSize, f->fileBytes);
  f->writebackBytes = PagesToBytes(cs.nrWriteback, pageSize, f->fileBytes);
  return 0;
}

// A window at a time, so that a large file needs neither a large mapping
// nor a large vector.
bool ByMincore(int fd, std::int64_t pageSize, FileCache* f) {
  int readable = fd;
  if ((fcntl(fd, F_GETFL) & O_ACCMODE) == O_WRONLY)
    readable = open(("/proc/self/fd/" + std::to_string(fd)).c_str(), O_RDONLY | O_CLOEXEC);
  if (readable < 0) return false;
  constexpr std::int64_t kWindow = std::int64_t{1} << 30;
  std::vector<unsigned char> resident;
  std::uint64_t pages = 0;
  bool ok = true;
  for (std::int64_t at = 0; ok && at < f->fileBytes; at += kWindow) {
    const auto length = static_cast<std::size_t>(std::min(kWindow, f->fileBytes - at));
    void* map = mmap(nullptr, length, PROT_READ, MAP_SHARED, readable, at);
    if (map == MAP_FAILED) {
      ok = false;
      break;
    }
    resident.resize((length + static_cast<std::size_t>(pageSize) - 1) /
                    static_cast<std::size_t>(pageSize));
    ok = mincore(map, length, resident.data()) == 0;
    for (unsigned char r : resident) pages += r & 1;
    const int err = errno;
    munmap(map, length);
    errno = err;
  }
  const int err = errno;
  if (readable != fd) close(readable);
  errno = err;
  if (!ok) return false;
  f->source = FileCache::Source::Mincore;
  f->cachedBytes = PagesToBytes(pages, pageSize, f->fileBytes);
  return true;
}

}  // namespace

bool FileCacheFigures(HANDLE file, FileCache* figures) {
  FileCache f;
  const int fd = handles::Fd(file);
  struct stat st {};
  if (fd < 0) {
    errno = EBADF;
    detail::FailWithErrno();
    return false;
  }
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    // A device or a pipe has no pages of its own in the page cache.
    if (S_ISREG(st.st_mode) == 0 && st.st_mode != 0) errno = EINVAL;
    detail::FailWithErrno();
    return false;
  }
  f.fileBytes = st.st_size;
  struct statfs sfs {};
  f.inMemory = fstatfs(fd, &sfs) == 0 && (sfs.f_type == TMPFS_MAGIC || sfs.f_type == RAMFS_MAGIC);
  const std::int64_t pageSize = sysconf(_SC_PAGESIZE);
  const int err = ByCachestat(fd, pageSize, &f);
  if (err != 0 && (err != ENOSYS || !ByMincore(fd, pageSize, &f))) {
    if (err != ENOSYS) errno = err;
    detail::FailWithErrno();
    return false;
  }
  *figures = f;
  return true;
}

bool CanDropFileCache() { return true; }

namespace {

// The watching thread's own open of the file, closed with the thread.
struct Watch {
  int fd = -1;
  ~Watch() {
    if (fd >= 0) close(fd);
  }
};
thread_local Watch watch;

// One figure of a small /proc file, or -1.
std::int64_t ProcFigure(const char* path, const std::string& name = "") {
  std::ifstream in(path);
  std::string key;
  std::int64_t value = -1;
  if (name.empty()) return in >> value ? value : -1;
  while (in >> key >> value) {
    if (key == name) return value;
    in.ignore(256, '\n');
  }
  return -1;
}

}  // namespace

void SeparateFileTable(HANDLE watched) {
  if (unshare(CLONE_FILES) != 0) return;
  // The copy unshare makes still holds every file: they are closed in it, so
  // that each file is referred to by the transferring thread alone again.
  const int fd = watched == INVALID_HANDLE_VALUE ? -1 : handles::Fd(watched);
  const int own =
      fd < 0 ? -1
             : open(("/proc/thread-self/fd/" + std::to_string(fd)).c_str(), O_RDONLY | O_CLOEXEC);
  if (own > 0) close_range(0, static_cast<unsigned>(own) - 1, 0);
  close_range(static_cast<unsigned>(own + 1), ~0U, 0);
  watch.fd = own;
}

bool WatchedFileCache(FileCache* figures) {
  struct stat st {};
  if (watch.fd < 0 || fstat(watch.fd, &st) != 0) return false;
  FileCache f;
  f.fileBytes = st.st_size;
  if (ByCachestat(watch.fd, sysconf(_SC_PAGESIZE), &f) != 0) return false;
  *figures = f;
  return true;
}

// As the kernel's domain_dirty_limits has them for the whole system, only
// approximately: its dirtyable memory (free pages and the file LRU lists,
// less reserves) is read here as MemFree + Active(file) + Inactive(file),
// no memory cgroup's own limit applies, and a ratio's threshold moves with
// that memory during the run while this one is taken once.
DirtyThresholds DirtyLimits() {
  DirtyThresholds t;
  const std::int64_t page = sysconf(_SC_PAGESIZE);
  const std::int64_t free = ProcFigure("/proc/meminfo", "MemFree:");
  const std::int64_t active = ProcFigure("/proc/meminfo", "Active(file):");
  const std::int64_t inactive = ProcFigure("/proc/meminfo", "Inactive(file):");
  const bool memory = free >= 0 && active >= 0 && inactive >= 0 && page > 0;
  const std::int64_t available = memory ? (free + active + inactive) * 1024 : 0;
  // A byte setting is used whole pages, rounded up; 0 means the ratio counts.
  auto limit = [&](const char* bytesPath, const char* ratioPath) -> std::int64_t {
    const std::int64_t bytes = ProcFigure(bytesPath);
    if (bytes > 0 && page > 0) return (bytes + page - 1) / page * page;
    const std::int64_t ratio = ProcFigure(ratioPath);
    if (bytes < 0 || ratio < 0 || !memory) return -1;
    return available / page * ratio / 100 * page;
  };
  t.dirtyBytes = limit("/proc/sys/vm/dirty_bytes", "/proc/sys/vm/dirty_ratio");
  t.backgroundBytes =
      limit("/proc/sys/vm/dirty_background_bytes", "/proc/sys/vm/dirty_background_ratio");
  // The kernel keeps the background threshold below the other one.
  if (t.dirtyBytes >= 0 && t.backgroundBytes >= t.dirtyBytes)
    t.backgroundBytes = t.dirtyBytes / page / 2 * page;
  return t;
}

bool DropFileCache(HANDLE file) {
  const int fd = handles::Fd(file);
  if (fd < 0) {
    errno = EBADF;
    detail::FailWithErrno();
    return false;
  }
  // Dirty pages are not dropped: they are written first.
  if (fdatasync(fd) != 0) {
    detail::FailWithErrno();
    return false;
  }
  if (const int err = posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED); err != 0) {
    errno = err;
    detail::FailWithErrno();
    return false;
  }
  return true;
}

}  // namespace os::runtime
