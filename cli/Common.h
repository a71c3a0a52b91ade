// What every command of orvandel-cli shares: the JSON header, the ending of
// a command (exit status, message, reason) and how it is printed.
#pragma once

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>

#include "random/Histogram.h"

inline constexpr int kCannotInspect = 1;
inline constexpr int kUsageError = 2;

// What every JSON object begins with: command, file, version, started_at,
// and the system the file lies on.
nlohmann::json Header(const std::string& command, const std::string& path);

// Names are bytes: text that is not UTF-8 is carried with its bad bytes
// replaced, so that printing never fails.
std::string Dump(const nlohmann::json& j);

// The open flags as the window's boxes name them, and as 0x%08X.
nlohmann::json FlagNames(std::int32_t flags);
std::string FlagsHex(std::int32_t flags);

// How a run or test ended, for the exit status and the JSON.
struct Ending {
  bool ok = true;
  int status = 0;
  std::string message;  // what the window's message box said
  std::string reason;   // the path and the system's reason
};

// From a record's message, detail and stop request.
Ending EndingOf(const std::string& message, const std::string& detail, int stoppedBy);
// The message on stderr, with its cause, as the window shows both; who
// names the rank of a job that says it.
void Report(const Ending& e, const std::string& who = "");
// "ok", and "message" and "reason" when it is not.
void AddEnding(nlohmann::json& out, const Ending& e);

// A path option's check: a value that starts with "--" is an option typed
// where the path was left out ("--file --json"), not a name.
CLI::Validator NotAnOption();

// A whole number from low to high; the window takes the leading number of
// whatever is typed, a script gets its typing error named instead.
CLI::Validator WholeNumber(long long low, long long high);

// A duration: a number of seconds from a millisecond to a day; NaN and
// infinities are no durations.
CLI::Validator Seconds();

// min, mean, stddev, max and the percentiles a latency report shows.
nlohmann::json LatencyJson(const Histogram& h);
