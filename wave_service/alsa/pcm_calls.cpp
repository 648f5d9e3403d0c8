// The table of ALSA PCM calls: ALSA's own functions unless a test set others.
#include "wave_service/alsa/pcm_calls.h"

#include <atomic>

namespace wave_service::alsa {

namespace {

constexpr PcmCalls kAlsaCalls{
#define MIRN_PCM_REAL(entry, function) &function,
    MIRN_PCM_CALLS(MIRN_PCM_REAL)
#undef MIRN_PCM_REAL
};

std::atomic<const PcmCalls*> g_calls{&kAlsaCalls};

}  // namespace

const PcmCalls& AlsaPcmCalls() { return kAlsaCalls; }

const PcmCalls& Pcm() { return *g_calls.load(std::memory_order_acquire); }

void SetPcmCalls(const PcmCalls* table) {
  g_calls.store(table != nullptr ? table : &kAlsaCalls, std::memory_order_release);
}

}  // namespace wave_service::alsa
