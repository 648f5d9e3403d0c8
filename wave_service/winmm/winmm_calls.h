// The winmm functions the winmm device calls, kept in one table as SQLite
// keeps its system calls: the device reaches winmm only through Winmm(), so
// a test can put its own function in any entry (fail the Nth call, hold one
// up) and put winmm's back afterwards. Unchanged, an entry costs one
// indirect call, as the import it holds would.
#pragma once

#include <windows.h>
#include <mmsystem.h>

namespace wave_service {

// X(function): every call in the table, in one list, so that the table and
// its filling with winmm's own functions are made from it and no two entries
// of one signature can change places.
#define MIRN_WINMM_CALLS(X) \
  X(waveInGetNumDevs)       \
  X(waveInGetDevCapsA)      \
  X(waveInOpen)             \
  X(waveInPrepareHeader)    \
  X(waveInAddBuffer)        \
  X(waveInStart)            \
  X(waveInReset)            \
  X(waveInUnprepareHeader)  \
  X(waveInClose)            \
  X(waveOutGetNumDevs)      \
  X(waveOutGetDevCapsA)     \
  X(waveOutOpen)            \
  X(waveOutPrepareHeader)   \
  X(waveOutWrite)           \
  X(waveOutReset)           \
  X(waveOutUnprepareHeader) \
  X(waveOutClose)           \
  /* The device's clock, in milliseconds: winmm's own. */ \
  X(timeGetTime)

struct WinmmCalls {
#define MIRN_WINMM_ENTRY(function) decltype(&::function) function;
  MIRN_WINMM_CALLS(MIRN_WINMM_ENTRY)
#undef MIRN_WINMM_ENTRY
};

// The table in use. Entries are changed only while no winmm stream is open.
WinmmCalls& Winmm();
// winmm's own functions, to restore an entry from.
const WinmmCalls& WinmmSystemCalls();

}  // namespace wave_service
