// String helpers shared by the window and the tests.
#pragma once

#include <string>

// Trims blanks at both ends, then cuts before the first NUL: a buffer filled
// by a system call becomes a plain string.
std::string TrimNull(std::string s);

// Replaces every occurrence of search in text, in place, left to right,
// without overlapping matches. search must not be empty.
void ReplaceString(std::string& text, const std::string& search, const std::string& replacement);
