// The ALSA device's operations, on the host's threads. They choose a PCM by
// the pool's policy and post to its owner thread (pcm_owner.cpp); none calls
// ALSA on a PCM of the device, and the device's mutex is never held across
// an ALSA call, so no operation waits for a sound server but an output open,
// whose result must be ALSA's answer.
#include "wave_service/alsa/alsa_device.h"

#include <algorithm>
#include <system_error>
#include <type_traits>

#include "wave_service/alsa/alsa_pcm.h"
#include "wave_service/alsa/pcm_calls.h"
#include "wave_service/alsa/pcm_name.h"
#include "wave_service/alsa/pcm_slot.h"

namespace wave_service {

namespace {

AlsaDevice& Self(void* context) { return *static_cast<AlsaDevice*>(context); }

}  // namespace

AlsaDevice::AlsaDevice() : AlsaDevice(KeepTimes{}) {}

AlsaDevice::AlsaDevice(KeepTimes keep)
    : pool_({kMaxInputs, kMaxOutputs, keep.input, keep.output}) {
  alsa::SilenceAlsaMessages();
}

AlsaDevice::~AlsaDevice() {
  {
    Lock lock(mutex_);
    aborting_ = true;
    for (const auto& slot : slots_) slot->wake.Signal();
    // Owners see the abort at their next look, at the latest when the ALSA
    // call they are in returns, and hand their PCMs back unclosed.
    answered_.wait(lock, [&] {
      return std::all_of(slots_.begin(), slots_.end(),
                         [](const auto& slot) { return slot->finished; });
    });
  }
  // Closed here, not by the owners: this may run inside dlclose or exit
  // under the loader's lock, and a plugin's close (PipeWire's) unloads
  // modules, which takes that lock: an owner would wait for it for good,
  // while this thread already holds it.
  for (const auto& slot : slots_) {
    if (slot->pcm == nullptr) continue;
    alsa::Pcm().drop(slot->pcm);
    alsa::Pcm().close(slot->pcm);
    slot->pcm = nullptr;
  }
  for (const auto& slot : slots_) {
    if (slot->thread.joinable()) slot->thread.join();
  }
  slots_.clear();
  RemoveDevice(&Ops(), this);
}

const DeviceOps& AlsaDevice::Ops() {
  static constexpr DeviceOps kOps{
      &DeviceCount, &CheckFormat, &OpenInput,   &StartInput,    &StopInput, &CloseInput,
      &OpenOutput,  &PlayQueued,  &CloseOutput, &ExpectOutputs, &LetGoIdle,
  };
  return kOps;
}

void AlsaDevice::Install() { InstallDevice(&Ops(), this); }

bool AlsaDevice::Playing() {
  std::lock_guard lock(mutex_);
  for (const auto& slot : slots_) {
    if (slot->direction != Direction::kOutput || slot->finished) continue;
    const auto& output = static_cast<const OutputSlot&>(*slot);
    const auto use = pool_.UseOf(slot->id);
    if (use == alsa::PcmPool::Use::kDraining || use == alsa::PcmPool::Use::kClosing) return true;
    if (output.stream != nullptr && output.unwritten > 0) return true;
    // Retired (cut, or the device goes) with its stream not yet released.
    if (!use && output.stream != nullptr) return true;
  }
  return false;
}

std::size_t AlsaDevice::HeldPcms(Direction direction) {
  std::lock_guard lock(mutex_);
  std::size_t held = 0;
  for (const auto& slot : slots_) held += slot->direction == direction && !slot->finished;
  return held;
}

// Joins the threads that are done. A finished owner takes the mutex no more.
void AlsaDevice::Reap() {
  std::erase_if(slots_, [](const std::unique_ptr<Slot>& slot) {
    if (!slot->finished || slot->awaited) return false;
    slot->thread.join();
    return true;
  });
}

AlsaDevice::Slot* AlsaDevice::FindSlot(std::uint64_t id) {
  for (const auto& slot : slots_) {
    if (slot->id == id && !slot->finished) return slot.get();
  }
  return nullptr;
}

// The PCM makes room for a fresh one: its owner closes it (cutting short a
// closed stream still playing) and ends.
void AlsaDevice::GiveWay(std::uint64_t id) {
  pool_.Remove(id);
  if (Slot* slot = FindSlot(id)) {
    slot->retire = true;
    slot->wake.Signal();
  }
}

// Whether a kept PCM still works, as its owner finds at once (its server
// may have gone since it was last looked at): an open must not take a PCM
// that cannot play. False when it does not, or is no longer kept.
bool AlsaDevice::StillWorks(Lock& lock, Slot& slot) {
  slot.checking = true;
  slot.wake.Signal();
  answered_.wait_until(lock, Clock::now() + kOpenDeadline,
                       [&] { return !slot.checking || slot.finished; });
  slot.checking = false;
  return !slot.finished && pool_.UseOf(slot.id) == alsa::PcmPool::Use::kKept;
}

// A fresh PCM's slot, its owner started (it opens the PCM); nullptr when no
// thread can be had.
template <class SlotType>
SlotType* AlsaDevice::StartSlot(Direction direction, const char* name, std::uint32_t rate) {
  const std::uint64_t id = pool_.Add(direction, name, rate);
  auto slot = std::make_unique<SlotType>(direction, name, rate, id);
  SlotType& owned = *slot;
  if (!owned.wake.valid()) {
    pool_.Remove(id);
    return nullptr;
  }
  try {
    if constexpr (std::is_same_v<SlotType, InputSlot>) {
      owned.thread = std::thread(&AlsaDevice::RunInput, this, std::ref(owned));
    } else {
      owned.thread = std::thread(&AlsaDevice::RunOutput, this, std::ref(owned));
    }
  } catch (const std::system_error&) {
    pool_.Remove(id);
    return nullptr;
  }
  slots_.push_back(std::move(slot));
  return &owned;
}

std::uint32_t AlsaDevice::DeviceCount(void*, Direction) { return 1; }

// What the pool knows answers; else an output asks ALSA on a PCM of the
// caller's own, opened and closed at once. An input answers kOk unasked:
// a recording's start never waits for ALSA, and its open learns the answer.
Result AlsaDevice::CheckFormat(void* context, Direction direction, std::uint32_t rate) {
  AlsaDevice& self = Self(context);
  const std::string name = alsa::PcmName(direction);
  {
    std::lock_guard lock(self.mutex_);
    if (const auto known = self.pool_.Known(direction, name, rate)) return *known;
  }
  if (direction == Direction::kInput) return kOk;
  const Result result = alsa::CheckPcm(direction, name.c_str(), rate);
  std::lock_guard lock(self.mutex_);
  self.pool_.Learn(direction, name, rate, result);
  return result;
}

// ---------------------------------------------------------------------------
// Input: nothing here waits for ALSA. A fresh PCM is opened by its owner,
// and a rate or name it turns out not to take records nothing (and is known
// to later opens).
// ---------------------------------------------------------------------------

Result AlsaDevice::OpenInput(void* context, InputStream& stream) {
  AlsaDevice& self = Self(context);
  const char* name = alsa::PcmName(Direction::kInput);
  Lock lock(self.mutex_);
  self.Reap();
  if (const auto known = self.pool_.Known(Direction::kInput, name, stream.rate());
      known && *known != kOk) {
    return *known;
  }
  const auto choice = self.pool_.Choose(Direction::kInput, name, stream.rate());
  InputSlot* slot = nullptr;
  if (choice.kind == alsa::PcmPool::Choice::kRefuse) return kAllocated;
  if (choice.kind == alsa::PcmPool::Choice::kTake) {
    slot = static_cast<InputSlot*>(self.FindSlot(choice.take));
    self.pool_.Attach(choice.take);
  } else {
    if (choice.give_way != 0) self.GiveWay(choice.give_way);
    slot = self.StartSlot<InputSlot>(Direction::kInput, name, stream.rate());
    if (slot == nullptr) return kNoMemory;
  }
  slot->stream = &stream;
  slot->capturing = false;
  slot->wake.Signal();  // a kept PCM's owner stops its keep time
  stream.device_data = slot;
  // A fresh PCM's first open is waited for (boundedly), though its answer
  // changes nothing here: a take runs from its PCM's first bytes, so that it
  // holds the sound that came after the start.
  self.answered_.wait_until(lock, Clock::now() + kOpenDeadline,
                            [&] { return slot->opened.has_value(); });
  return kOk;
}

Result AlsaDevice::StartInput(void* context, InputStream& stream) {
  auto& slot = *static_cast<InputSlot*>(stream.device_data);
  std::lock_guard lock(Self(context).mutex_);
  slot.capturing = true;
  ++slot.take;
  slot.wake.Signal();
  return kOk;
}

// What has been delivered is the take; a period its owner reads from now on
// belongs to no take and is dropped.
void AlsaDevice::StopInput(void* context, InputStream& stream) {
  auto& slot = *static_cast<InputSlot*>(stream.device_data);
  std::lock_guard lock(Self(context).mutex_);
  if (!slot.capturing) return;
  slot.capturing = false;
  ++slot.take;
  slot.wake.Signal();
}

void AlsaDevice::CloseInput(void* context, InputStream& stream) {
  AlsaDevice& self = Self(context);
  auto& slot = *static_cast<InputSlot*>(stream.device_data);
  std::lock_guard lock(self.mutex_);
  slot.capturing = false;
  ++slot.take;
  slot.stream = nullptr;
  // A PCM that failed is never kept; one still opening is, for the next take.
  const bool healthy = slot.sound || !slot.opened;
  if (!healthy || !self.pool_.Keep(slot.id, Clock::now())) self.GiveWay(slot.id);
  slot.wake.Signal();
}

// ---------------------------------------------------------------------------
// Output.
// ---------------------------------------------------------------------------

Result AlsaDevice::OpenOutput(void* context, OutputStream& stream) {
  AlsaDevice& self = Self(context);
  const char* name = alsa::PcmName(Direction::kOutput);
  Lock lock(self.mutex_);
  self.Reap();
  if (const auto known = self.pool_.Known(Direction::kOutput, name, stream.rate());
      known && *known != kOk) {
    return *known;
  }
  auto choice = self.pool_.Choose(Direction::kOutput, name, stream.rate());
  while (choice.kind == alsa::PcmPool::Choice::kTake &&
         self.pool_.UseOf(choice.take) == alsa::PcmPool::Use::kKept &&
         !self.StillWorks(lock, *self.FindSlot(choice.take))) {
    choice = self.pool_.Choose(Direction::kOutput, name, stream.rate());
  }
  if (choice.kind == alsa::PcmPool::Choice::kRefuse) return kAllocated;
  if (choice.kind == alsa::PcmPool::Choice::kTake) {
    // Kept or draining: the stream follows what the PCM still plays. A
    // closing stream is cut short: released here, and the bytes the owner
    // pulled from it not played.
    auto& slot = *static_cast<OutputSlot*>(self.FindSlot(choice.take));
    self.pool_.Attach(choice.take);
    if (choice.cut && slot.stream != nullptr) {
      slot.stream->Release();
      slot.flush = true;
    }
    slot.stream = &stream;
    slot.closing = false;
    slot.spare = false;
    slot.unwritten = 0;
    slot.wake.Signal();
    stream.device_data = &slot;
    return kOk;
  }
  if (choice.give_way != 0) self.GiveWay(choice.give_way);
  const bool first_here = self.pool_.Held(Direction::kOutput, name, stream.rate()) == 0;
  OutputSlot* slot = self.StartSlot<OutputSlot>(Direction::kOutput, name, stream.rate());
  if (slot == nullptr) return kNoMemory;
  slot->stream = &stream;
  slot->awaited = true;
  OutputSlot* spare = nullptr;
  if (first_here && self.pool_.Held(Direction::kOutput) < self.pool_.Limit(Direction::kOutput)) {
    spare = self.StartSlot<OutputSlot>(Direction::kOutput, name, stream.rate());
    if (spare != nullptr) spare->spare = spare->awaited = true;
  }
  // The spare is waited for too: no open of the device's is still under
  // way when the host's call returns, and so none when it unloads the
  // library (an open takes the loader's lock, which an unload holds).
  const bool answered =
      self.answered_.wait_until(lock, Clock::now() + kOpenDeadline, [&] {
        return slot->opened.has_value() && (spare == nullptr || spare->opened.has_value());
      }) || slot->opened.has_value();
  slot->awaited = false;
  if (spare != nullptr) spare->awaited = false;
  const Result result = answered ? *slot->opened : kError;
  if (result == kOk) {
    stream.device_data = slot;
    return kOk;
  }
  // The stream is freed once this returns: the owner lets go of it first.
  slot->stream = nullptr;
  self.GiveWay(slot->id);
  return result;
}

void AlsaDevice::PlayQueued(void* context, OutputStream& stream, const Play& play) {
  AlsaDevice& self = Self(context);
  auto& slot = *static_cast<OutputSlot*>(stream.device_data);
  std::lock_guard lock(self.mutex_);
  if (play.replaces) {
    // The service has dropped what the others had queued: what their owners
    // still hold of it is not played either.
    for (const auto& other : self.slots_) {
      if (other.get() == &slot || other->direction != Direction::kOutput) continue;
      auto& output = static_cast<OutputSlot&>(*other);
      output.unwritten = 0;
      output.flush = true;
      output.wake.Signal();
    }
  }
  if (play.length == 0) return;  // finished already
  ++slot.unwritten;
  slot.wake.Signal();
}

void AlsaDevice::CloseOutput(void* context, OutputStream& stream) {
  AlsaDevice& self = Self(context);
  auto& slot = *static_cast<OutputSlot*>(stream.device_data);
  std::lock_guard lock(self.mutex_);
  slot.wake.Signal();
  if (slot.stream == &stream && slot.unwritten == 0 && !stream.Busy()) {
    // Every byte it was given is with ALSA: released here, so that an open
    // right after this close (a play's second pass) finds the PCM draining,
    // not waiting for its owner to wake and release it.
    stream.Release();
    slot.stream = nullptr;
    slot.closing = false;
    self.pool_.SetUse(slot.id, alsa::PcmPool::Use::kDraining);
    return;
  }
  slot.closing = true;
  self.pool_.SetUse(slot.id, alsa::PcmPool::Use::kClosing);
}

// The first open at a rate opens a spare beside it (OpenOutput) instead.
void AlsaDevice::ExpectOutputs(void*, const std::uint32_t*, std::size_t) {}

// Kept and draining PCMs go now, and until the next open none is kept:
// those still closing go once they are done (cut short then, as the host
// has gone).
void AlsaDevice::LetGoIdle(void* context) {
  AlsaDevice& self = Self(context);
  std::lock_guard lock(self.mutex_);
  self.pool_.RefuseKeeps();
  for (const auto& slot : self.slots_) {
    const auto use = self.pool_.UseOf(slot->id);
    if (use == alsa::PcmPool::Use::kKept || use == alsa::PcmPool::Use::kDraining) {
      self.GiveWay(slot->id);
    } else if (use == alsa::PcmPool::Use::kClosing) {
      // What its owner still holds of a closed stream is not played.
      static_cast<OutputSlot&>(*slot).flush = true;
      slot->wake.Signal();
    }
  }
}

}  // namespace wave_service
