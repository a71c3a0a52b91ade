// Latencies in nanoseconds, counted in log-linear buckets: below 128 one
// bucket a nanosecond, above that each power of two split into 128 equal
// steps, so a bucket is at most 1/128 of its values wide and its middle is
// within 0.4 % of every value in it. A fixed array: recording is an index
// and an add, merging is adding the counts.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <optional>
#include <string>

class Histogram {
 public:
  static constexpr int kSubBits = 7;
  static constexpr std::uint64_t kSub = 1u << kSubBits;
  static constexpr std::size_t kBuckets = (64 - kSubBits + 1) * kSub;

  void Record(std::uint64_t ns) {
    ++counts_[Index(ns)];
    ++total_;
    sum_ += static_cast<double>(ns);
    sumSquares_ += static_cast<double>(ns) * static_cast<double>(ns);
    if (ns < min_) min_ = ns;
    if (ns > max_) max_ = ns;
  }
  void Merge(const Histogram& other);

  std::uint64_t Count() const { return total_; }
  std::uint64_t Min() const { return total_ ? min_ : 0; }
  std::uint64_t Max() const { return max_; }
  double Mean() const { return total_ ? sum_ / static_cast<double>(total_) : 0; }
  double StdDev() const;
  // The value at or below which p percent of the samples lie (the sample of
  // rank ceil(p/100 * count)), as the middle of its bucket, kept within the
  // exact minimum and maximum. 0 when empty.
  std::uint64_t Percentile(double p) const;

  static std::size_t Index(std::uint64_t ns) {
    if (ns < kSub) return static_cast<std::size_t>(ns);
    const int e = std::bit_width(ns) - 1;
    return static_cast<std::size_t>(e - kSubBits + 1) * kSub +
           static_cast<std::size_t>((ns >> (e - kSubBits)) - kSub);
  }
  // The smallest value of bucket i, and the one after its largest.
  static std::uint64_t Lower(std::size_t i);
  static std::uint64_t Upper(std::size_t i) {
    return i + 1 < kBuckets ? Lower(i + 1) : ~std::uint64_t{0};
  }
  std::uint64_t BucketCount(std::size_t i) const { return counts_[i]; }

  // "lower_ns,upper_ns,count" lines for the buckets that hold samples.
  std::string Csv() const;

  // Every count and sum as text that another process turns back into the
  // same histogram; nullopt for text that is not one.
  std::string Serialized() const;
  static std::optional<Histogram> FromSerialized(const std::string& text);

 private:
  std::array<std::uint64_t, kBuckets> counts_{};
  std::uint64_t total_ = 0, min_ = ~std::uint64_t{0}, max_ = 0;
  double sum_ = 0, sumSquares_ = 0;
};
