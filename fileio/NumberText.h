// Numbers read from and written into the window's fields, with the rules of
// the desktop runtime the tool was first written for. The decimal separator
// is a parameter: the window passes the user's, the tests pass both.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace numtext {

// The leading number of a text, 0 when it does not begin with one. Blanks,
// tabs and line breaks are ignored anywhere; the decimal point is always
// "."; "&H" and "&O" introduce hexadecimal and octal whole numbers, 16-bit
// when they fit in 16 bits and 32-bit otherwise or with a trailing "&".
// Too large a number gives an infinity.
double LeadingNumber(std::string_view text);

// The whole text as a number: optional blanks around it, an optional sign,
// digits with at most one decimal separator, an optional exponent. nullopt
// when the text is anything else or out of range.
std::optional<double> ToDouble(std::string_view text, char decimalSeparator);
std::optional<float> ToSingle(std::string_view text, char decimalSeparator);
// True when the whole text is a number of that form, whatever its size;
// negative tells its sign.
bool IsNumber(std::string_view text, char decimalSeparator, bool* negative = nullptr);
// The same as a fixed-point number with four decimal places, in
// ten-thousandths, rounded half to even.
std::optional<std::int64_t> ToFixed4(std::string_view text, char decimalSeparator);

// Whole number nearest to v, halves to even; nullopt outside 32 bits.
std::optional<std::int32_t> ToInt32(double v);

// General number format: at most 7 (single) or 15 (double) significant
// digits, no trailing zeros, no grouping, an exponent only where the plain
// form would need more digits than that.
std::string GeneralSingle(float v, char decimalSeparator);
std::string GeneralDouble(double v, char decimalSeparator);

// Pattern formats of "0" and "#" digits with an optional decimal point, such
// as "#", "#0.0", "0.0" and "0000". Rounds halves away from zero; "#" shows
// nothing for a whole part of 0.
std::string Format(double v, std::string_view pattern, char decimalSeparator);

}  // namespace numtext
