// The winmm functions the winmm device calls, kept in one table as SQLite
// keeps its system calls: the device reaches winmm only through Winmm(), so
// a test can put its own function in any entry (fail the Nth call, hold one
// up) and put winmm's back afterwards. Unchanged, an entry costs one
// indirect call, as the import it holds would.
#pragma once

#include <windows.h>
#include <mmsystem.h>

namespace wave_service {

struct WinmmCalls {
  decltype(&::waveInGetNumDevs) waveInGetNumDevs;
  decltype(&::waveInGetDevCapsA) waveInGetDevCapsA;
  decltype(&::waveInOpen) waveInOpen;
  decltype(&::waveInPrepareHeader) waveInPrepareHeader;
  decltype(&::waveInAddBuffer) waveInAddBuffer;
  decltype(&::waveInStart) waveInStart;
  decltype(&::waveInReset) waveInReset;
  decltype(&::waveInUnprepareHeader) waveInUnprepareHeader;
  decltype(&::waveInClose) waveInClose;
  decltype(&::waveOutGetNumDevs) waveOutGetNumDevs;
  decltype(&::waveOutGetDevCapsA) waveOutGetDevCapsA;
  decltype(&::waveOutOpen) waveOutOpen;
  decltype(&::waveOutPrepareHeader) waveOutPrepareHeader;
  decltype(&::waveOutWrite) waveOutWrite;
  decltype(&::waveOutReset) waveOutReset;
  decltype(&::waveOutUnprepareHeader) waveOutUnprepareHeader;
  decltype(&::waveOutClose) waveOutClose;
  // The device's clock, in milliseconds: winmm's own.
  decltype(&::timeGetTime) timeGetTime;
};

// The table in use. Entries are changed only while no winmm stream is open.
WinmmCalls& Winmm();
// winmm's own functions, to restore an entry from.
const WinmmCalls& WinmmSystemCalls();

}  // namespace wave_service
