// How long the sound of SoundRecordPlay and ToneCreate lasts, from the
// lengths in the library's store. The library never says when its sound has
// ended, so a host that must wait waits this long, and kDeviceLatency more.
// The Python binding follows the same rule (mirndll/_durations.py), held to
// this one by its tests over a grid of inputs.
#pragma once

#include <cstdint>

#include "MirnDLL.h"

namespace mirn::host {

// Seconds a sound system may lag behind a play: the device's own buffer and
// a sound server's on top of it. A host that leaves as the sound's duration
// ends cuts its end off.
inline constexpr double kDeviceLatency = 0.3;

// What the library's bytes-recorded word holds once ToneCreate(rate) has
// scaled `recorded` bytes: recorded times MIRNDLL_TONE_SCALE / rate (whole
// division; 0 for a rate below 1), a 32-bit product that wraps as the
// library's does.
std::uint32_t ToneScaledLength(std::uint32_t recorded, std::int32_t rate);

// `first` is the bytes-recorded word, the length a call's first pass plays:
// `recorded` after a stop, a load or a play, ToneScaledLength after a
// ToneCreate whose own output did not open (then nothing else of it played).
// Passes play one after another, none past the store; a pass the same as the
// one before it (length and rate) is heard once, an empty one not at all.

// SoundRecordPlay(rate): `first` bytes at rate, then `recorded` bytes.
double PlaySeconds(std::uint32_t first, std::uint32_t recorded, std::int32_t rate);
// ToneCreate(rate): `first` bytes at rate, then at the recording rate the
// scaled length and `recorded` bytes.
double ToneSeconds(std::uint32_t first, std::uint32_t recorded, std::int32_t rate);

}  // namespace mirn::host
