// Running a command on Windows, where the C runtime returns the child's
// status directly.
#include <cstdio>

#include "tests/support.h"

namespace testing_support {

CommandResult RunCommand(const std::string& command) {
  CommandResult r{-1, {}};
  FILE* p = _popen(command.c_str(), "rb");
  if (!p) return r;
  char buf[4096];
  for (std::size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) r.out.append(buf, n);
  r.status = _pclose(p);
  return r;
}

}  // namespace testing_support
