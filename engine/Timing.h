// The one clock every test reads, and the one timed flush they all make.
#pragma once

#include <cstdint>
#include <functional>

#include "platform/os.h"

// The millisecond count the window shows and the nanosecond count beside
// it, read together, so that both figures of an interval are of one moment.
struct Stopwatch {
  os::DWORD startMs = 0;
  std::int64_t startNs = 0;

  struct Reading {
    std::int32_t ms = 0;  // modulo 2^32, read as a signed 32-bit value
    std::int64_t ns = 0;
  };

  static Stopwatch Start() { return {os::timeGetTime(), os::runtime::ClockNs()}; }
  Reading Read() const {
    const os::DWORD ms = os::timeGetTime();
    const std::int64_t ns = os::runtime::ClockNs();
    return {static_cast<std::int32_t>(ms - startMs), ns - startNs};
  }
};

struct FlushTiming {
  os::DWORD error = 0;       // 0: flushed, or the failure lost nothing
  std::int64_t startNs = 0;  // on the steady clock
  Stopwatch::Reading took;
};

// Times flush, which returns 0 or the error that lost data.
FlushTiming TimedFlush(const std::function<os::DWORD()>& flush);
