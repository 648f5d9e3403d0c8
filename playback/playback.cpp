// SoundRecordPlay: the play sequence run twice, so that the bytes-recorded
// word acts as a one-shot length for the first pass.
#include "playback/playback.h"

#include <algorithm>

#include "MirnDLL.h"
#include "library/sound_state.h"

namespace mirn {

namespace ws = wave_service;

std::uint32_t BoundedPlayLength(std::uint32_t length) {
  // The bytes-recorded word may exceed the store (a tone replay scales it);
  // the device must never be asked to read past the store.
  return std::min(length, kStoreSize);
}

bool PlaySequence(std::int32_t rate) {
  auto& s = g_sound_state;
  s.BufferHeader.buffer_length = BoundedPlayLength(BytesRecorded());
  ws::OutputClose(s.OutputHandle);
  SetBytesRecorded(s.RecordedLength);
  s.WaveFormat.samples_per_second = static_cast<std::uint32_t>(rate);
  s.WaveFormat.bytes_per_second = static_cast<std::uint32_t>(rate);
  if (ws::OutputOpen(&s.OutputHandle, ws::kAnyDevice, &s.WaveFormat, 0, 0, 0) != ws::kOk) {
    return false;
  }
  ws::OutputPrepareHeader(s.OutputHandle, &s.BufferHeader, kHeaderSize);
  ws::OutputWrite(s.OutputHandle, &s.BufferHeader, kHeaderSize);
  return true;
}

std::int32_t Play(std::int32_t rate) {
  if (!PlaySequence(rate)) return 33;
  if (!PlaySequence(rate)) return 33;
  return 3;
}

}  // namespace mirn

extern "C" MIRNDLL_API int32_t MIRNDLL_CALL SoundRecordPlay(int32_t rate) {
  // A hint for the service, which changes none of the steps: what this call
  // plays replaces what earlier calls still play, its two passes play in
  // turn (the same bytes are heard once), and both outputs may be opened
  // side by side.
  const std::uint32_t rates[] = {static_cast<std::uint32_t>(rate), static_cast<std::uint32_t>(rate)};
  wave_service::BeginCall(rates, 2);
  return mirn::Play(rate);
}
