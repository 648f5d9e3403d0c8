// Playback steps shared by SoundRecordPlay and the tone replay.
#pragma once

#include <cstdint>

namespace mirn {

// Largest length a play may read from the store.
std::uint32_t BoundedPlayLength(std::uint32_t length);

// One pass of a play at rate: points the header at the bytes-recorded length,
// closes the previous output, opens a new one and writes the header to it.
// False when the output could not be opened (nothing written then).
bool PlaySequence(std::int32_t rate);

// SoundRecordPlay's steps: the play sequence twice; 3, or 33 as soon as an
// open fails. The export and the tone replay's nested play both run it, the
// tone replay within its own call (see the export).
std::int32_t Play(std::int32_t rate);

}  // namespace mirn
