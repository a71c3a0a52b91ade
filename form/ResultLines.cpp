#include "form/ResultLines.h"

#include <algorithm>
#include <cmath>

#include "fileio/NumberText.h"
#include "placement/FragmentReport.h"

std::string ThroughputText(std::int64_t size, std::int64_t ns, char sep) {
  return numtext::Format(MBps(size, ns), "#0.0", sep) + " MB/s";
}

std::string FlushLine(const ThroughputRecord& r, FlushMark::Kind kind) {
  if (kind == FlushMark::File)
    return r.fileFlushFailed ? "file flush failed: " + r.fileFlushReason
                             : "file flush time: " + std::to_string(r.fileFlushMs) + " ms";
  return r.volumeFlushFailed ? "volume flush failed: " + r.volumeFlushReason
                             : "volume flush time: " + std::to_string(r.volumeFlushMs) + " ms";
}

int FlushLineIndex(const ThroughputRecord& r, FlushMark::Kind kind) {
  return kind == FlushMark::File || r.fileFlushMs < 0 ? 1 : 2;
}

ResultLines ThroughputLines(const ThroughputRecord& r, char sep) {
  ResultLines lines;
  if (!r.HasLines()) return lines;
  int line = 1;
  if (r.fileFlushMs >= 0) lines[line++] = FlushLine(r, FlushMark::File);
  if (r.volumeFlushMs >= 0) lines[line++] = FlushLine(r, FlushMark::Volume);
  const std::string word = r.writing ? "Written" : "Read";
  const bool twoLines = r.writing && (r.choices.flushFile || r.choices.flushVolume);
  if (r.elapsedNs <= 0) {
    lines[0] = "---";
  } else if (!twoLines) {
    lines[0] = word + " with " + ThroughputText(r.testSize, r.elapsedNs, sep);
  } else {
    lines[0] = "without flush: " + word + " with " + ThroughputText(r.testSize, r.elapsedNs, sep);
    if (!r.FlushFailed())
      lines[line] =
          "with flush: " + word + " with " + ThroughputText(r.testSize, r.elapsedWithFlushNs, sep);
  }
  return lines;
}

namespace {

int Percent(std::int64_t part, std::int64_t whole) {
  if (whole <= 0) return 0;
  const double p = std::round(100.0 * static_cast<double>(part) / static_cast<double>(whole));
  return static_cast<int>(std::clamp(p, 0.0, 100.0));
}

std::string MBText(std::int64_t bytes, char sep) {
  return numtext::Format(static_cast<double>(bytes) / 1048576, "#0.0", sep) + " MB";
}

// What a share of the data in memory makes of the figure.
std::string Measured(int percent, bool writing) {
  if (percent >= kMostlyCachePercent)
    return writing ? "this figure is mostly the speed of filling the cache"
                   : "this figure is mostly the cache";
  if (percent <= kMostlyDiskPercent)
    return writing ? "this figure is mostly the disk's" : "this figure came from the disk";
  return "this figure is partly the cache, partly the disk";
}

std::string NoFigure(const RunCache& c) {
  return "The system gives no figure of this file's pages in memory" +
         (c.reason.empty() ? std::string() : ": " + c.reason);
}

}  // namespace

std::string CacheVerdict(const ThroughputRecord& r, char sep) {
  if (!r.HasLines()) return "";
  const RunCache& c = r.cache;
  const CacheReading& any = c.atStart.Taken() ? c.atStart : c.atStop;
  if (any.Taken() && any.figures.inMemory)
    return "The file system of this file keeps it in memory alone: this figure is the memory's, "
           "no disk lies beneath";
  if (!r.writing) {
    if (!c.atStart.Taken()) return NoFigure(c);
    const os::runtime::FileCache& f = c.atStart.figures;
    const int p = Percent(f.cachedBytes, f.fileBytes);
    return (c.evicted ? "After dropping its pages, " : "") + std::to_string(p) +
           " % of the file was in memory when the run began: " + Measured(p, false);
  }
  if (!c.atStop.Taken()) return NoFigure(c);
  const std::int64_t atStop = c.atStop.Unwritten();
  if (atStop < 0)
    return "The system tells which of this file's pages are in memory, not which are dirty: "
           "how much of what it wrote was still in memory is unknown";
  const std::int64_t written = r.transferred + r.finalResult;
  const int p = Percent(atStop, written);
  std::string line = std::to_string(p) + " % of what it wrote (" + MBText(atStop, sep) +
                     ") was still in memory, not on the disk, when its clock stopped";
  if (c.afterFlushes.empty() || !c.afterFlushes.back().reading.Taken())
    return line + ": " + Measured(p, true);
  const std::int64_t after = std::max<std::int64_t>(c.afterFlushes.back().reading.Unwritten(), 0);
  line += "; the flushes wrote " + MBText(std::max<std::int64_t>(atStop - after, 0), sep);
  if (after > 0) line += ", " + MBText(after, sep) + " was still not on the disk after them";
  return line;
}

std::string PerFile(std::int32_t totalMs, std::int64_t totalNs, std::int32_t files, char sep) {
  const double ms = static_cast<double>(totalMs) / files;
  if (ms >= 0.1) return numtext::Format(ms, "#0.0", sep);
  const double precise = static_cast<double>(totalNs) / files / 1e6;
  if (precise <= 0) return numtext::Format(0, "#0.0", sep);
  int decimals = std::max(2, 1 - static_cast<int>(std::floor(std::log10(precise))));
  std::string text =
      numtext::Format(precise, "#0." + std::string(static_cast<std::size_t>(decimals), '0'), sep);
  // 0.0996 rounds up to 0.100: one decimal fewer keeps two digits (0.10).
  if (decimals > 2 && text.size() - text.find_first_not_of(std::string("0") + sep) > 2)
    text = numtext::Format(precise,
                           "#0." + std::string(static_cast<std::size_t>(decimals - 1), '0'), sep);
  return text;
}

namespace {

std::string FlushText(std::int32_t ms, bool failed, const std::string& reason) {
  return failed ? "flush failed: " + reason : std::to_string(ms) + " ms flush time";
}

}  // namespace

std::string CreateDeleteLine(const CreateDeleteRecord& r, int line, char sep) {
  if (r.stoppedBy != 0) return "";
  switch (line) {
    case 0:
      return r.createdAll
                 ? PerFile(r.createMs, r.createNs, r.created, sep) + " ms per file creation"
                 : "";
    case 1:
      return r.flushAfterCreateMs < 0 ? ""
                                      : FlushText(r.flushAfterCreateMs, r.flushAfterCreateFailed,
                                                  r.flushAfterCreateReason);
    case 2:
      return r.deletedAll ? PerFile(r.deleteMs, r.deleteNs, r.created, sep) + " ms per file delete"
                          : "";
    case 3:
      return r.flushAfterDeleteMs < 0 ? ""
                                      : FlushText(r.flushAfterDeleteMs, r.flushAfterDeleteFailed,
                                                  r.flushAfterDeleteReason);
    default:
      return "";
  }
}

ResultLines CreateDeleteLines(const CreateDeleteRecord& r, char sep) {
  ResultLines lines;
  for (int i = 0; i < 4; ++i) lines[static_cast<std::size_t>(i)] = CreateDeleteLine(r, i, sep);
  return lines;
}

std::string StatusLine(const FileInspection& f) {
  if (f.size == 0 || !f.placed) return "";
  return FragmentCaption(f.fragments, f.minAlignment, f.maxAlignment) +
         (f.compressed ? ", compressed" : "");
}
