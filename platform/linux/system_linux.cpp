// The kernel, file system, mount and disk that hold a path, for the JSON
// records a comparison of two machines starts from.
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/utsname.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include "platform/linux/mounts.h"
#include "platform/os.h"

namespace os::runtime {
namespace {

namespace fs = std::filesystem;

// A sysfs attribute's first line without its surrounding blanks (SCSI
// models are padded to 16 characters).
std::string Attribute(const fs::path& file) {
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  const auto first = line.find_first_not_of(" \t");
  if (first == std::string::npos) return "";
  return line.substr(first, line.find_last_not_of(" \t") + 1 - first);
}

std::vector<std::string> Split(const std::string& list) {
  std::vector<std::string> parts;
  std::istringstream in(list);
  for (std::string part; std::getline(in, part, ',');)
    if (!part.empty()) parts.push_back(part);
  return parts;
}

// As findmnt shows them: ro or rw first, then the mount's options, then the
// file system's, each without its own ro or rw.
std::string MountOptions(const mounts::Mount& m) {
  const auto vfs = Split(m.options), super = Split(m.superOptions);
  bool readOnly = false;
  std::string out;
  for (const auto* list : {&vfs, &super})
    for (const auto& o : *list) {
      if (o == "ro") readOnly = true;
      if (o != "ro" && o != "rw") out += "," + o;
    }
  return (readOnly ? "ro" : "rw") + out;
}

SystemFacts::Device DeviceOf(const mounts::Mount& m) {
  SystemFacts::Device d;
  // A file system on a block device names it as its source; btrfs and a
  // few others show an anonymous number in the mount table instead.
  unsigned major = m.major, minor = m.minor;
  struct stat st {};
  if (auto dev = mounts::BlockDevice(m); dev && stat(dev->c_str(), &st) == 0) {
    major = ::major(st.st_rdev);
    minor = ::minor(st.st_rdev);
  }
  std::error_code ec;
  fs::path disk =
      fs::canonical("/sys/dev/block/" + std::to_string(major) + ":" + std::to_string(minor), ec);
  if (ec) return d;  // tmpfs, overlay, proc: no block device
  // A partition's folder is inside its disk's.
  if (fs::exists(disk / "partition", ec)) disk = disk.parent_path();
  const std::string name = disk.filename().string();
  if (name.starts_with("loop"))
    d.model = "loop";
  else if (const std::string mapped = Attribute(disk / "dm" / "name"); !mapped.empty())
    d.model = "device-mapper " + mapped;
  else
    d.model = Attribute(disk / "device" / "model");
  if (const std::string r = Attribute(disk / "queue" / "rotational"); r == "0" || r == "1")
    d.rotational = r == "1";
  const std::string lbs = Attribute(disk / "queue" / "logical_block_size");
  if (!lbs.empty() && lbs.find_first_not_of("0123456789") == std::string::npos && lbs.size() < 10)
    d.logicalSectorSize = static_cast<std::uint32_t>(std::stoul(lbs));
  return d;
}

}  // namespace

SystemFacts DescribeSystem(const std::string& path) {
  SystemFacts facts;
  struct utsname u {};
  if (uname(&u) == 0) facts.kernel = std::string(u.sysname) + " " + u.release + " " + u.version;
  // The mount that holds the path, or the folder it would be made in.
  if (const auto m = mounts::MountOf(path.empty() ? "." : path)) {
    facts.fileSystem = m->fsType;
    facts.mountOptions = MountOptions(*m);
    facts.device = DeviceOf(*m);
  }
  return facts;
}

}  // namespace os::runtime
