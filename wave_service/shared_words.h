// Atomic access to the header words that a caller and a device thread both
// touch (bytes recorded, flags and the service's own words). Both sides go
// through these so that a running device never races a caller's update.
// Also the copies into and out of the sample store, which both sides share
// without words of their own.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace wave_service {

inline std::uint32_t LoadShared(std::uint32_t& word) {
  return std::atomic_ref<std::uint32_t>(word).load(std::memory_order_acquire);
}

inline void StoreShared(std::uint32_t& word, std::uint32_t value) {
  std::atomic_ref<std::uint32_t>(word).store(value, std::memory_order_release);
}

// Stores `value` and returns the word as it was, in one atomic step, so that
// a device's store an instant before is returned rather than lost.
inline std::uint32_t ExchangeShared(std::uint32_t& word, std::uint32_t value) {
  return std::atomic_ref<std::uint32_t>(word).exchange(value, std::memory_order_acq_rel);
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

// Every copy into or out of a caller's buffer (the library's sample store),
// by a device and by the library alike. The store is shared with a running
// device by design, like memory a sound card writes: the library clears,
// loads and saves it while a device thread may copy into or out of it, and
// neither side takes a lock. ThreadSanitizer builds ignore the accesses made
// here, so the sharing is exempt wherever it happens, without a suppression
// that would need the other thread's stack; other accesses stay checked.
void CopyIntoShared(void* shared, const void* from, std::size_t count);
void CopyFromShared(void* to, const void* shared, std::size_t count);
void ClearShared(void* shared, std::size_t count);

}  // namespace wave_service
