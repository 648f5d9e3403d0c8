// Builds and reads the 52-byte wave file header at its named offsets.
#include "wave_file/wave_file_header.h"

namespace mirn {

namespace {

namespace off = wave_header_offset;

void PutTag(WaveFileHeader& header, std::size_t offset, const char (&tag)[5]) {
  for (std::size_t i = 0; i < 4; ++i) header[offset + i] = static_cast<std::uint8_t>(tag[i]);
}

void Put16(WaveFileHeader& header, std::size_t offset, std::uint16_t value) {
  header[offset] = static_cast<std::uint8_t>(value);
  header[offset + 1] = static_cast<std::uint8_t>(value >> 8);
}

void Put32(WaveFileHeader& header, std::size_t offset, std::uint32_t value) {
  for (std::size_t i = 0; i < 4; ++i) header[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

std::uint32_t Get32(const WaveFileHeader& header, std::size_t offset) {
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < 4; ++i) value |= std::uint32_t{header[offset + i]} << (8 * i);
  return value;
}

}  // namespace

WaveFileHeader BuildWaveFileHeader(std::uint32_t rate, std::uint32_t data_size) {
  constexpr std::uint32_t kHeaderAfterRiffLength = kWaveFileHeaderSize - 8;
  WaveFileHeader header{};  // the format chunk's last 8 bytes stay zero
  PutTag(header, off::kRiffTag, "RIFF");
  Put32(header, off::kRiffLength, data_size + kHeaderAfterRiffLength);
  PutTag(header, off::kWaveTag, "WAVE");
  PutTag(header, off::kFormatTag, "fmt ");
  Put32(header, off::kFormatLength, off::kDataTag - off::kFormatCode);
  Put16(header, off::kFormatCode, 1);
  Put16(header, off::kChannels, 1);
  Put32(header, off::kSampleRate, rate);
  Put32(header, off::kByteRate, rate);  // one byte per sample
  Put16(header, off::kBlockAlign, 1);
  Put16(header, off::kBitsPerSample, 8);
  PutTag(header, off::kDataTag, "data");
  Put32(header, off::kDataLength, data_size);
  return header;
}

std::uint32_t WaveFileDataSize(const WaveFileHeader& header) {
  return Get32(header, off::kDataLength);
}

}  // namespace mirn
