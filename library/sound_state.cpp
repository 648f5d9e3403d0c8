// The one SoundState, the header-word helpers every Part shares, and DLLStop.
#include "library/sound_state.h"

#include "MirnDLL.h"
#include "wave_service/shared_words.h"

namespace mirn {

SoundState g_sound_state{};

void SetRecordingFormat(wave_service::WaveFormat& format) {
  format.format_tag = wave_service::kFormatPcm;
  format.channels = 1;
  format.samples_per_second = kRecordingRate;
  format.bytes_per_second = kRecordingRate;
  format.block_align = 0;  // the library has always passed 0 here; the service ignores it
  format.bits_per_sample = 8;
}

void SetBytesRecorded(std::uint32_t value) {
  wave_service::StoreShared(g_sound_state.BufferHeader.bytes_recorded, value);
}

std::uint32_t BytesRecorded() {
  return wave_service::LoadShared(g_sound_state.BufferHeader.bytes_recorded);
}

}  // namespace mirn

// The host's end-of-use call. The store is static storage, not heap memory, so
// there is nothing to release: DLLStop changes nothing, stops no device and
// leaves every export usable.
extern "C" MIRNDLL_API int32_t MIRNDLL_CALL DLLStop(void) { return 0; }
