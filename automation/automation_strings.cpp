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

uint64_t AutomationStringsAllocated(void) { return g_allocated.load(std::memory_order_relaxed); }
uint64_t AutomationStringsReleased(void) { return g_released.load(std::memory_order_relaxed); }

}  // extern "C"
