// The owner of each capture PCM of the ALSA device. It runs the PCM while
// the host's take runs and delivers each period only to the take it was
// read for; the take's clock (capture_clock.h) puts silence where its PCM
// delivered nothing, so that a take lasts as long as it ran.
#include <pthread.h>

#include <algorithm>
#include <array>

#include "wave_service/alsa/pcm_calls.h"
#include "wave_service/alsa/pcm_owner.h"
#include "wave_service/alsa/recovery_policy.h"

namespace wave_service {

using alsa::Clock;
using alsa::InputOwner;
using alsa::Pcm;
using alsa::Recovery;
using alsa::RecoveryFor;
using Shared = AlsaDevice::Shared;

namespace {

constexpr std::uint8_t kSilence = 128;  // the middle of unsigned 8-bit samples

// While the PCM is lost, the take is filled with silence up to its clock but
// for a buffer, which the PCM, once back, may still deliver of the time
// before it was lost.
std::uint64_t OnItsWay(const InputOwner& owner) { return owner.buffered; }

}  // namespace

void Shared::Run(InputOwner& owner) {
  pthread_setname_np(pthread_self(), "mirn-capture");  // as top -H and gdb show it
  for (;;) {
    Lock lock(mutex);
    if (Ending(owner)) break;
    if (owner.stop_asked == 0) Unhurry(owner);  // no stop waits, or it gave up
    if (owner.stop_asked != 0) {
      // The host's stop waits: what the PCM captured up to it is the take's.
      if (owner.pcm != nullptr && owner.running_take == owner.stop_asked) Read(owner, lock, true);
      if (owner.stop_asked == owner.clock.take()) EndTake(owner);
      continue;
    }
    if (owner.pcm == nullptr) {
      if (owner.opened && owner.stream == nullptr) break;  // failed or lost, and idle
      DeliverSilence(owner, owner.clock.GapSilence(Clock::now(), OnItsWay(owner)));
      if (owner.opened == kBadFormat) {  // the PCM does not take the rate: nothing to record
        lock.unlock();
        owner.wake.Wait(nullptr);
        continue;
      }
      if (OpenOrReopen(owner, lock) == kOk) {
        owner.bytes.resize(owner.buffered);
        owner.running_take = 0;
        owner.prepared = true;
      }
      continue;
    }
    if (owner.running_take != 0 && owner.running_take != owner.clock.take()) {
      StopCapture(owner, lock);
    } else if (owner.stream == nullptr) {
      if (!WaitWhileKept(owner, lock)) break;
    } else if (!owner.clock.running()) {
      lock.unlock();
      owner.wake.Wait(nullptr);
    } else if (owner.running_take == 0) {
      StartCapture(owner, lock);
    } else {
      Read(owner, lock, false);
    }
  }
  Finish(owner, true);
}

// The take the PCM runs for has ended: what it holds belongs to no take.
// It is stopped and prepared for the next.
void Shared::StopCapture(InputOwner& owner, Lock& lock) {
  owner.running_take = 0;
  lock.unlock();
  Pcm().drop(owner.pcm);
  const int err = Pcm().prepare(owner.pcm);
  lock.lock();
  owner.prepared = err >= 0;
  if (!owner.prepared) LoseCapture(owner, lock, err, "prepare failed, reopening");
}

// Starts the PCM for the running take; a kept PCM may have stopped
// meanwhile, so a start that fails is tried once more after a prepare. The
// time before the PCM delivers is made up in silence.
void Shared::StartCapture(InputOwner& owner, Lock& lock) {
  const std::uint64_t take = owner.clock.take();
  const bool prepared = owner.prepared;
  lock.unlock();
  const alsa::PcmCalls& calls = Pcm();
  int err = prepared ? 0 : calls.prepare(owner.pcm);
  if (err >= 0) err = calls.start(owner.pcm);
  if (err < 0 && prepared) {
    err = calls.prepare(owner.pcm);
    if (err >= 0) err = calls.start(owner.pcm);
  }
  lock.lock();
  if (err < 0) {
    LoseCapture(owner, lock, err, "start failed, reopening");
    return;
  }
  owner.running_take = take;
  owner.prepared = false;
  owner.last_frames = Clock::now();
  owner.clock.CatchUp();
}

// Reads what the PCM has and delivers it to the take it was read for, after
// the silence the take is owed before it: a period as it comes, or, as the
// take stops (`out`), all the PCM holds, part of a period included.
void Shared::Read(InputOwner& owner, Lock& lock, bool out) {
  const std::uint64_t take = owner.running_take;
  const bool catching_up = owner.clock.catching_up();
  lock.unlock();
  snd_pcm_sframes_t got = 0;
  snd_pcm_sframes_t held = 0;  // what it holds besides these bytes came after the silence too
  if (out) {
    const snd_pcm_sframes_t avail = std::max<snd_pcm_sframes_t>(Pcm().avail_update(owner.pcm), 0);
    const auto count = std::min(static_cast<std::size_t>(avail), owner.bytes.size());
    if (count > 0) got = Pcm().readi(owner.pcm, owner.bytes.data(), count);
  } else {
    got = Pcm().readi(owner.pcm, owner.bytes.data(), owner.period);
    if (got > 0 && catching_up) held = Pcm().avail_update(owner.pcm);
  }
  lock.lock();
  if (got <= 0) {
    if (!out) ReadFailed(owner, lock, got == 0 ? -EAGAIN : static_cast<int>(got));
    return;
  }
  owner.last_frames = Clock::now();
  if (owner.clock.take() != take || owner.stream == nullptr) return;  // stopped meanwhile
  const auto arriving = static_cast<std::uint64_t>(got + std::max<snd_pcm_sframes_t>(held, 0));
  DeliverSilence(owner, owner.clock.SilenceBefore(owner.last_frames, arriving));
  Deliver(owner, owner.bytes.data(), static_cast<std::size_t>(got));
}

// The take ends, with silence for the time its PCM did not deliver where the
// PCM is open, was lost mid-take, or is opening at a name and rate known to
// open (one that fails to open records nothing).
void Shared::EndTake(InputOwner& owner) {
  if (owner.healthy || owner.clock.lost() ||
      (!owner.opened && pool.Learned(Direction::kInput, owner.name, owner.rate) == kOk)) {
    DeliverSilence(owner, owner.clock.SilenceAtStop(Clock::now()));
  }
  owner.clock.Stop();
  owner.stop_asked = 0;
  owner.wake.Signal();
  answered.notify_all();
}

// A read that moved nothing waits for the PCM, a while; other errors go by
// their row of the recovery policy.
void Shared::ReadFailed(InputOwner& owner, Lock& lock, int error) {
  const Recovery recovery = RecoveryFor(error);
  if (recovery == Recovery::kWait) {
    const auto stalled = Clock::now() - owner.last_frames;
    // Nothing for two periods (a suspended source): catch up once it delivers.
    const std::uint64_t two_periods = std::uint64_t{2'000'000} * owner.period / owner.rate;
    if (stalled > std::chrono::microseconds(two_periods)) owner.clock.CatchUp();
    if (stalled < alsa::kStallLimit) {
      lock.unlock();
      owner.wake.Wait(owner.pcm);
      return;
    }
    error = -EIO;  // a capture that moves nothing has lost its server
  } else if (recovery != Recovery::kReopen) {
    lock.unlock();
    error = Recover(owner, error);
    lock.lock();
    if (error >= 0) {
      owner.running_take = 0;
      owner.prepared = true;
      return;
    }
  }
  LoseCapture(owner, lock, error, "lost, reopening");
}

// Lost mid-take, the take keeps time in silence until the PCM is back.
void Shared::LoseCapture(InputOwner& owner, Lock& lock, int error, const char* event) {
  Lose(owner, lock, error, event);
  owner.running_take = 0;
  owner.clock.Lose();
}

void Shared::Deliver(InputOwner& owner, const std::uint8_t* bytes, std::size_t count) {
  owner.stream->Deliver(bytes, count);
  owner.clock.Delivered(count);
  captured.fetch_add(count, std::memory_order_acq_rel);
}

void Shared::DeliverSilence(InputOwner& owner, std::uint64_t count) {
  static constexpr auto kSilent = [] {
    std::array<std::uint8_t, 4096> bytes{};
    bytes.fill(kSilence);
    return bytes;
  }();
  while (count > 0 && owner.stream != nullptr) {
    const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(count, kSilent.size()));
    Deliver(owner, kSilent.data(), n);
    count -= n;
  }
}

}  // namespace wave_service
