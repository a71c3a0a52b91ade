// The main window's logic: its event handlers and public methods, over the
// controls that FormView exposes. The Qt window and the headless form both
// drive this one class.
#pragma once

#include <memory>
#include <string>

#include "app/FormView.h"
#include "fileio/clsFile64.h"
#include "platform/os.h"

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

  void ClearReadStatus();
  // The file status line: fragments and alignment of the open file...
  void SetFragmentLabel(os::HANDLE hFile);
  // ...then ", compressed" when the file system stores it so.
  void SetCompressedLabel(const std::string& path);

  void txtTestFile_Change();

  // The throughput runs' file object; none until the first run.
  std::unique_ptr<clsFile64> oTestFile;

 private:
  FormView& form_;
};
