#include "cli/JsonText.h"

#include <cstddef>

namespace {

// Length of the valid UTF-8 sequence at s[i], 0 when there is none: no
// overlong forms, no surrogates, nothing above U+10FFFF.
std::size_t SequenceAt(const std::string& s, std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char c = byte(i);
  if (c < 0x80) return 1;
  std::size_t n = 0;
  unsigned char low = 0x80, high = 0xBF;  // bounds of the second byte
  if (c >= 0xC2 && c <= 0xDF)
    n = 2;
  else if (c == 0xE0)
    n = 3, low = 0xA0;
  else if (c == 0xED)
    n = 3, high = 0x9F;
  else if (c >= 0xE1 && c <= 0xEF)
    n = 3;
  else if (c == 0xF0)
    n = 4, low = 0x90;
  else if (c == 0xF4)
    n = 4, high = 0x8F;
  else if (c >= 0xF1 && c <= 0xF3)
    n = 4;
  else
    return 0;
  if (i + n > s.size() || byte(i + 1) < low || byte(i + 1) > high) return 0;
  for (std::size_t k = 2; k < n; ++k)
    if (byte(i + k) < 0x80 || byte(i + k) > 0xBF) return 0;
  return n;
}

}  // namespace

nlohmann::json JsonText(const std::string& bytes) {
  std::string text;
  bool valid = true;
  for (std::size_t i = 0; i < bytes.size();) {
    if (const std::size_t n = SequenceAt(bytes, i)) {
      text.append(bytes, i, n);
      i += n;
    } else {
      text += "\xEF\xBF\xBD";  // U+FFFD
      valid = false;
      ++i;
    }
  }
  if (valid) return bytes;
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(bytes.size() * 2);
  for (const char c : bytes) {
    hex += kDigits[static_cast<unsigned char>(c) >> 4];
    hex += kDigits[static_cast<unsigned char>(c) & 0xF];
  }
  return {{"hex", hex}, {"text", text}};
}
