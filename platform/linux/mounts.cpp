#include "platform/linux/mounts.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <filesystem>
#include <cstdlib>
#include <fstream>
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

std::vector<Mount> ReadMounts() {
  std::vector<Mount> mounts;
  std::ifstream in("/proc/self/mountinfo");
  for (std::string line; std::getline(in, line);) {
    std::istringstream fields(line);
    std::string id, parent, majmin, root, point;
    fields >> id >> parent >> majmin >> root >> point;
    std::string word;
    while (fields >> word && word != "-") {
    }
    Mount m;
    fields >> m.fsType >> m.source;
    m.mountPoint = Unescape(point);
    m.source = Unescape(m.source);
    std::sscanf(majmin.c_str(), "%u:%u", &m.major, &m.minor);
    mounts.push_back(std::move(m));
  }
  return mounts;
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
  std::ifstream in("/sys/dev/block/" + std::to_string(major) + ":" + std::to_string(minor) + "/" + leaf);
  std::string value;
  in >> value;
  return value;
}

}  // namespace

std::vector<Mount> All() { return ReadMounts(); }

std::optional<Mount> MountOf(const std::string& path) {
  const std::string resolved = Resolve(path);
  std::optional<Mount> best;
  for (auto& m : ReadMounts())
    if (Contains(m.mountPoint, resolved) && (!best || m.mountPoint.size() >= best->mountPoint.size()))
      best = std::move(m);
  return best;
}

std::optional<Mount> MountAt(const std::string& mountPoint) {
  std::optional<Mount> found;
  for (auto& m : ReadMounts())
    if (m.mountPoint == mountPoint) found = std::move(m);
  return found;
}

std::optional<std::string> BlockDevice(const Mount& m) {
  struct stat st {};
  if (m.source.empty() || m.source[0] != '/' || stat(m.source.c_str(), &st) != 0 || !S_ISBLK(st.st_mode))
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
  if (const long v = std::atol(lbs.c_str()); v > 0) g.bytesPerSector = static_cast<std::uint32_t>(v);
  const std::uint64_t block = vfs.f_frsize ? vfs.f_frsize : vfs.f_bsize;
  g.sectorsPerCluster = static_cast<std::uint32_t>(std::max<std::uint64_t>(1, block / g.bytesPerSector));
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
