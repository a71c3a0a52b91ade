#include "qt/TimelineChart.h"

#include <QBuffer>
#include <QContextMenuEvent>
#include <QFile>
#include <QFileDialog>
#include <QImage>
#include <QMenu>
#include <QMessageBox>
#include <QPainter>
#include <QPen>

#include <algorithm>
#include <cmath>
#include <string_view>

#include "platform/os.h"

namespace {

constexpr double kMB = 1048576;
constexpr qint64 kLiveUpdateMs = 100;
const QColor kRate(0x1f, 0x5f, 0xb4);
const QColor kCache(0xd9, 0x65, 0x00);
const QColor kAverage(0x50, 0x50, 0x50);
const QColor kFlush(0xa0, 0x20, 0x20);
const QColor kAxis(0x40, 0x40, 0x40);
const QColor kGrid(0xe2, 0xe2, 0xe2);
const QColor kBand(0xf5, 0xea, 0xea);

// 1, 2, 2.5 or 5 times a power of ten, at least v.
double NiceCeil(double v) {
  if (!(v > 0)) return 1;
  const double p = std::pow(10.0, std::floor(std::log10(v)));
  for (double m : {1.0, 2.0, 2.5, 5.0, 10.0})
    if (m * p >= v * (1 - 1e-9)) return m * p;
  return 10 * p;
}

struct Axis {
  double step = 1;
  double max = 1;
};

// About five ticks from 0 to at least v.
Axis AxisFor(double v) {
  Axis a;
  a.step = NiceCeil(std::max(v, 1e-9) / 5);
  a.max = std::max(a.step, std::ceil(v / a.step - 1e-9) * a.step);
  return a;
}

QString Number(double v) { return QString::number(v, 'g', 6); }

// Where a moment of the run lies on the offset axis: between slices by
// their times; after the run's end (the flushes) at the run's average rate.
class OffsetOf {
 public:
  explicit OffsetOf(const std::vector<TimelineSlice>& slices) : slices_(slices) {
    if (!slices.empty() && slices.back().tNs > 0)
      mbPerNs_ = slices.back().offset / kMB / static_cast<double>(slices.back().tNs);
  }
  double operator()(std::int64_t t) const {
    if (slices_.empty() || t <= 0) return 0;
    const TimelineSlice& last = slices_.back();
    if (t >= last.tNs) return last.offset / kMB + static_cast<double>(t - last.tNs) * mbPerNs_;
    const auto it =
        std::lower_bound(slices_.begin(), slices_.end(), t,
                         [](const TimelineSlice& s, std::int64_t v) { return s.tNs < v; });
    const TimelineSlice before = it == slices_.begin() ? TimelineSlice{} : *(it - 1);
    const double span = static_cast<double>(it->tNs - before.tNs);
    const double f = span > 0 ? static_cast<double>(t - before.tNs) / span : 1;
    return (before.offset + f * static_cast<double>(it->offset - before.offset)) / kMB;
  }

 private:
  const std::vector<TimelineSlice>& slices_;
  double mbPerNs_ = 0;
};

QString Escape(const QString& s) { return s.toHtmlEscaped(); }

QString Colour(const QColor& c) { return c.name(QColor::HexRgb); }

}  // namespace

ChartScene BuildChartScene(const Timeline& timeline, QSizeF size, double f) {
  ChartScene scene;
  scene.size = size;
  scene.boxes.push_back({QRectF(QPointF(0, 0), size), Qt::white, QColor()});
  const QRectF plot(QPointF(f * 4.5, f * 2.4),
                    QPointF(size.width() - f * 5, size.height() - f * 3));
  if (plot.width() < f * 4 || plot.height() < f * 2) return scene;

  const auto& slices = timeline.slices;
  if (slices.empty()) {
    scene.boxes.push_back({plot, QColor(), kGrid});
    scene.texts.push_back(
        {plot.center(), "The next Write or Read run draws its timeline here.", kAxis, 0});
    return scene;
  }

  // The domain: the file's offsets, then the flushes after them.
  const OffsetOf offsetOf(slices);
  const double runMB = slices.back().offset / kMB;
  std::int64_t endNs = timeline.EndNs();
  if (timeline.finished && !timeline.samples.empty())
    endNs = std::max(endNs, timeline.samples.back().tNs);
  const double xMax = std::max(offsetOf(endNs), std::max(runMB, 1e-6));
  auto X = [&](double mb) { return plot.left() + mb / xMax * plot.width(); };

  double rateMax = std::max(timeline.averageMBps, timeline.averageWithFlushMBps);
  for (std::size_t i = 0; i < slices.size(); ++i)
    rateMax = std::max(rateMax, timeline.SliceMBps(i).value_or(0));
  const Axis rate = AxisFor(rateMax * 1.05);
  auto YRate = [&](double v) { return plot.bottom() - v / rate.max * plot.height(); };

  // Dirty + writeback: every sample once the run is over, the figure at
  // each slice's end while it goes on.
  std::vector<std::pair<std::int64_t, double>> cache;
  if (timeline.cacheFigures) {
    if (timeline.finished && !timeline.samples.empty()) {
      for (const CacheSample& c : timeline.samples)
        cache.emplace_back(std::max<std::int64_t>(0, c.tNs),
                           (c.dirtyKiB + c.writebackKiB) / 1024.0);
    } else {
      for (const TimelineSlice& s : slices)
        if (s.dirtyKiB != kNoFigure)
          cache.emplace_back(s.tNs, (s.dirtyKiB + s.writebackKiB) / 1024.0);
    }
  }
  double cacheMax = 0;
  for (const auto& [t, mb] : cache) cacheMax = std::max(cacheMax, mb);
  const Axis cacheAxis = AxisFor(cacheMax * 1.05);
  auto YCache = [&](double v) { return plot.bottom() - v / cacheAxis.max * plot.height(); };

  // The flushes' band, beyond the file's end.
  const double runRight = X(runMB);
  if (plot.right() - runRight > 1)
    scene.boxes.push_back(
        {QRectF(QPointF(runRight, plot.top()), QPointF(plot.right(), plot.bottom())), kBand,
         QColor()});

  for (double v = rate.step; v < rate.max + rate.step / 2; v += rate.step)
    scene.lines.push_back(
        {{QPointF(plot.left(), YRate(v)), QPointF(plot.right(), YRate(v))}, kGrid, 1, false});
  for (double v = 0; v < rate.max + rate.step / 2; v += rate.step)
    scene.texts.push_back(
        {QPointF(plot.left() - f * 0.4, YRate(v) + f * 0.35), Number(v), kAxis, 1});
  if (!cache.empty())
    for (double v = 0; v < cacheAxis.max + cacheAxis.step / 2; v += cacheAxis.step)
      scene.texts.push_back(
          {QPointF(plot.right() + f * 0.4, YCache(v) + f * 0.35), Number(v), kCache, -1});
  const Axis xAxis = AxisFor(runMB / 1.2);
  for (double v = 0; v <= runMB * (1 + 1e-9); v += xAxis.step) {
    scene.lines.push_back(
        {{QPointF(X(v), plot.bottom()), QPointF(X(v), plot.bottom() + f * 0.3)}, kAxis, 1, false});
    scene.texts.push_back({QPointF(X(v), plot.bottom() + f * 1.3), Number(v), kAxis, 0});
  }
  scene.texts.push_back({QPointF(plot.center().x(), size.height() - f * 0.5),
                         timeline.flushes.empty()
                             ? "file offset (MB)"
                             : "file offset (MB), then the flushes at the run's average rate",
                         kAxis, 0});
  scene.texts.push_back({QPointF(plot.left() - f * 0.4, plot.top() - f * 0.6), "MB/s", kAxis, 1});

  // Each slice at its own rate, from its start to its end.
  ChartScene::Line rates{{}, kRate, 1, false};
  double from = 0;
  for (std::size_t i = 0; i < slices.size(); ++i) {
    const double to = slices[i].offset / kMB;
    const double y = YRate(timeline.SliceMBps(i).value_or(0));
    rates.points.emplace_back(X(from), y);
    rates.points.emplace_back(X(to), y);
    from = to;
  }
  scene.lines.push_back(std::move(rates));

  if (!cache.empty()) {
    ChartScene::Line line{{}, kCache, 1, false};
    for (const auto& [t, mb] : cache) line.points.emplace_back(X(offsetOf(t)), YCache(mb));
    if (line.points.size() == 1) line.points.push_back(line.points.front() + QPointF(1, 0));
    scene.lines.push_back(std::move(line));
  }

  int row = 0;
  for (const FlushMark& m : timeline.flushes) {
    const double x0 = X(offsetOf(m.startNs)), x1 = X(offsetOf(m.endNs));
    for (double x : {x0, x1})
      scene.lines.push_back({{QPointF(x, plot.top()), QPointF(x, plot.bottom())}, kFlush, 1, true});
    const QString what = m.kind == FlushMark::File ? "file flush" : "volume flush";
    scene.texts.push_back(
        {QPointF(x0 + f * 0.3, plot.top() + f * (1.2 + 1.2 * row++)), what, kFlush, -1});
  }

  auto average = [&](double v, const QString& label, double labelY) {
    if (v <= 0) return;
    scene.lines.push_back(
        {{QPointF(plot.left(), YRate(v)), QPointF(runRight, YRate(v))}, kAverage, 1, true});
    scene.texts.push_back({QPointF(runRight - f * 0.3, YRate(v) + labelY),
                           label + " " + QString::number(v, 'f', 1) + " MB/s", kAverage, 1});
  };
  average(timeline.averageMBps, timeline.averageWithFlushMBps > 0 ? "without flush" : "average",
          -f * 0.35);
  average(timeline.averageWithFlushMBps, "with flush", f * 1.1);

  scene.boxes.push_back({plot, QColor(), kAxis});

  // The legend, above the plot.
  double x = plot.left() + f;
  auto legend = [&](const QColor& c, bool dashed, const QString& text) {
    const double y = f * 1.2;
    scene.lines.push_back(
        {{QPointF(x, y - f * 0.3), QPointF(x + f * 1.6, y - f * 0.3)}, c, 1.5, dashed});
    scene.texts.push_back({QPointF(x + f * 2, y), text, kAxis, -1});
    x += f * 2.6 + text.size() * f * 0.55;
  };
  legend(kRate, false, timeline.writing ? "written, MB/s per slice" : "read, MB/s per slice");
  if (!cache.empty()) legend(kCache, false, "dirty + writeback, MB (right)");
  if (!timeline.flushes.empty()) legend(kFlush, true, "flush start, end");
  if (!timeline.finished) legend(kAverage, false, "running...");
  return scene;
}

void PaintChartScene(const ChartScene& scene, QPainter& p) {
  p.setRenderHint(QPainter::Antialiasing, false);
  for (const auto& b : scene.boxes) {
    p.setPen(b.stroke.isValid() ? QPen(b.stroke, 1) : QPen(Qt::NoPen));
    p.setBrush(b.fill.isValid() ? QBrush(b.fill) : QBrush(Qt::NoBrush));
    p.drawRect(b.rect);
  }
  p.setBrush(Qt::NoBrush);
  for (const auto& l : scene.lines) {
    QPen pen(l.color, l.width);
    if (l.dashed) pen.setDashPattern({5 / l.width, 3 / l.width});
    p.setPen(pen);
    p.drawPolyline(l.points.data(), static_cast<int>(l.points.size()));
  }
  const QFontMetricsF fm(p.font());
  for (const auto& t : scene.texts) {
    p.setPen(t.color);
    const double w = fm.horizontalAdvance(t.text);
    const double x = t.align < 0 ? t.at.x() : t.align == 0 ? t.at.x() - w / 2 : t.at.x() - w;
    p.drawText(QPointF(x, t.at.y()), t.text);
  }
}

QString ChartSceneSvg(const ChartScene& scene, const QString& fontFamily, double fontPixels) {
  QString out;
  const auto n = [](double v) { return QString::number(v, 'f', 1); };
  out += QString(
             "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
             "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%1\" height=\"%2\" viewBox=\"0 0 "
             "%1 %2\" "
             "font-family=\"%3\" font-size=\"%4\">\n")
             .arg(n(scene.size.width()), n(scene.size.height()), Escape(fontFamily), n(fontPixels));
  for (const auto& b : scene.boxes)
    out +=
        QString("<rect x=\"%1\" y=\"%2\" width=\"%3\" height=\"%4\" fill=\"%5\" stroke=\"%6\"/>\n")
            .arg(n(b.rect.x()), n(b.rect.y()), n(b.rect.width()), n(b.rect.height()),
                 b.fill.isValid() ? Colour(b.fill) : "none",
                 b.stroke.isValid() ? Colour(b.stroke) : "none");
  for (const auto& l : scene.lines) {
    QString points;
    for (const QPointF& p : l.points) points += n(p.x()) + "," + n(p.y()) + " ";
    out += QString("<polyline points=\"%1\" fill=\"none\" stroke=\"%2\" stroke-width=\"%3\"%4/>\n")
               .arg(points.trimmed(), Colour(l.color), n(l.width),
                    l.dashed ? " stroke-dasharray=\"5 3\"" : "");
  }
  for (const auto& t : scene.texts) {
    const char* anchor = t.align < 0 ? "start" : t.align == 0 ? "middle" : "end";
    out += QString("<text x=\"%1\" y=\"%2\" fill=\"%3\" text-anchor=\"%4\">%5</text>\n")
               .arg(n(t.at.x()), n(t.at.y()), Colour(t.color), anchor, Escape(t.text));
  }
  out += "</svg>\n";
  return out;
}

TimelineChart::TimelineChart(QWidget* parent) : QWidget(parent) {
  setObjectName("timelineChart");
  setToolTip("Right-click to save the chart as PNG or SVG.");
}

void TimelineChart::Take(const Timeline& t) {
  if (t.finished) {
    timeline_ = t;
  } else {
    // A new run starts from nothing; during one only the newest slices
    // are copied, the last again because the run's end may move it.
    if (timeline_.finished || t.slices.size() < timeline_.slices.size()) {
      timeline_ = Timeline{};
      timeline_.slices.reserve(t.slices.capacity());
      livePaints_.clear();
    }
    timeline_.writing = t.writing;
    timeline_.cacheFigures = t.cacheFigures;
    const std::size_t from = timeline_.slices.empty() ? 0 : timeline_.slices.size() - 1;
    timeline_.slices.resize(from);
    timeline_.slices.insert(timeline_.slices.end(),
                            t.slices.begin() + static_cast<std::ptrdiff_t>(from), t.slices.end());
    // A paint costs about as much as a few hundred 4 KiB blocks: during a
    // run the chart asks for one ten times a second, not every frame.
    if (lastLiveUpdate_.isValid() && lastLiveUpdate_.elapsed() < kLiveUpdateMs) return;
    lastLiveUpdate_.start();
  }
  update();
}

ChartScene TimelineChart::Scene() const {
  return BuildChartScene(timeline_, size(), fontInfo().pixelSize());
}

void TimelineChart::paintEvent(QPaintEvent*) {
  ++paints_;
  if (!timeline_.finished && !timeline_.slices.empty())
    livePaints_.push_back(timeline_.slices.size());
  QPainter p(this);
  PaintChartScene(Scene(), p);
}

namespace {

bool SaveBytes(const QString& path, const std::string& protectedFile, const QByteArray& bytes,
               QString* error) {
  os::runtime::output::Writer out;
  // Names are bytes, as the file system keeps them.
  const bool saved =
      out.Open(QFile::encodeName(path).toStdString(), protectedFile) &&
      out.Write(std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size()))) &&
      out.Commit();
  if (!saved && error) *error = QString::fromLocal8Bit(out.Error().c_str());
  return saved;
}

}  // namespace

bool TimelineChart::SavePng(const QString& path, QString* error) const {
  QImage image(size(), QImage::Format_ARGB32);
  image.fill(Qt::white);
  QPainter p(&image);
  p.setFont(font());
  PaintChartScene(Scene(), p);
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

bool TimelineChart::SaveSvg(const QString& path, QString* error) const {
  const QByteArray svg =
      ChartSceneSvg(Scene(), fontInfo().family(), fontInfo().pixelSize()).toUtf8();
  return SaveBytes(path, testFile ? testFile() : std::string(), svg, error);
}

void TimelineChart::contextMenuEvent(QContextMenuEvent* event) {
  QMenu menu(this);
  QAction* png = menu.addAction("Save as PNG...");
  menu.addAction("Save as SVG...");
  QAction* chosen = menu.exec(event->globalPos());
  if (!chosen) return;
  const bool asPng = chosen == png;
  const QString path = QFileDialog::getSaveFileName(
      this, "Save the timeline", asPng ? "timeline.png" : "timeline.svg",
      asPng ? "PNG image (*.png)" : "SVG image (*.svg)", nullptr, QFileDialog::DontUseNativeDialog);
  if (path.isEmpty()) return;
  QString why;
  if (asPng ? SavePng(path, &why) : SaveSvg(path, &why)) return;
  QMessageBox box(QMessageBox::Warning, window()->windowTitle(), "The chart could not be saved.",
                  QMessageBox::Ok, this);
  box.setInformativeText(why);
  box.exec();
}
