// ToneCreate on the virtual device: the three writes of a tone replay, the
// scaled length and its bound by the store, and failures of its opens.
#include <gtest/gtest.h>

#include "MirnDLL.h"
#include "tests/library_test_support.h"

namespace {

using mirn::kStoreSize;
using wave_service::Operation;

class ToneReplayTest : public mirn::testing::LibraryTest {
 protected:
  struct Stream {
    std::uint32_t rate;
    std::uint32_t length;
  };
  // Rate and length of every output written so far, once all have played;
  // each must have played its length of the store from its start.
  std::vector<Stream> Streams() {
    device.FinishPlays();
    std::vector<Stream> streams;
    for (const auto& output : device.Outputs()) {
      for (const auto& write : output.writes) {
        EXPECT_EQ(write.played, Store(0, write.length));
        streams.push_back({output.rate, write.length});
      }
    }
    return streams;
  }
  static void ExpectStreams(const std::vector<Stream>& actual,
                            const std::vector<Stream>& expected) {
    ASSERT_EQ(actual.size(), expected.size());
    for (std::size_t i = 0; i < actual.size(); ++i) {
      EXPECT_EQ(actual[i].rate, expected[i].rate) << "stream " << i;
      EXPECT_EQ(actual[i].length, expected[i].length) << "stream " << i;
    }
  }
};

TEST_F(ToneReplayTest, ReplaysTheScaledLengthThenTheRecordingOneAfterAnother) {
  Record(3000);
  EXPECT_EQ(ToneCreate(5512), 1);  // factor 2
  ExpectStreams(Streams(), {{5512, 3000}, {8000, 6000}, {8000, 3000}});
  // Each pass starts as the one before it ends.
  const auto& outputs = device.Outputs();
  EXPECT_EQ(outputs[1].writes[0].started_us, outputs[0].writes[0].ended_us);
  EXPECT_EQ(outputs[2].writes[0].started_us, outputs[1].writes[0].ended_us);
  EXPECT_EQ(device.ExpectedRates(), (std::vector<std::uint32_t>{5512, 8000, 8000}));
  EXPECT_EQ(mirn::BytesRecorded(), 3000u);
  EXPECT_EQ(state.WaveFormat.samples_per_second, 8000u);
  EXPECT_EQ(state.WaveFormat.bytes_per_second, 8000u);
}

TEST_F(ToneReplayTest, FactorFollowsIntegerDivisionOf11025) {
  Record(1000);
  // Factor 1: the replay's two passes are the same play, heard once.
  ToneCreate(11025);
  ExpectStreams(Streams(), {{11025, 1000}, {8000, 1000}, {8000, 0}});
  ToneCreate(11026);  // factor 0: the replay's first pass is empty
  ToneCreate(3675);   // factor 3, cutting the tone before it short
  device.FinishPlays();
  const auto& outputs = device.Outputs();
  ASSERT_EQ(outputs.size(), 9u);
  EXPECT_EQ(outputs[4].writes[0].length, 0u);
  EXPECT_TRUE(outputs[3].writes[0].cut && outputs[5].writes[0].cut) << "the tone before it";
  for (std::size_t i : {6, 7, 8}) EXPECT_TRUE(outputs[i].writes[0].finished);
  EXPECT_EQ(outputs[6].rate, 3675u);
  EXPECT_EQ(outputs[7].writes[0].played, Store(0, 3000));
  EXPECT_EQ(outputs[8].writes[0].played, Store(0, 1000));
}

TEST_F(ToneReplayTest, ScaledLengthIsBoundedByTheStore) {
  Record(1'000'000);
  EXPECT_EQ(ToneCreate(5512), 1);
  ExpectStreams(Streams(), {{5512, 1'000'000}, {8000, kStoreSize}, {8000, 1'000'000}});
}

TEST_F(ToneReplayTest, ReturnsOneWhenOnlyTheNestedPlayFails) {
  Record(600);
  wave_service::InjectFault(Operation::kOutputOpen, wave_service::kAllocated, 1, true);
  EXPECT_EQ(ToneCreate(8000), 1);
  ExpectStreams(Streams(), {{8000, 600}});
}

TEST_F(ToneReplayTest, FailedOwnOpenLeavesTheScaledLengthForTheNextPlay) {
  Record(kStoreSize);
  device.SetRateRange(2, 768'000);
  EXPECT_EQ(ToneCreate(1), 33);  // factor 11025
  // 11025 x 1,600,000 wraps in 32 bits.
  EXPECT_EQ(mirn::BytesRecorded(), static_cast<std::uint32_t>(11025ull * kStoreSize));
  EXPECT_EQ(device.Outputs().size(), 0u);
  EXPECT_EQ(SoundRecordPlay(8000), 3);
  ExpectStreams(Streams(), {{8000, kStoreSize}, {8000, 0}});
}

TEST_F(ToneReplayTest, RatesBelowOneAreRefusedWithoutCrashing) {
  Record(500);
  SoundRecordPlay(8000);
  for (int rate : {0, -1, -11025, INT32_MIN}) {
    EXPECT_EQ(ToneCreate(rate), 33) << rate;
    EXPECT_EQ(mirn::BytesRecorded(), 0u) << "factor 0 for rate " << rate;
  }
  EXPECT_TRUE(device.Outputs().back().closed) << "the tone closed the earlier output first";
  ExpectStreams(Streams(), {{8000, 500}, {8000, 0}});
}

}  // namespace
