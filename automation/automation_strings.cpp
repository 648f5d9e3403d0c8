// The automation allocator: length-prefixed 16-bit strings shared by a host
// and the library, so that a string one allocates the other can release.
#include "automation_strings.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "automation/automation_stats.h"

namespace {

constexpr std::size_t kPrefix = sizeof(std::uint32_t);
std::atomic<std::uint64_t> g_allocated{0};
std::atomic<std::uint64_t> g_released{0};

std::uint32_t* PrefixOf(AutomationString text) {
  return reinterpret_cast<std::uint32_t*>(reinterpret_cast<unsigned char*>(text) - kPrefix);
}

}  // namespace

extern "C" {

AutomationString SysAllocStringLen(const AutomationChar* text, uint32_t length) {
  // The byte length must fit its 32-bit prefix.
  if (length > (std::numeric_limits<std::uint32_t>::max() - kPrefix - 2) / 2) return nullptr;
  const std::size_t bytes = std::size_t{length} * sizeof(AutomationChar);
  auto* block = static_cast<unsigned char*>(std::malloc(kPrefix + bytes + sizeof(AutomationChar)));
  if (block == nullptr) return nullptr;
  const auto byte_length = static_cast<std::uint32_t>(bytes);
  std::memcpy(block, &byte_length, kPrefix);
  auto* chars = reinterpret_cast<AutomationChar*>(block + kPrefix);
  if (text != nullptr) {
    std::memcpy(chars, text, bytes);
  } else {
    std::memset(chars, 0, bytes);
  }
  chars[length] = 0;
  g_allocated.fetch_add(1, std::memory_order_relaxed);
  return chars;
}

AutomationString SysAllocString(const AutomationChar* text) {
  if (text == nullptr) return nullptr;
  std::uint32_t length = 0;
  while (text[length] != 0) ++length;
  return SysAllocStringLen(text, length);
}

uint32_t SysStringByteLen(AutomationString text) {
  if (text == nullptr) return 0;
  std::uint32_t bytes;
  std::memcpy(&bytes, PrefixOf(text), kPrefix);
  return bytes;
}

uint32_t SysStringLen(AutomationString text) {
  return SysStringByteLen(text) / sizeof(AutomationChar);
}

void SysFreeString(AutomationString text) {
  if (text == nullptr) return;
  std::free(PrefixOf(text));
  g_released.fetch_add(1, std::memory_order_relaxed);
}

AutomationString AutomationStringFromUtf8(const char* utf8) {
  if (utf8 == nullptr) return nullptr;
  const auto* bytes = reinterpret_cast<const unsigned char*>(utf8);
  const std::size_t size = std::strlen(utf8);
  // Never more UTF-16 units than UTF-8 bytes.
  if (size > std::numeric_limits<std::uint32_t>::max() / 4) return nullptr;
  AutomationString text = SysAllocStringLen(nullptr, static_cast<std::uint32_t>(size));
  if (text == nullptr) return nullptr;
  std::uint32_t units = 0;
  for (std::size_t at = 0; at < size;) {
    const unsigned char lead = bytes[at];
    // Sequence length and the smallest code point it may hold (no over-long forms).
    const std::size_t length = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3
                             : (lead >> 3) == 0x1E ? 4 : 0;
    constexpr char32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (length == 0 || at + length > size) break;
    char32_t point = length == 1 ? lead : lead & (0x7F >> length);
    bool valid = true;
    for (std::size_t i = 1; i < length; ++i) {
      valid = valid && (bytes[at + i] & 0xC0) == 0x80;
      point = point << 6 | (bytes[at + i] & 0x3F);
    }
    if (!valid || point < kSmallest[length] || point > 0x10FFFF ||
        (point >= 0xD800 && point <= 0xDFFF)) {
      break;
    }
    if (point > 0xFFFF) {
      text[units++] = static_cast<AutomationChar>(0xD800 + ((point - 0x10000) >> 10));
      text[units++] = static_cast<AutomationChar>(0xDC00 + ((point - 0x10000) & 0x3FF));
    } else {
      text[units++] = static_cast<AutomationChar>(point);
    }
    at += length;
    if (at == size) {
      // Valid to the end: the prefix and terminator follow the real length.
      const std::uint32_t byte_length = units * sizeof(AutomationChar);
      std::memcpy(PrefixOf(text), &byte_length, kPrefix);
      text[units] = 0;
      return text;
    }
  }
  if (size == 0) return text;
  SysFreeString(text);
  return nullptr;
}

uint64_t AutomationStringsAllocated(void) { return g_allocated.load(std::memory_order_relaxed); }
uint64_t AutomationStringsReleased(void) { return g_released.load(std::memory_order_relaxed); }

}  // extern "C"
