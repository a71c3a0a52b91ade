// Shared by the Windows implementation files of the OS layer.
#pragma once

#include <optional>
#include <string>

// The layer's own names first: windows.h defines most of them again as
// macros with the same values, so after it they are used unqualified.
#include "platform/os.h"
#include "platform/seam.h"

#include <windows.h>

namespace os::detail {

// Counts the call; true (with the fault's last error set) when an armed test
// fault makes it fail now.
bool Faulted(seam::Op op);

inline ::HANDLE Native(os::HANDLE h) { return reinterpret_cast<::HANDLE>(h); }
inline os::HANDLE Ours(::HANDLE h) { return reinterpret_cast<os::HANDLE>(h); }
// INVALID_HANDLE_VALUE, written so that the layer's HANDLE does not change its type.
inline bool Invalid(::HANDLE h) { return Ours(h) == -1; }

// What the layer knows about each handle it gave out; a handle it did not
// give out is refused, so that a stale value never reaches someone else's.
enum class Kind { File, Volume, Process, Folder };
void AddHandle(os::HANDLE h, Kind kind);
// A folder handle with the path it had when opened, without a trailing
// backslash.
void AddFolder(os::HANDLE h, const std::string& path);
std::optional<std::string> FolderPath(os::HANDLE h);
std::optional<Kind> FindHandle(os::HANDLE h);
bool RemoveHandle(os::HANDLE h);

// The volume name GetVolumeNameForVolumeMountPointA just gave this thread,
// without the trailing backslash: the one device name the next CreateFileA
// on this thread may open for writing, for the volume flush.
void GrantVolume(const std::string& name);
// True when name is that grant; the grant is used up either way.
bool TakeVolumeGrant(const std::string& name);

// True when name reaches a device rather than a file or folder: the device
// namespaces (\\.\, \\?\ without a drive path, GLOBALROOT) and the reserved
// DOS device names (CON, NUL, COM1, LPT1, ...) in any folder.
bool NamesDevice(const std::string& name);

// The path the open handle h has now (GetFinalPathNameByHandleA, of any
// length); "" with the last error set when the system cannot tell.
std::string FinalPath(::HANDLE h, ::DWORD flags);
// Removes the very file h is open on, whatever its name is by now.
bool DeleteThroughHandle(::HANDLE h);
// What the system says about code, without the line break.
std::string SystemText(::DWORD code);

}  // namespace os::detail
