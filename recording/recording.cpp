// Recording control: SoundRecordStart and SoundRecordStop, each a fixed
// sequence of wave-service calls on SoundState whose results are ignored.
#include "MirnDLL.h"
#include "library/sound_state.h"
#include "wave_service/shared_words.h"

namespace {

using mirn::g_sound_state;
namespace ws = wave_service;

// Clears the whole buffer header. A device may still be recording through it
// (a restart clears it before stopping the old input), so the words a device
// updates are written atomically.
void ClearBufferHeader() {
  ws::BufferHeader& header = g_sound_state.BufferHeader;
  header.data = nullptr;
  header.buffer_length = 0;
  mirn::SetBytesRecorded(0);
  header.user = 0;
  ws::StoreShared(header.flags, 0);
  for (std::uint32_t& word : header.service) ws::StoreShared(word, 0);
}

}  // namespace

extern "C" MIRNDLL_API int32_t MIRNDLL_CALL SoundRecordStop(void) {
  auto& s = g_sound_state;
  s.PositionRecord.time_format = ws::kTimeBytes;
  ws::InputStop(s.InputHandle);
  ws::InputGetPosition(s.InputHandle, &s.PositionRecord, mirn::kPositionSize);
  s.RecordedLength = mirn::BytesRecorded();
  // The input has written its last byte; a later take's counts replace this
  // one in the header, so its reach is kept for the next start's clear.
  mirn::NoteStoreWritten(s.RecordedLength);
  ws::InputReset(s.InputHandle);
  ws::InputUnprepareHeader(s.InputHandle, &s.BufferHeader, mirn::kHeaderSize);
  ws::InputClose(s.InputHandle);
  return 2;
}

extern "C" MIRNDLL_API int32_t MIRNDLL_CALL SoundRecordStart(void) {
  auto& s = g_sound_state;
  // Cleared to 0, as the library always has, not to the 128 of silence. An
  // input still running may write into it until the stop below. Only the
  // part that may hold anything but 0 is written: the first start of a
  // process would otherwise fault in all 1.6 MB of a store still untouched.
  ws::ClearShared(s.SampleBuffer, mirn::StoreInUse());
  s.StoreWritten = 0;
  mirn::SetRecordingFormat(s.WaveFormat);
  s.WaveFormat.extra_size = 0;

  ClearBufferHeader();
  s.BufferHeader.buffer_length = 100'000;  // seen only by the unprepare in the stop

  SoundRecordStop();  // stops and closes an input left open by an earlier start

  ws::InputOpen(&s.InputHandle, 0, &s.WaveFormat, 0, 0, ws::kFormatQuery);
  ws::InputOpen(&s.InputHandle, ws::kAnyDevice, &s.WaveFormat, 0, 0, 0);

  s.BufferHeader.data = s.SampleBuffer;
  s.BufferHeader.buffer_length = mirn::kStoreSize;
  ws::StoreShared(s.BufferHeader.flags, 0);

  ws::InputPrepareHeader(s.InputHandle, &s.BufferHeader, mirn::kHeaderSize);
  ws::InputAddBuffer(s.InputHandle, &s.BufferHeader, mirn::kHeaderSize);
  ws::InputStart(s.InputHandle);
  return 1;
}
