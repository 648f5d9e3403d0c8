// mirn's one door to audio file formats and rate conversion: libsndfile and
// libsamplerate where the build has them (audio_files_sndfile.cpp), nothing
// where it does not (audio_files_none.cpp: a Windows or cross build plays only
// files in the library's own layout). Everything else in mirn is the same.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace mirn::cli::audio {

// Whether this build reads audio files and converts rates.
bool Available();

// A sound file's content as the library plays it: unsigned 8-bit mono.
struct Decoded {
  std::vector<std::uint8_t> samples;  // at most the frames asked for
  std::int32_t rate = 0;              // the file's own rate
  std::uint64_t frames = 0;           // all the file holds, kept or not
  int channels = 0;
  std::string format;                 // "FLAC, signed 16-bit PCM"
};

// Reads the regular file open at fd (left open) in any format the library
// behind this knows, keeping at most max_frames frames, each mixed to mono.
// nullopt with error set (the reason, without the file's name) when it
// cannot.
std::optional<Decoded> Decode(int fd, std::uint64_t max_frames, std::string* error);

// Unsigned 8-bit mono samples at from_rate converted to to_rate.
std::optional<std::vector<std::uint8_t>> ConvertRate(std::span<const std::uint8_t> samples,
                                                     std::int32_t from_rate,
                                                     std::int32_t to_rate, std::string* error);

}  // namespace mirn::cli::audio
