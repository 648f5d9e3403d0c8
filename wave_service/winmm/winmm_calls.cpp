// The table of winmm functions the winmm device calls, filled with winmm's own.
#include "wave_service/winmm/winmm_calls.h"

namespace wave_service {

namespace {

const WinmmCalls kSystem{
#define MIRN_WINMM_SYSTEM(function) &::function,
    MIRN_WINMM_CALLS(MIRN_WINMM_SYSTEM)
#undef MIRN_WINMM_SYSTEM
};

WinmmCalls g_calls = kSystem;

}  // namespace

WinmmCalls& Winmm() { return g_calls; }
const WinmmCalls& WinmmSystemCalls() { return kSystem; }

}  // namespace wave_service
