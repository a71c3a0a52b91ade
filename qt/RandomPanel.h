// The random-order panel: the standard table with Run and Stop, the
// progress line, and the latency histogram of the chosen or latest test,
// which saves as PNG and SVG. The runs go on a thread of the model's own.
#pragma once

#include <functional>
#include <string>

#include <QWidget>

#include "form/LatencyChartModel.h"
#include "form/RandomPanelModel.h"

class FormView;
class QLabel;
class QProgressBar;
class QPushButton;
class QTableWidget;
class QTimer;

class LatencyChartWidget : public QWidget {
 public:
  explicit LatencyChartWidget(const RandomPanelModel& model, QWidget* parent = nullptr);
  chart::LatencyChart Chart() const;
  // As the timeline saves: never onto the test file, complete or not at all.
  bool SavePng(const QString& path, QString* error = nullptr) const;
  bool SaveSvg(const QString& path, QString* error = nullptr) const;
  std::function<std::string()> testFile;

  QSize sizeHint() const override { return {360, 240}; }
  QSize minimumSizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;

 private:
  const RandomPanelModel& model_;
};

class RandomPanel : public QWidget {
 public:
  // form: the window whose test file and size field the runs take.
  RandomPanel(FormView& form, QWidget* parent = nullptr);

  RandomPanelModel& Model() { return model_; }
  QTableWidget* Table() const { return table_; }
  QPushButton* RunButton() const { return run_; }
  QPushButton* StopButton() const { return stop_; }
  QLabel* ProgressLine() const { return progress_; }
  LatencyChartWidget* Chart() const { return chart_; }
  // Called when a run has ended, whichever way.
  std::function<void()> ended;
  // Seconds a test; the table's own by default.
  double seconds = kProfileSeconds;

  void Run();
  void Stop();
  // Shows what the model holds now.
  void Show();

  QSize sizeHint() const override { return {640, 280}; }

 private:
  FormView& form_;
  RandomPanelModel model_;
  QTableWidget* table_ = nullptr;
  QPushButton* run_ = nullptr;
  QPushButton* stop_ = nullptr;
  QLabel* progress_ = nullptr;
  QProgressBar* bar_ = nullptr;
  LatencyChartWidget* chart_ = nullptr;
  QTimer* poll_ = nullptr;
};
