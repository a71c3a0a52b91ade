#include "cli/TimelineCsv.h"

#include <array>
#include <charconv>
#include <sstream>

namespace {

// Fixed three decimals with a point, whatever the locale says.
std::string Decimal(double v) {
  std::array<char, 64> buf{};
  const auto r = std::to_chars(buf.data(), buf.data() + buf.size(), v, std::chars_format::fixed, 3);
  return std::string(buf.data(), r.ptr);
}

std::string Figure(std::int64_t kib) {
  return kib == kNoFigure ? std::string() : std::to_string(kib);
}

nlohmann::json JsonFigure(std::int64_t kib) {
  return kib == kNoFigure ? nlohmann::json(nullptr) : nlohmann::json(kib);
}

}  // namespace

void WriteTimelineCsv(const Timeline& timeline, std::ostream& out) {
  out << kTimelineCsvHeader << "\n";
  for (std::size_t i = 0; i < timeline.slices.size(); ++i) {
    const TimelineSlice& s = timeline.slices[i];
    const auto rate = timeline.SliceMBps(i);
    out << s.offset << ',' << s.tNs << ',' << (rate ? Decimal(*rate) : std::string()) << ','
        << Figure(s.dirtyKiB) << ',' << Figure(s.writebackKiB) << ',' << Figure(s.fileCachedKiB)
        << ',' << Figure(s.fileDirtyKiB) << ',' << Figure(s.fileWritebackKiB) << "\n";
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
                    {"writeback_kib", JsonFigure(s.writebackKiB)},
                    {"file_cached_kib", JsonFigure(s.fileCachedKiB)},
                    {"file_dirty_kib", JsonFigure(s.fileDirtyKiB)},
                    {"file_writeback_kib", JsonFigure(s.fileWritebackKiB)}});
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

nlohmann::json ThresholdsJson(const Timeline& timeline) {
  return {{"background_bytes", JsonFigure(timeline.backgroundLimitBytes)},
          {"dirty_bytes", JsonFigure(timeline.dirtyLimitBytes)}};
}

TimelineCsvFile::TimelineCsvFile(const std::string& path, const std::string& testFile) {
  writer_.Open(path, testFile);
}

bool TimelineCsvFile::Write(const Timeline& timeline) {
  if (!writer_.IsOpen()) return false;
  if (timeline.slices.empty()) {
    writer_.Abandon();
    return true;
  }
  std::ostringstream rows;
  WriteTimelineCsv(timeline, rows);
  return writer_.Write(rows.str()) && writer_.Commit();
}
