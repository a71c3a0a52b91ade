// The main window without pixels: the controls' state, the design defaults,
// and a record of what the handlers asked of the runtime. The command line
// and the tests drive the engine through it.
#pragma once

#include <array>
#include <functional>
#include <map>
#include <utility>
#include <vector>

#include "form/FormView.h"

class HeadlessForm : public FormView {
 public:
  struct Message {
    std::string prompt;
    int style;
    std::string detail;
  };

  HeadlessForm();

  void SetEvents(FormEvents* events) override { events_ = events; }
  std::string Text(Ctl ctl, int index = 0) const override;
  void SetText(Ctl ctl, int index, const std::string& text) override;
  int Value(Ctl ctl, int index = 0) const override;
  void SetValue(Ctl ctl, int index, int value) override;
  bool Enabled(Ctl ctl, int index = 0) const override;
  void SetEnabled(Ctl ctl, int index, bool enabled) override;
  std::string Tag(Ctl ctl, int index = 0) const override;
  void SetSelection(Ctl ctl, int index, int start, int length) override;
  std::string Caption() const override { return caption_; }
  void SetCaption(const std::string& caption) override { caption_ = caption; }

  void Refresh(Ctl ctl, int index) override;
  void RefreshForm() override { ++formRefreshes_; }
  void DoEvents() override;
  int MsgBox(const std::string& prompt, int style, const std::string& detail = {}) override;
  void SetMousePointer(int pointer) override { mousePointer_ = pointer; }
  void SetFocus(Ctl ctl, int index) override;
  bool LeftButtonJustPressed() override { return std::exchange(leftPressed_, false); }
  char DecimalSeparator() const override { return decimalSeparator_; }
  std::optional<std::string> FileDialog(const FileDialogRequest& request) override;

  // What a user does: a click on an enabled button, check box or option
  // button; a click on a disabled one does nothing.
  void UserClick(Ctl ctl, int index = 0);
  void SetDecimalSeparator(char c) { decimalSeparator_ = c; }
  // Runs during DoEvents, as input arriving while a handler lets it in.
  // What the next question (a vbYesNo box) is answered; a question without
  // an answer set is answered vbNo, the answer that changes nothing.
  void SetQuestionAnswer(int answer) { questionAnswer_ = answer; }
  void SetPendingInput(std::function<void()> input) { pendingInput_ = std::move(input); }
  void SetLeftButtonPressed() { leftPressed_ = true; }
  // What the next file dialog answers; nullopt is a cancel.
  void SetDialogAnswer(std::optional<std::string> path) { dialogAnswer_ = std::move(path); }
  const std::optional<FileDialogRequest>& LastDialog() const { return lastDialog_; }
  // Sees every caption a label is given, in order.
  void SetCaptionObserver(std::function<void(Ctl, int, const std::string&)> observer) {
    captionObserver_ = std::move(observer);
  }

  const std::vector<Message>& Messages() const { return messages_; }
  int MousePointer() const { return mousePointer_; }
  std::pair<Ctl, int> Focus() const { return focus_; }
  std::pair<int, int> Selection(Ctl ctl, int index = 0) const;
  int Refreshes(Ctl ctl, int index) const;
  int FormRefreshes() const { return formRefreshes_; }

 private:
  struct State {
    CtlKind kind;
    std::string text;
    std::string tag;
    int value = 0;
    bool enabled = true;
    int selStart = 0;
    int selLength = 0;
    int refreshes = 0;
  };
  State& At(Ctl ctl, int index);
  const State& At(Ctl ctl, int index) const;

  std::map<std::pair<Ctl, int>, State> controls_;
  std::array<State*, kControlSlots> slots_{};  // into controls_
  FormEvents* events_ = nullptr;
  std::string caption_;
  std::vector<Message> messages_;
  int mousePointer_ = vbDefault;
  std::pair<Ctl, int> focus_{Ctl::txtTestFile, 0};
  int formRefreshes_ = 0;
  bool leftPressed_ = false;
  char decimalSeparator_ = '.';
  std::function<void()> pendingInput_;
  std::optional<int> questionAnswer_;
  std::optional<std::string> dialogAnswer_;
  std::optional<FileDialogRequest> lastDialog_;
  std::function<void(Ctl, int, const std::string&)> captionObserver_;
};
