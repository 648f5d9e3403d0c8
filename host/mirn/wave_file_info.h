// What `mirn info` shows of a WAVE file, read by the host itself: the RIFF
// chunks' fields, where the library would find the data size, and the
// samples drawn as a waveform of min/max bars.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "wave_file/wave_file_header.h"

namespace mirn::cli {

// The 52-byte header the library writes (its offsets are named in one place):
// format chunk of 24 bytes, data chunk at offset 44, samples at 52; a load
// takes the size from offset 48.
inline constexpr std::uint64_t kLibraryHeaderSize = kWaveFileHeaderSize;
inline constexpr std::uint64_t kLibraryDataTagOffset = wave_header_offset::kDataTag;
inline constexpr std::uint64_t kLibrarySizeOffset = wave_header_offset::kDataLength;

struct FormatChunk {
  std::uint32_t length = 0;  // 24 in the library's files, 16 in most others
  std::uint16_t format_tag = 0;
  std::uint16_t channels = 0;
  std::uint32_t samples_per_second = 0;
  std::uint32_t bytes_per_second = 0;
  std::uint16_t block_align = 0;
  std::uint16_t bits_per_sample = 0;
  // WAVE_FORMAT_EXTENSIBLE: the format code in the first two bytes of the
  // subformat GUID, when the chunk holds one.
  std::optional<std::uint16_t> subformat;

  // The format in plain words: "PCM", "IEEE float", "PCM (extensible)".
  std::string Name() const;
  // The format chunk the library writes: 24 bytes, 8-bit mono PCM.
  bool IsLibraryFormat() const;
};

// The name of a WAVE format code ("IEEE float"), or "format 0x0092".
std::string FormatTagName(std::uint16_t tag);

struct WaveFileInfo {
  std::uint64_t file_size = 0;
  std::uint32_t riff_length = 0;
  std::optional<FormatChunk> format;
  std::uint64_t format_offset = 0;   // of the chunk's tag
  bool has_data = false;
  std::uint64_t data_offset = 0;     // of the "data" tag; samples start 8 later
  std::uint32_t data_length = 0;     // as the chunk states it
  std::uint64_t data_present = 0;    // how much of it the file holds
  // The 32-bit value at offset 48, which a load takes as the data size;
  // absent when the file is shorter than the 52-byte header.
  std::optional<std::uint32_t> size_at_48;

  // Bytes of one frame (all channels of one sample time); 0 when unknown.
  std::uint32_t FrameBytes() const;
  // Seconds of sound in the data the file holds; 0 without a usable format.
  double Seconds() const;
  // True when the data chunk is where the library reads it (offset 44).
  bool InLibraryLayout() const { return has_data && data_offset == kLibraryDataTagOffset; }
};

// Reads the RIFF header and walks the chunks up to "data", reading nothing
// past the end of the file. Returns nullopt with error set for a file that
// cannot be read or is not RIFF WAVE.
std::optional<WaveFileInfo> ReadWaveFileInfo(const std::string& path, std::string* error);

// The lowest and highest sample of one column, each from -1 to 1.
struct SampleRange {
  float low = 0;
  float high = 0;
};

// Splits frame_count frames into at most `columns` columns of nearly equal
// size (every column at least one frame) and keeps each column's range.
class WaveformBuilder {
 public:
  WaveformBuilder(std::uint64_t frame_count, std::size_t columns);
  void Add(float sample);  // the next frame's first channel, from -1 to 1
  const std::vector<SampleRange>& columns() const { return columns_; }

 private:
  std::uint64_t frame_count_;
  std::uint64_t added_ = 0;
  std::size_t column_ = 0;
  std::uint64_t column_end_ = 0;  // first frame of the next column
  std::vector<SampleRange> columns_;
};

// The column ranges of the data the file holds: unsigned 8-bit or signed
// 16-bit PCM, first channel. nullopt for other formats or a read error.
std::optional<std::vector<SampleRange>> ReadWaveform(const std::string& path,
                                                     const WaveFileInfo& info,
                                                     std::size_t columns);

// Draws ranges as `height` text rows (top row first): a cell is '#' when its
// column's range reaches into the cell's band of values, and '-' on the
// middle row (silence) otherwise.
std::vector<std::string> DrawWaveform(const std::vector<SampleRange>& columns, int height);

// The waveform of a format this reader does not draw, from a decoder: the
// column ranges, or nullopt; a note when they cover only part of the file.
using WaveformFallback =
    std::function<std::optional<std::vector<SampleRange>>(std::size_t columns, std::string* note)>;

// The whole `mirn info` report: fields, notes on anything the library's load
// would read differently (for files in its own format or without one), and
// the waveform `columns` wide, from `fallback` for formats not read here. The
// file is named as `shown` when that is given (standard input spooled to path).
std::string DescribeWaveFile(const std::string& path, const WaveFileInfo& info,
                             std::size_t columns, const std::string& shown = "",
                             const WaveformFallback& fallback = {});

}  // namespace mirn::cli
