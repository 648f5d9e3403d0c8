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
// wave_service/shared_words.h.
void SetBytesRecorded(std::uint32_t value);
std::uint32_t BytesRecorded();

}  // namespace mirn
