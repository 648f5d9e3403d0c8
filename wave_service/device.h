// The device layer under the wave service: the one table of operations a
// backend provides, the stream bookkeeping a backend calls back into, and the
// management calls (device installation, fault injection, call journal).
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

#include "wave_service/wave_service.h"

namespace wave_service {

class InputStream;
class OutputStream;

enum class Direction { kInput, kOutput };

// The highest rate any device is asked for: the highest ALSA itself names.
// Opens above it are refused before a device sees them, since sound layers
// that would take such a rate resample it into buffers of hundreds of
// megabytes.
inline constexpr std::uint32_t kMaxRate = 768'000;

// One queued write, as the service snapshot it at the write: the device plays
// `length` bytes from `data` and nothing else. A play of length 0 is already
// finished when the device hears of it.
struct Play {
  std::uint64_t id;  // nonzero, never reused in a process
  const std::uint8_t* data;
  std::uint32_t length;
  // The play before it in the host's call (0 for none): this one starts only
  // once that one has been heard to its last byte, if it is this device's
  // and has not yet been heard, cut or let go; else at once.
  std::uint64_t after = 0;
  // The first play of a call: every other output of the device stops now.
  bool replaces = false;
};

// What one OutputStream::Pull handed over.
struct Pulled {
  std::uint64_t play = 0;  // the play the bytes came from; 0 when nothing is queued
  std::size_t bytes = 0;   // bytes copied out
  bool finished = false;   // these were the play's last bytes
};

// ---------------------------------------------------------------------------
// The device table. A backend fills one static DeviceOps; the service calls
// it with the context the backend was installed with.
//
// The service guarantees to every device:
//  - arguments are checked before a device sees them: the device id exists,
//    the format is 8-bit mono PCM at a rate from 1 to kMaxRate, and every stream
//    passed in is one the device opened and has not released;
//  - operations on one stream never overlap, and no service lock is held
//    while an operation runs, so a device may call back into the stream
//    (Deliver, Pull, Release) from inside an operation or from its own
//    threads;
//  - all bookkeeping shared by every device (handles, header flags, queued
//    buffers, snapshots, bytes stored and played, position, completion) is
//    done by the stream methods below: a device only moves bytes.
//
// Every device must:
//  - report its own errors as Result codes (one translating function per
//    platform), kOk for success;
//  - answer an open within a deadline of its own, and fail it with kError
//    when its device does not answer in time (whatever that open acquires
//    later is let go, or kept for a later open);
//  - call InputStream::Deliver only between a successful start_input and the
//    return of stop_input or close_input, and deliver by the return of
//    stop_input what it captured up to the call;
//  - play one sound at a time (wave_service.h): a play with `after` waits
//    until that play has been heard, and a play that `replaces` stops every
//    other output at once, dropping what they hold;
//  - after close_output, play the stream's queued bytes to their end, then let
//    go of the output device and call OutputStream::Release exactly once;
//  - let go of an output device, or keep it for another stream, only once
//    every byte it was handed has been heard, unless its stream was cut;
//  - never make a host call wait without a bound for a thread of its own,
//    and at an unload or exit never wait for a thread inside the platform's
//    sound calls;
//  - call RemoveDevice before it goes away, whatever streams are still open.
// ---------------------------------------------------------------------------
struct DeviceOps {
  // How many devices there are in a direction: ids 0 to count - 1 exist, and
  // kAnyDevice stands for any of them when count is at least 1.
  std::uint32_t (*device_count)(void* context, Direction direction);
  // Answers an open with kFormatQuery: kOk when 8-bit mono PCM at `rate` (at
  // least 1) can be recorded or played, else the code an open would get
  // (kBadFormat for a refused rate). Other opens leave the check to the
  // device's own open, so that a device is not opened twice.
  Result (*check_format)(void* context, Direction direction, std::uint32_t rate);

  // Acquires an input device for stream.rate(). A failure code is returned by
  // the open unchanged: kBadFormat for a rate the device refuses, kAllocated
  // when the device is busy. A device may answer kOk before it has opened
  // anything, so that a recording never waits for a sound server; an input
  // whose device then fails to open records nothing.
  Result (*open_input)(void* context, InputStream& stream);
  // Starts capturing: captured bytes go to stream.Deliver from now on.
  Result (*start_input)(void* context, InputStream& stream);
  // Stops capturing. Once it returns, no Deliver call runs or will come.
  void (*stop_input)(void* context, InputStream& stream);
  // Stops capturing if it runs and lets go of the input device; the service
  // frees the stream once this returns.
  void (*close_input)(void* context, InputStream& stream);

  // Acquires an output device for stream.rate(), with the codes of open_input.
  Result (*open_output)(void* context, OutputStream& stream);
  // A write was queued: the device plays queued bytes, taken with
  // stream.Pull, at stream.rate(). Writes on one stream play in order.
  void (*play_queued)(void* context, OutputStream& stream, const Play& play);
  // The stream's handle is closed. The device lets the queued plays finish,
  // lets go of the output device, then calls stream.Release().
  void (*close_output)(void* context, OutputStream& stream);

  // A host call will open outputs at these rates (each from 1 to kMaxRate),
  // in order: the device may start acquiring them now, side by side, so
  // that each of the call's opens waits for about one acquisition at most.
  // Must not wait for the device.
  void (*expect_outputs)(void* context, const std::uint32_t* rates, std::size_t count);
  // The host has gone: within about a second, let go of every device this
  // one holds for no open stream (kept and draining ones at once, what they
  // still hold cut short, and those of streams closed before this call once
  // they are done). Must not wait for the device.
  void (*let_go_idle)(void* context);
};

// A device: its table and the context its operations get.
struct Device {
  const DeviceOps* ops = nullptr;
  void* context = nullptr;
  friend bool operator==(const Device&, const Device&) = default;
};

// ---------------------------------------------------------------------------
// Streams: the service's record of one open input or output. Devices call
// these methods from any thread; each takes the service's lock briefly.
// ---------------------------------------------------------------------------

// What inputs and outputs share: identity, the owning device, and the queue
// of buffers or plays, each the header's range as it was when queued.
class Stream {
 public:
  Handle handle() const { return handle_; }
  std::uint32_t rate() const { return rate_; }

  void* device_data = nullptr;  // the device's own state for this stream

 protected:
  friend class ServiceCore;
  struct Queued {
    std::uint64_t play;  // the play's id; 0 for an input buffer
    BufferHeader* header;
    std::uint8_t* data;       // snapshot taken at the add or write
    std::uint32_t length;     // snapshot taken at the add or write; never 0
    std::uint32_t moved = 0;  // bytes stored or played so far
  };

  Stream(Handle handle, std::uint32_t rate, Device device, const Handle* home)
      : handle_(handle), rate_(rate), device_(device), home_(home) {}

  bool Holds(const BufferHeader* header) const;

  Handle handle_;
  std::uint32_t rate_;
  Device device_;
  const Handle* home_;  // where the open stored the handle
  std::deque<Queued> queue_;
};

class InputStream : public Stream {
 public:
  // Captured bytes, in order. They fill the oldest queued buffer first; a
  // full buffer is done and the next one takes over; bytes with no room are
  // dropped. Every byte counts in the position. Ignored while not started.
  void Deliver(const std::uint8_t* bytes, std::size_t count);

 private:
  friend class ServiceCore;
  using Stream::Stream;

  bool started_ = false;
  std::uint64_t position_ = 0;  // bytes captured since the open or the last reset
};

class OutputStream : public Stream {
 public:
  // Copies up to `max` of the next bytes of the oldest unfinished play into
  // `out`, from that play's snapshot only, and never from more than one play
  // in a call. The play's last byte finishes it; its header is marked done
  // once no stream uses it any more.
  Pulled Pull(std::uint8_t* out, std::size_t max);

  // True while a play is queued and not finished.
  bool Busy() const;

  // Called by the device once, after close_output, when it has let go of the
  // output device. Plays still queued are finished unplayed, and the stream
  // is freed: the device must not touch it afterwards.
  void Release();

 private:
  friend class ServiceCore;
  using Stream::Stream;

  bool closed_ = false;
};

// ---------------------------------------------------------------------------
// Management.
// ---------------------------------------------------------------------------

// Makes later opens use `ops` with `context`; nullptr restores the default
// device. Streams already open stay with the device that opened them.
void InstallDevice(const DeviceOps* ops, void* context);

// Forgets every stream the device opened (their handles get kInvalidHandle
// from then on, headers queued on them are no longer touched) and uninstalls
// the device if it is installed. For a device that is going away.
void RemoveDevice(const DeviceOps* ops, void* context);

// The thirteen operations, for fault injection and the journal.
enum class Operation {
  kInputOpen,
  kInputPrepareHeader,
  kInputAddBuffer,
  kInputStart,
  kInputStop,
  kInputGetPosition,
  kInputReset,
  kInputUnprepareHeader,
  kInputClose,
  kOutputOpen,
  kOutputPrepareHeader,
  kOutputWrite,
  kOutputClose,
  kCount
};

const char* OperationName(Operation op);

// Lets `pass_first` calls of `op` through, then fails the next one with
// `code` (every one from then on if `persistent`). A failed call changes
// nothing. Replaces any fault set earlier for `op`.
void InjectFault(Operation op, Result code, std::uint32_t pass_first, bool persistent);
void ClearFaults();

// One call as the service answered it. For an open, the handle it stored
// (0 when it stored none); otherwise the handle passed.
struct JournalEntry {
  Operation op;
  Handle handle;
  Result result;
  friend bool operator==(const JournalEntry&, const JournalEntry&) = default;
};

// Appends every later call, in order, to `journal`; nullptr stops it. The
// vector must outlive its use.
void SetJournal(std::vector<JournalEntry>* journal);

// What the service still tracks: open or playing streams, headers in use.
// Tests use it to see that nothing leaks.
struct ServiceCounts {
  std::size_t inputs = 0;
  std::size_t outputs = 0;  // open, or closed and still playing
  std::size_t headers = 0;  // headers some stream still uses
};
ServiceCounts Counts();

}  // namespace wave_service
