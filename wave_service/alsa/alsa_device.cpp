// The ALSA device's operations, on the host's threads. They choose an owner
// by the pool's policy and post to it (pcm_owner.h); none calls ALSA on a
// PCM of the device, and the device's mutex is never held across an ALSA
// call. Only an output's open waits for a sound server (its result must be
// ALSA's answer), and an output's format query, which asks ALSA on a PCM of
// its own; an input's stop waits boundedly for its owner.
#include "wave_service/alsa/alsa_device.h"

#include <algorithm>
#include <span>
#include <system_error>
#include <type_traits>

#include "wave_service/alsa/alsa_pcm.h"
#include "wave_service/alsa/pcm_name.h"
#include "wave_service/alsa/pcm_owner.h"

namespace wave_service {

using alsa::Clock;
using alsa::InputOwner;
using alsa::Lock;
using alsa::OutputOwner;
using alsa::PcmEvent;
using alsa::PcmState;
using Shared = AlsaDevice::Shared;
using Choice = alsa::PcmPool::Choice;

AlsaDevice::AlsaDevice() : AlsaDevice(KeepTimes{}) {}

AlsaDevice::AlsaDevice(KeepTimes keep) : shared_(std::make_shared<Shared>(keep)) {
  alsa::SilenceAlsaMessages();
}

AlsaDevice::~AlsaDevice() { End(); }

void AlsaDevice::End() {
  shared_->Shutdown();
  RemoveDevice(&Ops(), this);
}

void AlsaDevice::Install() { InstallDevice(&Ops(), this); }

std::uint64_t AlsaDevice::Captured() const {
  return shared_->captured.load(std::memory_order_acquire);
}

std::uint64_t AlsaDevice::Reopens() const {
  return shared_->reopens.load(std::memory_order_acquire);
}

bool AlsaDevice::Playing() {
  std::lock_guard lock(shared_->mutex);
  for (const auto& owner : shared_->owners) {
    if (owner->direction != Direction::kOutput || owner->finished) continue;
    const auto& output = static_cast<const OutputOwner&>(*owner);
    const auto state = shared_->pool.StateOf(owner->id);
    if (state == PcmState::kDraining || state == PcmState::kClosing) return true;
    if (!output.plays.empty() || !output.handed.empty()) return true;
  }
  return false;
}

std::size_t AlsaDevice::HeldPcms(Direction direction) {
  std::lock_guard lock(shared_->mutex);
  return static_cast<std::size_t>(std::ranges::count_if(shared_->owners, [&](const auto& owner) {
    return owner->direction == direction && !owner->finished;
  }));
}

// Asks every owner to stop at once and waits, boundedly, for them to close
// their PCMs and end. From here on no owner touches a stream.
void Shared::Shutdown() {
  Lock lock(mutex);
  aborting = true;
  for (const auto& owner : owners) {
    if (owner->direction == Direction::kInput) {
      static_cast<InputOwner&>(*owner).stream = nullptr;
    } else {
      static_cast<OutputOwner&>(*owner).stream = nullptr;
    }
    owner->wake.Signal();
  }
  handed.notify_all();
  answered.wait_for(lock, kEndDeadline, [&] {
    return std::ranges::all_of(workers, [](const alsa::Worker& w) { return w.ended; });
  });
  // One still inside ALSA holds this state alive and ends on its own.
  for (alsa::Worker& worker : workers) {
    if (!worker.ended) worker.thread.detach();
  }
  Reap();
}

// Frees the owners that are done and joins the workers that ended. Neither
// takes the mutex again.
void Shared::Reap() {
  std::erase_if(owners, [](const std::unique_ptr<Owner>& owner) {
    return owner->finished && owner->awaited == 0;
  });
  std::erase_if(workers, [](alsa::Worker& worker) {
    if (!worker.ended) return false;
    if (worker.thread.joinable()) worker.thread.join();
    return true;
  });
}

alsa::Owner* Shared::Find(std::uint64_t id) {
  for (const auto& owner : owners) {
    if (owner->id == id && !owner->finished) return owner.get();
  }
  return nullptr;
}

// Cuts an output's sound short: what it pulled and what ALSA holds are
// dropped, and a closed stream on it is released.
void Shared::Cut(OutputOwner& owner) {
  if (pool.StateOf(owner.id) == PcmState::kClosing && owner.stream != nullptr) {
    owner.stream->Release();
    owner.stream = nullptr;
  }
  owner.cut = true;
  Silence(owner, true, true);
  pool.Apply(owner.id, PcmEvent::kCut, Clock::now());
  owner.wake.Signal();
}

// The owner makes room for a fresh one: it closes its PCM (cutting short
// what it plays) and ends.
void Shared::End(std::uint64_t id) {
  Owner* owner = Find(id);
  if (owner != nullptr && owner->direction == Direction::kOutput) {
    Cut(static_cast<OutputOwner&>(*owner));
  }
  pool.Apply(id, PcmEvent::kEnd);
  if (owner != nullptr) owner->wake.Signal();
}

// A fresh owner, its thread started (it opens the PCM); nullptr when no
// thread can be had.
template <class OwnerType>
OwnerType* Shared::StartOwner(const char* name, std::uint32_t rate, PcmState state,
                              std::chrono::milliseconds hold) {
  constexpr Direction direction =
      std::is_same_v<OwnerType, InputOwner> ? Direction::kInput : Direction::kOutput;
  const std::uint64_t id = pool.Add(direction, name, rate, state, Clock::now(), hold);
  auto owner = std::make_unique<OwnerType>(direction, name, rate, id);
  OwnerType& made = *owner;
  if (!made.wake.valid()) {
    pool.Apply(id, PcmEvent::kEnd);
    return nullptr;
  }
  if (!Launch(made)) {
    pool.Apply(id, PcmEvent::kEnd);
    return nullptr;
  }
  owners.push_back(std::move(owner));
  return &made;
}

// The owner for a stream at the name and rate, by the pool's choice: one
// taken (its closed stream cut short if the pool says so) or a fresh one;
// nullptr with `refusal` set when there is none.
template <class OwnerType>
OwnerType* Shared::Attach(const char* name, std::uint32_t rate, Lock& lock, Result& refusal) {
  constexpr Direction direction =
      std::is_same_v<OwnerType, InputOwner> ? Direction::kInput : Direction::kOutput;
  const Choice choice = pool.Choose(direction, name, rate);
  if (choice.kind == Choice::kRefuse) {
    refusal = kAllocated;
    return nullptr;
  }
  if (choice.kind == Choice::kTake) {
    auto* owner = static_cast<OwnerType*>(Find(choice.owner));
    if constexpr (direction == Direction::kOutput) {
      // An output open's answer must be true: a kept PCM whose server has
      // gone since its owner last looked is not taken.
      if (!StillWorks(*owner, lock)) return Attach<OwnerType>(name, rate, lock, refusal);
      if (choice.cut) Cut(*owner);
    }
    pool.Apply(choice.owner, PcmEvent::kAttach, Clock::now());
    owner->wake.Signal();  // a kept PCM's owner stops its keep time
    return owner;
  }
  if constexpr (direction == Direction::kOutput) {
    if (choice.kind == Choice::kRetune) {
      auto& kept = static_cast<OutputOwner&>(*Find(choice.owner));
      if (!StillWorks(kept, lock)) return Attach<OwnerType>(name, rate, lock, refusal);
      if (Retune(kept, rate)) {
        pool.Apply(choice.owner, PcmEvent::kAttach, Clock::now());
        return &kept;
      }
    }
  }
  if (choice.give_way != 0) End(choice.give_way);
  OwnerType* owner = StartOwner<OwnerType>(name, rate, PcmState::kStreaming);
  if (owner == nullptr) refusal = kNoMemory;
  return owner;
}

// For a kept PCM that is open: asks its owner to try it at once and waits,
// boundedly, for the answer, unless it was found working a moment ago.
// False when it is lost (or no longer kept).
bool Shared::StillWorks(Owner& owner, Lock& lock) {
  if (pool.StateOf(owner.id) != PcmState::kKept || owner.opened != kOk) return true;
  if (!owner.checking && Clock::now() - owner.checked < AlsaDevice::kCheckHolds) return true;
  if (!owner.checking) AskCheck(owner);  // else asked as the call began
  answered.wait_until(lock, Clock::now() + kOpenDeadline,
                      [&] { return !owner.checking || owner.finished; });
  owner.checking = false;
  return !owner.finished && pool.StateOf(owner.id) == PcmState::kKept;
}

// Asks a kept PCM's owner to try it at once; the answer is not waited for.
void Shared::AskCheck(Owner& owner) {
  owner.checking = true;
  owner.wake.Signal();
}

// A kept output is set up afresh at `rate` by its owner, whose answer an
// open waits for as for a first open. False for one whose PCM is not open
// and working (still opening, or lost): it gives way if the bound is reached.
bool Shared::Retune(OutputOwner& owner, std::uint32_t rate, std::chrono::milliseconds hold) {
  if (owner.opened != kOk || !owner.healthy) {
    // A fresh PCM is opened instead, in its place once the bound is reached.
    if (pool.Held(owner.direction) >= pool.Limit(owner.direction)) End(owner.id);
    return false;
  }
  if (!pool.Retune(owner.id, rate, Clock::now(), hold)) return false;
  owner.rate = rate;
  owner.opened.reset();
  owner.wake.Signal();
  return true;
}

// A call's first write: every other output that still sounds stops now.
void Shared::Replace(const OutputOwner& keep) {
  for (const auto& owner : owners) {
    if (owner.get() == &keep || owner->direction != Direction::kOutput || owner->finished) continue;
    auto& output = static_cast<OutputOwner&>(*owner);
    const auto state = pool.StateOf(output.id);
    if (!output.plays.empty() || !output.handed.empty() || state == PcmState::kClosing ||
        state == PcmState::kDraining) {
      Cut(output);
    }
  }
}

// Waits, up to the deadline, for the owner's first open: its answer, or
// nullopt when it has not come.
std::optional<Result> Shared::AwaitOpen(Owner& owner, Lock& lock) {
  ++owner.awaited;
  answered.wait_until(lock, Clock::now() + kOpenDeadline, [&] { return owner.opened.has_value(); });
  --owner.awaited;
  return owner.opened;
}

namespace {

Shared& Self(void* context) { return AlsaDevice::SharedOf(context); }

std::uint32_t DeviceCount(void*, Direction) { return 1; }

// What the pool knows answers; else an output asks ALSA on a PCM of the
// caller's own, opened and closed at once. An input answers kOk unasked:
// a recording's start never waits for ALSA, and its open learns the answer.
Result CheckFormat(void* context, Direction direction, std::uint32_t rate) {
  Shared& self = Self(context);
  const std::string name = alsa::PcmName(direction);
  {
    std::lock_guard lock(self.mutex);
    if (const auto known = self.pool.Known(direction, name, rate)) return *known;
  }
  if (direction == Direction::kInput) return kOk;
  const Result result = alsa::CheckPcm(direction, name.c_str(), rate);
  std::lock_guard lock(self.mutex);
  self.pool.Learn(direction, name, rate, result);
  return result;
}

// ---------------------------------------------------------------------------
// Input: nothing here waits for ALSA. A fresh PCM is opened by its owner; a
// rate or name it turns out not to take records nothing (and is known to
// later opens). A take's clock runs from its start: the time before its PCM
// delivers is silence.
// ---------------------------------------------------------------------------

Result OpenInput(void* context, InputStream& stream) {
  Shared& self = Self(context);
  const char* name = alsa::PcmName(Direction::kInput);
  Lock lock(self.mutex);
  self.Reap();
  if (const auto known = self.pool.Known(Direction::kInput, name, stream.rate());
      known && *known != kOk) {
    return *known;
  }
  Result refusal = kOk;
  InputOwner* owner = self.Attach<InputOwner>(name, stream.rate(), lock, refusal);
  if (owner == nullptr) return refusal;
  owner->stream = &stream;
  stream.device_data = owner;
  return kOk;
}

Result StartInput(void* context, InputStream& stream) {
  auto& owner = *static_cast<InputOwner*>(stream.device_data);
  std::lock_guard lock(Self(context).mutex);
  owner.clock.Start(Clock::now());
  owner.wake.Signal();
  return kOk;
}

// What the PCM captured up to the call is the take's: the owner reads it out
// and ends the take, in a bounded exchange. An owner held up (inside a long
// ALSA call) leaves the take as it stands, ended here. A PCM not yet
// started for the take has captured nothing of it, and its owner is inside
// the open or the start, which can take milliseconds: the take ends here.
void StopInput(void* context, InputStream& stream) {
  Shared& self = Self(context);
  auto& owner = *static_cast<InputOwner*>(stream.device_data);
  Lock lock(self.mutex);
  if (!owner.clock.running()) return;
  const std::uint64_t take = owner.clock.take();
  if (owner.running_take == take) {
    owner.stop_asked = take;
    self.Hurry(owner);
    owner.wake.Signal();
    self.answered.wait_for(lock, AlsaDevice::kStopExchange,
                           [&] { return owner.clock.take() != take; });
  }
  if (owner.clock.take() == take) self.EndTake(owner);
}

void CloseInput(void* context, InputStream& stream) {
  Shared& self = Self(context);
  auto& owner = *static_cast<InputOwner*>(stream.device_data);
  std::lock_guard lock(self.mutex);
  owner.clock.Stop();
  owner.stop_asked = 0;
  owner.stream = nullptr;
  // A PCM that failed is never kept; one still opening is, for the next take.
  if (owner.healthy || !owner.opened) {
    self.pool.Apply(owner.id, PcmEvent::kDetach, Clock::now());
  } else {
    self.End(owner.id);
  }
  owner.wake.Signal();
}

// ---------------------------------------------------------------------------
// Output.
// ---------------------------------------------------------------------------

Result OpenOutput(void* context, OutputStream& stream) {
  Shared& self = Self(context);
  const char* name = alsa::PcmName(Direction::kOutput);
  Lock lock(self.mutex);
  self.Reap();
  if (const auto known = self.pool.Known(Direction::kOutput, name, stream.rate());
      known && *known != kOk) {
    return *known;
  }
  Result refusal = kOk;
  OutputOwner* owner = self.Attach<OutputOwner>(name, stream.rate(), lock, refusal);
  if (owner == nullptr) return refusal;
  owner->stream = &stream;
  const std::optional<Result> answer = self.AwaitOpen(*owner, lock);
  if (answer == kOk) {
    stream.device_data = owner;
    return kOk;
  }
  // The stream is freed once this returns. An open that has not answered
  // yet goes on: what it opens is kept for the next stream.
  owner->stream = nullptr;
  if (!answer) {
    self.pool.Apply(owner->id, PcmEvent::kDetach, Clock::now(), AlsaDevice::kAheadHold);
    return kError;
  }
  self.End(owner->id);
  return *answer;
}

// A play starts once the play it follows in its call has been heard (the
// owner waits); the first play of a call cuts every other output first.
void PlayQueued(void* context, OutputStream& stream, const Play& play) {
  Shared& self = Self(context);
  auto& owner = *static_cast<OutputOwner*>(stream.device_data);
  std::lock_guard lock(self.mutex);
  if (play.replaces) self.Replace(owner);
  if (play.length == 0) return;  // finished already
  owner.plays.push_back(play);
  self.sounding.insert(play.id);
  owner.wake.Signal();
}

void CloseOutput(void* context, OutputStream& stream) {
  Shared& self = Self(context);
  auto& owner = *static_cast<OutputOwner*>(stream.device_data);
  std::lock_guard lock(self.mutex);
  owner.wake.Signal();
  self.pool.Apply(owner.id, PcmEvent::kClose);
  if (owner.stream == &stream && owner.plays.empty()) {
    // Every byte it was given is with ALSA: released here, so that an open
    // right after this close (a play's second pass) finds the PCM draining,
    // not waiting for its owner to wake and release it.
    stream.Release();
    owner.stream = nullptr;
    self.pool.Apply(owner.id, PcmEvent::kHandedAll);
  }
}

// Readies, side by side and without waiting, the outputs the call will want
// that no kept PCM serves: per missing rate, a kept PCM at a rate the call
// does not want re-tuned, or a fresh one, kept a while for the call's opens.
// The kept ones it will take are tried at once.
void ExpectOutputs(void* context, const std::uint32_t* rates, std::size_t count) {
  Shared& self = Self(context);
  const char* name = alsa::PcmName(Direction::kOutput);
  std::lock_guard lock(self.mutex);
  self.Reap();
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint32_t rate = rates[i];
    if (std::find(rates, rates + i, rate) != rates + i) continue;  // counted with its first
    const auto known = self.pool.Known(Direction::kOutput, name, rate);
    if (known && *known != kOk) continue;
    // The kept PCMs the call's opens may take are tried now, side by side
    // with what is readied, so that those opens find the answer waiting.
    for (const auto& owner : self.owners) {
      if (owner->direction == Direction::kOutput && !owner->finished && !owner->checking &&
          owner->rate == rate && owner->name == name && owner->opened == kOk &&
          self.pool.StateOf(owner->id) == PcmState::kKept) {
        self.AskCheck(*owner);
      }
    }
    const auto wanted = static_cast<std::size_t>(std::count(rates + i, rates + count, rate));
    for (std::size_t have = self.pool.Held(Direction::kOutput, name, rate, PcmState::kKept);
         have < wanted; ++have) {
      const Choice choice =
          self.pool.ChooseAhead(Direction::kOutput, name, rate, std::span(rates, count));
      if (choice.kind == Choice::kRefuse) return;
      if (choice.kind == Choice::kRetune &&
          self.Retune(static_cast<OutputOwner&>(*self.Find(choice.owner)), rate,
                      AlsaDevice::kAheadHold)) {
        continue;
      }
      if (choice.give_way != 0) self.End(choice.give_way);
      if (self.StartOwner<OutputOwner>(name, rate, PcmState::kKept, AlsaDevice::kAheadHold) ==
          nullptr) {
        return;
      }
    }
  }
}

// The host has gone: every PCM no open stream uses goes now, what it still
// plays cut short.
void LetGoIdle(void* context) {
  Shared& self = Self(context);
  std::lock_guard lock(self.mutex);
  for (const auto& owner : self.owners) {
    const auto state = self.pool.StateOf(owner->id);
    if (state == PcmState::kKept || state == PcmState::kDraining || state == PcmState::kClosing) {
      self.End(owner->id);
    }
  }
  // Nor does a worker wait for an owner: one comes only with a host.
  self.host_gone = true;
  self.handed.notify_all();
}

}  // namespace

const DeviceOps& AlsaDevice::Ops() {
  static constexpr DeviceOps kOps{
      &DeviceCount, &CheckFormat, &OpenInput,   &StartInput,    &StopInput, &CloseInput,
      &OpenOutput,  &PlayQueued,  &CloseOutput, &ExpectOutputs, &LetGoIdle,
  };
  return kOps;
}

}  // namespace wave_service
