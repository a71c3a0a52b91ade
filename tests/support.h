// Helpers shared by the tests.
#pragma once

#include <filesystem>
#include <string>

namespace testing_support {

// A fresh directory, removed with everything in it at the end of the test.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::string File(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

// A file system of the kernel's own (tmpfs, ramfs) mounted on a fresh
// folder, unmounted again at the end; needs root.
class ScratchMount {
 public:
  // Why such a mount cannot be made here, or "" when it can.
  static std::string Unavailable();
  ScratchMount(const std::string& type, const std::string& options = "");
  ~ScratchMount();
  ScratchMount(const ScratchMount&) = delete;
  ScratchMount& operator=(const ScratchMount&) = delete;
  bool Ready() const { return mounted_; }
  std::string File(const std::string& name) const { return dir_.File(name); }
  std::string Path() const { return dir_.path().string(); }

 private:
  TempDir dir_;
  bool mounted_ = false;
};

struct CommandResult {
  int status;
  std::string out;
};
// Runs a shell command and collects its standard output.
CommandResult RunCommand(const std::string& command);

void WriteText(const std::string& path, const std::string& text);
std::string ReadText(const std::string& path);

}  // namespace testing_support
