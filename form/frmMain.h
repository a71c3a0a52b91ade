// The main window's logic: its event handlers and public methods, over the
// controls that FormView exposes. The Qt window and the headless form both
// drive this one class.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "fileio/clsFile64.h"
#include "form/FormView.h"
#include "form/Timeline.h"
#include "platform/os.h"

// What the latest Write or Read run measured, for scripts that want more
// than the window's lines. Times in ms are those the lines came from; the
// ns figures are the same intervals from a nanosecond clock.
struct RunRecord {
  bool finished = false;  // reached the result line, every step succeeded
  std::string message;    // the message box the run ended with, if any
  std::string detail;     // its detail: the path and the system's reason
  int stoppedBy = 0;      // the stop request that ended it
  bool fileFlushFailed = false;
  bool volumeFlushFailed = false;
  int index = -1;             // 1 Write, 0 Read
  std::int64_t testSize = 0;  // ten-thousandths of a byte
  std::int32_t blockSize = 0;
  std::int32_t fileFlags = 0;
  std::int64_t wholeBlocks = 0;
  std::int64_t transferred = 0;
  std::int32_t finalCount = 0;
  std::int32_t finalResult = 0;
  std::int32_t elapsedMs = 0;  // without flush
  std::int32_t elapsedWithFlushMs = 0;
  std::int32_t fileFlushMs = -1;  // -1: not made
  std::int32_t volumeFlushMs = -1;
  std::int64_t elapsedNs = 0;
  std::int64_t elapsedWithFlushNs = 0;
  std::int64_t fileFlushNs = -1;
  std::int64_t volumeFlushNs = -1;
  std::int64_t sleepNs = 0;  // the settling sleep kept out of both intervals
  Timeline timeline;
};

// What the latest create-and-delete test measured.
struct CreateDeleteRecord {
  std::int32_t files = 0;                   // N
  std::int32_t created = 0;                 // C
  std::int32_t createMs = 0, deleteMs = 0;  // totals over C files
  std::int32_t flushAfterCreateMs = 0, flushAfterDeleteMs = 0;
  std::int64_t createNs = 0, deleteNs = 0;
  std::int64_t flushAfterCreateNs = 0, flushAfterDeleteNs = 0;
  bool volumeOpened = false;
  bool flushAfterCreateFailed = false, flushAfterDeleteFailed = false;
  std::string message;  // the message box the test ended with, if any
  std::string detail;
  int stoppedBy = 0;            // the stop request that ended it
  std::int32_t notDeleted = 0;  // files it created and could not delete
  bool finished = false;        // both phases ran, every file went, both flushes succeeded
};

class frmMain : public FormEvents {
 public:
  explicit frmMain(FormView& form);
  ~frmMain() override;
  frmMain(const frmMain&) = delete;
  frmMain& operator=(const frmMain&) = delete;

  FormView& Form() { return form_; }

  void Change(Ctl ctl, int index) override;
  void Click(Ctl ctl, int index) override;
  void GotFocus(Ctl ctl, int index) override;

  // argumentText: the command line after the program name.
  void Form_Load(const std::string& argumentText);
  // True when the close is refused. unloadMode 0: the user asked.
  bool Form_QueryUnload(int unloadMode);
  void Form_Unload();

  void ClearReadStatus();
  void SetHighPriority(bool bHigh);
  void TextBoxGotFocus(Ctl ctl, int index);
  void chkFileFlags_Click(int Index);

  void txtBlockSizeSectors_Change();
  void SetTxtSize(std::int64_t size);
  void ResetTxtSize();

  void txtTestFile_Change();
  void cmdBrowse_Click();
  void cmdFileOp_Click(int Index);

  // The file status line: fragments and alignment of the open file...
  void SetFragmentLabel(os::HANDLE hFile);
  // ...then ", compressed" when the file system stores it so.
  void SetCompressedLabel(const std::string& path);

  // The Write (1) and Read (0) runs.
  void cmdFileReadWrite_Click(int Index);
  static std::int32_t GetNextAlign(std::int32_t v, std::int32_t base);
  void cmdCreateAndDeleteFiles_Click();
  // After every test, also one that failed or was stopped: the buttons and
  // the status line as the file now is.
  void ShowFileState();

  // The throughput runs' file object; none until the first run.
  std::unique_ptr<clsFile64> oTestFile;
  std::string sTestFile;
  // Fixed point with four decimal places: ten-thousandths of a byte.
  std::int64_t TestSize = 0;
  os::HANDLE hPriorityProcess = 0;
  // Runs record their timeline; the command line leaves it out where no
  // one would see it.
  bool recordTimeline = true;
  // A Write run asks before it replaces a file this program did not write;
  // the command line writes what it is told, as dd does, and never asks.
  bool askBeforeReplacing = true;

  const RunRecord& LastRun() const { return lastRun_; }
  const CreateDeleteRecord& LastCreateDelete() const { return lastCreateDelete_; }

 private:
  FormView& form_;
  RunRecord lastRun_;
  CreateDeleteRecord lastCreateDelete_;
};

// The smaller of two sizes; the second when they are equal.
std::int64_t Min(std::int64_t a, std::int64_t b);

// The block size field in sectors, read once for the label beside it and
// the run alike, in the user's decimal separator; 0 when it is no number.
double BlockSectors(const FormView& form);

// The sum of the Tags of the checked flag boxes, each read as a signed
// 32-bit hexadecimal number.
std::int32_t CheckedFileFlags(const FormView& form);
