// The time-stamp counter as a clock: only where the processor says it runs
// at one rate in every power state (CPUID 0x80000007, EDX bit 8), which
// both Linux and Windows also require before they trust it.
#include <chrono>
#include <thread>

#include "platform/os.h"

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#include <x86intrin.h>
#define ORVANDEL_TSC 1
#endif

namespace os::runtime {
namespace {

bool InvariantCounter() {
#ifdef ORVANDEL_TSC
  unsigned a = 0, b = 0, c = 0, d = 0;
  if (__get_cpuid_max(0x80000000, nullptr) < 0x80000007) return false;
  __get_cpuid(0x80000007, &a, &b, &c, &d);
  return (d & (1u << 8)) != 0;
#else
  return false;
#endif
}

const bool kCounter = InvariantCounter();

}  // namespace

std::uint64_t Ticks() {
#ifdef ORVANDEL_TSC
  if (kCounter) [[likely]]
    return __rdtsc();
#endif
  return static_cast<std::uint64_t>(ClockNs());
}

double NsPerTick() {
  static const double rate = [] {
    if (!kCounter) return 1.0;
    // The pairs are read back to back, so the few ns between the two reads
    // of a pair are all the error there is: 1e-6 over 20 ms.
    const std::int64_t ns0 = ClockNs();
    const std::uint64_t t0 = Ticks();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const std::int64_t ns1 = ClockNs();
    const std::uint64_t t1 = Ticks();
    return t1 > t0 ? static_cast<double>(ns1 - ns0) / static_cast<double>(t1 - t0) : 1.0;
  }();
  return rate;
}

}  // namespace os::runtime
