// The service's single dispatch point: every one of the thirteen operations
// passes fault injection and the journal here, is checked here, and reaches
// the device that owns its stream only with arguments already checked.
#include <algorithm>
#include <array>
#include <cstddef>
#include <limits>
#include <new>
#include <utility>

#include "wave_service/service_core.h"
#include "wave_service/shared_words.h"

namespace wave_service {

namespace {

bool UsableHeader(const BufferHeader* header, std::uint32_t size) {
  return header != nullptr && size >= sizeof(BufferHeader);
}

// The header's buffer as a snapshot: a null address is an empty buffer.
std::uint32_t SnapshotLength(const BufferHeader& header) {
  return header.data != nullptr ? header.buffer_length : 0;
}

// A valid device id, then 8-bit mono PCM at a rate from 1 to kMaxRate;
// whether the device takes the rate is its own open's answer. The rate field
// is unsigned: a negative rate stored in it reads far above kMaxRate.
Result CheckOpen(Device device, Direction direction, std::uint32_t id, const WaveFormat& format) {
  const std::uint32_t count = device.ops->device_count(device.context, direction);
  if (id == kAnyDevice ? count == 0 : id >= count) return kBadDeviceId;
  const std::uint32_t rate = format.samples_per_second;
  if (format.format_tag != kFormatPcm || format.channels != 1 || format.bits_per_sample != 8 ||
      rate < 1 || rate > kMaxRate) {
    return kBadFormat;
  }
  return kOk;
}

}  // namespace

ServiceCore& ServiceCore::Get() {
  // Never destroyed: devices held in other statics, and their threads, may
  // still call in at exit, whatever the order statics go in. The library
  // holding it is never unloaded (see wave_service/CMakeLists.txt).
  alignas(ServiceCore) static std::byte storage[sizeof(ServiceCore)];
  static ServiceCore* const core = ::new (storage) ServiceCore;
  return *core;
}

InputStream* ServiceCore::FindInput(Handle handle) {
  for (const auto& stream : inputs_) {
    if (stream->handle_ == handle) return stream.get();
  }
  return nullptr;
}

OutputStream* ServiceCore::FindOutput(Handle handle) {
  for (const auto& stream : outputs_) {
    if (stream->handle_ == handle && !stream->closed_) return stream.get();
  }
  return nullptr;
}

// Inputs and outputs draw from one counter, so no handle is ever valid for
// both; once it runs out, opens fail rather than reuse a handle.
Handle ServiceCore::NextHandle() {
  if (last_handle_ == std::numeric_limits<Handle>::max()) return 0;
  return ++last_handle_;
}

Device ServiceCore::CurrentDeviceLocked() const {
  return installed_.ops != nullptr ? installed_ : DefaultDevice();
}

Device ServiceCore::CurrentDevice() {
  std::lock_guard lock(mutex_);
  return CurrentDeviceLocked();
}

// The stream's queued plays are done, unplayed. `touch_headers` is false for
// headers in memory that is going away.
void ServiceCore::DropPlays(OutputStream& stream, bool touch_headers) {
  while (!stream.queue_.empty()) {
    EndHeaderUse(stream.queue_.front().header, touch_headers);
    stream.queue_.pop_front();
  }
}

Result ServiceCore::Open(Direction direction, Handle* handle, std::uint32_t device,
                         const WaveFormat* format, std::uintptr_t callback, std::uint32_t flags,
                         Handle& stored) {
  const bool query = (flags & kFormatQuery) != 0;
  // No notifications are ever sent: asking for one is refused, not ignored.
  if (format == nullptr || (handle == nullptr && !query) || callback != 0) return kInvalidParam;
  const Device owner = CurrentDevice();
  if (Result checked = CheckOpen(owner, direction, device, *format); checked != kOk) {
    return checked;
  }
  if (query) return owner.ops->check_format(owner.context, direction, format->samples_per_second);

  Handle fresh;
  {
    std::lock_guard lock(mutex_);
    fresh = NextHandle();
  }
  if (fresh == 0) return kAllocated;
  // The stream joins its table only once the device has taken it.
  auto open = [&]<class S>(std::vector<std::unique_ptr<S>>& streams, Result (*open_on)(void*, S&)) {
    std::unique_ptr<S> stream(new S(fresh, format->samples_per_second, owner, handle));
    if (const Result result = open_on(owner.context, *stream); result != kOk) return result;
    std::lock_guard lock(mutex_);
    streams.push_back(std::move(stream));
    return kOk;
  };
  const Result result = direction == Direction::kInput ? open(inputs_, owner.ops->open_input)
                                                       : open(outputs_, owner.ops->open_output);
  if (result != kOk) return result;
  *handle = fresh;
  stored = fresh;
  return kOk;
}

Result ServiceCore::PrepareHeader(Direction direction, Handle handle, BufferHeader* header,
                                  std::uint32_t size) {
  std::lock_guard lock(mutex_);
  const bool found =
      direction == Direction::kInput ? FindInput(handle) != nullptr : FindOutput(handle) != nullptr;
  if (!found) return kInvalidHandle;
  if (!UsableHeader(header, size)) return kInvalidParam;
  UpdateSharedBits(header->flags, kPrepared, 0);
  return kOk;
}

Result ServiceCore::InputAddBuffer(Handle handle, BufferHeader* header, std::uint32_t size) {
  std::lock_guard lock(mutex_);
  InputStream* stream = FindInput(handle);
  if (stream == nullptr) return kInvalidHandle;
  if (!UsableHeader(header, size)) return kInvalidParam;
  if ((LoadShared(header->flags) & kPrepared) == 0) return kUnprepared;
  // One header is one range of memory: it cannot be recorded into twice.
  if (stream->Holds(header)) return kStillPlaying;
  StoreShared(header->bytes_recorded, 0);
  UseHeader(header);
  const std::uint32_t length = SnapshotLength(*header);
  if (length == 0) {
    EndHeaderUse(header, true);  // nothing to record into: done at once
  } else {
    stream->queue_.push_back({0, header, header->data, length});
  }
  return kOk;
}

Result ServiceCore::InputStart(Handle handle) {
  InputStream* stream;
  {
    std::lock_guard lock(mutex_);
    stream = FindInput(handle);
    if (stream == nullptr) return kInvalidHandle;
    if (stream->started_) return kOk;
    stream->started_ = true;  // before the device starts, so its first bytes count
  }
  const Result result = stream->device_.ops->start_input(stream->device_.context, *stream);
  if (result != kOk) {
    std::lock_guard lock(mutex_);
    stream->started_ = false;
  }
  return result;
}

// Stop finishes the buffer being recorded and keeps the position; reset
// finishes every queued buffer and sets the position back to 0.
Result ServiceCore::InputStop(Handle handle, bool reset) {
  InputStream* stream;
  bool running;
  {
    std::lock_guard lock(mutex_);
    stream = FindInput(handle);
    if (stream == nullptr) return kInvalidHandle;
    running = stream->started_;
  }
  if (running) stream->device_.ops->stop_input(stream->device_.context, *stream);
  std::lock_guard lock(mutex_);
  stream->started_ = false;
  if (reset) {
    while (!stream->queue_.empty()) FinishInputBuffer(*stream);
    stream->position_ = 0;
  } else if (!stream->queue_.empty()) {
    FinishInputBuffer(*stream);
  }
  return kOk;
}

Result ServiceCore::InputGetPosition(Handle handle, PositionRecord* position, std::uint32_t size) {
  std::lock_guard lock(mutex_);
  InputStream* stream = FindInput(handle);
  if (stream == nullptr) return kInvalidHandle;
  if (position == nullptr || size < sizeof(PositionRecord)) return kInvalidParam;
  // Always answered in bytes; past four billion bytes the count stays at its
  // largest rather than wrap back to a small one.
  position->time_format = kTimeBytes;
  position->bytes = static_cast<std::uint32_t>(
      std::min<std::uint64_t>(stream->position_, std::numeric_limits<std::uint32_t>::max()));
  return kOk;
}

Result ServiceCore::InputUnprepareHeader(Handle handle, BufferHeader* header, std::uint32_t size) {
  std::lock_guard lock(mutex_);
  InputStream* stream = FindInput(handle);
  if (stream == nullptr) return kInvalidHandle;
  if (!UsableHeader(header, size)) return kInvalidParam;
  if (stream->Holds(header)) return kStillPlaying;
  UpdateSharedBits(header->flags, 0, kPrepared);
  return kOk;
}

Result ServiceCore::InputClose(Handle handle) {
  std::unique_ptr<InputStream> closing;
  {
    std::lock_guard lock(mutex_);
    auto it = std::ranges::find_if(inputs_, [&](const auto& s) { return s->handle_ == handle; });
    if (it == inputs_.end()) return kInvalidHandle;
    if (!(*it)->queue_.empty()) return kStillPlaying;
    closing = std::move(*it);
    inputs_.erase(it);
  }
  // The device may still be delivering until this returns; the stream lives on
  // till then, unreachable by its handle.
  closing->device_.ops->close_input(closing->device_.context, *closing);
  return kOk;
}

// One sound at a time (wave_service.h): the call's first write drops what
// every output still has queued, and each later write follows the one
// before it, or is it.
Result ServiceCore::OutputWrite(Handle handle, BufferHeader* header, std::uint32_t size) {
  OutputStream* stream;
  Play play;
  {
    std::lock_guard lock(mutex_);
    stream = FindOutput(handle);
    if (stream == nullptr) return kInvalidHandle;
    if (!UsableHeader(header, size)) return kInvalidParam;
    if ((LoadShared(header->flags) & kPrepared) == 0) return kUnprepared;
    // The header only describes the play: a header queued elsewhere (on
    // another output or on the input) is played again as a play of its own.
    play = {++last_play_, header->data, SnapshotLength(*header)};
    play.replaces = std::exchange(call_.replace, false);
    if (play.replaces) {
      for (const auto& output : outputs_) DropPlays(*output, true);
      call_.last = 0;
    }
    const bool same_device = call_.device == stream->device_;
    if (call_.marked && call_.last != 0 && same_device && call_.data == play.data &&
        call_.length == play.length && call_.rate == stream->rate_) {
      play.length = 0;  // what the call already plays: heard once
    } else if (play.length > 0) {
      play.after = same_device ? call_.last : 0;
      call_ = {call_.marked, false, play.id, play.data, play.length, stream->rate_, stream->device_};
    }
    UseHeader(header);
    if (play.length == 0) {
      EndHeaderUse(header, true);  // nothing to play: done at once
    } else {
      stream->queue_.push_back({play.id, header, header->data, play.length});
    }
  }
  stream->device_.ops->play_queued(stream->device_.context, *stream, play);
  return kOk;
}

// The handle closes at once; the stream plays on until the device releases it.
Result ServiceCore::OutputClose(Handle handle) {
  OutputStream* stream;
  {
    std::lock_guard lock(mutex_);
    stream = FindOutput(handle);
    if (stream == nullptr) return kInvalidHandle;
    stream->closed_ = true;
  }
  stream->device_.ops->close_output(stream->device_.context, *stream);
  return kOk;
}

void ServiceCore::BeginCall(const std::uint32_t* rates, std::size_t count) {
  Device device;
  {
    std::lock_guard lock(mutex_);
    call_ = {};
    call_.marked = call_.replace = true;
    device = CurrentDeviceLocked();
  }
  // A play opens two outputs and a tone replay three: a few are plenty.
  std::array<std::uint32_t, 8> valid{};
  std::size_t n = 0;
  for (std::size_t i = 0; rates != nullptr && i < count && n < valid.size(); ++i) {
    if (rates[i] >= 1 && rates[i] <= kMaxRate) valid[n++] = rates[i];
  }
  if (n > 0) device.ops->expect_outputs(device.context, valid.data(), n);
}

void ServiceCore::DetachMemory(const void* begin, std::size_t size) {
  const auto low = reinterpret_cast<std::uintptr_t>(begin);
  auto inside = [&](const void* p) {
    const auto at = reinterpret_cast<std::uintptr_t>(p);
    return at >= low && at - low < size;
  };
  auto uses = [&](const Stream& stream) {
    return inside(stream.home_) ||
           std::ranges::any_of(stream.queue_, [&](const Stream::Queued& queued) {
             const auto data = reinterpret_cast<std::uintptr_t>(queued.data);
             return inside(queued.header) || (data < low + size && low < data + queued.length);
           });
  };
  std::vector<std::unique_ptr<InputStream>> inputs;
  std::vector<OutputStream*> outputs;
  std::vector<Device> devices;
  {
    std::lock_guard lock(mutex_);
    auto note = [&](Device device) {
      if (std::ranges::find(devices, device) == devices.end()) devices.push_back(device);
    };
    note(CurrentDeviceLocked());
    for (auto it = inputs_.begin(); it != inputs_.end();) {
      InputStream& stream = **it;
      if (!uses(stream)) {
        ++it;
        continue;
      }
      for (const Stream::Queued& queued : stream.queue_) {
        EndHeaderUse(queued.header, !inside(queued.header));
      }
      stream.queue_.clear();
      stream.started_ = false;
      note(stream.device_);
      inputs.push_back(std::move(*it));
      it = inputs_.erase(it);
    }
    for (const auto& output : outputs_) {
      if (!uses(*output)) continue;
      for (const Stream::Queued& queued : output->queue_) {
        EndHeaderUse(queued.header, !inside(queued.header));
      }
      output->queue_.clear();
      note(output->device_);
      if (!output->closed_) {
        output->closed_ = true;
        outputs.push_back(output.get());
      }
    }
    std::erase_if(header_uses_, [&](const auto& use) { return inside(use.first); });
    call_ = {};
  }
  // Unreachable by their handles now; the devices let go of them. A closed
  // output is freed by its device's Release, as after any close.
  for (const auto& input : inputs) input->device_.ops->close_input(input->device_.context, *input);
  for (OutputStream* output : outputs) {
    output->device_.ops->close_output(output->device_.context, *output);
  }
  for (const Device& device : devices) device.ops->let_go_idle(device.context);
}

void ServiceCore::Install(Device device) {
  std::lock_guard lock(mutex_);
  installed_ = device;
}

void ServiceCore::Remove(Device device) {
  std::lock_guard lock(mutex_);
  auto forget = [&](const auto& stream) {
    if (!(stream->device_ == device)) return false;
    for (const Stream::Queued& queued : stream->queue_) EndHeaderUse(queued.header, false);
    return true;
  };
  std::erase_if(inputs_, forget);
  std::erase_if(outputs_, forget);
  if (installed_ == device) installed_ = {};
}

bool ServiceCore::TakeFault(Operation op, Result& code) {
  std::lock_guard lock(mutex_);
  Fault& fault = faults_[static_cast<std::size_t>(op)];
  if (!fault.armed) return false;
  if (fault.pass_left > 0) {
    --fault.pass_left;
    return false;
  }
  fault.armed = fault.persistent;
  code = fault.code;
  return true;
}

void ServiceCore::SetFault(Operation op, Result code, std::uint32_t pass_first, bool persistent) {
  std::lock_guard lock(mutex_);
  faults_[static_cast<std::size_t>(op)] = {true, code, pass_first, persistent};
  hooked_.store(true, std::memory_order_relaxed);
}

void ServiceCore::ClearFaults() {
  std::lock_guard lock(mutex_);
  faults_.fill({});
  hooked_.store(journal_ != nullptr, std::memory_order_relaxed);
}

void ServiceCore::SetJournal(std::vector<JournalEntry>* journal) {
  std::lock_guard lock(mutex_);
  journal_ = journal;
  const bool faults = std::ranges::any_of(faults_, [](const Fault& fault) { return fault.armed; });
  hooked_.store(journal_ != nullptr || faults, std::memory_order_relaxed);
}

void ServiceCore::Record(Operation op, Handle handle, Result result) {
  std::lock_guard lock(mutex_);
  if (journal_ != nullptr) journal_->push_back({op, handle, result});
}

ServiceCounts ServiceCore::Counts() {
  std::lock_guard lock(mutex_);
  return {inputs_.size(), outputs_.size(), header_uses_.size()};
}

// ---------------------------------------------------------------------------
// The public operations.
// ---------------------------------------------------------------------------

namespace {

// Every operation passes here: an injected fault answers instead of the
// service, and the journal sees the call either way; while neither is set,
// the call goes straight to the service. `journal_handle` is read
// after the call, so an open can report the handle it stored.
template <class... Params, class... Args>
Result Call(Operation op, const Handle& journal_handle, Result (ServiceCore::*method)(Params...),
            Args&&... args) {
  ServiceCore& core = ServiceCore::Get();
  if (!core.Hooked()) return (core.*method)(std::forward<Args>(args)...);
  Result result = kOk;
  if (!core.TakeFault(op, result)) result = (core.*method)(std::forward<Args>(args)...);
  core.Record(op, journal_handle, result);
  return result;
}

constexpr auto kIn = Direction::kInput;
constexpr auto kOut = Direction::kOutput;

}  // namespace

Result InputOpen(Handle* handle, std::uint32_t device, const WaveFormat* format,
                 std::uintptr_t callback, std::uintptr_t, std::uint32_t flags) {
  Handle stored = 0;
  return Call(Operation::kInputOpen, stored, &ServiceCore::Open, kIn, handle, device, format,
              callback, flags, stored);
}

Result InputPrepareHeader(Handle handle, BufferHeader* header, std::uint32_t size) {
  return Call(Operation::kInputPrepareHeader, handle, &ServiceCore::PrepareHeader, kIn, handle,
              header, size);
}

Result InputAddBuffer(Handle handle, BufferHeader* header, std::uint32_t size) {
  return Call(Operation::kInputAddBuffer, handle, &ServiceCore::InputAddBuffer, handle, header,
              size);
}

Result InputStart(Handle handle) {
  return Call(Operation::kInputStart, handle, &ServiceCore::InputStart, handle);
}

Result InputStop(Handle handle) {
  return Call(Operation::kInputStop, handle, &ServiceCore::InputStop, handle, false);
}

Result InputGetPosition(Handle handle, PositionRecord* position, std::uint32_t size) {
  return Call(Operation::kInputGetPosition, handle, &ServiceCore::InputGetPosition, handle,
              position, size);
}

Result InputReset(Handle handle) {
  return Call(Operation::kInputReset, handle, &ServiceCore::InputStop, handle, true);
}

Result InputUnprepareHeader(Handle handle, BufferHeader* header, std::uint32_t size) {
  return Call(Operation::kInputUnprepareHeader, handle, &ServiceCore::InputUnprepareHeader, handle,
              header, size);
}

Result InputClose(Handle handle) {
  return Call(Operation::kInputClose, handle, &ServiceCore::InputClose, handle);
}

Result OutputOpen(Handle* handle, std::uint32_t device, const WaveFormat* format,
                  std::uintptr_t callback, std::uintptr_t, std::uint32_t flags) {
  Handle stored = 0;
  return Call(Operation::kOutputOpen, stored, &ServiceCore::Open, kOut, handle, device, format,
              callback, flags, stored);
}

Result OutputPrepareHeader(Handle handle, BufferHeader* header, std::uint32_t size) {
  return Call(Operation::kOutputPrepareHeader, handle, &ServiceCore::PrepareHeader, kOut, handle,
              header, size);
}

Result OutputWrite(Handle handle, BufferHeader* header, std::uint32_t size) {
  return Call(Operation::kOutputWrite, handle, &ServiceCore::OutputWrite, handle, header, size);
}

Result OutputClose(Handle handle) {
  return Call(Operation::kOutputClose, handle, &ServiceCore::OutputClose, handle);
}

// ---------------------------------------------------------------------------
// Management.
// ---------------------------------------------------------------------------

void BeginCall(const std::uint32_t* output_rates, std::size_t count) {
  ServiceCore::Get().BeginCall(output_rates, count);
}

void DetachMemory(const void* begin, std::size_t size) {
  ServiceCore::Get().DetachMemory(begin, size);
}

void InstallDevice(const DeviceOps* ops, void* context) {
  ServiceCore::Get().Install(ops != nullptr ? Device{ops, context} : Device{});
}

void RemoveDevice(const DeviceOps* ops, void* context) {
  ServiceCore::Get().Remove(Device{ops, context});
}

const char* OperationName(Operation op) {
  static constexpr const char* kNames[] = {
      "InputOpen",  "InputPrepareHeader", "InputAddBuffer",      "InputStart",
      "InputStop",  "InputGetPosition",   "InputReset",          "InputUnprepareHeader",
      "InputClose", "OutputOpen",         "OutputPrepareHeader", "OutputWrite",
      "OutputClose"};
  static_assert(std::size(kNames) == static_cast<std::size_t>(Operation::kCount));
  const auto index = static_cast<std::size_t>(op);
  return index < std::size(kNames) ? kNames[index] : "?";
}

void InjectFault(Operation op, Result code, std::uint32_t pass_first, bool persistent) {
  if (op < Operation::kCount) ServiceCore::Get().SetFault(op, code, pass_first, persistent);
}

void ClearFaults() { ServiceCore::Get().ClearFaults(); }

void SetJournal(std::vector<JournalEntry>* journal) { ServiceCore::Get().SetJournal(journal); }

ServiceCounts Counts() { return ServiceCore::Get().Counts(); }

}  // namespace wave_service
