// The owner of each playback PCM of the ALSA device. It pulls its stream's
// plays in order, hands them to ALSA, and once a closed stream's last byte
// is with ALSA lets the stream go and plays out what the PCM holds before it
// keeps the PCM for the next stream. A playback carries on with its
// unplayed bytes once its device is back.
#include <algorithm>

#include "wave_service/alsa/pcm_calls.h"
#include "wave_service/alsa/pcm_owner.h"
#include "wave_service/alsa/recovery_policy.h"

namespace wave_service {

using alsa::Clock;
using alsa::OutputOwner;
using alsa::Pcm;
using alsa::PcmEvent;
using alsa::PcmState;
using alsa::Recovery;
using alsa::RecoveryFor;
using Shared = AlsaDevice::Shared;

void Shared::Run(OutputOwner& owner) {
  for (;;) {
    Lock lock(mutex);
    if (Ending(owner)) break;
    if (owner.cut) {
      DropHeld(owner, lock);
      continue;
    }
    if (owner.pcm == nullptr) {
      // The first open answers the host (its failure ends the owner); a
      // reopen carries a stream on, and a lost PCM with none ends.
      if (owner.opened && owner.stream == nullptr) break;
      const bool first = !owner.opened;
      const std::optional<Result> result = OpenOrReopen(owner, lock);
      if (result == kOk) {
        owner.chunk.resize(std::max(owner.chunk.size(), static_cast<std::size_t>(owner.period)));
        owner.played_out = owner.last_progress = Clock::now();
        pool.KeepAtLeast(owner.id, owner.played_out, kSpareHold);  // opened ahead of its stream
      } else if (result && first) {
        break;
      }
      continue;
    }
    const PcmState state = *pool.StateOf(owner.id);
    if (state == PcmState::kKept) {
      if (!WaitWhileKept(owner, lock)) break;
    } else if (state == PcmState::kDraining) {
      PlayOut(owner, lock);
    } else if (owner.done < owner.have) {
      Hand(owner, lock);
    } else {
      PullNext(owner, lock);
    }
  }
  const bool drop = aborting || owner.cut;
  Finish(owner, drop);
}

// Its sound is cut short: the bytes it pulled are not played, and what ALSA
// holds is dropped; the PCM is prepared for what comes next.
void Shared::DropHeld(OutputOwner& owner, Lock& lock) {
  owner.cut = false;
  owner.have = owner.done = 0;
  owner.ends_play = false;
  if (owner.pcm == nullptr) return;
  lock.unlock();
  Pcm().drop(owner.pcm);
  const int err = Pcm().prepare(owner.pcm);
  lock.lock();
  owner.played_out = Clock::now();
  if (err < 0) Lose(owner, lock, err, "prepare failed");
}

// Hands the chunk's bytes to ALSA: they play out at the rate from now, or
// after what ALSA held. A PCM that takes nothing for long, or fails, is
// recovered by its row; a lost one is reopened, and the bytes not yet handed
// to ALSA play once the device is back (what ALSA held is gone with it).
void Shared::Hand(OutputOwner& owner, Lock& lock) {
  lock.unlock();
  const auto now = Clock::now();
  const snd_pcm_sframes_t put =
      Pcm().writei(owner.pcm, owner.chunk.data() + owner.done, owner.have - owner.done);
  if (put > 0) {
    owner.done += static_cast<std::size_t>(put);
    owner.played_out = std::max(owner.played_out, now) +
                       std::chrono::microseconds(put * 1'000'000 / owner.rate);
    owner.last_progress = now;
    return;
  }
  int err = put == 0 ? -EAGAIN : static_cast<int>(put);
  const Recovery recovery = RecoveryFor(err);
  if (recovery == Recovery::kWait) {
    if (now - owner.last_progress < alsa::kStallLimit) {
      owner.wake.Wait(owner.pcm);
      return;
    }
    err = -EIO;  // a playback that takes nothing has lost its server
  } else if (recovery != Recovery::kReopen) {
    err = Recover(owner, err);  // a playback starts again with its next write
    if (err >= 0) return;
  }
  lock.lock();
  Lose(owner, lock, err, "lost, reopening");
}

// Takes the next bytes of the stream's oldest play. Once a closed stream
// has nothing more, it is let go and the PCM plays out what it holds.
void Shared::PullNext(OutputOwner& owner, Lock& lock) {
  if (owner.ends_play && owner.unhanded > 0) --owner.unhanded;
  owner.ends_play = false;
  if (owner.stream == nullptr) {
    lock.unlock();
    owner.wake.Wait(nullptr);
    return;
  }
  // Read before the pull: a close comes after the handle's last write, so
  // once it is seen, an empty pull means the stream has nothing more.
  const bool closed = pool.StateOf(owner.id) == PcmState::kClosing;
  const Pulled pulled = owner.stream->Pull(owner.chunk.data(), owner.chunk.size());
  owner.have = pulled.bytes;
  owner.done = 0;
  owner.ends_play = pulled.finished;
  if (owner.have > 0) {
    owner.last_progress = Clock::now();
    return;
  }
  if (!closed) {
    lock.unlock();
    owner.wake.Wait(nullptr);
    return;
  }
  owner.stream->Release();
  owner.stream = nullptr;
  pool.Apply(owner.id, PcmEvent::kHandedAll);
}

// Draining: once what ALSA was handed has played out, the PCM is stopped and
// prepared again, so that the next stream's first write starts it afresh (a
// PCM left running through the underrun may hold a short play back until its
// buffer fills, as PulseAudio's prebuffering does), and kept.
void Shared::PlayOut(OutputOwner& owner, Lock& lock) {
  const auto now = Clock::now();
  if (now < owner.played_out) {
    lock.unlock();
    owner.wake.Wait(nullptr, alsa::Millis(owner.played_out - now));
    return;
  }
  lock.unlock();
  Pcm().drop(owner.pcm);
  const int err = Pcm().prepare(owner.pcm);
  lock.lock();
  if (err < 0) {
    Lose(owner, lock, err, "prepare failed");  // reopened only for a stream that took it meanwhile
    return;
  }
  pool.Apply(owner.id, PcmEvent::kHeard, Clock::now());
}

}  // namespace wave_service
