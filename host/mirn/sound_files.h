// What mirn hands the library to play: a file already in the library's own
// layout as it is, any other audio file converted to unsigned 8-bit mono and
// written in that layout to a temporary file. Files are opened without
// blocking and only regular files are read, so a FIFO or a device never
// hangs mirn.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "host/mirn/temporary_file.h"

namespace mirn::cli {

// One frame of samples from -1 to 1 (one per channel) as the library's
// unsigned 8-bit mono sample: the mean of the channels, scaled so that 8-bit
// input comes back exactly, rounded and clamped.
std::uint8_t MixToUnsigned8(std::span<const float> frame);

// The header fields of a file in the library's own layout.
struct LibraryLayout {
  std::uint32_t rate = 0;       // offset 24
  std::uint32_t data_size = 0;  // offset 48
};

// The fields of a 52-byte header when it is exactly what the library writes
// ("RIFF", "WAVE", a 24-byte PCM format chunk of one 8-bit channel, "data"
// at offset 44); nullopt for any other file.
std::optional<LibraryLayout> ReadLibraryLayout(std::span<const std::uint8_t> header);

// Opens a file to read without blocking; -1 with error set when it cannot be
// opened or is not a regular file.
int OpenRegularFile(const std::string& path, const std::string& name, std::string* error);

// Writes samples in the library's layout marked with rate.
bool WriteLibraryFile(const std::string& path, std::uint32_t rate,
                      std::span<const std::uint8_t> samples, std::string* error);

// A file ready for the library's load.
struct SoundToPlay {
  std::string load_path;       // the file itself, or `converted`
  TemporaryFile converted;     // holds the converted samples, when there are any
  std::int32_t rate = 0;       // the file's own rate
  std::uint32_t bytes = 0;     // the samples the load takes (at most the store)
  double file_seconds = 0;     // all the file holds, played or not
  std::string converted_from;  // what was converted ("FLAC, signed 16 bit PCM, 2 channels")
};

// Prepares `path` (named `name` in messages) for a load: nullopt with error
// set ("cannot play NAME: why") for a file that is not sound.
std::optional<SoundToPlay> PrepareSound(const std::string& path, const std::string& name,
                                        std::string* error);

// The note when a file holds more than the store: nullopt when it fits.
std::optional<std::string> CutNote(const SoundToPlay& sound);

// The samples of a prepared file, for a rate conversion.
std::optional<std::vector<std::uint8_t>> ReadSamples(const SoundToPlay& sound, std::string* error);

}  // namespace mirn::cli
