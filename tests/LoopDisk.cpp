#include "tests/LoopDisk.h"

#include <regex>
#include <sstream>

namespace testing_support {

std::string LoopDisk::Unavailable(const std::vector<std::string>& tools, const std::string& mkfs) {
  if (RunCommand("id -u").out != "0\n") return "needs root for loop devices and mounts";
  for (const auto& tool : tools)
    if (RunCommand("command -v " + tool + " >/dev/null").status != 0) return tool + " is missing";
  // The kernel may lack loop devices or the file system: try it once.
  TempDir dir;
  LoopDisk probe(dir, "300M");
  if (!probe.Ready()) return "no loop device can be attached here";
  if (probe.Format(0, mkfs).empty())
    return "'" + mkfs + "' cannot be mounted from a loop device here";
  return "";
}

LoopDisk::LoopDisk(const TempDir& dir, const std::string& size, const std::string& table,
                   const std::string& losetupOptions)
    : dir_(dir), image_(dir.File("disk.img")) {
  if (RunCommand("truncate -s " + size + " " + image_).status != 0) return;
  if (!table.empty() &&
      RunCommand("printf '" + table + "' | sfdisk -q " + image_ + " >/dev/null").status != 0)
    return;
  auto r = RunCommand("losetup -f --show " + losetupOptions + " " + image_);
  if (r.status != 0) return;
  device_ = r.out.substr(0, r.out.find('\n'));
  // The kernel here parses no partition tables: partx adds them.
  if (!table.empty() && RunCommand("partx -a " + device_).status != 0) return;
}

LoopDisk::~LoopDisk() {
  for (auto it = mounts_.rbegin(); it != mounts_.rend(); ++it)
    if (RunCommand("umount " + *it + " 2>/dev/null").status != 0) RunCommand("umount -l " + *it);
  if (!device_.empty()) {
    RunCommand("partx -d " + device_ + " 2>/dev/null");
    RunCommand("losetup -d " + device_);
  }
}

std::string LoopDisk::Device(int partition) const {
  return partition == 0 ? device_ : device_ + "p" + std::to_string(partition);
}

long long LoopDisk::PartitionStart(int partition) const {
  const std::string name = Device(partition).substr(5);  // after /dev/
  return std::stoll("0" + ReadText("/sys/class/block/" + name + "/start")) * 512;
}

std::string LoopDisk::Format(int partition, const std::string& mkfs,
                             const std::string& mountOptions) {
  if (RunCommand(mkfs + " " + Device(partition) + " >/dev/null 2>&1").status != 0) return "";
  return Mount(partition, mountOptions);
}

std::string LoopDisk::Mount(int partition, const std::string& mountOptions) {
  const std::string dev = Device(partition);
  const std::string point =
      dir_.File("mnt" + std::to_string(partition) + "-" + std::to_string(++mountCount_));
  if (RunCommand("mkdir -p " + point).status != 0) return "";
  const std::string opts = mountOptions.empty() ? "" : " -o " + mountOptions;
  if (RunCommand("mount" + opts + " " + dev + " " + point).status != 0) return "";
  mounts_.push_back(point);
  return point;
}

FilefragReport Filefrag(const std::string& path) {
  FilefragReport report;
  const auto r = RunCommand("filefrag -v " + path);
  std::smatch m;
  long long blockSize = 0;
  if (std::regex_search(r.out, m, std::regex(R"(blocks of (\d+) bytes)")))
    blockSize = std::stoll(m[1]);
  if (std::regex_search(r.out, m, std::regex(R"((\d+) extents? found)")))
    report.extents = std::stoi(m[1]);
  std::istringstream lines(r.out);
  const std::regex extent(R"(^\s*\d+:\s*\d+\.\.\s*\d+:\s*(\d+)\.\.\s*(\d+):)");
  long long nextBlock = -1;
  for (std::string line; std::getline(lines, line);) {
    if (!std::regex_search(line, m, extent)) continue;
    const long long first = std::stoll(m[1]), last = std::stoll(m[2]);
    // Records that continue each other on the disk are one fragment.
    if (first != nextBlock) report.physicalBytes.push_back(first * blockSize);
    nextBlock = last + 1;
  }
  return report;
}

}  // namespace testing_support
