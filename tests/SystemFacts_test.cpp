// The system record against what uname, findmnt and lsblk say of the same
// paths: a tmpfs, the disk the temporary folder is on, and an ext4 on a
// partition of a loop device with 4,096-byte sectors.
#include <gtest/gtest.h>

#include <string>

#include "cli/SystemJson.h"
#include "platform/os.h"
#include "tests/LoopDisk.h"
#include "tests/support.h"

namespace {

using testing_support::RunCommand;

std::string FirstWord(const std::string& command) {
  const std::string out = RunCommand(command).out;
  const auto start = out.find_first_not_of(" \n");
  if (start == std::string::npos) return "";
  return out.substr(start, out.find_first_of(" \n", start) - start);
}
// The topmost of the mounts findmnt lists for a path.
std::string Findmnt(const std::string& column, const std::string& path) {
  return FirstWord("findmnt -n -o " + column + " -T '" + path + "' | tail -n 1");
}
nlohmann::json Number(const std::string& text) {
  return text.empty() ? nlohmann::json(nullptr) : nlohmann::json(std::stoul(text));
}

TEST(SystemFacts, NameTheKernelTheMountAndTheDiskBeneathAPath) {
  if (RunCommand("command -v findmnt && command -v lsblk").status != 0)
    GTEST_SKIP() << "findmnt or lsblk is missing";
  testing_support::TempDir dir;
  // A file not made yet: the folder it would be made in tells.
  const std::string onDisk = dir.File("not-yet.bin");
  const nlohmann::json disk = SystemJson(os::runtime::DescribeSystem(onDisk));
  std::string uname = RunCommand("uname -srv").out;
  uname.pop_back();
  EXPECT_EQ(disk["kernel"], uname);
  EXPECT_EQ(disk["file_system"], Findmnt("FSTYPE", dir.path().string()));
  EXPECT_EQ(disk["mount_options"], Findmnt("OPTIONS", dir.path().string()));
  // The disk itself, not its partition, as lsblk names it.
  const std::string source = Findmnt("SOURCE", dir.path().string());
  if (source.starts_with("/dev/") && source.find('[') == std::string::npos) {
    std::string whole = FirstWord("lsblk -no PKNAME " + source);
    whole = whole.empty() ? source : "/dev/" + whole;
    const auto device = disk["device"];
    std::string model = RunCommand("lsblk -dno MODEL " + whole).out;
    model = model.substr(0, model.find_last_not_of(" \n") + 1);
    if (!whole.starts_with("/dev/loop") && !whole.starts_with("/dev/dm-")) {
      EXPECT_EQ(device["model"], model.empty() ? nlohmann::json(nullptr) : nlohmann::json(model));
    }
    EXPECT_EQ(device["rotational"], FirstWord("lsblk -dno ROTA " + whole) == "1");
    EXPECT_EQ(device["logical_sector_size"], Number(FirstWord("lsblk -dno LOG-SEC " + whole)));
  }

  if (const std::string why = testing_support::ScratchMount::Unavailable(); !why.empty())
    GTEST_SKIP() << why;
  // A tmpfs has its options and no device at all.
  testing_support::ScratchMount tmpfs("tmpfs", "size=4m,mode=0700,noexec");
  ASSERT_TRUE(tmpfs.Ready());
  const nlohmann::json memory = SystemJson(os::runtime::DescribeSystem(tmpfs.File("a")));
  EXPECT_EQ(memory["file_system"], "tmpfs");
  EXPECT_EQ(memory["mount_options"], Findmnt("OPTIONS", tmpfs.Path()));
  EXPECT_NE(memory["mount_options"].get<std::string>().find("noexec"), std::string::npos);
  EXPECT_EQ(memory["device"], nlohmann::json::parse(R"({"model": null, "rotational": null,
                                                         "logical_sector_size": null})"));

  // A partition leads to its disk: a loop device, with the sector size it
  // was attached with.
  const std::string why = testing_support::LoopDisk::Unavailable(
      {"sfdisk", "partx", "losetup", "mkfs.ext4"}, "mkfs.ext4 -q -F");
  if (!why.empty()) GTEST_SKIP() << why;
  testing_support::TempDir loopDir;
  testing_support::LoopDisk loop(loopDir, "64M", "label: dos\\nstart=256, size=8192\\n",
                                 "--sector-size 4096");
  ASSERT_TRUE(loop.Ready());
  const std::string mnt = loop.Format(1, "mkfs.ext4 -q -F -b 4096", "noatime,nodelalloc");
  ASSERT_FALSE(mnt.empty());
  const nlohmann::json ext4 = SystemJson(os::runtime::DescribeSystem(mnt + "/sub/file"));
  EXPECT_EQ(ext4["file_system"], "ext4");
  EXPECT_EQ(ext4["mount_options"], Findmnt("OPTIONS", mnt));
  EXPECT_NE(ext4["mount_options"].get<std::string>().find("nodelalloc"), std::string::npos);
  EXPECT_EQ(ext4["device"]["model"], "loop");
  EXPECT_EQ(ext4["device"]["logical_sector_size"], 4096);
  EXPECT_EQ(ext4["device"]["rotational"], FirstWord("lsblk -dno ROTA " + loop.Device()) == "1");
}

}  // namespace
