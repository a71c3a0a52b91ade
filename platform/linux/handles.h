// What the layer knows about each handle it gave out. A handle is the
// descriptor number itself.
#pragma once

#include <sys/types.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <optional>

#include "platform/os.h"

namespace os::handles {

enum class Kind { File, Directory, Process };

struct Entry {
  Kind kind;
  pid_t pid;    // Process only
  bool volume;  // a directory handle that stands for a whole volume
};

void Add(HANDLE h, Entry e);
std::optional<Entry> Find(HANDLE h);
bool Remove(HANDLE h);

namespace detail {
// Descriptors are small numbers: those below kSlots are looked up without a
// lock, as every transfer does; the rest go to a locked map.
inline constexpr HANDLE kSlots = 4096;
inline constexpr std::uint32_t kUsed = 1u << 8;
inline constexpr std::uint32_t kVolume = 1u << 9;
struct Slot {
  std::atomic<std::uint32_t> state{0};  // kUsed | kVolume | kind
  std::atomic<pid_t> pid{0};
  // Where the next transfer goes when the layer keeps the position itself,
  // or kPositionUnknown / kPositionKernel.
  std::atomic<std::int64_t> position{-1};
};
extern std::array<Slot, kSlots> slots;
int FdOfLarge(HANDLE h);
}  // namespace detail

// While another thread shares the file table, as Qt's own threads do on a
// desktop, read/write take the kernel's file-position lock on every call:
// transfers on a small descriptor then go to a position the layer keeps, with
// pread/pwrite. Alone, read/write cost less, and the kernel's position counts.
// The choice is made at the first transfer after the kernel's position last
// counted. Null for other descriptors, which always use the kernel's.
inline constexpr std::int64_t kPositionUnknown = -1;  // choose at the next transfer
inline constexpr std::int64_t kPositionKernel = -2;   // chosen: the kernel's
inline std::atomic<std::int64_t>* KeptPosition(int fd) {
  return fd >= 0 && fd < detail::kSlots ? &detail::slots[static_cast<std::size_t>(fd)].position
                                        : nullptr;
}
// Hands a kept position back to the kernel, before anything that reads or
// moves the kernel's. Returns false, with errno, when the kernel refuses it.
bool SyncPosition(int fd);
// Whether another thread of this process uses the calling thread's file table.
bool FileTableShared();

// The descriptor of a file or directory handle, -1 for anything else.
inline int Fd(HANDLE h) {
  if (h < 0 || h >= detail::kSlots) return detail::FdOfLarge(h);
  const std::uint32_t state =
      detail::slots[static_cast<std::size_t>(h)].state.load(std::memory_order_acquire);
  return state != 0 && static_cast<Kind>(state & 0xFF) != Kind::Process ? static_cast<int>(h) : -1;
}

}  // namespace os::handles
