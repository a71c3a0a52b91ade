#include "fileio/basFiles.h"

#include <array>
#include <span>

#include "fileio/basStrings.h"
#include "platform/os.h"

std::uint32_t gShareMode = 3;

namespace {

constexpr std::size_t kMaxPath = 260;

// The directory ChangeDirectory last changed away from.
std::string sOldDir;
// The result buffer of the system's path queries.
std::string sPathBuffer(kMaxPath, '\0');

std::string Trim(const std::string& s) {
  const auto first = s.find_first_not_of(' ');
  if (first == std::string::npos) return {};
  return s.substr(first, s.find_last_not_of(' ') - first + 1);
}

}  // namespace

void AddBackslash(std::string& path) {
  const char sep = os::runtime::PathSeparator();
  if (!path.empty() && path.back() != sep) path += sep;
}

bool FileExists(const std::string& name, const std::string& directory) {
  if (Trim(name).empty()) return false;
  std::string inDirectory = directory;
  AddBackslash(inDirectory);
  const os::DWORD a1 = os::GetFileAttributesA(name);
  const os::DWORD a2 = os::GetFileAttributesA(inDirectory + name);
  if (a1 != os::INVALID_FILE_ATTRIBUTES || a2 != os::INVALID_FILE_ATTRIBUTES) return true;
  return !GetAssociatedExe(name, directory).empty();
}

std::string GetAssociatedExe(const std::string& name, const std::string& directory) {
  // The lookup stays where the user is: changing to the system's directory
  // first would make every program's bare name look like an existing file,
  // and a current directory that cannot be read could never be gone back to.
  sPathBuffer.assign(kMaxPath, '\0');
  os::FindExecutableA(name, directory, std::span<char>(sPathBuffer));
  std::string result = TrimNull(sPathBuffer);
  if (result.empty() && !directory.empty()) {
    sPathBuffer.assign(kMaxPath, '\0');
    os::FindExecutableA(name, "", std::span<char>(sPathBuffer));
    result = TrimNull(sPathBuffer);
  }
  return result;
}

bool ChangeDirectory(std::string& directory) {
  bool ok = true;
  if (!directory.empty()) {
    // Never leave a directory that could not be found again.
    const std::string current = os::runtime::CurDir();
    if (current.empty()) return false;
    sOldDir = current;
    directory = Trim(directory);
    if (directory.size() >= 2 && directory[1] == ':')
      ok = os::runtime::ChDrive(directory.substr(0, 1)) && ok;
    ok = os::runtime::ChDir(directory) && ok;
  } else if (!sOldDir.empty()) {
    ok = os::runtime::ChDrive(sOldDir.substr(0, 1)) && ok;
    ok = os::runtime::ChDir(sOldDir) && ok;
  } else {
    ok = false;
  }
  return ok;
}

std::string GetWindowsDir() {
  sPathBuffer.assign(kMaxPath, '\0');
  const os::UINT n = os::GetWindowsDirectoryA(std::span<char>(sPathBuffer));
  return n <= kMaxPath ? sPathBuffer.substr(0, n) : std::string();
}

std::int64_t GetFileSize64(const std::string& name) {
  const os::HANDLE h = os::CreateFileA(name, 0, gShareMode, os::OPEN_EXISTING, 0);
  if (h == os::INVALID_HANDLE_VALUE) return 0;
  os::DWORD high = 0;
  const os::DWORD low = os::GetFileSize(h, &high);
  os::CloseHandle(h);
  return static_cast<std::int64_t>((std::uint64_t{high} << 32) | low);
}

os::HANDLE OpenVolumeOf(os::HANDLE h, bool& found) {
  const os::HANDLE volume = h == os::INVALID_HANDLE_VALUE ? h : os::OpenVolumeOfHandle(h);
  found = volume != os::INVALID_HANDLE_VALUE;
  return volume;
}

PathParts SplitPath(const std::string& path) {
  // Windows takes either separator; a Linux name may hold a backslash.
  const char sep = os::runtime::PathSeparator();
  auto at = path.find_last_of(sep == '/' ? std::string("/") : std::string("/\\:"));
  if (at == std::string::npos) return {".", path};
  std::string folder = path.substr(0, at + 1);
  // "a/b/" keeps no trailing separator but the root's own.
  if (folder.size() > 1 && folder.back() == '/' && sep == '/') folder.pop_back();
  return {folder, path.substr(at + 1)};
}

std::string SystemReason(os::DWORD code) {
  std::array<char, 1024> buffer{};
  if (os::FormatMessageA(os::FORMAT_MESSAGE_FROM_SYSTEM, code, 0x400, buffer) == 0)
    return "Error " + std::to_string(code) + ".";
  std::string text = TrimNull(std::string(buffer.data()));
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

bool FlushDroppedData(os::DWORD error) {
  switch (error) {
    case os::ERROR_INVALID_HANDLE:
    case os::ERROR_INVALID_FUNCTION:
    case os::ERROR_NOT_SUPPORTED:
    case os::ERROR_ACCESS_DENIED:
    case os::ERROR_INVALID_PARAMETER:
      return false;
    default:
      return true;
  }
}

os::DWORD FlushVolume(os::HANDLE volume) {
  if (volume == os::INVALID_HANDLE_VALUE || os::FlushFileBuffers(volume) == os::TRUE) return 0;
  const os::DWORD error = os::GetLastError();
  return FlushDroppedData(error) ? error : 0;
}
