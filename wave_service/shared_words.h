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

// Sets the bits of `set` and clears those of `clear` in one atomic step, so a
// caller's concurrent store of the whole word is never undone by a
// read-modify-write racing it.
inline void UpdateSharedBits(std::uint32_t& word, std::uint32_t set, std::uint32_t clear) {
  std::atomic_ref<std::uint32_t> shared(word);
  std::uint32_t old = shared.load(std::memory_order_relaxed);
  while (!shared.compare_exchange_weak(old, (old & ~clear) | set, std::memory_order_acq_rel,
                                       std::memory_order_relaxed)) {
  }
}

}  // namespace wave_service
