// The main window's logic: its event handlers and public methods, over the
// controls that FormView exposes. The Qt window and the headless form both
// drive this one class.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "createdelete/CreateDeleteTest.h"
#include "fileio/clsFile64.h"
#include "form/FormView.h"
#include "platform/os.h"
#include "throughput/ThroughputRun.h"

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

  // The file status line of the open file: the command line's status line.
  void SetStatusLine(os::HANDLE hFile);

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

  const ThroughputRecord& LastRun() const { return lastRun_; }
  const CreateDeleteRecord& LastCreateDelete() const { return lastCreateDelete_; }

 private:
  FormView& form_;
  // The run's settings as its fields give them; nullopt when it must not
  // run, with lastRun_ saying why.
  std::optional<ThroughputDescription> ReadRunFields(bool writing);
  // The lines, the message and the file's state a finished run leaves.
  void ShowRunEnd();

  ThroughputRecord lastRun_;
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
