// The window's test buttons: each reads its fields once, hands the engine a
// description, shows the run as it goes and the lines of its record.
#include <limits>

#include "createdelete/basCreateDelete.h"
#include "fileio/NumberText.h"
#include "fileio/basFiles.h"
#include "form/ResultLines.h"
#include "form/basBase.h"
#include "form/frmMain.h"

namespace {

constexpr std::int64_t kMB = 1048576;

// A Write or Read run as the window shows it.
class WindowRun : public ThroughputObserver {
 public:
  WindowRun(frmMain& window, const ThroughputDescription& run)
      : window_(window), form_(window.Form()), writing_(run.writing) {}

  bool MayReplace(const std::string& path) override {
    return !window_.askBeforeReplacing ||
           form_.MsgBox("This file was not written by this program. Replace its contents?",
                        vbYesNo | vbQuestion, path) == vbYes;
  }
  void Opened(os::HANDLE h) override {
    window_.SetStatusLine(h);
    form_.SetEnabled(Ctl::cmdFileOp, 0, true);
  }
  // The repaint at "0%" then costs the run one caption.
  void Prepared() override { form_.RefreshForm(); }
  void ClockStarted() override {
    form_.SetText(Ctl::lblReadStatus, 0, "0%");
    form_.RefreshForm();
  }
  void Progress(int percent) override {
    std::string caption = std::to_string(percent);
    caption.insert(caption.begin(), ' ');
    caption += '%';
    form_.SetText(Ctl::lblReadStatus, 0, caption);
    // Repainting a caption that did not change shows nothing new; a repaint
    // the window puts off is paid at the next change.
    form_.Refresh(Ctl::lblReadStatus, 0);
  }
  void BlocksDone() override {
    form_.SetText(Ctl::lblReadStatus, 0, "100%");
    if (writing_) form_.Refresh(Ctl::lblReadStatus, 0);
    form_.RefreshForm();
  }
  void ProcessMessages() override { form_.DoEvents(); }
  FinishChoices AtFinish() override {
    return {form_.Value(Ctl::chkFlushAtFinish, 0) != 0, form_.Value(Ctl::chkFlushAtFinish, 1) != 0};
  }
  void FlushStarting(const ThroughputRecord& rec, FlushMark::Kind kind) override {
    const int line = FlushLineIndex(rec, kind);
    form_.SetText(Ctl::lblReadStatus, line,
                  kind == FlushMark::File ? "flushing file..." : "flushing volume...");
    form_.Refresh(Ctl::lblReadStatus, line);
  }
  void FlushEnded(const ThroughputRecord& rec, FlushMark::Kind kind) override {
    const int line = FlushLineIndex(rec, kind);
    form_.SetText(Ctl::lblReadStatus, line, FlushLine(rec, kind));
    form_.Refresh(Ctl::lblReadStatus, line);
  }
  void TimelineChanged(const Timeline& timeline) override { form_.TimelineChanged(timeline); }

 private:
  frmMain& window_;
  FormView& form_;
  const bool writing_;
};

// The create-and-delete test as the window shows it.
class WindowCreateDelete : public CreateDeleteObserver {
 public:
  explicit WindowCreateDelete(FormView& form) : form_(form) {}

  void Created(std::int32_t i) override { Show(0, std::to_string(i)); }
  void CreationFailed(const std::string& message) override {
    form_.MsgBox(message, vbOKOnly);
    form_.SetMousePointer(vbDefault);
  }
  void PhaseTimed(const CreateDeleteRecord& rec, int phase) override {
    Show(phase * 2, CreateDeleteLine(rec, phase * 2, form_.DecimalSeparator()));
  }
  void FlushStarting(int phase) override { Show(phase * 2 + 1, "flushing..."); }
  void FlushEnded(const CreateDeleteRecord& rec, int phase) override {
    Show(phase * 2 + 1, CreateDeleteLine(rec, phase * 2 + 1, form_.DecimalSeparator()));
  }
  void Deleted(std::int32_t j) override { Show(2, std::to_string(j)); }

 private:
  void Show(int line, const std::string& text) {
    form_.SetText(Ctl::lblReadStatus, line, text);
    form_.Refresh(Ctl::lblReadStatus, line);
  }
  FormView& form_;
};

}  // namespace

std::optional<ThroughputDescription> frmMain::ReadRunFields(bool writing) {
  auto refuse = [this](const std::string& why) -> std::optional<ThroughputDescription> {
    lastRun_.failure = RunFailure::Refused;
    lastRun_.message = why;
    return std::nullopt;
  };
  // The size the label beside the field shows, not another reading of it.
  const auto blockBytes = numtext::ToInt32(BlockSectors(form_) * 512);
  if (blockBytes && *blockBytes == 0) {
    // Nothing to run.
    form_.SetFocus(Ctl::txtBlockSizeSectors, 0);
    return std::nullopt;
  }
  if (!blockBytes || *blockBytes < 0)
    return refuse("The block size must be a number of sectors from 1 to 4194303.");

  ThroughputDescription run;
  run.writing = writing;
  run.blockSize = *blockBytes;
  run.fileFlags = CheckedFileFlags(form_);
  run.file = sTestFile = form_.Text(Ctl::txtTestFile);
  run.randomData = form_.Value(Ctl::optDataType, 1) != 0;
  run.flushEveryBlock = form_.Value(Ctl::chkFlushAllBlocks) != 0;
  run.recordTimeline = recordTimeline;
  const char sep = form_.DecimalSeparator();
  if (writing) {
    const auto mb = numtext::ToFixed4(form_.Text(Ctl::txtSize), sep);
    bool negative = false;
    if (!mb && numtext::IsNumber(form_.Text(Ctl::txtSize), sep, &negative))
      return refuse(negative ? "The file size must not be negative."
                             : "The file size is too large.");
    if (!mb) return refuse("The file size must be a number of MB.");
    if (*mb < 0) return refuse("The file size must not be negative.");
    if (*mb > std::numeric_limits<std::int64_t>::max() / kMB)
      return refuse("The file size is too large.");
    run.size = *mb * kMB;
  } else {
    run.evictFirst = form_.Value(Ctl::chkEvictCache) != 0;
    // The field shows the file's size; the run reads what the field says.
    run.size = std::numeric_limits<std::int64_t>::max();
    if (FileExists(run.file, "")) {
      SetTxtSize(GetFileSize64(run.file));
      const auto mb = numtext::ToFixed4(form_.Text(Ctl::txtSize), sep).value_or(0);
      run.size = mb > run.size / kMB ? run.size : mb * kMB;
    }
  }
  return run;
}

void frmMain::cmdFileReadWrite_Click(int Index) {
  if (gTestRunning) return;
  gTestRunning = true;
  form_.SetMousePointer(vbHourglass);
  for (int i = 0; i < 20; ++i) os::Sleep(1);
  ClearReadStatus();
  lastRun_ = ThroughputRecord{};
  lastRun_.writing = Index == 1;
  if (const auto run = ReadRunFields(Index == 1)) {
    if (!oTestFile) oTestFile = std::make_unique<clsFile64>();
    WindowRun observer(*this, *run);
    lastRun_ = RunThroughput(*run, *oTestFile, observer);
    TestSize = lastRun_.testSize;
  }
  ShowRunEnd();
}

void frmMain::ShowRunEnd() {
  const ThroughputRecord& r = lastRun_;
  if (r.HasLines()) {
    const ResultLines lines = ThroughputLines(r, form_.DecimalSeparator());
    for (int i = 0; i < 4; ++i)
      form_.SetText(Ctl::lblReadStatus, i, lines[static_cast<std::size_t>(i)]);
    form_.SetText(Ctl::lblCacheVerdict, 0, CacheVerdict(r, form_.DecimalSeparator()));
    form_.SetEnabled(Ctl::cmdFileOp, 0, true);
    form_.RefreshForm();
  } else {
    ClearReadStatus();
  }
  form_.SetMousePointer(vbDefault);
  gTestRunning = false;
  switch (r.failure) {
    case RunFailure::Refused:
      form_.MsgBox(r.message, vbExclamation);
      break;
    case RunFailure::NotFound:
      form_.MsgBox("File not found", vbCritical, r.detail);
      break;
    case RunFailure::OpenFailed:
      form_.MsgBox("Error opening the file", vbExclamation, r.detail);
      break;
    case RunFailure::Error:
      form_.MsgBox("Error", vbOKOnly, r.detail);
      break;
    case RunFailure::None:
      break;
  }
  ShowFileState();
}

void frmMain::cmdCreateAndDeleteFiles_Click() {
  // A click let in by a run's event processing would run the whole test
  // inside the run's timed loop.
  if (gTestRunning) return;
  CreateDeleteDescription test;
  test.file = form_.Text(Ctl::txtTestFile);
  test.files = NumberOfFiles(form_.Text(Ctl::txtNumberOfFiles));
  test.fileFlags = CheckedFileFlags(form_);
  form_.SetText(Ctl::txtNumberOfFiles, 0, std::to_string(test.files));
  ClearReadStatus();
  form_.SetMousePointer(vbHourglass);
  WindowCreateDelete observer(form_);
  lastCreateDelete_ = RunCreateDelete(test, observer);
  form_.SetMousePointer(vbDefault);
  if (lastCreateDelete_.stoppedBy != 0) ClearReadStatus();
  if (lastCreateDelete_.message == "Error")
    form_.MsgBox("Error", vbOKOnly, lastCreateDelete_.detail);
  ShowFileState();
}
