#include "platform/linux/handles.h"

#include <map>
#include <mutex>

namespace os::handles {
namespace {
std::mutex mutex;
std::map<HANDLE, Entry> table;
}  // namespace

void Add(HANDLE h, Entry e) {
  std::lock_guard lock(mutex);
  table[h] = e;
}

std::optional<Entry> Find(HANDLE h) {
  std::lock_guard lock(mutex);
  const auto it = table.find(h);
  if (it == table.end()) return std::nullopt;
  return it->second;
}

int Fd(HANDLE h) {
  const auto e = Find(h);
  return e && e->kind != Kind::Process ? static_cast<int>(h) : -1;
}

bool Remove(HANDLE h) {
  std::lock_guard lock(mutex);
  return table.erase(h) == 1;
}

}  // namespace os::handles

namespace os::seam {
std::size_t OpenHandles() {
  std::lock_guard lock(handles::mutex);
  return handles::table.size();
}
}  // namespace os::seam
