// Countdown faults for the file steps of a save, shared by every platform's
// file_access implementation.
#include <atomic>
#include <cstdint>

#include "wave_file/file_access.h"

namespace wave_file {

namespace {

constexpr auto kSteps = static_cast<std::size_t>(FileStep::kCount);

std::atomic<bool> g_armed{false};
// Calls left to pass before the fault; -1 when the step has none.
std::atomic<std::int64_t> g_passes_left[kSteps] = {-1, -1, -1, -1, -1};

}  // namespace

void InjectFileFault(FileStep step, std::uint32_t pass_first) {
  if (step >= FileStep::kCount) return;
  g_passes_left[static_cast<std::size_t>(step)].store(pass_first);
  g_armed.store(true, std::memory_order_relaxed);
}

void ClearFileFaults() {
  for (auto& left : g_passes_left) left.store(-1);
  g_armed.store(false, std::memory_order_relaxed);
}

bool FileFaultDue(FileStep step) {
  if (!g_armed.load(std::memory_order_relaxed)) return false;
  auto& left = g_passes_left[static_cast<std::size_t>(step)];
  std::int64_t now = left.load();
  while (now >= 0 && !left.compare_exchange_weak(now, now - 1)) {
  }
  return now == 0;
}

}  // namespace wave_file
