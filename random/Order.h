// The order of a random run: a seeded permutation of the file's blocks for
// each pass, and which transfers of a mix are reads.
#pragma once

#include <cstdint>

// A 64-bit mixer (splitmix64's finaliser).
inline std::uint64_t Mix64(std::uint64_t x) {
  x ^= x >> 30;
  x *= 0xbf58476d1ce4e5b9ULL;
  x ^= x >> 27;
  x *= 0x94d049bb133111ebULL;
  return x ^ (x >> 31);
}

// A bijection of [0, n) chosen by a seed, computed per index in O(1) with
// no table: a Feistel network over the smallest even power of two that
// holds n, walked again while it lands past n (under four steps on average).
class Permutation {
 public:
  Permutation(std::uint64_t n, std::uint64_t seed);
  std::uint64_t operator()(std::uint64_t index) const;
  std::uint64_t Size() const { return n_; }
  // The same size under another seed, without working out the size again.
  Permutation Reseeded(std::uint64_t seed) const {
    Permutation p = *this;
    p.seed_ = Mix64(seed + 1);
    return p;
  }

 private:
  std::uint64_t Round(std::uint64_t half, int round) const;
  std::uint64_t n_, seed_;
  int halfBits_ = 0;
  std::uint64_t halfMask_ = 0;
};

// The block of transfer number k of a run: pass k / blocks visits each
// block once, in the order of a permutation of its own. Each thread asks a
// copy of its own, which keeps the pass it is in: transfers that follow
// each other cost no division.
class BlockOrder {
 public:
  BlockOrder(std::uint64_t blocks, std::uint64_t seed, bool sequential)
      : blocks_(blocks),
        seed_(seed),
        sequential_(sequential),
        first_(blocks, seed),
        pass_(first_) {}
  std::uint64_t Block(std::uint64_t k) {
    // Unsigned: a k before the pass wraps past blocks_ too.
    if (k - passStart_ >= blocks_) Enter(k);
    const std::uint64_t i = k - passStart_;
    return sequential_ ? i : pass_(i);
  }

 private:
  void Enter(std::uint64_t k);
  std::uint64_t blocks_, seed_;
  bool sequential_;
  Permutation first_, pass_;
  std::uint64_t passStart_ = 0;
};

bool IsMixedRead(std::uint64_t k, int readPercent, std::uint64_t seed);

// Whether transfer k of a mix with readPercent reads: in every hundred
// transfers exactly readPercent read, in a seeded order.
inline bool IsRead(std::uint64_t k, int readPercent, std::uint64_t seed) {
  if (readPercent >= 100) return true;
  if (readPercent <= 0) return false;
  return IsMixedRead(k, readPercent, seed);
}
