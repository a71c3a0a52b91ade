// Creates many empty files beside the test file and deletes them again,
// timing both phases and the volume flush after each. A description in, a
// record out; a face takes part only through the observer.
#pragma once

#include <cstdint>
#include <string>

#include "platform/os.h"

struct CreateDeleteDescription {
  std::string file;  // the test file: the files are PATH.0000 upwards beside it
  std::int32_t files = 160;
  std::int32_t fileFlags = 0;  // the FILE_FLAG_* bits each file is created with
};

struct CreateDeleteRecord {
  std::int32_t files = 0;                   // N
  std::int32_t created = 0;                 // C
  bool createdAll = false;                  // the creations were timed, all C of them
  bool deletedAll = false;                  // the deletions were timed
  std::int32_t createMs = 0, deleteMs = 0;  // totals over C files
  std::int32_t flushAfterCreateMs = -1, flushAfterDeleteMs = -1;  // -1: not made
  std::int64_t createNs = 0, deleteNs = 0;
  std::int64_t createStartNs = 0, deleteStartNs = 0;  // on os::runtime::ClockNs
  std::int64_t flushAfterCreateNs = -1, flushAfterDeleteNs = -1;
  bool volumeOpened = false;
  bool flushAfterCreateFailed = false, flushAfterDeleteFailed = false;
  std::string flushAfterCreateReason, flushAfterDeleteReason;  // the system's, when failed
  std::string message;  // the message the test ended with, if any
  std::string detail;
  int stoppedBy = 0;            // the stop request that ended it
  std::int32_t notDeleted = 0;  // files it created and could not delete
  bool finished = false;        // both phases ran, every file went, both flushes succeeded
};

// Every hook has a default that does nothing.
class CreateDeleteObserver {
 public:
  virtual ~CreateDeleteObserver() = default;
  // phase 0: the creations, 1: the deletions start next, on the clock.
  virtual void PhaseStarting(int /*phase*/) {}
  virtual void Created(std::int32_t /*i*/) {}
  // A creation failed: the message names the cause and the file. The test
  // goes on with the files it made.
  virtual void CreationFailed(const std::string& /*message*/) {}
  // phase 0: after the creations, 1: after the deletions; rec holds the
  // phase's figures when it is called.
  virtual void PhaseTimed(const CreateDeleteRecord& /*rec*/, int /*phase*/) {}
  virtual void FlushStarting(int /*phase*/) {}
  virtual void FlushEnded(const CreateDeleteRecord& /*rec*/, int /*phase*/) {}
  virtual void Deleted(std::int32_t /*j*/) {}
  // The signal number of a stop request, 0 while there is none.
  virtual int StopRequested() { return os::runtime::StopRequested(); }
};

CreateDeleteRecord RunCreateDelete(const CreateDeleteDescription& test,
                                   CreateDeleteObserver& observer);

// The name of file i beside path: "PATH.0007".
std::string NumberedName(const std::string& path, std::int32_t i);
