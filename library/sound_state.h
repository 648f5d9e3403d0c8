// SoundState: the library's one set of state, in static storage for as long as
// the library is loaded. Every export works on it directly.
#pragma once

#include <cstdint>

#include "wave_service/wave_service.h"

namespace mirn {

inline constexpr std::uint32_t kStoreSize = 1'600'000;   // 200 s at 8,000 samples/s
inline constexpr std::uint32_t kRecordingRate = 8'000;
inline constexpr std::uint32_t kHeaderSize = sizeof(wave_service::BufferHeader);
inline constexpr std::uint32_t kPositionSize = sizeof(wave_service::PositionRecord);

// Fields in the order the library has always kept them. Zero at load: null
// data address, every length 0, both handles 0.
struct SoundState {
  std::uint32_t RecordedLength;            // length plays and tone replays use
  std::uint8_t SampleBuffer[kStoreSize];   // unsigned 8-bit mono PCM
  wave_service::BufferHeader BufferHeader; // the one header, both directions
  wave_service::Handle OutputHandle;       // kept after its device closes
  wave_service::Handle InputHandle;        // kept after its device closes
  wave_service::WaveFormat WaveFormat;     // passed to every open
  wave_service::PositionRecord PositionRecord;
  // Where the store's bytes that may differ from 0 end, beyond what the
  // header's bytes-recorded word shows: a start clears only that far, so the
  // pages no take or load has reached are never touched.
  std::uint32_t StoreWritten;
};

#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(wave_service::BufferHeader) == 32);
#endif
static_assert(sizeof(wave_service::WaveFormat) == 18);
static_assert(sizeof(wave_service::PositionRecord) == 12);

// The one instance (zero-initialised static storage).
extern SoundState g_sound_state;

// Sets the format record to the recording format: PCM, mono, 8,000 samples/s,
// 8 bits, block align 0. The extra size is left to the caller.
void SetRecordingFormat(wave_service::WaveFormat& format);

// Writes the header words that a running device may also touch; see
// wave_service/shared_words.h. The count a write replaces is kept in
// StoreWritten: it may be how far a running input has written.
void SetBytesRecorded(std::uint32_t value);
std::uint32_t BytesRecorded();

// Notes that the store's bytes up to `end` may differ from 0.
void NoteStoreWritten(std::uint32_t end);

// How many bytes from the store's start may differ from 0: every byte past
// them is 0. While an input runs, the bytes it writes from now on are not
// counted.
std::uint32_t StoreInUse();

}  // namespace mirn
