#include "throughput/Rnd.h"

#include <cmath>
#include <cstring>
#include <random>

namespace {
std::mt19937_64& Generator() {
  static std::mt19937_64 generator;  // default seed: every start the same
  return generator;
}
}  // namespace

double Rnd() {
  // 53 random bits give every double of [0, 1) on the 2^-53 grid.
  return static_cast<double>(Generator()() >> 11) * 0x1.0p-53;
}

void FillRandomWords(std::span<std::byte> buffer, std::int64_t byteCount) {
  for (std::int64_t at = 0;
       at + 4 <= byteCount && at + 4 <= static_cast<std::int64_t>(buffer.size()); at += 4) {
    // Rounded half to even, as the default rounding mode does.
    const auto word =
        static_cast<std::int64_t>(std::nearbyint(Rnd() * 4294967295.0 * 10000.0)) + 40000;
    const auto low = static_cast<std::uint32_t>(word);
    const std::byte bytes[4] = {std::byte(low), std::byte(low >> 8), std::byte(low >> 16),
                                std::byte(low >> 24)};
    std::memcpy(buffer.data() + at, bytes, 4);
  }
}
