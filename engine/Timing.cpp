#include "engine/Timing.h"

FlushTiming TimedFlush(const std::function<os::DWORD()>& flush) {
  FlushTiming timing;
  const Stopwatch clock = Stopwatch::Start();
  timing.startNs = clock.startNs;
  timing.error = flush();
  timing.took = clock.Read();
  return timing;
}
