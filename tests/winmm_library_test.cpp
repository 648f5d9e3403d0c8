// The library on Windows' winmm, under Wine on ALSA's file-backed "default"
// (scripts/test-windows.sh): what each play pass writes, a restart while
// recording, plays over plays, and many plays in a row. The raw winmm calls
// with the library's own header would fail each of these.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "MirnDLL.h"
#include "library/sound_state.h"
#include "wave_service/device.h"
#include "wave_service/winmm/winmm_device.h"
#include "wave_service/winmm/winmm_test_streams.h"

namespace {

namespace ws = wave_service;
using ws::test::Bytes;
using ws::test::PlaysAs;
using ws::test::WaitFor;
using mirn::g_sound_state;

// The value of a handle made now. Handles take the lowest free value, so
// leaked ones show as this creeping up (Wine's GetProcessHandleCount
// counts nothing).
std::uintptr_t FreshHandleValue() {
  HANDLE probe = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  CloseHandle(probe);
  return reinterpret_cast<std::uintptr_t>(probe);
}

Bytes Store(std::size_t length) {
  return Bytes(g_sound_state.SampleBuffer, g_sound_state.SampleBuffer + length);
}

class WinmmLibrary : public ::testing::Test {
 protected:
  void SetUp() override {
    streams_.SetUp();
    if (HasFatalFailure()) return;
    std::memset(&g_sound_state, 0, sizeof g_sound_state);
    device_.Install();
  }

  // `size` bytes (i * 7 + 3) in the store, as a load leaves them.
  void LoadPattern(std::uint32_t size) {
    for (std::uint32_t i = 0; i < size; ++i) {
      g_sound_state.SampleBuffer[i] = static_cast<std::uint8_t>(i * 7 + 3);
    }
    g_sound_state.PositionRecord.bytes = size;
    const std::wstring file = (streams_.folder() / "pattern.wav").wstring();
    ASSERT_EQ(SoundRecordSave(SysAllocString(file.c_str()), 8000), static_cast<std::int32_t>(size));
    ASSERT_EQ(SoundRecordLoad(SysAllocString(file.c_str())), static_cast<std::int32_t>(size));
  }

  // Closes the output the last play left open and waits until every stream
  // has played out and let go of its winmm device.
  void FinishPlaying() {
    ws::OutputClose(g_sound_state.OutputHandle);
    EXPECT_TRUE(WaitFor([] { return ws::Counts().outputs == 0; }));
    EXPECT_TRUE(WaitFor([&] { return !device_.Playing(); }));
  }

  ws::test::PlayedStreams streams_;
  ws::WinmmDevice device_;
};

// Both passes of a play over the same bytes are one sound, heard once.
TEST_F(WinmmLibrary, APlayIsHeardOnceAsExactlyItsBytes) {
  LoadPattern(3001);
  EXPECT_EQ(SoundRecordPlay(16000), 3);
  FinishPlaying();
  const std::vector<Bytes> played = streams_.Played();
  ASSERT_EQ(played.size(), 1u);
  EXPECT_TRUE(PlaysAs(played[0], Store(3001)));
}

TEST_F(WinmmLibrary, RestartsAndPlaysOverRunningSoundNeitherCrashNorLeak) {
  // A restart clears the header while the old input still records into it.
  EXPECT_EQ(SoundRecordStart(), 1);
  EXPECT_TRUE(WaitFor([] { return mirn::BytesRecorded() > 0; }));
  const ws::Handle first = g_sound_state.InputHandle;
  EXPECT_EQ(SoundRecordStart(), 1);
  EXPECT_NE(g_sound_state.InputHandle, first);
  EXPECT_EQ(ws::Counts().inputs, 1u);

  // Plays of the header still queued on the input, each closing the output
  // of the one before, and cutting it, while it plays.
  EXPECT_TRUE(WaitFor([] { return mirn::BytesRecorded() >= 4000; }));
  for (int i = 0; i < 3; ++i) EXPECT_EQ(SoundRecordPlay(8000), 3);
  EXPECT_EQ(SoundRecordStop(), 2);
  EXPECT_GE(g_sound_state.RecordedLength, 4000u);
  FinishPlaying();
  EXPECT_EQ(ws::Counts().inputs, 0u);
  EXPECT_EQ(ws::Counts().headers, 0u);
  EXPECT_FALSE(streams_.Played().empty()) << "the last play is heard";
}

TEST_F(WinmmLibrary, TwoHundredPlaysInARowLeakNoHandle) {
  LoadPattern(400);
  EXPECT_EQ(SoundRecordPlay(48000), 3);  // a first play sets up what stays
  FinishPlaying();
  const std::uintptr_t handles = FreshHandleValue();
  for (int i = 0; i < 200; ++i) ASSERT_EQ(SoundRecordPlay(48000), 3) << "play " << i;
  FinishPlaying();
  // Each pass takes an event and a thread at least: a leak would be hundreds.
  EXPECT_LE(FreshHandleValue(), handles + 8 * 4);  // handle values step by 4
  EXPECT_EQ(ws::Counts().headers, 0u);
  // One sound per play, of which a later play may cut the end; the last whole.
  const std::vector<Bytes> played = streams_.Played();
  ASSERT_FALSE(played.empty());
  EXPECT_LE(played.size(), 201u);
  EXPECT_TRUE(PlaysAs(played.back(), Store(400)));
}

}  // namespace
