// The duration rule of SoundRecordPlay and ToneCreate, as the wave service
// plays their passes: in turn, one the same as the one before it heard once.
#include "host/binding/sound_durations.h"

#include <algorithm>
#include <initializer_list>

namespace mirn::host {
namespace {

struct Pass {
  std::uint32_t length;
  std::int32_t rate;
  bool operator==(const Pass&) const = default;
};

// The device is never asked to read past the store.
Pass InStore(std::uint32_t length, std::int32_t rate) {
  return {std::min<std::uint32_t>(length, MIRNDLL_STORE_BYTES), rate};
}

// A rate below 1 opens no output: that pass, and a pass of no bytes, plays
// nothing.
double HeardSeconds(std::initializer_list<Pass> passes) {
  double seconds = 0;
  Pass before{0, 0};
  for (const Pass& pass : passes) {
    if (pass.length == 0 || pass.rate < 1) continue;
    if (pass != before) seconds += static_cast<double>(pass.length) / pass.rate;
    before = pass;
  }
  return seconds;
}

}  // namespace

std::uint32_t ToneScaledLength(std::uint32_t recorded, std::int32_t rate) {
  const auto factor = rate >= 1 ? static_cast<std::uint32_t>(MIRNDLL_TONE_SCALE / rate) : 0u;
  return factor * recorded;
}

double PlaySeconds(std::uint32_t first, std::uint32_t recorded, std::int32_t rate) {
  return HeardSeconds({InStore(first, rate), InStore(recorded, rate)});
}

double ToneSeconds(std::uint32_t first, std::uint32_t recorded, std::int32_t rate) {
  // The tone's own output refuses the rate: the call plays nothing.
  if (rate < 1) return 0;
  return HeardSeconds({InStore(first, rate),
                       InStore(ToneScaledLength(recorded, rate), MIRNDLL_RECORDING_RATE),
                       InStore(recorded, MIRNDLL_RECORDING_RATE)});
}

}  // namespace mirn::host
