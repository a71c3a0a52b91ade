// The test-file field refreshes what the window knows about the file.
#include <gtest/gtest.h>

#include "app/HeadlessForm.h"
#include "app/frmMain.h"
#include "platform/seam.h"
#include "tests/support.h"

namespace {

class TestFileField : public ::testing::Test {
 protected:
  HeadlessForm form;
  frmMain window{form};
  testing_support::TempDir dir;
};

TEST_F(TestFileField, ExistingFilesEnableTheirButtonsAndShowTheirSize) {
  const auto big = dir.File("big");
  testing_support::WriteText(big, std::string(1677722, 'b'));  // 1.6 MB
  form.SetText(Ctl::txtTestFile, 0, big);
  EXPECT_EQ(form.Text(Ctl::txtSize), "2");
  EXPECT_TRUE(form.Enabled(Ctl::cmdFileReadWrite, 0));
  EXPECT_TRUE(form.Enabled(Ctl::cmdFileOp, 1));
  EXPECT_FALSE(form.Enabled(Ctl::cmdFileOp, 0)) << "no run has kept the file";

  const auto small = dir.File("small");
  testing_support::WriteText(small, std::string(300 * 1024, 's'));
  form.SetText(Ctl::txtTestFile, 0, small);
  EXPECT_EQ(form.Text(Ctl::txtSize), "");
  EXPECT_EQ(form.Text(Ctl::lblSizeUnit), "MB");
  EXPECT_TRUE(form.Enabled(Ctl::cmdFileReadWrite, 0));

  const auto empty = dir.File("empty");
  testing_support::WriteText(empty, "");
  form.SetText(Ctl::txtSize, 0, "77");
  form.SetText(Ctl::txtTestFile, 0, empty);
  EXPECT_EQ(form.Text(Ctl::txtSize), "77");
  EXPECT_FALSE(form.Enabled(Ctl::cmdFileReadWrite, 0));
  EXPECT_TRUE(form.Enabled(Ctl::cmdFileOp, 1));
  EXPECT_EQ(form.Text(Ctl::lblReadStatus, 4), "");
}

TEST_F(TestFileField, MissingFilesDisableTheirButtonsAndClearTheStatus) {
  form.SetText(Ctl::lblReadStatus, 4, "1 Fragment");
  form.SetText(Ctl::lblReadStatus, 0, "Written with 1.0 MB/s");
  form.SetText(Ctl::lblSizeUnit, 0, "KB");
  form.SetText(Ctl::txtTestFile, 0, dir.File("missing"));
  EXPECT_FALSE(form.Enabled(Ctl::cmdFileReadWrite, 0));
  EXPECT_FALSE(form.Enabled(Ctl::cmdFileOp, 1));
  EXPECT_EQ(form.Text(Ctl::lblReadStatus, 4), "");
  EXPECT_EQ(form.Text(Ctl::lblReadStatus, 0), "");
  EXPECT_EQ(form.Text(Ctl::lblSizeUnit), "MB");
  EXPECT_EQ(form.Text(Ctl::txtSize), "200");
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

}  // namespace
