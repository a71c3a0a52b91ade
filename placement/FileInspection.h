// What the file status line is made from: the file's fragments, the
// power-of-two disk boundaries they begin on, and its compression.
#pragma once

#include <cstdint>
#include <string>

#include "placement/FragmentReport.h"
#include "platform/os.h"

struct FileInspection {
  std::int64_t size = 0;
  bool placed = false;  // the file system told where the file lies
  os::DWORD error = 0;  // why it did not
  std::int32_t fragments = 0;
  std::int32_t minAlignment = 0, maxAlignment = 0;  // 0x7FFFFFFF and 0: none computed
  FragmentDetails details;                          // runs only when asked for
  bool compressed = false;

  // Alignments are known: the cluster numbers are disk positions and at
  // least one run has a place.
  bool Aligned() const {
    return details.alignmentComputed && !(minAlignment == 0x7FFFFFFF && maxAlignment == 0);
  }
};

// Inspects the file path names through h, open for reading. An empty file
// has no fragments to ask for.
FileInspection InspectFile(const std::string& path, os::HANDLE h, bool withRuns = false);
