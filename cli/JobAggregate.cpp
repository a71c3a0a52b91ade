// What a job did, from the records its ranks sent: the same fields as one
// run's, as totals.
#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "cli/Job.h"
#include "form/ResultLines.h"
#include "random/Histogram.h"

namespace {

using json = nlohmann::json;

std::int64_t Int(const json& r, const char* name, std::int64_t otherwise = 0) {
  return r.contains(name) && r[name].is_number() ? r[name].get<std::int64_t>() : otherwise;
}

std::int64_t Sum(const std::vector<json>& ranks, const char* name) {
  std::int64_t total = 0;
  for (const json& r : ranks) total += Int(r, name);
  return total;
}

// The latest of a figure no rank may lack; -1 where none has it.
std::int64_t Latest(const std::vector<json>& ranks, const char* name) {
  std::int64_t latest = -1;
  for (const json& r : ranks) latest = std::max(latest, Int(r, name, -1));
  return latest;
}

json Known(std::int64_t v) { return v < 0 ? json(nullptr) : json(v); }

std::int32_t Ms(std::int64_t ns) { return static_cast<std::int32_t>(std::llround(ns / 1e6)); }

// The job's object: rank 0's with the totals over it, and without what
// belongs to one rank's file alone.
json Base(const std::vector<json>& ranks) {
  json out = ranks.front();
  for (const char* own : {"rank",
                          "host",
                          "ok",
                          "message",
                          "reason",
                          "usage",
                          "cache",
                          "timeline",
                          "flushes",
                          "status_line",
                          "file",
                          "system",
                          "version",
                          "started_at",
                          "command",
                          "histogram",
                          "offset",
                          "start_ns",
                          "end_ns",
                          "end_with_flush_ns",
                          "create_start_ns",
                          "create_end_ns",
                          "delete_start_ns",
                          "delete_end_ns"})
    out.erase(own);
  return out;
}

}  // namespace

json AggregateThroughput(std::vector<json>& ranks) {
  FromEarliestStart(ranks, {"start_ns"}, {"start_ns", "end_ns", "end_with_flush_ns"});
  json out = Base(ranks);
  const bool writing = ranks.front().value("command", "write") == "write";
  std::int64_t testSize = 0;
  for (const json& r : ranks)
    testSize += static_cast<std::int64_t>(std::llround(r.value("test_size", 0.0) * kFixed));
  ThroughputRecord total;
  total.finished = true;
  total.writing = writing;
  total.testSize = testSize;
  total.blockSize = static_cast<std::int32_t>(Int(ranks.front(), "block_size"));
  total.elapsedNs = Latest(ranks, "end_ns");
  total.elapsedMs = Ms(total.elapsedNs);
  out["test_size"] = static_cast<double>(testSize) / kFixed;
  for (const char* summed :
       {"whole_blocks", "bytes_transferred", "final_count", "final_transferred"})
    out[summed] = Sum(ranks, summed);
  out["elapsed_ns"] = total.elapsedNs;
  out["elapsed_ms"] = total.elapsedMs;
  out["mb_per_s"] = total.elapsedNs > 0 ? json(MBps(testSize, total.elapsedNs)) : json(nullptr);
  if (writing) {
    total.elapsedWithFlushNs = Latest(ranks, "end_with_flush_ns");
    total.elapsedWithFlushMs = Ms(total.elapsedWithFlushNs);
    // The slowest rank's flush is the one the job waited for.
    total.fileFlushNs = Latest(ranks, "file_flush_ns");
    total.volumeFlushNs = Latest(ranks, "volume_flush_ns");
    total.fileFlushMs = static_cast<std::int32_t>(Latest(ranks, "file_flush_ms"));
    total.volumeFlushMs = static_cast<std::int32_t>(Latest(ranks, "volume_flush_ms"));
    total.choices = {total.fileFlushMs >= 0, total.volumeFlushMs >= 0};
    out["elapsed_with_flush_ns"] = total.elapsedWithFlushNs;
    out["elapsed_with_flush_ms"] = total.elapsedWithFlushMs;
    out["mb_per_s_with_flush"] = total.elapsedWithFlushNs > 0
                                     ? json(MBps(testSize, total.elapsedWithFlushNs))
                                     : json(nullptr);
    out["file_flush_ns"] = Known(total.fileFlushNs);
    out["volume_flush_ns"] = Known(total.volumeFlushNs);
    out["file_flush_ms"] = Known(total.fileFlushMs);
    out["volume_flush_ms"] = Known(total.volumeFlushMs);
  }
  out["lines"] = ThroughputLines(total, '.');
  out["cut_short"] = std::any_of(ranks.begin(), ranks.end(),
                                 [](const json& r) { return r.value("cut_short", false); });
  out["over_ranks"] = {{"mb_per_s", OverRanks(ranks, "mb_per_s")},
                       {"elapsed_ns", OverRanks(ranks, "elapsed_ns")}};
  if (writing) out["over_ranks"]["mb_per_s_with_flush"] = OverRanks(ranks, "mb_per_s_with_flush");
  return out;
}

json AggregateCreateDelete(std::vector<json>& ranks) {
  FromEarliestStart(ranks, {"create_start_ns"},
                    {"create_start_ns", "create_end_ns", "delete_start_ns", "delete_end_ns"});
  json out = Base(ranks);
  CreateDeleteRecord total;
  total.files = static_cast<std::int32_t>(Sum(ranks, "files"));
  total.created = static_cast<std::int32_t>(Sum(ranks, "created"));
  total.createdAll = total.deletedAll = total.volumeOpened = true;
  for (const json& r : ranks)
    total.volumeOpened = total.volumeOpened && r.value("volume_flushed", false);
  // From the earliest start of a phase to its latest end, over all ranks.
  std::int64_t deleteStart = std::numeric_limits<std::int64_t>::max();
  for (const json& r : ranks) deleteStart = std::min(deleteStart, Int(r, "delete_start_ns"));
  total.createNs = Latest(ranks, "create_end_ns");
  total.deleteNs = Latest(ranks, "delete_end_ns") - deleteStart;
  total.createMs = Ms(total.createNs);
  total.deleteMs = Ms(total.deleteNs);
  total.flushAfterCreateNs = Latest(ranks, "flush_after_create_ns");
  total.flushAfterDeleteNs = Latest(ranks, "flush_after_delete_ns");
  total.flushAfterCreateMs = static_cast<std::int32_t>(Latest(ranks, "flush_after_create_ms"));
  total.flushAfterDeleteMs = static_cast<std::int32_t>(Latest(ranks, "flush_after_delete_ms"));
  total.finished = true;
  auto perFile = [&](std::int64_t span) {
    return total.created ? json(static_cast<double>(span) / total.created) : json(nullptr);
  };
  auto perSecond = [&](std::int64_t span) {
    return span > 0 ? json(total.created / (static_cast<double>(span) / 1e9)) : json(nullptr);
  };
  out["files"] = total.files;
  out["created"] = total.created;
  out["not_deleted"] = Sum(ranks, "not_deleted");
  out["volume_flushed"] = total.volumeOpened;
  out["create_ns"] = total.createNs;
  out["delete_ns"] = total.deleteNs;
  out["create_ns_per_file"] = perFile(total.createNs);
  out["delete_ns_per_file"] = perFile(total.deleteNs);
  out["create_ms_per_file"] = perFile(total.createMs);
  out["delete_ms_per_file"] = perFile(total.deleteMs);
  out["creations_per_s"] = perSecond(total.createNs);
  out["deletions_per_s"] = perSecond(total.deleteNs);
  out["flush_after_create_ns"] = Known(total.flushAfterCreateNs);
  out["flush_after_delete_ns"] = Known(total.flushAfterDeleteNs);
  out["flush_after_create_ms"] = Known(total.flushAfterCreateMs);
  out["flush_after_delete_ms"] = Known(total.flushAfterDeleteMs);
  out["lines"] = CreateDeleteLines(total, '.');
  out["over_ranks"] = {{"create_ns_per_file", OverRanks(ranks, "create_ns_per_file")},
                       {"delete_ns_per_file", OverRanks(ranks, "delete_ns_per_file")}};
  return out;
}

json AggregateRandom(std::vector<json>& ranks) {
  FromEarliestStart(ranks, {"start_ns"}, {"start_ns", "end_ns"});
  json out = Base(ranks);
  Histogram merged;
  for (json& r : ranks) {
    if (const auto h = Histogram::FromSerialized(r.value("histogram", "")); h) merged.Merge(*h);
    r.erase("histogram");
  }
  double iops = 0, mbPerSec = 0;
  std::vector<std::int64_t> perSecond;
  for (const json& r : ranks) {
    iops += r.value("iops", 0.0);
    mbPerSec += r.value("mb_per_s", 0.0);
    const std::vector<std::int64_t> mine = r.value("iops_per_second", std::vector<std::int64_t>{});
    if (perSecond.size() < mine.size()) perSecond.resize(mine.size());
    for (std::size_t i = 0; i < mine.size(); ++i) perSecond[i] += mine[i];
  }
  for (const char* summed :
       {"transfers", "reads", "writes", "bytes", "blocks", "prepared_bytes", "max_in_flight"})
    out[summed] = Sum(ranks, summed);
  const std::int64_t span = Latest(ranks, "end_ns");
  out["elapsed_ns"] = span;
  out["iops"] = iops;
  out["mb_per_s"] = mbPerSec;
  // The same total counted the other way: every transfer over the job's span.
  out["iops_over_span"] = span > 0 ? json(Sum(ranks, "transfers") / (span / 1e9)) : json(nullptr);
  out["iops_per_second"] = perSecond;
  out["latency_ns"] = LatencyJson(merged);
  out["over_ranks"] = {{"iops", OverRanks(ranks, "iops")},
                       {"mb_per_s", OverRanks(ranks, "mb_per_s")}};
  return out;
}
