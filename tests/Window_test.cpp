// The Qt window, off-screen: its controls as designed, the enabled states a
// user sees, focus, closing, the file dialog and message boxes.
#include <gtest/gtest.h>

#include <QtTest/qtestspontaneevent.h>
#include <QAbstractButton>
#include <QAbstractItemView>
#include <QApplication>
#include <QClipboard>
#include <QCloseEvent>
#include <QCompleter>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMessageBox>
#include <QRegularExpression>
#include <QTextDocument>
#include <QTimer>
#include <QToolTip>

#include <csignal>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <vector>

#include "form/ResultLines.h"
#include "platform/os.h"
#include "tests/QtWindowTest.h"

namespace {

namespace fs = std::filesystem;

// Runs act on the next modal dialog, from a timer. A dialog still open ten
// seconds later fails the test and is closed, so that no test can hang.
class ModalAnswer {
 public:
  explicit ModalAnswer(std::function<void(QWidget*)> act) {
    timer_.setInterval(20);
    QObject::connect(&timer_, &QTimer::timeout, [this, act] {
      QWidget* modal = QApplication::activeModalWidget();
      if (!modal) return;
      if (answered && ++polls_ > 500) {
        ADD_FAILURE() << "a modal dialog stayed open";
        modal->close();
      } else if (!answered) {
        answered = true;
        title = modal->windowTitle().toStdString();
        act(modal);
      }
    });
    timer_.start();
  }
  bool answered = false;
  std::string title;

 private:
  QTimer timer_;
  int polls_ = 0;
};

class Window : public QtWindowTest {
 protected:
  template <typename T = QWidget>
  T* Find(const char* name) {
    T* w = form->findChild<T*>(name);
    EXPECT_NE(w, nullptr) << name;
    return w;
  }
  bool On(const char* name) { return Find(name)->isEnabled(); }
  void Type(const std::string& path) {
    auto* field = Find<QLineEdit>("txtTestFile");
    field->clear();
    QTest::keyClicks(field, QString::fromStdString(path));
    QApplication::processEvents();
  }
};

TEST_F(Window, ControlsCarryTheirDesignedNamesTextsAndValues) {
  for (const auto& d : DesignTable()) {
    const QWidget* w = form->Control(d.ctl, d.index);
    const QString name = w->objectName();
    EXPECT_TRUE(name == d.name || name == QString("%1(%2)").arg(d.name).arg(d.index))
        << name.toStdString();
    EXPECT_EQ(form->findChild<QWidget*>(name), w) << "found by name";
    if (auto* b = qobject_cast<const QAbstractButton*>(w)) {
      EXPECT_EQ(b->text().toStdString(), d.text);
      EXPECT_EQ(b->isChecked(), d.value != 0) << d.name;
    }
    EXPECT_EQ(form->Tag(d.ctl, d.index), d.tag);
  }
  for (const char* line : {"Line1(0)", "Line1(1)", "Line2"}) Find(line);
  EXPECT_EQ(Find<QLabel>("lblReadStatus(4)")->text(), "");
  EXPECT_EQ(Find<QLabel>("Label1(1)")->text(), "Testfile:");
  EXPECT_EQ(Find<QLineEdit>("txtSize")->text(), "200");

  // What loading changed.
  EXPECT_EQ(form->windowTitle().toStdString(), gTitle);
  EXPECT_EQ(Find<QLabel>("lblBlockSize")->text(), "1 MB");
  EXPECT_EQ(Find<QLineEdit>("txtTestFile")->text().toStdString(),
            os::runtime::CurDir() + (os::runtime::CurDir() == "/" ? "" : "/") + "_Orvandel.$$$");
}

TEST_F(Window, ButtonsFollowTheTestFileAsItIsTyped) {
  Type(dir.File("missing"));
  EXPECT_FALSE(On("cmdFileReadWrite(0)"));
  EXPECT_FALSE(On("cmdFileOp(1)"));
  EXPECT_TRUE(On("cmdFileReadWrite(1)"));

  const auto file = dir.File("data");
  testing_support::WriteText(file, std::string(3 * 1048576, 'd'));
  Type(file);
  EXPECT_TRUE(On("cmdFileReadWrite(0)"));
  EXPECT_TRUE(On("cmdFileOp(1)"));
  EXPECT_EQ(Find<QLineEdit>("txtSize")->text(), "3");
  EXPECT_NE(Find<QLabel>("lblReadStatus(4)")->text().toStdString().find("Fragment"),
            std::string::npos);

  const auto empty = dir.File("empty");
  testing_support::WriteText(empty, "");
  Type(empty);
  EXPECT_FALSE(On("cmdFileReadWrite(0)"));
  EXPECT_TRUE(On("cmdFileOp(1)"));

  Type(dir.path().string());
  EXPECT_FALSE(On("cmdFileReadWrite(0)"));
  EXPECT_TRUE(On("cmdFileOp(1)"));

  // Delete File on a missing file: the message, wide enough for the title
  // bar not to cut the title off, then both buttons off.
  Type(dir.File("gone"));
  form->SetEnabled(Ctl::cmdFileOp, 1, true);
  ModalAnswer answer([this](QWidget* modal) {
    auto* box = qobject_cast<QMessageBox*>(modal);
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(box->text(), "Error deleting the file");
    EXPECT_EQ(box->icon(), QMessageBox::Warning);
    EXPECT_EQ(box->informativeText().toStdString(),
              dir.File("gone") + ": No such file or directory.");
    EXPECT_GT(box->width(), box->fontMetrics().horizontalAdvance(box->windowTitle()) + 60);
    QTest::keyClick(modal, Qt::Key_Return);
  });
  QTest::mouseClick(Find("cmdFileOp(1)"), Qt::LeftButton);
  EXPECT_EQ(answer.title, gTitle);
  EXPECT_FALSE(On("cmdFileOp(1)"));
  EXPECT_FALSE(On("cmdFileReadWrite(0)"));
}

TEST_F(Window, AWriteOverAnotherFileIsAskedAboutAndEnterKeepsIt) {
  const auto notes = dir.File("notes.txt");
  testing_support::WriteText(notes, "my notes\n");
  Type(notes);
  Find<QLineEdit>("txtSize")->setText("1");
  for (const bool yes : {false, true}) {
    ModalAnswer answer([&](QWidget* modal) {
      auto* box = qobject_cast<QMessageBox*>(modal);
      ASSERT_NE(box, nullptr);
      EXPECT_EQ(box->icon(), QMessageBox::Question);
      EXPECT_EQ(box->standardButtons(), QMessageBox::Yes | QMessageBox::No);
      if (yes)
        box->button(QMessageBox::Yes)->click();
      else
        QTest::keyClick(modal, Qt::Key_Return);  // the default answer
    });
    QTest::mouseClick(Find("cmdFileReadWrite(1)"), Qt::LeftButton);
    QApplication::processEvents();
    EXPECT_TRUE(answer.answered);
    if (!yes) {
      EXPECT_EQ(testing_support::ReadText(notes), "my notes\n");
    }
  }
  EXPECT_EQ(fs::file_size(notes), 1048576u);
}

TEST_F(Window, WriteRunThroughTheButtonsThenDeleteTheOpenFile) {
  const auto file = dir.File("t.bin");
  Type(file);
  Find<QLineEdit>("txtSize")->setText("64");  // enough for the ms clock to see
  QTest::mouseClick(Find("cmdFileReadWrite(1)"), Qt::LeftButton);
  QApplication::processEvents();  // back in the event loop, as after any click
  EXPECT_EQ(Find<QLabel>("lblReadStatus(0)")->text().left(28), "without flush: Written with ");
  // Below the lines, what the figure measured, the engine's words.
  auto* verdict = Find<QLabel>("lblCacheVerdict");
  EXPECT_EQ(verdict->text().toStdString(), CacheVerdict(window->LastRun(), '.'));
  EXPECT_EQ(verdict->focusPolicy(), Qt::StrongFocus);
  // Ticked, the box makes the next Read come from the disk.
  QWidget* evict = Find("chkEvictCache");
  QTest::mouseClick(evict, Qt::LeftButton, {}, QPoint(6, evict->height() / 2));
  QTest::mouseClick(Find("cmdFileReadWrite(0)"), Qt::LeftButton);
  QApplication::processEvents();
  EXPECT_TRUE(window->LastRun().cache.evicted);
  EXPECT_TRUE(verdict->text().startsWith("After dropping its pages, "))
      << verdict->text().toStdString();

  Find<QLineEdit>("txtNumberOfFiles")->setText("10");
  QTest::mouseClick(Find("cmdCreateAndDeleteFiles"), Qt::LeftButton);
  QApplication::processEvents();  // back in the event loop, as after any click
  EXPECT_TRUE(Find<QLabel>("lblReadStatus(0)")->text().endsWith(" ms per file creation"));
  EXPECT_TRUE(Find<QLabel>("lblReadStatus(3)")->text().endsWith(" ms flush time"));
  EXPECT_EQ(verdict->text(), "") << "no figure of a Write or Read run stands";
  EXPECT_EQ(verdict->focusPolicy(), Qt::NoFocus);

  window->oTestFile->OpenFile(file, 0);  // as a failed run leaves it
  QTest::mouseClick(Find("cmdFileOp(1)"), Qt::LeftButton);
  QApplication::processEvents();  // back in the event loop, as after any click
  EXPECT_FALSE(fs::exists(file));
  EXPECT_FALSE(window->oTestFile->IsOpen());
  EXPECT_FALSE(On("cmdFileOp(0)"));
  EXPECT_EQ(Find<QLabel>("lblReadStatus(0)")->text(), "");
}

TEST_F(Window, TheUserCannotCloseItDuringARun) {
  auto userClose = [&] {
    // Delivered as the window system delivers it: sendEvent would mark it
    // as the program's own.
    QCloseEvent e;
    QSpontaneKeyEvent::setSpontaneous(&e);
    static_cast<QObject*>(form.get())->event(&e);
    return e.isAccepted();
  };
  gTestRunning = true;
  EXPECT_FALSE(userClose());
  EXPECT_TRUE(form->isVisible());
  gTestRunning = false;
  EXPECT_TRUE(userClose());
}

TEST_F(Window, DialogChoosesAFileOrGoesToTheProgramFolder) {
  const auto file = dir.File("chosen.bin");
  testing_support::WriteText(file, "x");
  {
    ModalAnswer answer([&](QWidget* modal) {
      auto* dialog = qobject_cast<QFileDialog*>(modal);
      ASSERT_NE(dialog, nullptr);
      EXPECT_EQ(dialog->directory().absolutePath().toStdString() + "/", gAppPath);
      auto* name = dialog->findChild<QLineEdit*>("fileNameEdit");
      ASSERT_NE(name, nullptr);
      // Typed at once: a completion list popping up between keys would take
      // keys and the Return for itself.
      name->setText(QString::fromStdString(file));
      if (name->completer() && name->completer()->popup()) name->completer()->popup()->hide();
      QTest::keyClick(name, Qt::Key_Return);
    });
    QTest::mouseClick(Find("cmdBrowse"), Qt::LeftButton);
    EXPECT_EQ(answer.title, "Open Testfile");
  }
  EXPECT_EQ(Find<QLineEdit>("txtTestFile")->text().toStdString(), file);
  {
    ModalAnswer answer([](QWidget* modal) { QTest::keyClick(modal, Qt::Key_Escape); });
    QTest::mouseClick(Find("cmdBrowse"), Qt::LeftButton);
    EXPECT_TRUE(answer.answered);
  }
  EXPECT_EQ(Find<QLineEdit>("txtTestFile")->text().toStdString(), gAppPath);
}

TEST_F(Window, NumbersFollowTheUsersLocale) {
  for (const auto& [locale, text] :
       {std::pair{QLocale::c(), "1.5"}, std::pair{QLocale(QLocale::German), "1,5"}}) {
    QLocale::setDefault(locale);
    window->SetTxtSize(1536);
    EXPECT_EQ(Find<QLineEdit>("txtSize")->text(), text);
    Find<QLineEdit>("txtBlockSizeSectors")->setText("3");
    QApplication::processEvents();
    EXPECT_EQ(Find<QLabel>("lblBlockSize")->text(), "1.5 KB") << "always a point";
    Find<QLineEdit>("txtBlockSizeSectors")->setText("2048");
  }
  QLocale::setDefault(QLocale::c());
}

// Every paint of the status lines, with the caption it showed.
class PaintLog : public QObject {
 public:
  explicit PaintLog(QtForm& form) {
    for (int i = 0; i <= 3; ++i) {
      QWidget* w = form.Control(Ctl::lblReadStatus, i);
      index_[w] = i;
      w->installEventFilter(this);
    }
  }
  bool eventFilter(QObject* o, QEvent* e) override {
    if (e->type() == QEvent::Paint)
      paints.push_back(
          {index_.at(static_cast<QWidget*>(o)), static_cast<QLabel*>(o)->text().toStdString()});
    return false;
  }
  // What line showed on the screen at the moment line `at` first painted `text`.
  std::optional<std::string> ShownWhen(int at, const std::string& text, int line) const {
    std::optional<std::string> shown;
    for (const auto& [i, t] : paints) {
      if (i == at && t == text) return shown;
      if (i == line) shown = t;
    }
    return std::nullopt;
  }
  std::vector<std::pair<int, std::string>> paints;

 private:
  std::map<QWidget*, int> index_;
};

TEST_F(Window, CaptionsBeforeABlockingFlushAreOnTheScreenDuringIt) {
  PaintLog log(*form);
  Type(dir.File("t"));
  // Each step faster than a frame, as on any current disk.
  form->SetText(Ctl::txtNumberOfFiles, 0, "40");
  window->cmdCreateAndDeleteFiles_Click();
  const auto creation = log.ShownWhen(1, "flushing...", 0);
  ASSERT_TRUE(creation.has_value()) << "\"flushing...\" never reached the screen";
  EXPECT_NE(creation->find(" ms per file creation"), std::string::npos) << *creation;
  const auto deletion = log.ShownWhen(3, "flushing...", 2);
  ASSERT_TRUE(deletion.has_value());
  EXPECT_NE(deletion->find(" ms per file delete"), std::string::npos) << *deletion;

  log.paints.clear();
  form->SetText(Ctl::txtSize, 0, "1");
  form->SetText(Ctl::txtBlockSizeSectors, 0, "8");
  window->cmdFileReadWrite_Click(1);
  EXPECT_TRUE(log.ShownWhen(1, "flushing file...", 0).has_value());
  const auto volume = log.ShownWhen(2, "flushing volume...", 1);
  ASSERT_TRUE(volume.has_value());
  EXPECT_EQ(volume->rfind("file flush time: ", 0), 0u) << *volume;
}

TEST_F(Window, ATerminationRequestEndsTheTestThenClosesTheWindow) {
  struct sigaction before {};
  sigaction(SIGTERM, nullptr, &before);
  os::runtime::CatchStopRequests();
  Type(dir.File("t"));
  form->SetText(Ctl::txtNumberOfFiles, 0, "10000");
  bool raised = false;
  // The logout arrives while the files are being made.
  auto* counter = static_cast<QLabel*>(form->Control(Ctl::lblReadStatus, 0));
  struct Raise : QObject {
    bool* raised;
    bool eventFilter(QObject* o, QEvent* e) override {
      bool number = false;
      const int shown = static_cast<QLabel*>(o)->text().toInt(&number);
      if (e->type() == QEvent::Paint && !*raised && number && shown >= 5) {
        *raised = true;
        raise(SIGTERM);
      }
      return false;
    }
  } filter;
  filter.raised = &raised;
  counter->installEventFilter(&filter);
  window->cmdCreateAndDeleteFiles_Click();
  counter->removeEventFilter(&filter);
  EXPECT_TRUE(raised);
  EXPECT_EQ(window->LastCreateDelete().stoppedBy, SIGTERM);
  EXPECT_TRUE(fs::is_empty(dir.path())) << "every file made was deleted again";
  QTest::qWait(300);
  EXPECT_FALSE(form->isVisible()) << "the window stays open after a logout's request";
  os::runtime::ClearStopRequest();
  sigaction(SIGTERM, &before, nullptr);
}

TEST_F(Window, ProgressRepaintsAreCoalescedToFrames) {
  PaintLog log(*form);
  QElapsedTimer clock;
  clock.start();
  for (int i = 0; i < 20000; ++i) {
    form->SetText(Ctl::lblReadStatus, 0, " " + std::to_string(i / 200) + "%");
    form->Refresh(Ctl::lblReadStatus, 0);
    form->DoEvents();
  }
  const qint64 ms = clock.elapsed();
  // Counted on the screen: the repaints asked for and those the messages
  // make, together at most one a frame.
  EXPECT_LE(static_cast<qint64>(log.paints.size()), ms / 16 + 2) << "in " << ms << " ms";
  int last = -1;
  for (const auto& [line, text] : log.paints) {
    const int shown = std::stoi(text);
    EXPECT_GE(shown, last) << "an older caption was painted after a newer one";
    last = shown;
  }
  form->RefreshForm();
  EXPECT_EQ(Find<QLabel>("lblReadStatus(0)")->text(), " 99%");
}

TEST_F(Window, ALabelShowsItsTextAtItsNextPaintOrMessagePass) {
  auto* line = Find<QLabel>("lblReadStatus(2)");
  form->SetText(Ctl::lblReadStatus, 2, "a");
  QApplication::processEvents();
  EXPECT_EQ(line->text(), "a")
      << "a text set without a repaint shows once the messages are handled";
  form->SetText(Ctl::lblReadStatus, 2, "b");
  form->RefreshForm();
  EXPECT_EQ(line->text(), "b");
  // A repaint put off is owed; the next repaint of another line pays it
  // with the latest text.
  form->SetText(Ctl::lblReadStatus, 2, "c");
  form->Refresh(Ctl::lblReadStatus, 2);
  form->SetText(Ctl::lblReadStatus, 2, "d");
  form->Refresh(Ctl::lblReadStatus, 2);
  form->SetText(Ctl::lblReadStatus, 3, "x");
  form->Refresh(Ctl::lblReadStatus, 3);
  EXPECT_EQ(line->text(), "d");
  EXPECT_EQ(Find<QLabel>("lblReadStatus(3)")->text(), "x");
  // And a text set back to the one shown before it ever reached the widget.
  form->SetText(Ctl::lblReadStatus, 2, "e");
  form->SetText(Ctl::lblReadStatus, 2, "d");
  QApplication::processEvents();
  EXPECT_EQ(line->text(), "d");
}

// What a user reaches with Tab, from the status line at the top round to it
// again: the screen's order, with every button enabled; a result line is a
// stop only while it has a text.
TEST_F(Window, TabFollowsTheScreenAndSelectsThePath) {
  EXPECT_EQ(form->focusWidget(), Find("txtTestFile")) << "the path field has the focus at start";
  for (const auto& d : DesignTable()) form->SetEnabled(d.ctl, d.index, true);
  for (int i : {0, 1, 2, 4}) form->SetText(Ctl::lblReadStatus, i, "line " + std::to_string(i));
  form->SetText(Ctl::lblReadStatus, 1, "");
  form->SetText(Ctl::lblCacheVerdict, 0, "verdict");
  QApplication::processEvents();
  form->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(form.get()));
  Find("lblReadStatus(4)")->setFocus(Qt::TabFocusReason);
  QStringList seen;
  for (int i = 0; i < 30; ++i) {
    QWidget* now = QApplication::focusWidget();
    ASSERT_NE(now, nullptr);
    seen << now->objectName();
    QTest::keyClick(now, Qt::Key_Tab);
    if (QApplication::focusWidget() == Find("lblReadStatus(4)")) break;
  }
  // Tab reaches the selected one of the two pattern buttons; the arrow keys
  // choose between them.
  const QStringList expected = {"lblReadStatus(4)",    "txtTestFile",
                                "cmdBrowse",           "txtSize",
                                "txtBlockSizeSectors", "chkFileFlags(0)",
                                "chkFileFlags(3)",     "chkFileFlags(1)",
                                "chkFileFlags(2)",     "chkFlushAtFinish(0)",
                                "chkFlushAtFinish(1)", "chkFlushAllBlocks",
                                "optDataType(0)",      "cmdFileReadWrite(0)",
                                "cmdFileReadWrite(1)", "cmdFileOp(0)",
                                "cmdFileOp(1)",        "lblReadStatus(0)",
                                "lblReadStatus(2)",    "chkEvictCache",
                                "txtNumberOfFiles",    "cmdCreateAndDeleteFiles",
                                "lblCacheVerdict"};
  EXPECT_EQ(seen, expected);

  // Shift+Tab walks back the same way.
  QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab);
  EXPECT_EQ(QApplication::focusWidget(), Find("lblCacheVerdict"));
  QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab);
  EXPECT_EQ(QApplication::focusWidget(), Find("cmdCreateAndDeleteFiles"));

  // Tab into the path selects it; a click does not.
  auto* field = Find<QLineEdit>("txtTestFile");
  field->setFocus(Qt::TabFocusReason);
  EXPECT_EQ(field->selectedText(), field->text());
  Find("txtSize")->setFocus();
  QTest::mouseClick(field, Qt::LeftButton, {}, QPoint(5, field->height() / 2));
  EXPECT_TRUE(field->hasFocus());
  EXPECT_EQ(field->selectedText(), "");
}

// The flag boxes keep their Windows captions; their tips say what they do
// here, and the two that change how the file is opened say it truly.
TEST_F(Window, TipsTellWhatTheBoxesDoOnThisSystem) {
  // What a tip says, its lines joined again.
  auto said = [](const QWidget* w) {
    QTextDocument doc;
    doc.setHtml(w->toolTip());
    return doc.toPlainText().replace(QRegularExpression("[\\n\\x{2028}]"), " ");
  };
  const std::pair<const char*, std::vector<const char*>> tips[] = {
      {"chkFileFlags(0)", {"posix_fadvise", "POSIX_FADV_RANDOM", "not random I/O"}},
      {"chkFileFlags(1)", {"O_DIRECT", "page cache", "logical sector size"}},
      {"chkFileFlags(2)", {"O_DSYNC"}},
      {"chkFileFlags(3)", {"posix_fadvise", "POSIX_FADV_SEQUENTIAL"}},
      {"chkFlushAtFinish(0)", {"fsync"}},
      {"chkFlushAtFinish(1)", {"syncfs"}},
      {"chkFlushAllBlocks", {"fsync", "each block"}},
      {"txtSize", {"1,048,576 bytes"}},
      {"lblBlockSize", {"1,048,576 bytes"}},
      {"cmdFileReadWrite(1)", {"MB/s", "1,048,576 bytes"}},
      {"chkEvictCache", {"fdatasync", "POSIX_FADV_DONTNEED", "that file only"}},
      {"lblCacheVerdict", {"cachestat", "mincore", "--json"}},
  };
  for (const auto& [name, words] : tips)
    for (const char* word : words)
      EXPECT_TRUE(said(Find(name)).contains(word)) << name << " lacks " << word;
  for (const auto& d : DesignTable())
    if (d.kind == CtlKind::CheckBox || d.kind == CtlKind::OptionButton ||
        d.kind == CtlKind::TextBox) {
      EXPECT_FALSE(form->Control(d.ctl, d.index)->toolTip().isEmpty()) << d.name << d.index;
    }
  // Each tip, shown, wraps at a measure that reads well: neither one line
  // as wide as the screen nor a narrow column, and no line cut off.
  for (const auto& d : DesignTable()) {
    QWidget* w = form->Control(d.ctl, d.index);
    if (w->toolTip().isEmpty()) continue;
    QToolTip::showText(w->mapToGlobal(QPoint(2, 2)), w->toolTip(), w);
    QLabel* shown = nullptr;
    for (QWidget* top : QApplication::topLevelWidgets())
      if (top->objectName() == "qtooltip_label" && top->isVisible())
        shown = qobject_cast<QLabel*>(top);
    ASSERT_NE(shown, nullptr) << d.name;
    const QFontMetrics metrics(shown->font());
    const QString text = said(w);
    int widest = 0;
    QTextDocument doc;
    doc.setHtml(w->toolTip());
    for (const QString& line : doc.toPlainText().split(QRegularExpression("[\\n\\x{2028}]")))
      widest = std::max(widest, metrics.horizontalAdvance(line));
    const int chars = shown->width() / metrics.averageCharWidth();
    EXPECT_LE(widest, shown->contentsRect().width()) << d.name << d.index;
    EXPECT_LE(chars, 72) << d.name << d.index;
    if (text.size() >= 100) {
      EXPECT_GE(chars, 45) << d.name << d.index;
    }
    QToolTip::hideText();
  }

  // The two boxes that change how the file is opened carry the flags whose
  // kernel bits (os_test) their tips name.
  EXPECT_EQ(std::stoul(form->Tag(Ctl::chkFileFlags, 1), nullptr, 16), os::FILE_FLAG_NO_BUFFERING);
  EXPECT_EQ(std::stoul(form->Tag(Ctl::chkFileFlags, 2), nullptr, 16), os::FILE_FLAG_WRITE_THROUGH);
}

// A wider and taller window gives the extra room to the path field and the
// status lines; every other control keeps its size.
TEST_F(Window, ResizingStretchesOnlyThePathAndTheStatusLines) {
  std::map<QString, QSize> before;
  for (const auto& d : DesignTable())
    before[form->Control(d.ctl, d.index)->objectName()] = form->Control(d.ctl, d.index)->size();
  form->resize(form->width() + 500, form->height() + 300);
  QApplication::processEvents();
  for (const auto& d : DesignTable()) {
    const QWidget* w = form->Control(d.ctl, d.index);
    const QString name = w->objectName();
    if (d.ctl == Ctl::fraWrite) continue;  // the background under everything
    if (d.ctl == Ctl::txtTestFile || d.ctl == Ctl::lblReadStatus || d.ctl == Ctl::lblCacheVerdict) {
      EXPECT_GE(w->width(), before[name].width() + 250) << name.toStdString();
      continue;
    }
    EXPECT_EQ(w->width(), before[name].width()) << name.toStdString();
    if (qobject_cast<const QAbstractButton*>(w)) {
      EXPECT_EQ(w->height(), before[name].height()) << name.toStdString();
    }
  }
  // The four run buttons stay a tidy block of equal widths.
  EXPECT_EQ(Find("cmdFileReadWrite(0)")->width(), Find("cmdFileOp(1)")->width());
}

TEST_F(Window, ResultLinesCanBeSelectedAndCopied) {
  form->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(form.get()));
  QGuiApplication::clipboard()->clear();
  for (int i : {0, 4}) {
    const std::string text =
        i == 0 ? "without flush: Written with 812.3 MB/s" : "3 Fragments, align=4 K .. 1 M";
    form->SetText(Ctl::lblReadStatus, i, text);
    QApplication::processEvents();
    auto* line = form->Control(Ctl::lblReadStatus, i);
    line->setFocus(Qt::TabFocusReason);
    QTest::keyClick(line, Qt::Key_Home);
    QTest::keyClick(line, Qt::Key_End, Qt::ShiftModifier);
    QTest::keyClick(line, Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(QGuiApplication::clipboard()->text().toStdString(), text);
  }
  // The mouse selects too.
  auto* first = Find<QLabel>("lblReadStatus(0)");
  first->setSelection(0, 13);
  EXPECT_EQ(first->selectedText(), "without flush");
}

TEST_F(Window, CarriesItsIcon) {
  const QIcon icon = form->windowIcon();
  ASSERT_FALSE(icon.isNull());
  for (int size : {16, 32, 48, 256}) {
    EXPECT_TRUE(icon.availableSizes().contains(QSize(size, size))) << size;
    EXPECT_EQ(icon.pixmap(size, size).size(), QSize(size, size)) << size;
  }
}

}  // namespace

int main(int argc, char** argv) {
  // Off-screen unless the caller chose a platform; listing the tests too.
  if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
