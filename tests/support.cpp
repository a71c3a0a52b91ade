#include "tests/support.h"

#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

namespace testing_support {

TempDir::TempDir() {
  std::random_device rd;
  const auto base = std::filesystem::temp_directory_path();
  for (;;) {
    path_ = base / ("orvandel-test-" + std::to_string(rd()));
    if (std::filesystem::create_directory(path_)) break;
  }
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::string ScratchMount::Unavailable() {
  if (geteuid() != 0) return "mounting needs root";
  return "";
}

ScratchMount::ScratchMount(const std::string& type, const std::string& options) {
  const std::string opts = options.empty() ? "" : " -o " + options;
  mounted_ = RunCommand("mount -t " + type + opts + " orvandel-test " + dir_.path().string() + " 2>&1").status == 0;
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

void WriteText(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace testing_support
