#include "form/basComDlg.h"

#include "fileio/basStrings.h"
#include "platform/os.h"

std::string ShowOpenDialog(FormView& owner, const std::string& title, std::string& folder,
                           const std::string& defaultName, const std::string& filter,
                           std::int32_t filterIndex, const std::string& defaultExtension) {
  std::int16_t mode = 0;
  return FileDialog(owner, title, folder, defaultName, filter, filterIndex, defaultExtension, mode);
}

std::string FileDialog(FormView& owner, const std::string& title, std::string& folder,
                       const std::string& defaultName, const std::string& filter,
                       std::int32_t filterIndex, const std::string& defaultExtension,
                       std::int16_t& mode) {
  // "text|pattern|..." becomes the NUL-separated list the system dialog
  // reads; it ends at the first empty entry.
  std::string list = filter + "||";
  ReplaceString(list, "|", std::string(1, '\0'));
  FileDialogRequest request{title,       folder,           defaultName, {},
                            filterIndex, defaultExtension, mode != 0};
  for (std::size_t at = 0; at < list.size();) {
    const std::size_t end = list.find('\0', at);
    if (end == at) break;
    const std::string text = list.substr(at, end - at);
    const std::size_t patternEnd = list.find('\0', end + 1);
    const std::string pattern = list.substr(end + 1, patternEnd - end - 1);
    request.filters.emplace_back(text, pattern.empty() ? text : pattern);
    if (pattern.empty()) break;
    at = patternEnd + 1;
  }

  const auto path = owner.FileDialog(request);
  if (!path || path->empty()) return "";
  const auto cut = path->rfind(os::runtime::PathSeparator());
  if (cut == std::string::npos) return *path;
  folder = path->substr(0, cut + 1);
  return path->substr(cut + 1);
}
