// One rank of an MPI job (mpirun, srun): what the commands need of MPI and
// no more. A build without MPI joins no job.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace os::cluster {

// The launcher's environment names this process a rank of a job.
bool LaunchedAsRank();
// The rank the launcher gave this process; -1 when none did.
int LauncherRank();
// This build can join a job.
bool Available();

class Job {
 public:
  // Joins the job; nullptr, with the reason, when it cannot.
  static std::unique_ptr<Job> Join(std::string& error);
  ~Job();
  Job(const Job&) = delete;
  Job& operator=(const Job&) = delete;

  int Rank() const { return rank_; }
  int Size() const { return size_; }
  const std::string& Host() const { return host_; }
  // This rank's steady clock minus rank 0's, in ns, measured when it joined.
  std::int64_t OffsetNs() const { return offsetNs_; }

  // Every rank says whether it may go on, and waits for the others: true
  // when all may.
  bool AllOk(bool ok);
  // Whether every rank gave the same value.
  bool AllSame(std::uint64_t value);
  // Each rank's text, at rank 0 in rank order; empty on the others.
  std::vector<std::string> Gather(const std::string& mine);

 private:
  Job() = default;
  int rank_ = 0, size_ = 1;
  std::string host_;
  std::int64_t offsetNs_ = 0;
};

}  // namespace os::cluster
