// The owner of each playback PCM of the ALSA device. It pulls its stream's
// plays in order and hands them to ALSA; a play is heard once the PCM has
// played it to the sink (pcm_states.h: a PCM is dropped or kept only then,
// unless it is cut). Once a closed stream's last byte is with ALSA the
// stream is let go, and the PCM is kept once what it holds has been heard. A
// playback carries on with its unplayed bytes once its device is back.
#include <pthread.h>

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

namespace {

Clock::duration FramesTime(snd_pcm_sframes_t frames, std::uint32_t rate) {
  return std::chrono::microseconds(std::max<snd_pcm_sframes_t>(frames, 0) * 1'000'000 / rate);
}

// The PCM starts afresh (opened, prepared or set up again): nothing written.
void Restart(OutputOwner& owner) {
  owner.first_write = {};
  owner.written = 0;
}

// The PCM has just been opened or set up at a rate. A pull takes up to its
// whole buffer, so that a play's first write fills it at once: written a
// period at a time, a PCM that PulseAudio renders ahead of time runs dry
// between two writes on a busy machine, and the xrun's prepare takes back
// from the sink what it had already taken.
void SetUp(OutputOwner& owner) {
  owner.chunk.resize(std::max(owner.chunk.size(), static_cast<std::size_t>(owner.buffered)));
  Restart(owner);
  owner.last_progress = Clock::now();
}

}  // namespace

void Shared::Run(OutputOwner& owner) {
  pthread_setname_np(pthread_self(), "mirn-playback");
  bool drop = false;  // what the PCM holds is cut short as it closes
  for (;;) {
    Lock lock(mutex);
    drop = aborting || owner.cut;
    if (Ending(owner)) break;
    if (owner.cut) {
      DropHeld(owner, lock);
      continue;
    }
    if (owner.pcm == nullptr) {
      // The first open answers the host (its failure ends the owner); a
      // reopen carries a stream on. A lost PCM with no stream, or with a
      // closed one that has nothing left to play, ends.
      const bool nothing_left = pool.StateOf(owner.id) == PcmState::kClosing &&
                                owner.done >= owner.have && owner.plays.empty();
      if (owner.opened && owner.stream != nullptr && nothing_left) {
        owner.stream->Release();
        owner.stream = nullptr;
      }
      if (owner.opened && owner.stream == nullptr) break;
      const bool first = !owner.opened;
      const std::optional<Result> result = OpenOrReopen(owner, lock);
      if (result == kOk) {
        SetUp(owner);
        pool.KeepAtLeast(owner.id, owner.last_progress, kAheadHold);  // opened ahead of its stream
      } else if (result && first) {
        drop = aborting || owner.cut;
        break;
      }
      continue;
    }
    if (owner.pcm_rate != owner.rate) {  // re-tuned while kept
      SetRate(owner, lock);
      continue;
    }
    const PcmState state = *pool.StateOf(owner.id);
    if (state == PcmState::kKept) {
      if (!WaitWhileKept(owner, lock)) break;
    } else if (state == PcmState::kDraining) {
      if (PlayOut(owner, lock)) pool.Apply(owner.id, PcmEvent::kHeard, Clock::now());
    } else if (owner.done < owner.have) {
      Hand(owner, lock);
    } else {
      PullNext(owner, lock);
    }
  }
  Finish(owner, drop);
}

// With the mutex held: plays of the owner that are no longer sounding, those
// announced and not yet all handed to ALSA and those handed and not yet
// heard, as chosen. A play waiting for one of them may start.
void Shared::Silence(OutputOwner& owner, bool announced, bool handed) {
  if (announced) {
    for (const Play& play : owner.plays) sounding.erase(play.id);
    owner.plays.clear();
  }
  if (handed) {
    for (const std::uint64_t id : owner.handed) sounding.erase(id);
    owner.handed.clear();
  }
  for (const auto& other : owners) {
    if (other->direction == Direction::kOutput) other->wake.Signal();
  }
}

// Its sound is cut short: the bytes it pulled are not played, and what ALSA
// holds is dropped; the PCM is prepared for what comes next.
void Shared::DropHeld(OutputOwner& owner, Lock& lock) {
  owner.cut = false;
  owner.have = owner.done = 0;
  owner.ends_play = false;
  owner.dry_since = {};
  Restart(owner);
  if (owner.pcm == nullptr) return;
  lock.unlock();
  Pcm().drop(owner.pcm);
  const int err = Pcm().prepare(owner.pcm);
  lock.lock();
  if (err < 0) Lose(owner, lock, err, "prepare failed");
}

// Hands the chunk's bytes to ALSA. A PCM that takes nothing for long, or
// fails, is recovered by its row; a lost one is reopened, and the bytes not
// yet handed to ALSA play once the device is back (what ALSA held is gone
// with it).
void Shared::Hand(OutputOwner& owner, Lock& lock) {
  lock.unlock();
  const auto now = Clock::now();
  const snd_pcm_sframes_t put =
      Pcm().writei(owner.pcm, owner.chunk.data() + owner.done, owner.have - owner.done);
  if (put > 0) {
    if (owner.written == 0) owner.first_write = now;
    owner.written += static_cast<std::uint64_t>(put);
    owner.done += static_cast<std::size_t>(put);
    owner.last_progress = now;
    owner.dry_since = {};
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
    Restart(owner);
    if (err >= 0) return;
  }
  lock.lock();
  Lose(owner, lock, err, "lost, reopening");
  Silence(owner, false, true);
}

// True while the oldest announced play follows, in its call, a play still
// sounding on another output.
bool Shared::Waits(const OutputOwner& owner) const {
  const std::uint64_t after = owner.plays.front().after;
  if (after == 0 || !sounding.contains(after)) return false;
  const bool here = std::ranges::find(owner.handed, after) != owner.handed.end() ||
                    std::ranges::find(owner.plays, after, &Play::id) != owner.plays.end();
  return !here;
}

// Takes the next bytes of the stream's oldest play. With nothing queued, what
// ALSA was handed is played out and heard; then a closed stream is let go
// and the PCM drains.
void Shared::PullNext(OutputOwner& owner, Lock& lock) {
  if (owner.ends_play) {  // the chunk's play is all with ALSA
    std::erase_if(owner.plays, [&](const Play& play) { return play.id == owner.chunk_play; });
    owner.handed.push_back(owner.chunk_play);
    owner.ends_play = false;
  }
  if (owner.stream == nullptr) {
    lock.unlock();
    owner.wake.Wait(nullptr);
    return;
  }
  // Read before the pull: a close comes after the handle's last write, so
  // once it is seen, an empty pull means the stream has nothing more. Only a
  // play announced (play_queued) is pulled, once the play it follows is heard.
  const bool closed = pool.StateOf(owner.id) == PcmState::kClosing;
  if (!owner.plays.empty() && Waits(owner)) {
    // What it has handed may be what others wait for: it is heard first.
    if (!owner.handed.empty()) {
      PlayOut(owner, lock);
    } else {
      lock.unlock();
      owner.wake.Wait(nullptr);
    }
    return;
  }
  const Pulled pulled = owner.plays.empty()
                            ? Pulled{}
                            : owner.stream->Pull(owner.chunk.data(), owner.chunk.size());
  if (pulled.bytes > 0) {
    // Plays announced before this one and not pulled were dropped unplayed.
    std::erase_if(owner.plays, [&](const Play& play) {
      if (play.id >= pulled.play) return false;
      sounding.erase(play.id);
      return true;
    });
    owner.have = pulled.bytes;
    owner.done = 0;
    owner.chunk_play = pulled.play;
    owner.ends_play = pulled.finished;
    owner.last_progress = Clock::now();
    return;
  }
  if (!owner.plays.empty()) Silence(owner, true, false);  // dropped unplayed
  if (!owner.handed.empty()) {
    PlayOut(owner, lock);
  } else if (!closed) {
    lock.unlock();
    owner.wake.Wait(nullptr);
  } else {
    owner.stream->Release();
    owner.stream = nullptr;
    pool.Apply(owner.id, PcmEvent::kHandedAll);
  }
}

// Waits, without holding up a cut or a new play, until every byte ALSA was
// handed has been heard: while the PCM runs, for the delay it reports; once
// it has run dry (the sound server has taken its last byte: an xrun), for
// the delay it reported then, which sound servers keep at what is still on
// its way to the sink. Then the PCM is stopped and prepared, so that the
// next write starts it afresh (a PCM left running through an underrun may
// hold a short play back until its buffer fills, as PulseAudio's
// prebuffering does), and its plays are heard: true. A PCM whose delay never
// runs out is taken as played out after the stall limit; none is taken as
// played out before its bytes' own time from the first write has passed.
bool Shared::PlayOut(OutputOwner& owner, Lock& lock) {
  lock.unlock();
  const alsa::PcmCalls& calls = Pcm();
  const auto now = Clock::now();
  // The delay first: ALSA answers it only while the PCM runs, and the plugins
  // find that it ran dry in this very call (and in avail_update).
  snd_pcm_sframes_t delay = 0;
  const bool delay_known = calls.delay(owner.pcm, &delay) >= 0;
  const snd_pcm_sframes_t avail = calls.avail_update(owner.pcm);  // finds an xrun
  Clock::duration rest{};
  if (calls.state(owner.pcm) == SND_PCM_STATE_XRUN || avail == -EPIPE) {
    if (owner.dry_since == Clock::time_point{}) {
      owner.dry_since = now;
      owner.dry_delay = delay_known ? delay : 0;
    }
    rest = owner.dry_since + FramesTime(owner.dry_delay, owner.pcm_rate) - now;
  } else if (calls.state(owner.pcm) == SND_PCM_STATE_RUNNING && delay_known) {
    rest = FramesTime(delay, owner.pcm_rate);
  }
  // Whatever the delay says: a sound server that has no timing yet (a
  // stream just started) reports none, and sound cannot be heard sooner than
  // it lasts from its first write.
  const auto written_out =
      owner.first_write + FramesTime(static_cast<snd_pcm_sframes_t>(owner.written), owner.pcm_rate);
  if (owner.written > 0) rest = std::max(rest, written_out - now);
  if (rest > Clock::duration::zero() && now - owner.last_progress < alsa::kStallLimit) {
    owner.wake.Wait(nullptr, alsa::Millis(rest));
    return false;
  }
  calls.drop(owner.pcm);
  const int err = calls.prepare(owner.pcm);
  lock.lock();
  owner.dry_since = {};
  Restart(owner);
  Silence(owner, false, true);
  if (err < 0) {
    Lose(owner, lock, err, "prepare failed");  // reopened only for a stream that took it meanwhile
    return false;
  }
  return true;
}

// Re-tuned while kept: the PCM is set up afresh at the owner's rate, which
// answers the open that waits for it. One that cannot be is closed, and a
// fresh PCM is opened in its place, whose open answers instead.
void Shared::SetRate(OutputOwner& owner, Lock& lock) {
  const std::uint32_t rate = owner.rate;
  lock.unlock();
  const alsa::OpenedPcm set = alsa::RetunePcm(owner.pcm, Direction::kOutput, rate);
  lock.lock();
  owner.pcm = set.pcm;
  owner.pcm_rate = rate;
  if (set.error < 0) {
    Note(owner, "re-tune failed, opening afresh", set.error);
    owner.healthy = false;
    return;
  }
  owner.period = set.period;
  owner.buffered = set.buffer;
  SetUp(owner);
  owner.opened = kOk;
  answered.notify_all();
}

}  // namespace wave_service
