// Number texts of the window's fields.
#include <gtest/gtest.h>

#include <cmath>

#include "fileio/NumberText.h"

using namespace numtext;

namespace {

// The block-size label computes sectors x 0.5 KB in single precision.
std::string BlockSizeText(const char* sectors, char sep) {
  const float kb = ToSingle(sectors, sep).value_or(0.0f) * 0.5f;
  if (kb >= 1024) return GeneralSingle(kb / 1024, sep) + " MB";
  if (kb >= 1) return GeneralSingle(kb, sep) + " KB";
  return GeneralSingle(kb * 1024, sep) + " Bytes";
}

TEST(GeneralFormat, SingleKeepsSevenSignificantDigits) {
  EXPECT_EQ(BlockSizeText("2048", '.'), "1 MB");
  EXPECT_EQ(BlockSizeText("1", '.'), "512 Bytes");
  EXPECT_EQ(BlockSizeText("3", '.'), "1.5 KB");
  EXPECT_EQ(BlockSizeText("3", ','), "1,5 KB");
  EXPECT_EQ(BlockSizeText("1000", '.'), "500 KB");
  EXPECT_EQ(BlockSizeText("3000", '.'), "1.464844 MB");
  EXPECT_EQ(BlockSizeText("-2", '.'), "-1024 Bytes");
  EXPECT_EQ(BlockSizeText("abc", '.'), "0 Bytes");
  EXPECT_EQ(GeneralSingle(1234567.0f, '.'), "1234567");
  EXPECT_EQ(GeneralSingle(12345678.0f, '.'), "1.234568E+07");
  EXPECT_EQ(GeneralSingle(0.001f, '.'), "0.001");
}

TEST(GeneralFormat, DoubleKeepsFifteenAndSwitchesToExponentsOnlyWhenNeeded) {
  EXPECT_EQ(GeneralDouble(1.5, ','), "1,5");
  EXPECT_EQ(GeneralDouble(1.0 / 3, '.'), "0.333333333333333");
  EXPECT_EQ(GeneralDouble(1.0 / 30, '.'), "3.33333333333333E-02");
  EXPECT_EQ(GeneralDouble(1e15, '.'), "1E+15");
  EXPECT_EQ(GeneralDouble(123456789012345.0, '.'), "123456789012345");
  EXPECT_EQ(GeneralDouble(-0.25, '.'), "-0.25");
}

TEST(PatternFormat, RoundsHalvesAwayFromZero) {
  EXPECT_EQ(Format(0.49, "#", '.'), "");
  EXPECT_EQ(Format(0.5, "#", '.'), "1");
  EXPECT_EQ(Format(2.5, "#", '.'), "3");
  EXPECT_EQ(Format(209715200.0 / 1048576, "#", '.'), "200");
  EXPECT_EQ(Format(0.05, "#0.0", '.'), "0.1");
  EXPECT_EQ(Format(1234.56, "#0.0", ','), "1234,6");
  EXPECT_EQ(Format(99.96, "0.0", '.'), "100.0");
  EXPECT_EQ(Format(-3.25, "0.0", '.'), "-3.3");
  EXPECT_EQ(Format(-0.01, "0.0", '.'), "0.0");
  EXPECT_EQ(Format(7, "0000", '.'), "0007");
  EXPECT_EQ(Format(12345, "0000", '.'), "12345");
  EXPECT_EQ(Format(1e-20, "#0.0", '.'), "0.0");
}

TEST(LeadingNumber, ReadsTheNumberAtTheStartAndIgnoresBlanks) {
  EXPECT_EQ(LeadingNumber(" 1 6 0 files"), 160);
  EXPECT_EQ(LeadingNumber("12abc"), 12);
  EXPECT_EQ(LeadingNumber(".5"), 0.5);
  EXPECT_EQ(LeadingNumber("2.5.3"), 2.5);
  EXPECT_EQ(LeadingNumber("1e3x"), 1000);
  EXPECT_EQ(LeadingNumber("1e"), 1);
  EXPECT_EQ(LeadingNumber("1,5"), 1);  // the point is the only separator here
  EXPECT_EQ(LeadingNumber("abc"), 0);
  EXPECT_EQ(LeadingNumber("-"), 0);
  EXPECT_EQ(LeadingNumber("."), 0);
  EXPECT_TRUE(std::isinf(LeadingNumber("1e999")));
}

TEST(LeadingNumber, HexadecimalFlagTagsAddUpToTheirBits) {
  EXPECT_EQ(LeadingNumber("&H80000000&"), -2147483648.0);
  EXPECT_EQ(LeadingNumber("&HFFFF"), -1);
  EXPECT_EQ(LeadingNumber("&HFFFF&"), 65535);
  EXPECT_EQ(LeadingNumber("&O17"), 15);
  double sum = 0;
  for (const char* tag : {"10000000", "20000000", "80000000", "08000000"})
    sum += LeadingNumber(std::string("&H") + tag + "&");
  EXPECT_EQ(static_cast<std::uint32_t>(static_cast<std::int32_t>(sum)), 0xB8000000u);
}

TEST(WholeTextConversions, AcceptOnlyPlainNumbersInTheGivenSeparator) {
  EXPECT_EQ(ToSingle(" -2 ", '.'), -2.0f);
  EXPECT_EQ(ToSingle("1,5", ','), 1.5f);
  EXPECT_FALSE(ToSingle("1,5", '.'));
  EXPECT_FALSE(ToSingle("", '.'));
  EXPECT_FALSE(ToSingle("abc", '.'));
  EXPECT_FALSE(ToSingle("12abc", '.'));
  EXPECT_FALSE(ToSingle("1e39", '.'));
  EXPECT_EQ(ToDouble("1e39", '.'), 1e39);
  EXPECT_EQ(ToDouble("2.5E-1", '.'), 0.25);
  EXPECT_FALSE(ToDouble("1e", '.'));
}

TEST(WholeTextConversions, FixedPointRoundsTheFifthDecimalHalfToEven) {
  EXPECT_EQ(ToFixed4("0.5", '.'), 5000);
  EXPECT_EQ(ToFixed4("2,5", ','), 25000);
  EXPECT_EQ(ToFixed4("1.00005", '.'), 10000);
  EXPECT_EQ(ToFixed4("1.00015", '.'), 10002);
  EXPECT_EQ(ToFixed4("1.000051", '.'), 10001);
  EXPECT_EQ(ToFixed4("-1.00015", '.'), -10002);
  EXPECT_EQ(ToFixed4("1e-5", '.'), 0);
  EXPECT_EQ(ToFixed4("6e-9", '.'), 0);
  EXPECT_EQ(ToFixed4("0.00006", '.'), 1);
  EXPECT_EQ(ToFixed4("1.5e2", '.'), 1500000);
  EXPECT_EQ(ToFixed4("922337203685477.5807", '.'), INT64_MAX);
  EXPECT_EQ(ToFixed4("-922337203685477.5808", '.'), INT64_MIN);
  EXPECT_FALSE(ToFixed4("922337203685477.5808", '.'));
  EXPECT_FALSE(ToFixed4("1e300", '.'));
  EXPECT_FALSE(ToFixed4("ten", '.'));
}

TEST(ToInt32, RoundsHalvesToEvenAndRefusesWhatDoesNotFit) {
  EXPECT_EQ(ToInt32(2.5), 2);
  EXPECT_EQ(ToInt32(3.5), 4);
  EXPECT_EQ(ToInt32(-2.5), -2);
  EXPECT_EQ(ToInt32(-2147483648.0), INT32_MIN);
  EXPECT_FALSE(ToInt32(2147483647.5));
  EXPECT_FALSE(ToInt32(INFINITY));
  EXPECT_FALSE(ToInt32(NAN));
}

}  // namespace
