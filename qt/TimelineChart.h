// The timeline panel: MB/s per slice over the file offset, the dirty and
// writeback cache on a second axis, the flushes at finish and the run's
// average lines. Drawn with QPainter from a scene of plain shapes that the
// SVG export writes out as they are, so the file shows what the screen does.
#pragma once

#include <functional>
#include <string>

#include <QColor>
#include <QElapsedTimer>
#include <QPointF>
#include <QRectF>
#include <QString>
#include <QWidget>

#include <vector>

#include "throughput/Timeline.h"

class QPainter;

struct ChartScene {
  struct Line {
    std::vector<QPointF> points;
    QColor color;
    double width = 1;
    bool dashed = false;
  };
  struct Text {
    QPointF at;  // the baseline's left, centre or right end, after align
    QString text;
    QColor color;
    int align = -1;  // -1 left, 0 centre, 1 right
  };
  struct Box {
    QRectF rect;
    QColor fill;
    QColor stroke;  // invalid: none
  };
  QSizeF size;
  std::vector<Box> boxes;
  std::vector<Line> lines;
  std::vector<Text> texts;
};

// The scene for a timeline at a size, with labels sized for a font of
// fontPixels pixels.
ChartScene BuildChartScene(const Timeline& timeline, QSizeF size, double fontPixels);
void PaintChartScene(const ChartScene& scene, QPainter& painter);
// A standalone SVG document of the scene.
QString ChartSceneSvg(const ChartScene& scene, const QString& fontFamily, double fontPixels);

class TimelineChart : public QWidget {
 public:
  explicit TimelineChart(QWidget* parent = nullptr);

  // What the run has recorded so far; the whole timeline once it ends.
  void Take(const Timeline& timeline);
  const Timeline& Shown() const { return timeline_; }
  // Paint events this chart has handled; for those of the latest run while
  // it was not over, how many slices each drew.
  int Paints() const { return paints_; }
  const std::vector<std::size_t>& LivePaints() const { return livePaints_; }

  // Saved like every output of the program: never onto a device, a FIFO or
  // the test file, and complete or not at all. error: the path and why.
  bool SavePng(const QString& path, QString* error = nullptr) const;
  bool SaveSvg(const QString& path, QString* error = nullptr) const;
  // The window's test file, which a saved chart must never replace.
  std::function<std::string()> testFile;

  QSize sizeHint() const override { return {640, 260}; }
  QSize minimumSizeHint() const override { return {320, 160}; }

 protected:
  void paintEvent(QPaintEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;

 private:
  ChartScene Scene() const;

  Timeline timeline_;
  int paints_ = 0;
  std::vector<std::size_t> livePaints_;
  QElapsedTimer lastLiveUpdate_;
};
