// The create-and-delete test: what it creates, what it deletes, and that it
// never deletes anything it did not create.
#include <gtest/gtest.h>
#include <sys/statvfs.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <map>
#include <regex>

#include "createdelete/basCreateDelete.h"
#include "form/HeadlessForm.h"
#include "form/frmMain.h"
#include "platform/seam.h"
#include "tests/LoopDisk.h"
#include "tests/support.h"

namespace {

namespace fs = std::filesystem;
using os::seam::Op;

class CreateDelete : public ::testing::Test {
 protected:
  void SetUp() override {
    os::seam::Reset();
    form.SetText(Ctl::txtTestFile, 0, testFile);
    form.SetText(Ctl::txtNumberOfFiles, 0, "10");
    form.SetCaptionObserver(
        [this](Ctl, int i, const std::string& text) { captions[i].push_back(text); });
  }
  void TearDown() override { os::seam::Reset(); }

  // True when a status line counted 0, 1, ... n - 1 among its captions.
  bool Counted(int line, int n) const {
    std::vector<std::string> counts, expected;
    for (const auto& c : captions.at(line))
      if (!c.empty() && std::isdigit(static_cast<unsigned char>(c[0])) &&
          c.find(' ') == std::string::npos)
        counts.push_back(c);
    for (int i = 0; i < n; ++i) expected.push_back(std::to_string(i));
    return counts == expected;
  }
  std::vector<std::string> Names() const {
    std::vector<std::string> v;
    for (const auto& e : fs::directory_iterator(dir.path()))
      v.push_back(e.path().filename().string());
    std::sort(v.begin(), v.end());
    return v;
  }

  testing_support::TempDir dir;
  std::string testFile = dir.File("t.tmp");
  HeadlessForm form;
  frmMain window{form};
  std::map<int, std::vector<std::string>> captions;
};

TEST_F(CreateDelete, CreatesTheNumberedNamesAndDeletesExactlyThem) {
  testing_support::WriteText(testFile, "mine");
  std::vector<std::string> seen;
  form.SetCaptionObserver([&](Ctl, int i, const std::string& text) {
    captions[i].push_back(text);
    if (i == 1 && text == "flushing...") seen = Names();
  });
  window.cmdCreateAndDeleteFiles_Click();
  std::vector<std::string> expected{"t.tmp"};
  for (int i = 0; i < 10; ++i) expected.push_back("t.tmp.000" + std::to_string(i));
  EXPECT_EQ(seen, expected);
  EXPECT_EQ(Names(), std::vector<std::string>{"t.tmp"});
  EXPECT_EQ(testing_support::ReadText(testFile), "mine");

  EXPECT_TRUE(Counted(0, 10));
  EXPECT_TRUE(Counted(2, 10));
  EXPECT_NE(form.Text(Ctl::lblReadStatus, 0).find(" ms per file creation"), std::string::npos);
  EXPECT_NE(form.Text(Ctl::lblReadStatus, 1).find(" ms flush time"), std::string::npos);
  EXPECT_NE(form.Text(Ctl::lblReadStatus, 2).find(" ms per file delete"), std::string::npos);
  EXPECT_NE(form.Text(Ctl::lblReadStatus, 3).find(" ms flush time"), std::string::npos);
  EXPECT_EQ(form.Text(Ctl::lblReadStatus, 4).rfind("1 Fragment", 0), 0u)
      << "the test file's line stays: " << form.Text(Ctl::lblReadStatus, 4);
  EXPECT_TRUE(form.Messages().empty());
  EXPECT_EQ(form.MousePointer(), vbDefault);
  EXPECT_EQ(window.LastCreateDelete().created, 10);
  EXPECT_EQ(os::seam::OpenHandles(), 0u);
}

TEST_F(CreateDelete, NumberOfFilesIsRoundedAndClamped) {
  const std::pair<const char*, int> cases[] = {
      {"5", 10},       {"20000", 10000},       {"files", 10},        {"12.5", 12},
      {"13.5", 14},    {"99999999999", 10000}, {"-99999999999", 10}, {"1e400", 10000},
      {" 1 6 0", 160},
  };
  for (const auto& [text, n] : cases) EXPECT_EQ(NumberOfFiles(text), n) << text;

  form.SetText(Ctl::txtNumberOfFiles, 0, "5");
  window.cmdCreateAndDeleteFiles_Click();
  EXPECT_EQ(form.Text(Ctl::txtNumberOfFiles), "10");
}

TEST_F(CreateDelete, AFailedCreationStopsTheLoopAndTheRestIsTimedAndDeleted) {
  // The fourth file fails.
  os::seam::FailNext(Op::CreateFileA, os::ERROR_ACCESS_DENIED, 3);
  window.cmdCreateAndDeleteFiles_Click();
  ASSERT_EQ(form.Messages().size(), 1u);
  EXPECT_EQ(form.Messages()[0].prompt, "Error: Permission denied.\r\n" + testFile + ".0003");
  EXPECT_EQ(form.Messages()[0].style, vbOKOnly);
  EXPECT_EQ(window.LastCreateDelete().created, 3);
  EXPECT_TRUE(Counted(0, 3));
  EXPECT_TRUE(Counted(2, 3));
  EXPECT_TRUE(Names().empty());

  // The very first file: nothing to time.
  captions.clear();
  os::seam::FailNext(Op::CreateFileA, os::ERROR_ACCESS_DENIED);
  window.cmdCreateAndDeleteFiles_Click();
  EXPECT_EQ(window.LastCreateDelete().created, 0);
  for (int i = 0; i <= 4; ++i) EXPECT_EQ(form.Text(Ctl::lblReadStatus, i), "");
}

TEST_F(CreateDelete, NeverDeletesAFileItDidNotCreate) {
  testing_support::WriteText(testFile + ".0003", "the user's");
  window.cmdCreateAndDeleteFiles_Click();
  ASSERT_EQ(form.Messages().size(), 1u);
  EXPECT_EQ(form.Messages()[0].prompt, "Error: File exists.\r\n" + testFile + ".0003");
  EXPECT_EQ(window.LastCreateDelete().created, 3);
  EXPECT_EQ(testing_support::ReadText(testFile + ".0003"), "the user's");
  EXPECT_EQ(Names(), std::vector<std::string>{"t.tmp.0003"});

  // A name with a wildcard is a name, not a pattern.
  fs::remove(testFile + ".0003");
  testing_support::WriteText(dir.File("ab.0000"), "keep");
  form.SetText(Ctl::txtTestFile, 0, dir.File("a*"));
  window.cmdCreateAndDeleteFiles_Click();
  EXPECT_EQ(window.LastCreateDelete().created, 10);
  EXPECT_EQ(Names(), std::vector<std::string>{"ab.0000"});
}

TEST_F(CreateDelete, WithoutAVolumeOnlyTheFlushesAreSkippedAndAFailedOneFailsTheTest) {
  os::seam::FailNext(Op::OpenVolumeOfHandle, os::ERROR_PATH_NOT_FOUND);
  window.cmdCreateAndDeleteFiles_Click();
  EXPECT_EQ(window.LastCreateDelete().created, 10);
  EXPECT_FALSE(window.LastCreateDelete().volumeOpened);
  EXPECT_EQ(os::seam::Calls(Op::FlushFileBuffers), 0u);
  EXPECT_NE(form.Text(Ctl::lblReadStatus, 3).find(" ms flush time"), std::string::npos);
  EXPECT_TRUE(Names().empty());

  // No real volume flush can be made to fail while the files stay creatable.
  os::seam::FailNext(Op::FlushFileBuffers, os::ERROR_IO_DEVICE,
                     2);  // the flush after the deletions
  window.cmdCreateAndDeleteFiles_Click();
  EXPECT_EQ(form.Text(Ctl::lblReadStatus, 3), "flush failed: Input/output error.");
  EXPECT_NE(form.Text(Ctl::lblReadStatus, 1).find(" ms flush time"), std::string::npos);
  ASSERT_EQ(form.Messages().size(), 1u);
  EXPECT_EQ(form.Messages()[0].prompt, "Error");
  EXPECT_NE(form.Messages()[0].detail.find("Input/output error."), std::string::npos);
  EXPECT_FALSE(window.LastCreateDelete().finished);
  EXPECT_TRUE(Names().empty());
}

TEST_F(CreateDelete, TheTickedFlagsReachEveryOpen) {
  for (int i = 0; i < 4; ++i) form.SetValue(Ctl::chkFileFlags, i, 1);
  std::vector<std::uint32_t> flags;
  form.SetCaptionObserver([&](Ctl ctl, int i, const std::string&) {
    if (ctl == Ctl::lblReadStatus && i == 0) flags.push_back(os::seam::LastCreateFlags());
  });
  window.cmdCreateAndDeleteFiles_Click();
  ASSERT_EQ(window.LastCreateDelete().created, 10)
      << (form.Messages().empty() ? "" : form.Messages()[0].prompt);
  for (std::size_t k = 1; k <= 10; ++k)  // after ClearReadStatus: one caption per file
    EXPECT_EQ(flags.at(k), 0xB8000000u | os::FILE_ATTRIBUTE_NORMAL);
}

// A user who leaves the "File exists" box open for six seconds.
class SlowToAnswer : public HeadlessForm {
 public:
  std::uint32_t now = 0;
  int MsgBox(const std::string& prompt, int style, const std::string& detail) override {
    now += 6000;
    return HeadlessForm::MsgBox(prompt, style, detail);
  }
};

TEST(CreateDeleteTiming, AMessageLeftOpenIsNoCreationTime) {
  testing_support::TempDir dir;
  testing_support::WriteText(dir.File("t.0003"), "someone else's");
  SlowToAnswer form;
  frmMain window(form);
  os::seam::SetClock([&] { return form.now++; });
  form.SetText(Ctl::txtTestFile, 0, dir.File("t"));
  form.SetText(Ctl::txtNumberOfFiles, 0, "10");
  window.cmdCreateAndDeleteFiles_Click();
  os::seam::Reset();
  ASSERT_EQ(window.LastCreateDelete().created, 3);
  ASSERT_EQ(form.Messages().size(), 1u) << "the box was shown";
  EXPECT_LT(window.LastCreateDelete().createMs, 100) << "the box's six seconds were counted";
}

TEST_F(CreateDelete, TimesBelowATenthOfAMillisecondShowTwoSignificantDigits) {
  // A clock that stands still: every millisecond figure is 0.
  os::seam::SetClock([] { return 7u; });
  window.cmdCreateAndDeleteFiles_Click();
  for (int line : {0, 2}) {
    const std::string text = form.Text(Ctl::lblReadStatus, line);
    SCOPED_TRACE(text);
    const auto space = text.find(' ');
    const std::string number = text.substr(0, space);
    // A busy machine may take more than 0.1 ms a file: still two digits.
    ASSERT_EQ(number.rfind("0.", 0), 0u);
    const std::string digits = number.substr(number.find_first_not_of("0.", 0));
    EXPECT_EQ(digits.size(), 2u) << "two significant digits";
    EXPECT_GT(std::stod(number), 0.0);
  }
  // From a tenth of a millisecond up, one decimal as ever: 10 files in 25 ms.
  std::uint32_t now = 0;
  os::seam::SetClock([&] { return now += 25; });
  window.cmdCreateAndDeleteFiles_Click();
  EXPECT_TRUE(std::regex_match(form.Text(Ctl::lblReadStatus, 0),
                               std::regex("[1-9][0-9]*\\.[0-9] ms per file creation")))
      << form.Text(Ctl::lblReadStatus, 0);
}

TEST_F(CreateDelete, StopRequestsAndExceptionsDeleteExactlyTheCreatedFiles) {
  testing_support::WriteText(dir.File("t.tmp.0007"), "not ours");
  struct sigaction before {};
  sigaction(SIGTERM, nullptr, &before);
  os::runtime::CatchStopRequests();
  form.SetCaptionObserver([](Ctl, int i, const std::string& text) {
    if (i == 0 && text == "4") raise(SIGTERM);
  });
  window.cmdCreateAndDeleteFiles_Click();
  EXPECT_EQ(window.LastCreateDelete().stoppedBy, SIGTERM);
  EXPECT_EQ(window.LastCreateDelete().created, 5);
  os::runtime::ClearStopRequest();
  sigaction(SIGTERM, &before, nullptr);
  EXPECT_EQ(Names(), (std::vector<std::string>{"t.tmp.0007"}));
  EXPECT_TRUE(form.Messages().empty());

  bool thrown = false;
  form.SetCaptionObserver([&](Ctl, int i, const std::string& text) {
    if (i == 0 && text == "2" && !thrown) {
      thrown = true;
      throw std::length_error("too long");
    }
  });
  window.cmdCreateAndDeleteFiles_Click();
  EXPECT_EQ(Names(), (std::vector<std::string>{"t.tmp.0007"}));
  ASSERT_EQ(form.Messages().size(), 1u);
  EXPECT_EQ(form.Messages()[0].prompt, "Error");
  EXPECT_EQ(form.Messages()[0].detail, testFile + ": too long");
  EXPECT_EQ(form.MousePointer(), vbDefault);
}

TEST_F(CreateDelete, InAnAppendOnlyFolderFilesThatCannotBeDeletedAreNamedAndTheTestFails) {
  const std::string folder = dir.File("append-only");
  fs::create_directory(folder);
  if (testing_support::RunCommand("chattr +a " + folder + " 2>/dev/null").status != 0)
    GTEST_SKIP() << "chattr +a is not possible here (needs root and ext2/3/4)";
  form.SetText(Ctl::txtTestFile, 0, folder + "/t");
  window.cmdCreateAndDeleteFiles_Click();
  testing_support::RunCommand("chattr -a " + folder);
  EXPECT_EQ(window.LastCreateDelete().notDeleted, 10);
  EXPECT_FALSE(window.LastCreateDelete().finished);
  ASSERT_EQ(form.Messages().size(), 1u);
  EXPECT_EQ(form.Messages()[0].prompt, "Error");
  EXPECT_EQ(form.Messages()[0].detail.rfind(
                "10 of 10 files could not be deleted and are still there; the first: " + folder +
                    "/t.0000: Operation not permitted.",
                0),
            0u)
      << form.Messages()[0].detail;
}

TEST_F(CreateDelete, OnADeepMountAMountPointOfAnyLengthGetsItsFlush) {
  if (!testing_support::ScratchMount::Unavailable().empty()) GTEST_SKIP() << "mounting needs root";
  const std::string deep = dir.File(std::string(200, 'd') + "/" + std::string(100, 'e'));
  fs::create_directories(deep);
  ASSERT_EQ(testing_support::RunCommand("mount -t tmpfs orvandel-test " + deep).status, 0);
  form.SetText(Ctl::txtTestFile, 0, deep + "/t");
  window.cmdCreateAndDeleteFiles_Click();
  testing_support::RunCommand("umount " + deep);
  EXPECT_TRUE(window.LastCreateDelete().volumeOpened)
      << "no flush for a mount point of " << deep.size() << " bytes";
  EXPECT_TRUE(form.Messages().empty());
}

TEST_F(CreateDelete, OnRamfsARefusedDirectOpenLeavesNoNameForTheNextRun) {
  const std::string why = testing_support::ScratchMount::Unavailable();
  if (!why.empty()) GTEST_SKIP() << why;
  testing_support::ScratchMount ram("ramfs");
  ASSERT_TRUE(ram.Ready());
  form.SetText(Ctl::txtTestFile, 0, ram.File("p"));
  form.SetValue(Ctl::chkFileFlags, 1, 1);  // no buffering
  for (int run = 0; run < 2; ++run) {
    window.cmdCreateAndDeleteFiles_Click();
    ASSERT_EQ(form.Messages().size(), static_cast<std::size_t>(run + 1));
    EXPECT_EQ(form.Messages()[run].prompt,
              "Error: Invalid argument.\r\n" + ram.File("p") + ".0000");
    EXPECT_TRUE(fs::is_empty(ram.Path()));
  }
}

TEST_F(CreateDelete, OnALoopDiskRunningOutOfInodesEndsTheLoopAndGivesThemBack) {
  const std::string why = testing_support::LoopDisk::Unavailable({"mkfs.ext4"}, "mkfs.ext4 -q");
  if (!why.empty()) GTEST_SKIP() << why;
  testing_support::LoopDisk disk(dir, "8M");
  ASSERT_TRUE(disk.Ready());
  const std::string mnt = disk.Format(0, "mkfs.ext4 -q -N 32");
  ASSERT_FALSE(mnt.empty());
  auto freeInodes = [&] {
    struct statvfs v {};
    statvfs(mnt.c_str(), &v);
    return static_cast<long>(v.f_favail);
  };
  const long k = freeInodes();
  ASSERT_GT(k, 0);
  form.SetText(Ctl::txtTestFile, 0, mnt + "/p");
  form.SetText(Ctl::txtNumberOfFiles, 0, std::to_string(k + 10));
  window.cmdCreateAndDeleteFiles_Click();
  ASSERT_EQ(form.Messages().size(), 1u);
  EXPECT_EQ(form.Messages()[0].prompt.rfind("Error: No space left on device.\r\n", 0), 0u)
      << form.Messages()[0].prompt;
  EXPECT_EQ(window.LastCreateDelete().created, k);
  EXPECT_TRUE(window.LastCreateDelete().volumeOpened);
  EXPECT_EQ(freeInodes(), k);
}

// The folder is renamed away and a link to another folder with the same
// names put in its place while the created files wait to be deleted: the
// deletions still go to the files this test made, and nothing of the
// other folder is touched.
TEST_F(CreateDelete, AFolderReplacedByALinkNeverRedirectsTheDeletions) {
  const fs::path work = dir.path() / "work", moved = dir.path() / "moved",
                 other = dir.path() / "other";
  fs::create_directories(work);
  fs::create_directories(other);
  for (int i = 0; i < 10; ++i)
    testing_support::WriteText((other / ("t.tmp.000" + std::to_string(i))).string(), "keep");
  form.SetText(Ctl::txtTestFile, 0, (work / "t.tmp").string());
  bool swapped = false;
  form.SetCaptionObserver([&](Ctl, int line, const std::string& text) {
    if (swapped || line != 1 || text != "flushing...") return;
    fs::rename(work, moved);
    fs::create_directory_symlink(other, work);
    swapped = true;
  });
  window.cmdCreateAndDeleteFiles_Click();
  ASSERT_TRUE(swapped);
  EXPECT_TRUE(window.LastCreateDelete().finished) << window.LastCreateDelete().detail;
  EXPECT_EQ(window.LastCreateDelete().notDeleted, 0);
  EXPECT_TRUE(fs::is_empty(moved)) << "its own files went";
  int kept = 0;
  for (const auto& e : fs::directory_iterator(other))
    kept += testing_support::ReadText(e.path().string()) == "keep";
  EXPECT_EQ(kept, 10) << "the link's target lost files";
}

}  // namespace
