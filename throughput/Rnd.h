// The runtime's uniform generator: one per process, the same fixed start
// at every program start, so a second run continues the sequence.
#pragma once

#include <cstdint>
#include <span>

// The next value in [0, 1).
double Rnd();

// Fills the little-endian 32-bit words below byteCount with random data.
void FillRandomWords(std::span<std::byte> buffer, std::int64_t byteCount);
