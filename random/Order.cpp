#include "random/Order.h"

Permutation::Permutation(std::uint64_t n, std::uint64_t seed) : n_(n), seed_(Mix64(seed + 1)) {
  while (halfBits_ < 32 && (std::uint64_t{1} << (2 * halfBits_)) < n) ++halfBits_;
  halfMask_ = (std::uint64_t{1} << halfBits_) - 1;
}

std::uint64_t Permutation::Round(std::uint64_t half, int round) const {
  return Mix64(half ^ seed_ ^ (static_cast<std::uint64_t>(round) << 56)) & halfMask_;
}

std::uint64_t Permutation::operator()(std::uint64_t index) const {
  if (n_ <= 1) return 0;
  std::uint64_t x = index;
  do {
    std::uint64_t left = x >> halfBits_, right = x & halfMask_;
    for (int r = 0; r < 4; ++r) {
      const std::uint64_t next = left ^ Round(right, r);
      left = right;
      right = next;
    }
    x = (left << halfBits_) | right;
  } while (x >= n_);
  return x;
}

void BlockOrder::Enter(std::uint64_t k) {
  const std::uint64_t pass = k / blocks_;
  passStart_ = pass * blocks_;
  pass_ = pass == 0 ? first_ : first_.Reseeded(seed_ + pass * 0x9e3779b97f4a7c15ULL);
}

bool IsMixedRead(std::uint64_t k, int readPercent, std::uint64_t seed) {
  return Permutation(100, seed ^ (k / 100))(k % 100) < static_cast<std::uint64_t>(readPercent);
}
