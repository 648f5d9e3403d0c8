// The devices' one line on stderr per recovery event, printed only while
// MIRN_DEBUG is set (to anything but the empty string) when the process
// first asks.
#pragma once

namespace wave_service {

// Whether MIRN_DEBUG was set, read once per process.
bool DebugWanted();

// Prints "mirn: " and the formatted text as one line on stderr, and flushes,
// when DebugWanted(); nothing otherwise.
#if defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
void DebugLine(const char* format, ...);

}  // namespace wave_service
