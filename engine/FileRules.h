// What every test checks before it writes its test file.
#pragma once

#include <cstdint>
#include <string>

// The default test file's name, in any folder: its contents are no user's.
bool IsDefaultTestFile(const std::string& path);

// Why a file of bytes at path would not fit: "Not enough free space: ...";
// "" when it fits or the system cannot tell. What the file occupies counts,
// not its length: the holes of a sparse file take space when written.
std::string FreeSpaceRefusal(const std::string& path, std::int64_t bytes);
