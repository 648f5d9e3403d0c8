// ToneCreate: plays the store at the caller's rate, then replays it at 8,000
// samples/s over a length scaled by 11025 / rate and then over RecordedLength.
#include "MirnDLL.h"
#include "library/sound_state.h"
#include "playback/playback.h"

namespace ws = wave_service;

extern "C" MIRNDLL_API int32_t MIRNDLL_CALL ToneCreate(int32_t rate) {
  // The service's hint (see SoundRecordPlay): the tone and both passes of its
  // replay are one call, heard one after another.
  const std::uint32_t rates[] = {static_cast<std::uint32_t>(rate), mirn::kRecordingRate,
                                 mirn::kRecordingRate};
  ws::BeginCall(rates, 3);

  auto& s = mirn::g_sound_state;
  s.BufferHeader.buffer_length = mirn::BoundedPlayLength(mirn::BytesRecorded());
  ws::OutputClose(s.OutputHandle);

  // A rate below 1 has no meaningful quotient: factor 0, and the open below
  // refuses the rate.
  const std::uint32_t factor = rate >= 1 ? static_cast<std::uint32_t>(11025 / rate) : 0;
  s.WaveFormat.samples_per_second = static_cast<std::uint32_t>(rate);
  s.WaveFormat.bytes_per_second = static_cast<std::uint32_t>(rate);
  // A 32-bit product that wraps as it always has; the play that uses it is
  // bounded by the store.
  mirn::SetBytesRecorded(factor * s.RecordedLength);

  if (ws::OutputOpen(&s.OutputHandle, ws::kAnyDevice, &s.WaveFormat, 0, 0, 0) != ws::kOk) {
    return 33;
  }
  ws::OutputPrepareHeader(s.OutputHandle, &s.BufferHeader, mirn::kHeaderSize);
  ws::OutputWrite(s.OutputHandle, &s.BufferHeader, mirn::kHeaderSize);

  mirn::Play(8000);  // SoundRecordPlay's steps; their result is not the tone replay's
  return 1;
}
