// Tests of the 52-byte wave file header: its exact bytes and the one field
// read back.
#include "wave_file/wave_file_header.h"

#include <gtest/gtest.h>

namespace {

using mirn::BuildWaveFileHeader;
using mirn::WaveFileDataSize;
using mirn::WaveFileHeader;

TEST(WaveFileHeader, BuildsTheExactBytes) {
  // 0x01020305 bytes (odd) at 0x89ABCDEF samples/s: every multi-byte field
  // with distinct bytes, so a wrong order or shift shows.
  const WaveFileHeader expected = {
      'R', 'I', 'F', 'F', 0x31, 0x03, 0x02, 0x01,  // RIFF, size + 44
      'W', 'A', 'V', 'E', 'f', 'm', 't', ' ',
      24, 0, 0, 0,                                 // format chunk length
      1, 0, 1, 0,                                  // PCM, one channel
      0xEF, 0xCD, 0xAB, 0x89, 0xEF, 0xCD, 0xAB, 0x89,
      1, 0, 8, 0,                                  // block align 1, 8 bits
      0, 0, 0, 0, 0, 0, 0, 0,
      'd', 'a', 't', 'a', 0x05, 0x03, 0x02, 0x01};
  EXPECT_EQ(BuildWaveFileHeader(0x89ABCDEF, 0x01020305), expected);

  const WaveFileHeader empty = BuildWaveFileHeader(8000, 0);
  EXPECT_EQ(empty[4], 44);
  EXPECT_EQ(empty[5] | empty[6] | empty[7], 0);
  EXPECT_EQ(empty[24], 0x40);  // 8000 = 0x1F40
  EXPECT_EQ(empty[25], 0x1F);
  for (std::size_t i = 48; i < 52; ++i) EXPECT_EQ(empty[i], 0) << i;
}

TEST(WaveFileHeader, ReadsOnlyTheDataLength) {
  WaveFileHeader header;
  header.fill(0xFF);  // nothing but offset 48 matters
  header[48] = 0x78;
  header[49] = 0x56;
  header[50] = 0x34;
  header[51] = 0x12;
  EXPECT_EQ(WaveFileDataSize(header), 0x12345678u);
  EXPECT_EQ(WaveFileDataSize(BuildWaveFileHeader(44100, 1'600'000)), 1'600'000u);
}

}  // namespace
