// Helpers of the create-and-delete test.
#pragma once

#include <cstdint>
#include <string>

// Deletes exactly the file named sPattern. Unlike the runtime's deletion it
// never expands * or ?, which Linux names may contain. False on failure.
bool KillFiles(const std::string& sPattern);

// The number of files: the text's leading number, halves to even, clamped
// to 10 ... 10,000 (numbers beyond 32 bits clamp the same way).
std::int32_t NumberOfFiles(const std::string& text);
