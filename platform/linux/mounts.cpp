#include "platform/linux/mounts.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <vector>

namespace os::mounts {
namespace {

// mountinfo escapes blanks and backslashes as \040, \011, \012 and \134.
std::string Unescape(const std::string& s) {
  auto octal = [](char c) { return c >= '0' && c <= '7'; };
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 3 < s.size() && octal(s[i + 1]) && octal(s[i + 2]) && octal(s[i + 3])) {
      out += static_cast<char>((s[i + 1] - '0') * 64 + (s[i + 2] - '0') * 8 + (s[i + 3] - '0'));
      i += 3;
    } else {
      out += s[i];
    }
  }
  return out;
}

std::vector<Mount> Parse(const std::string& text) {
  std::vector<Mount> mounts;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    std::istringstream fields(line);
    std::string id, parent, majmin, root, point;
    Mount m;
    fields >> id >> parent >> majmin >> root >> point >> m.options;
    std::string word;
    while (fields >> word && word != "-") {
    }
    fields >> m.fsType >> m.source >> m.superOptions;
    m.id = std::atoi(id.c_str());
    m.mountPoint = Unescape(point);
    m.root = Unescape(root);
    m.source = Unescape(m.source);
    std::sscanf(majmin.c_str(), "%u:%u", &m.major, &m.minor);
    mounts.push_back(std::move(m));
  }
  return mounts;
}

// The kernel marks an open mountinfo with POLLPRI when the table changes;
// an open file keeps showing the namespace it was opened in, so a change of
// namespace opens it again.
struct Cache {
  std::mutex mutex;
  int fd = -1;
  ino_t ns = 0;
  std::shared_ptr<const std::vector<Mount>> table;
};
Cache cache;

ino_t MountNamespace() {
  struct stat st {};
  return stat("/proc/self/ns/mnt", &st) == 0 ? st.st_ino : 0;
}

bool ReadAll(int fd, std::string& text) {
  text.clear();
  char buf[65536];
  for (off_t at = 0;;) {
    const ssize_t n = pread(fd, buf, sizeof buf, at);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    text.append(buf, static_cast<std::size_t>(n));
    at += n;
  }
}

std::shared_ptr<const std::vector<Mount>> ReadMounts() {
  std::lock_guard lock(cache.mutex);
  const ino_t ns = MountNamespace();
  if (cache.fd >= 0 && ns != cache.ns) {
    close(cache.fd);
    cache.fd = -1;
  }
  if (cache.fd >= 0) {
    pollfd p{cache.fd, POLLPRI, 0};
    if (poll(&p, 1, 0) == 0 && cache.table) return cache.table;
  } else {
    cache.fd = open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC);
    cache.ns = ns;
  }
  std::string text;
  if (cache.fd < 0 || !ReadAll(cache.fd, text)) {
    if (cache.fd >= 0) close(cache.fd);
    cache.fd = -1;
    cache.table = std::make_shared<const std::vector<Mount>>();
    return cache.table;  // nothing cached: the next call tries again
  }
  cache.table = std::make_shared<const std::vector<Mount>>(Parse(text));
  return cache.table;
}

// The absolute path with every existing part resolved.
std::string Resolve(const std::string& path) {
  std::error_code ec;
  auto p = std::filesystem::weakly_canonical(std::filesystem::absolute(path, ec), ec);
  return ec ? std::string() : p.lexically_normal().string();
}

bool Contains(const std::string& mountPoint, const std::string& path) {
  if (mountPoint == "/") return true;
  return path.compare(0, mountPoint.size(), mountPoint) == 0 &&
         (path.size() == mountPoint.size() || path[mountPoint.size()] == '/');
}

std::string ReadSysfs(unsigned major, unsigned minor, const std::string& leaf) {
  std::ifstream in("/sys/dev/block/" + std::to_string(major) + ":" + std::to_string(minor) + "/" +
                   leaf);
  std::string value;
  in >> value;
  return value;
}

}  // namespace

std::shared_ptr<const std::vector<Mount>> All() { return ReadMounts(); }

std::optional<Mount> MountOf(const std::string& path) {
  const std::string resolved = Resolve(path);
  const auto table = ReadMounts();
  const Mount* best = nullptr;
  for (const auto& m : *table)
    if (Contains(m.mountPoint, resolved) &&
        (!best || m.mountPoint.size() >= best->mountPoint.size()))
      best = &m;
  return best ? std::optional<Mount>(*best) : std::nullopt;
}

std::optional<Mount> MountAt(const std::string& mountPoint) {
  const auto table = ReadMounts();
  const Mount* found = nullptr;
  for (const auto& m : *table)
    if (m.mountPoint == mountPoint) found = &m;
  return found ? std::optional<Mount>(*found) : std::nullopt;
}

std::optional<std::string> BlockDevice(const Mount& m) {
  struct stat st {};
  if (m.source.empty() || m.source[0] != '/' || stat(m.source.c_str(), &st) != 0 ||
      !S_ISBLK(st.st_mode))
    return std::nullopt;
  return m.source;
}

std::optional<Geometry> GeometryOf(const Mount& m) {
  struct statvfs vfs {};
  if (statvfs(m.mountPoint.c_str(), &vfs) != 0) return std::nullopt;
  Geometry g;
  // The logical sector size of the device, or of the disk a partition is on.
  unsigned major = m.major, minor = m.minor;
  struct stat st {};
  if (auto dev = BlockDevice(m); dev && stat(dev->c_str(), &st) == 0) {
    major = ::major(st.st_rdev);
    minor = ::minor(st.st_rdev);
  }
  std::string lbs = ReadSysfs(major, minor, "queue/logical_block_size");
  if (lbs.empty()) lbs = ReadSysfs(major, minor, "../queue/logical_block_size");
  if (const long v = std::atol(lbs.c_str()); v > 0)
    g.bytesPerSector = static_cast<std::uint32_t>(v);
  const std::uint64_t block = vfs.f_frsize ? vfs.f_frsize : vfs.f_bsize;
  g.sectorsPerCluster =
      static_cast<std::uint32_t>(std::max<std::uint64_t>(1, block / g.bytesPerSector));
  const std::uint64_t cluster = g.ClusterSize();
  g.freeClusters = vfs.f_bavail * block / cluster;
  g.totalClusters = vfs.f_blocks * block / cluster;
  return g;
}

std::string ReadBootSector(const Mount& m) {
  const auto dev = BlockDevice(m);
  if (!dev) return {};
  const int fd = open(dev->c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {};
  std::string buf(4096, '\0');
  const ssize_t n = pread(fd, buf.data(), buf.size(), 0);
  close(fd);
  return n == static_cast<ssize_t>(buf.size()) ? buf : std::string();
}

}  // namespace os::mounts
