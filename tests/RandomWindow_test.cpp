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
#include <QToolButton>
#include <QXmlStreamReader>

#include "qt/RandomPanel.h"
#include "qt/TimelineChart.h"
#include "tests/QtWindowTest.h"

namespace {

class RandomWindow : public QtWindowTest {
 protected:
  // Lets the window poll the run until it ends; false when it did not.
  bool WaitForEnd(RandomPanel* panel) {
    for (int i = 0; i < 6000 && panel->Model().Running(); ++i) QTest::qWait(10);
    return !panel->Model().Running();
  }
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

TEST_F(RandomWindow, RunsTheTableOffTheWindowsThreadStopsAndSavesTheHistogram) {
  form->ShowRandom(true);
  RandomPanel* panel = form->Random();
  form->SetText(Ctl::txtTestFile, 0, dir.File("p.bin"));
  form->SetText(Ctl::txtSize, 0, "4");
  panel->seconds = 0.05;
  QTest::mouseClick(panel->RunButton(), Qt::LeftButton);
  EXPECT_FALSE(panel->RunButton()->isEnabled());
  EXPECT_TRUE(panel->StopButton()->isEnabled());
  // The window's own runs wait meanwhile.
  window->cmdFileReadWrite_Click(1);
  EXPECT_TRUE(window->LastRun().message.empty() && !window->LastRun().finished);
  ASSERT_TRUE(WaitForEnd(panel));
  EXPECT_EQ(panel->ProgressLine()->text(), "Done: 8 tests.");
  EXPECT_TRUE(panel->RunButton()->isEnabled());
  EXPECT_FALSE(panel->StopButton()->isEnabled());
  for (int r = 0; r < kProfileRowCount; ++r)
    for (int c = 0; c < RandomPanelModel::kColumns; ++c)
      EXPECT_FALSE(panel->Table()->item(r, c)->text().isEmpty()) << r << "," << c;

  // A click on a figure shows its test's latency.
  QTableWidget* table = panel->Table();
  const QRect cell = table->visualItemRect(table->item(3, 2));
  QTest::mouseClick(table->viewport(), Qt::LeftButton, {}, cell.center());
  EXPECT_EQ(panel->Model().Shown(), 7);
  EXPECT_EQ(panel->Model().ShownTitle().rfind("RND4K Q1T1 write", 0), 0u);
  const LatencyChartWidget* chart = panel->Chart();
  const chart::LatencyChart shown = chart->Chart();
  ASSERT_EQ(shown.markers.size(), 3u);

  testing_support::TempDir out;
  const QString png = QString::fromStdString(out.File("latency.png"));
  const QString svg = QString::fromStdString(out.File("latency.svg"));
  ASSERT_TRUE(chart->SavePng(png));
  ASSERT_TRUE(chart->SaveSvg(svg));
  EXPECT_EQ(QImage(png).size(), chart->size());
  // Well-formed, and every shape and text of the scene in it.
  QFile file(svg);
  ASSERT_TRUE(file.open(QIODevice::ReadOnly));
  QXmlStreamReader xml(&file);
  std::size_t rects = 0, polylines = 0;
  QStringList texts;
  while (!xml.atEnd()) {
    if (xml.readNext() != QXmlStreamReader::StartElement) continue;
    if (xml.name() == u"rect") ++rects;
    if (xml.name() == u"polyline") ++polylines;
    if (xml.name() == u"text") texts << xml.readElementText();
  }
  ASSERT_FALSE(xml.hasError()) << xml.errorString().toStdString();
  EXPECT_EQ(rects, shown.scene.boxes.size());
  EXPECT_EQ(polylines, shown.scene.lines.size());
  ASSERT_EQ(static_cast<std::size_t>(texts.size()), shown.scene.texts.size());
  for (std::size_t i = 0; i < shown.scene.texts.size(); ++i)
    EXPECT_EQ(texts[static_cast<int>(i)].toStdString(), shown.scene.texts[i].text);
  EXPECT_EQ(texts.filter("p99.9 ").size(), 1) << texts.join("|").toStdString();
  // Never onto the test file.
  EXPECT_FALSE(chart->SaveSvg(QString::fromStdString(form->Text(Ctl::txtTestFile, 0))));
  if (const char* shot = std::getenv("ORVANDEL_PANEL_SHOT")) form->grab().save(shot);

  // A long run, stopped through the panel's button: the window keeps
  // working meanwhile (what the stop leaves behind: RandomPanel_test).
  panel->seconds = 60;
  panel->Run();
  for (int i = 0; i < 500 && panel->Model().Fraction() == 0; ++i) QTest::qWait(10);
  EXPECT_TRUE(panel->Model().Running());
  form->SetText(Ctl::txtNumberOfFiles, 0, "20");
  EXPECT_EQ(form->Text(Ctl::txtNumberOfFiles, 0), "20");
  QTest::mouseClick(panel->StopButton(), Qt::LeftButton);
  EXPECT_FALSE(panel->StopButton()->isEnabled());
  ASSERT_TRUE(WaitForEnd(panel));
  EXPECT_EQ(panel->ProgressLine()->text(), "Stopped during SEQ1M Q8T1 read.");
}

}  // namespace
