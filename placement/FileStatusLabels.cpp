// The file status line of the main window.
#include "form/frmMain.h"
#include "placement/FragmentReport.h"

void frmMain::SetFragmentLabel(os::HANDLE hFile) {
  os::DWORD high = 0;
  const os::DWORD low = os::GetFileSize(hFile, &high);
  if (MakeInt64(static_cast<std::int32_t>(low), static_cast<std::int32_t>(high)) == 0) {
    form_.SetText(Ctl::lblReadStatus, 4, "");
    return;
  }
  const std::string drive = os::runtime::DriveOf(form_.Text(Ctl::txtTestFile));
  std::int32_t count = 0, minimum = 0, maximum = 0;
  if (!GetFileFragments(drive, hFile, count, minimum, maximum)) return;

  form_.SetText(Ctl::lblReadStatus, 4, FragmentCaption(count, minimum, maximum));
}

void frmMain::SetCompressedLabel(const std::string& path) {
  const std::string caption = form_.Text(Ctl::lblReadStatus, 4);
  if (caption.empty()) return;
  const os::DWORD attributes = os::GetFileAttributesA(path);
  if (attributes == os::INVALID_FILE_ATTRIBUTES) return;
  if (attributes & os::FILE_ATTRIBUTE_COMPRESSED)
    form_.SetText(Ctl::lblReadStatus, 4, caption + ", compressed");
}
