// Atomic access to the header words that a caller and a device thread both
// touch (bytes recorded, flags and the service's own words). Both sides go
// through these so that a running device never races a caller's update.
#pragma once

#include <atomic>
#include <cstdint>

namespace wave_service {

inline std::uint32_t LoadShared(std::uint32_t& word) {
  return std::atomic_ref<std::uint32_t>(word).load(std::memory_order_acquire);
}

inline void StoreShared(std::uint32_t& word, std::uint32_t value) {
  std::atomic_ref<std::uint32_t>(word).store(value, std::memory_order_release);
}

}  // namespace wave_service
