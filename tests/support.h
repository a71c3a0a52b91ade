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

struct CommandResult {
  int status;
  std::string out;
};
// Runs a shell command and collects its standard output.
CommandResult RunCommand(const std::string& command);

void WriteText(const std::string& path, const std::string& text);
std::string ReadText(const std::string& path);

}  // namespace testing_support
