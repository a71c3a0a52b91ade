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

// What the layer knows about each handle it gave out; a handle it did not
// give out is refused, so that a stale value never reaches someone else's.
enum class Kind { File, Volume, Process };
void AddHandle(os::HANDLE h, Kind kind);
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

}  // namespace os::detail
