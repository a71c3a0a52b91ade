#include "qt/RandomPanel.h"

#include <QBuffer>
#include <QContextMenuEvent>
#include <QFile>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QImage>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QTableWidget>
#include <QTimer>
#include <QVBoxLayout>

#include <cmath>
#include <string_view>

#include "form/FormView.h"
#include "form/SceneSvg.h"
#include "platform/os.h"
#include "qt/TimelineChart.h"

namespace {

QString Q(const std::string& s) { return QString::fromUtf8(s.data(), static_cast<int>(s.size())); }

// Lines broken at a readable measure, as the window's other tips.
QString Tip(const char* text) {
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

bool SaveBytes(const QString& path, const std::string& protectedFile, const QByteArray& bytes,
               QString* error) {
  os::runtime::output::Writer out;
  const bool saved =
      out.Open(QFile::encodeName(path).toStdString(), protectedFile) &&
      out.Write(std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size()))) &&
      out.Commit();
  if (!saved && error) *error = QString::fromLocal8Bit(out.Error().c_str());
  return saved;
}

}  // namespace

LatencyChartWidget::LatencyChartWidget(const RandomPanelModel& model, QWidget* parent)
    : QWidget(parent), model_(model) {
  setObjectName("latencyChart");
  setToolTip("Right-click to save the histogram as PNG or SVG.");
}

QSize LatencyChartWidget::minimumSizeHint() const {
  const double f = fontInfo().pixelSize();
  return {static_cast<int>(std::ceil(chart::LatencyMinimumWidth(f))),
          static_cast<int>(std::ceil(chart::LatencyMinimumHeight(f)))};
}

chart::LatencyChart LatencyChartWidget::Chart() const {
  const QFontMetricsF fm(font());
  const int job = model_.Shown();
  static const Histogram kEmpty;
  return chart::BuildLatencyChart(
      job < 0 ? kEmpty : model_.JobAt(job).latency, model_.ShownTitle(), width(), height(),
      fontInfo().pixelSize(), [&fm](const std::string& s) { return fm.horizontalAdvance(Q(s)); });
}

void LatencyChartWidget::paintEvent(QPaintEvent*) {
  QPainter p(this);
  PaintChartScene(Chart().scene, p);
}

bool LatencyChartWidget::SavePng(const QString& path, QString* error) const {
  QImage image(size(), QImage::Format_ARGB32);
  image.fill(Qt::white);
  QPainter p(&image);
  p.setFont(font());
  PaintChartScene(Chart().scene, p);
  p.end();
  QByteArray png;
  QBuffer buffer(&png);
  buffer.open(QIODevice::WriteOnly);
  if (!image.save(&buffer, "PNG")) {
    if (error) *error = path + ": the image could not be made";
    return false;
  }
  return SaveBytes(path, testFile ? testFile() : std::string(), png, error);
}

bool LatencyChartWidget::SaveSvg(const QString& path, QString* error) const {
  const std::string svg = chart::SceneSvg(Chart().scene, fontInfo().family().toStdString());
  return SaveBytes(path, testFile ? testFile() : std::string(),
                   QByteArray(svg.data(), static_cast<qsizetype>(svg.size())), error);
}

void LatencyChartWidget::contextMenuEvent(QContextMenuEvent* event) {
  OfferToSave(
      this, event, "histogram", "latency",
      [this](const QString& path, QString* why) { return SavePng(path, why); },
      [this](const QString& path, QString* why) { return SaveSvg(path, why); });
}

RandomPanel::RandomPanel(FormView& form, QWidget* parent) : QWidget(parent), form_(form) {
  setObjectName("randomPanel");
  auto* row = new QHBoxLayout(this);
  auto* left = new QVBoxLayout;
  auto* buttons = new QHBoxLayout;
  run_ = new QPushButton("Run");
  run_->setObjectName("randomRun");
  run_->setToolTip(
      Tip("Runs the standard table on the test file of the path field: SEQ1M Q8T1, SEQ1M Q1T1, "
          "RND4K Q32T1 and RND4K Q1T1, each read and then written for 5 s, past the page cache "
          "(O_DIRECT). The file gets the Write run's size (the size field, in MB), written "
          "first where it is shorter, if the file system has room for it."));
  stop_ = new QPushButton("Stop");
  stop_->setObjectName("randomStop");
  stop_->setToolTip(Tip("Ends the run within a moment; the tests done so far stay in the table."));
  buttons->addWidget(run_);
  buttons->addWidget(stop_);
  buttons->addStretch(1);
  left->addLayout(buttons);

  table_ = new QTableWidget(kProfileRowCount, RandomPanelModel::kColumns);
  table_->setObjectName("randomTable");
  table_->setToolTip(Tip("Click a figure to see the latency of its test."));
  table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  table_->setSelectionMode(QAbstractItemView::SingleSelection);
  table_->setSelectionBehavior(QAbstractItemView::SelectItems);
  table_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  table_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  for (int c = 0; c < RandomPanelModel::kColumns; ++c)
    table_->setHorizontalHeaderItem(c, new QTableWidgetItem(Q(RandomPanelModel::ColumnName(c))));
  for (int r = 0; r < kProfileRowCount; ++r) {
    table_->setVerticalHeaderItem(r, new QTableWidgetItem(Q(RandomPanelModel::RowName(r))));
    for (int c = 0; c < RandomPanelModel::kColumns; ++c) {
      auto* item = new QTableWidgetItem;
      item->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
      table_->setItem(r, c, item);
    }
  }
  const QFontMetrics fm(table_->font());
  for (int c = 0; c < RandomPanelModel::kColumns; ++c)
    table_->setColumnWidth(c, std::max(fm.horizontalAdvance(Q(RandomPanelModel::ColumnName(c))),
                                       fm.horizontalAdvance("9999999.9")) +
                                  fm.horizontalAdvance("00"));
  table_->verticalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
  table_->horizontalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  int w = table_->verticalHeader()->sizeHint().width() + 2 * table_->frameWidth();
  for (int c = 0; c < RandomPanelModel::kColumns; ++c) w += table_->columnWidth(c);
  int h = table_->horizontalHeader()->sizeHint().height() + 2 * table_->frameWidth();
  for (int r = 0; r < kProfileRowCount; ++r) h += table_->verticalHeader()->sectionSizeHint(r);
  table_->setFixedSize(w, h);
  connect(table_, &QTableWidget::currentCellChanged, this, [this](int r, int c, int, int) {
    if (r < 0 || c < 0) return;
    model_.Select(RandomPanelModel::JobOfCell(r, c));
    chart_->update();
  });
  left->addWidget(table_);

  progress_ = new QLabel;
  progress_->setObjectName("randomProgress");
  progress_->setWordWrap(true);
  progress_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  progress_->setMaximumWidth(w);
  left->addWidget(progress_);
  bar_ = new QProgressBar;
  bar_->setRange(0, 1000);
  bar_->setTextVisible(false);
  bar_->setMaximumWidth(w);
  left->addWidget(bar_);
  left->addStretch(1);
  row->addLayout(left);

  chart_ = new LatencyChartWidget(model_);
  chart_->testFile = [this] { return form_.Text(Ctl::txtTestFile); };
  row->addWidget(chart_, 1);

  poll_ = new QTimer(this);
  connect(poll_, &QTimer::timeout, this, [this] {
    if (model_.Poll()) Show();
    if (model_.Running()) return;
    poll_->stop();
    if (ended) ended();
  });
  connect(run_, &QPushButton::clicked, this, [this] { Run(); });
  connect(stop_, &QPushButton::clicked, this, [this] { Stop(); });
  Show();
}

void RandomPanel::Run() {
  model_.RunFor(form_, seconds);
  if (model_.Running()) poll_->start(100);
  Show();
}

void RandomPanel::Stop() {
  model_.Stop();
  Show();
}

void RandomPanel::Show() {
  for (int r = 0; r < kProfileRowCount; ++r)
    for (int c = 0; c < RandomPanelModel::kColumns; ++c)
      table_->item(r, c)->setText(Q(model_.Cell(r, c)));
  progress_->setText(Q(model_.ProgressText()));
  bar_->setValue(static_cast<int>(std::lround(model_.Fraction() * 1000)));
  run_->setEnabled(!model_.Running());
  stop_->setEnabled(model_.GetState() == RandomPanelModel::State::Running);
  chart_->update();
}
