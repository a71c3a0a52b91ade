// File and path helpers.
#pragma once

#include <cstdint>
#include <string>

#include "platform/os.h"

// The share mode the program's own file opens pass; set at start-up from
// the system the program runs on.
extern std::uint32_t gShareMode;

// Appends the path separator to a non-empty path that does not end in one.
void AddBackslash(std::string& path);

// True when name denotes an existing file or directory (alone or inside
// directory), or a program the system would run for it.
bool FileExists(const std::string& name, const std::string& directory = "");

// The program that would run for name, or "" when there is none.
std::string GetAssociatedExe(const std::string& name, const std::string& directory);

// With a directory: remembers the current one and changes to it (trimmed of
// blanks in place). With "": goes back to the remembered one. False when
// anything failed or there was nothing to go back to.
bool ChangeDirectory(std::string& directory);

// The size of the named file, 0 when it cannot be opened.
std::int64_t GetFileSize64(const std::string& name);

// The system's directory of programs.
std::string GetWindowsDir();

// The volume that holds the open file or folder h, opened for whole-volume
// flushes. Found from the handle, so that a path that leads elsewhere by now
// (a replaced folder, a deleted file reached through /dev/fd) never picks
// another volume. found is false (and the handle invalid) when the volume
// cannot be opened.
os::HANDLE OpenVolumeOf(os::HANDLE h, bool& found);

// The folder part of path ("." for a bare name) and the name in it.
struct PathParts {
  std::string folder;
  std::string name;
};
PathParts SplitPath(const std::string& path);

// The system's text for an error code, without the line break system
// messages end with; the code itself when the system has no text.
std::string SystemReason(os::DWORD code);

// Whether a flush that failed with error means written data was dropped. A
// flush that could not be made at all (no volume handle without the rights
// to open one, a system that cannot flush a volume) loses nothing.
bool FlushDroppedData(os::DWORD error);

// Flushes a volume opened by OpenVolumeOf: 0 when it was flushed, when there
// is none, or when the failure lost nothing; else the system's error.
os::DWORD FlushVolume(os::HANDLE volume);
