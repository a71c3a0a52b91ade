#include "qt/QtForm.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QFileDialog>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QSignalBlocker>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>
#include <iterator>
#include <stdexcept>
#include <vector>

#include "form/basBase.h"
#include "form/frmMain.h"
#include "platform/os.h"
#include "qt/RandomPanel.h"
#include "qt/TimelineChart.h"

namespace {

// Messages are processed 20 times a second during a run: input stays live
// for a person, and each round's paints cost a fast run little.
constexpr qint64 kFrameMs = 50;
// A control repaints at most 20 times a second: a label's paint costs a
// fast run more than a hundred 512-byte blocks, and a progress caption read
// by a person needs no more.
constexpr qint64 kPaintMs = 50;

QString Q(const std::string& s) { return QString::fromStdString(s); }

bool IsArray(Ctl ctl) {
  switch (ctl) {
    case Ctl::Label1:
    case Ctl::Label2:
    case Ctl::lblReadStatus:
    case Ctl::chkFileFlags:
    case Ctl::cmdFileReadWrite:
    case Ctl::cmdFileOp:
    case Ctl::chkFlushAtFinish:
    case Ctl::optDataType:
      return true;
    default:
      return false;
  }
}

// A text box that tells the window why its focus arrived.
class TextBox : public QLineEdit {
 public:
  TextBox(QtForm* form, Ctl ctl, int index) : form_(form), ctl_(ctl), index_(index) {}

 protected:
  void focusInEvent(QFocusEvent* e) override {
    QLineEdit::focusInEvent(e);
    form_->TextBoxFocused(ctl_, index_, e->reason());
  }

 private:
  QtForm* form_;
  Ctl ctl_;
  int index_;
};

// Keeps a dialog centred on its screen whenever it is shown or resized.
class CenterOnScreen : public QObject {
 public:
  using QObject::QObject;
  bool eventFilter(QObject* watched, QEvent* e) override {
    auto* w = qobject_cast<QWidget*>(watched);
    if (w && (e->type() == QEvent::Show || e->type() == QEvent::Resize) && w->screen()) {
      const QRect screen = w->screen()->geometry();
      const QSize size = w->frameGeometry().size();
      // Halves to even, like the rounding of the window runtime.
      const int x = static_cast<int>(std::nearbyint((screen.width() - size.width()) / 2.0));
      const int y = static_cast<int>(std::nearbyint((screen.height() - size.height()) / 2.0));
      w->move(screen.x() + x, screen.y() + y);
    }
    return false;
  }
};

// What each field does on this system; the captions keep their designed,
// Windows, names.
struct Tip {
  Ctl ctl;
  int index;
  const char* text;
};
constexpr Tip kTips[] = {
    {Ctl::txtTestFile, 0,
     "The test file the runs write and read, and beside which the numbered files are created."},
    {Ctl::lblReadStatus, 4,
     "Fragments of the test file, the power-of-two disk boundaries they begin on (K = 1,024 bytes, "
     "M = 1,048,576 bytes), and whether the file is stored compressed."},
    {Ctl::txtSize, 0, "The size of the file a Write run makes, in MB: 1 MB is 1,048,576 bytes."},
    {Ctl::lblSizeUnit, 0, "1 MB is 1,048,576 bytes."},
    {Ctl::txtBlockSizeSectors, 0,
     "The block size in 512-byte sectors: each read or write moves one block. With "
     "FILE_FLAG_NO_BUFFERING "
     "it must be a multiple of the device's logical sector size."},
    {Ctl::lblBlockSize, 0, "The block size: 1 KB is 1,024 bytes, 1 MB is 1,048,576 bytes."},
    {Ctl::chkFileFlags, 0,
     "Tells the kernel with posix_fadvise(POSIX_FADV_RANDOM) that the file is read in no "
     "particular order, "
     "so it reads less ahead. An access-pattern hint, not random I/O: the blocks still go in "
     "order."},
    {Ctl::chkFileFlags, 1,
     "Opens the file with O_DIRECT: reads and writes bypass the page cache and go to the device. "
     "The block "
     "size must be a multiple of the device's logical sector size."},
    {Ctl::chkFileFlags, 2,
     "Opens the file with O_DSYNC: each write returns only when its data is on the device."},
    {Ctl::chkFileFlags, 3,
     "Tells the kernel with posix_fadvise(POSIX_FADV_SEQUENTIAL) that the file is read from start "
     "to end, "
     "so it reads further ahead. An access-pattern hint: the order of the blocks is the same."},
    {Ctl::chkFlushAtFinish, 0,
     "After a Write run, fsync the file: its data and metadata reach the device."},
    {Ctl::chkFlushAtFinish, 1,
     "After a Write run, syncfs the file system (mount) that holds the file: everything written to "
     "it "
     "reaches the device."},
    {Ctl::chkFlushAllBlocks, 0, "fsync the file after each block a Write run writes."},
    {Ctl::optDataType, 0, "A Write run writes zeros."},
    {Ctl::optDataType, 1,
     "A Write run writes pseudo-random words, which compression cannot shrink."},
    {Ctl::cmdFileReadWrite, 0,
     "Reads the whole test file block by block; the result shows in MB/s (1,048,576 bytes a "
     "second)."},
    {Ctl::cmdFileReadWrite, 1,
     "Writes the test file block by block; the result shows in MB/s (1,048,576 bytes a second)."},
    {Ctl::txtNumberOfFiles, 0,
     "How many empty files the test creates and deletes, from 10 to 10000."},
    {Ctl::cmdCreateAndDeleteFiles, 0,
     "Creates the numbered empty files beside the test file, deletes them, and times both and the "
     "file system flush (syncfs) after each."},
    {Ctl::chkEvictCache, 0,
     "Before a Read run's clock starts, writes the test file back (fdatasync) and drops its pages "
     "from the page cache (posix_fadvise POSIX_FADV_DONTNEED), that file only, so that the run "
     "reads from the disk. The line below then says how much stayed in memory."},
    {Ctl::lblCacheVerdict, 0,
     "What the figure measured, from the test file's own pages in the page cache (cachestat, or "
     "mincore on older kernels): how much of the file was in memory when a Read run began, or how "
     "much of what a Write run wrote was still in memory when its clock stopped. orvandel-cli "
     "--json gives the figures."},
};

// Tips wrap at a measure that reads well: Qt would give a long plain tip
// the screen's width, and wraps rich text into narrow, nearly square
// blocks. The lines are broken here and kept as they are.
QString WrappedTip(const char* text) {
  constexpr int kMeasure = 60;
  QString out, line;
  for (const QString& word : QString::fromUtf8(text).split(' ', Qt::SkipEmptyParts)) {
    if (!line.isEmpty() && line.size() + 1 + word.size() > kMeasure) {
      out += line + '\n';
      line.clear();
    }
    line += (line.isEmpty() ? "" : " ") + word;
  }
  return "<p style='white-space:pre'>" + (out + line).toHtmlEscaped() + "</p>";
}

// An empty result line is no stop for Tab: there is nothing to copy.
void FocusIfText(QLabel* line) {
  line->setFocusPolicy(line->text().trimmed().isEmpty() ? Qt::NoFocus : Qt::StrongFocus);
}

QFrame* Line(const char* name, QFrame::Shape shape) {
  auto* line = new QFrame;
  line->setObjectName(name);
  line->setFrameShape(shape);
  line->setFrameShadow(QFrame::Sunken);
  return line;
}

}  // namespace

QtForm::QtForm() {
  for (const auto& d : DesignTable()) {
    QWidget* w = nullptr;
    switch (d.kind) {
      case CtlKind::TextBox:
        w = new TextBox(this, d.ctl, d.index);
        break;
      case CtlKind::Label:
        w = new QLabel;
        break;
      case CtlKind::Button:
        w = new QPushButton;
        break;
      case CtlKind::CheckBox:
        w = new QCheckBox;
        break;
      case CtlKind::OptionButton:
        w = new QRadioButton;
        break;
      case CtlKind::PictureBox:
        w = new QWidget;
        break;
      case CtlKind::Frame:
        w = new QFrame;
        break;
    }
    std::string name = d.name;
    if (IsArray(d.ctl)) name += "(" + std::to_string(d.index) + ")";
    w->setObjectName(Q(name));
    Entry& e = controls_[{d.ctl, d.index}] = Entry{&d, w, d.text, kLongAgo, false, false};
    if (const std::size_t slot = ControlSlot(d.ctl, d.index); slot != kNoSlot) slots_[slot] = &e;
    if (auto* t = qobject_cast<QLineEdit*>(w)) t->setText(Q(d.text));
    if (auto* l = qobject_cast<QLabel*>(w)) l->setText(Q(d.text));
    if (auto* b = qobject_cast<QAbstractButton*>(w)) {
      b->setText(Q(d.text));
      b->setChecked(d.value != 0);
    }
    Wire(e);
  }
  Build();
  // A logout or a service manager's stop: a running test has already ended
  // at its next step, and the window closes as if the program closed it.
  auto* stopWatch = new QTimer(this);
  connect(stopWatch, &QTimer::timeout, this, [this] {
    if (os::runtime::StopRequested() != 0 && !gTestRunning) close();
  });
  stopWatch->start(100);
  for (const Tip& tip : kTips) Control(tip.ctl, tip.index)->setToolTip(WrappedTip(tip.text));
  // The result lines can be selected and copied, with the mouse or the keys;
  // Tab reaches those that have a text, so the keys alone can copy a result.
  for (QWidget* w : ResultLabels()) {
    auto* line = static_cast<QLabel*>(w);
    line->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    line->setFocusPolicy(Qt::StrongFocus);  // for their places in the chain, set next
  }

  for (std::size_t i = 1; i < std::size(kTabOrder); ++i)
    setTabOrder(Control(kTabOrder[i - 1].first, kTabOrder[i - 1].second),
                Control(kTabOrder[i].first, kTabOrder[i].second));
  for (QWidget* w : ResultLabels()) FocusIfText(static_cast<QLabel*>(w));
  // The path field, not the status line above it, has the focus at start.
  Control(Ctl::txtTestFile)->setFocus();
  QIcon icon;
  for (int size : {16, 22, 24, 32, 48, 64, 128, 256})
    icon.addFile(QString(":/icons/hicolor/%1x%1/apps/" ORVANDEL_APP_ID ".png").arg(size),
                 QSize(size, size));
  setWindowIcon(icon);
  // The status lines and the pattern box in the colour of button faces.
  const auto labels = ResultLabels();
  std::vector<QWidget*> filled(labels.begin(), labels.end());
  filled.push_back(Control(Ctl::picDataType));
  for (QWidget* w : filled) {
    w->setAutoFillBackground(true);
    w->setBackgroundRole(QPalette::Button);
  }
}

QtForm::~QtForm() {
  if (waitCursor_) QApplication::restoreOverrideCursor();
}

void QtForm::Wire(Entry& e) {
  const Ctl ctl = e.design->ctl;
  const int index = e.design->index;
  if (auto* t = qobject_cast<QLineEdit*>(e.widget)) {
    connect(t, &QLineEdit::textChanged, this, [this, &e, ctl, index](const QString& text) {
      e.text = text.toStdString();
      e.changed = true;
      if (events_) events_->Change(ctl, index);
    });
  } else if (auto* r = qobject_cast<QRadioButton*>(e.widget)) {
    connect(r, &QRadioButton::toggled, this, [this, ctl, index](bool on) {
      if (on && events_) events_->Click(ctl, index);
    });
  } else if (auto* c = qobject_cast<QCheckBox*>(e.widget)) {
    connect(c, &QCheckBox::toggled, this, [this, ctl, index](bool) {
      if (events_) events_->Click(ctl, index);
    });
  } else if (auto* b = qobject_cast<QPushButton*>(e.widget)) {
    connect(b, &QPushButton::clicked, this, [this, ctl, index] {
      if (events_) events_->Click(ctl, index);
    });
  }
}

void QtForm::Build() {
  auto* root = new QVBoxLayout(this);
  root->setContentsMargins(0, 0, 0, 0);
  auto* frame = static_cast<QFrame*>(Control(Ctl::fraWrite));
  root->addWidget(frame);
  auto* main = new QVBoxLayout(frame);

  // Extra width goes to the path field and the status lines only; the
  // buttons keep their size.
  auto* top = new QHBoxLayout;
  top->addWidget(Control(Ctl::Label1, 1), 1,
                 Qt::AlignLeft);  // the status line starts in the middle
  top->addWidget(Control(Ctl::lblReadStatus, 4), 1);
  main->addLayout(top);

  auto* path = new QHBoxLayout;
  path->addWidget(Control(Ctl::txtTestFile), 1);
  auto* browse = static_cast<QPushButton*>(Control(Ctl::cmdBrowse));
  browse->setMaximumWidth(browse->fontMetrics().horizontalAdvance("...") * 3);
  path->addWidget(browse);
  main->addLayout(path);

  auto* grid = new QGridLayout;
  grid->setColumnStretch(0, 1);
  main->addLayout(grid, 1);
  auto* sizes = new QHBoxLayout;
  for (Ctl c : {Ctl::Label2, Ctl::txtSize, Ctl::lblSizeUnit, Ctl::Label4, Ctl::txtBlockSizeSectors,
                Ctl::lbl512, Ctl::lblBlockSize})
    sizes->addWidget(Control(c, c == Ctl::Label2 ? 1 : 0));
  const int digits = Control(Ctl::txtSize)->fontMetrics().horizontalAdvance("0000000");
  Control(Ctl::txtSize)->setFixedWidth(digits);
  Control(Ctl::txtBlockSizeSectors)->setFixedWidth(digits);
  Control(Ctl::txtNumberOfFiles)->setFixedWidth(digits);
  static_cast<QLabel*>(Control(Ctl::lblBlockSize))
      ->setMinimumWidth(Control(Ctl::lblBlockSize)->fontMetrics().horizontalAdvance("1.464844 MB"));
  sizes->addStretch(1);
  grid->addLayout(sizes, 0, 0);
  grid->addWidget(Line("Line2", QFrame::VLine), 0, 1, 2, 1);
  auto* files = new QHBoxLayout;
  files->addWidget(Control(Ctl::Label5));
  files->addWidget(Control(Ctl::txtNumberOfFiles));
  grid->addLayout(files, 0, 2);
  grid->addWidget(Control(Ctl::cmdCreateAndDeleteFiles), 1, 2, Qt::AlignTop | Qt::AlignLeft);

  auto* below = new QHBoxLayout;
  auto* flags = new QVBoxLayout;
  for (int i : {0, 3, 1, 2}) flags->addWidget(Control(Ctl::chkFileFlags, i));
  flags->addWidget(Line("Line1(0)", QFrame::HLine));
  flags->addWidget(Control(Ctl::chkFlushAtFinish, 0));
  flags->addWidget(Control(Ctl::chkFlushAtFinish, 1));
  flags->addWidget(Control(Ctl::chkFlushAllBlocks));
  flags->addWidget(Line("Line1(1)", QFrame::HLine));
  auto* pattern = new QHBoxLayout(Control(Ctl::picDataType));
  pattern->addWidget(Control(Ctl::optDataType, 0));
  pattern->addWidget(Control(Ctl::optDataType, 1));
  flags->addWidget(Control(Ctl::picDataType));
  flags->addStretch(1);
  below->addLayout(flags);

  auto* middle = new QVBoxLayout;
  // The four buttons in two rows of equal width, at the left.
  auto* buttons = new QGridLayout;
  int buttonWidth = 0;
  for (QWidget* b : {Control(Ctl::cmdFileReadWrite, 0), Control(Ctl::cmdFileReadWrite, 1),
                     Control(Ctl::cmdFileOp, 0), Control(Ctl::cmdFileOp, 1)})
    buttonWidth = std::max(buttonWidth, b->sizeHint().width());
  for (int i = 0; i < 2; ++i) {
    for (auto [ctl, row] : {std::pair{Ctl::cmdFileReadWrite, 0}, std::pair{Ctl::cmdFileOp, 1}}) {
      QWidget* b = Control(ctl, i);
      b->setFixedWidth(buttonWidth);
      buttons->addWidget(b, row, i);
    }
  }
  buttons->setColumnStretch(2, 1);
  middle->addLayout(buttons);
  for (int i = 0; i <= 3; ++i) {
    auto* line = static_cast<QLabel*>(Control(Ctl::lblReadStatus, i));
    line->setMinimumWidth(
        line->fontMetrics().horizontalAdvance("without flush: Written with 99999.9 MB/s__"));
    middle->addWidget(line);
  }
  // In the room the left column leaves below the lines, so nothing above moves.
  middle->addWidget(Control(Ctl::chkEvictCache), 0, Qt::AlignLeft);
  middle->addStretch(1);
  below->addLayout(middle, 1);
  grid->addLayout(below, 1, 0);

  // What the figure measured: a row of its own below the designed ones,
  // two lines high whether or not it has a text, so a run moves nothing.
  auto* verdict = static_cast<QLabel*>(Control(Ctl::lblCacheVerdict));
  verdict->setWordWrap(true);
  verdict->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  verdict->setMinimumHeight(verdict->fontMetrics().lineSpacing() * 2 +
                            verdict->fontMetrics().descent());
  main->addWidget(verdict);

  // The timeline: a toggle in the empty corner under the create-and-delete
  // button, so the designed rows keep their places, and the chart below
  // the frame, hidden until asked for.
  chartToggle_ = new QToolButton;
  chartToggle_->setObjectName("timelineToggle");
  chartToggle_->setText(QString::fromUtf8("Timeline \u25B8"));
  chartToggle_->setCheckable(true);
  chartToggle_->setAutoRaise(true);
  chartToggle_->setToolTip(WrappedTip(
      "Shows throughput and the system's dirty cache over the latest Write or Read run (Ctrl+T)."));
  // Out of the Tab cycle, which keeps the designed order; Ctrl+T, which no
  // control takes for itself, reaches the window and toggles it.
  chartToggle_->setFocusPolicy(Qt::NoFocus);
  connect(chartToggle_, &QToolButton::toggled, this, [this](bool on) { ShowTimeline(on); });
  // The random-order panel's toggle above it, in the same corner.
  randomToggle_ = new QToolButton;
  randomToggle_->setObjectName("randomToggle");
  randomToggle_->setText(QString::fromUtf8("Random \u25B8"));
  randomToggle_->setCheckable(true);
  randomToggle_->setAutoRaise(true);
  randomToggle_->setToolTip(
      WrappedTip("Shows the standard table of sequential and random-order tests on the test file, "
                 "with the latency of each (Ctrl+R)."));
  randomToggle_->setFocusPolicy(Qt::NoFocus);
  connect(randomToggle_, &QToolButton::toggled, this, [this](bool on) { ShowRandom(on); });
  auto* toggles = new QVBoxLayout;
  toggles->addStretch(1);
  toggles->addWidget(randomToggle_, 0, Qt::AlignRight);
  toggles->addWidget(chartToggle_, 0, Qt::AlignRight);
  grid->addLayout(toggles, 1, 2);
  chart_ = new TimelineChart;
  chart_->testFile = [this] { return Text(Ctl::txtTestFile, 0); };
  chart_->hide();
  root->addWidget(chart_, 1);
  random_ = new RandomPanel(*this);
  // The file's buttons and status line as the run left the file.
  random_->ended = [this] {
    if (logic_) logic_->ShowFileState();
  };
  random_->hide();
  root->addWidget(random_, 1);
}

void QtForm::ShowPanel(QWidget* panel, bool show) {
  // The window's height is read after the layout has taken the change, and
  // each panel gives back exactly what it added, in any order.
  if (show == !panel->isHidden()) return;
  if (show) {
    layout()->activate();
    const int before = height();
    panel->show();
    layout()->activate();
    resize(width(), before + panel->sizeHint().height());
    grown_[panel] = height() - before;

  } else {
    const auto it = grown_.find(panel);
    const int by = it == grown_.end() ? 0 : it->second;
    if (it != grown_.end()) grown_.erase(it);
    const int before = height();
    panel->hide();
    layout()->activate();
    resize(width(), std::max(before - by, minimumSizeHint().height()));
  }
}

void QtForm::ShowTimeline(bool show) {
  if (show == !chart_->isHidden()) return;
  {
    // Its signal would show the panel a second time, from inside this call.
    const QSignalBlocker quiet(chartToggle_);
    chartToggle_->setChecked(show);
  }
  chartToggle_->setText(QString::fromUtf8(show ? "Timeline \u25BE" : "Timeline \u25B8"));
  ShowPanel(chart_, show);
}

void QtForm::ShowRandom(bool show) {
  if (show == !random_->isHidden()) return;
  {
    const QSignalBlocker quiet(randomToggle_);
    randomToggle_->setChecked(show);
  }
  randomToggle_->setText(QString::fromUtf8(show ? "Random \u25BE" : "Random \u25B8"));
  ShowPanel(random_, show);
}

void QtForm::TimelineChanged(const Timeline& timeline) { chart_->Take(timeline); }

void QtForm::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_T && event->modifiers() == Qt::ControlModifier) {
    ShowTimeline(chart_->isHidden());
    return;
  }
  if (event->key() == Qt::Key_R && event->modifiers() == Qt::ControlModifier) {
    ShowRandom(random_->isHidden());
    return;
  }
  QWidget::keyPressEvent(event);
}

QWidget* QtForm::Control(Ctl ctl, int index) const { return At(ctl, index).widget; }

std::array<QWidget*, 6> QtForm::ResultLabels() const {
  return {Control(Ctl::lblReadStatus, 0), Control(Ctl::lblReadStatus, 1),
          Control(Ctl::lblReadStatus, 2), Control(Ctl::lblReadStatus, 3),
          Control(Ctl::lblReadStatus, 4), Control(Ctl::lblCacheVerdict)};
}

QtForm::Entry& QtForm::At(Ctl ctl, int index) {
  const std::size_t slot = ControlSlot(ctl, index);
  Entry* e = slot == kNoSlot ? nullptr : slots_[slot];
  if (!e) throw std::out_of_range("the window has no such control");
  return *e;
}

const QtForm::Entry& QtForm::At(Ctl ctl, int index) const {
  return const_cast<QtForm*>(this)->At(ctl, index);
}

std::string QtForm::Text(Ctl ctl, int index) const { return At(ctl, index).text; }

void QtForm::SetText(Ctl ctl, int index, const std::string& text) {
  Entry& e = At(ctl, index);
  // Progress captions are set after every block: an equal text costs nothing.
  if (e.text == text) return;
  if (auto* t = qobject_cast<QLineEdit*>(e.widget)) {
    t->setText(Q(text));  // textChanged stores the text and runs Change
    return;
  }
  e.text = text;
  e.changed = true;
  if (qobject_cast<QLabel*>(e.widget)) {
    // A selectable label lays its text out anew at every setText, which
    // costs a 512-byte run as much as a hundred blocks: the widget gets only
    // the texts that are painted.
    if (!e.pending) pending_.push_back(&e);
    e.pending = true;
    if (!applyPosted_) {
      applyPosted_ = true;
      QMetaObject::invokeMethod(
          this, [this] { ApplyPending(); }, Qt::QueuedConnection);
    }
  } else if (auto* b = qobject_cast<QAbstractButton*>(e.widget)) {
    b->setText(Q(text));
  }
}

void QtForm::Apply(Entry& e) {
  if (!e.pending) return;
  e.pending = false;
  auto* label = static_cast<QLabel*>(e.widget);
  label->setText(Q(e.text));
  if (e.design->ctl == Ctl::lblReadStatus || e.design->ctl == Ctl::lblCacheVerdict)
    FocusIfText(label);
}

void QtForm::ApplyPending() {
  applyPosted_ = false;
  for (Entry* e : pending_) Apply(*e);
  pending_.clear();
}

int QtForm::Value(Ctl ctl, int index) const {
  const auto* b = qobject_cast<const QAbstractButton*>(At(ctl, index).widget);
  return b && b->isChecked() ? 1 : 0;
}

void QtForm::SetValue(Ctl ctl, int index, int value) {
  Entry& e = At(ctl, index);
  if (auto* b = qobject_cast<QAbstractButton*>(e.widget); b && b->isChecked() != (value != 0)) {
    e.changed = true;
    b->setChecked(value != 0);
  }
}

bool QtForm::Enabled(Ctl ctl, int index) const { return At(ctl, index).widget->isEnabled(); }

void QtForm::SetEnabled(Ctl ctl, int index, bool enabled) {
  Entry& e = At(ctl, index);
  if (e.widget->isEnabled() == enabled) return;
  e.changed = true;
  e.widget->setEnabled(enabled);
}

std::string QtForm::Tag(Ctl ctl, int index) const { return At(ctl, index).design->tag; }

void QtForm::SetSelection(Ctl ctl, int index, int start, int length) {
  if (auto* t = qobject_cast<QLineEdit*>(At(ctl, index).widget)) t->setSelection(start, length);
}

std::string QtForm::Caption() const { return windowTitle().toStdString(); }

void QtForm::SetCaption(const std::string& caption) { setWindowTitle(Q(caption)); }

qint64 QtForm::Now() {
  // Even a coarse clock read per block costs a 512-byte block more than the
  // rest of the window's work: the clock is read about once a millisecond,
  // and at least every 64 calls, so that slow blocks still see time pass.
  if (++sinceRead_ < stride_) return now_;
  sinceRead_ = 0;
  const auto t = static_cast<qint64>(os::runtime::FrameClockMs());
  stride_ = t == now_ ? std::min(stride_ * 2, 64) : 1;
  now_ = t;
  return t;
}

bool QtForm::FrameDue(qint64& last, qint64 period) {
  const qint64 t = Now();
  if (t - last < period) return false;
  last = t;
  return true;
}

void QtForm::Refresh(Ctl ctl, int index) {
  Entry& e = At(ctl, index);
  // Nothing new to show: the progress caption stays the same for many blocks.
  if (!e.changed && !e.owed) return;
  // Each control repaints at most once a frame. One put off is owed: it is
  // paid with the next repaint of any control, so that the last caption
  // before a long flush is on the screen during it.
  if (!FrameDue(e.lastPaint, kPaintMs)) {
    if (!e.owed) owed_.push_back(&e);
    e.owed = true;
    return;
  }
  for (Entry* o : owed_) {
    if (o != &e) {
      Apply(*o);
      o->widget->repaint();
      o->lastPaint = e.lastPaint;
      o->changed = false;
      ++repaints_;
    }
    o->owed = false;
  }
  owed_.clear();
  e.owed = false;
  e.changed = false;
  Apply(e);
  e.widget->repaint();
  ++repaints_;
}

void QtForm::RefreshForm() {
  // A blocking step may follow: the next frame check reads the clock.
  sinceRead_ = stride_;
  ApplyPending();
  // What the window shows after repainting it whole, at the price of the
  // controls that changed since they were last painted: the runs repaint
  // the window inside their timed part.
  // One pass over their region, not one per control: each pass also hands
  // the whole window to the window system.
  QRegion region;
  for (Entry* e : slots_) {
    if (!e || !(e->changed || e->owed)) continue;
    e->changed = e->owed = false;
    if (e->widget->isVisible())
      region += QRect(e->widget->mapTo(this, QPoint(0, 0)), e->widget->size());
  }
  owed_.clear();
  if (region.isEmpty()) return;
  repaint(region);
  ++repaints_;
}

void QtForm::DoEvents() {
  if (!FrameDue(lastEvents_, kFrameMs)) return;
  // The messages paint every control that changed: their repaints are paid.
  ApplyPending();
  for (Entry* e : slots_) {
    if (!e || !(e->changed || e->owed)) continue;
    e->owed = e->changed = false;
    e->lastPaint = lastEvents_;
  }
  owed_.clear();
  QCoreApplication::processEvents();
}

int QtForm::MsgBox(const std::string& prompt, int style, const std::string& detail) {
  QMessageBox::Icon icon = QMessageBox::NoIcon;
  if (style == vbExclamation) icon = QMessageBox::Warning;
  if (style == vbCritical) icon = QMessageBox::Critical;
  const bool question = (style & 7) == vbYesNo;
  if (question) icon = QMessageBox::Question;
  QMessageBox box(icon, windowTitle(), Q(prompt),
                  question ? QMessageBox::Yes | QMessageBox::No : QMessageBox::Ok, this);
  // A stray Enter must not replace anything.
  if (question) box.setDefaultButton(QMessageBox::No);
  box.setObjectName("MsgBox");
  if (!detail.empty())
    box.setInformativeText(QString::fromLocal8Bit(detail.data(), static_cast<int>(detail.size())));
  // A box as narrow as "Error" would cut the window's title off.
  const int titleWidth = box.fontMetrics().horizontalAdvance(windowTitle()) * 3 / 2 + 120;
  if (auto* grid = qobject_cast<QGridLayout*>(box.layout()))
    grid->addItem(new QSpacerItem(titleWidth, 0, QSizePolicy::Minimum, QSizePolicy::Expanding),
                  grid->rowCount(), 0, 1, grid->columnCount());
  const int answer = box.exec();
  if (question) return answer == QMessageBox::Yes ? vbYes : vbNo;
  return vbOK;
}

void QtForm::SetMousePointer(int pointer) {
  if (pointer == vbHourglass && !waitCursor_) {
    QApplication::setOverrideCursor(Qt::WaitCursor);
    waitCursor_ = true;
  } else if (pointer == vbDefault && waitCursor_) {
    QApplication::restoreOverrideCursor();
    waitCursor_ = false;
  }
}

void QtForm::SetFocus(Ctl ctl, int index) { At(ctl, index).widget->setFocus(Qt::OtherFocusReason); }

void QtForm::TextBoxFocused(Ctl ctl, int index, Qt::FocusReason reason) {
  focusReason_ = reason;
  if (events_) events_->GotFocus(ctl, index);
}

bool QtForm::LeftButtonJustPressed() { return focusReason_ == Qt::MouseFocusReason; }

char QtForm::DecimalSeparator() const {
  const QString point = QLocale().decimalPoint();
  return point.size() == 1 && point[0].unicode() < 128 ? static_cast<char>(point[0].unicode())
                                                       : '.';
}

std::optional<std::string> QtForm::FileDialog(const FileDialogRequest& request) {
  QFileDialog dialog(this, Q(request.title), Q(request.initialFolder));
  dialog.setOption(QFileDialog::DontUseNativeDialog);
  dialog.setAcceptMode(request.save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
  dialog.setFileMode(request.save ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
  QStringList filters;
  for (const auto& [text, pattern] : request.filters) {
    // "*.*" means every file, which has no dot here.
    const QString qtPattern = pattern == "*.*" ? "*" : Q(pattern);
    filters << (text == pattern ? qtPattern : Q(text) + " (" + qtPattern + ")");
  }
  if (!filters.isEmpty()) {
    dialog.setNameFilters(filters);
    dialog.selectNameFilter(filters.value(request.filterIndex - 1, filters.first()));
  }
  if (request.defaultExtension.size() > 2 && request.defaultExtension.rfind("*.", 0) == 0 &&
      request.defaultExtension != "*.*")
    dialog.setDefaultSuffix(Q(request.defaultExtension.substr(2)));
  if (!request.defaultName.empty()) dialog.selectFile(Q(request.defaultName));
  CenterOnScreen center;
  dialog.installEventFilter(&center);
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
  return dialog.selectedFiles().first().toStdString();
}

void QtForm::closeEvent(QCloseEvent* event) {
  // Only a close the user asked for arrives from the window system.
  const int unloadMode = event->spontaneous() ? 0 : 1;
  if (logic_ && logic_->Form_QueryUnload(unloadMode)) {
    event->ignore();
    return;
  }
  if (logic_) logic_->Form_Unload();
  event->accept();
}
