#include "throughput/Timeline.h"

#include <algorithm>

std::optional<double> Timeline::SliceMBps(std::size_t i) const {
  if (i >= slices.size()) return std::nullopt;
  const TimelineSlice& from = i == 0 ? TimelineSlice{} : slices[i - 1];
  const std::int64_t ns = slices[i].tNs - from.tNs;
  if (ns <= 0) return std::nullopt;
  return static_cast<double>(slices[i].offset - from.offset) / 1048576 /
         (static_cast<double>(ns) / 1e9);
}

std::int64_t Timeline::EndNs() const {
  std::int64_t end = slices.empty() ? 0 : slices.back().tNs;
  for (const FlushMark& f : flushes) end = std::max(end, f.endNs);
  return end;
}
