// UTF-8 decoding for host-made automation strings: rejects overlong forms,
// surrogates and code points past U+10FFFF, one U+FFFD per bad byte.
#include "host/binding/host_strings.h"

#include <cstdint>

namespace mirn::host {
namespace {

constexpr char16_t kReplacement = 0xFFFD;

// Decodes one sequence at text[at]; returns its length in bytes, or 0 when
// the bytes there are not a valid sequence.
std::size_t DecodeOne(std::string_view text, std::size_t at, char32_t* code_point) {
  const auto lead = static_cast<std::uint8_t>(text[at]);
  std::size_t length;
  char32_t value;
  char32_t minimum;
  if (lead < 0x80) {
    *code_point = lead;
    return 1;
  } else if ((lead & 0xE0) == 0xC0) {
    length = 2, value = lead & 0x1F, minimum = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, value = lead & 0x0F, minimum = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, value = lead & 0x07, minimum = 0x10000;
  } else {
    return 0;
  }
  if (text.size() - at < length) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    const auto next = static_cast<std::uint8_t>(text[at + i]);
    if ((next & 0xC0) != 0x80) return 0;
    value = (value << 6) | (next & 0x3F);
  }
  if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
  *code_point = value;
  return length;
}

}  // namespace

std::u16string Utf8ToUtf16(std::string_view utf8) {
  std::u16string out;
  out.reserve(utf8.size());
  for (std::size_t at = 0; at < utf8.size();) {
    char32_t code_point;
    const std::size_t length = DecodeOne(utf8, at, &code_point);
    if (length == 0) {
      out.push_back(kReplacement);
      ++at;
      continue;
    }
    if (code_point >= 0x10000) {
      code_point -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (code_point >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (code_point & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(code_point));
    }
    at += length;
  }
  return out;
}

AutomationString NewAutomationString(std::string_view utf8) {
  const std::u16string wide = Utf8ToUtf16(utf8);
  if (wide.size() > UINT32_MAX) return nullptr;  // the length must fit its prefix
  // The same 16-bit units; Windows spells their type wchar_t.
  return SysAllocStringLen(reinterpret_cast<const AutomationChar*>(wide.data()),
                           static_cast<std::uint32_t>(wide.size()));
}

}  // namespace mirn::host
