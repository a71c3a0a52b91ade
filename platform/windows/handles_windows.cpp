// The table of handles the layer gave out, and the volume grant.
#include <map>
#include <mutex>

#include "platform/windows/internal.h"

namespace os::detail {
namespace {
std::mutex mutex;
std::map<os::HANDLE, Kind> table;
std::map<os::HANDLE, std::string> folderPaths;
thread_local std::string volumeGrant;
}  // namespace

void AddHandle(os::HANDLE h, Kind kind) {
  std::lock_guard lock(mutex);
  table[h] = kind;
}

std::optional<Kind> FindHandle(os::HANDLE h) {
  std::lock_guard lock(mutex);
  const auto it = table.find(h);
  if (it == table.end()) return std::nullopt;
  return it->second;
}

void AddFolder(os::HANDLE h, const std::string& path) {
  std::lock_guard lock(mutex);
  table[h] = Kind::Folder;
  folderPaths[h] = path;
}

std::optional<std::string> FolderPath(os::HANDLE h) {
  std::lock_guard lock(mutex);
  const auto it = folderPaths.find(h);
  if (it == folderPaths.end()) return std::nullopt;
  return it->second;
}

bool RemoveHandle(os::HANDLE h) {
  std::lock_guard lock(mutex);
  folderPaths.erase(h);
  return table.erase(h) == 1;
}

void GrantVolume(const std::string& name) { volumeGrant = name; }

bool TakeVolumeGrant(const std::string& name) {
  const bool granted = !volumeGrant.empty() && lstrcmpiA(volumeGrant.c_str(), name.c_str()) == 0;
  volumeGrant.clear();
  return granted;
}

}  // namespace os::detail

namespace os::seam {
std::size_t OpenHandles() {
  std::lock_guard lock(os::detail::mutex);
  return os::detail::table.size();
}
std::ptrdiff_t OpenDescriptors() { return -1; }
std::ptrdiff_t RunningThreads() { return -1; }
}  // namespace os::seam
