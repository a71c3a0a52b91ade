// The timeline panel of the Qt window, off-screen: hidden at start without
// moving a designed control, drawn during a Write run, saved as PNG and SVG.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QApplication>
#include <QFile>
#include <QImage>
#include <QToolButton>
#include <QXmlStreamReader>

#include <map>
#include <set>

#include "qt/TimelineChart.h"
#include "tests/QtWindowTest.h"

namespace {

class TimelinePanel : public QtWindowTest {
 protected:
  std::map<QString, QRect> Geometries() const {
    std::map<QString, QRect> g;
    for (const auto& d : DesignTable()) {
      const QWidget* w = form->Control(d.ctl, d.index);
      g[w->objectName()] = QRect(w->mapTo(form.get(), QPoint(0, 0)), w->size());
    }
    return g;
  }
  const ThroughputRecord& Write(const std::string& mb, const std::string& sectors,
                                bool flushEveryBlock) {
    form->SetText(Ctl::txtTestFile, 0, dir.File("t.bin"));
    form->SetText(Ctl::txtSize, 0, mb);
    form->SetText(Ctl::txtBlockSizeSectors, 0, sectors);
    form->SetValue(Ctl::chkFlushAllBlocks, 0, flushEveryBlock);
    window->cmdFileReadWrite_Click(1);
    return window->LastRun();
  }
};

TEST_F(TimelinePanel, HiddenAtStartAndShownBelowWithoutMovingADesignedControl) {
  form->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(form.get()));
  QToolButton* toggle = form->ChartToggle();
  ASSERT_NE(toggle, nullptr);
  EXPECT_FALSE(form->Chart()->isVisible());
  EXPECT_TRUE(toggle->isVisible());
  EXPECT_FALSE(toggle->isChecked());
  // The window is the designed frame and nothing more.
  EXPECT_EQ(form->height(), form->Control(Ctl::fraWrite)->height());
  const auto designed = Geometries();
  const QRect toggleAt(toggle->mapTo(form.get(), QPoint(0, 0)), toggle->size());
  for (const auto& [name, rect] : designed) {
    if (name != "fraWrite") {
      EXPECT_FALSE(rect.intersects(toggleAt)) << "the toggle covers " << name.toStdString();
    }
  }

  const int height = form->height();
  QTest::mouseClick(toggle, Qt::LeftButton);
  QApplication::processEvents();
  EXPECT_TRUE(form->Chart()->isVisible());
  EXPECT_GE(form->height(), height + form->Chart()->minimumSizeHint().height());
  EXPECT_EQ(Geometries(), designed) << "showing the chart moved a control";
  EXPECT_GE(form->Chart()->mapTo(form.get(), QPoint(0, 0)).y(), height);

  // The keys reach it without a place in the Tab cycle.
  EXPECT_EQ(toggle->focusPolicy(), Qt::NoFocus);
  QTest::keyClick(form->Control(Ctl::txtTestFile), Qt::Key_T, Qt::ControlModifier);
  QApplication::processEvents();
  EXPECT_FALSE(form->Chart()->isVisible());
  EXPECT_FALSE(toggle->isChecked());
  EXPECT_EQ(form->height(), height);
  EXPECT_EQ(Geometries(), designed) << "hiding the chart moved a control";
}

TEST_F(TimelinePanel, AWriteRunDrawsWhileItGoesOnAReadRunShowsWhole) {
  form->ShowTimeline(true);
  QApplication::processEvents();
  // Long enough for several of the chart's live updates (ten a second),
  // whatever the disk: each block is flushed, and the run grows until it
  // lasts at least 0.6 s.
  int blocks = 64;
  const ThroughputRecord* r = nullptr;
  for (; blocks <= 16384; blocks *= 2) {
    r = &Write(std::to_string(blocks * 4096.0 / 1048576), "8", true);
    ASSERT_TRUE(r->finished) << r->message << r->detail;
    if (r->elapsedNs >= 600'000'000) break;
  }
  const TimelineChart* chart = form->Chart();
  const std::size_t all = r->timeline.slices.size();
  // Painted from the messages let in between blocks, with the slices so
  // far, more than once; not only by the window's repaints at the end.
  std::set<std::size_t> partial;
  for (std::size_t n : chart->LivePaints())
    if (n < all) partial.insert(n);
  EXPECT_GE(partial.size(), 2u) << chart->LivePaints().size() << " paints during the run, " << all
                                << " slices";
  EXPECT_EQ(chart->Shown().slices.size(), all);
  EXPECT_TRUE(chart->Shown().finished);

  form->SetValue(Ctl::chkFlushAllBlocks, 0, 0);
  const int paints = chart->Paints();
  window->cmdFileReadWrite_Click(0);
  ASSERT_TRUE(window->LastRun().finished);
  QApplication::processEvents();
  EXPECT_GT(chart->Paints(), paints);
  EXPECT_FALSE(chart->Shown().writing);
  EXPECT_EQ(chart->Shown().slices.size(), window->LastRun().timeline.slices.size());
}

TEST_F(TimelinePanel, SavesWhatItShowsAsPngAndSvg) {
  form->ShowTimeline(true);
  ASSERT_TRUE(Write("2", "64", false).finished);
  QApplication::processEvents();
  const TimelineChart* chart = form->Chart();
  const QString png = QString::fromStdString(dir.File("chart.png"));
  const QString svg = QString::fromStdString(dir.File("chart.svg"));
  ASSERT_TRUE(chart->SavePng(png));
  ASSERT_TRUE(chart->SaveSvg(svg));
  const QImage image(png);
  EXPECT_EQ(image.size(), chart->size());

  QFile file(svg);
  ASSERT_TRUE(file.open(QIODevice::ReadOnly));
  QXmlStreamReader xml(&file);
  int polylines = 0;
  QStringList texts;
  while (!xml.atEnd()) {
    if (xml.readNext() != QXmlStreamReader::StartElement) continue;
    if (xml.name() == u"polyline") ++polylines;
    if (xml.name() == u"text") texts << xml.readElementText();
  }
  ASSERT_FALSE(xml.hasError()) << xml.errorString().toStdString();
  // The slices' line, the average lines, the flush markers and the axes.
  EXPECT_GE(polylines, 5);
  EXPECT_TRUE(texts.contains("MB/s"));
  EXPECT_TRUE(texts.filter("without flush").size() == 1) << texts.join("|").toStdString();
  EXPECT_TRUE(texts.contains("file flush"));
  EXPECT_TRUE(texts.contains("volume flush"));
  // A place that cannot be written is refused, not reported as saved.
  EXPECT_FALSE(chart->SaveSvg(QString::fromStdString(dir.File("no/such/folder.svg"))));
  EXPECT_FALSE(chart->SavePng(QString::fromStdString(dir.File("no/such/folder.png"))));

  // Never onto the test file, a FIFO (no reader: an open would wait
  // forever) or a device; the box gets the path and the cause.
  const std::string testFile = form->Text(Ctl::txtTestFile, 0);
  const std::string before = testing_support::ReadText(testFile);
  const std::string fifo = dir.File("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0666), 0);
  for (const std::string& target : {testFile, fifo, std::string("/dev/null")}) {
    QString why;
    EXPECT_FALSE(chart->SavePng(QString::fromStdString(target), &why)) << target;
    EXPECT_TRUE(why.startsWith(QString::fromStdString(target + ": "))) << why.toStdString();
  }
  EXPECT_EQ(testing_support::ReadText(testFile), before);
}

}  // namespace
