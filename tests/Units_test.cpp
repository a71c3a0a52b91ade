// Sizes with units as a script types them, and the option that takes them.
#include <gtest/gtest.h>

#include <CLI/CLI.hpp>

#include <cstdint>
#include <string>

#include "cli/Units.h"

namespace {

TEST(Units, SizesAreBytesOrARefusalThatNamesTheCause) {
  using units::kBlockSize;
  using units::kFileSize;
  struct Case {
    const char* text;
    const units::SizeRule& rule;
    std::uint64_t bytes;  // 0: refused
    const char* error;    // part of the reason
  };
  const Case cases[] = {
      // A plain number counts in the option's unit.
      {"200", kFileSize, 200ull << 20, ""},
      {"4096", kBlockSize, 4096, ""},
      {"1G", kFileSize, 1ull << 30, ""},
      {"512k", kFileSize, 512ull << 10, ""},
      {"512K", kFileSize, 512ull << 10, ""},
      {"64M", kFileSize, 64ull << 20, ""},
      {"64MiB", kFileSize, 64ull << 20, ""},
      {"64mb", kFileSize, 64ull << 20, ""},
      {"2T", kFileSize, 2ull << 40, ""},
      {"4k", kBlockSize, 4096, ""},
      {"4KB", kBlockSize, 4096, ""},
      {"1024B", kBlockSize, 1024, ""},
      {"1.5G", kFileSize, 3ull << 29, ""},
      {"0.5", kFileSize, 1ull << 19, ""},
      {"2.50k", kBlockSize, 2560, ""},
      {"15.99999999999999999999E", kFileSize, 0, "is no unit"},
      // Malformed, each with the examples of its option.
      {"1,5", kFileSize, 0, "must be a size such as 200, 64M or 1G, not '1,5'"},
      {"", kFileSize, 0, "not ''"},
      {"G", kFileSize, 0, "such as 200, 64M or 1G"},
      {" 1G", kFileSize, 0, "not ' 1G'"},
      {"1.", kFileSize, 0, "not '1.'"},
      {"+4k", kBlockSize, 0, "such as 4096, 4k or 1M, not '+4k'"},
      {"0x100", kBlockSize, 0, "'x100' is no unit"},
      {"5X", kFileSize, 0, "'X' is no unit; the units are k, M, G and T"},
      {"1kk", kFileSize, 0, "'kk' is no unit"},
      {"512b", kBlockSize, 0, "dd's 512-byte block"},
      // Zero and negative.
      {"0", kFileSize, 0, "must be more than 0, not '0'"},
      {"0.0k", kBlockSize, 0, "must be more than 0"},
      {"-3", kFileSize, 0, "must be more than 0, not '-3'"},
      {"-1G", kFileSize, 0, "must be more than 0"},
      // Fractional bytes, with what they came to.
      {"1.3k", kFileSize, 0, "must be a whole number of bytes, not '1.3k' (1331.2 bytes)"},
      {"0.0000001", kFileSize, 0, "(0.1048576 bytes)"},
      {"1.0000000000000000001T", kFileSize, 0, "whole number of bytes"},
      // Too large for the rule or for any count.
      {"16E", kFileSize, 0, "is no unit"},
      {"17179869184G", kFileSize, 0, "must be at most 18446744073709551615 bytes"},
      {"99999999999999999999999999999", kFileSize, 0, "must be at most"},
      {"2G", kBlockSize, 0, "must be at most 2147483136 bytes, not '2G'"},
      {"2047.99951171875M", kBlockSize, 2147483136, ""},
      // Whole sectors for a block.
      {"1000", kBlockSize, 0, "must be a multiple of 512 bytes, not '1000' (1000 bytes)"},
      {"1.5k", kBlockSize, 1536, ""},
  };
  for (const Case& c : cases) {
    const units::Size size = units::ParseSize(c.text, c.rule);
    EXPECT_EQ(size.bytes, c.bytes) << c.text;
    EXPECT_EQ(size.ok(), c.bytes != 0) << c.text << ": " << size.error;
    if (*c.error) {
      EXPECT_NE(size.error.find(c.error), std::string::npos) << c.text << ": " << size.error;
    }
  }

  // Through CLI11: the option receives bytes, and a refusal is a usage
  // error whose text names the option and the cause.
  CLI::App app;
  std::uint64_t bytes = 0;
  app.add_option("--size", bytes)->transform(units::SizeInBytes(units::kFileSize));
  app.parse("--size 1.5G", false);
  EXPECT_EQ(bytes, 3ull << 29);
  try {
    app.parse("--size 1,5", false);
    ADD_FAILURE() << "1,5 was taken";
  } catch (const CLI::ValidationError& e) {
    EXPECT_EQ(std::string(e.what()), "--size: must be a size such as 200, 64M or 1G, not '1,5'");
    EXPECT_EQ(e.get_exit_code(), static_cast<int>(CLI::ExitCodes::ValidationError));
  }
}

}  // namespace
