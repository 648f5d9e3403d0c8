// Which waveform device a stream opens: the one the environment names
// (MIRN_CAPTURE_PCM or MIRN_PLAYBACK_PCM for one direction, else MIRN_PCM
// for both), by its number (0, 1, ...) or by its name, else whatever device
// the system picks. Kept apart from winmm so that it can be tested anywhere.
#pragma once

#include <cstddef>
#include <cstdint>

#include "wave_service/device.h"

namespace wave_service {

struct DeviceChoice {
  enum class Kind {
    kAny,      // nothing named: the system's choice (winmm's mapper)
    kDevice,   // device `index`
    kMissing,  // a name or number that is no device: opens fail as for a missing one
  };
  Kind kind = Kind::kAny;
  std::uint32_t index = 0;
  friend bool operator==(const DeviceChoice&, const DeviceChoice&) = default;
};

// The environment's name for a direction's device; nullptr when it names
// none (unset or empty).
const char* NamedDevice(Direction direction);

// Writes device `index`'s name (NUL-terminated, at most `size` bytes) into
// `name`; false when the device cannot say.
using DeviceNameAt = bool (*)(void* context, std::uint32_t index, char* name, std::size_t size);

// Resolves `named` among `count` devices: digits only are a device number,
// anything else a name matched whole, letters in either case. nullptr or ""
// is kAny.
DeviceChoice ChooseDevice(const char* named, std::uint32_t count, DeviceNameAt name_at,
                          void* context);

}  // namespace wave_service
