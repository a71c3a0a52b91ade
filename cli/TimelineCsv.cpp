#include "cli/TimelineCsv.h"

#include <array>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <filesystem>

namespace {

// Fixed three decimals with a point, whatever the locale says.
std::string Decimal(double v) {
  std::array<char, 64> buf{};
  const auto r = std::to_chars(buf.data(), buf.data() + buf.size(), v, std::chars_format::fixed, 3);
  return std::string(buf.data(), r.ptr);
}

std::string Figure(std::int64_t kib) { return kib == kNoFigure ? std::string() : std::to_string(kib); }

nlohmann::json JsonFigure(std::int64_t kib) { return kib == kNoFigure ? nlohmann::json(nullptr) : nlohmann::json(kib); }

}  // namespace

void WriteTimelineCsv(const Timeline& timeline, std::ostream& out) {
  out << kTimelineCsvHeader << "\n";
  for (std::size_t i = 0; i < timeline.slices.size(); ++i) {
    const TimelineSlice& s = timeline.slices[i];
    const auto rate = timeline.SliceMBps(i);
    out << s.offset << ',' << s.tNs << ',' << (rate ? Decimal(*rate) : std::string()) << ',' << Figure(s.dirtyKiB)
        << ',' << Figure(s.writebackKiB) << "\n";
  }
}

nlohmann::json TimelineJson(const Timeline& timeline) {
  nlohmann::json rows = nlohmann::json::array();
  for (std::size_t i = 0; i < timeline.slices.size(); ++i) {
    const TimelineSlice& s = timeline.slices[i];
    const auto rate = timeline.SliceMBps(i);
    rows.push_back({{"offset_bytes", s.offset},
                    {"t_ns", s.tNs},
                    {"mb_per_s", rate ? nlohmann::json(*rate) : nlohmann::json(nullptr)},
                    {"dirty_kib", JsonFigure(s.dirtyKiB)},
                    {"writeback_kib", JsonFigure(s.writebackKiB)}});
  }
  return rows;
}

nlohmann::json FlushesJson(const Timeline& timeline) {
  nlohmann::json rows = nlohmann::json::array();
  for (const FlushMark& f : timeline.flushes)
    rows.push_back({{"kind", f.kind == FlushMark::File ? "file" : "volume"},
                    {"start_ns", f.startNs},
                    {"end_ns", f.endNs}});
  return rows;
}

TimelineCsvFile::TimelineCsvFile(std::string path) : path_(std::move(path)) {
  std::error_code ec;
  existed_ = std::filesystem::exists(path_, ec);
  if (std::filesystem::is_directory(path_, ec)) {
    error_ = "is a directory";
    return;
  }
  errno = 0;
  out_.open(path_, std::ios::out | std::ios::trunc | std::ios::binary);
  if (!out_.is_open()) error_ = errno ? std::strerror(errno) : "cannot be opened for writing";
}

bool TimelineCsvFile::Write(const Timeline& timeline) {
  if (!out_.is_open()) return false;
  if (timeline.slices.empty() && !existed_) {
    out_.close();
    std::error_code ec;
    std::filesystem::remove(path_, ec);
    return true;
  }
  errno = 0;
  WriteTimelineCsv(timeline, out_);
  out_.close();
  if (out_.fail()) {
    error_ = errno ? std::strerror(errno) : "the rows could not be written";
    return false;
  }
  return true;
}
