// The table of winmm functions the winmm device calls, filled with winmm's own.
#include "wave_service/winmm/winmm_calls.h"

namespace wave_service {

namespace {

const WinmmCalls kSystem{
    &::waveInGetNumDevs,       &::waveInGetDevCapsA,  &::waveInOpen,
    &::waveInPrepareHeader,    &::waveInAddBuffer,    &::waveInStart,
    &::waveInReset,            &::waveInUnprepareHeader, &::waveInClose,
    &::waveOutGetNumDevs,      &::waveOutGetDevCapsA, &::waveOutOpen,
    &::waveOutPrepareHeader,   &::waveOutWrite,       &::waveOutReset,
    &::waveOutUnprepareHeader, &::waveOutClose,       &::timeGetTime,
};

WinmmCalls g_calls = kSystem;

}  // namespace

WinmmCalls& Winmm() { return g_calls; }
const WinmmCalls& WinmmSystemCalls() { return kSystem; }

}  // namespace wave_service
