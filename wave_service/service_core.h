// Inside the wave service: the state that every operation and every stream
// shares, under one lock, and the bookkeeping common to all devices.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "wave_service/device.h"

namespace wave_service {

// The device used while none is installed.
Device DefaultDevice();

class ServiceCore {
 public:
  static ServiceCore& Get();

  // The operations after fault injection; an open also reports the handle it
  // stored through `stored`.
  Result Open(Direction direction, Handle* handle, std::uint32_t device, const WaveFormat* format,
              std::uintptr_t callback, std::uint32_t flags, Handle& stored);
  Result PrepareHeader(Direction direction, Handle handle, BufferHeader* header,
                       std::uint32_t size);
  Result InputAddBuffer(Handle handle, BufferHeader* header, std::uint32_t size);
  Result InputStart(Handle handle);
  Result InputStop(Handle handle, bool reset);
  Result InputGetPosition(Handle handle, PositionRecord* position, std::uint32_t size);
  Result InputUnprepareHeader(Handle handle, BufferHeader* header, std::uint32_t size);
  Result InputClose(Handle handle);
  Result OutputWrite(Handle handle, BufferHeader* header, std::uint32_t size);
  Result OutputClose(Handle handle);

  // The service's own calls (wave_service.h).
  void BeginCall(const std::uint32_t* rates, std::size_t count);
  void DetachMemory(const void* begin, std::size_t size);

  // Management.
  void Install(Device device);
  void Remove(Device device);
  // True once a fault or the journal is set: until then calls skip both,
  // at the cost of this one relaxed load.
  bool Hooked() const { return hooked_.load(std::memory_order_relaxed); }
  bool TakeFault(Operation op, Result& code);
  void SetFault(Operation op, Result code, std::uint32_t pass_first, bool persistent);
  void ClearFaults();
  void SetJournal(std::vector<JournalEntry>* journal);
  void Record(Operation op, Handle handle, Result result);
  ServiceCounts Counts();

  // Stream bookkeeping, for the stream methods.
  void Deliver(InputStream& stream, const std::uint8_t* bytes, std::size_t count);
  Pulled Pull(OutputStream& stream, std::uint8_t* out, std::size_t max);
  bool Busy(const OutputStream& stream);
  void Release(OutputStream& stream);

 private:
  struct Fault {
    bool armed = false;
    Result code = kOk;
    std::uint32_t pass_left = 0;
    bool persistent = false;
  };

  // The host call whose writes play now: one sound at a time.
  struct HostCall {
    bool marked = false;   // begun by BeginCall: a write may be the one before it
    bool replace = false;  // its first write is still to come: it stops the rest
    // Its last play with bytes to play: the next write follows it, or is it.
    std::uint64_t last = 0;
    const std::uint8_t* data = nullptr;
    std::uint32_t length = 0;
    std::uint32_t rate = 0;
    Device device;
  };

  // All below with mutex_ held.
  Device CurrentDeviceLocked() const;
  void DropPlays(OutputStream& stream, bool touch_headers);
  InputStream* FindInput(Handle handle);
  OutputStream* FindOutput(Handle handle);
  Handle NextHandle();
  void UseHeader(BufferHeader* header);
  void EndHeaderUse(BufferHeader* header, bool touch_header);
  void FinishInputBuffer(InputStream& stream);
  void FinishPlay(OutputStream& stream);
  Device CurrentDevice();

  std::mutex mutex_;
  Device installed_;  // ops == nullptr: the default device
  Handle last_handle_ = 0;
  std::uint64_t last_play_ = 0;
  HostCall call_;
  std::vector<std::unique_ptr<InputStream>> inputs_;    // open inputs
  std::vector<std::unique_ptr<OutputStream>> outputs_;  // open, or closed and playing
  // How many queued buffers or plays use each header. Kept here, not in the
  // header, because callers may clear the whole header while it is in use.
  std::unordered_map<const BufferHeader*, std::uint32_t> header_uses_;
  std::array<Fault, static_cast<std::size_t>(Operation::kCount)> faults_{};
  std::vector<JournalEntry>* journal_ = nullptr;
  std::atomic<bool> hooked_{false};
};

}  // namespace wave_service
