// WaveFileHeader: the 52-byte RIFF WAVE header of a saved recording, built and
// read byte by byte at fixed offsets, little-endian.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace mirn {

inline constexpr std::size_t kWaveFileHeaderSize = 52;

// The header exactly as it lies in the file.
using WaveFileHeader = std::array<std::uint8_t, kWaveFileHeaderSize>;

// Byte offsets of the header's fields. The format chunk is 24 bytes long: the
// PCM fields and then 8 zero bytes. The samples follow at offset 52.
namespace wave_header_offset {
inline constexpr std::size_t kRiffTag = 0;         // "RIFF"
inline constexpr std::size_t kRiffLength = 4;      // file length less 8
inline constexpr std::size_t kWaveTag = 8;         // "WAVE"
inline constexpr std::size_t kFormatTag = 12;      // "fmt "
inline constexpr std::size_t kFormatLength = 16;   // 24
inline constexpr std::size_t kFormatCode = 20;     // 1: PCM, 16 bits
inline constexpr std::size_t kChannels = 22;       // 16 bits
inline constexpr std::size_t kSampleRate = 24;
inline constexpr std::size_t kByteRate = 28;
inline constexpr std::size_t kBlockAlign = 32;     // 16 bits
inline constexpr std::size_t kBitsPerSample = 34;  // 16 bits
inline constexpr std::size_t kFormatPadding = 36;  // 8 zero bytes
inline constexpr std::size_t kDataTag = 44;        // "data"
inline constexpr std::size_t kDataLength = 48;
}  // namespace wave_header_offset

// The header of a mono 8-bit PCM recording of data_size bytes at rate
// samples/s. Nothing follows the samples, not even a pad byte after an odd
// size, so the RIFF length is data_size + 44.
WaveFileHeader BuildWaveFileHeader(std::uint32_t rate, std::uint32_t data_size);

// The data size a header states: the 32-bit value at offset 48. Nothing else
// in the header is examined.
std::uint32_t WaveFileDataSize(const WaveFileHeader& header);

}  // namespace mirn
