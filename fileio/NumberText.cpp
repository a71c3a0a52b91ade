#include "fileio/NumberText.h"

#include <cfenv>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>

namespace numtext {
namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// A number split into its parts: sign, the digits without the decimal
// separator, and the power of ten of the last digit.
struct Parsed {
  bool negative = false;
  std::string digits;
  long exponent = 0;
};

// Strict parse of a whole text; see ToDouble.
std::optional<Parsed> ParseStrict(std::string_view text, char sep) {
  const auto first = text.find_first_not_of(' ');
  if (first == std::string_view::npos) return std::nullopt;
  text = text.substr(first, text.find_last_not_of(' ') - first + 1);
  Parsed p;
  std::size_t i = 0;
  if (text[i] == '+' || text[i] == '-') p.negative = text[i++] == '-';
  bool sawDigit = false, sawSep = false;
  for (; i < text.size(); ++i) {
    if (IsDigit(text[i])) {
      p.digits += text[i];
      sawDigit = true;
      if (sawSep) --p.exponent;
    } else if (text[i] == sep && !sawSep) {
      sawSep = true;
    } else {
      break;
    }
  }
  if (!sawDigit) return std::nullopt;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    bool negExp = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negExp = text[i++] == '-';
    if (i == text.size()) return std::nullopt;
    long e = 0;
    for (; i < text.size() && IsDigit(text[i]); ++i)
      e = std::min(e * 10 + (text[i] - '0'), 100000L);
    p.exponent += negExp ? -e : e;
  }
  if (i != text.size()) return std::nullopt;
  return p;
}

std::string ToCText(const Parsed& p) {
  return (p.negative ? "-" : "") + p.digits + "e" + std::to_string(p.exponent);
}

// The decimal digits of |v| rounded to `significant` digits; the value is
// 0.digits x 10^point.
struct Digits {
  std::string digits;
  int point = 0;
};

Digits DecimalDigits(double v, int significant) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*e", significant - 1, std::fabs(v));
  Digits d;
  std::string_view s(buf);
  const auto e = s.find('e');
  for (char c : s.substr(0, e))
    if (IsDigit(c)) d.digits += c;
  d.point = std::atoi(buf + e + 1) + 1;
  return d;
}

std::string StripTrailingZeros(std::string s) {
  while (s.size() > 1 && s.back() == '0') s.pop_back();
  return s;
}

std::string General(double v, int significant, char sep) {
  if (v == 0 || std::isnan(v)) return std::isnan(v) ? "NaN" : "0";
  if (std::isinf(v)) return v < 0 ? "-Infinity" : "Infinity";
  const Digits d = DecimalDigits(v, significant);
  const std::string digits = StripTrailingZeros(d.digits);
  const int k = static_cast<int>(digits.size());
  const int exp10 = d.point - 1;  // power of ten of the first digit
  std::string out = v < 0 ? "-" : "";
  if (exp10 < significant && k - 1 - exp10 <= significant) {
    if (d.point <= 0) {
      out += "0";
      out += sep;
      out += std::string(static_cast<std::size_t>(-d.point), '0') + digits;
    } else if (d.point >= k) {
      out += digits + std::string(static_cast<std::size_t>(d.point - k), '0');
    } else {
      out += digits.substr(0, static_cast<std::size_t>(d.point));
      out += sep;
      out += digits.substr(static_cast<std::size_t>(d.point));
    }
    return out;
  }
  out += digits[0];
  if (k > 1) {
    out += sep;
    out += digits.substr(1);
  }
  char e[16];
  std::snprintf(e, sizeof e, "E%c%02d", exp10 < 0 ? '-' : '+', std::abs(exp10));
  return out + e;
}

}  // namespace

double LeadingNumber(std::string_view text) {
  std::string s;
  for (char c : text)
    if (c != ' ' && c != '\t' && c != '\n' && c != '\r') s += c;
  if (s.size() >= 2 && s[0] == '&' && (s[1] == 'H' || s[1] == 'h' || s[1] == 'O' || s[1] == 'o')) {
    const int base = (s[1] == 'H' || s[1] == 'h') ? 16 : 8;
    std::uint64_t value = 0;
    std::size_t i = 2;
    for (; i < s.size(); ++i) {
      int digit = -1;
      const char c = s[i];
      if (IsDigit(c))
        digit = c - '0';
      else if (base == 16 && c >= 'a' && c <= 'f')
        digit = c - 'a' + 10;
      else if (base == 16 && c >= 'A' && c <= 'F')
        digit = c - 'A' + 10;
      if (digit < 0 || digit >= base) break;
      value = (value * static_cast<unsigned>(base) + static_cast<unsigned>(digit)) & 0xFFFFFFFFu;
    }
    const bool asLong = (i < s.size() && s[i] == '&') || value > 0xFFFF;
    if (asLong) return static_cast<std::int32_t>(static_cast<std::uint32_t>(value));
    return static_cast<std::int16_t>(static_cast<std::uint16_t>(value));
  }
  std::size_t i = 0;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
  const std::size_t digitsFrom = i;
  while (i < s.size() && IsDigit(s[i])) ++i;
  if (i < s.size() && s[i] == '.') ++i;
  while (i < s.size() && IsDigit(s[i])) ++i;
  if (i == digitsFrom || (i == digitsFrom + 1 && s[digitsFrom] == '.')) return 0;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E' || s[i] == 'd' || s[i] == 'D')) {
    std::size_t j = i + 1;
    if (j < s.size() && (s[j] == '+' || s[j] == '-')) ++j;
    if (j < s.size() && IsDigit(s[j])) {
      s[i] = 'e';
      i = j;
      while (i < s.size() && IsDigit(s[i])) ++i;
    }
  }
  return std::strtod(s.substr(0, i).c_str(), nullptr);
}

std::optional<double> ToDouble(std::string_view text, char decimalSeparator) {
  const auto p = ParseStrict(text, decimalSeparator);
  if (!p) return std::nullopt;
  const std::string c = ToCText(*p);
  double v = 0;
  const auto r = std::from_chars(c.data(), c.data() + c.size(), v);
  if (r.ec != std::errc() || r.ptr != c.data() + c.size()) return std::nullopt;
  return v;
}

std::optional<float> ToSingle(std::string_view text, char decimalSeparator) {
  const auto p = ParseStrict(text, decimalSeparator);
  if (!p) return std::nullopt;
  const std::string c = ToCText(*p);
  float v = 0;
  const auto r = std::from_chars(c.data(), c.data() + c.size(), v);
  if (r.ec != std::errc() || r.ptr != c.data() + c.size()) return std::nullopt;
  return v;
}

bool IsNumber(std::string_view text, char decimalSeparator, bool* negative) {
  const auto p = ParseStrict(text, decimalSeparator);
  if (p && negative)
    *negative = p->negative && p->digits.find_first_not_of('0') != std::string::npos;
  return p.has_value();
}

std::optional<std::int64_t> ToFixed4(std::string_view text, char decimalSeparator) {
  auto p = ParseStrict(text, decimalSeparator);
  if (!p) return std::nullopt;
  std::string digits = p->digits;
  digits.erase(0, std::min(digits.find_first_not_of('0'), digits.size()));
  if (digits.empty()) return 0;
  const long shift = p->exponent + 4;  // power of ten of the last digit, in ten-thousandths
  const long len = static_cast<long>(digits.size());
  if (len + shift > 20) return std::nullopt;
  unsigned __int128 q = 0;
  const long keep = std::max(0L, len + std::min(shift, 0L));
  for (long i = 0; i < keep; ++i)
    q = q * 10 + static_cast<unsigned>(digits[static_cast<std::size_t>(i)] - '0');
  for (long i = 0; i < shift; ++i) q *= 10;
  if (shift < 0) {
    // Round the dropped digits half to even; they start -shift places
    // below the last kept one, so short ones are padded with zeros.
    const auto droppedLen = static_cast<std::size_t>(-shift);
    std::string dropped = digits.substr(static_cast<std::size_t>(keep));
    dropped.insert(0, droppedLen - dropped.size(), '0');
    std::string half(droppedLen, '0');
    half.front() = '5';
    const int cmp = dropped.compare(half);
    if (cmp > 0 || (cmp == 0 && (q & 1))) ++q;
  }
  const unsigned __int128 limit =
      static_cast<unsigned __int128>(std::numeric_limits<std::int64_t>::max()) +
      (p->negative ? 1 : 0);
  if (q > limit) return std::nullopt;
  return p->negative ? static_cast<std::int64_t>(-static_cast<__int128>(q))
                     : static_cast<std::int64_t>(q);
}

std::optional<std::int32_t> ToInt32(double v) {
  if (std::isnan(v)) return std::nullopt;
  const int saved = std::fegetround();
  std::fesetround(FE_TONEAREST);
  const double r = std::nearbyint(v);
  std::fesetround(saved);
  if (r < std::numeric_limits<std::int32_t>::min() || r > std::numeric_limits<std::int32_t>::max())
    return std::nullopt;
  return static_cast<std::int32_t>(r);
}

std::string GeneralSingle(float v, char decimalSeparator) {
  return General(static_cast<double>(v), 7, decimalSeparator);
}

std::string GeneralDouble(double v, char decimalSeparator) {
  return General(v, 15, decimalSeparator);
}

std::string Format(double v, std::string_view pattern, char decimalSeparator) {
  const auto dot = pattern.find('.');
  const std::string_view whole = pattern.substr(0, dot);
  const std::string_view frac =
      dot == std::string_view::npos ? std::string_view() : pattern.substr(dot + 1);
  std::size_t minWhole = 0;
  for (char c : whole)
    if (c == '0') ++minWhole;
  const int decimals = static_cast<int>(frac.size());
  if (std::isnan(v) || std::isinf(v)) return GeneralDouble(v, decimalSeparator);
  // Whole numbers in whole patterns, such as file numbers in "0000", are
  // formatted in every loop iteration: no digit expansion needed.
  if (decimals == 0 && v == std::trunc(v) && std::fabs(v) < 1e15) {
    const auto whole = static_cast<long long>(v);
    std::string digits = whole == 0 ? "" : std::to_string(whole < 0 ? -whole : whole);
    if (digits.size() < minWhole) digits.insert(0, minWhole - digits.size(), '0');
    if (whole < 0) digits.insert(digits.begin(), '-');
    return digits;
  }

  // Round |v| x 10^decimals to a whole number, halves away from zero, from
  // the 15 significant digits the runtime works with.
  const Digits d = v == 0 ? Digits{"0", 1} : DecimalDigits(v, 15);
  const int keep = d.point + decimals;  // digits of d left of the new point
  std::string n;
  if (keep == 0) {
    n.assign(1, d.digits[0] >= '5' ? '1' : '0');
  } else if (keep < 0) {
    n.assign(1, '0');
  } else {
    const auto k = static_cast<std::size_t>(keep);
    n = d.digits.substr(0, std::min(k, d.digits.size()));
    n.resize(k, '0');
    if (k < d.digits.size() && d.digits[k] >= '5') {
      auto i = n.size();
      while (i > 0 && n[i - 1] == '9') n[--i] = '0';
      if (i == 0)
        n.insert(n.begin(), '1');
      else
        ++n[i - 1];
    }
  }
  const auto dec = static_cast<std::size_t>(decimals);
  if (n.size() < dec + 1) n.insert(0, dec + 1 - n.size(), '0');
  std::string wholeDigits = n.substr(0, n.size() - dec);
  const std::string fracDigits = n.substr(n.size() - dec);
  wholeDigits.erase(0, std::min(wholeDigits.find_first_not_of('0'), wholeDigits.size()));
  if (wholeDigits.size() < minWhole) wholeDigits.insert(0, minWhole - wholeDigits.size(), '0');
  const bool nonZero = (wholeDigits + fracDigits).find_first_not_of('0') != std::string::npos;
  std::string out = (v < 0 && nonZero) ? "-" : "";
  out += wholeDigits;
  if (decimals > 0) {
    out += decimalSeparator;
    out += fracDigits;
  }
  return out;
}

}  // namespace numtext
