// SoundRecordPlay on the virtual device: what each of its two passes plays,
// what it leaves in SoundState, and how it fails.
#include <gtest/gtest.h>

#include "MirnDLL.h"
#include "tests/library_test_support.h"

namespace {

using mirn::kStoreSize;
using wave_service::Operation;

class PlaybackTest : public mirn::testing::LibraryTest {
 protected:
  // Lets every play finish and checks that output `index` played `length`
  // bytes of the store from its start at `rate`.
  void ExpectPlayed(std::size_t index, std::uint32_t rate, std::uint32_t length) {
    device.FinishPlays();
    ASSERT_LT(index, device.Outputs().size());
    const auto& output = device.Outputs()[index];
    EXPECT_EQ(output.rate, rate) << "output " << index;
    ASSERT_EQ(output.writes.size(), 1u) << "output " << index;
    EXPECT_EQ(output.writes[0].length, length) << "output " << index;
    EXPECT_TRUE(output.writes[0].finished) << "output " << index;
    EXPECT_EQ(output.writes[0].played, Store(0, length)) << "output " << index;
  }
};

TEST_F(PlaybackTest, PlayBeforeAnyRecordingIsRefusedForItsEmptyFormat) {
  EXPECT_EQ(SoundRecordPlay(8000), 33);
  EXPECT_EQ(device.Outputs().size(), 0u);
  EXPECT_EQ(state.WaveFormat.format_tag, 0);
  EXPECT_EQ(state.WaveFormat.samples_per_second, 8000u);
  EXPECT_EQ(state.WaveFormat.bytes_per_second, 8000u);
  EXPECT_EQ(header.data, nullptr);
}

TEST_F(PlaybackTest, BothPassesPlayTheRecordingAtTheRateHeardOnce) {
  Record(5000);
  EXPECT_EQ(SoundRecordPlay(8000), 3);
  ASSERT_EQ(device.Outputs().size(), 2u);
  ExpectPlayed(0, 8000, 5000);
  ExpectPlayed(1, 8000, 0);  // the same bytes again: the first pass's play
  EXPECT_EQ(device.ExpectedRates(), (std::vector<std::uint32_t>{8000, 8000}));
  EXPECT_EQ(mirn::BytesRecorded(), 5000u);
  EXPECT_EQ(state.OutputHandle, device.Outputs()[1].handle);
  EXPECT_TRUE(device.Outputs()[0].closed) << "the second pass closes the first output";
  EXPECT_FALSE(device.Outputs()[1].closed);
  EXPECT_EQ(state.WaveFormat.block_align, 0);
}

TEST_F(PlaybackTest, TwiceTheRecordingRatePlaysAtDoubleSpeed) {
  Record(4000);
  EXPECT_EQ(SoundRecordPlay(16000), 3);
  EXPECT_EQ(state.WaveFormat.samples_per_second, 16000u);
  EXPECT_EQ(state.WaveFormat.bytes_per_second, 16000u);
  // 4,000 bytes at 16,000 a second take a quarter of a second.
  device.AdvanceBytes(2000, 8000);
  EXPECT_TRUE(device.Outputs()[0].writes[0].finished);
  ExpectPlayed(1, 16000, 0);
}

TEST_F(PlaybackTest, FirstPassPlaysTheBytesRecordedWhileTheInputRuns) {
  Record(3000);
  SoundRecordStart();  // RecordedLength from the closed input: 0
  device.AdvanceBytes(1200);
  EXPECT_EQ(SoundRecordPlay(8000), 3);
  ExpectPlayed(0, 8000, 1200);
  ExpectPlayed(1, 8000, 0);
  SoundRecordStop();
}

TEST_F(PlaybackTest, FailedFirstOpenWritesNothing) {
  Record(2500);
  SoundRecordPlay(8000);
  const std::size_t outputs = device.Outputs().size();
  wave_service::InjectFault(Operation::kOutputOpen, wave_service::kBadDeviceId, 0, false);
  EXPECT_EQ(SoundRecordPlay(11025), 33);
  EXPECT_EQ(device.Outputs().size(), outputs);
  EXPECT_EQ(header.buffer_length, 2500u);
  EXPECT_EQ(mirn::BytesRecorded(), 2500u);
  EXPECT_EQ(state.WaveFormat.samples_per_second, 11025u);
  EXPECT_TRUE(device.Outputs().back().closed) << "the earlier play's output was closed";
}

TEST_F(PlaybackTest, FailedSecondOpenLeavesTheFirstPassPlaying) {
  Record(2500);
  wave_service::InjectFault(Operation::kOutputOpen, wave_service::kAllocated, 1, false);
  EXPECT_EQ(SoundRecordPlay(8000), 33);
  ASSERT_EQ(device.Outputs().size(), 1u);
  EXPECT_TRUE(device.Outputs()[0].closed);
  ExpectPlayed(0, 8000, 2500);  // a close does not cut a play
  EXPECT_TRUE(device.Outputs()[0].released);
}

TEST_F(PlaybackTest, RatesTheOutputCannotTakeAreRefused) {
  Record(100);
  EXPECT_EQ(SoundRecordPlay(0), 33);
  EXPECT_EQ(SoundRecordPlay(-8000), 33);
  EXPECT_EQ(state.WaveFormat.samples_per_second, static_cast<std::uint32_t>(-8000));
  EXPECT_EQ(device.Outputs().size(), 0u);
}

TEST_F(PlaybackTest, EachPlayCutsTheOneBeforeItShortAndLeavesOnlyItsOutputOpen) {
  Record(800);
  for (int i = 0; i < 200; ++i) {
    ASSERT_EQ(SoundRecordPlay(8000), 3);
    device.AdvanceBytes(100);
  }
  device.FinishPlays();
  EXPECT_EQ(device.Outputs().size(), 400u);
  EXPECT_EQ(device.HeldOutputs(), 1u);
  EXPECT_EQ(wave_service::Counts().outputs, 1u);
  for (std::size_t i = 0; i + 2 < device.Outputs().size(); ++i) {
    EXPECT_TRUE(device.Outputs()[i].released);
    const auto& write = device.Outputs()[i].writes[0];
    EXPECT_EQ(write.played.size(), i % 2 == 0 ? 100u : 0u) << "output " << i;
  }
  EXPECT_EQ(device.Outputs()[398].writes[0].played.size(), 800u) << "the last plays whole";
}

}  // namespace
