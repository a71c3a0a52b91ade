// The timeline panel: the chart's scene drawn with QPainter, and written
// out as it is by the SVG export, so the file shows what the screen does.
#pragma once

#include <functional>
#include <string>

#include <QElapsedTimer>
#include <QString>
#include <QWidget>

#include <vector>

#include "form/TimelineChartModel.h"

class QPainter;

// Draws the panel's scene in the painter's font.
void PaintChartScene(const chart::Scene& scene, QPainter& painter);

// The chart's menu: "Save as PNG..." or SVG, a file dialog, and a box that
// says why a save failed. what names the chart in the box ("chart").
using ChartSaver = std::function<bool(const QString& path, QString* error)>;
void OfferToSave(QWidget* chart, QContextMenuEvent* event, const QString& what, const QString& name,
                 const ChartSaver& png, const ChartSaver& svg);
// A standalone SVG document of the scene.
QString ChartSceneSvg(const chart::Scene& scene, const QString& fontFamily);

class TimelineChart : public QWidget {
 public:
  explicit TimelineChart(QWidget* parent = nullptr);

  // What the run has recorded so far; the whole timeline once it ends.
  void Take(const Timeline& timeline);
  const Timeline& Shown() const { return shown_.Get(); }
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
  // Room for every label in the widget's font.
  QSize minimumSizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;

 private:
  chart::Scene Scene() const;

  chart::ShownTimeline shown_;
  int paints_ = 0;
  std::vector<std::size_t> livePaints_;
  QElapsedTimer clock_;
};
