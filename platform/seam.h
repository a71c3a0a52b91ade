// Test seam of the OS layer: tests count calls and make chosen calls fail or
// come back short, so that disk-full and I/O-error paths run against real
// files. Production code never arms it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

namespace os::seam {

enum class Op {
  CreateFileA,
  ReadFile,
  WriteFile,
  SetFilePointer,
  FlushFileBuffers,
  CloseHandle,
  GetFileSize,
  GetFileAttributesA,
  DeleteFileA,
  VirtualAlloc,
  VirtualLock,
  VirtualUnlock,
  VirtualFree,
  OpenProcess,
  SetPriorityClass,
  GetVersionExA,
  FormatMessageA,
  GetWindowsDirectoryA,
  FindExecutableA,
  GetDiskFreeSpaceA,
  GetVolumeInformationA,
  DeviceIoControl,
  GetVolumePathNameA,
  GetVolumeNameForVolumeMountPointA,
  OpenVolumeOfHandle,
  // A fault makes the system seem to lack cachestat (use ENOSYS).
  Cachestat,
  Count_
};

struct Fault {
  Op op = Op::CreateFileA;
  // Calls that pass untouched before the fault applies.
  std::uint32_t skip = 0;
  // How many calls the fault applies to.
  std::uint32_t times = 1;
  // The last error the faulty call leaves.
  std::uint32_t error = 0;
  // For ReadFile and WriteFile: transfer at most this many bytes for real
  // instead of failing outright (a short count).
  std::optional<std::uint32_t> shortCount;
};

// Arms a fault; a later fault for the same operation replaces it.
void Inject(const Fault& fault);
// The next `times` calls of op after `skip` untouched ones fail with error.
void FailNext(Op op, std::uint32_t error, std::uint32_t skip = 0, std::uint32_t times = 1);
// The next call of op transfers at most count bytes for real, then reports
// error (0: success).
void ShortenNext(Op op, std::uint32_t count, std::uint32_t error);
// Disarms every fault and zeroes the counters.
void Reset();
std::uint64_t Calls(Op op);
// Handles the layer has given out and not yet closed.
std::size_t OpenHandles();
// The process's descriptors and its threads other than the kernel's own
// io_uring workers (they end by themselves a while later); -1 where the
// handle table above is the whole story (Windows, whose runtime under Wine
// opens descriptors of its own).
std::ptrdiff_t OpenDescriptors();
std::ptrdiff_t RunningThreads();

// The flags and attributes of the latest CreateFileA.
std::uint32_t LastCreateFlags();
void NoteCreateFlags(std::uint32_t flags);

// Each DeviceIoControl since RecordIoControls (until Reset): what was asked
// and answered.
struct IoControlCall {
  std::uint32_t code = 0;
  std::size_t outSize = 0;
  bool ok = false;
  std::uint32_t error = 0;  // the last error it left
};
void RecordIoControls();
const std::vector<IoControlCall>& IoControlCalls();
void NoteIoControl(const IoControlCall& call);

// Replaces the millisecond clock (timeGetTime) until Reset; tests use it to
// make exact elapsed times, never to wait.
void SetClock(std::function<std::uint32_t()> clock);
const std::function<std::uint32_t()>& Clock();
// The same for the nanosecond clock (runtime::ClockNs).
void SetClockNs(std::function<std::int64_t()> clock);
const std::function<std::int64_t()>& ClockNs();

// Sees the buffer of every ReadFile and WriteFile until Reset, before the
// transfer; tests use it to look at the buffer a run hands to the system.
void SetTransferObserver(std::function<void(std::span<const std::byte>)> observer);
const std::function<void(std::span<const std::byte>)>& TransferObserver();

namespace detail {
// Set by the first use of the seam: until then a program pays nothing for
// it, not even the counting.
extern bool active;
std::optional<Fault> EnterActive(Op op);
}  // namespace detail
inline bool Active() { return detail::active; }

// Used by the implementation: counts the call and returns the fault that
// applies to it, if any.
inline std::optional<Fault> Enter(Op op) {
  if (!detail::active) return std::nullopt;
  return detail::EnterActive(op);
}

}  // namespace os::seam
