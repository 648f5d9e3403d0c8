// The thin layer over ALSA: the named PCM set up for the wave service (8-bit
// mono at a chosen rate in short periods), ALSA's error codes in the
// service's terms, ALSA's own messages kept off stderr, and the wait a PCM's
// thread makes for its PCM or for a wake-up call. Every PCM call goes
// through the table of pcm_calls.h.
#pragma once

#include <alsa/asoundlib.h>

#include <cerrno>
#include <cstdint>

#include "wave_service/device.h"

namespace wave_service::alsa {

// ALSA's negative error codes (and 0 or more for success) as service codes.
Result TranslateAlsaError(int error);

// Whether PCM `name` takes 8-bit mono at `rate`, tried on a PCM that is
// opened and closed again without being set up (so no stream is started).
Result CheckPcm(Direction direction, const char* name, std::uint32_t rate);

// Keeps ALSA's own error messages off the host's stderr, for good: the
// device reports what happens itself (MIRN_DEBUG).
void SilenceAlsaMessages();

// The PCM `name` opened non-blocking and set up for 8-bit mono at `rate`, with
// a start as soon as a frame is there. Playback runs in periods of about
// 20 ms, four buffered, so a play starts soon; capture in periods of about
// 50 ms in a buffer of half a second, so that what a stop reads out reaches
// to within a period of it.
// `error` is ALSA's code (0 when open), `period` and `buffer` the period and
// the buffer in frames.
struct OpenedPcm {
  int error = -EIO;
  snd_pcm_t* pcm = nullptr;
  snd_pcm_uframes_t period = 0;
  snd_pcm_uframes_t buffer = 0;
};
OpenedPcm OpenPcm(Direction direction, const char* name, std::uint32_t rate);
// The open PCM `pcm`, stopped and set up afresh at `rate`, as OpenPcm sets
// one up: cheaper than closing it and opening another, since the PCM's
// connection to its sound server stays. A PCM it cannot set up is closed
// (the result's pcm is then null).
OpenedPcm RetunePcm(snd_pcm_t* pcm, Direction direction, std::uint32_t rate);

// A stream thread's wait: returns when Signal was called since the last wait
// returned, or when `pcm` (if not null) is ready for I/O, and after at most
// `limit_millis` (a fraction of a second unless told) whatever happens, so a
// thread never waits for good on a device that stops answering.
class Wakeup {
 public:
  Wakeup();
  ~Wakeup();
  Wakeup(const Wakeup&) = delete;
  Wakeup& operator=(const Wakeup&) = delete;

  bool valid() const { return fd_ >= 0; }
  void Signal();
  void Wait(snd_pcm_t* pcm, int limit_millis = kWaitLimitMillis);

  static constexpr int kWaitLimitMillis = 250;

 private:
  int fd_;
};

}  // namespace wave_service::alsa
