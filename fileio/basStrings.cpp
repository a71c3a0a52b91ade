#include "fileio/basStrings.h"

std::string TrimNull(std::string s) {
  const auto first = s.find_first_not_of(' ');
  if (first == std::string::npos) return {};
  s = s.substr(first, s.find_last_not_of(' ') - first + 1);
  // Trimming comes first, so blanks just before the NUL stay.
  if (const auto nul = s.find('\0'); nul != std::string::npos) s.resize(nul);
  return s;
}

void ReplaceString(std::string& text, const std::string& search, const std::string& replacement) {
  if (search.empty()) return;
  std::string result;
  result.reserve(text.size());
  std::size_t from = 0;
  for (auto at = text.find(search); at != std::string::npos; at = text.find(search, from)) {
    result.append(text, from, at - from).append(replacement);
    from = at + search.size();
  }
  result.append(text, from);
  text = std::move(result);
}
