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
#include <limits>
#include <map>
#include <optional>
#include <vector>

#include "cli/Common.h"
#include "cli/Job.h"
#include "cli/JsonText.h"
#include "cli/RandomCommand.h"
#include "cli/TimelineCsv.h"
#include "cli/Units.h"
#include "createdelete/CreateDeleteTest.h"
#include "engine/Median.h"
#include "fileio/NumberText.h"
#include "fileio/basFiles.h"
#include "fileio/basStrings.h"
#include "form/ResultLines.h"
#include "form/basBase.h"
#include "placement/FileInspection.h"
#include "platform/cluster.h"
#include "platform/os.h"
#include "throughput/ThroughputRun.h"

namespace {

// The system's reason, without its full stop.
std::string ReasonText(os::DWORD code) {
  std::string text = SystemReason(code);
  if (!text.empty() && text.back() == '.') text.pop_back();
  return text;
}
std::string LastErrorText() { return ReasonText(os::GetLastError()); }

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

// The file status line of path and what it was made from; nullopt, with
// the system's error set, when the file cannot be opened.
std::optional<FileInspection> Inspect(const std::string& path, bool withRuns) {
  const os::HANDLE h = os::CreateFileA(
      path, os::GENERIC_READ, os::FILE_SHARE_READ | os::FILE_SHARE_WRITE, os::OPEN_EXISTING, 0);
  if (h == os::INVALID_HANDLE_VALUE) return std::nullopt;
  FileInspection f = InspectFile(path, h, withRuns);
  os::CloseHandle(h);
  return f;
}

// The status line of the file as a run left it; "" when there is none.
std::string StatusLineOf(const std::string& path) {
  const auto f = Inspect(path, false);
  return f ? StatusLine(*f) : "";
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
  const auto f = Inspect(path, json);
  if (!f) return Fail(path, "cannot open: " + LastErrorText());
  if (f->size != 0 && !f->placed)
    return Fail(path,
                "the file system does not tell where the file lies (" + ReasonText(f->error) + ")");
  const std::string line = StatusLine(*f);
  if (!json) {
    std::cout << line << "\n";
    return 0;
  }
  nlohmann::json runs = nlohmann::json::array();
  for (const auto& r : f->details.runs) runs.push_back({{"lcn", r.lcn}, {"length", r.length}});
  const bool aligned = f->size != 0 && f->Aligned();
  nlohmann::json out = Header("status", path);
  out.update(nlohmann::json{
      {"ok", true},
      {"line", line},
      {"size", f->size},
      {"fragments", f->fragments},
      {"min_alignment", aligned ? nlohmann::json(f->minAlignment) : nlohmann::json(nullptr)},
      {"max_alignment", aligned ? nlohmann::json(f->maxAlignment) : nlohmann::json(nullptr)},
      {"file_system", JsonText(f->details.fileSystem)},
      {"cluster_size", f->details.clusterSize},
      {"partition_offset", f->details.partitionOffset},
      {"data_area_offset", f->details.dataAreaOffset},
      {"compressed", f->compressed},
      {"runs", runs},
  });
  std::cout << out.dump(2) << "\n";
  return 0;
}

// A run's progress on a terminal's stderr, at most ten times a second.
class ProgressLine {
 public:
  explicit ProgressLine(bool shown) : shown_(shown) {}
  ~ProgressLine() { End(); }
  void Show(const std::string& text) {
    if (!shown_) return;
    const auto now = std::chrono::steady_clock::now();
    if (now - lastDraw_ < std::chrono::milliseconds(100)) return;
    lastDraw_ = now;
    std::cerr << "\r" << text << "   " << std::flush;
    drawn_ = true;
  }
  void End() {
    if (drawn_) std::cerr << "\r\033[K" << std::flush;
    drawn_ = false;
  }

 private:
  bool shown_;
  bool drawn_ = false;
  std::chrono::steady_clock::time_point lastDraw_{};
};

class CliRun : public ThroughputObserver {
 public:
  CliRun(ProgressLine& progress, FinishChoices choices) : progress_(progress), choices_(choices) {}
  void Progress(int percent) override { progress_.Show(" " + std::to_string(percent) + "%"); }
  FinishChoices AtFinish() override { return choices_; }

 private:
  ProgressLine& progress_;
  FinishChoices choices_;
};

// A run as a rank: the clock starts when every rank is ready, and the
// flushes start when every rank's clock has stopped.
class RankRun : public CliRun {
 public:
  RankRun(ProgressLine& progress, FinishChoices choices, RankJob& job)
      : CliRun(progress, choices), job_(job) {}
  void Prepared() override { job_.Meet(true); }
  void ClockStopped() override { job_.Meet(true); }
  int StopRequested() override { return job_.StopRequested(CliRun::StopRequested()); }

 private:
  RankJob& job_;
};

struct RunOptions {
  std::string file;
  std::string size = "200";
  std::int32_t blockSectors = 2048;
  std::uint64_t blockBytes = 0;  // --block-size, instead of the sectors
  std::int32_t files = 160;
  bool random = false;
  bool flags[4] = {};  // in the order of the window's flag boxes
  bool flushEveryBlock = false;
  bool flushFile = true;
  bool flushVolume = true;
  bool json = false;
  bool evict = false;  // read --evict
  int repeat = 1;
  std::optional<std::string> timeline;  // --timeline FILE
  JobOptions job;
};

std::int32_t Flags(const RunOptions& o) {
  static constexpr std::uint32_t kBits[] = {os::FILE_FLAG_RANDOM_ACCESS, os::FILE_FLAG_NO_BUFFERING,
                                            os::FILE_FLAG_WRITE_THROUGH,
                                            os::FILE_FLAG_SEQUENTIAL_SCAN};
  std::uint32_t flags = 0;
  for (int i = 0; i < 4; ++i)
    if (o.flags[i]) flags |= kBits[i];
  return static_cast<std::int32_t>(flags);
}

void PrintLines(const ResultLines& lines, const std::string& statusLine) {
  for (const std::string& line : lines)
    if (!line.empty()) std::cout << line << "\n";
  if (!statusLine.empty()) std::cout << statusLine << "\n";
}

// The test file's pages in the cache; null for a moment without a figure.
nlohmann::json CacheJson(const ThroughputRecord& r) {
  auto reading = [](const CacheReading& c) -> nlohmann::json {
    if (!c.Taken()) return nullptr;
    auto known = [](std::int64_t v) { return v < 0 ? nlohmann::json(nullptr) : nlohmann::json(v); };
    return {{"cached_bytes", c.figures.cachedBytes},
            {"dirty_bytes", known(c.figures.dirtyBytes)},
            {"writeback_bytes", known(c.figures.writebackBytes)},
            {"t_ns", c.tNs}};
  };
  const RunCache& c = r.cache;
  const CacheReading& latest = c.atStop.Taken() ? c.atStop : c.atStart;
  nlohmann::json flushes = nlohmann::json::array();
  for (const RunCache::AfterFlush& f : c.afterFlushes) {
    nlohmann::json one = reading(f.reading);
    if (one.is_null()) one = nlohmann::json::object();
    one["flush"] = f.kind == FlushMark::File ? "file" : "volume";
    flushes.push_back(std::move(one));
  }
  nlohmann::json out = {
      {"source", os::runtime::FileCacheSourceName(latest.figures.source)},
      {"file_bytes", latest.Taken() ? nlohmann::json(latest.figures.fileBytes) : nullptr},
      {"in_memory", latest.Taken() && latest.figures.inMemory},
      {"evicted", c.evicted},
      {"at_start", reading(c.atStart)},
      {"at_stop", reading(c.atStop)},
      {"after_flushes", std::move(flushes)},
      {"verdict", CacheVerdict(r, '.')},
  };
  if (c.evicted) out["before_evict"] = reading(c.beforeEvict);
  if (!c.reason.empty()) out["reason"] = c.reason;
  return out;
}

// One run's figures; a Read run has no flushes, so none of their fields. The
// timeline's hundreds of rows come only when --timeline asks for them.
nlohmann::json RunJson(const ThroughputRecord& r, const std::string& statusLine, bool timeline) {
  auto optional = [](std::int64_t v) {
    return v < 0 ? nlohmann::json(nullptr) : nlohmann::json(v);
  };
  // A rate of an interval that never ran is no figure.
  auto measured = [](std::int64_t ns, double rate) {
    return ns > 0 ? nlohmann::json(rate) : nlohmann::json(nullptr);
  };
  nlohmann::json out = {
      {"lines", ThroughputLines(r, '.')},
      {"status_line", statusLine},
      {"test_size", static_cast<double>(r.testSize) / kFixed},
      {"block_size", r.blockSize},
      {"flags", FlagsHex(r.fileFlags)},
      {"flag_names", FlagNames(r.fileFlags)},
      {"whole_blocks", r.wholeBlocks},
      {"bytes_transferred", r.transferred},
      {"final_count", r.finalCount},
      {"final_transferred", r.finalResult},
      {"elapsed_ms", r.elapsedMs},
      {"elapsed_ns", r.elapsedNs},
      {"mb_per_s", measured(r.elapsedNs, MBps(r.testSize, r.elapsedNs))},
      {"cache", CacheJson(r)},
  };
  if (timeline) {
    out["timeline"] = TimelineJson(r.timeline);
    out["flushes"] = FlushesJson(r.timeline);
    out["dirty_thresholds"] = ThresholdsJson(r.timeline);
  }
  if (!r.writing) return out;
  out["elapsed_with_flush_ms"] = r.elapsedWithFlushMs;
  out["file_flush_ms"] = optional(r.fileFlushMs);
  out["volume_flush_ms"] = optional(r.volumeFlushMs);
  out["elapsed_with_flush_ns"] = r.elapsedWithFlushNs;
  out["file_flush_ns"] = optional(r.fileFlushNs);
  out["volume_flush_ns"] = optional(r.volumeFlushNs);
  out["mb_per_s_with_flush"] =
      r.FlushFailed() ? nlohmann::json(nullptr)
                      : measured(r.elapsedWithFlushNs, MBps(r.testSize, r.elapsedWithFlushNs));
  out["file_flush_failed"] = r.fileFlushFailed;
  out["volume_flush_failed"] = r.volumeFlushFailed;
  return out;
}

// The figures the lines of repeated runs show, each as min / median / max.
class Summary {
 public:
  void Add(const ThroughputRecord& r) {
    ++runs_;
    writing_ = r.writing;
    figures_["mb_per_s"].push_back(MBps(r.testSize, r.elapsedNs));
    if (!r.writing) return;
    if (r.fileFlushMs >= 0 || r.volumeFlushMs >= 0)
      figures_["mb_per_s_with_flush"].push_back(MBps(r.testSize, r.elapsedWithFlushNs));
    if (r.fileFlushMs >= 0) figures_["file_flush_ms"].push_back(r.fileFlushMs);
    if (r.volumeFlushMs >= 0) figures_["volume_flush_ms"].push_back(r.volumeFlushMs);
  }
  nlohmann::json Json() const {
    nlohmann::json out = {{"runs", runs_}};
    for (const auto& [name, values] : figures_)
      out[name] = {{"min", *std::min_element(values.begin(), values.end())},
                   {"median", Median(values)},
                   {"max", *std::max_element(values.begin(), values.end())}};
    return out;
  }
  void Print() const {
    static const std::pair<const char*, const char*> kShown[] = {
        {"mb_per_s", "MB/s without flush"},
        {"mb_per_s_with_flush", "MB/s with flush"},
        {"file_flush_ms", "ms file flush"},
        {"volume_flush_ms", "ms volume flush"}};
    for (const auto& [name, text] : kShown) {
      const auto it = figures_.find(name);
      if (it == figures_.end()) continue;
      const auto& v = it->second;
      std::printf("min / median / max of %d runs: %.1f / %.1f / %.1f %s\n", runs_,
                  *std::min_element(v.begin(), v.end()), Median(v),
                  *std::max_element(v.begin(), v.end()), writing_ ? text : "MB/s");
    }
  }

 private:
  int runs_ = 0;
  bool writing_ = true;
  std::map<std::string, std::vector<double>> figures_;
};

// --size in ten-thousandths of a byte: a plain number of MB with up to four
// decimals, as the window's field takes it, or a size with a unit.
std::optional<std::int64_t> FileSize(const std::string& text) {
  if (const auto mb = numtext::ToFixed4(text, '.')) {
    if (*mb <= 0 || *mb > std::numeric_limits<std::int64_t>::max() / 1048576) return std::nullopt;
    return *mb * 1048576;
  }
  const units::Size size = units::ParseSize(text, units::kFileSize);
  if (!size.ok() || size.bytes > std::numeric_limits<std::uint64_t>::max() / 2 / kFixed)
    return std::nullopt;
  return static_cast<std::int64_t>(size.bytes) * kFixed;
}

ThroughputDescription Describe(const RunOptions& o, bool writing) {
  ThroughputDescription run;
  run.file = o.file;
  run.writing = writing;
  run.size = std::numeric_limits<std::int64_t>::max();
  if (writing) run.size = FileSize(o.size).value_or(0);
  run.blockSize = static_cast<std::int32_t>(o.blockBytes ? o.blockBytes : o.blockSectors * 512ull);
  run.randomData = o.random;
  run.fileFlags = Flags(o);
  run.flushEveryBlock = o.flushEveryBlock;
  run.evictFirst = o.evict;
  if (o.job.stonewall) run.stopAfterNs = static_cast<std::int64_t>(*o.job.stonewall * 1e9);
  return run;
}

// One rank's Write or Read run: its own file, or its segment of the shared
// one; rank 0 prints the job's totals.
int ThroughputAsRank(const RunOptions& o, bool writing, RankJob& job) {
  const char* command = writing ? "write" : "read";
  ThroughputDescription run = Describe(o, writing);
  run.recordTimeline = false;
  Ending ending;
  if (o.repeat > 1 || o.timeline)
    ending = {false, kUsageError, o.repeat > 1 ? "--repeat" : "--timeline",
              "runs alone, not as a rank of a job"};
  if (!o.job.sharedFile) {
    run.file = RankJob::RankFile(o.file, job.Rank());
  } else if (writing) {
    run.offset = job.Rank() * BytesWritten(run.size, run.blockSize);
  } else if (ending.ok) {
    // Rank r reads the r-th of as many parts as there are ranks, in whole
    // blocks; the last one reads to the end.
    const std::int64_t length = FileExists(o.file, "") ? GetFileSize64(o.file) : 0;
    const std::int64_t part = length / job.Size() / run.blockSize * run.blockSize;
    if (part == 0)
      ending = {false, kCannotInspect, "Error reading the file",
                o.file + ": " + std::to_string(length) +
                    " bytes are less than a block for each of " + std::to_string(job.Size()) +
                    " ranks"};
    run.offset = job.Rank() * part;
    run.size = (job.Rank() + 1 == job.Size() ? length - run.offset : part) * kFixed;
  }
  ThroughputRecord r;
  if (ending.ok) {
    ProgressLine progress(false);
    RankRun observer(progress, {writing && o.flushFile, writing && o.flushVolume}, job);
    clsFile64 file;
    r = RunThroughput(run, file, observer);
    if (file.IsOpen()) file.CloseFile();
    ending = job.EndingOf(r.message, r.detail, r.stoppedBy);
    if (ending.ok && !r.finished)
      ending = {false, kCannotInspect, "Error", run.file + ": the run did not finish"};
  }
  job.MeetUntil(3, ending.ok);
  nlohmann::json one = RunJson(r, "", false);
  one["command"] = command;
  one["file"] = JsonText(run.file);
  one["offset"] = run.offset;
  one["cut_short"] = r.cutShort;
  one["start_ns"] = job.Common(r.clockStartNs);
  one["end_ns"] = job.Common(r.clockStartNs ? r.clockStartNs + r.elapsedNs : 0);
  // The pauses the rank kept out of its time with flush stay out of the
  // job's too: a job of one rank has that rank's figures.
  if (writing)
    one["end_with_flush_ns"] =
        job.Common(r.clockStartNs ? r.clockStartNs + r.elapsedWithFlushNs : 0);
  return job.Finish(command, o.file, ending, std::move(one), o.json, AggregateThroughput,
                    [writing](const nlohmann::json& total) {
                      PrintJobLines(total);
                      if (total.value("cut_short", false))
                        std::printf(
                            "--stonewall cut the runs short: the figures are of the "
                            "%.1f MB done by then\n",
                            total.value("test_size", 0.0) / 1048576);
                      PrintOverRanks(total, "mb_per_s", writing ? "MB/s without flush" : "MB/s");
                      PrintOverRanks(total, "mb_per_s_with_flush", "MB/s with flush");
                    });
}

// A Write or Read run, as the window's buttons run it.
int Throughput(const RunOptions& o, bool writing) {
  const char* command = writing ? "write" : "read";
  auto end = [&](const Ending& e) {
    if (o.json) {
      nlohmann::json out = Header(command, o.file);
      AddEnding(out, e);
      std::cout << Dump(out) << "\n";
    }
    Report(e);
    return e.status;
  };
  // An output that cannot take the rows ends the command before anything runs.
  std::optional<TimelineCsvFile> csv;
  if (o.timeline && (!csv.emplace(*o.timeline, o.file).IsOpen() || (o.json && csv->IsStream())))
    // One JSON object is all --json prints: the rows need a file of their own.
    return end(csv->IsOpen()
                   ? Ending{false, kUsageError, "--timeline",
                            *o.timeline + ": is standard output, where --json prints its object"}
                   : Ending{false, kCannotInspect, "--timeline", csv->Error()});

  ThroughputDescription run = Describe(o, writing);
  run.recordTimeline = csv.has_value();

  ProgressLine progress(!o.json && os::runtime::StderrIsTerminal());
  CliRun observer(progress, {writing && o.flushFile, writing && o.flushVolume});
  clsFile64 file;
  nlohmann::json runs = nlohmann::json::array();
  Summary summary;
  Ending ending;
  ThroughputRecord last;
  for (int n = 0; n < o.repeat && ending.ok; ++n) {
    last = RunThroughput(run, file, observer);
    if (file.IsOpen()) file.CloseFile();
    progress.End();
    ending = EndingOf(last.message, last.detail, last.stoppedBy);
    if (ending.ok && !last.finished)
      ending = {false, kCannotInspect, "Error", o.file + ": the run did not finish"};
    if (ending.ok) summary.Add(last);
    const std::string statusLine = StatusLineOf(o.file);
    if (o.json) {
      nlohmann::json one = RunJson(last, statusLine, csv.has_value());
      if (o.job.stonewall) one["cut_short"] = last.cutShort;
      AddEnding(one, ending);
      runs.push_back(std::move(one));
    } else if (last.stoppedBy == 0) {
      PrintLines(ThroughputLines(last, '.'), statusLine);
      if (last.cutShort)
        std::printf("--stonewall cut the run short: the figures are of the %.1f MB done by then\n",
                    static_cast<double>(last.testSize) / kFixed / 1048576);
      if (const std::string verdict = CacheVerdict(last, '.'); !verdict.empty())
        std::cout << verdict << "\n";
    }
  }
  // The last run's timeline, also of a run that failed part way; rows that
  // did not reach their file fail the command.
  std::cout << std::flush;
  if (csv && !csv->Write(last.timeline) && ending.ok)
    ending = {false, kCannotInspect, "--timeline", csv->Error()};
  if (o.json) {
    nlohmann::json out = Header(command, o.file);
    out["flags"] = FlagsHex(run.fileFlags);
    out["flag_names"] = FlagNames(run.fileFlags);
    if (o.repeat == 1)
      out.update(runs[0]);
    else
      out["runs"] = runs;
    AddEnding(out, ending);
    if (o.repeat > 1 && ending.ok) out["summary"] = summary.Json();
    std::cout << Dump(out) << "\n";
  } else if (o.repeat > 1 && ending.ok) {
    summary.Print();
  }
  Report(ending);
  return ending.status;
}

class CliCreateDelete : public CreateDeleteObserver {};

// Each phase starts when every rank is ready for it.
class RankCreateDelete : public CreateDeleteObserver {
 public:
  explicit RankCreateDelete(RankJob& job) : job_(job) {}
  void PhaseStarting(int /*phase*/) override { job_.Meet(true); }
  int StopRequested() override { return job_.StopRequested(CreateDeleteObserver::StopRequested()); }

 private:
  RankJob& job_;
};

int CreateDelete(const RunOptions& o, RankJob* job) {
  CreateDeleteDescription test;
  // A rank's files are PATH.r0002.0000 upwards: its own, beside the others'.
  test.file = job ? RankJob::RankFile(o.file, job->Rank()) : o.file;
  test.files = o.files;
  test.fileFlags = Flags(o);
  CliCreateDelete alone;
  std::optional<RankCreateDelete> rank;
  if (job) rank.emplace(*job);
  const CreateDeleteRecord r =
      RunCreateDelete(test, rank ? static_cast<CreateDeleteObserver&>(*rank) : alone);
  const Ending ending = job ? job->EndingOf(r.message, r.detail, r.stoppedBy)
                            : EndingOf(r.message, r.detail, r.stoppedBy);
  const ResultLines lines = CreateDeleteLines(r, '.');
  if (!o.json && !job) {
    if (r.stoppedBy == 0) PrintLines(lines, StatusLineOf(o.file));
    Report(ending);
    return ending.status;
  }
  auto perFile = [&](std::int64_t total, bool timed) {
    return timed && r.created ? nlohmann::json(static_cast<double>(total) / r.created)
                              : nlohmann::json(nullptr);
  };
  auto flush = [](std::int64_t v, bool failed) {
    return failed || v < 0 ? nlohmann::json(nullptr) : nlohmann::json(v);
  };
  nlohmann::json out = Header("create-delete", o.file);
  out.update(nlohmann::json{
      {"flags", FlagsHex(test.fileFlags)},
      {"flag_names", FlagNames(test.fileFlags)},
      {"lines", lines},
      {"files", r.files},
      {"created", r.created},
      {"create_ms_per_file", perFile(r.createMs, r.createdAll)},
      {"delete_ms_per_file", perFile(r.deleteMs, r.deletedAll)},
      {"flush_after_create_ms", flush(r.flushAfterCreateMs, r.flushAfterCreateFailed)},
      {"flush_after_delete_ms", flush(r.flushAfterDeleteMs, r.flushAfterDeleteFailed)},
      {"create_ns_per_file", perFile(r.createNs, r.createdAll)},
      {"delete_ns_per_file", perFile(r.deleteNs, r.deletedAll)},
      {"flush_after_create_ns", flush(r.flushAfterCreateNs, r.flushAfterCreateFailed)},
      {"flush_after_delete_ns", flush(r.flushAfterDeleteNs, r.flushAfterDeleteFailed)},
      {"volume_flushed", r.volumeOpened},
      {"not_deleted", r.notDeleted},
  });
  if (job) {
    job->MeetUntil(3, ending.ok);
    out["file"] = JsonText(test.file);
    out["create_start_ns"] = job->Common(r.createStartNs);
    out["create_end_ns"] = job->Common(r.createStartNs ? r.createStartNs + r.createNs : 0);
    out["delete_start_ns"] = job->Common(r.deleteStartNs);
    out["delete_end_ns"] = job->Common(r.deleteStartNs ? r.deleteStartNs + r.deleteNs : 0);
    return job->Finish("create-delete", o.file, ending, std::move(out), o.json,
                       AggregateCreateDelete, [](const nlohmann::json& total) {
                         PrintJobLines(total);
                         std::printf("%.0f creations and %.0f deletions a second\n",
                                     total.value("creations_per_s", 0.0),
                                     total.value("deletions_per_s", 0.0));
                       });
  }
  AddEnding(out, ending);
  std::cout << Dump(out) << "\n";
  Report(ending);
  return ending.status;
}

void AddFileOptions(CLI::App* cmd, std::string& file, bool& json, const char* jsonText) {
  cmd->add_option("--file", file, "The test file")
      ->type_name("PATH")
      ->capture_default_str()
      ->check(NotAnOption());
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
  auto* sectors = cmd->add_option("--block-sectors", o.blockSectors,
                                  "Block size in 512-byte sectors, 1 to 4194303")
                      ->type_name("SECTORS")
                      ->capture_default_str()
                      ->check(WholeNumber(1, 4194303));
  cmd->add_option("--block-size", o.blockBytes,
                  "Block size in bytes, a multiple of 512, or with a unit: 4k, 1M")
      ->type_name("SIZE")
      ->transform(units::SizeInBytes(units::kBlockSize))
      ->excludes(sectors);
  cmd->add_option("--repeat", o.repeat,
                  "Run N times, 1 to 1000, and add min / median / max of every figure")
      ->type_name("N")
      ->capture_default_str()
      ->check(WholeNumber(1, 1000));
  cmd->add_option("--timeline", o.timeline,
                  "Write the run's throughput and dirty cache over time to FILE as CSV")
      ->type_name("FILE")
      ->check(NotAnOption());
}

void AddWriteOptions(CLI::App* cmd, RunOptions& o) {
  cmd->add_option("--size", o.size,
                  "File size: a number of MB (1,048,576 bytes), or with a unit: 512k, 64M, 1G")
      ->type_name("SIZE")
      ->capture_default_str()
      ->check(CLI::Validator(
          [](std::string& text) -> std::string {
            if (FileSize(text)) return "";
            const units::Size size = units::ParseSize(text, units::kFileSize);
            return size.ok() ? "is too large" : size.error;
          },
          ""));
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

// A command refused before it ran: its message, and with --json its object.
int Refused(CLI::App& app, bool json, const Ending& e) {
  const CLI::App* cmd = app.get_subcommands().empty() ? &app : app.get_subcommands().front();
  // Every rank of a job refuses alike; one object is printed, by rank 0.
  if (json && os::cluster::LauncherRank() <= 0) {
    const CLI::Option* path = cmd->get_option_no_throw("--file");
    nlohmann::json out =
        Header(cmd->get_name(), path && path->count() ? path->as<std::string>() : "");
    AddEnding(out, e);
    std::cout << Dump(out) << "\n";
  }
  Report(e);
  return e.status;
}

// Lines that never reached their reader are a failure too: standard output
// closed at the start, or a write to it that failed (a full disk, a closed
// pipe).
int FinishOutput(int status, bool noOutput) {
  const bool flushed = static_cast<bool>(std::cout << std::flush);
  const int error = errno;
  const bool written = std::fflush(stdout) == 0 && !std::ferror(stdout);
  if (noOutput || !flushed || !written) {
    std::cerr << "orvandel-cli: cannot write the output: "
              << (noOutput ? "standard output is closed" : std::strerror(flushed ? errno : error))
              << "\n";
    if (status == 0) status = kCannotInspect;
  }
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  // Ctrl-C and a service manager's stop end a run or test cleanly, also one
  // asked for while the program starts.
  os::runtime::CatchStopRequests();
  const bool noOutput = os::runtime::KeepStandardStreams();
  SubMain(nullptr);
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
  AddJobOptions(write, writeOptions.job, true, true);
  auto* read =
      app.add_subcommand("read", "Read the whole test file block by block and show the throughput");
  AddFileOptions(read, readOptions.file, readOptions.json, kRunJson);
  AddBlockOptions(read, readOptions);
  AddFlagOptions(read, readOptions);
  AddJobOptions(read, readOptions.job, true, true);
  read->add_flag("--evict", readOptions.evict,
                 "Write the file back and drop its pages from the cache before the clock starts, "
                 "so that the figure comes from the disk");
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
  AddJobOptions(createDelete, createOptions.job, false, false);
  RandomCommands randomCommands(app, file);

  // A flag takes no value: "--flush-file=false" would read as a flush.
  for (CLI::App* cmd : {status, write, read, createDelete})
    for (CLI::Option* opt : cmd->get_options())
      if (opt->get_expected_min() == 0) opt->disable_flag_override();
  try {
    app.parse(argc, argv);
  } catch (const CLI::Success& e) {
    return FinishOutput(app.exit(e), noOutput);  // --help, --version
  } catch (const CLI::ParseError& e) {
    app.exit(e);
    // With --json every end is one object, a usage error too.
    const std::vector<std::string> args(argv + 1, argv + argc);
    // "--json=yes" is refused as a flag given a value, but asked for JSON.
    const bool asked = std::any_of(args.begin(), args.end(), [](const std::string& a) {
      return a == "--json" || a.rfind("--json=", 0) == 0;
    });
    if (asked && os::cluster::LauncherRank() <= 0) {
      std::string command;
      for (const std::string& a : args)
        if (a == "status" || a == "write" || a == "read" || a == "create-delete" || a == "random" ||
            a == "profile") {
          command = a;
          break;
        }
      std::string named = file;
      for (std::size_t i = 0; i < args.size(); ++i)
        if (args[i] == "--file" && i + 1 < args.size())
          named = args[i + 1];
        else if (args[i].rfind("--file=", 0) == 0)
          named = args[i].substr(7);
      nlohmann::json out = Header(command, named);
      out["ok"] = false;
      out["usage"] = true;
      out["message"] = e.what();
      std::cout << Dump(out) << "\n";
    }
    return kUsageError;
  }
  // Started by mpirun or srun (or with --mpi), a command is one rank of a
  // job; alone it is what it always was.
  RunOptions* const runOptions = write->parsed()          ? &writeOptions
                                 : read->parsed()         ? &readOptions
                                 : createDelete->parsed() ? &createOptions
                                                          : nullptr;
  JobOptions* const jobOptions = runOptions ? &runOptions->job : randomCommands.Job();
  std::unique_ptr<RankJob> job;
  if (jobOptions && (jobOptions->mpi || os::cluster::LaunchedAsRank())) {
    std::string error;
    job = RankJob::Join(error);
    if (!job)
      return FinishOutput(Refused(app, runOptions ? runOptions->json : randomCommands.Json(),
                                  {false, kCannotInspect, "Cannot run as a rank of a job", error}),
                          noOutput);
    const std::string command = app.get_subcommands().front()->get_name();
    std::string line;
    for (int i = 1; i < argc; ++i) line += std::string(argv[i]) + '\0';
    if (!job->SameCommand(line))
      return FinishOutput(
          Refused(app, runOptions ? runOptions->json : randomCommands.Json(),
                  {false, kUsageError, "Cannot run as a rank of a job",
                   "the ranks were started with different commands or options; each must run the "
                   "same " +
                       command}),
          noOutput);
  } else if (jobOptions && jobOptions->sharedFile) {
    return FinishOutput(
        Refused(app, runOptions->json,
                {false, kUsageError, "--shared-file",
                 "the ranks of a job share a file; this program was not started as one (mpirun, "
                 "srun, or --mpi)"}),
        noOutput);
  }
  int status_ = kUsageError;
  if (status->parsed())
    status_ = Status(file, json);
  else if (write->parsed())
    status_ = job ? ThroughputAsRank(writeOptions, true, *job) : Throughput(writeOptions, true);
  else if (read->parsed())
    status_ = job ? ThroughputAsRank(readOptions, false, *job) : Throughput(readOptions, false);
  else if (createDelete->parsed())
    status_ = CreateDelete(createOptions, job.get());
  else if (const auto ran = randomCommands.Run(job.get()))
    status_ = *ran;
  else
    std::cerr << app.help() << "A command is needed.\n";
  // Lines that never reached their reader are a failure too.
  return FinishOutput(status_, noOutput);
}
