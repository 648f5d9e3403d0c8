// The owner thread of each PCM of the ALSA device: the only thread that calls
// ALSA on it. It looks at what the host posted under the device's mutex,
// lets go of the mutex for every ALSA call, and deals with each error by the
// row of recovery_policy.h. A capture delivers each period it reads only to
// the take it was read for; time in which a lost device recorded nothing is
// delivered as silence, so a take lasts as long as it ran. A playback carries
// on with its unplayed bytes once its device is back.
#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <vector>

#include "wave_service/alsa/pcm_calls.h"
#include "wave_service/alsa/pcm_slot.h"
#include "wave_service/alsa/recovery_policy.h"
#include "wave_service/backoff.h"
#include "wave_service/debug_line.h"

namespace wave_service {

using alsa::Pcm;
using alsa::Recovery;
using alsa::RecoveryFor;
using Use = alsa::PcmPool::Use;

namespace {

// An owner moves bytes into buffers of 80 ms (playback) and 500 ms
// (capture): a few milliseconds' wait for a CPU costs it nothing, so when it
// wakes it does not take the CPU from the host's running thread, whose calls
// must return at once. SCHED_BATCH keeps its fair share of the CPU otherwise.
void YieldToCallers() {
  const sched_param param{};
  pthread_setschedparam(pthread_self(), SCHED_BATCH, &param);  // best effort
}

int Millis(std::chrono::steady_clock::duration d) {
  return static_cast<int>(
      std::max<std::int64_t>(std::chrono::ceil<std::chrono::milliseconds>(d).count(), 0));
}

constexpr std::uint8_t kSilence = 128;  // the middle of unsigned 8-bit samples

}  // namespace

bool AlsaDevice::Ending(const Slot& slot) const { return aborting_ || slot.retire; }

void AlsaDevice::Note(const Slot& slot, const char* event, int error) const {
  DebugLine("%s PCM \"%s\" at %u/s: %s%s%s",
            slot.direction == Direction::kInput ? "capture" : "playback", slot.name.c_str(),
            slot.rate, event, error < 0 ? ": " : "", error < 0 ? snd_strerror(error) : "");
}

// An xrun or a suspend, by the policy's row: 0 when the PCM may go on (a
// capture is started again), else the error that makes it a lost PCM.
int AlsaDevice::Recover(Slot& slot, int error) {
  const alsa::PcmCalls& calls = Pcm();
  if (RecoveryFor(error) == Recovery::kResume) {
    Note(slot, "suspended, resuming", error);
    const auto give_up = Clock::now() + alsa::kResumeLimit;
    int resumed;
    while ((resumed = calls.resume(slot.pcm)) == -EAGAIN && Clock::now() < give_up) {
      slot.wake.Wait(nullptr, 50);
      std::lock_guard lock(mutex_);
      if (Ending(slot)) return 0;
    }
    if (resumed >= 0) return 0;
  } else {
    const auto now = Clock::now();
    const auto period_time = std::chrono::microseconds(
        static_cast<std::int64_t>(slot.period) * 1'000'000 / std::max<std::uint32_t>(slot.rate, 1));
    slot.quick_xruns = now - slot.last_xrun < period_time ? slot.quick_xruns + 1 : 0;
    slot.last_xrun = now;
    if (slot.quick_xruns >= alsa::kQuickXrunLimit) {
      slot.quick_xruns = 0;
      return -EIO;  // the caller notes it lost
    }
    Note(slot, "xrun, restarting", error);
  }
  return calls.prepare(slot.pcm);
}

// Looked at each time a kept PCM's owner wakes (a few times a second): a PCM
// whose server or device has gone is forgotten by the pool, so that it is
// never handed to a stream again. False when it is well, or was taken by a
// stream meanwhile (whose first call then finds the error).
bool AlsaDevice::KeptPcmLost(Slot& slot) {
  // A kept PCM is prepared and idle, so no error is a passing xrun: one
  // whose server has gone answers -EPIPE (PipeWire's plugin) or -EIO.
  const snd_pcm_sframes_t avail = Pcm().avail_update(slot.pcm);
  if (avail >= 0) return false;
  std::lock_guard lock(mutex_);
  if (pool_.UseOf(slot.id) != Use::kKept) return false;
  Note(slot, "kept PCM lost, closing", static_cast<int>(avail));
  pool_.Remove(slot.id);
  return true;
}

// Lets go of the PCM and of the stream, and marks the slot for the reaper.
// When the device goes, the PCM is handed back open: the destructor closes it
// on its own thread (see ~AlsaDevice).
void AlsaDevice::Finish(Slot& slot) {
  bool cut = false;
  bool hand_back = false;
  {
    std::lock_guard lock(mutex_);
    cut = hand_back = aborting_;
    if (slot.direction == Direction::kOutput) {
      auto& output = static_cast<OutputSlot&>(slot);
      // Cut short (given way, or the device goes): a stream whose handle is
      // closed is released; the others the service forgets when the device
      // is removed.
      cut = cut || output.stream != nullptr;
      if (output.stream != nullptr && output.closing) output.stream->Release();
      output.stream = nullptr;
    }
  }
  if (slot.pcm != nullptr && !hand_back) {
    // What a playback PCM was handed has played by now, unless it is cut.
    if (slot.direction == Direction::kInput || cut) Pcm().drop(slot.pcm);
    Pcm().close(slot.pcm);
    slot.pcm = nullptr;
  }
  std::lock_guard lock(mutex_);
  pool_.Remove(slot.id);
  slot.sound = false;
  if (!slot.opened) slot.opened = kError;
  slot.finished = true;  // the last touch: the reaper may free the slot from now on
  answered_.notify_all();
}

void AlsaDevice::RunInput(InputSlot& slot) {
  pthread_setname_np(pthread_self(), "mirn-capture");  // as top -H and gdb show it
  // A take starts as soon as the PCM is open: the thread yields only after.
  static constexpr std::array<std::uint8_t, 4096> kSilent = [] {
    std::array<std::uint8_t, 4096> bytes{};
    bytes.fill(kSilence);
    return bytes;
  }();
  const alsa::PcmCalls& calls = Pcm();
  Backoff backoff;
  std::vector<std::uint8_t> period;
  bool refused = false;   // the PCM does not take the rate: nothing to record
  bool running = false;   // started for `take`
  bool prepared = true;   // ready to start
  std::uint64_t take = 0;
  Clock::time_point next_open{};
  Clock::time_point last_frames{};
  // The take's clock: when it began and the bytes delivered for it, sound
  // and silence. Time in which the PCM delivered nothing (lost, or its
  // source suspended) is filled so that the take keeps up with the clock.
  Clock::time_point take_began{};
  std::uint64_t take_bytes = 0;
  bool gap = false;      // the take's PCM is lost
  bool resumed = false;  // delivers again after a gap or a stall: catch up

  // With the mutex held: silence until the take holds what `now` is due,
  // less `ahead` frames that are on their way.
  auto fill_to = [&](Clock::time_point now, std::uint64_t ahead) {
    const auto micros =
        std::chrono::duration_cast<std::chrono::microseconds>(now - take_began).count();
    const std::uint64_t due = static_cast<std::uint64_t>(std::max<std::int64_t>(micros, 0)) *
                              slot.rate / 1'000'000;
    while (take_bytes + ahead < due && slot.stream != nullptr) {
      const std::size_t count = static_cast<std::size_t>(
          std::min<std::uint64_t>(due - ahead - take_bytes, kSilent.size()));
      slot.stream->Deliver(kSilent.data(), count);
      captured_.fetch_add(count, std::memory_order_acq_rel);
      take_bytes += count;
    }
  };
  // While lost, a buffer less than due: the PCM, once back, may still
  // deliver that much of the time before it was lost.
  auto buffered = [&] { return std::uint64_t{4} * std::max<std::uint64_t>(slot.period, 1); };
  auto lose = [&](Lock& lock, int error, const char* event) {
    if (aborting_) return;  // the device goes: the PCM is handed back, not closed
    lock.unlock();
    Note(slot, event, error);
    calls.drop(slot.pcm);
    calls.close(slot.pcm);
    lock.lock();
    slot.pcm = nullptr;
    slot.sound = false;
    running = false;
    next_open = Clock::now() + backoff.Next();
    gap = slot.capturing && slot.take == take;
  };

  for (;;) {
    Lock lock(mutex_);
    if (Ending(slot)) break;
    const auto now = Clock::now();
    if (slot.take != take) {  // a start or a stop since the PCM last looked
      take = slot.take;
      take_began = now;
      take_bytes = 0;
      gap = resumed = false;
      if (running) {
        running = false;
        prepared = false;
        lock.unlock();
        calls.drop(slot.pcm);  // what it holds belongs to no take
        continue;
      }
    }
    if (gap && slot.capturing) fill_to(now, buffered());
    if (slot.stream == nullptr && slot.opened) {
      // Kept, until its time runs out; one that failed is never kept.
      const auto until = pool_.KeptUntil(slot.id);
      if (slot.pcm == nullptr || !until || pool_.Expire(slot.id, now)) break;
      lock.unlock();
      slot.wake.Wait(nullptr, Millis(*until - now));
      if (KeptPcmLost(slot)) break;
      continue;
    }
    if (refused) {
      lock.unlock();
      slot.wake.Wait(nullptr);
      continue;
    }
    if (slot.pcm == nullptr) {
      if (now < next_open) {
        lock.unlock();
        slot.wake.Wait(nullptr, Millis(next_open - now));
        continue;
      }
      const bool first = !slot.opened;
      lock.unlock();
      const alsa::OpenedPcm opened = alsa::OpenPcm(Direction::kInput, slot.name.c_str(), slot.rate);
      lock.lock();
      const Result result = alsa::TranslateAlsaError(opened.error);
      pool_.Learn(Direction::kInput, slot.name, slot.rate, result);
      if (result != kOk && result != kBadFormat) pool_.Forget(Direction::kInput);
      if (first) {
        slot.opened = result;
        answered_.notify_all();
        YieldToCallers();
      }
      if (result == kOk) {
        slot.pcm = opened.pcm;
        slot.period = opened.period;
        slot.sound = true;
        period.resize(opened.period);
        backoff.Reset();
        running = false;
        prepared = true;
        if (!first) {
          reopens_.fetch_add(1, std::memory_order_acq_rel);
          Note(slot, "reopened", 0);
        }
      } else if (result == kBadFormat) {
        refused = true;
      } else {
        // A device never opened records nothing; one lost mid-take goes
        // on filling its gap.
        Note(slot, "open failed", opened.error);
        next_open = now + backoff.Next();
      }
      continue;
    }
    if (!slot.capturing) {
      if (prepared) {
        lock.unlock();
        slot.wake.Wait(nullptr);
        continue;
      }
      lock.unlock();
      const int err = calls.prepare(slot.pcm);
      lock.lock();
      prepared = err >= 0;
      if (!prepared) lose(lock, err, "prepare failed, reopening");
      continue;
    }
    if (!running) {
      lock.unlock();
      int err = prepared ? 0 : calls.prepare(slot.pcm);
      if (err >= 0) err = calls.start(slot.pcm);
      if (err < 0 && prepared) {  // a kept PCM may have stopped meanwhile
        err = calls.prepare(slot.pcm);
        if (err >= 0) err = calls.start(slot.pcm);
      }
      lock.lock();
      if (err < 0) {
        lose(lock, err, "start failed, reopening");
        continue;
      }
      running = true;
      prepared = false;
      last_frames = Clock::now();
      resumed = resumed || gap;
      gap = false;
      continue;
    }
    lock.unlock();
    const snd_pcm_sframes_t got = calls.readi(slot.pcm, period.data(), period.size());
    lock.lock();
    if (got > 0) {
      // Only for the take it was read for: after a stop, nothing more is stored.
      if (slot.take == take && slot.capturing && slot.stream != nullptr) {
        if (resumed) {
          // What it holds besides this period came after the gap too.
          lock.unlock();
          const snd_pcm_sframes_t held = calls.avail_update(slot.pcm);
          lock.lock();
          if (slot.take == take) {
            const snd_pcm_sframes_t ahead = got + std::max<snd_pcm_sframes_t>(held, 0);
            fill_to(Clock::now(), static_cast<std::uint64_t>(ahead));
          }
          resumed = false;
        }
        if (slot.take != take || !slot.capturing || slot.stream == nullptr) continue;
        take_bytes += static_cast<std::uint64_t>(got);
        slot.stream->Deliver(period.data(), static_cast<std::size_t>(got));
        captured_.fetch_add(static_cast<std::uint64_t>(got), std::memory_order_acq_rel);
      }
      last_frames = Clock::now();
      continue;
    }
    int err = got == 0 ? -EAGAIN : static_cast<int>(got);
    const Recovery recovery = RecoveryFor(err);
    if (recovery == Recovery::kWait) {
      const auto stalled = Clock::now() - last_frames;
      // Nothing for two periods (a suspended source): catch up once it delivers.
      const std::uint64_t two_periods = std::uint64_t{2'000'000} * slot.period / slot.rate;
      if (stalled > std::chrono::microseconds(two_periods)) resumed = true;
      if (stalled < alsa::kStallLimit) {
        lock.unlock();
        slot.wake.Wait(slot.pcm);
        continue;
      }
      err = -EIO;  // a capture that moves nothing has lost its server
    } else if (recovery != Recovery::kReopen) {
      lock.unlock();
      err = Recover(slot, err);
      lock.lock();
      if (err >= 0) {
        running = false;
        prepared = true;
        continue;
      }
    }
    lose(lock, err, "lost, reopening");
  }
  Finish(slot);
}

void AlsaDevice::RunOutput(OutputSlot& slot) {
  pthread_setname_np(pthread_self(), "mirn-playback");
  // The host waits for the first open: the thread yields only after it.
  const alsa::PcmCalls& calls = Pcm();
  Backoff backoff;
  std::vector<std::uint8_t> chunk;
  std::size_t have = 0;          // bytes in the chunk
  std::size_t done = 0;          // of those, bytes ALSA has taken
  bool ends_play = false;        // the chunk holds a play's last bytes
  Clock::time_point played_out = Clock::now();  // when what ALSA was handed has played
  Clock::time_point last_progress = played_out;
  Clock::time_point next_open{};

  for (;;) {
    Lock lock(mutex_);
    if (Ending(slot)) break;
    const auto now = Clock::now();
    const bool first = !slot.opened;
    if (slot.pcm == nullptr) {
      // The first open answers the host; a reopen carries a stream on.
      if (!first && slot.stream == nullptr) break;
      if (slot.flush) {  // cut short: what it pulled is not played
        slot.flush = false;
        have = done = 0;
        ends_play = false;
      }
      if (!first && slot.closing && done >= have && !slot.stream->Busy()) {
        // Closed with nothing left to play (or its bytes dropped): done
        // without its device.
        slot.stream->Release();
        slot.stream = nullptr;
        break;
      }
      if (now < next_open) {
        lock.unlock();
        slot.wake.Wait(nullptr, Millis(next_open - now));
        continue;
      }
      lock.unlock();
      const alsa::OpenedPcm opened = alsa::OpenPcm(Direction::kOutput, slot.name.c_str(), slot.rate);
      lock.lock();
      const Result result = alsa::TranslateAlsaError(opened.error);
      pool_.Learn(Direction::kOutput, slot.name, slot.rate, result);
      if (result != kOk && result != kBadFormat) pool_.Forget(Direction::kOutput);
      if (first) {
        slot.opened = result;
        answered_.notify_all();
        YieldToCallers();
      }
      if (result == kOk) {
        slot.pcm = opened.pcm;
        slot.period = opened.period;
        slot.sound = true;
        chunk.resize(std::max(chunk.size(), static_cast<std::size_t>(opened.period)));
        backoff.Reset();
        played_out = last_progress = Clock::now();
        if (slot.spare && !pool_.Keep(slot.id, Clock::now(), kSpareHold)) break;
        if (!first) {
          reopens_.fetch_add(1, std::memory_order_acq_rel);
          Note(slot, "reopened", 0);
        }
      } else if (first) {
        break;  // the open fails: the host has its answer
      } else {
        Note(slot, "open failed", opened.error);
        next_open = now + backoff.Next();
      }
      continue;
    }
    if (slot.flush) {
      // Its stream was cut short for another: the rest of it is not played.
      // What ALSA already holds (a few periods) plays out first, as after a
      // stream that ended.
      slot.flush = false;
      have = done = 0;
      ends_play = false;
    }
    const auto use = pool_.UseOf(slot.id);
    if (!use) break;  // given way
    if (*use == Use::kDraining) {
      // Once the host has gone, what is left of its sound is cut.
      if (now >= played_out || pool_.RefusesKeeps()) {
        // Played out: stopped and prepared again, so that the next
        // stream's first write starts it afresh. A PCM left running
        // through the underrun may hold a short play back until its
        // buffer fills (PulseAudio's prebuffering), that is for good.
        lock.unlock();
        calls.drop(slot.pcm);
        const int err = calls.prepare(slot.pcm);
        lock.lock();
        if (err < 0) {
          // Lost: closed, and reopened only for a stream that took it meanwhile.
          if (aborting_) continue;  // the device goes: handed back, not closed
          lock.unlock();
          Note(slot, "prepare failed", err);
          calls.close(slot.pcm);
          lock.lock();
          slot.pcm = nullptr;
          slot.sound = false;
          continue;
        }
        if (pool_.UseOf(slot.id) == Use::kDraining && !pool_.Keep(slot.id, Clock::now())) break;
        continue;
      }
      lock.unlock();
      slot.wake.Wait(nullptr, Millis(played_out - now));
      continue;
    }
    if (*use == Use::kKept) {
      const auto until = pool_.KeptUntil(slot.id);
      if (!until || pool_.Expire(slot.id, now)) break;
      if (!slot.checking) {
        lock.unlock();
        slot.wake.Wait(nullptr, Millis(*until - now));
        lock.lock();
      }
      // Looked at after every wait, and at once for an open that would take
      // it, which waits for the answer.
      const bool asked = slot.checking;
      lock.unlock();
      const bool lost = KeptPcmLost(slot);
      if (asked) {
        lock.lock();
        slot.checking = false;
        answered_.notify_all();
      }
      if (lost) break;
      continue;
    }
    if (done < have) {
      lock.unlock();
      const snd_pcm_sframes_t put = calls.writei(slot.pcm, chunk.data() + done, have - done);
      if (put > 0) {
        done += static_cast<std::size_t>(put);
        // What ALSA holds plays out at the rate from now, or after what it held.
        played_out = std::max(played_out, now) +
                     std::chrono::microseconds(put * 1'000'000 / slot.rate);
        last_progress = now;
        continue;
      }
      int err = put == 0 ? -EAGAIN : static_cast<int>(put);
      const Recovery recovery = RecoveryFor(err);
      if (recovery == Recovery::kWait) {
        if (now - last_progress < alsa::kStallLimit) {
          slot.wake.Wait(slot.pcm);
          continue;
        }
        err = -EIO;  // a playback that takes nothing has lost its server
      } else if (recovery != Recovery::kReopen) {
        err = Recover(slot, err);  // a playback starts again with its next write
        if (err >= 0) continue;
      }
      // Lost: what ALSA held is gone; the bytes not yet handed to it play
      // once the device is back.
      lock.lock();
      if (aborting_) continue;  // the device goes: the PCM is handed back, not closed
      lock.unlock();
      Note(slot, "lost, reopening", err);
      calls.drop(slot.pcm);
      calls.close(slot.pcm);
      lock.lock();
      slot.pcm = nullptr;
      slot.sound = false;
      next_open = Clock::now() + backoff.Next();
      continue;
    }
    if (slot.stream == nullptr) break;  // only a cut leaves a stream's slot without one
    if (ends_play) --slot.unwritten;
    ends_play = false;
    // Read before the pull: a close comes after the handle's last write, so
    // once it is seen, an empty pull means the stream has nothing more.
    const bool closed = slot.closing;
    const Pulled pulled = slot.stream->Pull(chunk.data(), chunk.size());
    have = pulled.bytes;
    done = 0;
    ends_play = pulled.finished;
    if (have > 0) {
      last_progress = now;
      continue;
    }
    if (!closed) {
      lock.unlock();
      slot.wake.Wait(nullptr);
      continue;
    }
    // Every byte of the closed stream is with ALSA: the stream is done.
    slot.stream->Release();
    slot.stream = nullptr;
    slot.closing = false;
    pool_.SetUse(slot.id, Use::kDraining);
  }
  Finish(slot);
}

}  // namespace wave_service
