// The main window over the system's own controls: EDIT, BUTTON, STATIC and
// etched lines, laid out in dialog units with the system's message font,
// and the timeline panel below them, drawn with GDI from the chart model.
// The logic stays in frmMain.
#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "form/FormView.h"
#include "form/TimelineChartModel.h"

class frmMain;
class RandomPane;

class Win32Form : public FormView {
 public:
  // Window handles, without the system's header.
  using Window = void*;

  Win32Form();
  ~Win32Form() override;
  Win32Form(const Win32Form&) = delete;
  Win32Form& operator=(const Win32Form&) = delete;

  // The logic that answers the close request.
  void SetLogic(frmMain* logic) { logic_ = logic; }
  Window Handle() const { return hwnd_; }
  Window Control(Ctl ctl, int index = 0) const;
  // Handles a message for the window's keyboard interface (tab, access
  // keys); true when it was used up.
  bool PreTranslate(void* msg);
  // Runs the message loop until the window is gone; returns the exit code.
  static int RunMessageLoop(Win32Form& form);

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

  // The timeline panel below the controls, and the button that shows it.
  void ShowTimeline(bool show);
  bool TimelineShown() const { return chartShown_; }
  Window Chart() const { return chart_; }
  Window ChartToggle() const { return toggle_; }
  Window Tooltips() const { return tooltips_; }
  const Timeline& ShownTimeline() const { return shown_.Get(); }
  int ChartPaints() const { return chartPaints_; }
  // The random-order panel below it, hidden at start too, and its button.
  void ShowRandom(bool show);
  bool RandomShown() const { return randomShown_; }
  RandomPane* Random() const { return random_.get(); }
  Window RandomToggle() const { return randomToggle_; }
  // Paints the panel's scene; for the panel's window procedure.
  void PaintChart(void* dc, int width, int height);

  // The window procedure's work; public for the static trampoline.
  std::intptr_t WndProc(unsigned message, std::uintptr_t wParam, std::intptr_t lParam);

 private:
  struct Entry {
    const ControlDesign* design;
    Window hwnd;
  };
  Entry& At(Ctl ctl, int index);
  const Entry& At(Ctl ctl, int index) const;
  void Build();
  void AddTooltips();
  void Layout(int width, int height);
  // Sets the client area's size, the window's frame around it.
  void ResizeClient(int width, int height);
  // Grows the client area by a panel shown, or shrinks it by what the
  // panel added when it was shown: any order of panels gives it all back.
  void ResizeForPanel(int& grown, int by, bool show);
  void Command(int id, int code);
  bool IsOurs(Window w) const;
  // True when a display frame has passed since last; then starts a new one.
  static bool FrameDue(std::chrono::steady_clock::time_point& last);

  struct Placed {
    Window hwnd;
    int x, y, w, h;  // as designed, in pixels
    bool stretch;    // takes the extra width
    bool follow;     // moves right by it
  };

  Window hwnd_ = nullptr;
  void* font_ = nullptr;
  std::vector<Placed> placed_;
  int designWidth_ = 0, designHeight_ = 0;
  Window chart_ = nullptr;
  Window toggle_ = nullptr;
  Window tooltips_ = nullptr;
  bool chartShown_ = false;
  int chartGrown_ = 0;
  std::unique_ptr<RandomPane> random_;
  Window randomToggle_ = nullptr;
  bool randomShown_ = false;
  int randomGrown_ = 0;
  chart::ShownTimeline shown_;
  int chartPaints_ = 0;
  // The control that had the focus when the window last lost it.
  Window focus_ = nullptr;
  // A stop this window noted for the end of the session.
  bool sessionStop_ = false;
  std::map<std::pair<Ctl, int>, Entry> controls_;
  std::vector<const ControlDesign*> byId_;
  FormEvents* events_ = nullptr;
  frmMain* logic_ = nullptr;
  bool waitCursor_ = false;
  std::chrono::steady_clock::time_point lastPaint_{};
  std::chrono::steady_clock::time_point lastEvents_{};
};
