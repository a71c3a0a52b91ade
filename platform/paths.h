// The rules for the window's initial test file, one per system, as pure
// functions so that both can be checked on either system.
#pragma once

#include <string>

namespace os::rules {

inline constexpr const char* kTestFileName = "_Orvandel.$$$";

// True for exactly one character whose upper case lies in A..Z.
bool IsDriveLetter(const std::string& s);

// Windows: "d:" or any single character names the drive; anything else
// takes the first three characters of the current directory.
std::string WindowsInitialTestFile(const std::string& argumentText, const std::string& curDir);

// Linux: an argument that names a directory puts the file there; anything
// else puts it in the current directory.
std::string PosixInitialTestFile(const std::string& argumentText, bool argumentIsDirectory,
                                 const std::string& curDir);

}  // namespace os::rules
