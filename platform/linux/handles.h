// What the layer knows about each handle it gave out. A handle is the
// descriptor number itself.
#pragma once

#include <sys/types.h>

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
// The descriptor of a file or directory handle, -1 for anything else.
int Fd(HANDLE h);
bool Remove(HANDLE h);

}  // namespace os::handles
