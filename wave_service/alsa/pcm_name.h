// Which ALSA PCM the device opens in a direction: ALSA's "default" unless the
// environment names another, so a user can choose a device without changing
// ALSA's configuration.
#pragma once

#include "wave_service/device.h"

namespace wave_service::alsa {

// MIRN_CAPTURE_PCM (input) or MIRN_PLAYBACK_PCM (output) when set and not
// empty, else MIRN_PCM for both directions, else "default". Read at each open,
// so a change takes effect with the next stream. The pointer is valid until
// the environment changes.
const char* PcmName(Direction direction);

}  // namespace wave_service::alsa
