// The test-file field refreshes what the window knows about the file.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "fileio/basFiles.h"
#include "form/HeadlessForm.h"
#include "form/ResultLines.h"
#include "form/basBase.h"
#include "form/frmMain.h"
#include "platform/paths.h"
#include "platform/seam.h"
#include "tests/support.h"

namespace {

class TestFileField : public ::testing::Test {
 protected:
  HeadlessForm form;
  frmMain window{form};
  testing_support::TempDir dir;
};

// The window tests check the buttons; these check what the fields show.
TEST_F(TestFileField, SizeFieldShowsWholeMegabytesOfExistingFiles) {
  const std::pair<std::size_t, const char*> sizes[] = {{1677722, "2"},
                                                       {300 * 1024, ""}};  // 1.6 MB, 300 KB
  for (const auto& [bytes, text] : sizes) {
    const auto path = dir.File(std::to_string(bytes));
    testing_support::WriteText(path, std::string(bytes, 'b'));
    form.SetText(Ctl::lblSizeUnit, 0, "KB");
    form.SetText(Ctl::txtTestFile, 0, path);
    EXPECT_EQ(form.Text(Ctl::txtSize), text);
    EXPECT_EQ(form.Text(Ctl::lblSizeUnit), "MB");
  }
  // Empty and missing files leave the size as it was.
  testing_support::WriteText(dir.File("empty"), "");
  for (const char* name : {"empty", "missing"}) {
    form.SetText(Ctl::txtSize, 0, "77");
    form.SetText(Ctl::lblReadStatus, 0, "Written with 1.0 MB/s");
    form.SetText(Ctl::txtTestFile, 0, dir.File(name));
    EXPECT_EQ(form.Text(Ctl::txtSize), "77") << name;
    EXPECT_EQ(form.Text(Ctl::lblReadStatus, 0), "") << name;
    EXPECT_EQ(form.Text(Ctl::lblReadStatus, 4), "") << name;
  }
}

TEST_F(TestFileField, AKeptFileIsClosedWhenThePathChanges) {
  window.oTestFile = std::make_unique<clsFile64>();
  ASSERT_TRUE(window.oTestFile->OpenFile(dir.File("kept"), 0));
  form.SetEnabled(Ctl::cmdFileOp, 0, true);
  const auto open = os::seam::OpenHandles();
  form.SetText(Ctl::txtTestFile, 0, dir.File("other"));
  EXPECT_FALSE(window.oTestFile->IsOpen());
  EXPECT_FALSE(form.Enabled(Ctl::cmdFileOp, 0));
  EXPECT_EQ(os::seam::OpenHandles(), open - 1);
}

TEST_F(TestFileField, BlockSizeLabelShowsBytesKilobytesOrMegabytes) {
  const std::pair<const char*, const char*> cases[] = {
      {"2048", "1 MB"},   {"1", "512 Bytes"},      {"2", "1 KB"},    {"3", "1.5 KB"},
      {"1000", "500 KB"}, {"3000", "1.464844 MB"}, {"4096", "2 MB"}, {"", "0 Bytes"},
      {"abc", "0 Bytes"}, {"-2", "-1024 Bytes"},
  };
  for (char sep : {'.', ','}) {
    form.SetDecimalSeparator(sep);
    for (const auto& [sectors, label] : cases) {
      form.SetText(Ctl::txtBlockSizeSectors, 0, sectors);
      window.txtBlockSizeSectors_Change();
      EXPECT_EQ(form.Text(Ctl::lblBlockSize), label) << sectors << " with " << sep;
    }
  }
}

TEST_F(TestFileField, SizeFieldTakesTheUnitOfTheByteCount) {
  struct Case {
    std::int64_t bytes;
    const char *text, *unit;
  };
  const Case cases[] = {{1023, "1023", "By"},
                        {1024, "1", "KB"},
                        {1536, "1.5", "KB"},
                        {1048576, "1", "MB"},
                        {209715200, "200", "MB"}};
  for (const auto& c : cases) {
    window.SetTxtSize(c.bytes);
    EXPECT_EQ(form.Text(Ctl::txtSize), c.text);
    EXPECT_EQ(form.Text(Ctl::lblSizeUnit), c.unit);
  }
  form.SetDecimalSeparator(',');
  window.SetTxtSize(1536);
  EXPECT_EQ(form.Text(Ctl::txtSize), "1,5") << "the user's number format";
  window.ResetTxtSize();
  EXPECT_EQ(form.Text(Ctl::txtSize), "200");
  EXPECT_EQ(form.Text(Ctl::lblSizeUnit), "MB");

  // Sizes beyond 32 bits come back whole.
  const auto big = dir.File("big");
  testing_support::WriteText(big, "");
  std::filesystem::resize_file(big, (5LL << 30) + 7);
  EXPECT_EQ(GetFileSize64(big), (5LL << 30) + 7);
}

// Rounds up to a multiple of a power of two, in 32 bits; below zero it keeps
// the same bit arithmetic rather than the mathematical ceiling.
TEST(NextAlign, RoundsUpToTheBase) {
  const std::pair<std::int32_t, std::int32_t> cases[] = {{0, 0},       {1, 4096}, {4096, 4096},
                                                         {4097, 8192}, {-1, 0},   {-4097, -4096}};
  for (const auto& [v, aligned] : cases) EXPECT_EQ(frmMain::GetNextAlign(v, 4096), aligned) << v;
}

TEST(InitialTestFile, DriveLettersOnWindowsDirectoriesOnLinux) {
  using os::rules::WindowsInitialTestFile;
  EXPECT_EQ(WindowsInitialTestFile("d:", "C:\\work"), "d:\\_Orvandel.$$$");
  EXPECT_EQ(WindowsInitialTestFile("E", "C:\\work"), "E:\\_Orvandel.$$$");
  EXPECT_EQ(WindowsInitialTestFile("5", "C:\\work"), "5:\\_Orvandel.$$$");
  for (const char* other : {"1:", "ab", ""})
    EXPECT_EQ(WindowsInitialTestFile(other, "D:\\work"), "D:\\_Orvandel.$$$");
  EXPECT_EQ(WindowsInitialTestFile("", "\\\\server\\share"), "\\\\s_Orvandel.$$$");

  using os::rules::PosixInitialTestFile;
  EXPECT_EQ(PosixInitialTestFile("/mnt/disk", true, "/home/u"), "/mnt/disk/_Orvandel.$$$");
  EXPECT_EQ(PosixInitialTestFile("/mnt/disk/", true, "/home/u"), "/mnt/disk/_Orvandel.$$$");
  EXPECT_EQ(PosixInitialTestFile("d:", false, "/home/u"), "/home/u/_Orvandel.$$$");
  EXPECT_EQ(PosixInitialTestFile("", false, "/"), "/_Orvandel.$$$");
}

TEST_F(TestFileField, CloseAndDeleteFileButtons) {
  const auto path = dir.File("t");
  testing_support::WriteText(path, "data");
  form.SetText(Ctl::txtTestFile, 0, path);
  window.oTestFile = std::make_unique<clsFile64>();
  window.cmdFileOp_Click(0);
  EXPECT_FALSE(form.Enabled(Ctl::cmdFileOp, 0)) << "disabled before any run";
  form.SetEnabled(Ctl::cmdFileOp, 0, true);
  window.cmdFileOp_Click(0);
  EXPECT_TRUE(form.Enabled(Ctl::cmdFileOp, 0)) << "nothing open: nothing happens";

  ASSERT_TRUE(window.oTestFile->OpenFile(path, 0));
  form.SetText(Ctl::lblReadStatus, 0, "Written with 1.0 MB/s");
  window.cmdFileOp_Click(0);
  EXPECT_FALSE(window.oTestFile->IsOpen());
  EXPECT_FALSE(form.Enabled(Ctl::cmdFileOp, 0));
  EXPECT_EQ(form.Text(Ctl::lblReadStatus, 0), "Written with 1.0 MB/s");

  // A folder cannot be deleted as a file: it stays, and so do its buttons.
  form.SetText(Ctl::txtTestFile, 0, dir.path().string());
  window.cmdFileOp_Click(1);
  ASSERT_EQ(form.Messages().size(), 1u);
  EXPECT_EQ(form.Messages()[0].prompt, "Error deleting the file");
  EXPECT_EQ(form.Messages()[0].detail.rfind(dir.path().string() + ": ", 0), 0u)
      << form.Messages()[0].detail;
  EXPECT_TRUE(form.Enabled(Ctl::cmdFileOp, 1));

  // A file deleted by someone else meanwhile: the box names it and why.
  testing_support::WriteText(path, "data");
  form.SetText(Ctl::txtTestFile, 0, path);
  std::filesystem::remove(path);
  window.cmdFileOp_Click(1);
  ASSERT_EQ(form.Messages().size(), 2u);
  EXPECT_EQ(form.Messages()[1].prompt, "Error deleting the file");
  EXPECT_EQ(form.Messages()[1].detail, path + ": " + SystemReason(os::ERROR_FILE_NOT_FOUND));
}

TEST_F(TestFileField, WindowBehaviour) {
  // Closing is refused to the user only (mode 0), and only during a run.
  gTestRunning = true;
  EXPECT_FALSE(window.Form_QueryUnload(1));
  gTestRunning = false;

  // The process is opened once and kept.
  const auto calls = os::seam::Calls(os::seam::Op::OpenProcess);
  window.SetHighPriority(true);
  window.SetHighPriority(true);
  window.SetHighPriority(false);
  EXPECT_EQ(os::seam::Calls(os::seam::Op::OpenProcess), calls + 1);

  // A flag box closes a kept file, and changes nothing else.
  window.chkFileFlags_Click(2);
  window.oTestFile = std::make_unique<clsFile64>();
  ASSERT_TRUE(window.oTestFile->OpenFile(dir.File("kept"), 0));
  form.SetEnabled(Ctl::cmdFileOp, 0, true);
  form.UserClick(Ctl::chkFileFlags, 1);
  EXPECT_FALSE(window.oTestFile->IsOpen());
  EXPECT_FALSE(form.Enabled(Ctl::cmdFileOp, 0));
}

// Below the result lines, what the figure measured; the box that makes a
// Read come from the disk where the system can drop one file's pages.
TEST_F(TestFileField, RunsSayWhatTheirFigureMeasured) {
  window.Form_Load(dir.path().string());
  const bool canEvict = os::runtime::CanDropFileCache();
  EXPECT_EQ(form.Enabled(Ctl::chkEvictCache), canEvict);
  EXPECT_EQ(form.Value(Ctl::chkEvictCache), 0) << "off: the runs as designed";
  form.SetText(Ctl::txtTestFile, 0, dir.File("t.bin"));
  form.SetText(Ctl::txtSize, 0, "4");
  std::vector<std::string> verdicts;
  form.SetCaptionObserver([&](Ctl ctl, int, const std::string& text) {
    if (ctl == Ctl::lblCacheVerdict) verdicts.push_back(text);
  });
  auto run = [&](int index) {
    verdicts.clear();
    form.UserClick(Ctl::cmdFileReadWrite, index);
    EXPECT_TRUE(window.LastRun().finished) << window.LastRun().detail;
    EXPECT_EQ(form.Text(Ctl::lblCacheVerdict), CacheVerdict(window.LastRun(), '.'));
    // Cleared as the run starts, then the run's own.
    EXPECT_EQ(verdicts.size(), 2u);
    EXPECT_EQ(verdicts.front(), "");
    return form.Text(Ctl::lblCacheVerdict);
  };
  EXPECT_NE(run(1).find(" memory"), std::string::npos) << form.Text(Ctl::lblCacheVerdict);
  const std::string cached = run(0);
  EXPECT_FALSE(window.LastRun().cache.evicted);
  EXPECT_FALSE(window.LastRun().cache.beforeEvict.Taken());
  EXPECT_NE(cached.find(" memory"), std::string::npos) << cached;

  form.UserClick(Ctl::chkEvictCache);
  if (canEvict) {
    const std::string evicted = run(0);
    EXPECT_TRUE(window.LastRun().cache.evicted);
    EXPECT_EQ(evicted.rfind("After dropping its pages, ", 0), 0u) << evicted;
    EXPECT_LT(window.LastRun().cache.atStart.figures.cachedBytes,
              window.LastRun().cache.beforeEvict.figures.cachedBytes);
    form.UserClick(Ctl::cmdFileReadWrite, 1);
    EXPECT_FALSE(window.LastRun().cache.evicted) << "a Write run is never evicted";
  } else {
    EXPECT_EQ(form.Value(Ctl::chkEvictCache), 0) << "a disabled box cannot be ticked";
  }

  // A run that ends without lines leaves no verdict behind.
  form.SetText(Ctl::txtBlockSizeSectors, 0, "-1");
  form.UserClick(Ctl::cmdFileReadWrite, 1);
  EXPECT_EQ(form.Text(Ctl::lblCacheVerdict), "");
  window.Form_Unload();
}

}  // namespace
