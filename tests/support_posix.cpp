// The test helpers that run commands, on Linux.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

#include "tests/support.h"

namespace testing_support {

std::string ScratchMount::Unavailable() {
  if (geteuid() != 0) return "mounting needs root";
  return "";
}

ScratchMount::ScratchMount(const std::string& type, const std::string& options) {
  const std::string opts = options.empty() ? "" : " -o " + options;
  mounted_ =
      RunCommand("mount -t " + type + opts + " orvandel-test " + dir_.path().string() + " 2>&1")
          .status == 0;
}

ScratchMount::~ScratchMount() {
  if (mounted_) RunCommand("umount -l " + dir_.path().string() + " 2>&1");
}

CommandResult RunCommand(const std::string& command) {
  CommandResult r{-1, {}};
  FILE* p = popen(command.c_str(), "r");
  if (!p) return r;
  char buf[4096];
  for (std::size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) r.out.append(buf, n);
  const int status = pclose(p);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

}  // namespace testing_support
