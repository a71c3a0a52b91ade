#include "form/RandomPanelModel.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <limits>

#include "engine/FileRules.h"
#include "fileio/NumberText.h"
#include "fileio/basFiles.h"
#include "form/FormView.h"
#include "form/basBase.h"
#include "platform/os.h"

namespace {

constexpr std::int64_t kMB = 1048576;
// A stop from the panel's button reads as an interrupt.
constexpr int kStopCode = 2;

std::string Format(const char* format, double v) {
  char text[64];
  std::snprintf(text, sizeof text, format, v);
  return text;
}

}  // namespace

// What the run's thread hands over; Poll takes it under the lock.
struct RandomPanelModel::Shared {
  std::mutex mutex;
  std::atomic<bool> stop{false};
  std::vector<std::optional<Job>> done = std::vector<std::optional<Job>>(kProfileJobs);
  int job = 0;
  bool preparing = false;
  double jobFraction = 0;
  bool changed = false, ended = false;
  State end = State::Finished;
  std::string why;
};

RandomPanelModel::RandomPanelModel() : jobs_(kProfileJobs) {}

RandomPanelModel::~RandomPanelModel() {
  Stop();
  if (thread_.joinable()) thread_.join();
  if (Running()) gTestRunning = false;
}

bool RandomPanelModel::NeedsConsent(const std::string& file) {
  return FileExists(file, "") && GetFileSize64(file) > 0 && !IsDefaultTestFile(file) &&
         !os::runtime::WrittenByProgram(file);
}

std::optional<std::int64_t> RandomPanelModel::SizeOf(const FormView& form, std::string* why) {
  const char sep = form.DecimalSeparator();
  const std::string text = form.Text(Ctl::txtSize);
  const auto mb = numtext::ToFixed4(text, sep);  // ten-thousandths of a MB
  auto refuse = [&](const char* reason) -> std::optional<std::int64_t> {
    if (why) *why = reason;
    return std::nullopt;
  };
  if (!mb || *mb < 0) return refuse("The file size must be a number of MB.");
  if (*mb > std::numeric_limits<std::int64_t>::max() / kMB)
    return refuse("The file size is too large.");
  if (*mb * kMB / 10000 < kMB) return refuse("The profile needs a file size of at least 1 MB.");
  return *mb * kMB / 10000;
}

bool RandomPanelModel::Start(const std::string& file, std::int64_t size, bool mayReplace,
                             double seconds) {
  if (Running() || gTestRunning) {
    progress_ = "Another test is running.";
    return false;
  }
  if (thread_.joinable()) thread_.join();
  gTestRunning = true;
  jobs_.assign(kProfileJobs, Job{});
  last_ = -1;
  state_ = State::Running;
  fraction_ = 0;
  progress_ = "Starting...";
  shared_ = std::make_shared<Shared>();
  try {
    thread_ = std::thread(
        [this, file, size, mayReplace, seconds] { Work(file, size, mayReplace, seconds); });
  } catch (const std::exception&) {
    gTestRunning = false;
    state_ = State::Failed;
    progress_ = "Cannot start a thread for the run.";
    return false;
  }
  return true;
}

bool RandomPanelModel::RunFor(FormView& form, double seconds) {
  if (Running()) return false;
  std::string why;
  const auto size = SizeOf(form, &why);
  const std::string file = form.Text(Ctl::txtTestFile);
  if (size && file.empty()) why = "No test file was given.";
  if (!why.empty()) {
    progress_ = why;
    return false;
  }
  if (NeedsConsent(file) &&
      form.MsgBox("This file was not written by this program. Replace its contents?",
                  vbYesNo | vbQuestion, file) != vbYes) {
    progress_ = "The file was not replaced.";
    return false;
  }
  return Start(file, *size, true, seconds);
}

void RandomPanelModel::Work(std::string file, std::int64_t size, bool mayReplace, double seconds) {
  Shared& s = *shared_;
  class Observer : public RandomObserver {
   public:
    Observer(Shared& s, int job, bool mayReplace) : s_(s), job_(job), mayReplace_(mayReplace) {}
    void Progress(const RandomProgress& p) override {
      std::lock_guard lock(s_.mutex);
      s_.job = job_;
      s_.preparing = p.preparing;
      s_.jobFraction = p.preparing ? 0 : std::min(p.fraction, 1.0);
      s_.changed = true;
    }
    int StopRequested() override { return s_.stop ? kStopCode : os::runtime::StopRequested(); }
    bool MayReplace(const std::string&) override { return mayReplace_; }

   private:
    Shared& s_;
    int job_;
    bool mayReplace_;
  };
  for (int job = 0; job < kProfileJobs; ++job) {
    Observer observer(s, job, mayReplace);
    {
      std::lock_guard lock(s.mutex);
      s.job = job;
      s.preparing = false;
      s.jobFraction = 0;
      s.changed = true;
    }
    const RandomRecord r = RunRandom(ProfileJob(job, file, size, seconds), observer);
    std::lock_guard lock(s.mutex);
    if (r.finished) {
      Job j;
      j.done = true;
      j.mbPerSec = r.mbPerSec;
      j.iops = r.iops;
      j.engine = r.engine;
      j.latency = r.latency;
      s.done[static_cast<std::size_t>(job)] = std::move(j);
      s.changed = true;
      continue;
    }
    if (r.stoppedBy != 0) {
      s.end = State::Stopped;
    } else {
      s.end = State::Failed;
      s.why = r.message.empty() ? "The file was not replaced." : r.message;
      if (!r.detail.empty()) s.why += ": " + r.detail;
    }
    break;
  }
  std::lock_guard lock(s.mutex);
  s.ended = true;
  s.changed = true;
}

void RandomPanelModel::Stop() {
  if (!Running() || !shared_) return;
  shared_->stop = true;
  if (state_ == State::Running) {
    state_ = State::Stopping;
    progress_ = "Stopping...";
  }
}

bool RandomPanelModel::Poll() {
  if (!Running() || !shared_) return false;
  Shared& s = *shared_;
  bool ended = false;
  {
    std::lock_guard lock(s.mutex);
    if (!s.changed) return false;
    s.changed = false;
    for (int job = 0; job < kProfileJobs; ++job) {
      auto& d = s.done[static_cast<std::size_t>(job)];
      if (!d) continue;
      jobs_[static_cast<std::size_t>(job)] = std::move(*d);
      d.reset();
      last_ = job;
    }
    fraction_ = (s.job + s.jobFraction) / kProfileJobs;
    const std::string name = JobName(s.job);
    if (s.ended) {
      ended = true;
      state_ = s.end;
      if (s.end == State::Finished) {
        fraction_ = 1;
        progress_ = "Done: " + std::to_string(kProfileJobs) + " tests.";
      } else if (s.end == State::Stopped) {
        progress_ = "Stopped during " + name + ".";
      } else {
        progress_ = s.why;
      }
    } else if (state_ == State::Running) {
      const std::string which =
          name + " (" + std::to_string(s.job + 1) + " of " + std::to_string(kProfileJobs) + ")";
      progress_ = s.preparing ? "Writing the test file for " + which + "..."
                              : which + ": " + Format("%.0f", s.jobFraction * 100) + " %";
    }
  }
  if (ended) {
    thread_.join();
    gTestRunning = false;
  }
  return true;
}

void RandomPanelModel::Wait() {
  while (Running()) {
    if (!Poll()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

std::string RandomPanelModel::RowName(int row) { return kProfileRows[row].name; }

std::string RandomPanelModel::ColumnName(int column) {
  static const char* const kNames[] = {"Read MB/s", "Read IOPS", "Write MB/s", "Write IOPS"};
  return kNames[column];
}

std::string RandomPanelModel::JobName(int job) {
  return RowName(job / 2) + (job % 2 == 0 ? " read" : " write");
}

std::string RandomPanelModel::Cell(int row, int column) const {
  const Job& j = JobAt(JobOfCell(row, column));
  if (!j.done) return "";
  return column % 2 == 0 ? Format("%.1f", j.mbPerSec) : Format("%.0f", j.iops);
}

int RandomPanelModel::Shown() const {
  if (selected_ >= 0 && selected_ < kProfileJobs && JobAt(selected_).done) return selected_;
  return last_;
}

std::string RandomPanelModel::ShownTitle() const {
  const int job = Shown();
  if (job < 0) return "";
  return JobName(job) + ": latency of " + std::to_string(JobAt(job).latency.Count()) + " transfers";
}
