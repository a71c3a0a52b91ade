// Outputs besides the test file: complete or not at all.
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>

#include "platform/linux/handles.h"
#include "platform/linux/internal.h"
#include "platform/os.h"

namespace os::runtime::output {
namespace {

std::string Reason(int err) {
  char buf[256];
  return strerror_r(err, buf, sizeof buf);
}

// The standard stream path stands for, or -1: "-", its /dev and /proc
// names, and any name of the very file the stream goes to.
int StreamOf(const std::string& path, const struct stat* target) {
  if (path == "-") return STDOUT_FILENO;
  for (int fd : {STDOUT_FILENO, STDERR_FILENO}) {
    struct stat st {};
    if (target && fstat(fd, &st) == 0 && st.st_dev == target->st_dev && st.st_ino == target->st_ino)
      return fd;
  }
  return -1;
}

std::string KindOf(mode_t mode) {
  if (S_ISDIR(mode)) return "is a directory";
  if (S_ISBLK(mode)) return "is a block device, not a file";
  if (S_ISCHR(mode)) return "is a character device, not a file";
  if (S_ISFIFO(mode)) return "is a FIFO, not a file";
  if (S_ISSOCK(mode)) return "is a socket, not a file";
  return "is not a regular file";
}

bool SameFile(const struct stat& a, const std::string& other) {
  struct stat b {};
  return !other.empty() && stat(other.c_str(), &b) == 0 && a.st_dev == b.st_dev &&
         a.st_ino == b.st_ino;
}

// The path with its folder resolved, for names that do not exist yet.
std::string Resolved(const std::string& path) {
  const auto slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "."
                             : slash == 0               ? "/"
                                                        : path.substr(0, slash);
  char* real = realpath(folder.c_str(), nullptr);
  if (!real) return {};
  std::string out = real;
  std::free(real);
  return out + "/" + (slash == std::string::npos ? path : path.substr(slash + 1));
}

// Whether a name that does not exist yet is where the test file will be
// made: the run creates it after the output was checked.
bool SameNewName(const std::string& path, const std::string& protectedFile) {
  if (protectedFile.empty()) return false;
  struct stat st {};
  if (stat(protectedFile.c_str(), &st) == 0) return false;  // it exists: compared by identity
  const std::string a = Resolved(path);
  return !a.empty() && a == Resolved(protectedFile);
}

// The file system's attribute flags (chattr) of a folder or regular file; 0
// where it keeps none or they cannot be read.
int AttributeFlags(const std::string& path, bool folder) {
  const int fd = open(path.c_str(),
                      O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC | (folder ? O_DIRECTORY : 0));
  if (fd < 0) return 0;
  int flags = 0;
  if (ioctl(fd, FS_IOC_GETFLAGS, &flags) != 0) flags = 0;
  close(fd);
  return flags;
}

// What checking path found: where to write, or why not.
struct Plan {
  std::string refusal;  // empty when it may be written
  int stream = -1;      // a standard stream to write to as it is
  std::string folder;   // else: the target's folder and name in it
  std::string name;
  bool exists = false;
  mode_t mode = 0;
  uid_t owner = 0;
  gid_t group = 0;
};

Plan Check(const std::string& path, const std::string& protectedFile) {
  Plan plan;
  if (path.empty() || path.find('\0') != std::string::npos) {
    plan.refusal = "no file name";
    return plan;
  }
  struct stat st {};
  const bool found = stat(path.c_str(), &st) == 0;
  const int err = errno;
  if ((plan.stream = StreamOf(path, found ? &st : nullptr)) >= 0) {
    // The stream itself may be the test file, also when named "-".
    struct stat stream {};
    if (fstat(plan.stream, &stream) == 0 && SameFile(stream, protectedFile))
      plan.refusal = "is the test file";
    return plan;
  }
  std::string target = path;
  if (found) {
    if (!S_ISREG(st.st_mode)) {
      plan.refusal = KindOf(st.st_mode);
      return plan;
    }
    if (SameFile(st, protectedFile)) {
      plan.refusal = "is the test file";
      return plan;
    }
    if ((st.st_mode & 0222) == 0) {
      plan.refusal = "is read-only (no write permission)";
      return plan;
    }
    // A link is followed: the file it leads to is replaced, the link stays.
    struct stat link {};
    if (lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
      char* real = realpath(path.c_str(), nullptr);
      if (!real) {
        plan.refusal = Reason(errno);
        return plan;
      }
      target = real;
      std::free(real);
    }
    plan.exists = true;
    plan.mode = st.st_mode & 07777;
    plan.owner = st.st_uid;
    plan.group = st.st_gid;
  } else if (err != ENOENT) {
    plan.refusal = Reason(err);
    return plan;
  } else {
    struct stat link {};
    if (lstat(path.c_str(), &link) == 0) {
      plan.refusal = "is a symbolic link whose target is missing";
      return plan;
    }
    if (SameNewName(path, protectedFile)) {
      plan.refusal = "is the test file";
      return plan;
    }
  }
  const auto slash = target.rfind('/');
  plan.folder = slash == std::string::npos ? "." : slash == 0 ? "/" : target.substr(0, slash);
  plan.name = slash == std::string::npos ? target : target.substr(slash + 1);
  if (plan.name.empty() || plan.name == "." || plan.name == "..") {
    plan.refusal = "is a directory";
    return plan;
  }
  struct stat folder {};
  if (stat(plan.folder.c_str(), &folder) != 0) {
    plan.refusal = Reason(errno);
  } else if (!S_ISDIR(folder.st_mode)) {
    plan.refusal = Reason(ENOTDIR);
  } else {
    // Writing there would change the running system, not a disk.
    const int fd = open(plan.folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0 && detail::OnPseudoFileSystem(fd))
      plan.refusal = "is a file of the running system, not of a disk";
    if (fd >= 0) close(fd);
  }
  // Replacing takes a rename in the folder: neither an append-only or
  // immutable folder nor such a file allows it, and a run must not be
  // wasted to find that out at its end.
  if (plan.refusal.empty() &&
      (AttributeFlags(plan.folder, true) & (FS_APPEND_FL | FS_IMMUTABLE_FL)))
    plan.refusal = "is in an append-only or immutable folder, where no file can be replaced";
  else if (plan.refusal.empty() && plan.exists) {
    const int flags = AttributeFlags(plan.folder + "/" + plan.name, false);
    if (flags & FS_IMMUTABLE_FL)
      plan.refusal = "is immutable";
    else if (flags & FS_APPEND_FL)
      plan.refusal = "is append-only";
  }
  return plan;
}

// The owner and mode of the file it replaces, not the umask's and the
// caller's; the owner first, as changing it may clear set-ID bits.
void TakeOwnerAndMode(int fd, const Plan& plan) {
  if (!plan.exists) return;
  if (plan.owner != geteuid() || plan.group != getegid()) (void)!fchown(fd, plan.owner, plan.group);
  fchmod(fd, plan.mode);
}

// A name for the temporary file, hidden and short enough for any file system
// that takes the target's own name.
std::string TemporaryName(const std::string& target) {
  static std::mt19937_64 random{std::random_device{}()};
  char suffix[32];
  std::snprintf(suffix, sizeof suffix, ".%016llx.tmp", static_cast<unsigned long long>(random()));
  return "." + target.substr(0, 200) + suffix;
}

}  // namespace

std::string Refusal(const std::string& path, const std::string& protectedFile) {
  return Check(path, protectedFile).refusal;
}

Writer::~Writer() { Abandon(); }

bool Writer::Fail(const std::string& why) {
  if (error_.empty()) error_ = path_ + ": " + why;
  return false;
}

bool Writer::Open(const std::string& path, const std::string& protectedFile) {
  Abandon();
  path_ = path;
  protected_ = protectedFile;
  error_.clear();
  const Plan plan = Check(path, protectedFile);
  if (!plan.refusal.empty()) return Fail(plan.refusal);
  if (plan.stream >= 0) {
    stream_ = true;
    handle_ = plan.stream;
    return true;
  }
  const int dirfd = open(plan.folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (dirfd < 0) return Fail(Reason(errno));
  // A file without a name until the commit: a process killed meanwhile
  // leaves nothing behind.
  const int unnamed =
      openat(dirfd, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, plan.exists ? plan.mode : 0666);
  if (unnamed >= 0) {
    TakeOwnerAndMode(unnamed, plan);
    handle_ = unnamed;
    folder_ = dirfd;
    target_ = plan.name;
    return true;
  }
  // File systems without unnamed files get a named one.
  for (int attempt = 0; attempt < 16; ++attempt) {
    std::string temp = TemporaryName(plan.name);
    const int fd = openat(dirfd, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                          plan.exists ? plan.mode : 0666);
    if (fd < 0 && errno == EEXIST) continue;
    if (fd < 0) {
      const int err = errno;
      close(dirfd);
      return Fail(Reason(err));
    }
    TakeOwnerAndMode(fd, plan);
    handle_ = fd;
    folder_ = dirfd;
    temp_ = std::move(temp);
    target_ = plan.name;
    return true;
  }
  close(dirfd);
  return Fail("no temporary name is free in its folder");
}

bool Writer::Write(std::string_view bytes) {
  if (!IsOpen()) return Fail("is not open");
  const int fd = static_cast<int>(handle_);
  // Lines printed before must come first on a shared stream.
  if (stream_) std::fflush(stdout);
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      // Nothing half-written stays behind.
      Fail(Reason(n < 0 ? errno : EIO));
      Abandon();
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

bool Writer::Commit() {
  if (!IsOpen()) return Fail("is not open");
  const int fd = static_cast<int>(handle_);
  if (stream_) {
    handle_ = INVALID_HANDLE_VALUE;
    stream_ = false;
    return error_.empty();
  }
  if (!error_.empty()) {
    Abandon();
    return false;
  }
  const int dirfd = static_cast<int>(folder_);
  if (fsync(fd) != 0) {
    Fail(Reason(errno));
    Abandon();
    return false;
  }
  // The unnamed file gets its temporary name now, for the rename.
  for (int attempt = 0; temp_.empty() && attempt < 16; ++attempt) {
    const std::string name = TemporaryName(target_);
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    if (linkat(AT_FDCWD, self.c_str(), dirfd, name.c_str(), AT_SYMLINK_FOLLOW) == 0)
      temp_ = name;
    else if (errno != EEXIST)
      break;
  }
  if (temp_.empty()) {
    Fail(errno == EEXIST ? "no temporary name is free in its folder" : Reason(errno));
    Abandon();
    return false;
  }
  close(fd);
  handle_ = INVALID_HANDLE_VALUE;
  // The test file may have been made under this name since the check.
  struct stat now {};
  if (fstatat(dirfd, target_.c_str(), &now, 0) == 0 && SameFile(now, protected_)) {
    Fail("is the test file");
    Abandon();
    return false;
  }
  if (renameat(dirfd, temp_.c_str(), dirfd, target_.c_str()) != 0) {
    Fail(Reason(errno));
    Abandon();
    return false;
  }
  temp_.clear();
  close(dirfd);
  folder_ = INVALID_HANDLE_VALUE;
  return true;
}

void Writer::Abandon() {
  if (stream_) {
    handle_ = INVALID_HANDLE_VALUE;
    stream_ = false;
    return;
  }
  if (handle_ != INVALID_HANDLE_VALUE) close(static_cast<int>(handle_));
  handle_ = INVALID_HANDLE_VALUE;
  if (folder_ != INVALID_HANDLE_VALUE) {
    if (!temp_.empty()) unlinkat(static_cast<int>(folder_), temp_.c_str(), 0);
    close(static_cast<int>(folder_));
  }
  folder_ = INVALID_HANDLE_VALUE;
  temp_.clear();
}

}  // namespace os::runtime::output
