#include "random/Histogram.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <sstream>

void Histogram::Merge(const Histogram& other) {
  for (std::size_t i = 0; i < kBuckets; ++i) counts_[i] += other.counts_[i];
  total_ += other.total_;
  sum_ += other.sum_;
  sumSquares_ += other.sumSquares_;
  min_ = std::min(min_, other.min_);
  max_ = std::max(max_, other.max_);
}

double Histogram::StdDev() const {
  if (total_ < 2) return 0;
  const double n = static_cast<double>(total_);
  const double mean = sum_ / n;
  return std::sqrt(std::max(0.0, sumSquares_ / n - mean * mean));
}

std::uint64_t Histogram::Lower(std::size_t i) {
  if (i < kSub) return i;
  const auto e = static_cast<int>(i / kSub) + kSubBits - 1;
  return (kSub + i % kSub) << (e - kSubBits);
}

std::uint64_t Histogram::Percentile(double p) const {
  if (total_ == 0) return 0;
  const auto rank = std::clamp<std::uint64_t>(
      static_cast<std::uint64_t>(std::ceil(p / 100 * static_cast<double>(total_))), 1, total_);
  std::uint64_t seen = 0;
  for (std::size_t i = 0; i < kBuckets; ++i) {
    seen += counts_[i];
    if (seen >= rank) {
      const std::uint64_t middle = Lower(i) + (Upper(i) - 1 - Lower(i)) / 2;
      return std::clamp(middle, Min(), max_);
    }
  }
  return max_;
}

std::string Histogram::Csv() const {
  std::string out = "lower_ns,upper_ns,count\n";
  for (std::size_t i = 0; i < kBuckets; ++i)
    if (counts_[i])
      out += std::to_string(Lower(i)) + "," + std::to_string(Upper(i)) + "," +
             std::to_string(counts_[i]) + "\n";
  return out;
}

std::string Histogram::Serialized() const {
  char head[160];
  // 17 digits give a double back exactly.
  std::snprintf(head, sizeof head, "%llu %llu %llu %.17g %.17g",
                static_cast<unsigned long long>(total_), static_cast<unsigned long long>(min_),
                static_cast<unsigned long long>(max_), sum_, sumSquares_);
  std::string out = head;
  for (std::size_t i = 0; i < kBuckets; ++i)
    if (counts_[i]) {
      char bucket[48];
      std::snprintf(bucket, sizeof bucket, " %zu:%llu", i,
                    static_cast<unsigned long long>(counts_[i]));
      out += bucket;
    }
  return out;
}

std::optional<Histogram> Histogram::FromSerialized(const std::string& text) {
  std::istringstream in(text);
  Histogram h;
  if (!(in >> h.total_ >> h.min_ >> h.max_ >> h.sum_ >> h.sumSquares_)) return std::nullopt;
  std::uint64_t counted = 0;
  std::size_t i = 0;
  char colon = 0;
  std::uint64_t count = 0;
  while (in >> i >> colon >> count) {
    if (colon != ':' || i >= kBuckets || count == 0) return std::nullopt;
    h.counts_[i] += count;
    counted += count;
  }
  if (!in.eof() || counted != h.total_) return std::nullopt;
  return h;
}
