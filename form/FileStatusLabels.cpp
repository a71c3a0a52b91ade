// The file status line of the main window.
#include "form/frmMain.h"
#include "placement/FileInspection.h"

void frmMain::SetFragmentLabel(os::HANDLE hFile) {
  const FileInspection f = InspectFile(form_.Text(Ctl::txtTestFile), hFile);
  // A file system that does not tell leaves the line as it was.
  if (f.size == 0)
    form_.SetText(Ctl::lblReadStatus, 4, "");
  else if (f.placed)
    form_.SetText(Ctl::lblReadStatus, 4,
                  FragmentCaption(f.fragments, f.minAlignment, f.maxAlignment));
}

void frmMain::SetCompressedLabel(const std::string& path) {
  const std::string caption = form_.Text(Ctl::lblReadStatus, 4);
  if (caption.empty()) return;
  const os::DWORD attributes = os::GetFileAttributesA(path);
  if (attributes == os::INVALID_FILE_ATTRIBUTES) return;
  if (attributes & os::FILE_ATTRIBUTE_COMPRESSED)
    form_.SetText(Ctl::lblReadStatus, 4, caption + ", compressed");
}
