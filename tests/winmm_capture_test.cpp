// Recording through winmm, under Wine on a private PulseAudio server whose
// pipe source plays known bytes (run by mirn_sound_test_env, with Wine's
// PulseAudio driver): what a recording keeps is the source's bytes, as one
// run with none lost or repeated.
#include <gtest/gtest.h>

#include <cstring>

#include "MirnDLL.h"
#include "library/sound_state.h"
#include "wave_service/winmm/winmm_test_streams.h"

namespace {

using mirn::g_sound_state;
using wave_service::test::WaitFor;

// The source plays 1, 2, ..., 251, 1, ...: each byte follows the one before.
bool Follows(std::uint8_t before, std::uint8_t byte) { return byte == before % 251 + 1; }

// The first byte of the source's in the first `recorded` bytes: Wine may
// start with its own silence, and the time before the device delivers its
// first bytes is silence too.
std::uint32_t FirstSound(std::uint32_t recorded) {
  const std::uint8_t* store = g_sound_state.SampleBuffer;
  std::uint32_t first = 0;
  while (first < recorded && (store[first] == 0 || store[first] == 0x80)) ++first;
  return first;
}

TEST(WinmmCapture, ARecordingKeepsTheSourcesBytesAsOneRun) {
  std::memset(&g_sound_state, 0, sizeof g_sound_state);
  EXPECT_EQ(SoundRecordStart(), 1);
  // A second of the source's sound, which it plays in real time, however
  // long the device took to start.
  ASSERT_TRUE(WaitFor([] {
    const std::uint32_t recorded = mirn::BytesRecorded();
    return recorded >= FirstSound(recorded) + 8000;
  }));
  EXPECT_EQ(SoundRecordStop(), 2);
  const std::uint32_t recorded = g_sound_state.RecordedLength;
  ASSERT_GE(recorded, 8000u);
  EXPECT_GE(g_sound_state.PositionRecord.bytes, recorded);

  // From the source's first byte on, every byte follows, to the recording's
  // end, but for silence that stands for the time a stop did not wait for.
  const std::uint8_t* store = g_sound_state.SampleBuffer;
  const std::uint32_t first = FirstSound(recorded);
  std::uint32_t end = recorded;
  while (end > first && store[end - 1] == 0x80) --end;
  for (std::uint32_t n = first + 1; n < end; ++n) {
    ASSERT_TRUE(Follows(store[n - 1], store[n]))
        << "byte " << n << " of " << recorded << " breaks the run begun at " << first;
  }
  EXPECT_EQ(store[recorded], 0) << "nothing past the recorded length";
}

}  // namespace
