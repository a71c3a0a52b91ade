#include "qt/TimelineChart.h"

#include <QBuffer>
#include <QContextMenuEvent>
#include <QFile>
#include <QFileDialog>
#include <QFont>
#include <QImage>
#include <QMenu>
#include <QMessageBox>
#include <QPainter>
#include <QPen>

#include <cmath>
#include <string_view>

#include "platform/os.h"

namespace {

QColor Colour(chart::Rgb c) {
  return c == chart::kNone ? QColor() : QColor((c >> 16) & 0xff, (c >> 8) & 0xff, c & 0xff);
}

QString Q(const std::string& s) { return QString::fromUtf8(s.data(), static_cast<int>(s.size())); }

}  // namespace

void PaintChartScene(const chart::Scene& scene, QPainter& p) {
  p.setRenderHint(QPainter::Antialiasing, false);
  for (const auto& b : scene.boxes) {
    p.setPen(b.stroke != chart::kNone ? QPen(Colour(b.stroke), 1) : QPen(Qt::NoPen));
    p.setBrush(b.fill != chart::kNone ? QBrush(Colour(b.fill)) : QBrush(Qt::NoBrush));
    p.drawRect(QRectF(QPointF(b.rect.left, b.rect.top), QPointF(b.rect.right, b.rect.bottom)));
  }
  p.setBrush(Qt::NoBrush);
  std::vector<QPointF> points;
  for (const auto& l : scene.lines) {
    QPen pen(Colour(l.colour), l.width);
    if (l.dashed) pen.setDashPattern({5 / l.width, 3 / l.width});
    p.setPen(pen);
    points.clear();
    for (const chart::Point& pt : l.points) points.emplace_back(pt.x, pt.y);
    p.drawPolyline(points.data(), static_cast<int>(points.size()));
  }
  const QFontMetricsF fm(p.font());
  for (const auto& t : scene.texts) {
    p.setPen(Colour(t.colour));
    const QString text = Q(t.text);
    const double w = fm.horizontalAdvance(text);
    const double x = t.align < 0 ? t.at.x : t.align == 0 ? t.at.x - w / 2 : t.at.x - w;
    p.drawText(QPointF(x, t.at.y), text);
  }
}

QString ChartSceneSvg(const chart::Scene& scene, const QString& fontFamily) {
  QString out;
  const auto n = [](double v) { return QString::number(v, 'f', 1); };
  const auto colour = [](chart::Rgb c) {
    return c == chart::kNone ? QString("none") : Colour(c).name(QColor::HexRgb);
  };
  out += QString(
             "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
             "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%1\" height=\"%2\" viewBox=\"0 0 "
             "%1 %2\" "
             "font-family=\"%3\" font-size=\"%4\">\n")
             .arg(n(scene.width), n(scene.height), fontFamily.toHtmlEscaped(), n(scene.fontPixels));
  for (const auto& b : scene.boxes)
    out +=
        QString("<rect x=\"%1\" y=\"%2\" width=\"%3\" height=\"%4\" fill=\"%5\" stroke=\"%6\"/>\n")
            .arg(n(b.rect.left), n(b.rect.top), n(b.rect.Width()), n(b.rect.Height()),
                 colour(b.fill), colour(b.stroke));
  for (const auto& l : scene.lines) {
    QString points;
    for (const chart::Point& p : l.points) points += n(p.x) + "," + n(p.y) + " ";
    out += QString("<polyline points=\"%1\" fill=\"none\" stroke=\"%2\" stroke-width=\"%3\"%4/>\n")
               .arg(points.trimmed(), colour(l.colour), n(l.width),
                    l.dashed ? " stroke-dasharray=\"5 3\"" : "");
  }
  for (const auto& t : scene.texts) {
    const char* anchor = t.align < 0 ? "start" : t.align == 0 ? "middle" : "end";
    out += QString("<text x=\"%1\" y=\"%2\" fill=\"%3\" text-anchor=\"%4\">%5</text>\n")
               .arg(n(t.at.x), n(t.at.y), colour(t.colour), anchor, Q(t.text).toHtmlEscaped());
  }
  out += "</svg>\n";
  return out;
}

TimelineChart::TimelineChart(QWidget* parent) : QWidget(parent) {
  setObjectName("timelineChart");
  setToolTip("Right-click to save the chart as PNG or SVG.");
  clock_.start();
}

void TimelineChart::Take(const Timeline& t) {
  const auto u = shown_.Take(t, clock_.elapsed());
  if (u.newRun) livePaints_.clear();
  if (u.repaint) update();
}

QSize TimelineChart::minimumSizeHint() const {
  const double f = fontInfo().pixelSize();
  return {static_cast<int>(std::ceil(chart::MinimumWidth(f))),
          static_cast<int>(std::ceil(chart::MinimumHeight(f)))};
}

chart::Scene TimelineChart::Scene() const {
  const QFontMetricsF fm(font());
  return chart::BuildScene(shown_.Get(), width(), height(), fontInfo().pixelSize(),
                           [&fm](const std::string& s) { return fm.horizontalAdvance(Q(s)); });
}

void TimelineChart::paintEvent(QPaintEvent*) {
  ++paints_;
  if (!Shown().finished && !Shown().slices.empty()) livePaints_.push_back(Shown().slices.size());
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
  // An image has a resolution of its own: a font in points would come out
  // at another size than the scene was laid out for.
  QFont pixels = font();
  pixels.setPixelSize(fontInfo().pixelSize());
  p.setFont(pixels);
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
  const QByteArray svg = ChartSceneSvg(Scene(), fontInfo().family()).toUtf8();
  return SaveBytes(path, testFile ? testFile() : std::string(), svg, error);
}

void OfferToSave(QWidget* chart, QContextMenuEvent* event, const QString& what, const QString& name,
                 const ChartSaver& png, const ChartSaver& svg) {
  QMenu menu(chart);
  QAction* asPng = menu.addAction("Save as PNG...");
  menu.addAction("Save as SVG...");
  QAction* chosen = menu.exec(event->globalPos());
  if (!chosen) return;
  const bool toPng = chosen == asPng;
  const QString path = QFileDialog::getSaveFileName(
      chart, "Save the " + what, name + (toPng ? ".png" : ".svg"),
      toPng ? "PNG image (*.png)" : "SVG image (*.svg)", nullptr, QFileDialog::DontUseNativeDialog);
  if (path.isEmpty()) return;
  QString why;
  if ((toPng ? png : svg)(path, &why)) return;
  QMessageBox box(QMessageBox::Warning, chart->window()->windowTitle(),
                  "The " + what + " could not be saved.", QMessageBox::Ok, chart);
  box.setInformativeText(why);
  box.exec();
}

void TimelineChart::contextMenuEvent(QContextMenuEvent* event) {
  OfferToSave(
      this, event, "chart", "timeline",
      [this](const QString& path, QString* why) { return SavePng(path, why); },
      [this](const QString& path, QString* why) { return SaveSvg(path, why); });
}
