// The duration rule's cases that need no grid: the tone replay's passes in
// turn, the store's end, the wrapped product and a first pass left by a
// refused tone.
#include "host/binding/sound_durations.h"

#include <gtest/gtest.h>

namespace mirn::host {
namespace {

TEST(SoundDurations, PassesInTurnEachHeardOnce) {
  EXPECT_DOUBLE_EQ(PlaySeconds(8000, 8000, 16000), 0.5);
  // 11025 / 5512 = 2: the replay's first pass plays twice the bytes at 8000.
  EXPECT_DOUBLE_EQ(ToneSeconds(8000, 8000, 5512), 8000.0 / 5512 + 2.0 + 1.0);
  // Above 11025 the scaled pass is empty.
  EXPECT_DOUBLE_EQ(ToneSeconds(8000, 8000, 22050), 8000.0 / 22050 + 1.0);
  // The scaled pass stops at the end of the store: 200 s, not 250.
  EXPECT_DOUBLE_EQ(ToneSeconds(1'000'000, 1'000'000, 5512), 1e6 / 5512 + 200.0 + 125.0);
  // Factor 1: the replay's two passes are one play; at 8000 all three are.
  EXPECT_DOUBLE_EQ(ToneSeconds(1'000'000, 1'000'000, 11025), 1e6 / 11025 + 125.0);
  EXPECT_DOUBLE_EQ(ToneSeconds(8000, 8000, 8000), 1.0);
  EXPECT_DOUBLE_EQ(ToneSeconds(0, 0, 8000), 0.0);
  EXPECT_DOUBLE_EQ(ToneSeconds(8000, 8000, 0), 0.0);
}

TEST(SoundDurations, ARefusedToneLeavesItsScaledLengthForTheNextPlay) {
  // 11025 x 389,581 wraps in 32 bits to 163,229, as the library's word does.
  EXPECT_EQ(ToneScaledLength(389'581, 1), 163'229u);
  EXPECT_EQ(ToneScaledLength(8000, 0), 0u);
  const std::uint32_t first = ToneScaledLength(3000, 2000);  // 5 x 3000
  EXPECT_DOUBLE_EQ(PlaySeconds(first, 3000, 8000), 15000.0 / 8000 + 3000.0 / 8000);
}

}  // namespace
}  // namespace mirn::host
