// The PCMs ALSA's configuration offers, from its name hints, as
// `arecord -L` and `aplay -L` list them.
#include <alsa/asoundlib.h>

#include "host/mirn/devices.h"

namespace mirn::cli {

std::optional<std::vector<DeviceEntry>> ListDevices(Direction direction, std::string* error) {
  void** hints = nullptr;
  if (const int failed = snd_device_name_hint(-1, "pcm", &hints); failed < 0) {
    *error = snd_strerror(failed);
    return std::nullopt;
  }
  // A hint without IOID serves both directions.
  const char* const wanted = direction == Direction::kCapture ? "Input" : "Output";
  std::vector<DeviceEntry> devices;
  for (void** hint = hints; *hint != nullptr; ++hint) {
    char* name = snd_device_name_get_hint(*hint, "NAME");
    char* description = snd_device_name_get_hint(*hint, "DESC");
    char* io = snd_device_name_get_hint(*hint, "IOID");
    if (name != nullptr && (io == nullptr || std::string(io) == wanted)) {
      devices.push_back({name, description != nullptr ? description : ""});
    }
    free(name);
    free(description);
    free(io);
  }
  snd_device_name_free_hint(hints);
  return devices;
}

}  // namespace mirn::cli
