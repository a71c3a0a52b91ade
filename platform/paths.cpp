#include "platform/paths.h"

#include <cctype>

namespace os::rules {

bool IsDriveLetter(const std::string& s) {
  if (s.size() != 1) return false;
  const int c = std::toupper(static_cast<unsigned char>(s[0]));
  return c >= 'A' && c <= 'Z';
}

std::string WindowsInitialTestFile(const std::string& argumentText, const std::string& curDir) {
  const bool drive = argumentText.size() == 2 && argumentText[1] == ':' &&
                     IsDriveLetter(argumentText.substr(0, 1));
  if (drive || argumentText.size() == 1) return argumentText.substr(0, 1) + ":\\" + kTestFileName;
  return curDir.substr(0, 3) + kTestFileName;
}

std::string PosixInitialTestFile(const std::string& argumentText, bool argumentIsDirectory,
                                 const std::string& curDir) {
  std::string folder = !argumentText.empty() && argumentIsDirectory ? argumentText : curDir;
  // A current directory that cannot be read leaves the name relative, as
  // the Windows rule does for an empty folder; never the root.
  if (folder.empty()) return kTestFileName;
  if (folder.back() != '/') folder += '/';
  return folder + kTestFileName;
}

}  // namespace os::rules
