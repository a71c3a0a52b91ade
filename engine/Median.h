#pragma once

#include <algorithm>
#include <vector>

// The middle of the figures (the mean of the two middle ones); 0 for none.
inline double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const std::size_t m = values.size();
  return m % 2 ? values[m / 2] : (values[m / 2 - 1] + values[m / 2]) / 2;
}
