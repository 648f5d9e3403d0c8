// The one SoundState, the header-word helpers the exports share, its
// detachment from the wave service at unload, and DLLStop.
#include "library/sound_state.h"

#include <algorithm>

#include "MirnDLL.h"
#include "wave_service/shared_words.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace mirn {

SoundState g_sound_state{};

#ifndef _WIN32
namespace {

// Run when the library is unloaded (or the process exits): the wave service
// outlives the library, so it is told to end every stream on the state and
// never to touch the store or the header again, before they are unmapped.
struct DetachAtUnload {
  ~DetachAtUnload() { wave_service::DetachMemory(&g_sound_state, sizeof g_sound_state); }
} g_detach_at_unload;

}  // namespace
#endif

void SetRecordingFormat(wave_service::WaveFormat& format) {
  format.format_tag = wave_service::kFormatPcm;
  format.channels = 1;
  format.samples_per_second = kRecordingRate;
  format.bytes_per_second = kRecordingRate;
  format.block_align = 0;  // the library has always passed 0 here; the service ignores it
  format.bits_per_sample = 8;
}

void SetBytesRecorded(std::uint32_t value) {
  NoteStoreWritten(wave_service::ExchangeShared(g_sound_state.BufferHeader.bytes_recorded, value));
}

std::uint32_t BytesRecorded() {
  return wave_service::LoadShared(g_sound_state.BufferHeader.bytes_recorded);
}

void NoteStoreWritten(std::uint32_t end) {
  auto& s = g_sound_state;
  s.StoreWritten = std::min(std::max(s.StoreWritten, end), kStoreSize);
}

// An input writes its bytes from the store's start and counts them in the
// header's word as it goes, so the word bounds what it has written, except
// where the library has since rewritten the word: SetBytesRecorded kept that
// count, and a stop keeps the input's last.
std::uint32_t StoreInUse() {
  return std::min(std::max(g_sound_state.StoreWritten, BytesRecorded()), kStoreSize);
}

}  // namespace mirn

// The host's end-of-use call. The store is static storage, not heap memory, so
// there is nothing to release: DLLStop changes nothing, stops no device and
// leaves every export usable.
extern "C" MIRNDLL_API int32_t MIRNDLL_CALL DLLStop(void) { return 0; }

#ifdef _WIN32
// On Windows the state is detached at a FreeLibrary only (`reserved` null).
// At process exit every other thread has already been ended, wherever it
// was, perhaps holding the service's lock, and nothing runs afterwards to
// touch the state: a detach there could only hang. Nor is it detached when
// no open ever stored a handle in it: no stream can use it then, and the
// service's default device, made by a detach, would pin a module that is
// being unloaded.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
  const mirn::SoundState& state = mirn::g_sound_state;
  if (reason == DLL_PROCESS_DETACH && reserved == nullptr &&
      (state.InputHandle != 0 || state.OutputHandle != 0)) {
    wave_service::DetachMemory(&mirn::g_sound_state, sizeof mirn::g_sound_state);
  }
  return TRUE;
}
#endif
