// The file status line of the main window.
#include "form/ResultLines.h"
#include "form/frmMain.h"
#include "placement/FileInspection.h"

void frmMain::SetStatusLine(os::HANDLE hFile) {
  const FileInspection f = InspectFile(form_.Text(Ctl::txtTestFile), hFile);
  // A file system that does not tell where the file lies leaves the line
  // as it was.
  if (f.size != 0 && !f.placed) return;
  form_.SetText(Ctl::lblReadStatus, 4, StatusLine(f));
}
