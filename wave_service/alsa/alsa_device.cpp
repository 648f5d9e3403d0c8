// The ALSA device. Each PCM is a slot with one thread. An input's thread
// reads a period at a time and hands the bytes to the service; a stop reads
// out on the caller's thread what ALSA holds, so nothing captured is lost.
// An output's thread takes queued bytes from the service and writes them;
// once its stream's handle is closed and every byte is written, it releases
// the stream, waits for the PCM to play what it holds, and keeps the PCM for
// the next stream at its rate until its keep time runs out.
//
// Each slot's mutex guards its state and every ALSA call on its PCM; its
// thread lets go of it while it waits. The device's mutex guards the lists
// and is taken before a slot's, never while one is held.
#include "wave_service/alsa/alsa_device.h"

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <system_error>
#include <thread>
#include <vector>

#include "wave_service/alsa/alsa_pcm.h"

namespace wave_service {

using alsa::Wakeup;

namespace {

enum class SlotState {
  kStreaming,  // a stream is attached
  kDraining,   // the stream is released; the PCM still plays what it holds
  kKept,       // idle, open for the next stream at its rate
  kRetiring,   // the thread closes the PCM (at `until`) and ends
  kGone,       // closed; the thread is done
};

AlsaDevice& Self(void* context) { return *static_cast<AlsaDevice*>(context); }

// A PCM that gives way to a fresh one at another rate is closed this much
// later, so that the server is not closing one stream while it opens the
// other for the caller who waits.
constexpr auto kGiveWayDelay = std::chrono::milliseconds(100);

std::size_t Index(Direction direction) { return direction == Direction::kInput ? 0 : 1; }

// A slot's thread moves bytes into buffers of 80 ms (playback) and 500 ms
// (capture): a few milliseconds' wait for a CPU costs it nothing, so when it
// wakes it does not take the CPU from the host's running thread, whose calls
// must return at once. SCHED_BATCH keeps its fair share of the CPU otherwise.
void YieldToCallers() {
  const sched_param param{};
  pthread_setschedparam(pthread_self(), SCHED_BATCH, &param);  // best effort
}

int Millis(std::chrono::steady_clock::duration d) {
  return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(d).count());
}

// What inputs and outputs keep alike.
struct Slot {
  std::uint32_t rate = 0;
  snd_pcm_t* pcm = nullptr;
  snd_pcm_uframes_t period = 0;  // frames, which are bytes
  Wakeup wake;
  std::thread thread;
  std::mutex mutex;
  // Written with the mutex held; read without it where a caller only looks
  // for a slot, so that it does not wait behind a thread busy with ALSA.
  std::atomic<SlotState> state{SlotState::kStreaming};
  std::chrono::steady_clock::time_point until;  // kDraining: played out; kKept: closed
  std::uint64_t attached = 0;                   // when the stream was attached
  bool abort = false;                           // the device goes away: stop at once
  std::atomic<bool> broken{false};              // the PCM failed for good: never kept
  // Callers waiting for the mutex. A thread whose PCM always has data (a
  // file, not a clock, behind it) would otherwise take it back at once.
  std::atomic<int> callers{0};

  void Retire(std::chrono::steady_clock::duration delay) {
    state = SlotState::kRetiring;
    until = std::chrono::steady_clock::now() + delay;
    wake.Signal();
  }
  bool Retired() const {
    return abort || (state == SlotState::kRetiring && std::chrono::steady_clock::now() >= until);
  }

  // A thread that keeps its mutex across reads or writes lets callers in.
  void LetCallersIn(std::unique_lock<std::mutex>& lock) {
    if (callers.load(std::memory_order_acquire) == 0) return;
    lock.unlock();
    while (callers.load(std::memory_order_acquire) > 0) std::this_thread::yield();
    lock.lock();
  }
};

// A caller's hold on a slot, ahead of the slot's thread.
class CallerLock {
 public:
  explicit CallerLock(Slot& slot) : slot_(slot) {
    slot_.callers.fetch_add(1, std::memory_order_acq_rel);
    slot_.mutex.lock();
    slot_.callers.fetch_sub(1, std::memory_order_acq_rel);
  }
  ~CallerLock() { slot_.mutex.unlock(); }
  CallerLock(const CallerLock&) = delete;
  CallerLock& operator=(const CallerLock&) = delete;

 private:
  Slot& slot_;
};

}  // namespace

struct AlsaDevice::Input : Slot {
  InputStream* stream = nullptr;
  bool capturing = false;  // started, not yet stopped
  bool running = false;    // the thread has started the PCM
  bool reset = false;      // stopped: the thread drops and prepares the PCM
};

struct AlsaDevice::Output : Slot {
  OutputStream* stream = nullptr;
  // Set by callers without the mutex, which the thread may hold across a
  // write that waits for the sound server.
  std::atomic<bool> closing{false};          // the handle is closed: play to the end, then release
  std::atomic<std::int64_t> unwritten{0};    // plays announced, not yet all handed to ALSA
  std::vector<std::uint8_t> chunk;
  std::size_t have = 0;           // bytes in the chunk
  std::size_t done = 0;           // of those, bytes ALSA has taken
  bool ends_play = false;         // the chunk holds a play's last bytes
  Clock::time_point played_out;   // when what ALSA was handed has played
};

AlsaDevice::AlsaDevice() : AlsaDevice(KeepTimes{}) {}

AlsaDevice::AlsaDevice(KeepTimes keep) : keep_(keep) {}

AlsaDevice::~AlsaDevice() {
  {
    std::lock_guard lock(mutex_);
    auto stop = [](auto& slots) {
      for (const auto& slot : slots) {
        CallerLock slot_lock(*slot);
        slot->abort = true;
        slot->wake.Signal();
      }
      for (const auto& slot : slots) {
        if (slot->thread.joinable()) slot->thread.join();
      }
      slots.clear();
    };
    stop(inputs_);
    stop(outputs_);
  }
  RemoveDevice(&Ops(), this);
}

const DeviceOps& AlsaDevice::Ops() {
  static constexpr DeviceOps kOps{
      &DeviceCount, &CheckFormat,  &OpenInput,  &StartInput,  &StopInput,
      &CloseInput,  &OpenOutput,   &PlayQueued, &CloseOutput,
  };
  return kOps;
}

void AlsaDevice::Install() { InstallDevice(&Ops(), this); }

bool AlsaDevice::Playing() {
  std::lock_guard lock(mutex_);
  return std::ranges::any_of(outputs_, [](const std::unique_ptr<Output>& output) {
    CallerLock slot_lock(*output);
    return output->state == SlotState::kDraining ||
           (output->state == SlotState::kStreaming && (output->closing || output->unwritten > 0));
  });
}

std::size_t AlsaDevice::HeldPcms(Direction direction) {
  std::lock_guard lock(mutex_);
  auto held = [](const auto& slots) {
    return static_cast<std::size_t>(std::ranges::count_if(slots, [](const auto& slot) {
      CallerLock slot_lock(*slot);
      return slot->state != SlotState::kGone;
    }));
  };
  return direction == Direction::kInput ? held(inputs_) : held(outputs_);
}

// Joins the threads of slots that have closed their PCM. Their PCM and its
// descriptors went when the thread ended; this only frees the rest.
void AlsaDevice::Reap() {
  auto reap = [](auto& slots) {
    std::erase_if(slots, [](const auto& slot) {
      // Gone is the thread's last word: no need to wait for a busy slot's mutex.
      if (slot->state != SlotState::kGone) return false;
      slot->thread.join();
      return true;
    });
  };
  reap(inputs_);
  reap(outputs_);
}

// ---------------------------------------------------------------------------
// Format answers.
// ---------------------------------------------------------------------------

void AlsaDevice::Learn(Direction direction, std::uint32_t rate, Result result) {
  if (result != kOk && result != kBadFormat) return;  // says nothing of the rate
  auto& known = known_[Index(direction)];
  for (Known& entry : known) {
    if (entry.rate == rate) {
      entry.result = result;
      return;
    }
  }
  std::size_t& next = next_known_[Index(direction)];
  known[next] = {rate, result};
  next = (next + 1) % known.size();
}

// The device may have changed (gone, or come back): ask ALSA again.
void AlsaDevice::ForgetKnown(Direction direction) { known_[Index(direction)].fill({}); }

std::uint32_t AlsaDevice::DeviceCount(void*, Direction) { return 1; }

// A PCM open at the rate answers for it, then what earlier opens and checks
// found; only a rate nothing is known of costs an open of ALSA's.
Result AlsaDevice::CheckFormat(void* context, Direction direction, std::uint32_t rate) {
  AlsaDevice& self = Self(context);
  {
    std::lock_guard lock(self.mutex_);
    if (self.stale_inputs_.exchange(false, std::memory_order_acq_rel)) {
      self.ForgetKnown(Direction::kInput);
    }
    auto open_at = [&](const auto& slots) {
      return std::ranges::any_of(slots, [&](const auto& slot) {
        return slot->rate == rate && !slot->broken && slot->state != SlotState::kRetiring &&
               slot->state != SlotState::kGone;
      });
    };
    if (direction == Direction::kInput ? open_at(self.inputs_) : open_at(self.outputs_)) return kOk;
    for (const Known& entry : self.known_[Index(direction)]) {
      if (entry.rate == rate) return entry.result;
    }
  }
  const Result result = alsa::CheckPcm(direction, rate);
  std::lock_guard lock(self.mutex_);
  self.Learn(direction, rate, result);
  return result;
}

// ---------------------------------------------------------------------------
// Slots.
// ---------------------------------------------------------------------------

// A fresh PCM at `rate` in a new slot, its thread not yet started.
template <class SlotType>
Result AlsaDevice::OpenSlot(Direction direction, std::uint32_t rate,
                            std::unique_ptr<SlotType>& slot) {
  slot = std::make_unique<SlotType>();
  if (!slot->wake.valid()) return kNoMemory;
  const alsa::OpenedPcm opened = alsa::OpenPcm(direction, rate);
  Learn(direction, rate, opened.result);
  if (opened.result != kOk) {
    if (opened.result != kBadFormat) ForgetKnown(direction);
    return opened.result;
  }
  slot->rate = rate;
  slot->pcm = opened.pcm;
  slot->period = opened.period;
  slot->attached = ++attached_;
  return kOk;
}

// ---------------------------------------------------------------------------
// Input.
// ---------------------------------------------------------------------------

Result AlsaDevice::OpenInput(void* context, InputStream& stream) {
  AlsaDevice& self = Self(context);
  std::lock_guard lock(self.mutex_);
  self.Reap();
  Input* evict = nullptr;
  std::size_t held = 0;
  for (const auto& input : self.inputs_) {
    if (input->state == SlotState::kRetiring || input->state == SlotState::kGone) continue;
    ++held;
    if (input->state != SlotState::kKept) continue;
    if (input->rate == stream.rate() && !input->broken) {
      CallerLock slot_lock(*input);
      if (input->state != SlotState::kKept) continue;  // its time ran out meanwhile
      input->state = SlotState::kStreaming;
      input->stream = &stream;
      input->attached = ++self.attached_;
      stream.device_data = input.get();
      return kOk;
    }
    if (evict == nullptr) evict = input.get();
  }
  if (held >= kMaxInputs) {
    if (evict == nullptr) return kAllocated;  // every PCM belongs to an open handle
    CallerLock slot_lock(*evict);
    evict->Retire(kGiveWayDelay);
  }
  std::unique_ptr<Input> input;
  if (const Result opened = self.OpenSlot(Direction::kInput, stream.rate(), input);
      opened != kOk) {
    return opened;
  }
  input->stream = &stream;
  try {
    input->thread = std::thread(&AlsaDevice::Capture, &self, std::ref(*input));
  } catch (const std::system_error&) {
    snd_pcm_close(input->pcm);
    return kNoMemory;
  }
  stream.device_data = input.get();
  self.inputs_.push_back(std::move(input));
  return kOk;
}

// The thread starts the PCM, so that the caller does not wait for ALSA.
Result AlsaDevice::StartInput(void*, InputStream& stream) {
  Input& input = *static_cast<Input*>(stream.device_data);
  CallerLock slot_lock(input);
  input.capturing = true;
  input.wake.Signal();
  return kOk;
}

// With the slot's mutex held, on its thread: starts capturing, replacing a PCM
// found broken (a sound server gone while it was kept) by a fresh one.
void AlsaDevice::StartPcm(Input& input) {
  auto start = [&] {
    if (input.reset) {
      snd_pcm_drop(input.pcm);
      input.reset = false;
      if (const int err = snd_pcm_prepare(input.pcm); err < 0) return err;
    }
    int err = snd_pcm_start(input.pcm);
    if (err < 0) {
      err = snd_pcm_prepare(input.pcm);
      if (err >= 0) err = snd_pcm_start(input.pcm);
    }
    return err;
  };
  input.running = start() >= 0;
  if (input.running) return;
  stale_inputs_.store(true, std::memory_order_release);  // the device may be gone
  const alsa::OpenedPcm fresh = alsa::OpenPcm(Direction::kInput, input.rate);
  if (fresh.result != kOk) {
    input.broken = true;
    input.capturing = false;  // nothing is recorded
    return;
  }
  snd_pcm_close(input.pcm);
  input.pcm = fresh.pcm;
  input.period = fresh.period;
  input.broken = false;
  input.running = start() >= 0;
  input.capturing = input.running;
}

// With the slot's mutex held: hands over the bytes ALSA holds now (and no
// more, from a device that never runs dry).
void AlsaDevice::ReadOut(Input& input) {
  std::vector<std::uint8_t> bytes(input.period);
  snd_pcm_sframes_t left = snd_pcm_avail_update(input.pcm);
  while (left > 0) {
    const snd_pcm_sframes_t got = snd_pcm_readi(
        input.pcm, bytes.data(), std::min<snd_pcm_uframes_t>(input.period, left));
    if (got <= 0) return;
    left -= got;
    input.stream->Deliver(bytes.data(), static_cast<std::size_t>(got));
    captured_.fetch_add(static_cast<std::uint64_t>(got), std::memory_order_release);
  }
}

// Reads out what ALSA holds and stops delivering at once; the thread drops
// the PCM afterwards, off the caller's time.
void AlsaDevice::StopInput(void* context, InputStream& stream) {
  Input& input = *static_cast<Input*>(stream.device_data);
  CallerLock slot_lock(input);
  if (!input.capturing) return;
  if (input.running) Self(context).ReadOut(input);
  input.capturing = false;
  input.running = false;
  input.reset = true;
  input.wake.Signal();
}

void AlsaDevice::CloseInput(void* context, InputStream& stream) {
  AlsaDevice& self = Self(context);
  Input& input = *static_cast<Input*>(stream.device_data);
  StopInput(context, stream);
  CallerLock slot_lock(input);
  input.stream = nullptr;
  if (self.keep_.input.count() > 0 && !input.broken) {
    input.state = SlotState::kKept;
    input.until = Clock::now() + self.keep_.input;
    input.wake.Signal();
  } else {
    input.Retire({});
  }
}

void AlsaDevice::Capture(Input& input) {
  YieldToCallers();
  std::vector<std::uint8_t> period(input.period);
  std::unique_lock lock(input.mutex);
  while (!input.Retired()) {
    input.LetCallersIn(lock);
    if (input.capturing && !input.running) {
      StartPcm(input);
      continue;
    }
    if (input.capturing) {
      const snd_pcm_sframes_t got = snd_pcm_readi(input.pcm, period.data(), period.size());
      if (got > 0) {
        input.stream->Deliver(period.data(), static_cast<std::size_t>(got));
        captured_.fetch_add(static_cast<std::uint64_t>(got), std::memory_order_release);
        continue;
      }
      snd_pcm_t* pcm = input.pcm;
      if (got < 0 && got != -EAGAIN && snd_pcm_recover(pcm, static_cast<int>(got), 1) >= 0) {
        snd_pcm_start(pcm);  // after an overrun: capture on
        continue;
      }
      lock.unlock();
      input.wake.Wait(got == 0 || got == -EAGAIN ? pcm : nullptr);
      lock.lock();
      continue;
    }
    if (input.reset) {
      // A drop and prepare wait for the sound server: callers that only set
      // flags (close, start) go on meanwhile. Nothing else touches the PCM
      // while it is not running.
      input.reset = false;
      snd_pcm_t* pcm = input.pcm;
      lock.unlock();
      snd_pcm_drop(pcm);
      const bool prepared = snd_pcm_prepare(pcm) >= 0;
      lock.lock();
      if (!prepared) input.reset = true;  // the start tries again
      continue;
    }
    int limit = Wakeup::kWaitLimitMillis;
    if (input.state == SlotState::kKept || input.state == SlotState::kRetiring) {
      const auto now = Clock::now();
      if (now >= input.until) break;
      limit = Millis(input.until - now);
    }
    lock.unlock();
    input.wake.Wait(nullptr, limit);
    lock.lock();
  }
  input.state = SlotState::kRetiring;  // callers pass over it while it closes
  snd_pcm_t* pcm = input.pcm;
  lock.unlock();
  snd_pcm_drop(pcm);
  snd_pcm_close(pcm);
  lock.lock();
  input.pcm = nullptr;
  input.state = SlotState::kGone;
}

// ---------------------------------------------------------------------------
// Output.
// ---------------------------------------------------------------------------

// Gives `stream` a PCM at its rate, in this order: a kept one; a fresh one
// while fewer than kMaxOutputs are held; one still playing out the end of a
// closed stream (the new stream follows it); a fresh one in place of a kept
// or draining one at another rate; the PCM of the oldest stream whose handle
// is closed, cut short. With every PCM owned by an open handle: kAllocated.
// nullopt: open a fresh one.
std::optional<Result> AlsaDevice::TakeOutput(OutputStream& stream) {
  const std::uint32_t rate = stream.rate();
  Output* draining = nullptr;  // at the rate, oldest first
  Output* other = nullptr;     // kept or draining at another rate
  Output* cut = nullptr;       // the oldest closed stream still playing
  std::size_t held = 0;
  auto attach = [&](Output& output) {
    output.state = SlotState::kStreaming;
    output.stream = &stream;
    output.closing = false;
    output.unwritten = 0;
    output.attached = ++attached_;
    stream.device_data = &output;
    return kOk;
  };
  for (const auto& output : outputs_) {
    SlotState state = output->state;
    if (state == SlotState::kRetiring || state == SlotState::kGone) continue;
    ++held;
    if (output->broken) continue;
    if (state == SlotState::kKept && output->rate == rate) {
      CallerLock slot_lock(*output);
      if (output->state == SlotState::kKept) {
        // Kept PCMs run on; one that stopped may have lost its device.
        const snd_pcm_state_t pcm_state = snd_pcm_state(output->pcm);
        if (pcm_state == SND_PCM_STATE_RUNNING || pcm_state == SND_PCM_STATE_PREPARED ||
            snd_pcm_prepare(output->pcm) >= 0) {
          return attach(*output);
        }
        output->broken = true;
        output->Retire({});
        --held;
        continue;
      }
      state = output->state;  // its time ran out meanwhile
    }
    const bool idle = state == SlotState::kKept || state == SlotState::kDraining;
    auto older = [&](Output* than) { return than == nullptr || output->attached < than->attached; };
    if (idle && output->rate == rate && older(draining)) draining = output.get();
    if (idle && output->rate != rate && older(other)) other = output.get();
    if (state == SlotState::kStreaming && output->closing && older(cut)) cut = output.get();
  }
  if (held < kMaxOutputs) return std::nullopt;
  // The scan looked without the slots' mutexes: what it chose is checked
  // again under the one taken. Only its thread changes a slot meanwhile, from
  // streaming to draining to kept to retiring, and never back.
  Output* chosen = draining != nullptr ? draining : other != nullptr ? other : cut;
  if (chosen == nullptr) return kAllocated;  // every PCM belongs to an open handle
  CallerLock slot_lock(*chosen);
  const SlotState state = chosen->state;
  if (state == SlotState::kRetiring || state == SlotState::kGone) return std::nullopt;
  if (state == SlotState::kStreaming) {
    // Cut short: what it had not yet played is dropped and its stream released.
    snd_pcm_drop(chosen->pcm);
    OutputStream* old = chosen->stream;
    chosen->stream = nullptr;
    chosen->have = chosen->done = 0;
    chosen->ends_play = false;
    old->Release();
    if (chosen->rate == rate && snd_pcm_prepare(chosen->pcm) >= 0) {
      chosen->played_out = Clock::now();
      return attach(*chosen);
    }
  } else if (chosen->rate == rate && !chosen->broken) {
    return attach(*chosen);  // kept or draining: the new stream follows what it plays
  }
  chosen->Retire(kGiveWayDelay);
  return std::nullopt;
}

Result AlsaDevice::OpenOutput(void* context, OutputStream& stream) {
  AlsaDevice& self = Self(context);
  std::lock_guard lock(self.mutex_);
  self.Reap();
  if (const std::optional<Result> taken = self.TakeOutput(stream)) return *taken;
  std::unique_ptr<Output> output;
  if (const Result opened = self.OpenSlot(Direction::kOutput, stream.rate(), output);
      opened != kOk) {
    return opened;
  }
  output->stream = &stream;
  output->chunk.resize(output->period);
  output->played_out = Clock::now();
  try {
    output->thread = std::thread(&AlsaDevice::PlayOut, &self, std::ref(*output));
  } catch (const std::system_error&) {
    snd_pcm_close(output->pcm);
    return kNoMemory;
  }
  stream.device_data = output.get();
  self.outputs_.push_back(std::move(output));
  return kOk;
}

void AlsaDevice::PlayQueued(void*, OutputStream& stream, const Play& play) {
  if (play.length == 0) return;  // finished already
  Output& output = *static_cast<Output*>(stream.device_data);
  output.unwritten.fetch_add(1, std::memory_order_acq_rel);
  output.wake.Signal();
}

void AlsaDevice::CloseOutput(void*, OutputStream& stream) {
  Output& output = *static_cast<Output*>(stream.device_data);
  output.closing.store(true, std::memory_order_release);  // the thread may release the stream
  output.wake.Signal();
}

void AlsaDevice::PlayOut(Output& output) {
  YieldToCallers();
  std::unique_lock lock(output.mutex);
  auto wait = [&](snd_pcm_t* pcm, int limit) {
    lock.unlock();
    output.wake.Wait(pcm, limit);
    lock.lock();
  };
  while (!output.Retired()) {
    output.LetCallersIn(lock);
    const auto now = Clock::now();
    if (output.state == SlotState::kRetiring) {
      wait(nullptr, Millis(output.until - now));
      continue;
    }
    if (output.state == SlotState::kDraining || output.state == SlotState::kKept) {
      if (now < output.until) {
        wait(nullptr, Millis(output.until - now));
      } else if (output.state == SlotState::kDraining && keep_.output.count() > 0) {
        output.state = SlotState::kKept;
        output.until = now + keep_.output;
      } else {
        output.Retire({});
      }
      continue;
    }
    if (output.done < output.have) {
      const std::size_t left = output.have - output.done;
      const snd_pcm_sframes_t put =
          snd_pcm_writei(output.pcm, output.chunk.data() + output.done, left);
      if (put > 0) {
        output.done += static_cast<std::size_t>(put);
        // What ALSA holds plays out at the rate from now, or after what it held.
        output.played_out = std::max(output.played_out, now) +
                            std::chrono::microseconds(put * 1'000'000 / output.rate);
      } else if (put == 0 || put == -EAGAIN) {
        wait(output.pcm, Wakeup::kWaitLimitMillis);
      } else if (snd_pcm_recover(output.pcm, static_cast<int>(put), 1) < 0) {
        output.broken = true;  // the rest is taken from the stream and dropped
        output.done = output.have;
      }
      continue;
    }
    if (output.ends_play) --output.unwritten;
    output.ends_play = false;
    // Read before the pull: a close comes after the handle's last write, so
    // once it is seen, an empty pull means the stream has nothing more.
    const bool closed = output.closing.load(std::memory_order_acquire);
    const Pulled pulled = output.stream->Pull(output.chunk.data(), output.chunk.size());
    output.have = pulled.bytes;
    output.done = output.broken ? output.have : 0;
    output.ends_play = pulled.finished;
    if (pulled.bytes > 0) continue;
    if (!closed) {
      wait(nullptr, Wakeup::kWaitLimitMillis);
      continue;
    }
    // Every byte of the closed stream is with ALSA: the stream is done.
    output.stream->Release();
    output.stream = nullptr;
    output.state = SlotState::kDraining;
    output.until = output.played_out;
    if (output.broken) output.Retire({});
  }
  // Closed without a drain: what the PCM was handed has played by now (it
  // was kept, or waited out), or is cut short. A drain may wait for good on
  // a sound server, and callers must not wait behind this mutex meanwhile:
  // they pass over a retiring slot.
  output.state = SlotState::kRetiring;
  snd_pcm_t* pcm = output.pcm;
  // Read under the lock: the device's destructor sets abort under it.
  const bool cut_short = output.abort || output.broken;
  lock.unlock();
  if (cut_short) snd_pcm_drop(pcm);
  snd_pcm_close(pcm);
  lock.lock();
  output.pcm = nullptr;
  // Aborted: a stream whose handle is closed is released; the others the
  // service forgets when the device is removed.
  if (output.stream != nullptr && output.closing) output.stream->Release();
  output.stream = nullptr;
  output.state = SlotState::kGone;
}

}  // namespace wave_service
