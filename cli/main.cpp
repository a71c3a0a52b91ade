// orvandel-cli: the window's handlers without the window.
#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <optional>
#include <vector>

#include "cli/Common.h"
#include "cli/JsonText.h"
#include "cli/RandomCommand.h"
#include "cli/TimelineCsv.h"
#include "fileio/basFiles.h"
#include "fileio/basStrings.h"
#include "form/HeadlessForm.h"
#include "form/basBase.h"
#include "form/frmMain.h"
#include "placement/FragmentReport.h"
#include "platform/os.h"

namespace {

// The system's reason for the last error, without its full stop.
std::string LastErrorText() {
  std::string text = SystemReason(os::GetLastError());
  if (!text.empty() && text.back() == '.') text.pop_back();
  return text;
}

// The middle of sorted figures (the mean of the two middle ones).
double Median(const std::vector<double>& sorted) {
  const std::size_t m = sorted.size();
  return m % 2 ? sorted[m / 2] : (sorted[m / 2 - 1] + sorted[m / 2]) / 2;
}

int Fail(const std::string& path, const std::string& reason) {
  std::cerr << "orvandel-cli: " << path << ": " << reason << "\n";
  return kCannotInspect;
}

// Why path is no file that a status line can be made for; "" when it is one.
std::string NotAFile(const std::string& path) {
  std::error_code ec;
  const auto st = std::filesystem::status(path, ec);
  if (os::GetFileAttributesA(path) == os::INVALID_FILE_ATTRIBUTES) {
    // The system's own reason: a name too long, a loop of links, a folder
    // that may not be entered all say more than "not found".
    if (os::GetLastError() == os::ERROR_FILE_NOT_FOUND) {
      const std::string target = os::runtime::MissingLinkTarget(path);
      return target.empty() ? "file not found" : "the link's target is missing: " + target;
    }
    return "cannot be inspected: " + LastErrorText();
  }
  if (!FileExists(path, "") || st.type() == std::filesystem::file_type::not_found)
    return "file not found";
  switch (st.type()) {
    case std::filesystem::file_type::regular:
      return "";
    case std::filesystem::file_type::directory:
      return "is a directory";
    case std::filesystem::file_type::block:
      return "is a block device, not a file";
    case std::filesystem::file_type::character:
      return "is a character device, not a file";
    case std::filesystem::file_type::fifo:
      return "is a FIFO, not a file";
    case std::filesystem::file_type::socket:
      return "is a socket, not a file";
    default:
      return "is not a regular file";
  }
}

// The file status line for path, as the window shows it after the path is
// typed into its test-file field.
int Status(const std::string& path, bool json) {
  // With --json a failure is one object too.
  auto Fail = [&](const std::string& file, const std::string& why) {
    if (json) {
      nlohmann::json out = Header("status", file);
      out.update(nlohmann::json{
          {"ok", false}, {"message", "cannot report the file"}, {"reason", file + ": " + why}});
      std::cout << out.dump(2) << "\n";
    }
    return ::Fail(file, why);
  };
  if (const std::string why = NotAFile(path); !why.empty()) return Fail(path, why);
  HeadlessForm form;
  frmMain window(form);
  form.SetText(Ctl::txtTestFile, 0, path);
  const std::string line = form.Text(Ctl::lblReadStatus, 4);

  const std::int64_t size = GetFileSize64(path);
  // The window's line is the report; the runs behind it are asked for again
  // only when they are to be shown, or to tell why the line stayed empty.
  if (!json && (!line.empty() || size == 0)) {
    std::cout << line << "\n";
    return 0;
  }
  const os::HANDLE h = os::CreateFileA(
      path, os::GENERIC_READ, os::FILE_SHARE_READ | os::FILE_SHARE_WRITE, os::OPEN_EXISTING, 0);
  if (h == os::INVALID_HANDLE_VALUE) return Fail(path, "cannot open: " + LastErrorText());
  std::int32_t count = 0, minimum = 0, maximum = 0;
  FragmentDetails details;
  bool reported = true;
  if (size != 0)
    reported = GetFileFragments(os::runtime::DriveOf(path), h, count, minimum, maximum, &details);
  const std::string why = reported ? "" : LastErrorText();
  os::CloseHandle(h);
  if (!reported)
    return Fail(path, "the file system does not tell where the file lies (" + why + ")");

  if (!json) {
    std::cout << line << "\n";
    return 0;
  }
  nlohmann::json runs = nlohmann::json::array();
  for (const auto& r : details.runs) runs.push_back({{"lcn", r.lcn}, {"length", r.length}});
  const os::DWORD attributes = os::GetFileAttributesA(path);
  const bool alignment = details.alignmentComputed && !(minimum == 0x7FFFFFFF && maximum == 0);
  nlohmann::json out = Header("status", path);
  out.update(nlohmann::json{
      {"ok", true},
      {"line", line},
      {"size", size},
      {"fragments", count},
      {"min_alignment", alignment ? nlohmann::json(minimum) : nlohmann::json(nullptr)},
      {"max_alignment", alignment ? nlohmann::json(maximum) : nlohmann::json(nullptr)},
      {"file_system", JsonText(details.fileSystem)},
      {"cluster_size", details.clusterSize},
      {"partition_offset", details.partitionOffset},
      {"data_area_offset", details.dataAreaOffset},
      {"compressed",
       attributes != os::INVALID_FILE_ATTRIBUTES && (attributes & os::FILE_ATTRIBUTE_COMPRESSED)},
      {"runs", runs},
  });
  std::cout << out.dump(2) << "\n";
  return 0;
}

// The headless window of the command line: the runs' progress goes to a
// terminal's stderr, at most ten times a second.
class CliForm : public HeadlessForm {
 public:
  explicit CliForm(bool progress) : progress_(progress) {}
  void Refresh(Ctl ctl, int index) override {
    HeadlessForm::Refresh(ctl, index);
    if (!progress_ || ctl != Ctl::lblReadStatus || index != 0) return;
    const auto now = std::chrono::steady_clock::now();
    if (now - lastDraw_ < std::chrono::milliseconds(100)) return;
    lastDraw_ = now;
    std::cerr << "\r" << Text(Ctl::lblReadStatus, 0) << "   " << std::flush;
    drawn_ = true;
  }
  void EndProgress() {
    if (drawn_) std::cerr << "\r\033[K" << std::flush;
    drawn_ = false;
  }

 private:
  bool progress_;
  bool drawn_ = false;
  std::chrono::steady_clock::time_point lastDraw_{};
};

struct RunOptions {
  std::string file;
  std::string size = "200";
  std::string blockSectors = "2048";
  std::string files = "160";
  bool random = false;
  bool flags[4] = {};  // in the order of the window's flag boxes
  bool flushEveryBlock = false;
  bool flushFile = true;
  bool flushVolume = true;
  bool json = false;
  int repeat = 1;
  std::optional<std::string> timeline;  // --timeline FILE
};

void SetUp(HeadlessForm& form, const RunOptions& o, bool withSize) {
  form.SetText(Ctl::txtTestFile, 0, o.file);
  if (withSize) form.SetText(Ctl::txtSize, 0, o.size);
  form.SetText(Ctl::txtBlockSizeSectors, 0, o.blockSectors);
  form.SetText(Ctl::txtNumberOfFiles, 0, o.files);
  for (int i = 0; i < 4; ++i) form.SetValue(Ctl::chkFileFlags, i, o.flags[i] ? 1 : 0);
  form.SetValue(Ctl::chkFlushAllBlocks, 0, o.flushEveryBlock ? 1 : 0);
  form.SetValue(Ctl::chkFlushAtFinish, 0, o.flushFile ? 1 : 0);
  form.SetValue(Ctl::chkFlushAtFinish, 1, o.flushVolume ? 1 : 0);
  form.SetValue(Ctl::optDataType, o.random ? 1 : 0, 1);
}

std::vector<std::string> Lines(const FormView& form) {
  std::vector<std::string> lines;
  for (int i = 0; i <= 3; ++i) lines.push_back(form.Text(Ctl::lblReadStatus, i));
  return lines;
}

void PrintLines(const FormView& form) {
  for (int i = 0; i <= 4; ++i)
    if (!form.Text(Ctl::lblReadStatus, i).empty())
      std::cout << form.Text(Ctl::lblReadStatus, i) << "\n";
}

double MBps(const RunRecord& r) {
  return r.elapsedNs > 0 ? static_cast<double>(r.testSize) / 10000 / 1048576 / (r.elapsedNs / 1e9)
                         : 0;
}
double MBpsWithFlush(const RunRecord& r) {
  return r.elapsedWithFlushNs > 0
             ? static_cast<double>(r.testSize) / 10000 / 1048576 / (r.elapsedWithFlushNs / 1e9)
             : 0;
}

// One run's figures; a Read run has no flushes, so none of their fields.
nlohmann::json RunJson(const FormView& form, const RunRecord& r, bool writing) {
  auto optional = [](std::int64_t v) {
    return v < 0 ? nlohmann::json(nullptr) : nlohmann::json(v);
  };
  const bool flushFailed = r.fileFlushFailed || r.volumeFlushFailed;
  nlohmann::json out = {
      {"lines", Lines(form)},
      {"status_line", form.Text(Ctl::lblReadStatus, 4)},
      {"test_size", static_cast<double>(r.testSize) / 10000},
      {"block_size", r.blockSize},
      {"flags", FlagsHex(r.fileFlags)},
      {"flag_names", FlagNames(r.fileFlags)},
      {"whole_blocks", r.wholeBlocks},
      {"bytes_transferred", r.transferred},
      {"final_count", r.finalCount},
      {"final_transferred", r.finalResult},
      {"elapsed_ms", r.elapsedMs},
      {"elapsed_ns", r.elapsedNs},
      {"mb_per_s", MBps(r)},
      {"timeline", TimelineJson(r.timeline)},
      {"flushes", FlushesJson(r.timeline)},
  };
  if (!writing) return out;
  out["elapsed_with_flush_ms"] = r.elapsedWithFlushMs;
  out["file_flush_ms"] = optional(r.fileFlushMs);
  out["volume_flush_ms"] = optional(r.volumeFlushMs);
  out["elapsed_with_flush_ns"] = r.elapsedWithFlushNs;
  out["file_flush_ns"] = optional(r.fileFlushNs);
  out["volume_flush_ns"] = optional(r.volumeFlushNs);
  out["mb_per_s_with_flush"] =
      flushFailed ? nlohmann::json(nullptr) : nlohmann::json(MBpsWithFlush(r));
  out["file_flush_failed"] = r.fileFlushFailed;
  out["volume_flush_failed"] = r.volumeFlushFailed;
  return out;
}

// A Write (index 1) or Read (0) run, as the window's button runs it.
int Throughput(const RunOptions& o, int index) {
  const bool progress = !o.json && os::runtime::StderrIsTerminal();
  const char* command = index == 1 ? "write" : "read";
  // An output that cannot take the rows ends the command before anything runs.
  std::optional<TimelineCsvFile> csv;
  if (o.timeline && (!csv.emplace(*o.timeline, o.file).IsOpen() || (o.json && csv->IsStream()))) {
    // One JSON object is all --json prints: the rows need a file of their own.
    const Ending refused =
        csv->IsOpen() ? Ending{false, kUsageError, "--timeline",
                               *o.timeline + ": is standard output, where --json prints its object"}
                      : Ending{false, kCannotInspect, "--timeline", csv->Error()};
    if (o.json) {
      nlohmann::json out = Header(command, o.file);
      AddEnding(out, refused);
      std::cout << Dump(out) << "\n";
    }
    Report(refused);
    return refused.status;
  }
  CliForm form(progress);
  frmMain window(form);
  window.recordTimeline = o.json || csv.has_value();
  window.askBeforeReplacing = false;
  window.Form_Load("");
  SetUp(form, o, index == 1);
  nlohmann::json runs = nlohmann::json::array();
  std::vector<double> rates;
  Ending ending;
  for (int n = 0; n < o.repeat && ending.ok; ++n) {
    window.cmdFileReadWrite_Click(index);
    form.EndProgress();
    const RunRecord& r = window.LastRun();
    ending = EndingOf(r.message, r.detail, r.stoppedBy);
    if (ending.ok && !r.finished)
      ending = {false, kCannotInspect, "the block size is 0; nothing was run", ""};
    if (ending.ok) rates.push_back(MBps(r));
    if (o.json) {
      nlohmann::json run = RunJson(form, r, index == 1);
      AddEnding(run, ending);
      runs.push_back(std::move(run));
    } else if (ending.ok || r.stoppedBy == 0) {
      PrintLines(form);
    }
  }
  // The last run's timeline, also of a run that failed part way; rows that
  // did not reach their file fail the command.
  std::cout << std::flush;
  if (csv && !csv->Write(window.LastRun().timeline) && ending.ok)
    ending = {false, kCannotInspect, "--timeline", csv->Error()};
  std::vector<double> sorted = rates;
  std::sort(sorted.begin(), sorted.end());
  // The summary is of the figure without flushes, the one every run has.
  const char* figure = index == 1 ? "without flush" : "read";
  if (o.json) {
    nlohmann::json out = Header(command, o.file);
    out["flags"] = FlagsHex(CheckedFileFlags(form));
    out["flag_names"] = FlagNames(CheckedFileFlags(form));
    if (o.repeat == 1)
      out.update(runs[0]);
    else
      out["runs"] = runs;
    AddEnding(out, ending);
    if (o.repeat > 1 && !sorted.empty())
      out["summary"] = {{"figure", "mb_per_s"},
                        {"min", sorted.front()},
                        {"median", Median(sorted)},
                        {"max", sorted.back()}};
    std::cout << Dump(out) << "\n";
  } else if (o.repeat > 1 && ending.ok) {
    std::printf("%s, min / median / max of %d runs: %.1f / %.1f / %.1f MB/s\n", figure, o.repeat,
                sorted.front(), Median(sorted), sorted.back());
  }
  Report(ending);
  return ending.status;
}

int CreateDelete(const RunOptions& o) {
  HeadlessForm form;
  frmMain window(form);
  window.Form_Load("");
  SetUp(form, o, false);
  window.cmdCreateAndDeleteFiles_Click();
  const CreateDeleteRecord& r = window.LastCreateDelete();
  const Ending ending = EndingOf(r.message, r.detail, r.stoppedBy);
  if (!o.json) {
    if (r.stoppedBy == 0) PrintLines(form);
    Report(ending);
    return ending.status;
  }
  auto perFile = [&](std::int64_t total) {
    return r.created ? nlohmann::json(static_cast<double>(total) / r.created)
                     : nlohmann::json(nullptr);
  };
  auto flush = [](std::int64_t v, bool failed) {
    return failed ? nlohmann::json(nullptr) : nlohmann::json(v);
  };
  nlohmann::json out = Header("create-delete", o.file);
  out.update(nlohmann::json{
      {"flags", FlagsHex(CheckedFileFlags(form))},
      {"flag_names", FlagNames(CheckedFileFlags(form))},
      {"lines", Lines(form)},
      {"files", r.files},
      {"created", r.created},
      {"create_ms_per_file", perFile(r.createMs)},
      {"delete_ms_per_file", perFile(r.deleteMs)},
      {"flush_after_create_ms", flush(r.flushAfterCreateMs, r.flushAfterCreateFailed)},
      {"flush_after_delete_ms", flush(r.flushAfterDeleteMs, r.flushAfterDeleteFailed)},
      {"create_ns_per_file", perFile(r.createNs)},
      {"delete_ns_per_file", perFile(r.deleteNs)},
      {"flush_after_create_ns", flush(r.flushAfterCreateNs, r.flushAfterCreateFailed)},
      {"flush_after_delete_ns", flush(r.flushAfterDeleteNs, r.flushAfterDeleteFailed)},
      {"volume_flushed", r.volumeOpened},
      {"not_deleted", r.notDeleted},
  });
  AddEnding(out, ending);
  std::cout << Dump(out) << "\n";
  Report(ending);
  return ending.status;
}

// The window takes the leading number of whatever is typed; a script gets
// its typing error named instead.
CLI::Validator WholeNumber(long long low, long long high) {
  return CLI::Validator(
      [low, high](std::string& text) -> std::string {
        long long v = 0;
        const auto end = text.data() + text.size();
        const auto r = std::from_chars(text.data(), end, v);
        if (r.ec != std::errc() || r.ptr != end || v < low || v > high)
          return "must be a whole number from " + std::to_string(low) + " to " +
                 std::to_string(high) + ", not '" + text + "'";
        return "";
      },
      "");
}

void AddFileOptions(CLI::App* cmd, std::string& file, bool& json, const char* jsonText) {
  cmd->add_option("--file", file, "The test file")->type_name("PATH")->capture_default_str();
  cmd->add_flag("--json", json, jsonText);
}

void AddFlagOptions(CLI::App* cmd, RunOptions& o) {
  cmd->add_flag("--random-access", o.flags[0],
                "Open with FILE_FLAG_RANDOM_ACCESS (an access-pattern hint)");
  cmd->add_flag("--no-buffering", o.flags[1],
                "Open with FILE_FLAG_NO_BUFFERING (O_DIRECT: past the page cache)");
  cmd->add_flag("--write-through", o.flags[2], "Open with FILE_FLAG_WRITE_THROUGH (O_DSYNC)");
  cmd->add_flag("--sequential-scan", o.flags[3],
                "Open with FILE_FLAG_SEQUENTIAL_SCAN (an access-pattern hint)");
}

void AddBlockOptions(CLI::App* cmd, RunOptions& o) {
  cmd->add_option("--block-sectors", o.blockSectors, "Block size in 512-byte sectors, 1 to 4194303")
      ->type_name("SECTORS")
      ->capture_default_str()
      ->check(WholeNumber(1, 4194303));
  cmd->add_option("--repeat", o.repeat,
                  "Run N times, 1 to 1000, and add min / median / max of the MB/s without flush")
      ->type_name("N")
      ->capture_default_str()
      ->check(CLI::Range(1, 1000).description(""));
  cmd->add_option("--timeline", o.timeline,
                  "Write the run's throughput and dirty cache over time to FILE as CSV")
      ->type_name("FILE");
}

void AddWriteOptions(CLI::App* cmd, RunOptions& o) {
  cmd->add_option("--size", o.size, "File size in MB (1,048,576 bytes)")
      ->type_name("MB")
      ->capture_default_str();
  cmd->add_flag("--random", o.random, "Write pseudo-random words instead of zeros");
  cmd->add_flag("--flush-every-block", o.flushEveryBlock, "Flush the file after every block");
  // Both flushes are on as in the window; each pair's two names exclude
  // each other.
  static bool on = true;
  auto pair = [&](const std::string& what, bool& value) {
    auto* yes =
        cmd->add_flag("--flush-" + what, on, "Flush the " + what + " at finish (the default)");
    auto* no = cmd->add_flag_callback(
        "--no-flush-" + what, [&value] { value = false; },
        "Do not flush the " + what + " at finish");
    yes->excludes(no);
  };
  pair("file", o.flushFile);
  pair("volume", o.flushVolume);
}

}  // namespace

int main(int argc, char** argv) {
  os::runtime::KeepStandardStreams();
  SubMain(nullptr);
  // Ctrl-C and a service manager's stop end a run or test cleanly.
  os::runtime::CatchStopRequests();
  CLI::App app{gTitle + " - measures the file cache and the storage beneath it", "orvandel-cli"};
  app.set_version_flag("--version", gTitle, "Print the program's title and version");
  app.require_subcommand(0, 1);

  std::string file = os::runtime::InitialTestFile("");
  bool json = false;
  constexpr const char* kRunJson = "One JSON object with the lines and the exact figures";
  auto* status = app.add_subcommand(
      "status", "Print the test file's status line: fragments, alignment, compression");
  AddFileOptions(status, file, json, "One JSON object with the line and what it was made from");

  RunOptions writeOptions, readOptions, createOptions;
  writeOptions.file = readOptions.file = createOptions.file = file;
  auto* write =
      app.add_subcommand("write", "Write the test file block by block and show the throughput");
  AddFileOptions(write, writeOptions.file, writeOptions.json, kRunJson);
  AddWriteOptions(write, writeOptions);
  AddBlockOptions(write, writeOptions);
  AddFlagOptions(write, writeOptions);
  auto* read =
      app.add_subcommand("read", "Read the whole test file block by block and show the throughput");
  AddFileOptions(read, readOptions.file, readOptions.json, kRunJson);
  AddBlockOptions(read, readOptions);
  AddFlagOptions(read, readOptions);
  // A read never flushes: what the window's flush boxes say does not matter.
  readOptions.flushFile = readOptions.flushVolume = false;
  auto* createDelete =
      app.add_subcommand("create-delete", "Create and delete empty files beside the test file");
  AddFileOptions(createDelete, createOptions.file, createOptions.json, kRunJson);
  createDelete->add_option("--files", createOptions.files, "Number of files, 10 to 10000")
      ->type_name("N")
      ->capture_default_str()
      ->check(WholeNumber(10, 10000));
  AddFlagOptions(createDelete, createOptions);
  RandomCommands randomCommands(app, file);

  // A flag takes no value: "--flush-file=false" would read as a flush.
  for (CLI::App* cmd : {status, write, read, createDelete})
    for (CLI::Option* opt : cmd->get_options())
      if (opt->get_expected_min() == 0) opt->disable_flag_override();
  try {
    app.parse(argc, argv);
  } catch (const CLI::Success& e) {
    return app.exit(e);  // --help, --version
  } catch (const CLI::ParseError& e) {
    app.exit(e);
    return kUsageError;
  }
  int status_ = kUsageError;
  if (status->parsed())
    status_ = Status(file, json);
  else if (write->parsed())
    status_ = Throughput(writeOptions, 1);
  else if (read->parsed())
    status_ = Throughput(readOptions, 0);
  else if (createDelete->parsed())
    status_ = CreateDelete(createOptions);
  else if (const auto ran = randomCommands.Run())
    status_ = *ran;
  else
    std::cerr << app.help() << "A command is needed.\n";
  // Lines that never reached their reader are a failure too.
  if (!(std::cout << std::flush)) {
    std::cerr << "orvandel-cli: cannot write the output: " << std::strerror(errno) << "\n";
    if (status_ == 0) status_ = kCannotInspect;
  }
  return status_;
}
