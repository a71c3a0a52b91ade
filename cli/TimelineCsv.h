// A run's timeline for scripts: CSV rows (--timeline FILE) and the JSON
// arrays of --json.
#pragma once

#include <fstream>
#include <nlohmann/json.hpp>
#include <ostream>
#include <string>

#include "form/Timeline.h"

inline constexpr const char* kTimelineCsvHeader = "offset_bytes,t_ns,mb_per_s,dirty_kib,writeback_kib";

// One row per slice: the offset and time at its end, its own MB/s, the latest
// sample of both cache figures (empty where the system has none).
void WriteTimelineCsv(const Timeline& timeline, std::ostream& out);

// The same rows as objects, figures null where the system has none.
nlohmann::json TimelineJson(const Timeline& timeline);
// The flushes at finish: kind, start_ns, end_ns.
nlohmann::json FlushesJson(const Timeline& timeline);

// The file --timeline names, opened before the run so that a path that
// cannot be written ends nothing but the command.
class TimelineCsvFile {
 public:
  explicit TimelineCsvFile(std::string path);
  bool IsOpen() const { return out_.is_open(); }
  // Why it cannot be written.
  const std::string& Error() const { return error_; }
  // False, with Error() set, when the rows did not reach the file. A run
  // that recorded nothing leaves no file it made.
  bool Write(const Timeline& timeline);

 private:
  std::string path_;
  bool existed_ = false;
  std::ofstream out_;
  std::string error_;
};
