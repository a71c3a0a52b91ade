#include "cli/RandomCommand.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <iostream>

#include "cli/Common.h"
#include "cli/Job.h"
#include "cli/Units.h"
#include "random/Profile.h"
#include "random/RandomTest.h"

namespace {

// A block of the random-order test, up to 64 MiB; direct I/O asks for whole
// sectors, which the test itself checks.
const units::SizeRule kTransferSize{1, 1, 64ull << 20, "4096, 4k or 1M"};

std::optional<std::int64_t> ParseSize(const std::string& text, const units::SizeRule& rule) {
  const units::Size size = units::ParseSize(text, rule);
  if (!size.ok() || size.bytes > (std::uint64_t{1} << 62)) return std::nullopt;
  return static_cast<std::int64_t>(size.bytes);
}

CLI::Validator SizeText(const units::SizeRule& rule) {
  return CLI::Validator(
      [&rule](std::string& text) -> std::string {
        const units::Size size = units::ParseSize(text, rule);
        if (!size.ok()) return size.error;
        if (&rule == &kTransferSize && size.bytes < 512)
          return "must be at least 512 bytes, not '" + text + "'";
        return size.bytes > (std::uint64_t{1} << 62) ? "is too large" : "";
      },
      "");
}

std::string Duration(double ns) {
  char text[32];
  if (ns < 10e3)
    std::snprintf(text, sizeof text, "%.2f us", ns / 1e3);
  else if (ns < 10e6)
    std::snprintf(text, sizeof text, "%.0f us", ns / 1e3);
  else
    std::snprintf(text, sizeof text, "%.1f ms", ns / 1e6);
  return text;
}

// Progress on a terminal's stderr; the run asks it about stops too.
class CliObserver : public RandomObserver {
 public:
  explicit CliObserver(bool show, std::string prefix = "")
      : show_(show), prefix_(std::move(prefix)) {}
  ~CliObserver() override { End(); }
  void Progress(const RandomProgress& p) override {
    if (!show_) return;
    std::fprintf(stderr, "\r%s%s %3.0f%%   ", prefix_.c_str(),
                 p.preparing ? "writing the file" : "", std::min(p.fraction, 1.0) * 100);
    std::fflush(stderr);
    drawn_ = true;
  }
  void End() {
    if (drawn_) std::fprintf(stderr, "\r\033[K");
    drawn_ = false;
  }

 private:
  bool show_;
  std::string prefix_;
  bool drawn_ = false;
};

Ending EndingOfRun(const RandomRecord& r) {
  Ending e = EndingOf(r.message, r.detail, r.stoppedBy);
  if (e.ok && !r.finished) e = {false, kCannotInspect, "The file was not replaced.", ""};
  return e;
}

// The job's short text: IOPS and MB/s summed over the ranks, the
// percentiles of all their transfers.
void PrintRandomLines(const nlohmann::json& total) {
  std::printf("%s, %lld bytes, Q%dT%d, %s: %.0f IOPS, %.1f MB/s\n", total.value("mode", "").c_str(),
              total.value("block_size", 0LL), total.value("depth", 0), total.value("threads", 0),
              total.value("engine", "").c_str(), total.value("iops", 0.0),
              total.value("mb_per_s", 0.0));
  const nlohmann::json& latency = total["latency_ns"];
  auto at = [&](const char* p) { return Duration(latency["percentiles"].value(p, 0.0)); };
  std::printf("latency p50 %s, p99 %s, p99.9 %s, max %s\n", at("50").c_str(), at("99").c_str(),
              at("99.9").c_str(), Duration(latency.value("max", 0.0)).c_str());
  PrintOverRanks(total, "iops", "IOPS");
}

}  // namespace

struct RandomCommands::Options {
  CLI::App* random = nullptr;
  CLI::App* profile = nullptr;
  std::string file, size, blockSize = "4k";
  int depth = 1, threads = 1;
  bool read = false, write = false, direct = false, writeThrough = false, json = false;
  std::optional<int> mix;
  std::optional<double> seconds;
  std::optional<std::int64_t> count;
  std::uint64_t seed = 1;
  std::optional<std::string> histogram;
  std::string profileFile, profileSize = "1G";
  double profileSeconds = 5;
  bool profileJson = false;
  JobOptions job;

  int RunOne(RankJob* rank);
  int RunProfile();
};

RandomCommands::RandomCommands(CLI::App& app, const std::string& file)
    : o_(std::make_unique<Options>()) {
  Options& o = *o_;
  o.file = o.profileFile = file;
  auto* r = o.random = app.add_subcommand(
      "random", "Transfer blocks at random offsets at a queue depth: IOPS and latency");
  r->add_option("--file", o.file, "The test file")
      ->type_name("PATH")
      ->capture_default_str()
      ->check(NotAnOption());
  r->add_option(
       "--size", o.size,
       "The part of the file to use, in MB or with a unit (64M, 1G), written first where the "
       "file is shorter "
       "(default: the whole file)")
      ->type_name("SIZE")
      ->check(SizeText(units::kFileSize));
  r->add_option("--block-size", o.blockSize, "Bytes a transfer, 512 up to 64M (4096, 4k, 1M)")
      ->type_name("SIZE")
      ->capture_default_str()
      ->check(SizeText(kTransferSize));
  r->add_option("--depth", o.depth, "Transfers in flight on each thread, 1 to 256")
      ->type_name("N")
      ->capture_default_str()
      ->check(WholeNumber(1, 256));
  r->add_option("--threads", o.threads, "Threads, 1 to 64")
      ->type_name("N")
      ->capture_default_str()
      ->check(WholeNumber(1, 64));
  auto* rd = r->add_flag("--read", o.read, "Read only");
  auto* wr = r->add_flag("--write", o.write, "Write only (pseudo-random data)");
  auto* mx = r->add_option("--mix", o.mix, "Read PCT percent of the transfers, write the rest")
                 ->type_name("PCT")
                 ->check(WholeNumber(0, 100));
  rd->excludes(wr)->excludes(mx);
  wr->excludes(mx);
  r->add_flag("--direct", o.direct, "Past the page cache (FILE_FLAG_NO_BUFFERING, O_DIRECT)");
  r->add_flag("--write-through", o.writeThrough, "Writes reach the disk (FILE_FLAG_WRITE_THROUGH)");
  auto* sec = r->add_option("--seconds", o.seconds, "Run for S seconds (default 5)")
                  ->type_name("S")
                  ->check(Seconds());
  auto* cnt = r->add_option("--count", o.count, "Run N transfers in all")
                  ->type_name("N")
                  ->check(WholeNumber(1, std::int64_t{1} << 60));
  sec->excludes(cnt);
  r->add_option("--seed", o.seed, "Seed of the order and of the mix, 0 to 2^63")
      ->type_name("N")
      ->capture_default_str()
      ->check(CLI::Validator(
          [](std::string& text) -> std::string {
            std::int64_t v = 0;
            const auto end = text.data() + text.size();
            const auto r = std::from_chars(text.data(), end, v);
            return r.ec == std::errc() && r.ptr == end && v >= 0
                       ? ""
                       : "must be a whole number from 0 to 2^63, not '" + text + "'";
          },
          ""));
  r->add_flag("--json", o.json, "One JSON object with the exact figures");
  r->add_option("--histogram", o.histogram, "Write the latency histogram to FILE as CSV")
      ->type_name("FILE")
      ->check(NotAnOption());
  AddJobOptions(r, o.job, false, true);

  auto* p = o.profile = app.add_subcommand(
      "profile",
      "The standard table: SEQ1M Q8T1, SEQ1M Q1T1, RND4K Q32T1, RND4K Q1T1, read and write");
  p->add_option("--file", o.profileFile, "The test file")
      ->type_name("PATH")
      ->capture_default_str()
      ->check(NotAnOption());
  p->add_option("--size", o.profileSize, "The file's size, written first where it is shorter")
      ->type_name("SIZE")
      ->capture_default_str()
      ->check(SizeText(units::kFileSize));
  p->add_option("--seconds", o.profileSeconds, "Seconds a row")
      ->type_name("S")
      ->capture_default_str()
      ->check(Seconds());
  p->add_flag("--json", o.profileJson, "One JSON object with the table");
  for (CLI::App* cmd : {r, p})
    for (CLI::Option* opt : cmd->get_options())
      if (opt->get_expected_min() == 0) opt->disable_flag_override();
}

RandomCommands::~RandomCommands() = default;

JobOptions* RandomCommands::Job() { return o_->random->parsed() ? &o_->job : nullptr; }
bool RandomCommands::Json() const { return o_->json; }

std::optional<int> RandomCommands::Run(RankJob* job) {
  if (o_->random->parsed()) return o_->RunOne(job);
  if (o_->profile->parsed()) return o_->RunProfile();
  return std::nullopt;
}

// A rank's run starts its clock when every rank's file is ready.
class RankObserver : public RandomObserver {
 public:
  explicit RankObserver(RankJob& job) : job_(job) {}
  void Prepared() override { job_.Meet(true); }
  int StopRequested() override { return job_.StopRequested(RandomObserver::StopRequested()); }

 private:
  RankJob& job_;
};

int RandomCommands::Options::RunOne(RankJob* rank) {
  auto fail = [&](const Ending& e) {
    if (rank) {
      rank->MeetUntil(2, false);
      return rank->Finish("random", file, e, Header("random", file), json, AggregateRandom,
                          [](const nlohmann::json&) {});
    }
    if (json) {
      nlohmann::json out = Header("random", file);
      AddEnding(out, e);
      std::cout << Dump(out) << "\n";
    }
    Report(e);
    return e.status;
  };
  if (!read && !write && !mix)
    return fail({false, kUsageError, "one of --read, --write or --mix PCT is needed", ""});
  if (rank && histogram)
    return fail({false, kUsageError, "--histogram",
                 "runs alone; a job's JSON has the percentiles of all its ranks' transfers"});
  RandomDescription d;
  d.file = rank ? RankJob::RankFile(file, rank->Rank()) : file;
  if (job.stonewall) d.stopAfterSeconds = *job.stonewall;
  d.size = size.empty() ? 0 : *ParseSize(size, units::kFileSize);
  d.blockSize = *ParseSize(blockSize, kTransferSize);
  d.readPercent = read ? 100 : write ? 0 : *mix;
  d.depth = depth;
  d.threads = threads;
  d.seconds = count ? 0 : seconds.value_or(5);
  d.count = count.value_or(0);
  d.seed = seed;
  d.fileFlags = static_cast<std::int32_t>((direct ? os::FILE_FLAG_NO_BUFFERING : 0) |
                                          (writeThrough ? os::FILE_FLAG_WRITE_THROUGH : 0));
  // An output that cannot take the histogram ends the command before the run.
  os::runtime::output::Writer csv;
  if (histogram) {
    if (!csv.Open(*histogram, file))
      return fail({false, kCannotInspect, "--histogram", csv.Error()});
    if (json && csv.IsStream())
      return fail({false, kUsageError, "--histogram",
                   *histogram + ": is standard output, where --json prints its object"});
  }
  CliObserver observer(!json && !rank && os::runtime::StderrIsTerminal());
  std::optional<RankObserver> asRank;
  if (rank) asRank.emplace(*rank);
  const RandomRecord r = RunRandom(d, asRank ? static_cast<RandomObserver&>(*asRank) : observer);
  observer.End();
  Ending ending = EndingOfRun(r);
  if (rank && r.stoppedBy == RankJob::kOtherRankFailed)
    ending = rank->EndingOf(r.message, r.detail, r.stoppedBy);
  // Rows that did not reach their file fail the command; on standard output
  // they come after the lines, as the timeline's do.
  auto writeHistogram = [&] {
    if (csv.IsOpen() && r.transfers > 0 && ending.status != kUsageError &&
        !(csv.Write(r.latency.Csv()) && csv.Commit()) && ending.ok)
      ending = {false, kCannotInspect, "--histogram", csv.Error()};
  };
  if (json) writeHistogram();
  const std::string mode = d.readPercent == 100 ? "read"
                           : d.readPercent == 0 ? "write"
                                                : "mix " + std::to_string(d.readPercent) + "% read";
  if (json || rank) {
    nlohmann::json out = Header("random", rank ? d.file : file);
    out.update(nlohmann::json{
        {"engine", r.engine},
        {"mode", mode},
        {"block_size", d.blockSize},
        {"depth", d.depth},
        {"threads", d.threads},
        {"seed", d.seed},
        {"flags", FlagsHex(d.fileFlags)},
        {"flag_names", FlagNames(d.fileFlags)},
        {"blocks", r.blocks},
        {"prepared_bytes", r.preparedBytes},
        {"transfers", r.transfers},
        {"reads", r.reads},
        {"writes", r.writes},
        {"bytes", r.bytes},
        {"elapsed_ns", r.elapsedNs},
        {"iops", r.iops},
        {"mb_per_s", r.mbPerSec},
        {"max_in_flight", r.maxInFlight},
        {"latency_ns", LatencyJson(r.latency)},
        {"iops_per_second", r.iopsPerSecond},
    });
    if (rank) {
      rank->MeetUntil(2, ending.ok);
      out["histogram"] = r.latency.Serialized();
      out["start_ns"] = rank->Common(r.startNs);
      out["end_ns"] = rank->Common(r.startNs ? r.startNs + r.elapsedNs : 0);
      return rank->Finish("random", file, ending, std::move(out), json, AggregateRandom,
                          [](const nlohmann::json& total) { PrintRandomLines(total); });
    }
    AddEnding(out, ending);
    std::cout << Dump(out) << "\n";
  } else if (r.transfers > 0 && (ending.ok || r.stoppedBy == 0)) {
    std::printf("%s, %s, Q%dT%d, %s: %.0f IOPS, %.1f MB/s\n", mode.c_str(), blockSize.c_str(),
                d.depth, d.threads, r.engine.c_str(), r.iops, r.mbPerSec);
    const Histogram& h = r.latency;
    std::printf("latency p50 %s, p99 %s, p99.9 %s, max %s\n",
                Duration(static_cast<double>(h.Percentile(50))).c_str(),
                Duration(static_cast<double>(h.Percentile(99))).c_str(),
                Duration(static_cast<double>(h.Percentile(99.9))).c_str(),
                Duration(static_cast<double>(h.Max())).c_str());
  }
  if (!json) {
    std::fflush(stdout);
    writeHistogram();
  }
  Report(ending);
  return ending.status;
}

int RandomCommands::Options::RunProfile() {
  const bool show = !profileJson && os::runtime::StderrIsTerminal();
  nlohmann::json tests = nlohmann::json::array();
  Ending ending;
  if (!profileJson)
    std::printf("%-12s %5s %10s %10s %10s %10s %10s\n", "test", "", "MB/s", "IOPS", "p50", "p99",
                "max");
  for (int job = 0; job < kProfileJobs; ++job) {
    const ProfileRow& row = kProfileRows[job / 2];
    const bool reading = job % 2 == 0;
    const RandomDescription d =
        ProfileJob(job, profileFile, *ParseSize(profileSize, units::kFileSize), profileSeconds);
    const char* direction = reading ? "read" : "write";
    CliObserver observer(show, std::string(row.name) + " " + direction + " ");
    const RandomRecord r = RunRandom(d, observer);
    observer.End();
    ending = EndingOfRun(r);
    if (!ending.ok) break;
    tests.push_back({{"name", row.name},
                     {"direction", direction},
                     {"engine", r.engine},
                     {"mb_per_s", r.mbPerSec},
                     {"iops", r.iops},
                     {"max_in_flight", r.maxInFlight},
                     {"latency_ns", LatencyJson(r.latency)}});
    if (!profileJson) {
      const Histogram& h = r.latency;
      std::printf("%-12s %5s %10.1f %10.0f %10s %10s %10s\n", row.name, direction, r.mbPerSec,
                  r.iops, Duration(static_cast<double>(h.Percentile(50))).c_str(),
                  Duration(static_cast<double>(h.Percentile(99))).c_str(),
                  Duration(static_cast<double>(h.Max())).c_str());
      std::fflush(stdout);
    }
  }
  if (profileJson) {
    nlohmann::json out = Header("profile", profileFile);
    out["seconds"] = profileSeconds;
    out["tests"] = tests;
    AddEnding(out, ending);
    std::cout << Dump(out) << "\n";
  }
  Report(ending);
  return ending.status;
}
