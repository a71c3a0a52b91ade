// The random-order panel without pixels: the standard table's jobs, run one
// after the other on a thread of their own while the window stays live, the
// figures of those done, the progress line, and which job's latency shows.
// The window asks Poll ten times a second; everything else it calls on its
// own thread too.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "random/Histogram.h"
#include "random/Profile.h"

class FormView;

class RandomPanelModel {
 public:
  enum class State { Idle, Running, Stopping, Finished, Stopped, Failed };
  struct Job {
    bool done = false;
    double mbPerSec = 0, iops = 0;
    std::string engine;
    Histogram latency;
  };

  RandomPanelModel();
  // Stops a run and waits for it: no thread outlives the panel.
  ~RandomPanelModel();
  RandomPanelModel(const RandomPanelModel&) = delete;
  RandomPanelModel& operator=(const RandomPanelModel&) = delete;

  // Whether a run would write over contents this program did not write,
  // which the user must agree to first.
  static bool NeedsConsent(const std::string& file);
  // The size of the profile's file: the Write run's size field, in MB; the
  // reason when it is no size.
  static std::optional<std::int64_t> SizeOf(const FormView& form, std::string* why);

  // Starts the table; false, with the reason in the progress line, when
  // another test runs. mayReplace: the user's answer to NeedsConsent.
  bool Start(const std::string& file, std::int64_t size, bool mayReplace,
             double seconds = kProfileSeconds);
  // The Run button: the window's test file at the size of its size field,
  // with the user's consent where it is needed; false, with the reason in
  // the progress line, when it does not start.
  bool RunFor(FormView& form, double seconds = kProfileSeconds);
  // Ends the run at the engine's next stop poll; Poll sees it end.
  void Stop();
  // Takes over what the run did since; true when anything shown changed.
  bool Poll();
  // Polls until the run has ended (for closing, and tests).
  void Wait();

  State GetState() const { return state_; }
  bool Running() const { return state_ == State::Running || state_ == State::Stopping; }
  const Job& JobAt(int job) const { return jobs_[static_cast<std::size_t>(job)]; }
  // The line under the table: which job, how far; how the run ended.
  const std::string& ProgressText() const { return progress_; }
  // Of the whole table, 0 to 1.
  double Fraction() const { return fraction_; }

  // The table: rows are the profile's rows, columns read MB/s, read IOPS,
  // write MB/s, write IOPS; empty cells for jobs not done.
  static constexpr int kColumns = 4;
  static std::string RowName(int row);
  static std::string ColumnName(int column);
  static int JobOfCell(int row, int column) { return 2 * row + column / 2; }
  std::string Cell(int row, int column) const;
  static std::string JobName(int job);

  // The job whose latency the chart shows: the one chosen if it is done,
  // else the latest done; -1 when none is.
  void Select(int job) { selected_ = job; }
  int Shown() const;
  // "RND4K Q32T1 read: latency of 123456 transfers"; "" when none shows.
  std::string ShownTitle() const;

 private:
  struct Shared;
  void Work(std::string file, std::int64_t size, bool mayReplace, double seconds);

  std::vector<Job> jobs_;
  State state_ = State::Idle;
  std::string progress_;
  double fraction_ = 0;
  int selected_ = -1, last_ = -1;
  std::shared_ptr<Shared> shared_;
  std::thread thread_;
};
