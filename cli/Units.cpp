#include "cli/Units.h"

#include <algorithm>
#include <cctype>

namespace units {
namespace {

using Wide = unsigned __int128;

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

std::string Decimal(Wide v) {
  if (v == 0) return "0";
  std::string s;
  for (; v != 0; v /= 10) s += static_cast<char>('0' + static_cast<int>(v % 10));
  std::reverse(s.begin(), s.end());
  return s;
}

// The bytes a unit text stands for: 0 when it is none.
std::uint64_t UnitBytes(std::string_view unit, std::uint64_t plainUnit) {
  if (unit.empty()) return plainUnit;
  if (unit == "B") return 1;
  const std::string_view powers = "kmgt";
  const auto at = powers.find(static_cast<char>(std::tolower(static_cast<unsigned char>(unit[0]))));
  if (at == std::string_view::npos) return 0;
  const std::string_view rest = unit.substr(1);
  if (!(rest.empty() || rest == "B" || rest == "b" || rest == "iB" || rest == "ib")) return 0;
  return std::uint64_t{1} << (10 * (at + 1));
}

}  // namespace

Size ParseSize(std::string_view text, const SizeRule& rule) {
  const std::string quoted = "'" + std::string(text) + "'";
  const std::string malformed = "must be a size such as " + rule.examples + ", not " + quoted;
  auto fail = [](std::string why) { return Size{0, std::move(why)}; };

  std::size_t at = 0;
  const bool negative = !text.empty() && text[0] == '-';
  if (negative) ++at;
  // The whole part, kept only as far as it can matter: past 2^64 it is too
  // large for any unit.
  const std::size_t wholeStart = at;
  Wide whole = 0;
  bool huge = false;
  for (; at < text.size() && IsDigit(text[at]); ++at) {
    whole = whole * 10 + static_cast<unsigned>(text[at] - '0');
    if (whole > std::numeric_limits<std::uint64_t>::max()) {
      huge = true;
      whole = std::numeric_limits<std::uint64_t>::max();
    }
  }
  if (at == wholeStart) return fail(malformed);
  // The fraction, without its trailing zeros.
  std::string fraction;
  if (at < text.size() && text[at] == '.') {
    const std::size_t fractionStart = ++at;
    for (; at < text.size() && IsDigit(text[at]); ++at) fraction += text[at];
    if (at == fractionStart) return fail(malformed);
    while (!fraction.empty() && fraction.back() == '0') fraction.pop_back();
  }
  const std::string_view unitText = text.substr(at);
  const std::uint64_t unit = UnitBytes(unitText, rule.plainUnit);
  if (unit == 0) {
    if (unitText == "b")
      return fail(malformed + ": B is bytes here, b would be dd's 512-byte block");
    if (!std::isalpha(static_cast<unsigned char>(unitText[0]))) return fail(malformed);
    return fail(malformed + ": '" + std::string(unitText) +
                "' is no unit; the units are k, M, G and T, each 1,024 times the one before");
  }
  // Eighteen digits keep the products below within 128 bits; a fraction
  // that needs more is no whole number of bytes of these units.
  if (fraction.size() > 18) return fail("must be a whole number of bytes, not " + quoted);
  Wide scale = 1, part = 0;
  for (char c : fraction) {
    scale *= 10;
    part = part * 10 + static_cast<unsigned>(c - '0');
  }
  const Wide fractionBytes = part * unit;
  if (fractionBytes % scale != 0) {
    std::string digits = Decimal(fractionBytes % scale + scale).substr(1);
    while (digits.back() == '0') digits.pop_back();
    return fail("must be a whole number of bytes, not " + quoted + " (" +
                Decimal(whole * unit + fractionBytes / scale) + "." + digits + " bytes)");
  }
  const Wide bytes = whole * unit + fractionBytes / scale;
  if (bytes == 0 || negative) return fail("must be more than 0, not " + quoted);
  if (huge || bytes > rule.max)
    return fail("must be at most " + Decimal(rule.max) + " bytes, not " + quoted);
  if (bytes % rule.multipleOf != 0)
    return fail("must be a multiple of " + Decimal(rule.multipleOf) + " bytes, not " + quoted +
                " (" + Decimal(bytes) + " bytes)");
  return Size{static_cast<std::uint64_t>(bytes), ""};
}

CLI::Validator SizeInBytes(const SizeRule& rule) {
  return CLI::Validator(
      [rule](std::string& text) -> std::string {
        const Size size = ParseSize(text, rule);
        if (size.ok()) text = std::to_string(size.bytes);
        return size.error;
      },
      "");
}

}  // namespace units
