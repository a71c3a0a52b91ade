#include "cli/Job.h"

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <limits>
#include <set>

#include "engine/Median.h"
#include "platform/cluster.h"

RankJob::RankJob(std::unique_ptr<os::cluster::Job> job) : job_(std::move(job)) {}
RankJob::~RankJob() = default;

std::unique_ptr<RankJob> RankJob::Join(std::string& error) {
  auto job = os::cluster::Job::Join(error);
  if (!job) return nullptr;
  return std::unique_ptr<RankJob>(new RankJob(std::move(job)));
}

int RankJob::Rank() const { return job_->Rank(); }
int RankJob::Size() const { return job_->Size(); }
const std::string& RankJob::Host() const { return job_->Host(); }
std::string RankJob::Name() const { return "rank " + std::to_string(Rank()) + " on " + Host(); }

std::string RankJob::RankFile(const std::string& path, int rank) {
  char suffix[16];
  std::snprintf(suffix, sizeof suffix, ".r%04d", rank);
  return path + suffix;
}

nlohmann::json RankJob::Common(std::int64_t localNs) const {
  return localNs == 0 ? nlohmann::json(nullptr) : nlohmann::json(localNs - job_->OffsetNs());
}

Ending RankJob::EndingOf(const std::string& message, const std::string& detail,
                         int stoppedBy) const {
  if (stoppedBy == kOtherRankFailed) return {false, kCannotInspect, kEndedByOthers, ""};
  return ::EndingOf(message, detail, stoppedBy);
}

bool RankJob::SameCommand(const std::string& command) {
  // FNV-1a: the same text gives the same number on every host.
  std::uint64_t hash = 14695981039346656037ull;
  for (const unsigned char c : command) hash = (hash ^ c) * 1099511628211ull;
  return job_->AllSame(hash);
}

bool RankJob::Meet(bool ok) {
  ++met_;
  if (!job_->AllOk(ok && !othersFailed_)) othersFailed_ = true;
  return !othersFailed_;
}

void RankJob::MeetUntil(int count, bool ok) {
  while (met_ < count) Meet(ok);
}

std::vector<nlohmann::json> RankJob::Gather(const nlohmann::json& mine) {
  std::vector<nlohmann::json> out;
  for (const std::string& text : job_->Gather(Dump(mine)))
    out.push_back(nlohmann::json::parse(text, nullptr, false));
  return out;
}

int RankJob::Finish(const std::string& command, const std::string& file, const Ending& mine,
                    nlohmann::json rankObject, bool json,
                    const std::function<nlohmann::json(std::vector<nlohmann::json>&)>& aggregate,
                    const std::function<void(const nlohmann::json&)>& printLines) {
  rankObject["rank"] = Rank();
  rankObject["host"] = Host();
  rankObject["clock_offset_ns"] = job_->OffsetNs();
  AddEnding(rankObject, mine);
  Report(mine, Name());
  std::vector<nlohmann::json> ranks = Gather(rankObject);
  // Every rank ends with the job: a rank that did its part still fails when
  // another did not.
  const int status = !mine.ok ? mine.status : othersFailed_ ? kCannotInspect : 0;
  if (Rank() != 0) return status;

  // The job failed as its first rank that failed on its own did.
  Ending job;
  int firstFailed = -1;
  for (int pass = 0; pass < 2 && job.ok; ++pass)
    for (const nlohmann::json& r : ranks) {
      if (r.is_object() && r.value("ok", false)) continue;
      if (!r.is_object()) {
        job = {false, kCannotInspect, "The job failed", "a rank sent no record"};
        break;
      }
      const std::string message = r.value("message", "");
      if (pass == 0 && message == kEndedByOthers) continue;
      firstFailed = r.value("rank", -1);
      const std::string reason = r.value("reason", "");
      job = {false, kCannotInspect, "The job failed",
             "rank " + std::to_string(firstFailed) + " on " + r.value("host", "?") + ": " +
                 message + (reason.empty() ? "" : ": " + reason)};
      break;
    }
  FromEarliestStart(ranks, {"start_ns", "create_start_ns"},
                    {"start_ns", "end_ns", "end_with_flush_ns", "create_start_ns", "create_end_ns",
                     "delete_start_ns", "delete_end_ns"});
  nlohmann::json out = Header(command, file);
  std::set<std::string> hosts;
  for (const nlohmann::json& r : ranks)
    if (r.is_object()) hosts.insert(r.value("host", ""));
  out["rank_count"] = ranks.size();
  out["host_count"] = hosts.size();
  if (job.ok) {
    nlohmann::json total = aggregate(ranks);
    total["rank_count"] = ranks.size();
    total["host_count"] = hosts.size();
    out["aggregate"] = std::move(total);
  }
  out["ranks"] = ranks;
  AddEnding(out, job);
  if (json) {
    std::cout << Dump(out) << "\n";
  } else if (job.ok) {
    std::printf(
        "%zu ranks on %zu host%s; the figures are the job's: all of it over the time "
        "from the earliest start to the latest end\n",
        ranks.size(), hosts.size(), hosts.size() == 1 ? "" : "s");
    printLines(out["aggregate"]);
  }
  // The failing rank said why; rank 0 says that the job as a whole failed.
  if (!job.ok && firstFailed != 0) Report(job);
  return status;
}

nlohmann::json OverRanks(const std::vector<nlohmann::json>& ranks, const char* figure) {
  std::vector<double> values;
  for (const nlohmann::json& r : ranks)
    if (r.contains(figure) && r[figure].is_number()) values.push_back(r[figure].get<double>());
  if (values.empty()) return nullptr;
  return {{"min", *std::min_element(values.begin(), values.end())},
          {"median", Median(values)},
          {"max", *std::max_element(values.begin(), values.end())}};
}

void FromEarliestStart(std::vector<nlohmann::json>& ranks, const std::vector<std::string>& starts,
                       const std::vector<std::string>& times) {
  std::int64_t earliest = std::numeric_limits<std::int64_t>::max();
  for (const nlohmann::json& r : ranks)
    for (const std::string& s : starts)
      if (r.contains(s) && r[s].is_number_integer())
        earliest = std::min(earliest, r[s].get<std::int64_t>());
  if (earliest == std::numeric_limits<std::int64_t>::max()) return;
  for (nlohmann::json& r : ranks)
    for (const std::string& t : times)
      if (r.contains(t) && r[t].is_number_integer()) r[t] = r[t].get<std::int64_t>() - earliest;
}

void AddJobOptions(CLI::App* cmd, JobOptions& o, bool segments, bool stonewall) {
  cmd->add_flag("--mpi", o.mpi,
                "Run as one rank of an MPI job even where no launcher (mpirun, srun) says so");
  if (segments)
    cmd->add_flag("--shared-file", o.sharedFile,
                  "In a job, all ranks use the one file, rank r its r-th segment, instead of "
                  "PATH.r0000, PATH.r0001, ...");
  if (stonewall)
    cmd->add_option("--stonewall", o.stonewall,
                    "Stop the transfers after S seconds and count what was done (in a job: every "
                    "rank at the same time)")
        ->type_name("S")
        ->check(Seconds());
}

void PrintJobLines(const nlohmann::json& total) {
  for (const nlohmann::json& line : total.value("lines", nlohmann::json::array()))
    if (line.is_string() && !line.get<std::string>().empty())
      std::cout << line.get<std::string>() << "\n";
}

void PrintOverRanks(const nlohmann::json& total, const char* figure, const char* text) {
  const nlohmann::json over =
      total.value("over_ranks", nlohmann::json::object()).value(figure, nlohmann::json());
  if (!over.is_object()) return;
  std::printf("min / median / max over %d ranks: %.1f / %.1f / %.1f %s\n",
              total.value("rank_count", 0), over.value("min", 0.0), over.value("median", 0.0),
              over.value("max", 0.0), text);
}
