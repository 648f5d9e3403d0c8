// What a stream does about each error ALSA reports on a running PCM: one row
// per code, so that every path of recovery is named once and tested once.
#pragma once

#include <cerrno>
#include <chrono>

namespace wave_service::alsa {

enum class Recovery {
  kWait,     // nothing to move yet: wait for the PCM
  kRestart,  // an xrun: prepare and start again, the stream's position kept
  kResume,   // suspended: resume for a bounded time, then prepare
  kReopen,   // the server or device is gone: close, then reopen with backoff
};

struct RecoveryRow {
  int error;  // ALSA's negative code
  Recovery recovery;
};

inline constexpr RecoveryRow kRecoveryPolicy[] = {
    {-EAGAIN, Recovery::kWait},
    {-EPIPE, Recovery::kRestart},
    {-ESTRPIPE, Recovery::kResume},
    {-EIO, Recovery::kReopen},
    {-EBADFD, Recovery::kReopen},
    {-ENODEV, Recovery::kReopen},
    {-ENOTCONN, Recovery::kReopen},
};

// The row for `error`; a code with no row is taken as a device gone, since
// a reopen is what brings any PCM back to a known state.
constexpr Recovery RecoveryFor(int error) {
  for (const RecoveryRow& row : kRecoveryPolicy) {
    if (row.error == error) return row.recovery;
  }
  return Recovery::kReopen;
}

// How long a suspended PCM is given to resume before it is prepared instead.
inline constexpr std::chrono::milliseconds kResumeLimit{1000};
// A running PCM that moves no frame for this long has lost its server
// without saying so (a PipeWire client whose daemon died waits for good).
// A sound server may take a second or two to start a first stream.
inline constexpr std::chrono::milliseconds kStallLimit{4000};

// A PCM whose server has gone may report an xrun at once after every
// restart (PipeWire's plugin does, with its prepare and start succeeding):
// this many xruns in a row, each within a period of the one before, make it
// a lost PCM. A real xrun needs a buffer to run over or dry first.
inline constexpr int kQuickXrunLimit = 8;

}  // namespace wave_service::alsa
