// Field offsets of the records exchanged with the wave service. On the 32-bit
// target they are the platform's own layout, byte for byte; a 64-bit host
// differs only where BufferHeader's data address is pointer-sized.
#include <gtest/gtest.h>

#include <cstddef>
#include <type_traits>

#include "wave_service/wave_service.h"

namespace wave_service {
namespace {

constexpr bool kThirtyTwoBit = sizeof(void*) == 4;

// offsetof needs standard-layout records, and the service copies them as bytes.
static_assert(std::is_standard_layout_v<BufferHeader> && std::is_trivially_copyable_v<BufferHeader>);
static_assert(std::is_standard_layout_v<WaveFormat> && std::is_trivially_copyable_v<WaveFormat>);
static_assert(std::is_standard_layout_v<PositionRecord> &&
              std::is_trivially_copyable_v<PositionRecord>);

TEST(RecordLayout, BufferHeaderIsEightWordsOnTheTarget) {
  // On the target every word is 4 bytes, the address included; on a 64-bit
  // host the address takes 8 and every later word moves on by 4.
  constexpr std::size_t kWord1 = kThirtyTwoBit ? 4 : 8;
  EXPECT_EQ(offsetof(BufferHeader, data), 0u);
  EXPECT_EQ(sizeof(BufferHeader::data), kThirtyTwoBit ? 4u : 8u);
  EXPECT_EQ(offsetof(BufferHeader, buffer_length), kWord1);
  EXPECT_EQ(offsetof(BufferHeader, bytes_recorded), kWord1 + 4);
  EXPECT_EQ(offsetof(BufferHeader, user), kWord1 + 8);
  EXPECT_EQ(offsetof(BufferHeader, flags), kWord1 + 12);
  EXPECT_EQ(offsetof(BufferHeader, service), kWord1 + 16);
  EXPECT_EQ(sizeof(BufferHeader::service), 12u);
  EXPECT_EQ(sizeof(BufferHeader), kThirtyTwoBit ? 32u : 40u);
  EXPECT_EQ(alignof(BufferHeader), kThirtyTwoBit ? 4u : 8u);
}

TEST(RecordLayout, WaveFormatIsEighteenPackedBytes) {
  // The 32-bit rate fields sit at offsets 4 and 8, and the record is not
  // padded to 20: the service takes exactly 18 bytes.
  EXPECT_EQ(offsetof(WaveFormat, format_tag), 0u);
  EXPECT_EQ(offsetof(WaveFormat, channels), 2u);
  EXPECT_EQ(offsetof(WaveFormat, samples_per_second), 4u);
  EXPECT_EQ(offsetof(WaveFormat, bytes_per_second), 8u);
  EXPECT_EQ(offsetof(WaveFormat, block_align), 12u);
  EXPECT_EQ(offsetof(WaveFormat, bits_per_sample), 14u);
  EXPECT_EQ(offsetof(WaveFormat, extra_size), 16u);
  EXPECT_EQ(sizeof(WaveFormat), 18u);
  EXPECT_EQ(alignof(WaveFormat), 2u);
}

TEST(RecordLayout, PositionRecordIsThreeWords) {
  EXPECT_EQ(offsetof(PositionRecord, time_format), 0u);
  EXPECT_EQ(offsetof(PositionRecord, bytes), 4u);
  EXPECT_EQ(offsetof(PositionRecord, service), 8u);
  EXPECT_EQ(sizeof(PositionRecord), 12u);
  EXPECT_EQ(alignof(PositionRecord), 4u);
}

}  // namespace
}  // namespace wave_service
