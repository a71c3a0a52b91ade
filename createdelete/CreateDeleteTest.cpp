#include "createdelete/CreateDeleteTest.h"

#include <cmath>
#include <memory>
#include <vector>

#include "createdelete/basCreateDelete.h"
#include "engine/Timing.h"
#include "fileio/NumberText.h"
#include "fileio/basFiles.h"
#include "fileio/clsFile64.h"

bool KillFiles(const std::string& sPattern) { return os::DeleteFileA(sPattern) != os::FALSE; }

std::int32_t NumberOfFiles(const std::string& text) {
  const double n = std::nearbyint(numtext::LeadingNumber(text));
  if (!(n >= 10)) return 10;  // NaN too
  if (n > 10000) return 10000;
  return static_cast<std::int32_t>(n);
}

std::string NumberedName(const std::string& path, std::int32_t i) {
  return path + "." + numtext::Format(i, "0000", '.');
}

namespace {

// One test from its description to its record. The folder is opened once;
// every file is made and deleted in it, so a folder renamed or replaced
// meanwhile never sends a deletion elsewhere.
class Test {
 public:
  Test(const CreateDeleteDescription& d, CreateDeleteObserver& observer)
      : d_(d), observer_(observer), parts_(SplitPath(d.file)) {
    rec_.files = d.files;
    folder_ = os::OpenFolder(parts_.folder);
    folderError_ = os::GetLastError();
    bool found = false;
    volume_ = OpenVolumeOf(folder_, found);
    rec_.volumeOpened = found;
  }
  ~Test() {
    // Exactly the files this test created are deleted again, whatever ends it.
    DeleteCreated();
    if (volume_ != os::INVALID_HANDLE_VALUE) os::CloseHandle(volume_);
    if (folder_ != os::INVALID_HANDLE_VALUE) os::CloseHandle(folder_);
  }
  Test(const Test&) = delete;
  Test& operator=(const Test&) = delete;

  CreateDeleteRecord Execute() {
    try {
      FlushVolume(volume_);
      if (Create() && Flush(0) && Delete() && Flush(1)) Conclude();
    } catch (const std::exception& e) {
      rec_.message = "Error";
      rec_.detail = d_.file + ": " + e.what();
    }
    DeleteCreated();
    if (rec_.notDeleted > 0 && rec_.detail.empty()) rec_.detail = LeftBehind();
    return std::move(rec_);
  }

 private:
  std::string FileName(std::int32_t i) const { return NumberedName(parts_.name, i); }

  // A deletion that fails leaves a file behind: counted and named, never
  // passed over.
  void Kill(std::int32_t j) {
    if (os::DeleteFileInFolder(folder_, FileName(j))) return;
    if (rec_.notDeleted++ == 0)
      firstLeft_ = NumberedName(d_.file, j) + ": " + SystemReason(os::GetLastError());
  }
  void DeleteCreated() {
    if (deleted_) return;
    deleted_ = true;
    for (std::int32_t j = 0; j < rec_.created; ++j) Kill(j);
  }
  std::string LeftBehind() const {
    return std::to_string(rec_.notDeleted) + " of " + std::to_string(rec_.created) +
           " files could not be deleted and are still there; the first: " + firstLeft_;
  }

  // A stop request deletes what was made and ends the test.
  bool Stopped() {
    rec_.stoppedBy = observer_.StopRequested();
    if (rec_.stoppedBy == 0) return false;
    DeleteCreated();
    return true;
  }

  // Creates file i; false, with the system's error set, when it was not.
  bool CreateOne(std::int32_t i) {
    if (folder_ == os::INVALID_HANDLE_VALUE) {
      os::SetLastError(folderError_);
      return false;
    }
    clsFile64 file;
    if (!file.OpenFileIn(folder_, FileName(i), d_.fileFlags)) return false;
    // A name someone else owns is never counted as ours, so never deleted.
    const bool existed = os::GetLastError() == os::ERROR_ALREADY_EXISTS;
    file.CloseFile();
    if (existed) os::SetLastError(os::ERROR_FILE_EXISTS);
    return !existed;
  }

  bool Create() {
    os::Sleep(100);
    observer_.PhaseStarting(0);
    const Stopwatch clock = Stopwatch::Start();
    rec_.createStartNs = clock.startNs;
    Stopwatch::Reading took;
    bool failed = false;
    for (std::int32_t i = 0; i < d_.files; ++i) {
      if (Stopped()) return false;
      if (!CreateOne(i)) {
        // The clock stops before the message: a box left open is not a
        // creation's time.
        took = clock.Read();
        failed = true;
        // The name goes on the line below the reason, as a system message
        // ends with a line break.
        const std::string reason = SystemReason(os::GetLastError());
        rec_.message = "Error: " + reason + "\r\n" + NumberedName(d_.file, i);
        observer_.CreationFailed(rec_.message);
        break;
      }
      ++rec_.created;
      observer_.Created(i);
    }
    if (rec_.created == 0 || Stopped()) return false;
    if (!failed) took = clock.Read();
    creationFailed_ = failed;
    rec_.createMs = took.ms;
    rec_.createNs = took.ns;
    rec_.createdAll = true;
    observer_.PhaseTimed(rec_, 0);
    return true;
  }

  bool Flush(int phase) {
    observer_.FlushStarting(phase);
    os::Sleep(0);
    const FlushTiming t = TimedFlush([this] { return FlushVolume(volume_); });
    auto& ms = phase == 0 ? rec_.flushAfterCreateMs : rec_.flushAfterDeleteMs;
    auto& ns = phase == 0 ? rec_.flushAfterCreateNs : rec_.flushAfterDeleteNs;
    ms = t.took.ms;
    ns = t.took.ns;
    if (t.error != 0) {
      (phase == 0 ? rec_.flushAfterCreateFailed : rec_.flushAfterDeleteFailed) = true;
      (phase == 0 ? rec_.flushAfterCreateReason : rec_.flushAfterDeleteReason) =
          SystemReason(t.error);
      if (flushFailure_.empty())
        flushFailure_ = "flushing the volume of " + d_.file + ": " + SystemReason(t.error);
    }
    observer_.FlushEnded(rec_, phase);
    return !Stopped();
  }

  // Once begun, the deletions run to the end even when a stop is asked.
  bool Delete() {
    os::Sleep(100);
    observer_.PhaseStarting(1);
    const Stopwatch clock = Stopwatch::Start();
    rec_.deleteStartNs = clock.startNs;
    for (std::int32_t j = 0; j < rec_.created; ++j) {
      Kill(j);
      observer_.Deleted(j);
    }
    deleted_ = true;
    const Stopwatch::Reading took = clock.Read();
    rec_.deleteMs = took.ms;
    rec_.deleteNs = took.ns;
    rec_.deletedAll = true;
    observer_.PhaseTimed(rec_, 1);
    return true;
  }

  void Conclude() {
    const std::string failure = rec_.notDeleted > 0 ? LeftBehind() : flushFailure_;
    if (!failure.empty() && rec_.message.empty()) {
      rec_.message = "Error";
      rec_.detail = failure;
      return;
    }
    rec_.finished = !creationFailed_ && rec_.notDeleted == 0;
  }

  const CreateDeleteDescription& d_;
  CreateDeleteObserver& observer_;
  const PathParts parts_;
  CreateDeleteRecord rec_;
  os::HANDLE folder_ = os::INVALID_HANDLE_VALUE;
  os::DWORD folderError_ = 0;
  os::HANDLE volume_ = os::INVALID_HANDLE_VALUE;
  std::string firstLeft_, flushFailure_;
  bool deleted_ = false;
  bool creationFailed_ = false;
};

}  // namespace

CreateDeleteRecord RunCreateDelete(const CreateDeleteDescription& test,
                                   CreateDeleteObserver& observer) {
  return Test(test, observer).Execute();
}
