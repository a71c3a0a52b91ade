#include "app/frmMain.h"

#include "fileio/NumberText.h"
#include "fileio/basFiles.h"

frmMain::frmMain(FormView& form) : form_(form) { form_.SetEvents(this); }

frmMain::~frmMain() { form_.SetEvents(nullptr); }

void frmMain::Change(Ctl ctl, int /*index*/) {
  if (ctl == Ctl::txtTestFile) txtTestFile_Change();
}

void frmMain::Click(Ctl, int) {}

void frmMain::GotFocus(Ctl, int) {}

void frmMain::ClearReadStatus() {
  for (int i = 0; i <= 4; ++i) form_.SetText(Ctl::lblReadStatus, i, "");
}

void frmMain::txtTestFile_Change() {
  const std::string path = form_.Text(Ctl::txtTestFile);
  ClearReadStatus();
  if (FileExists(path, "")) {
    form_.SetEnabled(Ctl::cmdFileOp, 1, true);
    const std::int64_t size = GetFileSize64(path);
    if (size != 0) {
      form_.SetText(Ctl::txtSize, 0,
                    numtext::Format(static_cast<double>(size) / 1024 / 1024, "#", form_.DecimalSeparator()));
      form_.SetText(Ctl::lblSizeUnit, 0, "MB");
      form_.SetEnabled(Ctl::cmdFileReadWrite, 0, true);
    } else {
      form_.SetEnabled(Ctl::cmdFileReadWrite, 0, false);
    }
    const os::HANDLE h = os::CreateFileA(path, os::GENERIC_READ, os::FILE_SHARE_READ | os::FILE_SHARE_WRITE,
                                         os::OPEN_EXISTING, 0);
    if (h == os::INVALID_HANDLE_VALUE) {
      form_.SetText(Ctl::lblReadStatus, 4, "");
    } else {
      SetFragmentLabel(h);
      SetCompressedLabel(path);
      os::CloseHandle(h);
    }
  } else {
    form_.SetEnabled(Ctl::cmdFileReadWrite, 0, false);
    form_.SetEnabled(Ctl::cmdFileOp, 1, false);
    form_.SetText(Ctl::lblReadStatus, 4, "");
    form_.SetText(Ctl::lblSizeUnit, 0, "MB");
  }
  // A file kept open by a run no longer matches the field.
  if (!oTestFile) {
    form_.SetEnabled(Ctl::cmdFileOp, 0, false);
  } else if (oTestFile->IsOpen()) {
    oTestFile->CloseFile();
    form_.SetEnabled(Ctl::cmdFileOp, 0, false);
  }
}
