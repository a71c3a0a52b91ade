#include "form/basBase.h"

#include "fileio/basFiles.h"
#include "platform/os.h"

std::string gAppPath;
std::string gTitle;
bool gInIDE = false;
bool gTestRunning = false;

namespace {

void GetOSVersion(os::OSVERSIONINFOA& rec) {
  rec = {};
  rec.dwOSVersionInfoSize = sizeof(os::OSVERSIONINFOA);
  os::GetVersionExA(&rec);
}

std::string ExecutableFolder() {
  const std::string exe = os::runtime::ExecutablePath();
  const auto cut = exe.rfind(os::runtime::PathSeparator());
  // A program in the root keeps its single separator.
  return cut == std::string::npos ? std::string() : exe.substr(0, cut == 0 ? 1 : cut);
}

}  // namespace

std::string MakeTitle(int major, int minor, int revision, bool inIDE) {
  std::string title = "Orvandel V" + std::to_string(major) + "." + std::to_string(minor) + "." +
                      std::to_string(revision);
  if (inIDE) title += " IDE";
  return title;
}

std::uint32_t ShareModeFor(std::uint32_t platformId) {
  return platformId == os::VER_PLATFORM_WIN32_NT
             ? os::FILE_SHARE_READ | os::FILE_SHARE_WRITE | os::FILE_SHARE_DELETE
             : os::FILE_SHARE_READ | os::FILE_SHARE_WRITE;
}

void SubMain(const std::function<void()>& loadMainWindow) {
  gAppPath = ExecutableFolder();
  AddBackslash(gAppPath);
  os::OSVERSIONINFOA rec;
  GetOSVersion(rec);
  gShareMode = ShareModeFor(rec.dwPlatformId);
  gInIDE = ORVANDEL_DEVELOPMENT_BUILD != 0;
  gTitle =
      MakeTitle(ORVANDEL_VERSION_MAJOR, ORVANDEL_VERSION_MINOR, ORVANDEL_VERSION_PATCH, gInIDE);
  if (loadMainWindow) loadMainWindow();
}
