// orvandel-cli: the window's handlers without the window.
#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <array>
#include <iostream>

#include "app/HeadlessForm.h"
#include "app/basBase.h"
#include "app/frmMain.h"
#include "fileio/basFiles.h"
#include "fileio/basStrings.h"
#include "placement/FragmentReport.h"
#include "platform/os.h"

namespace {

constexpr int kCannotInspect = 1;
constexpr int kUsageError = 2;

std::string LastErrorText() {
  std::array<char, 1024> buf{};
  os::FormatMessageA(os::FORMAT_MESSAGE_FROM_SYSTEM, os::GetLastError(), 0x400, buf);
  std::string text = TrimNull(buf.data());
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == '.')) text.pop_back();
  return text;
}

int Fail(const std::string& path, const std::string& reason) {
  std::cerr << "orvandel-cli: " << path << ": " << reason << "\n";
  return kCannotInspect;
}

// The file status line for path, as the window shows it after the path is
// typed into its test-file field.
int Status(const std::string& path, bool json) {
  HeadlessForm form;
  frmMain window(form);
  if (!FileExists(path, "")) return Fail(path, "file not found");
  if (os::GetFileAttributesA(path) & os::FILE_ATTRIBUTE_DIRECTORY) return Fail(path, "is a directory");
  form.SetText(Ctl::txtTestFile, 0, path);
  const std::string line = form.Text(Ctl::lblReadStatus, 4);

  const os::HANDLE h = os::CreateFileA(path, os::GENERIC_READ, os::FILE_SHARE_READ | os::FILE_SHARE_WRITE,
                                       os::OPEN_EXISTING, 0);
  if (h == os::INVALID_HANDLE_VALUE) return Fail(path, "cannot open: " + LastErrorText());
  const std::int64_t size = GetFileSize64(path);
  std::int32_t count = 0, minimum = 0, maximum = 0;
  FragmentDetails details;
  bool reported = true;
  if (size != 0) reported = GetFileFragments(os::runtime::DriveOf(path), h, count, minimum, maximum, &details);
  const std::string why = reported ? "" : LastErrorText();
  os::CloseHandle(h);
  if (!reported) return Fail(path, "the file system does not tell where the file lies (" + why + ")");

  if (!json) {
    std::cout << line << "\n";
    return 0;
  }
  nlohmann::json runs = nlohmann::json::array();
  for (const auto& r : details.runs) runs.push_back({{"lcn", r.lcn}, {"length", r.length}});
  const os::DWORD attributes = os::GetFileAttributesA(path);
  const bool alignment = details.alignmentComputed && !(minimum == 0x7FFFFFFF && maximum == 0);
  const nlohmann::json out = {
      {"file", path},
      {"line", line},
      {"size", size},
      {"fragments", count},
      {"min_alignment", alignment ? nlohmann::json(minimum) : nlohmann::json(nullptr)},
      {"max_alignment", alignment ? nlohmann::json(maximum) : nlohmann::json(nullptr)},
      {"file_system", details.fileSystem},
      {"cluster_size", details.clusterSize},
      {"partition_offset", details.partitionOffset},
      {"data_area_offset", details.dataAreaOffset},
      {"compressed", attributes != os::INVALID_FILE_ATTRIBUTES && (attributes & os::FILE_ATTRIBUTE_COMPRESSED)},
      {"runs", runs},
  };
  std::cout << out.dump(2) << "\n";
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  SubMain(nullptr);
  CLI::App app{gTitle + " - measures the file cache and the storage beneath it", "orvandel-cli"};
  app.set_version_flag("--version", gTitle, "Print the program's title and version");
  app.require_subcommand(0, 1);

  std::string file = os::runtime::InitialTestFile("");
  bool json = false;
  auto* status = app.add_subcommand("status", "Print the test file's status line: fragments, alignment, compression");
  status->add_option("--file", file, "The test file")->capture_default_str();
  status->add_flag("--json", json, "One JSON object with the line and what it was made from");

  try {
    app.parse(argc, argv);
  } catch (const CLI::Success& e) {
    return app.exit(e);  // --help, --version
  } catch (const CLI::ParseError& e) {
    app.exit(e);
    return kUsageError;
  }
  if (status->parsed()) return Status(file, json);
  std::cout << app.help();
  return 0;
}
