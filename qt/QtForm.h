// The main window in Qt Widgets: the controls of the design table with
// their names, laid out by Qt layouts, and the runtime services the
// handlers call. The logic stays in frmMain.
#pragma once

#include <QElapsedTimer>
#include <QWidget>

#include <array>
#include <map>
#include <utility>
#include <vector>

#include "form/FormView.h"

class frmMain;
class QLabel;
class QToolButton;
class RandomPanel;
class TimelineChart;

class QtForm : public QWidget, public FormView {
 public:
  QtForm();
  ~QtForm() override;

  // The logic that answers the close request.
  void SetLogic(frmMain* logic) { logic_ = logic; }
  // The Qt widget of a control; objectName is its name with its index.
  QWidget* Control(Ctl ctl, int index = 0) const;
  int Repaints() const { return repaints_; }

  void SetEvents(FormEvents* events) override { events_ = events; }
  std::string Text(Ctl ctl, int index = 0) const override;
  void SetText(Ctl ctl, int index, const std::string& text) override;
  int Value(Ctl ctl, int index = 0) const override;
  void SetValue(Ctl ctl, int index, int value) override;
  bool Enabled(Ctl ctl, int index = 0) const override;
  void SetEnabled(Ctl ctl, int index, bool enabled) override;
  std::string Tag(Ctl ctl, int index = 0) const override;
  void SetSelection(Ctl ctl, int index, int start, int length) override;
  std::string Caption() const override;
  void SetCaption(const std::string& caption) override;
  void Refresh(Ctl ctl, int index) override;
  void RefreshForm() override;
  void DoEvents() override;
  int MsgBox(const std::string& prompt, int style, const std::string& detail = {}) override;
  void SetMousePointer(int pointer) override;
  void SetFocus(Ctl ctl, int index) override;
  bool LeftButtonJustPressed() override;
  char DecimalSeparator() const override;
  std::optional<std::string> FileDialog(const FileDialogRequest& request) override;
  void TimelineChanged(const Timeline& timeline) override;

  // The timeline panel below the designed controls, hidden at start, and
  // the toggle that shows it.
  TimelineChart* Chart() const { return chart_; }
  QToolButton* ChartToggle() const { return chartToggle_; }
  void ShowTimeline(bool show);
  // The random-order panel below it, hidden at start too, and its toggle.
  RandomPanel* Random() const { return random_; }
  QToolButton* RandomToggle() const { return randomToggle_; }
  void ShowRandom(bool show);

  // A text box reports the reason its focus arrived with.
  void TextBoxFocused(Ctl ctl, int index, Qt::FocusReason reason);

 protected:
  void closeEvent(QCloseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  struct Entry {
    const ControlDesign* design;
    QWidget* widget;
    std::string text;             // what the handlers last set or read, to skip equal sets
    qint64 lastPaint = kLongAgo;  // on the frame clock, ms
    bool changed = false;         // the caption differs from the one painted
    bool owed = false;            // a repaint was asked for and put off
    bool pending = false;         // a label's text not yet given to its widget
  };
  Entry& At(Ctl ctl, int index);
  const Entry& At(Ctl ctl, int index) const;
  void Build();
  // Shows or hides a panel below the controls: the window grows by it and
  // shrinks back by as much.
  void ShowPanel(QWidget* panel, bool show);
  void Wire(Entry& e);
  // The labels a user selects and copies from: the status lines and the
  // cache verdict.
  std::array<QWidget*, 6> ResultLabels() const;
  // True when a frame has passed since last; then starts a new frame.
  bool FrameDue(qint64& last, qint64 period);
  // Gives a label its latest text, if it has one not given yet.
  void Apply(Entry& e);
  void ApplyPending();
  qint64 Now();
  static constexpr qint64 kLongAgo = -1000000;

  std::map<std::pair<Ctl, int>, Entry> controls_;
  std::array<Entry*, kControlSlots> slots_{};  // into controls_
  FormEvents* events_ = nullptr;
  frmMain* logic_ = nullptr;
  Qt::FocusReason focusReason_ = Qt::OtherFocusReason;
  // Controls whose repaint was put off: painted with the next one.
  std::vector<Entry*> owed_;
  // Labels whose text waits for their next paint or the next pass of the
  // event loop, whichever comes first.
  std::vector<Entry*> pending_;
  bool applyPosted_ = false;
  qint64 lastEvents_ = kLongAgo;
  qint64 now_ = 0;
  int stride_ = 1;
  int sinceRead_ = 0;
  bool waitCursor_ = false;
  int repaints_ = 0;
  TimelineChart* chart_ = nullptr;
  QToolButton* chartToggle_ = nullptr;
  RandomPanel* random_ = nullptr;
  QToolButton* randomToggle_ = nullptr;
  // What showing each panel added to the window's height.
  std::map<QWidget*, int> grown_;
};
