// The winmm device's operations, on the host's threads. Each starts or posts
// to a stream's owner (winmm_owner.cpp) and returns; none calls winmm on a
// stream, and the device's mutex is never held across a winmm call. Only an
// output open waits, for its owner's first open, since its result must be
// winmm's answer; an input open answers at once, its owner opening the
// device, so that a recording never waits for winmm.
#include "wave_service/winmm/winmm_device.h"

#include <algorithm>
#include <chrono>
#include <limits>
#include <system_error>
#include <thread>

#include "wave_service/winmm/winmm_slot.h"

namespace wave_service {

namespace {

// How long an output open waits for its owner to open the device. A device
// that takes longer is taken as one that does not open: the open fails, and
// the owner lets go of what it opens later.
constexpr auto kOpenDeadline = std::chrono::milliseconds(1000);
// How long a stop waits for the owner to hand over what it captured up to
// the stop (the partly filled header); past it those bytes are dropped.
constexpr auto kStopDeadline = std::chrono::milliseconds(5);

WinmmDevice& Self(void* context) { return *static_cast<WinmmDevice*>(context); }

DWORD Now() { return Winmm().timeGetTime(); }

// Starts `run` on an owner thread that ends on its own: nothing joins it.
template <class OwnerType>
bool StartOwner(void (*run)(OwnerType&), OwnerType& owner) {
  try {
    std::thread(run, std::ref(owner)).detach();
  } catch (const std::system_error&) {
    return false;
  }
  return true;
}

}  // namespace

WinmmDevice::WinmmDevice() = default;

WinmmDevice::~WinmmDevice() {
  std::unique_lock lock(mutex_);
  for (const auto& input : inputs_) {
    {
      std::lock_guard deliver(input->deliver);
      input->delivering = false;
    }
    input->abort.store(true, std::memory_order_release);
    input->Wake();
  }
  for (const auto& output : outputs_) {
    output->abort.store(true, std::memory_order_release);
    output->Wake();
  }
  auto finished = [](const auto& owner) { return owner->finished.load(std::memory_order_acquire); };
  // Only tests destroy a device: every winmm call returns, so this ends.
  while (!std::ranges::all_of(inputs_, finished) || !std::ranges::all_of(outputs_, finished)) {
    lock.unlock();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    lock.lock();
  }
  inputs_.clear();
  outputs_.clear();
  lock.unlock();
  RemoveDevice(&Ops(), this);
}

const DeviceOps& WinmmDevice::Ops() {
  static constexpr DeviceOps kOps{
      &DeviceCount, &CheckFormat, &OpenInput,   &StartInput,    &StopInput, &CloseInput,
      &OpenOutput,  &PlayQueued,  &CloseOutput, &ExpectOutputs, &LetGoIdle,
  };
  return kOps;
}

void WinmmDevice::Install() { InstallDevice(&Ops(), this); }

bool WinmmDevice::Playing() {
  std::lock_guard lock(mutex_);
  return std::ranges::any_of(outputs_, [](const std::unique_ptr<Output>& output) {
    // A closed stream may be released at any moment: only an open one is asked.
    return output->streaming.load(std::memory_order_acquire) &&
           !output->finished.load(std::memory_order_acquire) &&
           (output->closing.load(std::memory_order_acquire) || output->ring.queued.load() > 0 ||
            output->stream->Busy());
  });
}

std::size_t WinmmDevice::HeldOutputs() {
  std::lock_guard lock(mutex_);
  Reap();
  return outputs_.size();
}

std::size_t WinmmDevice::HeldInputs() {
  std::lock_guard lock(mutex_);
  Reap();
  return inputs_.size();
}

// With mutex_ held. A finished owner touches its record no more.
void WinmmDevice::Reap() {
  auto finished = [](const auto& owner) { return owner->finished.load(std::memory_order_acquire); };
  std::erase_if(inputs_, finished);
  std::erase_if(outputs_, finished);
}

// One device each way: the one the environment names, else winmm's mapper,
// resolved by the owner as it opens (device_choice.h). So the count asks
// winmm nothing, and device 0 and kAnyDevice are that device; where winmm
// has none, an output's open answers winmm's code, and a recording records
// nothing.
std::uint32_t WinmmDevice::DeviceCount(void*, Direction) { return 1; }

// An input answers kOk unasked: a recording's start never waits for winmm,
// and its owner's open learns the answer. An output query asks winmm on the
// caller's thread: the library never makes one (its plays open, and learn
// the answer there), and winmm answers a query from what it knows of the
// device, opening nothing.
Result WinmmDevice::CheckFormat(void*, Direction direction, std::uint32_t rate) {
  if (direction == Direction::kInput) return kOk;
  UINT id = WAVE_MAPPER;
  if (!winmm::ChosenDevice(direction, id)) return kBadDeviceId;
  const WAVEFORMATEX format = winmm::Format(rate);
  return TranslateMmResult(Winmm().waveOutOpen(nullptr, id, &format, 0, 0, WAVE_FORMAT_QUERY));
}

Result WinmmDevice::OpenInput(void* context, InputStream& stream) {
  WinmmDevice& self = Self(context);
  auto input = std::make_unique<Input>(stream, self.captured_);
  if (input->signal.event == nullptr || !input->ring.Allocate(stream.rate())) return kNoMemory;
  std::lock_guard lock(self.mutex_);
  self.Reap();
  if (!StartOwner(&WinmmDevice::RunInput, *input)) return kNoMemory;
  stream.device_data = input.get();
  self.inputs_.push_back(std::move(input));
  return kOk;
}

// A start never waits for winmm: the take's clock runs from now on,
// whenever the device delivers.
Result WinmmDevice::StartInput(void*, InputStream& stream) {
  Input& input = *static_cast<Input*>(stream.device_data);
  std::uint64_t take = 0;
  {
    std::lock_guard lock(input.deliver);
    take = ++input.take;
    input.delivering = true;
    input.take_started = Now();
    input.delivered = 0;
  }
  input.Post(Input::Command::kStart, take);
  return kOk;
}

// What the device captured up to the stop belongs to the take: the owner
// hands over the partly filled header, and is waited for a few
// milliseconds at most. An owner that does not answer in time (inside a
// long winmm call, or its device still opening) leaves silence for the
// take's time instead, so that a take is as long as it ran; a device known
// not to open records nothing.
void WinmmDevice::StopInput(void*, InputStream& stream) {
  Input& input = *static_cast<Input*>(stream.device_data);
  const bool answered = input.Await(input.Post(Input::Command::kStop, 0), kStopDeadline);
  std::lock_guard lock(input.deliver);
  if (input.delivering && !answered && !input.missing.load(std::memory_order_acquire)) {
    input.FillGapLocked(Now());
  }
  input.delivering = false;
  ++input.take;  // what the owner captured for the take is dropped from now on
}

void WinmmDevice::CloseInput(void* context, InputStream& stream) {
  Input& input = *static_cast<Input*>(stream.device_data);
  {
    // The stream is freed once this returns: nothing more is delivered.
    std::lock_guard lock(input.deliver);
    input.delivering = false;
    ++input.take;
  }
  input.Post(Input::Command::kClose, 0);
  std::lock_guard lock(Self(context).mutex_);
  Self(context).Reap();
}

Result WinmmDevice::OpenOutput(void* context, OutputStream& stream) {
  WinmmDevice& self = Self(context);
  auto created = std::make_unique<Output>(self, stream);
  Output& output = *created;
  if (output.signal.event == nullptr || !output.ring.Allocate(stream.rate())) return kNoMemory;
  {
    std::lock_guard lock(self.mutex_);
    self.Reap();
    if (!StartOwner(&WinmmDevice::RunOutput, output)) return kNoMemory;
    // Listed before the wait: the owner ends on its own whatever the answer.
    self.outputs_.push_back(std::move(created));
  }
  const std::optional<MMRESULT> opened = output.AwaitOpen(kOpenDeadline);
  if (!opened) return kError;  // the owner lets go of what it opens later
  if (*opened != MMSYSERR_NOERROR) return TranslateMmResult(*opened);
  stream.device_data = &output;
  output.streaming.store(true, std::memory_order_release);
  return kOk;
}

// A play that replaces stops every other output at once; one that follows
// another is written to winmm only once that one has been heard (its last
// header done).
void WinmmDevice::PlayQueued(void* context, OutputStream& stream, const Play& play) {
  WinmmDevice& self = Self(context);
  auto& output = *static_cast<Output*>(stream.device_data);
  if (play.replaces) self.Cut(&output, false);
  if (play.length > 0) {
    std::lock_guard lock(self.mutex_);
    self.unheard_[play.id] = {&output, play.after};
  }
  output.Wake();
}

void WinmmDevice::CloseOutput(void* context, OutputStream& stream) {
  auto& output = *static_cast<Output*>(stream.device_data);
  output.closing.store(true, std::memory_order_release);
  output.Wake();  // from here on the owner may release the stream
  std::lock_guard lock(Self(context).mutex_);
  Self(context).Reap();
}

// Opens are quick enough one after another: nothing is opened ahead.
void WinmmDevice::ExpectOutputs(void*, const std::uint32_t*, std::size_t) {}

// No device is kept for a later stream; closed outputs still playing are cut.
void WinmmDevice::LetGoIdle(void* context) { Self(context).Cut(nullptr, true); }

bool WinmmDevice::MayStart(std::uint64_t play) {
  std::lock_guard lock(mutex_);
  const auto it = unheard_.find(play);
  if (it == unheard_.end()) return false;  // not announced yet, or cut
  return it->second.after == 0 || !unheard_.contains(it->second.after);
}

void WinmmDevice::Heard(std::uint64_t play) {
  std::lock_guard lock(mutex_);
  if (unheard_.erase(play) > 0) WakeOutputs();
}

void WinmmDevice::Forget(const Output& output) {
  std::lock_guard lock(mutex_);
  if (std::erase_if(unheard_, [&](const auto& entry) { return entry.second.output == &output; }) > 0) {
    WakeOutputs();
  }
}

void WinmmDevice::Cut(const Output* kept, bool closed_only) {
  std::lock_guard lock(mutex_);
  for (const auto& output : outputs_) {
    if (output.get() == kept || !output->streaming.load(std::memory_order_acquire) ||
        output->finished.load(std::memory_order_acquire)) {
      continue;
    }
    if (closed_only && !output->closing.load(std::memory_order_acquire)) continue;
    // Its plays are heard no more: those that follow them start at once.
    std::erase_if(unheard_, [&](const auto& entry) { return entry.second.output == output.get(); });
    output->cut.store(true, std::memory_order_release);
  }
  WakeOutputs();
}

void WinmmDevice::WakeOutputs() {
  for (const auto& output : outputs_) output->Wake();
}

}  // namespace wave_service
