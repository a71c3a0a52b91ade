// A run's timeline for scripts: CSV rows (--timeline FILE) and the JSON
// arrays of --json.
#pragma once

#include <nlohmann/json.hpp>
#include <ostream>
#include <string>

#include "platform/os.h"
#include "throughput/Timeline.h"

inline constexpr const char* kTimelineCsvHeader =
    "offset_bytes,t_ns,mb_per_s,dirty_kib,writeback_kib,file_cached_kib,file_dirty_kib,"
    "file_writeback_kib";

// One row per slice: the offset and time at its end, its own MB/s, the latest
// sample of the system's and the file's cache figures (empty where the system
// has none).
void WriteTimelineCsv(const Timeline& timeline, std::ostream& out);

// The same rows as objects, figures null where the system has none.
nlohmann::json TimelineJson(const Timeline& timeline);
// The flushes at finish: kind, start_ns, end_ns.
nlohmann::json FlushesJson(const Timeline& timeline);
// The system's writeback thresholds at the run's start, null where it has none.
nlohmann::json ThresholdsJson(const Timeline& timeline);

// The file --timeline names, checked and prepared before the run, so that a
// path that cannot be written ends nothing but the command; the rows reach it
// complete, or it stays as it was.
class TimelineCsvFile {
 public:
  // testFile: the run's own file, which the rows must never replace.
  TimelineCsvFile(const std::string& path, const std::string& testFile);
  bool IsOpen() const { return writer_.IsOpen(); }
  // The rows go to a standard stream as it is.
  bool IsStream() const { return writer_.IsStream(); }
  // Why it cannot be written: the path and the reason.
  const std::string& Error() const { return writer_.Error(); }
  // False, with Error() set, when the rows did not reach the file. A run that
  // recorded nothing leaves the file as it was.
  bool Write(const Timeline& timeline);

 private:
  os::runtime::output::Writer writer_;
};
