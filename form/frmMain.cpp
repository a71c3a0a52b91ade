#include "form/frmMain.h"

#include "fileio/NumberText.h"
#include "fileio/basFiles.h"
#include "fileio/basStrings.h"
#include "form/basBase.h"
#include "form/basComDlg.h"

frmMain::frmMain(FormView& form) : form_(form) { form_.SetEvents(this); }

frmMain::~frmMain() {
  // The process handle is kept for the window's life, not beyond it.
  if (hPriorityProcess != 0) os::CloseHandle(hPriorityProcess);
  form_.SetEvents(nullptr);
}

void frmMain::Change(Ctl ctl, int /*index*/) {
  if (ctl == Ctl::txtTestFile) txtTestFile_Change();
  if (ctl == Ctl::txtBlockSizeSectors) txtBlockSizeSectors_Change();
}

void frmMain::Click(Ctl ctl, int index) {
  switch (ctl) {
    case Ctl::chkFileFlags:
      chkFileFlags_Click(index);
      break;
    case Ctl::cmdBrowse:
      cmdBrowse_Click();
      break;
    case Ctl::cmdFileOp:
      cmdFileOp_Click(index);
      break;
    case Ctl::cmdFileReadWrite:
      cmdFileReadWrite_Click(index);
      break;
    case Ctl::cmdCreateAndDeleteFiles:
      cmdCreateAndDeleteFiles_Click();
      break;
    default:
      break;
  }
}

std::int64_t Min(std::int64_t a, std::int64_t b) { return a < b ? a : b; }

std::int32_t frmMain::GetNextAlign(std::int32_t v, std::int32_t base) {
  return static_cast<std::int32_t>(
      (static_cast<std::uint32_t>(v) + static_cast<std::uint32_t>(base) - 1u) &
      ~(static_cast<std::uint32_t>(base) - 1u));
}

void frmMain::ShowFileState() {
  const std::string path = form_.Text(Ctl::txtTestFile);
  const bool exists = FileExists(path, "");
  form_.SetEnabled(Ctl::cmdFileReadWrite, 0, exists && GetFileSize64(path) != 0);
  form_.SetEnabled(Ctl::cmdFileOp, 1, exists);
  const os::HANDLE h =
      exists ? os::CreateFileA(path, os::GENERIC_READ, os::FILE_SHARE_READ | os::FILE_SHARE_WRITE,
                               os::OPEN_EXISTING, 0)
             : os::INVALID_HANDLE_VALUE;
  if (h == os::INVALID_HANDLE_VALUE) {
    form_.SetText(Ctl::lblReadStatus, 4, "");
    return;
  }
  SetStatusLine(h);
  os::CloseHandle(h);
}

void frmMain::GotFocus(Ctl ctl, int index) {
  if (ctl == Ctl::txtTestFile) TextBoxGotFocus(ctl, index);
}

void frmMain::Form_Load(const std::string& argumentText) {
  // The window paints the status lines in the button-face colour itself.
  form_.SetText(Ctl::txtTestFile, 0, os::runtime::InitialTestFile(argumentText));
  txtBlockSizeSectors_Change();
  // Offered only where the system can drop one file's pages.
  form_.SetEnabled(Ctl::chkEvictCache, 0, os::runtime::CanDropFileCache());
  os::timeBeginPeriod(1);
  form_.SetCaption(gTitle);
}

bool frmMain::Form_QueryUnload(int unloadMode) { return unloadMode == 0 && gTestRunning; }

void frmMain::Form_Unload() { os::timeEndPeriod(1); }

void frmMain::ClearReadStatus() {
  for (int i = 0; i <= 4; ++i) form_.SetText(Ctl::lblReadStatus, i, "");
  form_.SetText(Ctl::lblCacheVerdict, 0, "");
}

void frmMain::SetHighPriority(bool bHigh) {
  if (hPriorityProcess == 0)
    hPriorityProcess = os::OpenProcess(os::PROCESS_SET_INFORMATION | os::PROCESS_QUERY_INFORMATION,
                                       os::FALSE, os::GetCurrentProcessId());
  os::SetPriorityClass(hPriorityProcess,
                       bHigh ? os::HIGH_PRIORITY_CLASS : os::NORMAL_PRIORITY_CLASS);
}

void frmMain::TextBoxGotFocus(Ctl ctl, int index) {
  const ControlDesign* d = FindDesign(ctl, index);
  if (!d || d->kind != CtlKind::TextBox) return;
  if (form_.LeftButtonJustPressed()) return;
  form_.SetSelection(ctl, index, 0, static_cast<int>(form_.Text(ctl, index).size()));
}

void frmMain::chkFileFlags_Click(int /*Index*/) {
  if (oTestFile && oTestFile->IsOpen()) {
    oTestFile->CloseFile();
    form_.SetEnabled(Ctl::cmdFileOp, 0, false);
  }
}

double BlockSectors(const FormView& form) {
  return numtext::ToSingle(form.Text(Ctl::txtBlockSizeSectors), form.DecimalSeparator())
      .value_or(0.0f);
}

void frmMain::txtBlockSizeSectors_Change() {
  const float kb = static_cast<float>(BlockSectors(form_)) * 0.5f;
  const char sep = form_.DecimalSeparator();
  std::string caption;
  if (kb >= 1024) {
    caption = numtext::GeneralSingle(kb / 1024, sep) + " MB";
    ReplaceString(caption, ",", ".");
  } else if (kb >= 1) {
    caption = numtext::GeneralSingle(kb, sep) + " KB";
    ReplaceString(caption, ",", ".");
  } else {
    caption = numtext::GeneralSingle(kb * 1024, sep) + " Bytes";
  }
  form_.SetText(Ctl::lblBlockSize, 0, caption);
}

void frmMain::SetTxtSize(std::int64_t size) {
  const char sep = form_.DecimalSeparator();
  if (size < 1024) {
    form_.SetText(Ctl::txtSize, 0, std::to_string(size));
    form_.SetText(Ctl::lblSizeUnit, 0, "By");
  } else if (size < 1048576) {
    form_.SetText(Ctl::txtSize, 0, numtext::GeneralDouble(static_cast<double>(size) / 1024, sep));
    form_.SetText(Ctl::lblSizeUnit, 0, "KB");
  } else {
    form_.SetText(Ctl::txtSize, 0,
                  numtext::GeneralDouble(static_cast<double>(size) / 1048576, sep));
    form_.SetText(Ctl::lblSizeUnit, 0, "MB");
  }
}

void frmMain::ResetTxtSize() {
  form_.SetText(Ctl::txtSize, 0, "200");
  form_.SetText(Ctl::lblSizeUnit, 0, "MB");
}

void frmMain::txtTestFile_Change() {
  const std::string path = form_.Text(Ctl::txtTestFile);
  ClearReadStatus();
  if (FileExists(path, "")) {
    form_.SetEnabled(Ctl::cmdFileOp, 1, true);
    const std::int64_t size = GetFileSize64(path);
    if (size != 0) {
      form_.SetText(
          Ctl::txtSize, 0,
          numtext::Format(static_cast<double>(size) / 1024 / 1024, "#", form_.DecimalSeparator()));
      form_.SetText(Ctl::lblSizeUnit, 0, "MB");
      form_.SetEnabled(Ctl::cmdFileReadWrite, 0, true);
    } else {
      form_.SetEnabled(Ctl::cmdFileReadWrite, 0, false);
    }
    const os::HANDLE h = os::CreateFileA(
        path, os::GENERIC_READ, os::FILE_SHARE_READ | os::FILE_SHARE_WRITE, os::OPEN_EXISTING, 0);
    if (h == os::INVALID_HANDLE_VALUE) {
      form_.SetText(Ctl::lblReadStatus, 4, "");
    } else {
      SetStatusLine(h);
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

void frmMain::cmdBrowse_Click() {
  std::string folder = gAppPath;
  const std::string name = ShowOpenDialog(form_, "Open Testfile", folder, "", "*.*", 1, "*.*");
  form_.SetText(Ctl::txtTestFile, 0, folder + name);
}

void frmMain::cmdFileOp_Click(int Index) {
  if (Index == 0) {
    if (oTestFile && oTestFile->IsOpen()) {
      oTestFile->CloseFile();
      form_.SetEnabled(Ctl::cmdFileOp, 0, false);
    }
    return;
  }
  if (Index != 1) return;
  if (oTestFile && oTestFile->IsOpen()) oTestFile->CloseFile();
  form_.SetEnabled(Ctl::cmdFileOp, 0, false);
  const std::string path = form_.Text(Ctl::txtTestFile);
  if (!os::DeleteFileA(path))
    form_.MsgBox("Error deleting the file", vbExclamation,
                 path + ": " + SystemReason(os::GetLastError()));
  if (!FileExists(form_.Text(Ctl::txtTestFile), "")) {
    form_.SetEnabled(Ctl::cmdFileReadWrite, 0, false);
    form_.SetEnabled(Ctl::cmdFileOp, 1, false);
    ClearReadStatus();
  }
}

std::int32_t CheckedFileFlags(const FormView& form) {
  std::uint32_t sum = 0;  // adds with the wrap of signed 32-bit numbers
  for (int i = 0; i <= 3; ++i)
    if (form.Value(Ctl::chkFileFlags, i) == 1)
      sum += static_cast<std::uint32_t>(static_cast<std::int64_t>(
          numtext::LeadingNumber("&H" + form.Tag(Ctl::chkFileFlags, i) + "&")));
  return static_cast<std::int32_t>(sum);
}
