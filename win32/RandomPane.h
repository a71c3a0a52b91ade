// The random-order panel of the Win32 window: Run and Stop, the standard
// table in a list view, the progress line and bar, and the latency
// histogram drawn with GDI from the chart model, saved as PNG through
// GDI+ and as SVG. The runs go on the model's own thread; a timer on the
// panel polls it. No system header here: handles are plain pointers.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "form/LatencyChartModel.h"
#include "form/RandomPanelModel.h"

class FormView;

class RandomPane {
 public:
  using Window = void*;
  // parent: the main window; font: its message font.
  RandomPane(FormView& form, Window parent, void* font);
  ~RandomPane();
  RandomPane(const RandomPane&) = delete;
  RandomPane& operator=(const RandomPane&) = delete;

  Window Handle() const { return hwnd_; }
  Window RunButton() const { return run_; }
  Window StopButton() const { return stop_; }
  Window Table() const { return table_; }
  Window ProgressLine() const { return progress_; }
  Window Chart() const { return chart_; }
  RandomPanelModel& Model() { return model_; }
  // Seconds a test; the table's own by default.
  double seconds = kProfileSeconds;
  // Called when a run has ended, whichever way.
  std::function<void()> ended;

  // Adds the tips of the panel's controls to the window's tooltip control.
  void AddTips(Window tooltips);
  void Run();
  void Stop();
  // Shows what the model holds now.
  void Show();
  // The chart's scene at the chart's size, in the window's font.
  chart::LatencyChart LatencyScene() const;
  // As the timeline saves: never onto the test file, complete or not at all.
  bool SavePng(const std::string& path, std::string* error = nullptr) const;
  bool SaveSvg(const std::string& path, std::string* error = nullptr) const;

  // For the window procedures.
  std::intptr_t PaneProc(unsigned message, std::uintptr_t wParam, std::intptr_t lParam);
  void PaintChart(void* dc, int width, int height) const;
  void ChartMenu(int x, int y);

 private:
  void Layout(int width, int height);

  FormView& form_;
  RandomPanelModel model_;
  void* font_ = nullptr;
  Window hwnd_ = nullptr, run_ = nullptr, stop_ = nullptr, table_ = nullptr;
  Window progress_ = nullptr, bar_ = nullptr, chart_ = nullptr;
  int tableWidth_ = 0, tableHeight_ = 0, lineHeight_ = 0;
};
