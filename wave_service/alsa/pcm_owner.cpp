// The steps every owner of the ALSA device takes, whatever its direction:
// open or reopen its PCM, lose it, wait while kept, recover from an xrun or
// a suspend by the row of recovery_policy.h, and finish.
#include "wave_service/alsa/pcm_owner.h"

#include <pthread.h>
#include <sched.h>

#include <algorithm>

#include "wave_service/alsa/pcm_calls.h"
#include "wave_service/alsa/recovery_policy.h"
#include "wave_service/debug_line.h"

namespace wave_service {

using alsa::Clock;
using alsa::Pcm;
using alsa::PcmEvent;
using alsa::PcmState;
using alsa::Recovery;
using alsa::RecoveryFor;
using Shared = AlsaDevice::Shared;

namespace {

// An owner moves bytes into buffers of 80 ms (playback) and 500 ms
// (capture): a few milliseconds' wait for a CPU costs it nothing, so when it
// wakes it does not take the CPU from the host's running thread, whose calls
// must return at once. SCHED_BATCH keeps its fair share of the CPU otherwise.
void YieldToCallers() {
  const sched_param param{};
  pthread_setschedparam(pthread_self(), SCHED_BATCH, &param);  // best effort
}

}  // namespace

// SCHED_BATCH's wakeups wait for the running thread's slice to end, which
// on a busy machine takes milliseconds. A host call that waits for its owner
// (a stop while the owner reads out the take) raises the owner to the
// normal policy for the exchange; the owner lowers itself once it is done.
void Shared::Hurry(Owner& owner) {
  if (owner.hurried || owner.worker == nullptr) return;
  const sched_param param{};
  owner.hurried =
      pthread_setschedparam(owner.worker->thread.native_handle(), SCHED_OTHER, &param) == 0;
}

void Shared::Unhurry(Owner& owner) {
  if (!owner.hurried) return;
  owner.hurried = false;
  YieldToCallers();
}

int alsa::Millis(Clock::duration d) {
  return static_cast<int>(
      std::max<std::int64_t>(std::chrono::ceil<std::chrono::milliseconds>(d).count(), 0));
}

bool Shared::Ending(const Owner& owner) const {
  return aborting || !pool.StateOf(owner.id).has_value();
}

void Shared::Note(const Owner& owner, const char* event, int error) const {
  DebugLine("%s PCM \"%s\" at %u/s: %s%s%s",
            owner.direction == Direction::kInput ? "capture" : "playback", owner.name.c_str(),
            owner.pcm_rate, event, error < 0 ? ": " : "", error < 0 ? snd_strerror(error) : "");
}

// Opens the PCM, the first time or after it was lost (once its backoff has
// passed; nullopt while it has not). The first open's answer is the host's:
// an output's open waits for it. Later ones carry a stream on.
std::optional<Result> Shared::OpenOrReopen(Owner& owner, Lock& lock) {
  const auto now = Clock::now();
  if (now < owner.next_open) {
    lock.unlock();
    owner.wake.Wait(nullptr, alsa::Millis(owner.next_open - now));
    return std::nullopt;
  }
  const bool first = !owner.opened;
  owner.pcm_rate = owner.rate;
  lock.unlock();
  const alsa::OpenedPcm opened =
      alsa::OpenPcm(owner.direction, owner.name.c_str(), owner.pcm_rate);
  lock.lock();
  const Result result = alsa::TranslateAlsaError(opened.error);
  pool.Learn(owner.direction, owner.name, owner.pcm_rate, result);
  if (result != kOk && result != kBadFormat) pool.Forget(owner.direction);
  if (result == kOk) {
    owner.pcm = opened.pcm;
    owner.period = opened.period;
    owner.buffered = opened.buffer;
    owner.healthy = true;
    owner.backoff.Reset();
    if (!first) {
      reopens.fetch_add(1, std::memory_order_acq_rel);
      Note(owner, "reopened", 0);
    }
  } else {
    Note(owner, "open failed", opened.error);
    owner.next_open = Clock::now() + owner.backoff.Next();
  }
  if (first) {
    owner.opened = result;
    answered.notify_all();
    YieldToCallers();
  }
  return result;
}

// The PCM is lost: closed, and reopened after the backoff while a stream
// uses it.
void Shared::Lose(Owner& owner, Lock& lock, int error, const char* event) {
  lock.unlock();
  Note(owner, event, error);
  Pcm().drop(owner.pcm);
  Pcm().close(owner.pcm);
  lock.lock();
  owner.pcm = nullptr;
  owner.healthy = false;
  owner.next_open = Clock::now() + owner.backoff.Next();
}

// Kept: waits for a stream to take it or for its time to run out, looking
// each time it wakes (a few times a second, and at once for an open that
// would take it: StillWorks) at whether its server or device has gone, so
// that a lost PCM is never handed to a stream. A kept PCM is prepared and
// idle, so any error says so: no xrun passes there (PipeWire's plugin
// answers -EPIPE once its server is gone). False when the owner ends.
bool Shared::WaitWhileKept(Owner& owner, Lock& lock) {
  const auto now = Clock::now();
  if (pool.Expire(owner.id, now)) return false;
  const auto until = pool.KeptUntil(owner.id);
  const bool asked = owner.checking;
  lock.unlock();
  if (!asked) owner.wake.Wait(nullptr, alsa::Millis(*until - now));
  const snd_pcm_sframes_t avail = Pcm().avail_update(owner.pcm);
  lock.lock();
  const bool lost = avail < 0 && pool.StateOf(owner.id) == PcmState::kKept;
  if (lost) {
    Note(owner, "kept PCM lost, closing", static_cast<int>(avail));
    pool.Apply(owner.id, PcmEvent::kEnd);
  } else if (avail >= 0) {
    owner.checked = Clock::now();
  }
  if (owner.checking) {
    owner.checking = false;
    answered.notify_all();
  }
  return !lost;
}

// An xrun or a suspend, by the policy's row, without the mutex: 0 when the
// PCM may go on (a capture is started again), else the error that makes it
// a lost PCM.
int Shared::Recover(Owner& owner, int error) {
  const alsa::PcmCalls& calls = Pcm();
  if (RecoveryFor(error) == Recovery::kResume) {
    Note(owner, "suspended, resuming", error);
    const auto give_up = Clock::now() + alsa::kResumeLimit;
    int resumed;
    while ((resumed = calls.resume(owner.pcm)) == -EAGAIN && Clock::now() < give_up) {
      owner.wake.Wait(nullptr, 50);
      std::lock_guard lock(mutex);
      if (Ending(owner)) return 0;
    }
    if (resumed >= 0) return 0;
  } else {
    const auto now = Clock::now();
    const auto period_time =
        std::chrono::microseconds(static_cast<std::int64_t>(owner.period) * 1'000'000 /
                                  std::max<std::uint32_t>(owner.pcm_rate, 1));
    owner.quick_xruns = now - owner.last_xrun < period_time ? owner.quick_xruns + 1 : 0;
    owner.last_xrun = now;
    if (owner.quick_xruns >= alsa::kQuickXrunLimit) {
      owner.quick_xruns = 0;
      return -EIO;  // the caller loses it
    }
    Note(owner, "xrun, restarting", error);
  }
  return calls.prepare(owner.pcm);
}

// Closes the PCM (dropping what it holds when `drop`) and marks the owner
// done: the last touch of its record but the reaper's.
void Shared::Finish(Owner& owner, bool drop) {
  if (owner.pcm != nullptr) {
    if (drop) Pcm().drop(owner.pcm);
    Pcm().close(owner.pcm);
    owner.pcm = nullptr;
  }
  std::lock_guard lock(mutex);
  pool.Apply(owner.id, PcmEvent::kEnd);
  if (owner.direction == Direction::kOutput) {
    Silence(static_cast<alsa::OutputOwner&>(owner), true, true);
  }
  owner.healthy = false;
  if (!owner.opened) owner.opened = kError;
  owner.finished = true;
  // Free for the next owner from this moment: an open made as soon as this
  // one is seen to end takes this thread rather than making one.
  if (owner.worker != nullptr) owner.worker->free = true;
  answered.notify_all();
}

}  // namespace wave_service
