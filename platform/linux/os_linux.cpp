// The Windows operations answered by Linux mechanisms.
#include <fcntl.h>
#include <linux/magic.h>
#include <netdb.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <sys/sysinfo.h>
#include <sys/un.h>
#include <sys/utsname.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <sched.h>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <mutex>
#include <new>

#include "platform/linux/handles.h"
#include "platform/linux/internal.h"
#include "platform/linux/mounts.h"
#include "platform/os.h"
#include "platform/seam.h"

namespace os {
namespace {

// Several errnos share one Windows code, which is what callers compare;
// the text is the errno's own. The last failure that came from an errno
// keeps it, so that the text of its code is that errno's for as long as no
// later failure gave the same code for another reason.
class LastError {
 public:
  LastError& operator=(DWORD code) {
    code_ = code;
    if (code == causeCode_) causeErrno_ = 0;
    return *this;
  }
  operator DWORD() const { return code_; }
  void Set(DWORD code, int err) {
    code_ = causeCode_ = code;
    causeErrno_ = err;
  }
  // The errno behind code, 0 when there is none to tell.
  int CauseOf(DWORD code) const { return code == causeCode_ ? causeErrno_ : 0; }

 private:
  DWORD code_ = 0;
  DWORD causeCode_ = 0;
  int causeErrno_ = 0;
};
thread_local LastError lastError;

struct ErrnoMapping {
  int err;
  DWORD code;
};
// The first entry for a code gives its text when no errno is known for it.
constexpr ErrnoMapping kErrnoMap[] = {
    {ENOENT, ERROR_FILE_NOT_FOUND},
    {ENOTDIR, ERROR_PATH_NOT_FOUND},
    {EMFILE, ERROR_TOO_MANY_OPEN_FILES},
    {ENFILE, ERROR_TOO_MANY_OPEN_FILES},
    {EACCES, ERROR_ACCESS_DENIED},
    {EPERM, ERROR_ACCESS_DENIED},
    {EISDIR, ERROR_ACCESS_DENIED},
    {EBADF, ERROR_INVALID_HANDLE},
    {ENOMEM, ERROR_NOT_ENOUGH_MEMORY},
    {EROFS, ERROR_WRITE_PROTECT},
    {EOPNOTSUPP, ERROR_NOT_SUPPORTED},
    {EEXIST, ERROR_FILE_EXISTS},
    {EINVAL, ERROR_INVALID_PARAMETER},
    {ENOSPC, ERROR_DISK_FULL},
    {EDQUOT, ERROR_DISK_FULL},
    {ENOTEMPTY, ERROR_DIR_NOT_EMPTY},
    {EBUSY, ERROR_BUSY},
    {ENAMETOOLONG, ERROR_FILENAME_EXCED_RANGE},
    {EIO, ERROR_IO_DEVICE},
};

// Texts for the codes that have no errno counterpart.
struct OwnText {
  DWORD code;
  const char* text;
};
constexpr OwnText kOwnTexts[] = {
    {ERROR_SUCCESS, "The operation completed successfully."},
    {ERROR_INSUFFICIENT_BUFFER, "The data area passed to a system call is too small."},
    {ERROR_MORE_DATA, "More data is available."},
    {ERROR_ALREADY_EXISTS, "Cannot create a file when that file already exists."},
    {ERROR_INVALID_ADDRESS, "Attempt to access invalid address."},
};

std::string ErrnoText(int err) {
  char buf[256];
  return strerror_r(err, buf, sizeof buf);
}

int OpenFlags(DWORD access) {
  const bool read = access & GENERIC_READ;
  const bool write = access & GENERIC_WRITE;
  if (read && write) return O_RDWR;
  if (write) return O_WRONLY;
  if (read) return O_RDONLY;
  return O_PATH;
}

// Opens the file behind an open descriptor again, with other flags.
int Reopen(int fd, int flags) {
  const std::string self = "/proc/self/fd/" + std::to_string(fd);
  return open(self.c_str(), flags | O_CLOEXEC);
}

}  // namespace
using detail::OnPseudoFileSystem;
namespace {

// Whether a regular file may be opened for writing: never on a pseudo file
// system, and never without a write permission bit, which Windows' read-only
// attribute stands for and which root would otherwise ignore.
bool MayWrite(int fd, const struct stat& st) {
  if (OnPseudoFileSystem(fd) || (st.st_mode & 0222) == 0) {
    errno = EACCES;
    return false;
  }
  return true;
}

// Opens an existing name. The name is first opened without any access, so
// that looking at what it is has no side effect; only regular files and
// directories are opened for reading and writing, block devices for reading
// only, and nothing else at all.
int OpenExisting(int probe, int accessFlags, int extraFlags, bool directories,
                 handles::Kind* kind) {
  struct stat st {};
  if (fstat(probe, &st) != 0) return -1;
  if (S_ISDIR(st.st_mode) && !directories) {
    // Refused with Windows' code, for the reason the system gives when a
    // folder is read or written.
    errno = EISDIR;
    return -1;
  }
  if (accessFlags == O_PATH) {
    *kind = S_ISDIR(st.st_mode) ? handles::Kind::Directory : handles::Kind::File;
    return fcntl(probe, F_DUPFD_CLOEXEC, 0);
  }
  if (S_ISDIR(st.st_mode)) {
    *kind = handles::Kind::Directory;
    return openat(probe, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  }
  const bool regular = S_ISREG(st.st_mode);
  const bool readableDevice = S_ISBLK(st.st_mode) && accessFlags == O_RDONLY;
  if (!regular && !readableDevice) {
    errno = EACCES;
    return -1;
  }
  if (accessFlags != O_RDONLY && !MayWrite(probe, st)) return -1;
  // A drive without a medium must not hold the caller up.
  if (readableDevice) extraFlags |= O_NONBLOCK;
  *kind = handles::Kind::File;
  // Reopening through the probe keeps the inode that was checked.
  return Reopen(probe, accessFlags | extraFlags);
}

// Creates a new regular file. Some file systems create the name and only then
// refuse a flag such as O_DIRECT; the name is made without it and reopened
// with it, so that a refusal leaves nothing behind.
int CreateNew(int dirfd, const std::string& name, int accessFlags, int extraFlags) {
  const int created =
      openat(dirfd, name.c_str(),
             accessFlags | (extraFlags & ~O_DIRECT) | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (created < 0) return -1;
  const bool pseudo = OnPseudoFileSystem(created);
  int fd = created;
  if (pseudo) {
    fd = -1;
    errno = EACCES;
  } else if (extraFlags & O_DIRECT) {
    fd = Reopen(created, accessFlags | extraFlags);
  }
  if (fd == created) return fd;
  if (fd >= 0) {
    close(created);
    return fd;
  }
  const int saved = errno;
  // Remove the name only while it is still the file made here.
  struct stat mine {
  }, now{};
  if (fstat(created, &mine) == 0 && fstatat(dirfd, name.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 &&
      mine.st_dev == now.st_dev && mine.st_ino == now.st_ino)
    unlinkat(dirfd, name.c_str(), 0);
  close(created);
  errno = saved;
  return fd;
}

// CreateFileA relative to an open folder (AT_FDCWD: the current one).
HANDLE CreateAt(int dirfd, const std::string& fileName, DWORD desiredAccess,
                DWORD creationDisposition, DWORD flagsAndAttributes);

}  // namespace

namespace detail {

// File systems whose files are the running system's settings, not data on
// a disk: writing there changes the machine.
bool OnPseudoFileSystem(int fd) {
  struct statfs fs {};
  if (fstatfs(fd, &fs) != 0) return false;
  switch (static_cast<unsigned long>(fs.f_type)) {
    case PROC_SUPER_MAGIC:
    case SYSFS_MAGIC:
    case DEBUGFS_MAGIC:
    case TRACEFS_MAGIC:
    case SECURITYFS_MAGIC:
    case CGROUP_SUPER_MAGIC:
    case CGROUP2_SUPER_MAGIC:
    case 0x62656570 /* configfs */:
    case EFIVARFS_MAGIC:
    case BPF_FS_MAGIC:
    case PSTOREFS_MAGIC:
    case BINFMTFS_MAGIC:
    case SELINUX_MAGIC:
    case SMACK_MAGIC:
    case 0x65735543 /* fusectl */:
    case NSFS_MAGIC:
    case DEVPTS_SUPER_MAGIC:
    case 0x19800202 /* mqueue */:
      return true;
    default:
      return false;
  }
}

DWORD FromErrno(int err) {
  for (const auto& m : kErrnoMap)
    if (m.err == err) return m.code;
  return kSystemErrorBit | static_cast<DWORD>(err);
}

void FailWithErrno() {
  const int err = errno;
  lastError.Set(FromErrno(err), err);
}

bool Faulted(seam::Op op) {
  if (auto f = seam::Enter(op)) {
    lastError = f->error;
    return true;
  }
  return false;
}

}  // namespace detail

using detail::FailWithErrno;
using detail::Faulted;

DWORD GetLastError() { return lastError; }
void SetLastError(DWORD errorCode) { lastError = errorCode; }

HANDLE CreateFileA(const std::string& fileName, DWORD desiredAccess, DWORD /*shareMode*/,
                   DWORD creationDisposition, DWORD flagsAndAttributes) {
  seam::NoteCreateFlags(flagsAndAttributes);
  if (Faulted(seam::Op::CreateFileA)) return INVALID_HANDLE_VALUE;
  if (!fileName.empty() && fileName.find('\0') == std::string::npos &&
      detail::IsVolumeName(fileName))
    return detail::OpenVolume(fileName);
  return CreateAt(AT_FDCWD, fileName, desiredAccess, creationDisposition, flagsAndAttributes);
}

namespace {

HANDLE CreateAt(int dirfd, const std::string& fileName, DWORD desiredAccess,
                DWORD creationDisposition, DWORD flagsAndAttributes) {
  if (creationDisposition != OPEN_EXISTING && creationDisposition != OPEN_ALWAYS) {
    lastError = ERROR_INVALID_PARAMETER;
    return INVALID_HANDLE_VALUE;
  }
  if (fileName.empty() || fileName.find('\0') != std::string::npos) {
    lastError = ERROR_PATH_NOT_FOUND;
    return INVALID_HANDLE_VALUE;
  }
  const int access = OpenFlags(desiredAccess);
  int extra = 0;
  if (flagsAndAttributes & FILE_FLAG_NO_BUFFERING) extra |= O_DIRECT;
  if (flagsAndAttributes & FILE_FLAG_WRITE_THROUGH) extra |= O_DSYNC;

  handles::Kind kind = handles::Kind::File;
  int fd = -1;
  bool existed = false;
  // A name that appears or vanishes between two opens is tried again.
  const bool mayCreate = creationDisposition == OPEN_ALWAYS && access != O_PATH;
  for (int attempt = 0; attempt < 3 && fd < 0; ++attempt) {
    // A name that does not exist yet can only become a new regular file, so
    // it needs no look first; this is the one call per file that
    // create-heavy tests measure.
    if (mayCreate) {
      fd = CreateNew(dirfd, fileName, access, extra);
      if (fd >= 0 || errno != EEXIST) break;
    }
    const int probe = openat(dirfd, fileName.c_str(), O_PATH | O_CLOEXEC);
    if (probe >= 0) {
      existed = true;
      fd = OpenExisting(probe, access, extra, flagsAndAttributes & FILE_FLAG_BACKUP_SEMANTICS,
                        &kind);
      const int saved = errno;
      close(probe);
      errno = saved;
      break;
    }
    if (errno != ENOENT || !mayCreate) break;  // gone again: try once more
  }
  if (fd < 0) {
    FailWithErrno();
    return INVALID_HANDLE_VALUE;
  }
  if (kind == handles::Kind::File && access != O_PATH) {
    if (flagsAndAttributes & FILE_FLAG_RANDOM_ACCESS) posix_fadvise(fd, 0, 0, POSIX_FADV_RANDOM);
    if (flagsAndAttributes & FILE_FLAG_SEQUENTIAL_SCAN)
      posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  }
  handles::Add(fd, {kind, 0, false});
  lastError = (existed && creationDisposition == OPEN_ALWAYS) ? ERROR_ALREADY_EXISTS : 0;
  return fd;
}

// A plain name: one entry of the folder, never a path that leads out of it.
bool PlainName(const std::string& name) {
  if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos ||
      name.find('\0') != std::string::npos) {
    lastError = ERROR_INVALID_PARAMETER;
    return false;
  }
  return true;
}

// The descriptor of a folder handle; -1, with the last error set, for any other.
int FolderFd(HANDLE folder) {
  const auto entry = handles::Find(folder);
  if (!entry || entry->kind != handles::Kind::Directory || entry->volume) {
    lastError = ERROR_INVALID_HANDLE;
    return -1;
  }
  return static_cast<int>(folder);
}

}  // namespace

HANDLE OpenFolder(const std::string& folderName) {
  if (folderName.empty() || folderName.find('\0') != std::string::npos) {
    lastError = ERROR_PATH_NOT_FOUND;
    return INVALID_HANDLE_VALUE;
  }
  // O_PATH: a folder the user may create in but not list still opens.
  const int fd = open(folderName.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    FailWithErrno();
    return INVALID_HANDLE_VALUE;
  }
  handles::Add(fd, {handles::Kind::Directory, 0, false});
  lastError = 0;
  return fd;
}

HANDLE CreateFileInFolder(HANDLE folder, const std::string& name, DWORD desiredAccess,
                          DWORD /*shareMode*/, DWORD creationDisposition,
                          DWORD flagsAndAttributes) {
  seam::NoteCreateFlags(flagsAndAttributes);
  if (Faulted(seam::Op::CreateFileA)) return INVALID_HANDLE_VALUE;
  const int dirfd = FolderFd(folder);
  if (dirfd < 0 || !PlainName(name)) return INVALID_HANDLE_VALUE;
  return CreateAt(dirfd, name, desiredAccess, creationDisposition, flagsAndAttributes);
}

BOOL DeleteFileInFolder(HANDLE folder, const std::string& name) {
  if (Faulted(seam::Op::DeleteFileA)) return FALSE;
  const int dirfd = FolderFd(folder);
  if (dirfd < 0 || !PlainName(name)) return FALSE;
  if (unlinkat(dirfd, name.c_str(), 0) != 0) {
    FailWithErrno();
    return FALSE;
  }
  return TRUE;
}

HANDLE OpenVolumeOfHandle(HANDLE h) {
  if (Faulted(seam::Op::OpenVolumeOfHandle)) return INVALID_HANDLE_VALUE;
  const int fd = handles::Fd(h);
  if (fd < 0) {
    lastError = ERROR_INVALID_HANDLE;
    return INVALID_HANDLE_VALUE;
  }
  // syncfs writes back the file system of any descriptor on it, and this one
  // reaches it even when the file has no name left or its path now leads
  // elsewhere. A regular file is opened again rather than copied: a copy
  // shares the file's position, and the kernel then locks that position for
  // every transfer on the file. A descriptor opened without access cannot be
  // synced: the folder it names is opened for reading first.
  int volume = -1;
  struct stat st {};
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) volume = Reopen(fd, O_RDONLY);
  if (volume < 0) {
    if ((fcntl(fd, F_GETFL) & O_PATH) != O_PATH)
      volume = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    else if ((volume = openat(fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)) < 0)
      volume = Reopen(fd, O_RDONLY);
  }
  if (volume < 0) {
    FailWithErrno();
    return INVALID_HANDLE_VALUE;
  }
  handles::Add(volume, {handles::Kind::Directory, 0, true});
  lastError = 0;
  return volume;
}

namespace {

// One transfer as the bare instruction, at the kernel's file position or,
// with kAt, at offset: the C library's wrappers add a cancellation point once
// a process has a second thread, and its generic syscall() a call level of
// its own, each a measurable part of a 512-byte transfer. Returns the count
// or -errno.
template <bool kWrite, bool kAt>
inline long TransferCall(int fd, const void* data, std::size_t size, std::int64_t offset) {
#if defined(__x86_64__)
  constexpr long number =
      kAt ? (kWrite ? SYS_pwrite64 : SYS_pread64) : (kWrite ? SYS_write : SYS_read);
  long result;
  register long at asm("r10") = offset;
  asm volatile("syscall"
               : "=a"(result)
               : "0"(number), "D"(static_cast<long>(fd)), "S"(data), "d"(size), "r"(at)
               : "rcx", "r11", "memory");
  return result;
#else
  void* const to = const_cast<void*>(data);
  ssize_t result;
  if constexpr (kAt)
    result = kWrite ? pwrite64(fd, data, size, offset) : pread64(fd, to, size, offset);
  else
    result = kWrite ? write(fd, data, size) : read(fd, to, size);
  return result < 0 ? -errno : result;
#endif
}

// The whole buffer, repeated over short counts and interruptions; done is
// what was moved. Returns 0 or the errno of the failure.
template <bool kWrite, bool kAt, typename Byte>
int TransferAll(int fd, std::span<Byte> buffer, std::int64_t at, std::size_t& done) {
  while (done < buffer.size()) {
    const long n = TransferCall<kWrite, kAt>(fd, buffer.data() + done, buffer.size() - done,
                                             at + static_cast<std::int64_t>(done));
    if (n == -EINTR) continue;
    if (n == 0 && !kWrite) break;  // end of file
    if (n <= 0) return n == 0 ? ENOSPC : static_cast<int>(-n);
    done += static_cast<std::size_t>(n);
  }
  return 0;
}

// Sets what ReadFile and WriteFile answer after the system was asked.
BOOL TransferResult(std::size_t done, int error, DWORD faultError, DWORD* moved) {
  if (moved) *moved = static_cast<DWORD>(done);
  if (error != 0) {
    errno = error;
    FailWithErrno();
    return FALSE;
  }
  lastError = faultError;
  return faultError == 0 ? TRUE : FALSE;
}

// A transfer whose position the layer keeps or has yet to choose: out of
// line, so that the usual transfer saves no registers for it.
template <bool kWrite, typename Byte>
[[gnu::noinline]] BOOL TransferKept(int fd, std::atomic<std::int64_t>& kept, std::span<Byte> buffer,
                                    DWORD faultError, DWORD* moved) {
  std::int64_t at = kept.load(std::memory_order_relaxed);
  if (at == handles::kPositionUnknown) {
    // The first transfer since the kernel's position last counted.
    at = handles::FileTableShared() ? lseek(fd, 0, SEEK_CUR) : handles::kPositionKernel;
    if (at < 0) at = handles::kPositionKernel;
    kept.store(at, std::memory_order_relaxed);
  }
  std::size_t done = 0;
  int error;
  if (at < 0) {
    error = TransferAll<kWrite, false>(fd, buffer, 0, done);
  } else {
    error = TransferAll<kWrite, true>(fd, buffer, at, done);
    kept.store(at + static_cast<std::int64_t>(done), std::memory_order_relaxed);
  }
  return TransferResult(done, error, faultError, moved);
}

// ReadFile and WriteFile: the count is what was moved, the result whether
// all went.
template <bool kWrite, typename Byte>
BOOL Transfer(HANDLE hFile, std::span<Byte> buffer, DWORD* moved) {
  if (moved) *moved = 0;
  DWORD faultError = 0;
  if (seam::Active()) {
    if (auto f = seam::Enter(kWrite ? seam::Op::WriteFile : seam::Op::ReadFile)) {
      faultError = f->error;
      if (!f->shortCount) {
        lastError = f->error;
        return FALSE;
      }
      buffer = buffer.first(std::min<std::size_t>(buffer.size(), *f->shortCount));
    }
    if (seam::TransferObserver()) seam::TransferObserver()(buffer);
  }
  const int fd = handles::Fd(hFile);
  if (fd < 0) {
    lastError = ERROR_INVALID_HANDLE;
    return FALSE;
  }
  std::atomic<std::int64_t>* kept = handles::KeptPosition(fd);
  if (kept && kept->load(std::memory_order_relaxed) != handles::kPositionKernel) [[unlikely]]
    return TransferKept<kWrite>(fd, *kept, buffer, faultError, moved);
  std::size_t done = 0;
  const int error = TransferAll<kWrite, false>(fd, buffer, 0, done);
  return TransferResult(done, error, faultError, moved);
}

}  // namespace

BOOL ReadFile(HANDLE hFile, std::span<std::byte> buffer, DWORD* bytesRead) {
  return Transfer<false>(hFile, buffer, bytesRead);
}

BOOL WriteFile(HANDLE hFile, std::span<const std::byte> buffer, DWORD* bytesWritten) {
  return Transfer<true>(hFile, buffer, bytesWritten);
}

DWORD SetFilePointer(HANDLE hFile, LONG distanceToMove, LONG* distanceToMoveHigh,
                     DWORD moveMethod) {
  if (Faulted(seam::Op::SetFilePointer)) return INVALID_SET_FILE_POINTER;
  const int fd = handles::Fd(hFile);
  if (fd < 0) {
    lastError = ERROR_INVALID_HANDLE;
    return INVALID_SET_FILE_POINTER;
  }
  if (!handles::SyncPosition(fd)) {
    FailWithErrno();
    return INVALID_SET_FILE_POINTER;
  }
  std::int64_t distance = distanceToMove;
  if (distanceToMoveHigh) {
    distance = static_cast<std::int64_t>(
        (static_cast<std::uint64_t>(static_cast<std::uint32_t>(*distanceToMoveHigh)) << 32) |
        static_cast<std::uint32_t>(distanceToMove));
  }
  int whence = SEEK_SET;
  if (moveMethod == FILE_CURRENT)
    whence = SEEK_CUR;
  else if (moveMethod == FILE_END)
    whence = SEEK_END;
  else if (moveMethod != FILE_BEGIN) {
    lastError = ERROR_INVALID_PARAMETER;
    return INVALID_SET_FILE_POINTER;
  }
  if (!distanceToMoveHigh) {
    // Without a high half the new position must fit in 32 bits.
    std::int64_t base = 0;
    if (whence != SEEK_SET) {
      struct stat st {};
      base = whence == SEEK_CUR ? lseek(fd, 0, SEEK_CUR) : (fstat(fd, &st) == 0 ? st.st_size : -1);
      if (base < 0) {
        FailWithErrno();
        return INVALID_SET_FILE_POINTER;
      }
    }
    const std::int64_t target = base + distance;
    if (target < 0 || target >= static_cast<std::int64_t>(INVALID_SET_FILE_POINTER)) {
      lastError = ERROR_INVALID_PARAMETER;
      return INVALID_SET_FILE_POINTER;
    }
    distance = target;
    whence = SEEK_SET;
  }
  const off_t pos = lseek(fd, distance, whence);
  if (pos < 0) {
    FailWithErrno();
    return INVALID_SET_FILE_POINTER;
  }
  if (distanceToMoveHigh)
    *distanceToMoveHigh = static_cast<LONG>(static_cast<std::uint64_t>(pos) >> 32);
  lastError = 0;
  return static_cast<DWORD>(pos);
}

BOOL FlushFileBuffers(HANDLE hFile) {
  if (Faulted(seam::Op::FlushFileBuffers)) return FALSE;
  const auto entry = handles::Find(hFile);
  if (!entry || entry->kind == handles::Kind::Process) {
    lastError = ERROR_INVALID_HANDLE;
    return FALSE;
  }
  const int rc = entry->volume ? syncfs(static_cast<int>(hFile)) : fsync(static_cast<int>(hFile));
  if (rc != 0) {
    FailWithErrno();
    return FALSE;
  }
  return TRUE;
}

BOOL CloseHandle(HANDLE h) {
  if (Faulted(seam::Op::CloseHandle)) return FALSE;
  if (!handles::Remove(h)) {
    lastError = ERROR_INVALID_HANDLE;
    return FALSE;
  }
  close(static_cast<int>(h));  // the descriptor is gone whatever close says
  return TRUE;
}

DWORD GetFileSize(HANDLE hFile, DWORD* fileSizeHigh) {
  if (Faulted(seam::Op::GetFileSize)) return INVALID_FILE_SIZE;
  const int fd = handles::Fd(hFile);
  struct stat st {};
  if (fd < 0 || fstat(fd, &st) != 0) {
    if (fd < 0)
      lastError = ERROR_INVALID_HANDLE;
    else
      FailWithErrno();
    return INVALID_FILE_SIZE;
  }
  const auto size = static_cast<std::uint64_t>(st.st_size);
  if (fileSizeHigh) *fileSizeHigh = static_cast<DWORD>(size >> 32);
  lastError = 0;
  return static_cast<DWORD>(size);
}

DWORD GetFileAttributesA(const std::string& fileName) {
  if (Faulted(seam::Op::GetFileAttributesA)) return INVALID_FILE_ATTRIBUTES;
  if (fileName.find('\0') != std::string::npos) {
    lastError = ERROR_INVALID_PARAMETER;
    return INVALID_FILE_ATTRIBUTES;
  }
  struct statx stx {};
  if (statx(AT_FDCWD, fileName.c_str(), 0, STATX_TYPE | STATX_MODE, &stx) != 0) {
    FailWithErrno();
    return INVALID_FILE_ATTRIBUTES;
  }
  if (S_ISDIR(stx.stx_mode)) return FILE_ATTRIBUTE_DIRECTORY;
  DWORD attributes = (stx.stx_mode & 0222) == 0 ? FILE_ATTRIBUTE_READONLY : FILE_ATTRIBUTE_NORMAL;
  // The compression flag and data actually stored compressed each miss the
  // other case, so either counts; the flag is the cheap one to ask.
  bool compressed = (stx.stx_attributes_mask & STATX_ATTR_COMPRESSED) &&
                    (stx.stx_attributes & STATX_ATTR_COMPRESSED);
  if (!compressed && S_ISREG(stx.stx_mode)) {
    const int fd = open(fileName.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd >= 0) {
      compressed = detail::StoredEncoded(fd);
      close(fd);
    }
  }
  if (compressed) attributes = (attributes & ~FILE_ATTRIBUTE_NORMAL) | FILE_ATTRIBUTE_COMPRESSED;
  lastError = 0;
  return attributes;
}

DWORD GetCompressedFileSizeA(const std::string& fileName, DWORD* fileSizeHigh) {
  struct stat st {};
  if (fileName.find('\0') != std::string::npos || stat(fileName.c_str(), &st) != 0) {
    if (fileName.find('\0') != std::string::npos)
      lastError = ERROR_INVALID_PARAMETER;
    else
      FailWithErrno();
    return INVALID_FILE_SIZE;
  }
  const auto bytes = static_cast<std::uint64_t>(st.st_blocks) * 512u;
  if (fileSizeHigh) *fileSizeHigh = static_cast<DWORD>(bytes >> 32);
  lastError = 0;
  return static_cast<DWORD>(bytes);
}

BOOL DeleteFileA(const std::string& fileName) {
  if (Faulted(seam::Op::DeleteFileA)) return FALSE;
  if (fileName.find('\0') != std::string::npos) {
    lastError = ERROR_INVALID_PARAMETER;
    return FALSE;
  }
  if (unlink(fileName.c_str()) != 0) {
    FailWithErrno();
    return FALSE;
  }
  return TRUE;
}

// Memory.
namespace {
std::mutex regionsMutex;
std::map<void*, std::size_t> regions;  // mapping start -> length
}  // namespace

void* VirtualAlloc(void* address, std::size_t size, DWORD allocationType, DWORD protect) {
  if (Faulted(seam::Op::VirtualAlloc)) return nullptr;
  if (address != nullptr || size == 0 || !(allocationType & MEM_COMMIT) ||
      protect != PAGE_READWRITE) {
    lastError = ERROR_INVALID_PARAMETER;
    return nullptr;
  }
  void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) {
    lastError = ERROR_NOT_ENOUGH_MEMORY;
    return nullptr;
  }
  std::lock_guard lock(regionsMutex);
  regions[p] = size;
  return p;
}

BOOL VirtualLock(void* address, std::size_t size) {
  if (Faulted(seam::Op::VirtualLock)) return FALSE;
  if (mlock(address, size) != 0) {
    FailWithErrno();
    return FALSE;
  }
  return TRUE;
}

BOOL VirtualUnlock(void* address, std::size_t size) {
  if (Faulted(seam::Op::VirtualUnlock)) return FALSE;
  if (munlock(address, size) != 0) {
    FailWithErrno();
    return FALSE;
  }
  return TRUE;
}

BOOL VirtualFree(void* address, std::size_t size, DWORD freeType) {
  if (Faulted(seam::Op::VirtualFree)) return FALSE;
  std::lock_guard lock(regionsMutex);
  const auto it = regions.find(address);
  if (it == regions.end()) {
    lastError = ERROR_INVALID_ADDRESS;
    return FALSE;
  }
  if (freeType == MEM_RELEASE && size == 0) {
    munmap(it->first, it->second);
    regions.erase(it);
    return TRUE;
  }
  if (freeType == MEM_DECOMMIT && size <= it->second) {
    // Decommitted pages come back zero-filled when touched again.
    madvise(it->first, size == 0 ? it->second : size, MADV_DONTNEED);
    return TRUE;
  }
  lastError = ERROR_INVALID_PARAMETER;
  return FALSE;
}

// Process and system.
namespace {
// "Normal" priority is the nice value the process started with: an
// unprivileged process may not go back below it.
const int startNice = [] {
  errno = 0;
  const int n = getpriority(PRIO_PROCESS, 0);
  return errno == 0 ? n : 0;
}();
}  // namespace

DWORD GetCurrentProcessId() { return static_cast<DWORD>(getpid()); }

HANDLE OpenProcess(DWORD /*desiredAccess*/, BOOL /*inheritHandle*/, DWORD processId) {
  if (Faulted(seam::Op::OpenProcess)) return 0;
  const int fd = static_cast<int>(syscall(SYS_pidfd_open, static_cast<pid_t>(processId), 0));
  if (fd < 0) {
    FailWithErrno();
    return 0;
  }
  handles::Add(fd, {handles::Kind::Process, static_cast<pid_t>(processId), false});
  return fd;
}

BOOL SetPriorityClass(HANDLE hProcess, DWORD priorityClass) {
  if (Faulted(seam::Op::SetPriorityClass)) return FALSE;
  const auto entry = handles::Find(hProcess);
  if (!entry || entry->kind != handles::Kind::Process) {
    lastError = ERROR_INVALID_HANDLE;
    return FALSE;
  }
  int nice = 0;
  if (priorityClass == HIGH_PRIORITY_CLASS)
    nice = -10;
  else if (priorityClass == NORMAL_PRIORITY_CLASS)
    nice = entry->pid == getpid() ? startNice : 0;
  else {
    lastError = ERROR_INVALID_PARAMETER;
    return FALSE;
  }
  if (setpriority(PRIO_PROCESS, static_cast<id_t>(entry->pid), nice) != 0) {
    FailWithErrno();
    return FALSE;
  }
  return TRUE;
}

void Sleep(DWORD milliseconds) {
  if (milliseconds == 0) {
    sched_yield();
    return;
  }
  timespec left{static_cast<time_t>(milliseconds / 1000),
                static_cast<long>(milliseconds % 1000) * 1000000L};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

BOOL GetVersionExA(OSVERSIONINFOA* info) {
  if (Faulted(seam::Op::GetVersionExA)) return FALSE;
  if (!info || info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOA)) {
    lastError = ERROR_INSUFFICIENT_BUFFER;
    return FALSE;
  }
  utsname u{};
  if (uname(&u) == 0) {
    unsigned major = 0, minor = 0, patch = 0;
    std::sscanf(u.release, "%u.%u.%u", &major, &minor, &patch);
    info->dwMajorVersion = major;
    info->dwMinorVersion = minor;
    info->dwBuildNumber = patch;
  }
  // Linux never locks a name against other openers, as share mode 7 asks.
  info->dwPlatformId = VER_PLATFORM_WIN32_NT;
  info->szCSDVersion[0] = '\0';
  return TRUE;
}

DWORD FormatMessageA(DWORD flags, DWORD messageId, DWORD /*languageId*/, std::span<char> buffer) {
  if (Faulted(seam::Op::FormatMessageA)) return 0;
  if (!(flags & FORMAT_MESSAGE_FROM_SYSTEM)) {
    lastError = ERROR_INVALID_PARAMETER;
    return 0;
  }
  std::string text;
  for (const auto& t : kOwnTexts)
    if (t.code == messageId) text = t.text;
  if (text.empty()) {
    int err = lastError.CauseOf(messageId);
    for (const auto& m : kErrnoMap)
      if (err == 0 && m.code == messageId) err = m.err;
    if (err == 0 && (messageId & kSystemErrorBit) && (messageId & ~kSystemErrorBit) < 4096)
      err = static_cast<int>(messageId & ~kSystemErrorBit);
    if (err == 0) {
      lastError = 317;  // ERROR_MR_MID_NOT_FOUND
      return 0;
    }
    text = ErrnoText(err) + ".";
  }
  // System messages end with a line break, as callers expect.
  text += "\r\n";
  if (text.size() + 1 > buffer.size()) {
    lastError = ERROR_INSUFFICIENT_BUFFER;
    return 0;
  }
  std::memcpy(buffer.data(), text.data(), text.size());
  buffer[text.size()] = '\0';
  return static_cast<DWORD>(text.size());
}

namespace {
UINT CopyOut(const std::string& s, std::span<char> buffer) {
  if (s.size() + 1 > buffer.size()) return static_cast<UINT>(s.size() + 1);
  std::memcpy(buffer.data(), s.data(), s.size());
  buffer[s.size()] = '\0';
  return static_cast<UINT>(s.size());
}

bool IsRegularFile(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}
}  // namespace

UINT GetWindowsDirectoryA(std::span<char> buffer) {
  if (Faulted(seam::Op::GetWindowsDirectoryA)) return 0;
  // The directory of the system's own programs.
  return CopyOut("/usr/bin", buffer);
}

std::intptr_t FindExecutableA(const std::string& file, const std::string& directory,
                              std::span<char> result) {
  constexpr std::intptr_t kFound = 42;    // anything above 32 means success
  constexpr std::intptr_t kNotFound = 2;  // SE_ERR_FNF
  if (!result.empty()) result[0] = '\0';
  if (Faulted(seam::Op::FindExecutableA)) return kNotFound;
  if (file.empty() || file.find('\0') != std::string::npos) return kNotFound;
  // As named, or inside the given directory; the file itself stands for the
  // program that would open it. Nothing is searched along PATH.
  std::string found;
  if (IsRegularFile(file))
    found = file;
  else if (file[0] != '/' && !directory.empty() && IsRegularFile(directory + "/" + file))
    found = directory + "/" + file;
  if (found.empty() || found.size() + 1 > result.size()) return kNotFound;
  CopyOut(found, result);
  return kFound;
}

DWORD timeGetTime() {
  if (seam::Active() && seam::Clock()) return seam::Clock()();
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  const auto ms = static_cast<std::uint64_t>(ts.tv_sec) * 1000u +
                  static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u;
  return static_cast<DWORD>(ms);  // wraps like the Windows clock
}

// The Linux clock already has millisecond resolution.
MMRESULT timeBeginPeriod(UINT) { return 0; }
MMRESULT timeEndPeriod(UINT) { return 0; }

namespace runtime {

std::string ExecutablePath() {
  char buf[4096];
  const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf);
  return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string();
}

char PathSeparator() { return '/'; }

std::string CurDir() {
  char buf[4096];
  return getcwd(buf, sizeof buf) ? std::string(buf) : std::string();
}

bool ChDir(const std::string& directory) {
  return directory.find('\0') == std::string::npos && chdir(directory.c_str()) == 0;
}

// There are no drives: every path lies under the one root.
bool ChDrive(const std::string& /*drive*/) { return true; }

namespace {

// A limit file's number; 0 for "max", an absent file or anything else.
std::uint64_t ReadLimit(const std::string& file, const char* key = nullptr) {
  std::ifstream in(file);
  std::string word;
  std::uint64_t v = 0;
  if (!key) return in >> v ? v : 0;
  while (in >> word)
    if (word == key) return in >> v ? v : 0;
  return 0;
}

// A group's folder under a hierarchy's mount; "" when the mount shows
// another part of the hierarchy than the one the group lies in.
std::string GroupFolder(const mounts::Mount& m, const std::string& group) {
  if (m.root == "/") return m.mountPoint + (group == "/" ? "" : group);
  if (group == m.root) return m.mountPoint;
  if (group.compare(0, m.root.size() + 1, m.root + "/") == 0)
    return m.mountPoint + group.substr(m.root.size());
  return "";
}

bool HasOption(const std::string& options, const std::string& name) {
  return ("," + options + ",").find("," + name + ",") != std::string::npos;
}

// The lowest memory limit of the process's control groups: every group
// from its own up to the top of the mounted hierarchy limits it, as a
// parent's limit binds its children, in v2 and in v1 alike. 0 when none.
std::uint64_t CgroupMemoryLimit() {
  std::ifstream self("/proc/self/cgroup");
  std::string v2Group, v1Group;
  for (std::string line; std::getline(self, line);) {
    const auto first = line.find(':');
    const auto second = line.find(':', first + 1);
    if (first == std::string::npos || second == std::string::npos) continue;
    const std::string controllers = line.substr(first + 1, second - first - 1);
    if (line.compare(0, first, "0") == 0 && controllers.empty())
      v2Group = line.substr(second + 1);
    else if (HasOption(controllers, "memory"))
      v1Group = line.substr(second + 1);
  }
  std::uint64_t limit = 0;
  auto lower = [&](std::uint64_t v) {
    if (v > 0 && (limit == 0 || v < limit)) limit = v;
  };
  const auto table = mounts::All();
  for (const auto& m : *table) {
    const bool v2 = m.fsType == "cgroup2" && !v2Group.empty();
    const bool v1 = m.fsType == "cgroup" && !v1Group.empty() && HasOption(m.superOptions, "memory");
    if (!v1 && !v2) continue;
    std::string folder = GroupFolder(m, v2 ? v2Group : v1Group);
    if (folder.empty()) continue;
    if (v1) lower(ReadLimit(folder + "/memory.stat", "hierarchical_memory_limit"));
    // The mount's own folder is the top: nothing above it can be read.
    for (;;) {
      lower(ReadLimit(folder + (v2 ? "/memory.max" : "/memory.limit_in_bytes")));
      if (folder.size() <= m.mountPoint.size()) break;
      folder.resize(folder.rfind('/'));
    }
  }
  return limit;
}

std::atomic<int> stopSignal{0};

void NoteStop(int sig) { stopSignal.store(sig, std::memory_order_relaxed); }

}  // namespace

namespace {
constexpr std::size_t kPage = 4096;
// Address space costs nothing until pages are mapped into it.
constexpr std::size_t kRoom = std::size_t{1} << 30;

std::size_t WholePages(std::size_t n) { return (n + kPage - 1) & ~(kPage - 1); }

// Room without memory behind it, for growth to come. Under a limit on
// address space, twice what is needed, or what is needed, so that a later
// move still finds room beside the old one.
std::byte* SetAside(std::size_t need, std::size_t& room) {
  for (const std::size_t ask : {std::max(2 * need, kRoom), 2 * need, need}) {
    void* p = mmap(nullptr, ask, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (p != MAP_FAILED) {
      room = ask;
      return static_cast<std::byte*>(p);
    }
  }
  throw std::bad_alloc();
}
}  // namespace

GrowingMemory::~GrowingMemory() {
  if (base_) munmap(base_, reserved_);
}

void GrowingMemory::Grow(std::size_t bytes) {
  if (bytes <= usable_) return;
  // A quarter more at least: few calls, few pages mapped ahead of use.
  const std::size_t want = WholePages(std::max(bytes, usable_ + usable_ / 4));
  if (want > reserved_) {
    std::size_t room = 0;
    std::byte* moved = SetAside(want, room);
    // The pages move to the new room, not their contents.
    if (usable_ > 0 &&
        mremap(base_, usable_, usable_, MREMAP_MAYMOVE | MREMAP_FIXED, moved) == MAP_FAILED) {
      munmap(moved, room);
      throw std::bad_alloc();
    }
    if (base_) munmap(base_, reserved_);
    base_ = moved;
    reserved_ = room;
  }
  if (mprotect(base_ + usable_, want - usable_, PROT_READ | PROT_WRITE) != 0)
    throw std::bad_alloc();
  // Kernels before 5.14 refuse; their pages come in at first touch.
  madvise(base_ + usable_, want - usable_, MADV_POPULATE_WRITE);
  usable_ = want;
}

std::uint64_t PhysicalMemory() {
  struct sysinfo info {};
  std::uint64_t total = sysinfo(&info) == 0 ? std::uint64_t{info.totalram} * info.mem_unit : 0;
  const std::uint64_t group = CgroupMemoryLimit();
  if (group != 0 && (total == 0 || group < total)) total = group;
  return total;
}

namespace {
constexpr const char* kWrittenMark = "user.orvandel";
}  // namespace

bool MarkWrittenByProgram(HANDLE file) {
  const int fd = handles::Fd(file);
  return fd >= 0 && fsetxattr(fd, kWrittenMark, "1", 1, 0) == 0;
}

bool WrittenByProgram(const std::string& path) {
  char value[8];
  return path.find('\0') == std::string::npos &&
         getxattr(path.c_str(), kWrittenMark, value, sizeof value) >= 0;
}

std::string MissingLinkTarget(const std::string& path) {
  struct stat st {};
  if (path.find('\0') != std::string::npos || lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
    return "";
  if (stat(path.c_str(), &st) == 0 || (errno != ENOENT && errno != ENOTDIR)) return "";
  char target[4096];
  const ssize_t n = readlink(path.c_str(), target, sizeof target);
  return n > 0 ? std::string(target, static_cast<std::size_t>(n)) : std::string();
}

namespace {
// A connection attempt that gives up after timeoutMs instead of hanging on
// a host that never answers.
bool Connects(int domain, const sockaddr* address, socklen_t length, int timeoutMs) {
  const int fd = socket(domain, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return false;
  bool ok = connect(fd, address, length) == 0;
  if (!ok && errno == EINPROGRESS) {
    pollfd p{fd, POLLOUT, 0};
    int err = 0;
    socklen_t len = sizeof err;
    ok = poll(&p, 1, timeoutMs) == 1 && getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 &&
         err == 0;
  }
  close(fd);
  return ok;
}
}  // namespace

bool DisplayReachable(const std::string& display) {
  const auto colon = display.rfind(':');
  if (colon == std::string::npos) return false;
  std::string host = display.substr(0, colon);
  const std::string number = display.substr(colon + 1, display.find('.', colon) - colon - 1);
  if (number.empty() || number.find_first_not_of("0123456789") != std::string::npos) return false;
  if (host.find('/') != std::string::npos)
    return true;  // a launcher's socket path: not ours to judge
  if (host.empty() || host == "unix") {
    const std::string socketPath = "/tmp/.X11-unix/X" + number;
    // The abstract name first, as Xlib tries it.
    for (const bool abstract : {true, false}) {
      sockaddr_un a{};
      a.sun_family = AF_UNIX;
      const std::size_t offset = abstract ? 1 : 0;
      if (socketPath.size() + offset >= sizeof a.sun_path) return false;
      std::memcpy(a.sun_path + offset, socketPath.data(), socketPath.size());
      const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + offset +
                                                 socketPath.size() + (abstract ? 0 : 1));
      if (Connects(AF_UNIX, reinterpret_cast<const sockaddr*>(&a), length, 2000)) return true;
    }
    if (!host.empty()) return false;
    host = "localhost";
  }
  const int port = 6000 + std::atoi(number.c_str());
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) return false;
  bool ok = false;
  for (addrinfo* a = found; a && !ok; a = a->ai_next)
    ok = Connects(a->ai_family, a->ai_addr, a->ai_addrlen, 2000);
  freeaddrinfo(found);
  return ok;
}

// Read without allocating: the sampler asks twenty times a second.
bool CacheFigures(std::uint64_t* dirtyKiB, std::uint64_t* writebackKiB) {
  const int fd = open("/proc/meminfo", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char buf[8192];
  std::size_t used = 0;
  for (ssize_t n;
       used < sizeof buf - 1 && (n = read(fd, buf + used, sizeof buf - 1 - used)) != 0;) {
    if (n < 0) {
      if (errno == EINTR) continue;
      close(fd);
      return false;
    }
    used += static_cast<std::size_t>(n);
  }
  close(fd);
  buf[used] = '\0';
  // "Writeback:" must not be taken for "WritebackTmp:": the name ends at the colon.
  auto figure = [&](const char* name, std::uint64_t* out) {
    const std::size_t len = std::strlen(name);
    for (const char* line = buf; *line;) {
      if (std::strncmp(line, name, len) == 0) {
        char* end = nullptr;
        const unsigned long long v = std::strtoull(line + len, &end, 10);
        if (end == line + len) return false;
        *out = v;
        return true;
      }
      const char* next = std::strchr(line, '\n');
      if (!next) break;
      line = next + 1;
    }
    return false;
  };
  std::uint64_t dirty = 0, writeback = 0;
  if (!figure("Dirty:", &dirty) || !figure("Writeback:", &writeback)) return false;
  *dirtyKiB = dirty;
  *writebackKiB = writeback;
  return true;
}

bool StderrIsTerminal() { return isatty(STDERR_FILENO) == 1; }

std::uint64_t FrameClockMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
  return static_cast<std::uint64_t>(ts.tv_sec) * 1000u +
         static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u;
}

void CatchStopRequests() {
  struct sigaction sa {};
  sa.sa_handler = NoteStop;
  sigemptyset(&sa.sa_mask);
  // Transfers go on where they were; the loops look at the flag.
  sa.sa_flags = SA_RESTART;
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaction(sig, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
  signal(SIGXFSZ, SIG_IGN);
}

bool KeepStandardStreams() {
  bool outputMissing = false;
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    outputMissing = outputMissing || fd == 1;
    // open() takes the lowest free number, which is this one.
    const int null = open("/dev/null", O_RDWR);
    if (null >= 0 && null != fd) close(null);
  }
  return outputMissing;
}

int StopRequested() { return stopSignal.load(std::memory_order_relaxed); }

void ClearStopRequest() { stopSignal.store(0, std::memory_order_relaxed); }

void RequestStop(int code) { stopSignal.store(code, std::memory_order_relaxed); }

}  // namespace runtime

}  // namespace os
