// PipeWire's client gives every stream conversion buffers of a few MB
// (libspa-audioconvert, allocated on the stream's own thread). glibc raises
// its mmap threshold to the size of the first such block freed; from then on
// the blocks come from the threads' arenas (up to eight per core), which keep
// what is freed at their tops, and RSS climbs by hundreds of MB as PCMs come
// and go. A fixed threshold, glibc's own starting one, keeps such blocks
// mapped and unmapped with their stream. PulseAudio's client makes no such
// blocks, so a host that never reaches PipeWire keeps its allocator as it was.
#include "wave_service/alsa/big_blocks.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

#if defined(__GLIBC__)
#include <link.h>
#include <malloc.h>
#endif

namespace wave_service::alsa {

#if defined(__GLIBC__)
namespace {

constexpr int kStartingMmapThreshold = 128 * 1024;

bool PipeWirePluginLoaded() {
  const auto is_plugin = [](dl_phdr_info* info, std::size_t, void*) -> int {
    return info->dlpi_name != nullptr &&
           std::strstr(info->dlpi_name, "libasound_module_pcm_pipewire") != nullptr;
  };
  return dl_iterate_phdr(is_plugin, nullptr) != 0;
}

// A threshold the host set, through the environment or glibc's tunables.
bool HostChoseThreshold() {
  const char* tunables = std::getenv("GLIBC_TUNABLES");
  return std::getenv("MALLOC_MMAP_THRESHOLD_") != nullptr ||
         (tunables != nullptr && std::strstr(tunables, "mmap_threshold") != nullptr);
}

std::atomic<bool> g_fixed{false};

}  // namespace

void KeepBigBlocksMapped() {
  if (g_fixed.load(std::memory_order_relaxed) || !PipeWirePluginLoaded()) return;
  if (g_fixed.exchange(true)) return;
  if (!HostChoseThreshold()) mallopt(M_MMAP_THRESHOLD, kStartingMmapThreshold);
}
#else
void KeepBigBlocksMapped() {}
#endif

}  // namespace wave_service::alsa
