#include "platform/linux/handles.h"

#include <dirent.h>
#include <linux/kcmp.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdlib>

#include <array>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <string_view>

namespace os::handles {

std::array<detail::Slot, detail::kSlots> detail::slots;
using detail::kSlots;
using detail::kUsed;
using detail::kVolume;
using detail::Slot;
using detail::slots;

namespace {

std::atomic<std::size_t> count{0};
std::mutex mutex;
std::map<HANDLE, Entry> table;

std::uint32_t Pack(const Entry& e) {
  return kUsed | (e.volume ? kVolume : 0u) | static_cast<std::uint32_t>(e.kind);
}
Entry Unpack(std::uint32_t state, pid_t pid) {
  return {static_cast<Kind>(state & 0xFF), pid, (state & kVolume) != 0};
}
bool Small(HANDLE h) { return h >= 0 && h < kSlots; }

}  // namespace

bool SyncPosition(int fd) {
  std::atomic<std::int64_t>* kept = KeptPosition(fd);
  if (!kept) return true;
  const std::int64_t at = kept->exchange(kPositionUnknown, std::memory_order_relaxed);
  return at < 0 || lseek(fd, at, SEEK_SET) == at;
}

bool FileTableShared() {
  DIR* tasks = opendir("/proc/self/task");
  if (!tasks) return true;
  const pid_t self = gettid();
  bool shared = false;
  while (const dirent* t = readdir(tasks)) {
    const pid_t tid = static_cast<pid_t>(std::atoi(t->d_name));
    if (tid <= 0 || tid == self) continue;
    // 0: the same table. A kernel without kcmp, or a thread gone meanwhile,
    // counts as sharing: the kept position is right either way.
    const long same = syscall(SYS_kcmp, self, tid, KCMP_FILES, 0, 0);
    if (same != 1 && same != 2 && same != 3) {
      shared = true;
      break;
    }
  }
  closedir(tasks);
  return shared;
}

void Add(HANDLE h, Entry e) {
  if (Small(h)) {
    Slot& s = slots[static_cast<std::size_t>(h)];
    s.pid.store(e.pid, std::memory_order_relaxed);
    s.position.store(kPositionUnknown, std::memory_order_relaxed);
    if (s.state.exchange(Pack(e), std::memory_order_release) == 0) ++count;
    return;
  }
  std::lock_guard lock(mutex);
  if (table.insert_or_assign(h, e).second) ++count;
}

std::optional<Entry> Find(HANDLE h) {
  if (Small(h)) {
    const Slot& s = slots[static_cast<std::size_t>(h)];
    const std::uint32_t state = s.state.load(std::memory_order_acquire);
    if (state == 0) return std::nullopt;
    return Unpack(state, s.pid.load(std::memory_order_relaxed));
  }
  std::lock_guard lock(mutex);
  const auto it = table.find(h);
  if (it == table.end()) return std::nullopt;
  return it->second;
}

int detail::FdOfLarge(HANDLE h) {
  const auto e = Find(h);
  return e && e->kind != Kind::Process ? static_cast<int>(h) : -1;
}

bool Remove(HANDLE h) {
  if (Small(h)) {
    slots[static_cast<std::size_t>(h)].position.store(kPositionUnknown, std::memory_order_relaxed);
    if (slots[static_cast<std::size_t>(h)].state.exchange(0, std::memory_order_acq_rel) == 0)
      return false;
    --count;
    return true;
  }
  std::lock_guard lock(mutex);
  if (table.erase(h) != 1) return false;
  --count;
  return true;
}

}  // namespace os::handles

namespace os::seam {
std::size_t OpenHandles() { return handles::count.load(); }

namespace {
std::ptrdiff_t Entries(const char* dir, std::string_view leaveOut) {
  std::error_code ec;
  std::ptrdiff_t n = 0;
  for (auto it = std::filesystem::directory_iterator(dir, ec);
       !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
    std::string name;
    if (!leaveOut.empty()) std::getline(std::ifstream(it->path() / "comm"), name);
    n += leaveOut.empty() || !name.starts_with(leaveOut);
  }
  return ec ? -1 : n;
}
}  // namespace

std::ptrdiff_t OpenDescriptors() { return Entries("/proc/self/fd", ""); }
std::ptrdiff_t RunningThreads() { return Entries("/proc/self/task", "iou-wrk"); }
}  // namespace os::seam
