// The PCM name a direction opens, from the environment.
#include "wave_service/alsa/pcm_name.h"

#include <cstdlib>

namespace wave_service::alsa {

namespace {

const char* Named(const char* variable) {
  const char* value = std::getenv(variable);
  return value != nullptr && *value != '\0' ? value : nullptr;
}

}  // namespace

const char* PcmName(Direction direction) {
  const char* own = Named(direction == Direction::kInput ? "MIRN_CAPTURE_PCM" : "MIRN_PLAYBACK_PCM");
  if (own != nullptr) return own;
  const char* both = Named("MIRN_PCM");
  return both != nullptr ? both : "default";
}

}  // namespace wave_service::alsa
