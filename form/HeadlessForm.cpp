#include "form/HeadlessForm.h"

#include <stdexcept>

HeadlessForm::HeadlessForm() {
  for (const auto& d : DesignTable()) {
    State& s = controls_[{d.ctl, d.index}] = State{d.kind, d.text, d.tag, d.value};
    if (const std::size_t slot = ControlSlot(d.ctl, d.index); slot != kNoSlot) slots_[slot] = &s;
  }
}

HeadlessForm::State& HeadlessForm::At(Ctl ctl, int index) {
  const std::size_t slot = ControlSlot(ctl, index);
  State* s = slot == kNoSlot ? nullptr : slots_[slot];
  if (!s) throw std::out_of_range("the window has no such control");
  return *s;
}

const HeadlessForm::State& HeadlessForm::At(Ctl ctl, int index) const {
  return const_cast<HeadlessForm*>(this)->At(ctl, index);
}

std::string HeadlessForm::Text(Ctl ctl, int index) const { return At(ctl, index).text; }

void HeadlessForm::SetText(Ctl ctl, int index, const std::string& text) {
  State& s = At(ctl, index);
  if (s.kind == CtlKind::Label && captionObserver_) captionObserver_(ctl, index, text);
  if (s.text == text) return;
  s.text = text;
  s.selStart = static_cast<int>(text.size());
  s.selLength = 0;
  if (s.kind == CtlKind::TextBox && events_) events_->Change(ctl, index);
}

int HeadlessForm::Value(Ctl ctl, int index) const { return At(ctl, index).value; }

void HeadlessForm::SetValue(Ctl ctl, int index, int value) {
  State& s = At(ctl, index);
  if (s.value == value) return;
  if (s.kind == CtlKind::OptionButton && value != 0) {
    // Selecting one option clears the others of its group.
    for (auto& [key, other] : controls_)
      if (key.first == ctl) other.value = 0;
    s.value = 1;
  } else {
    s.value = value;
  }
  const bool clicks =
      s.kind == CtlKind::CheckBox || (s.kind == CtlKind::OptionButton && value != 0);
  if (clicks && events_) events_->Click(ctl, index);
}

bool HeadlessForm::Enabled(Ctl ctl, int index) const { return At(ctl, index).enabled; }

void HeadlessForm::SetEnabled(Ctl ctl, int index, bool enabled) {
  At(ctl, index).enabled = enabled;
}

std::string HeadlessForm::Tag(Ctl ctl, int index) const { return At(ctl, index).tag; }

void HeadlessForm::SetSelection(Ctl ctl, int index, int start, int length) {
  State& s = At(ctl, index);
  s.selStart = start;
  s.selLength = length;
}

std::pair<int, int> HeadlessForm::Selection(Ctl ctl, int index) const {
  const State& s = At(ctl, index);
  return {s.selStart, s.selLength};
}

void HeadlessForm::Refresh(Ctl ctl, int index) { ++At(ctl, index).refreshes; }

int HeadlessForm::Refreshes(Ctl ctl, int index) const { return At(ctl, index).refreshes; }

void HeadlessForm::DoEvents() {
  // Input is delivered once, as a real queue would deliver it.
  if (!pendingInput_) return;
  if (auto input = std::exchange(pendingInput_, nullptr)) input();
}

int HeadlessForm::MsgBox(const std::string& prompt, int style, const std::string& detail) {
  messages_.push_back({prompt, style, detail});
  if ((style & 7) != vbYesNo) return vbOK;
  return std::exchange(questionAnswer_, std::nullopt).value_or(vbNo);
}

void HeadlessForm::SetFocus(Ctl ctl, int index) {
  At(ctl, index);
  focus_ = {ctl, index};
  if (events_) events_->GotFocus(ctl, index);
}

void HeadlessForm::UserClick(Ctl ctl, int index) {
  State& s = At(ctl, index);
  if (!s.enabled) return;
  switch (s.kind) {
    case CtlKind::Button:
      if (events_) events_->Click(ctl, index);
      break;
    case CtlKind::CheckBox:
      SetValue(ctl, index, s.value == 1 ? 0 : 1);
      break;
    case CtlKind::OptionButton:
      SetValue(ctl, index, 1);
      break;
    default:
      break;
  }
}

std::optional<std::string> HeadlessForm::FileDialog(const FileDialogRequest& request) {
  lastDialog_ = request;
  return std::exchange(dialogAnswer_, std::nullopt);
}
