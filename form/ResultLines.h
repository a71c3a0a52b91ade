// The lines a user reads, made from a test's record: the window writes them
// into its status lines, the command line prints them.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "createdelete/CreateDeleteTest.h"
#include "placement/FileInspection.h"
#include "throughput/ThroughputRun.h"

using ResultLines = std::array<std::string, 4>;

// "123.4 MB/s" of size (ten-thousandths of a byte) in ns.
std::string ThroughputText(std::int64_t size, std::int64_t ns, char sep);

// The status line a flush leaves: its time, or why it failed.
std::string FlushLine(const ThroughputRecord& r, FlushMark::Kind kind);
// Which status line a flush writes to.
int FlushLineIndex(const ThroughputRecord& r, FlushMark::Kind kind);
// The lines a Write or Read run ends with; all empty when it ended without
// figures (stopped, refused, failed before its result).
ResultLines ThroughputLines(const ThroughputRecord& r, char sep);

// What a Write or Read run's figure measured, from the test file's pages
// in the cache: a Read that found its file in memory timed the cache, a
// Write whose data was still in memory when its clock stopped timed the
// filling of it. "" when the run has no result lines.
inline constexpr int kMostlyCachePercent = 90;  // at or above: mostly the cache
inline constexpr int kMostlyDiskPercent = 10;   // at or below: the disk
std::string CacheVerdict(const ThroughputRecord& r, char sep);

// Milliseconds per file, "#0.0"; below 0.1 ms two significant digits of the
// nanosecond figure.
std::string PerFile(std::int32_t totalMs, std::int64_t totalNs, std::int32_t files, char sep);
// Line `line` (0 creations, 1 their flush, 2 deletions, 3 their flush) as
// far as the test got; "" for a line it did not reach.
std::string CreateDeleteLine(const CreateDeleteRecord& r, int line, char sep);
ResultLines CreateDeleteLines(const CreateDeleteRecord& r, char sep);

// "3 Fragments, align=4 K .. 1 M, compressed"; "" for an empty file or one
// whose place the file system does not tell.
std::string StatusLine(const FileInspection& f);
