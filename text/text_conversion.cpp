// UTF-16 to UTF-8, the default code page of this platform, written into a
// caller's bounded buffer without allocating.
#include "text/text_conversion.h"

#include <cstdint>

namespace text_conversion {

namespace {

constexpr char kUnmappable = '?';

bool IsHighSurrogate(char32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool IsLowSurrogate(char32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

// Encodes one code point (never a surrogate) into bytes; returns how many.
std::size_t EncodeUtf8(char32_t code, char (&bytes)[4]) {
  if (code < 0x80) {
    bytes[0] = static_cast<char>(code);
    return 1;
  }
  if (code < 0x800) {
    bytes[0] = static_cast<char>(0xC0 | (code >> 6));
    bytes[1] = static_cast<char>(0x80 | (code & 0x3F));
    return 2;
  }
  if (code < 0x10000) {
    bytes[0] = static_cast<char>(0xE0 | (code >> 12));
    bytes[1] = static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    bytes[2] = static_cast<char>(0x80 | (code & 0x3F));
    return 3;
  }
  bytes[0] = static_cast<char>(0xF0 | (code >> 18));
  bytes[1] = static_cast<char>(0x80 | ((code >> 12) & 0x3F));
  bytes[2] = static_cast<char>(0x80 | ((code >> 6) & 0x3F));
  bytes[3] = static_cast<char>(0x80 | (code & 0x3F));
  return 4;
}

}  // namespace

std::size_t WideLength(const WideChar* text) {
  if (text == nullptr) return 0;
  std::size_t length = 0;
  while (text[length] != 0) ++length;
  return length;
}

std::size_t WideToNarrow(const WideChar* text, std::size_t count, char* out,
                         std::size_t out_size) {
  std::size_t needed = 0;
  bool writing = true;  // stays false once a character did not fit
  for (std::size_t i = 0; i < count; ++i) {
    char32_t code = text[i];
    if (IsHighSurrogate(code) && i + 1 < count && IsLowSurrogate(text[i + 1])) {
      code = 0x10000 + ((code - 0xD800) << 10) + (char32_t{text[i + 1]} - 0xDC00);
      ++i;
    } else if (IsHighSurrogate(code) || IsLowSurrogate(code)) {
      code = kUnmappable;
    }
    char bytes[4];
    const std::size_t length = EncodeUtf8(code, bytes);
    // While writing, needed bytes have been written, so needed <= out_size.
    // Once one character does not fit, later ones are not written either, so
    // the output stays a prefix of the full conversion.
    writing = writing && out_size - needed >= length;
    if (writing) {
      for (std::size_t b = 0; b < length; ++b) out[needed + b] = bytes[b];
    }
    needed += length;
  }
  return needed;
}

}  // namespace text_conversion
