// What the engine sees of the main window: its controls by name and index,
// and the few runtime services its handlers call. The Qt window and the
// headless form implement it, so the command line and the tests run the
// same handlers as the window.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

struct Timeline;

enum class Ctl {
  Label1,
  txtTestFile,
  cmdBrowse,
  lblReadStatus,
  Label2,
  txtSize,
  lblSizeUnit,
  Label4,
  txtBlockSizeSectors,
  lbl512,
  lblBlockSize,
  chkFileFlags,
  cmdFileReadWrite,
  cmdFileOp,
  chkFlushAtFinish,
  chkFlushAllBlocks,
  picDataType,
  optDataType,
  Label5,
  txtNumberOfFiles,
  cmdCreateAndDeleteFiles,
  chkEvictCache,
  lblCacheVerdict,
  fraWrite,
};

enum class CtlKind { TextBox, Label, Button, CheckBox, OptionButton, PictureBox, Frame };

// A control's place in a flat table, so that the faces find a control per
// block without a search; kNoSlot for an index no control array reaches.
inline constexpr std::size_t kIndicesPerControl = 5;
inline constexpr std::size_t kControlSlots =
    (static_cast<std::size_t>(Ctl::fraWrite) + 1) * kIndicesPerControl;
inline constexpr std::size_t kNoSlot = kControlSlots;
constexpr std::size_t ControlSlot(Ctl ctl, int index) {
  if (index < 0 || static_cast<std::size_t>(index) >= kIndicesPerControl) return kNoSlot;
  return static_cast<std::size_t>(ctl) * kIndicesPerControl + static_cast<std::size_t>(index);
}

// Tab follows the screen: the top rows, the left column, the middle, the
// right panel; both windows keep this order.
inline constexpr std::pair<Ctl, int> kTabOrder[] = {
    {Ctl::lblReadStatus, 4},
    {Ctl::txtTestFile, 0},
    {Ctl::cmdBrowse, 0},
    {Ctl::txtSize, 0},
    {Ctl::txtBlockSizeSectors, 0},
    {Ctl::chkFileFlags, 0},
    {Ctl::chkFileFlags, 3},
    {Ctl::chkFileFlags, 1},
    {Ctl::chkFileFlags, 2},
    {Ctl::chkFlushAtFinish, 0},
    {Ctl::chkFlushAtFinish, 1},
    {Ctl::chkFlushAllBlocks, 0},
    {Ctl::optDataType, 0},
    {Ctl::optDataType, 1},
    {Ctl::cmdFileReadWrite, 0},
    {Ctl::cmdFileReadWrite, 1},
    {Ctl::cmdFileOp, 0},
    {Ctl::cmdFileOp, 1},
    {Ctl::lblReadStatus, 0},
    {Ctl::lblReadStatus, 1},
    {Ctl::lblReadStatus, 2},
    {Ctl::lblReadStatus, 3},
    {Ctl::chkEvictCache, 0},
    {Ctl::txtNumberOfFiles, 0},
    {Ctl::cmdCreateAndDeleteFiles, 0},
    {Ctl::lblCacheVerdict, 0},
};

// One control of the window as designed.
struct ControlDesign {
  Ctl ctl;
  int index;
  CtlKind kind;
  const char* name;
  const char* text;  // text or caption
  const char* tag;
  int value;  // check boxes 0/1, option buttons 1 when selected
};

// Every control with its design-time text, Tag and value.
std::span<const ControlDesign> DesignTable();
const ControlDesign* FindDesign(Ctl ctl, int index);

// Message box styles and answers, mouse pointers.
inline constexpr int vbOKOnly = 0;
inline constexpr int vbYesNo = 4;
inline constexpr int vbCritical = 16;
inline constexpr int vbQuestion = 32;
inline constexpr int vbExclamation = 48;
inline constexpr int vbOK = 1;
inline constexpr int vbYes = 6;
inline constexpr int vbNo = 7;
inline constexpr int vbDefault = 0;
inline constexpr int vbHourglass = 11;

// The window's event handlers, as the engine's main form implements them.
class FormEvents {
 public:
  virtual ~FormEvents() = default;
  // A text box's text changed.
  virtual void Change(Ctl ctl, int index) = 0;
  // A button was pressed, or a check box's or option button's value changed.
  virtual void Click(Ctl ctl, int index) = 0;
  virtual void GotFocus(Ctl ctl, int index) = 0;
};

// A modal file dialog owned by the window, centred on the screen.
struct FileDialogRequest {
  std::string title;
  std::string initialFolder;
  std::string defaultName;
  std::vector<std::pair<std::string, std::string>> filters;  // display text, pattern
  int filterIndex = 1;                                       // from 1
  std::string defaultExtension;
  bool save = false;  // open dialogs accept existing files only
};

class FormView {
 public:
  virtual ~FormView() = default;
  virtual void SetEvents(FormEvents* events) = 0;

  // The text of a text box, the caption of any other control.
  virtual std::string Text(Ctl ctl, int index = 0) const = 0;
  // Setting a text box to a different text runs its Change handler.
  virtual void SetText(Ctl ctl, int index, const std::string& text) = 0;
  // Setting a check box's value, or selecting an option button, runs Click
  // when the value changes.
  virtual int Value(Ctl ctl, int index = 0) const = 0;
  virtual void SetValue(Ctl ctl, int index, int value) = 0;
  virtual bool Enabled(Ctl ctl, int index = 0) const = 0;
  virtual void SetEnabled(Ctl ctl, int index, bool enabled) = 0;
  virtual std::string Tag(Ctl ctl, int index = 0) const = 0;
  virtual void SetSelection(Ctl ctl, int index, int start, int length) = 0;
  // The window's own caption.
  virtual std::string Caption() const = 0;
  virtual void SetCaption(const std::string& caption) = 0;

  // Runtime services.
  virtual void Refresh(Ctl ctl, int index) = 0;
  virtual void RefreshForm() = 0;
  virtual void DoEvents() = 0;
  // Shows prompt with an OK button and the icon of style, or with Yes and
  // No buttons when style holds vbYesNo; no caption of its own, so the
  // application's title shows. detail, when given, names the cause below
  // the prompt. Returns vbOK, or vbYes or vbNo for a question.
  virtual int MsgBox(const std::string& prompt, int style, const std::string& detail = {}) = 0;
  virtual void SetMousePointer(int pointer) = 0;
  virtual void SetFocus(Ctl ctl, int index) = 0;
  // True when the focus that just arrived came with a fresh left click
  // (Windows asks the mouse button; Qt knows the focus reason).
  virtual bool LeftButtonJustPressed() = 0;
  // The decimal separator of the user's number format.
  virtual char DecimalSeparator() const = 0;
  // The chosen file's full path; nullopt when cancelled.
  virtual std::optional<std::string> FileDialog(const FileDialogRequest& request) = 0;
  // A run's timeline grew by a slice, or the run ended (timeline.finished).
  // Valid only during the call; a face that draws it keeps what it needs.
  virtual void TimelineChanged(const Timeline& /*timeline*/) {}
};
