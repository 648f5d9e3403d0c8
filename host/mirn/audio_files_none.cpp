// Audio files in a build without libsndfile and libsamplerate: none are read
// and no rate is converted; mirn says so instead.
#include "host/mirn/audio_files.h"

namespace mirn::cli::audio {

bool Available() { return false; }

std::optional<Decoded> Decode(int, std::uint64_t, std::string* error) {
  *error = "it is not a WAVE file in the library's own layout (52-byte header, 8-bit mono), "
           "and this mirn is built without libsndfile to convert other files";
  return std::nullopt;
}

std::optional<std::vector<std::uint8_t>> ConvertRate(std::span<const std::uint8_t>,
                                                     std::int32_t, std::int32_t,
                                                     std::string* error) {
  *error = "this mirn is built without libsamplerate to convert rates";
  return std::nullopt;
}

}  // namespace mirn::cli::audio
