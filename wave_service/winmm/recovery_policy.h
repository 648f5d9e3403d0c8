// What a winmm stream does about each MMRESULT winmm answers on an open
// device (a header refused, a start that fails): one row per code, so that
// every path of recovery is named once and tested once.
#pragma once

#include <windows.h>
#include <mmsystem.h>

namespace wave_service::winmm {

enum class Recovery {
  kRetry,   // the same call again after a backoff; nothing else changes
  kReopen,  // the device is gone or broken: close it, open it again with backoff
};

struct RecoveryRow {
  MMRESULT code;
  Recovery recovery;
};

inline constexpr RecoveryRow kRecoveryPolicy[] = {
    {MMSYSERR_NOMEM, Recovery::kRetry},          // short of memory for now
    {MMSYSERR_NODRIVER, Recovery::kReopen},      // the driver went away
    {MMSYSERR_BADDEVICEID, Recovery::kReopen},   // the device went away
    {MMSYSERR_INVALHANDLE, Recovery::kReopen},   // winmm closed the handle itself
    {MMSYSERR_ERROR, Recovery::kReopen},         // an error from the device
};

// The row for `code`; a code with no row is taken as a device gone, since a
// reopen is what brings any device back to a known state.
constexpr Recovery RecoveryFor(MMRESULT code) {
  for (const RecoveryRow& row : kRecoveryPolicy) {
    if (row.code == code) return row.recovery;
  }
  return Recovery::kReopen;
}

}  // namespace wave_service::winmm
