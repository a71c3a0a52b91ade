// The Windows version, file system and disk that hold a path, for the JSON
// records a comparison of two machines starts from.
#include <cstring>
#include <string>

#include "platform/windows/internal.h"

#include <winioctl.h>

namespace os::runtime {
namespace {

// Casting through void(*)() keeps GCC's function-type check quiet: the
// address comes from GetProcAddress, whose type says nothing.
template <typename Fn>
Fn Export(const char* name) {
  const HMODULE ntdll = ::GetModuleHandleA("ntdll.dll");
  if (!ntdll) return nullptr;
  return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(::GetProcAddress(ntdll, name)));
}

// RtlGetVersion tells the truth where GetVersionEx answers as the manifest
// asks; Wine adds its own version and its host's.
std::string Kernel() {
  std::string text;
  OSVERSIONINFOW v{};
  v.dwOSVersionInfoSize = sizeof v;
  if (auto get = Export<LONG(WINAPI*)(OSVERSIONINFOW*)>("RtlGetVersion"); get && get(&v) == 0)
    text = "Windows NT " + std::to_string(v.dwMajorVersion) + "." +
           std::to_string(v.dwMinorVersion) + "." + std::to_string(v.dwBuildNumber);
  if (auto wine = Export<const char*(CDECL*)()>("wine_get_version")) {
    text += std::string(text.empty() ? "" : " ") + "(Wine " + wine();
    if (auto host = Export<void(CDECL*)(const char**, const char**)>("wine_get_host_version")) {
      const char *system = nullptr, *release = nullptr;
      host(&system, &release);
      if (system && release) text += std::string(" on ") + system + " " + release;
    }
    text += ")";
  }
  return text;
}

std::string Trimmed(std::string s) {
  const auto first = s.find_first_not_of(' ');
  if (first == std::string::npos) return "";
  return s.substr(first, s.find_last_not_of(' ') + 1 - first);
}

bool Query(::HANDLE h, STORAGE_PROPERTY_ID id, void* out, ::DWORD size) {
  STORAGE_PROPERTY_QUERY q{};
  q.PropertyId = id;
  q.QueryType = PropertyStandardQuery;
  ::DWORD n = 0;
  return ::DeviceIoControl(h, IOCTL_STORAGE_QUERY_PROPERTY, &q, sizeof q, out, size, &n, nullptr) &&
         n > 0;
}

// The disk beneath the volume at root, asked through a handle that may only
// query it.
SystemFacts::Device DeviceOf(const std::string& root) {
  SystemFacts::Device d;
  char name[MAX_PATH] = {};
  std::string volume;
  if (::GetVolumeNameForVolumeMountPointA(root.c_str(), name, MAX_PATH))
    volume = name;
  else if (root.size() >= 2 && root[1] == ':')
    volume = std::string("\\\\.\\") + root.substr(0, 2);
  if (!volume.empty() && volume.back() == '\\') volume.pop_back();
  if (volume.empty()) return d;
  const ::HANDLE h = ::CreateFileA(volume.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                   OPEN_EXISTING, 0, nullptr);
  if (detail::Invalid(h)) return d;
  alignas(8) char buffer[1024] = {};
  if (Query(h, StorageDeviceProperty, buffer, sizeof buffer)) {
    const auto* desc = reinterpret_cast<const STORAGE_DEVICE_DESCRIPTOR*>(buffer);
    auto text = [&](::DWORD offset) {
      return offset && offset < sizeof buffer
                 ? Trimmed(std::string(buffer + offset,
                                       strnlen(buffer + offset, sizeof buffer - offset)))
                 : std::string();
    };
    d.model = text(desc->ProductIdOffset);
    if (d.model.empty()) d.model = text(desc->VendorIdOffset);
  }
  DEVICE_SEEK_PENALTY_DESCRIPTOR seek{};
  if (Query(h, StorageDeviceSeekPenaltyProperty, &seek, sizeof seek))
    d.rotational = seek.IncursSeekPenalty != FALSE;
  STORAGE_ACCESS_ALIGNMENT_DESCRIPTOR alignment{};
  if (Query(h, StorageAccessAlignmentProperty, &alignment, sizeof alignment))
    d.logicalSectorSize = alignment.BytesPerLogicalSector;
  ::CloseHandle(h);
  return d;
}

}  // namespace

SystemFacts DescribeSystem(const std::string& path) {
  SystemFacts facts;
  facts.kernel = Kernel();
  // The volume that holds the path, or would hold it once made.
  char root[MAX_PATH] = {};
  if (path.empty() || !::GetVolumePathNameA(path.c_str(), root, MAX_PATH)) return facts;
  char fileSystem[MAX_PATH + 1] = {};
  if (::GetVolumeInformationA(root, nullptr, 0, nullptr, nullptr, nullptr, fileSystem,
                              sizeof fileSystem))
    facts.fileSystem = fileSystem;
  facts.device = DeviceOf(root);
  return facts;
}

}  // namespace os::runtime
