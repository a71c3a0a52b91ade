// The window without pixels: design defaults and event dispatch.
#include <gtest/gtest.h>

#include <vector>

#include "form/HeadlessForm.h"

namespace {

struct Recorder : FormEvents {
  std::vector<std::pair<Ctl, int>> changes, clicks, focuses;
  void Change(Ctl c, int i) override { changes.emplace_back(c, i); }
  void Click(Ctl c, int i) override { clicks.emplace_back(c, i); }
  void GotFocus(Ctl c, int i) override { focuses.emplace_back(c, i); }
};

TEST(HeadlessForm, OnlyARealChangeOfATextBoxRunsItsHandler) {
  HeadlessForm f;
  Recorder r;
  f.SetEvents(&r);
  f.SetText(Ctl::txtTestFile, 0, "/tmp/x");
  f.SetText(Ctl::txtTestFile, 0, "/tmp/x");
  f.SetText(Ctl::lblReadStatus, 4, "1 Fragment");
  ASSERT_EQ(r.changes.size(), 1u);
  EXPECT_THROW(f.Text(Ctl::lblReadStatus, 5), std::out_of_range);
  EXPECT_EQ(r.changes[0].first, Ctl::txtTestFile);
  EXPECT_EQ(f.Text(Ctl::lblReadStatus, 4), "1 Fragment");
}

TEST(HeadlessForm, ClicksFollowValuesAndRespectDisabledControls) {
  HeadlessForm f;
  Recorder r;
  f.SetEvents(&r);
  f.UserClick(Ctl::chkFileFlags, 2);
  EXPECT_EQ(f.Value(Ctl::chkFileFlags, 2), 1);
  f.SetValue(Ctl::chkFileFlags, 2, 1);  // no change, no click
  f.UserClick(Ctl::optDataType, 1);
  EXPECT_EQ(f.Value(Ctl::optDataType, 0), 0);
  EXPECT_EQ(f.Value(Ctl::optDataType, 1), 1);
  f.SetEnabled(Ctl::cmdFileOp, 0, false);
  f.UserClick(Ctl::cmdFileOp, 0);
  f.UserClick(Ctl::cmdFileOp, 1);
  const std::vector<std::pair<Ctl, int>> expected{
      {Ctl::chkFileFlags, 2}, {Ctl::optDataType, 1}, {Ctl::cmdFileOp, 1}};
  EXPECT_EQ(r.clicks, expected);
}

}  // namespace
