#include "cli/Common.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <iostream>
#include <utility>

#include "cli/JsonText.h"
#include "cli/SystemJson.h"
#include "fileio/basStrings.h"
#include "form/basBase.h"
#include "platform/os.h"

namespace {

// When the command started, ISO 8601 with the local offset.
std::string StartedAt() {
  static const std::string text = [] {
    const std::time_t now = std::time(nullptr);
    std::tm local = *std::localtime(&now);
    std::tm utc = *std::gmtime(&now);
    utc.tm_isdst = local.tm_isdst;
    const long offset = static_cast<long>(std::difftime(now, std::mktime(&utc)));
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &local);
    char zone[32];
    std::snprintf(zone, sizeof zone, "%c%02ld:%02ld", offset < 0 ? '-' : '+',
                  std::labs(offset) / 3600, std::labs(offset) % 3600 / 60);
    return std::string(stamp) + zone;
  }();
  return text;
}

// A message box's lines as one line: "Error: File exists.\r\nt.0003" as
// "Error: File exists: t.0003".
std::string OneLine(std::string text) {
  ReplaceString(text, ".\r\n", ": ");
  ReplaceString(text, "\r\n", ": ");
  return text;
}

}  // namespace

nlohmann::json Header(const std::string& command, const std::string& path) {
  const auto v = gTitle.find(" V");
  std::string version = v == std::string::npos ? gTitle : gTitle.substr(v + 2);
  if (const auto ide = version.find(' '); ide != std::string::npos) version.resize(ide);
  return {{"command", command},
          {"file", JsonText(path)},
          {"version", version},
          {"started_at", StartedAt()},
          {"system", SystemJson(os::runtime::DescribeSystem(path))}};
}

std::string Dump(const nlohmann::json& j) {
  return j.dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
}

nlohmann::json FlagNames(std::int32_t flags) {
  static constexpr std::pair<std::uint32_t, const char*> kNames[] = {
      {os::FILE_FLAG_RANDOM_ACCESS, "FILE_FLAG_RANDOM_ACCESS"},
      {os::FILE_FLAG_NO_BUFFERING, "FILE_FLAG_NO_BUFFERING"},
      {os::FILE_FLAG_WRITE_THROUGH, "FILE_FLAG_WRITE_THROUGH"},
      {os::FILE_FLAG_SEQUENTIAL_SCAN, "FILE_FLAG_SEQUENTIAL_SCAN"},
  };
  nlohmann::json names = nlohmann::json::array();
  for (const auto& [bit, name] : kNames)
    if (static_cast<std::uint32_t>(flags) & bit) names.push_back(name);
  return names;
}

std::string FlagsHex(std::int32_t flags) {
  char hex[16];
  std::snprintf(hex, sizeof hex, "0x%08X", static_cast<unsigned>(flags));
  return hex;
}

Ending EndingOf(const std::string& message, const std::string& detail, int stoppedBy) {
  Ending e;
  if (stoppedBy != 0) {
    const char* names[] = {"", "SIGHUP", "SIGINT", "SIGQUIT"};
    const std::string by = stoppedBy == 15 ? "SIGTERM"
                           : stoppedBy > 0 && stoppedBy <= 3
                               ? names[stoppedBy]
                               : "signal " + std::to_string(stoppedBy);
    e = {false, 128 + stoppedBy, "Stopped by " + by, detail};
  } else if (!message.empty()) {
    e = {false, kCannotInspect, message, detail};
  }
  return e;
}

void Report(const Ending& e, const std::string& who) {
  if (e.ok) return;
  std::string text = OneLine(e.message);
  // "Error: File exists." reads on into its cause without the full stop.
  if (!e.reason.empty() && !text.empty() && text.back() == '.') text.pop_back();
  std::cerr << "orvandel-cli: " << (who.empty() ? "" : who + ": ") << text;
  if (!e.reason.empty()) std::cerr << (text.empty() ? "" : ": ") << e.reason;
  std::cerr << "\n";
}

void AddEnding(nlohmann::json& out, const Ending& e) {
  out["ok"] = e.ok;
  if (e.status == kUsageError) out["usage"] = true;
  if (!e.ok) {
    out["message"] = OneLine(e.message);
    out["reason"] = e.reason;
  }
}

CLI::Validator NotAnOption() {
  return CLI::Validator(
      [](std::string& text) -> std::string {
        if (text.rfind("--", 0) != 0) return "";
        return "is missing its value: '" + text + "' is an option (a file of that name: ./" + text +
               ")";
      },
      "");
}

namespace {
constexpr const char* kPercentiles[] = {"1",  "5",    "10",   "20",    "30",   "40",
                                        "50", "60",   "70",   "80",    "90",   "95",
                                        "99", "99.5", "99.9", "99.95", "99.99"};

}  // namespace

CLI::Validator WholeNumber(long long low, long long high) {
  return CLI::Validator(
      [low, high](std::string& text) -> std::string {
        long long v = 0;
        const auto end = text.data() + text.size();
        const auto r = std::from_chars(text.data(), end, v);
        if (r.ec != std::errc() || r.ptr != end || v < low || v > high)
          return "must be a whole number from " + std::to_string(low) + " to " +
                 std::to_string(high) + ", not '" + text + "'";
        return "";
      },
      "");
}

CLI::Validator Seconds() {
  return CLI::Validator(
      [](std::string& text) -> std::string {
        double v = 0;
        const auto end = text.data() + text.size();
        const auto r = std::from_chars(text.data(), end, v);
        return r.ec == std::errc() && r.ptr == end && std::isfinite(v) && v >= 0.001 && v <= 86400
                   ? ""
                   : "must be a number of seconds from 0.001 to 86400, not '" + text + "'";
      },
      "");
}

nlohmann::json LatencyJson(const Histogram& h) {
  nlohmann::json p = nlohmann::json::object();
  for (const char* key : kPercentiles) p[key] = h.Percentile(std::stod(key));
  return {{"min", h.Min()},
          {"mean", h.Mean()},
          {"stddev", h.StdDev()},
          {"max", h.Max()},
          {"percentiles", p}};
}
