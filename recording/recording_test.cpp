// Recording control on the virtual device: what a start and a stop leave in
// SoundState and the store, including restarts, overlong recordings and a
// service that fails or gets handles it no longer knows.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "MirnDLL.h"
#include "tests/library_test_support.h"

namespace {

using mirn::kStoreSize;
using wave_service::VirtualDevice;

class RecordingTest : public mirn::testing::LibraryTest {
 protected:
  // True when the store's first `count` bytes are the numbered source's
  // first `count` bytes and the rest up to `checked` is still 0.
  bool StoreHoldsSource(std::uint32_t count, std::uint32_t checked) const {
    for (std::uint32_t i = 0; i < checked; ++i) {
      const std::uint8_t expected = i < count ? VirtualDevice::NumberedByte(i) : 0;
      if (state.SampleBuffer[i] != expected) {
        ADD_FAILURE() << "store byte " << i << " is " << int{state.SampleBuffer[i]}
                      << ", expected " << int{expected};
        return false;
      }
    }
    return true;
  }
};

TEST_F(RecordingTest, StopWithoutStartIsHarmlessAndRepeatable) {
  EXPECT_EQ(SoundRecordStop(), 2);
  EXPECT_EQ(state.RecordedLength, 0u);
  EXPECT_EQ(state.PositionRecord.time_format, wave_service::kTimeBytes);
  EXPECT_EQ(state.PositionRecord.bytes, 0u);
  EXPECT_EQ(SoundRecordStop(), 2);
  EXPECT_EQ(device.Inputs().size(), 0u);
}

TEST_F(RecordingTest, RecordsTheSourceIntoTheStoreAndKeepsItsLength) {
  EXPECT_EQ(SoundRecordStart(), 1);
  // Right after the start: pointing at a cleared store, nothing recorded yet.
  EXPECT_EQ(header.data, state.SampleBuffer);
  EXPECT_EQ(header.buffer_length, kStoreSize);
  EXPECT_EQ(state.RecordedLength, 0u);
  EXPECT_EQ(state.WaveFormat.samples_per_second, 8000u);
  EXPECT_EQ(state.WaveFormat.block_align, 0);

  const std::uint32_t n = 12'345;
  device.AdvanceBytes(n);
  EXPECT_EQ(mirn::BytesRecorded(), n) << "bytes recorded must stay current while recording";
  EXPECT_EQ(SoundRecordStop(), 2);

  EXPECT_EQ(state.RecordedLength, n);
  EXPECT_EQ(state.PositionRecord.bytes, n);
  EXPECT_EQ(header.data, state.SampleBuffer);
  EXPECT_EQ(header.buffer_length, kStoreSize);
  EXPECT_TRUE(StoreHoldsSource(n, n + 1000));
  ASSERT_EQ(device.Inputs().size(), 1u);
  EXPECT_EQ(device.Inputs()[0].rate, 8000u);
  EXPECT_TRUE(device.Inputs()[0].closed);
  EXPECT_EQ(device.HeldInputs(), 0u);

  // Time passing after the stop records nothing more.
  device.AdvanceBytes(500);
  EXPECT_EQ(mirn::BytesRecorded(), n);
  EXPECT_TRUE(StoreHoldsSource(n, n + 1000));
}

TEST_F(RecordingTest, StartDuringARecordingClearsTheStoreAndStopsTheOldInput) {
  SoundRecordStart();
  device.AdvanceBytes(3000);
  const wave_service::Handle first = state.InputHandle;

  EXPECT_EQ(SoundRecordStart(), 1);
  EXPECT_NE(state.InputHandle, first);
  const auto* old_input = device.FindInput(first);
  ASSERT_NE(old_input, nullptr);
  EXPECT_TRUE(old_input->stopped);
  EXPECT_TRUE(old_input->closed);
  // The old input's stop wrote its count into the cleared header.
  EXPECT_EQ(state.RecordedLength, 3000u);
  EXPECT_EQ(mirn::BytesRecorded(), 0u);
  EXPECT_TRUE(StoreHoldsSource(0, 4000));
  EXPECT_EQ(device.HeldInputs(), 1u);

  // The new input numbers its bytes from its own open.
  device.AdvanceBytes(700);
  SoundRecordStop();
  EXPECT_EQ(state.RecordedLength, 700u);
  EXPECT_TRUE(StoreHoldsSource(700, 4000));
}

// A start clears only as far as anything was written, so each way the
// header's count can fall behind what an input wrote must still be cleared:
// a play that rewrote the count mid-take, and the part period an old input
// reads out at its stop inside a restart.
TEST_F(RecordingTest, AStartClearsEveryByteAnEarlierTakeWroteWhereverItsCountWent) {
  SoundRecordStart();
  device.AdvanceBytes(3000);
  SoundRecordPlay(8000);  // the count becomes RecordedLength, 0
  ASSERT_EQ(mirn::BytesRecorded(), 0u);
  SoundRecordStart();
  EXPECT_TRUE(StoreHoldsSource(0, 4000));

  device.SetCapturePeriod(400);
  device.AdvanceBytes(1000);
  ASSERT_EQ(mirn::BytesRecorded(), 800u);
  SoundRecordStart();  // the old input reads out 200 more before it stops
  ASSERT_EQ(state.RecordedLength, 1000u);
  device.AdvanceBytes(400);
  SoundRecordStop();
  SoundRecordStart();
  SoundRecordStop();
  EXPECT_EQ(state.RecordedLength, 0u);
  EXPECT_TRUE(StoreHoldsSource(0, 4000));
}

TEST_F(RecordingTest, RecordingPast200SecondsKeepsTheFirst200AndCountsOn) {
  SoundRecordStart();
  const std::uint32_t extra = 5 * 8000;
  device.AdvanceBytes(kStoreSize + extra);
  SoundRecordStop();
  EXPECT_EQ(state.RecordedLength, kStoreSize);
  EXPECT_EQ(state.PositionRecord.bytes, kStoreSize + extra);
  EXPECT_EQ(state.SampleBuffer[kStoreSize - 1], VirtualDevice::NumberedByte(kStoreSize - 1));
  EXPECT_EQ(state.SampleBuffer[0], VirtualDevice::NumberedByte(0));
}

TEST_F(RecordingTest, FailedInputOpenStillReturns1AndRecordsNothing) {
  // The format query passes; the real open fails.
  wave_service::InjectFault(wave_service::Operation::kInputOpen, wave_service::kAllocated, 1,
                            false);
  EXPECT_EQ(SoundRecordStart(), 1);
  EXPECT_EQ(state.InputHandle, 0u);
  device.AdvanceBytes(1000);
  EXPECT_EQ(SoundRecordStop(), 2);
  EXPECT_EQ(state.RecordedLength, 0u);
  EXPECT_TRUE(StoreHoldsSource(0, 2000));
  EXPECT_EQ(device.HeldInputs(), 0u);
}

TEST_F(RecordingTest, StaleInputHandleAfterAFailedOpenTouchesNothing) {
  Record(800);
  const wave_service::Handle closed = state.InputHandle;
  std::vector<wave_service::JournalEntry> journal;
  wave_service::SetJournal(&journal);
  wave_service::InjectFault(wave_service::Operation::kInputOpen, wave_service::kBadDeviceId, 1,
                            false);

  EXPECT_EQ(SoundRecordStart(), 1);
  EXPECT_EQ(state.InputHandle, closed);  // the failed open stored nothing
  device.AdvanceBytes(1000);
  SoundRecordStop();
  EXPECT_EQ(state.RecordedLength, 0u);
  EXPECT_TRUE(StoreHoldsSource(0, 2000));
  // Every call on the closed handle was refused as such.
  for (const auto& entry : journal) {
    if (entry.handle == closed && entry.op != wave_service::Operation::kInputOpen) {
      EXPECT_EQ(entry.result, wave_service::kInvalidHandle)
          << wave_service::OperationName(entry.op);
    }
  }
}

TEST_F(RecordingTest, PositionIsReadAfterTheStopAndBeforeTheReset) {
  std::vector<wave_service::JournalEntry> journal;
  Record(100);
  wave_service::SetJournal(&journal);
  SoundRecordStart();
  SoundRecordStop();
  using Op = wave_service::Operation;
  std::vector<Op> ops;
  for (const auto& entry : journal) ops.push_back(entry.op);
  const std::vector<Op> expected = {
      // start: the stop of the (closed) earlier input, then the new input
      Op::kInputStop, Op::kInputGetPosition, Op::kInputReset, Op::kInputUnprepareHeader,
      Op::kInputClose, Op::kInputOpen, Op::kInputOpen, Op::kInputPrepareHeader,
      Op::kInputAddBuffer, Op::kInputStart,
      // stop
      Op::kInputStop, Op::kInputGetPosition, Op::kInputReset, Op::kInputUnprepareHeader,
      Op::kInputClose};
  EXPECT_EQ(ops, expected);
  EXPECT_EQ(journal[5].handle, 0u) << "the format query stores no handle";
  for (std::size_t i = 10; i < journal.size(); ++i) EXPECT_EQ(journal[i].result, 0u);
}

TEST_F(RecordingTest, DLLStopChangesNothingAndEverythingStillWorks) {
  SoundRecordStart();
  device.AdvanceBytes(2000);
  auto before = std::make_unique<mirn::SoundState>(state);
  EXPECT_EQ(DLLStop(), 0);
  EXPECT_EQ(std::memcmp(before.get(), &state, sizeof state), 0);
  EXPECT_EQ(device.HeldInputs(), 1u) << "the recording goes on";
  device.AdvanceBytes(1000);
  SoundRecordStop();
  EXPECT_EQ(state.RecordedLength, 3000u);
  Record(400);
  EXPECT_EQ(DLLStop(), 0);
  EXPECT_EQ(state.RecordedLength, 400u);
}

}  // namespace
