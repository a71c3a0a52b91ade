// Sizes with units, as dd and fio take them: 1G, 512k, 64M, 1.5G.
//
// A unit is one of k, M, G, T, in either case, each 1,024 times the one
// before (k = 1,024 bytes, as the window's MB is 1,048,576 bytes); it may
// end in B or iB (kB, KiB, MB, MiB: still 1,024-based). B alone is bytes.
// A number without a unit counts in the option's own unit (MB for a file
// size, bytes for a block size). A decimal point is allowed where the result
// is a whole number of bytes (1.5G, 0.5k); a comma, a sign, blanks, dd's
// 512-byte "b" and anything else are refused with the cause named.
#pragma once

#include <CLI/CLI.hpp>

#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

namespace units {

struct SizeRule {
  std::uint64_t plainUnit = 1;  // what a number without a unit counts in
  std::uint64_t multipleOf = 1;
  std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
  std::string examples;  // shown when the text is no size at all
};

// A test file: a plain number is MB.
inline const SizeRule kFileSize{1048576, 1, std::numeric_limits<std::uint64_t>::max(),
                                "200, 64M or 1G"};
// A block: whole 512-byte sectors, at most the window's 4,194,303 of them.
inline const SizeRule kBlockSize{1, 512, 4194303ull * 512, "4096, 4k or 1M"};

struct Size {
  std::uint64_t bytes = 0;
  std::string error;  // "" when the text is a size the rule allows
  bool ok() const { return error.empty(); }
};

// The bytes text stands for, or why it stands for none (the text quoted, the
// cause named: "must be a size such as 200, 64M or 1G, not '1,5'").
Size ParseSize(std::string_view text, const SizeRule& rule);

// A CLI11 transformer: refuses what ParseSize refuses, with its reason, and
// gives the option its value as a plain byte count, so that an integer
// option receives bytes ("--size 1G" stores 1073741824).
CLI::Validator SizeInBytes(const SizeRule& rule);

}  // namespace units
