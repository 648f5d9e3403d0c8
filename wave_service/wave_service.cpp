// The service's single dispatch point: every one of the thirteen operations
// passes fault injection and the journal here, is checked here, and reaches
// the device that owns its stream only with arguments already checked.
#include <algorithm>
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
  // Never destroyed, so that devices held in other statics may still call in
  // at exit or unload, whatever the order they go in. It lives in static
  // storage and lets go of what it holds on the heap when the library is
  // unloaded or the process exits (made after it, `release` goes before it
  // would, and before everything made earlier), so that an unloaded service
  // leaves nothing behind.
  alignas(ServiceCore) static std::byte storage[sizeof(ServiceCore)];
  static ServiceCore* const core = ::new (storage) ServiceCore;
#ifndef _WIN32
  static const struct Release {
    ~Release() { core->ReleaseMemory(); }
  } release;
#endif
  // Not on Windows: there the service's module is pinned once its device is
  // made (holding nothing before), so its statics go at exit only, after
  // every other thread of the process has been ended wherever it was,
  // perhaps holding the lock that the release would take.
  return *core;
}

void ServiceCore::ReleaseMemory() {
  std::lock_guard lock(mutex_);
  decltype(inputs_)().swap(inputs_);
  decltype(outputs_)().swap(outputs_);
  decltype(header_uses_)().swap(header_uses_);
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

Device ServiceCore::CurrentDevice() {
  {
    std::lock_guard lock(mutex_);
    if (installed_.ops != nullptr) return installed_;
  }
  return DefaultDevice();
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
    std::unique_ptr<S> stream(new S(fresh, format->samples_per_second, owner));
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
