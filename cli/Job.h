// A command as one rank of a job under mpirun or srun: its own test file,
// the meeting points every rank passes, and rank 0's totals over all ranks.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli/Common.h"

namespace os::cluster {
class Job;
}

class RankJob {
 public:
  static constexpr int kOtherRankFailed = -1;
  static constexpr const char* kEndedByOthers = "Ended early: another rank failed";

  // Joins the job; nullptr, with the reason, when it cannot.
  static std::unique_ptr<RankJob> Join(std::string& error);
  ~RankJob();

  int Rank() const;
  int Size() const;
  const std::string& Host() const;
  // "rank 2 on host": how a rank names itself in its messages.
  std::string Name() const;
  // Rank r's own file: PATH.r0002.
  static std::string RankFile(const std::string& path, int rank);
  // A reading of os::runtime::ClockNs on rank 0's clock; null for 0, a
  // moment that never came.
  nlohmann::json Common(std::int64_t localNs) const;

  // Whether every rank runs this command (the ranks of one job started with
  // different commands would wait for each other at different points).
  bool SameCommand(const std::string& command);
  // A point every rank passes once, in order, a rank that failed too: false
  // when some rank failed, and from then on.
  bool Meet(bool ok);
  // Passes the points this rank has not met yet, up to count in all.
  void MeetUntil(int count, bool ok);
  bool OthersFailed() const { return othersFailed_; }
  // A rank's stop requests: its own, or the end of the job when another
  // rank failed.
  int StopRequested(int own) const { return own ? own : othersFailed_ ? kOtherRankFailed : 0; }
  // The ending of a rank's run, from its record's message, detail and stop.
  Ending EndingOf(const std::string& message, const std::string& detail, int stoppedBy) const;
  // Every rank's object, at rank 0 in rank order; empty on the others.
  std::vector<nlohmann::json> Gather(const nlohmann::json& mine);
  // Rank 0 prints what the job did: the totals, or which ranks failed;
  // every rank names its own failure on stderr. The job's exit status.
  int Finish(const std::string& command, const std::string& file, const Ending& mine,
             nlohmann::json rankObject, bool json,
             const std::function<nlohmann::json(std::vector<nlohmann::json>&)>& aggregate,
             const std::function<void(const nlohmann::json&)>& printLines);

 private:
  explicit RankJob(std::unique_ptr<os::cluster::Job> job);
  std::unique_ptr<os::cluster::Job> job_;
  int met_ = 0;
  bool othersFailed_ = false;
};

// The min, median and max of a figure over the ranks' objects; null where
// no rank has it.
nlohmann::json OverRanks(const std::vector<nlohmann::json>& ranks, const char* figure);
// Moves each rank's times from rank 0's clock to the job's: 0 is the
// earliest start. The names end in _ns.
void FromEarliestStart(std::vector<nlohmann::json>& ranks, const std::vector<std::string>& starts,
                       const std::vector<std::string>& times);

// Rank 0's totals over the ranks' objects (the times already on one
// clock), each one object with the fields of the single run's and its
// lines: bytes over the span from the earliest start to the latest end;
// creations and deletions per second over all ranks; IOPS summed and the
// latency histograms merged.
nlohmann::json AggregateThroughput(std::vector<nlohmann::json>& ranks);
nlohmann::json AggregateCreateDelete(std::vector<nlohmann::json>& ranks);
nlohmann::json AggregateRandom(std::vector<nlohmann::json>& ranks);

// The options a command has as a rank of a job.
struct JobOptions {
  bool mpi = false;                 // a rank even where no launcher says so
  bool sharedFile = false;          // all ranks in one file, each in a segment of its own
  std::optional<double> stonewall;  // seconds: every rank stops then
};
void AddJobOptions(CLI::App* cmd, JobOptions& o, bool segments, bool stonewall);

// The job's lines, and a figure's min / median / max over the ranks.
void PrintJobLines(const nlohmann::json& total);
void PrintOverRanks(const nlohmann::json& total, const char* figure, const char* text);
