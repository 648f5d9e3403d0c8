// Opening and setting up a named ALSA PCM, error translation, ALSA's
// messages, and the poll that PCM threads wait in.
#include "wave_service/alsa/alsa_pcm.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "wave_service/alsa/big_blocks.h"
#include "wave_service/alsa/pcm_calls.h"

namespace wave_service::alsa {

namespace {

// Playback in short periods, so that a play starts at once and a cut is
// heard at once, four buffered. Capture in short periods too, since a sound
// server delivers what it captured in pieces of about a period (PipeWire's
// plugin asks its graph for that latency, PulseAudio's for fragments of that
// size), and a stop reads out what it has delivered; but not shorter than
// 50 ms, as at 25 ms PipeWire's client drops a piece now and then on a busy
// machine. Its buffer stays long, so that an owner held up a while loses
// nothing.
constexpr unsigned kOutputPeriodMicros = 20'000;
constexpr unsigned kOutputBufferMicros = 4 * kOutputPeriodMicros;
constexpr unsigned kInputPeriodMicros = 50'000;
constexpr unsigned kInputBufferMicros = 500'000;

snd_pcm_stream_t AlsaStream(Direction direction) {
  return direction == Direction::kInput ? SND_PCM_STREAM_CAPTURE : SND_PCM_STREAM_PLAYBACK;
}

// Narrows `hw` to 8-bit mono at exactly `rate` (resampled by ALSA where the
// device runs at another), in the direction's periods and buffer.
int Configure(snd_pcm_t* pcm, snd_pcm_hw_params_t* hw, Direction direction, unsigned rate) {
  const bool input = direction == Direction::kInput;
  unsigned period = input ? kInputPeriodMicros : kOutputPeriodMicros;
  unsigned buffer = input ? kInputBufferMicros : kOutputBufferMicros;
  const PcmCalls& calls = Pcm();
  int err = calls.hw_params_any(pcm, hw);
  if (err >= 0) err = calls.hw_params_set_rate_resample(pcm, hw, 1);
  if (err >= 0) err = calls.hw_params_set_access(pcm, hw, SND_PCM_ACCESS_RW_INTERLEAVED);
  if (err >= 0) err = calls.hw_params_set_format(pcm, hw, SND_PCM_FORMAT_U8);
  if (err >= 0) err = calls.hw_params_set_channels(pcm, hw, 1);
  if (err >= 0) err = calls.hw_params_set_rate(pcm, hw, rate, 0);
  if (err >= 0) err = calls.hw_params_set_buffer_time_near(pcm, hw, &buffer, nullptr);
  if (err >= 0) err = calls.hw_params_set_period_time_near(pcm, hw, &period, nullptr);
  return err;
}

// A stream starts with its first frame (a short play must not wait for a
// full buffer) and wakes its thread once a period can move.
int SetStartAndWake(snd_pcm_t* pcm, snd_pcm_uframes_t period) {
  snd_pcm_sw_params_t* sw;
  snd_pcm_sw_params_alloca(&sw);
  const PcmCalls& calls = Pcm();
  int err = calls.sw_params_current(pcm, sw);
  if (err >= 0) err = calls.sw_params_set_start_threshold(pcm, sw, 1);
  if (err >= 0) err = calls.sw_params_set_avail_min(pcm, sw, period);
  if (err >= 0) err = calls.sw_params(pcm, sw);
  return err;
}

}  // namespace

Result TranslateAlsaError(int error) {
  if (error >= 0) return kOk;
  switch (-error) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
    case ECONNREFUSED:  // a sound server that is not there
    case EHOSTDOWN:
    case ENOTCONN:
      return kBadDeviceId;
    case EBUSY:
    case EAGAIN:
      return kAllocated;
    case EINVAL:  // what ALSA answers to a format or rate it refuses
      return kBadFormat;
    case ENOMEM:
      return kNoMemory;
    default:
      return kError;
  }
}

// ALSA's messages come from library code the device calls, on any thread.
static void IgnoreAlsaMessage(const char*, int, const char*, int, const char*, ...) {}

void SilenceAlsaMessages() { snd_lib_error_set_handler(&IgnoreAlsaMessage); }

Result CheckPcm(Direction direction, const char* name, std::uint32_t rate) {
  const PcmCalls& calls = Pcm();
  snd_pcm_t* pcm = nullptr;
  int err = calls.open(&pcm, name, AlsaStream(direction), SND_PCM_NONBLOCK);
  if (err < 0) return TranslateAlsaError(err);
  snd_pcm_hw_params_t* hw;
  snd_pcm_hw_params_alloca(&hw);
  err = Configure(pcm, hw, direction, rate);
  calls.close(pcm);
  return TranslateAlsaError(err);
}

namespace {

// Sets up the open PCM at `rate`; a PCM it cannot set up is closed.
OpenedPcm SetUp(snd_pcm_t* pcm, Direction direction, std::uint32_t rate) {
  const PcmCalls& calls = Pcm();
  snd_pcm_hw_params_t* hw;
  snd_pcm_hw_params_alloca(&hw);
  snd_pcm_uframes_t period = 0;
  snd_pcm_uframes_t buffer = 0;
  int err = Configure(pcm, hw, direction, rate);
  if (err >= 0) err = calls.hw_params(pcm, hw);
  if (err >= 0) err = calls.hw_params_get_period_size(hw, &period, nullptr);
  if (err >= 0) err = calls.hw_params_get_buffer_size(hw, &buffer);
  if (err >= 0) err = SetStartAndWake(pcm, period);
  if (err < 0) {
    calls.close(pcm);
    return {err};
  }
  period = std::max<snd_pcm_uframes_t>(period, 1);
  return {0, pcm, period, std::max(buffer, period)};
}

}  // namespace

OpenedPcm OpenPcm(Direction direction, const char* name, std::uint32_t rate) {
  snd_pcm_t* pcm = nullptr;
  const int err = Pcm().open(&pcm, name, AlsaStream(direction), SND_PCM_NONBLOCK);
  if (err < 0) return {err};
  KeepBigBlocksMapped();  // before the stream's first buffers, made at its prepare
  return SetUp(pcm, direction, rate);
}

OpenedPcm RetunePcm(snd_pcm_t* pcm, Direction direction, std::uint32_t rate) {
  const PcmCalls& calls = Pcm();
  calls.drop(pcm);
  const int err = calls.hw_free(pcm);
  if (err < 0) {
    calls.close(pcm);
    return {err};
  }
  return SetUp(pcm, direction, rate);
}

Wakeup::Wakeup() : fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

Wakeup::~Wakeup() {
  if (fd_ >= 0) close(fd_);
}

void Wakeup::Signal() {
  const std::uint64_t one = 1;
  // Only fails when the counter is near overflow, and then a wake is pending anyway.
  if (write(fd_, &one, sizeof one) < 0) return;
}

void Wakeup::Wait(snd_pcm_t* pcm, int limit_millis) {
  constexpr int kMaxPcmFds = 16;
  pollfd fds[kMaxPcmFds + 1];
  int pcm_fds = 0;
  if (pcm != nullptr) {
    const int count = std::min(Pcm().poll_descriptors_count(pcm), kMaxPcmFds);
    if (count > 0) pcm_fds = std::max(Pcm().poll_descriptors(pcm, fds, count), 0);
  }
  fds[pcm_fds] = {fd_, POLLIN, 0};
  if (poll(fds, pcm_fds + 1, std::clamp(limit_millis, 0, kWaitLimitMillis)) <= 0) return;
  if (pcm_fds > 0) {
    // Lets plugins with poll descriptors of their own take note of the event.
    unsigned short revents = 0;
    Pcm().poll_descriptors_revents(pcm, fds, pcm_fds, &revents);
  }
  if ((fds[pcm_fds].revents & POLLIN) != 0) {
    std::uint64_t signals;
    if (read(fd_, &signals, sizeof signals) < 0) return;  // already taken: nothing to do
  }
}

}  // namespace wave_service::alsa
