// The waveform-audio service contract: the records exchanged with the service,
// its thirteen operations and what callers guarantee and devices must do.
#pragma once

#include <cstddef>
#include <cstdint>

namespace wave_service {

// ---------------------------------------------------------------------------
// Records. Laid out as the platform lays them out on its 32-bit target.
// ---------------------------------------------------------------------------

// One buffer of samples handed to the service. Every word is 32 bits on the
// 32-bit target (32 bytes in all). On a 64-bit host the data address is
// pointer-sized, so the record is 40 bytes there; callers pass
// sizeof(BufferHeader) as its size either way.
struct BufferHeader {
  std::uint8_t* data;             // word 0: start of the buffer
  std::uint32_t buffer_length;    // word 1: bytes to record into or play from
  std::uint32_t bytes_recorded;   // word 2: input progress, kept by the device
  std::uint32_t user;             // word 3: the caller's own
  std::uint32_t flags;            // word 4: kDone, kPrepared, kInQueue
  std::uint32_t service[3];       // words 5-7: the service's own
};

// PCM format record, 18 bytes, packed as the platform packs it.
#pragma pack(push, 2)
struct WaveFormat {
  std::uint16_t format_tag;         // 1: PCM
  std::uint16_t channels;
  std::uint32_t samples_per_second;
  std::uint32_t bytes_per_second;
  std::uint16_t block_align;        // ignored by the service
  std::uint16_t bits_per_sample;
  std::uint16_t extra_size;         // ignored by the service
};
#pragma pack(pop)

// Position query record, 12 bytes.
struct PositionRecord {
  std::uint32_t time_format;  // kTimeBytes asks for bytes
  std::uint32_t bytes;        // the answer
  std::uint32_t service;      // the service's own
};

static_assert(sizeof(WaveFormat) == 18);
static_assert(sizeof(PositionRecord) == 12);
static_assert(sizeof(BufferHeader) == (sizeof(void*) == 4 ? 32 : 40));

// ---------------------------------------------------------------------------
// Codes and constants (the platform's values).
// ---------------------------------------------------------------------------

using Result = std::uint32_t;
inline constexpr Result kOk = 0;
inline constexpr Result kError = 1;  // a device failure with no closer code
inline constexpr Result kBadDeviceId = 2;
inline constexpr Result kAllocated = 4;
inline constexpr Result kInvalidHandle = 5;
inline constexpr Result kNoMemory = 7;
inline constexpr Result kInvalidParam = 11;
inline constexpr Result kBadFormat = 32;
inline constexpr Result kStillPlaying = 33;
inline constexpr Result kUnprepared = 34;

inline constexpr std::uint32_t kAnyDevice = 0xFFFFFFFFu;  // device -1
inline constexpr std::uint32_t kFormatQuery = 1;           // open flag: check only

inline constexpr std::uint32_t kDone = 0x01;
inline constexpr std::uint32_t kPrepared = 0x02;
inline constexpr std::uint32_t kInQueue = 0x10;

inline constexpr std::uint16_t kFormatPcm = 1;
inline constexpr std::uint32_t kTimeBytes = 4;

using Handle = std::uint32_t;

// ---------------------------------------------------------------------------
// Operations. Every one returns kOk or one of the codes above.
//
// Callers guarantee:
//  - a header passed to add or write stays valid (not freed) for as long as
//    the service may use it; the library's header lives in static storage;
//  - calls on one handle are not made from two threads at once.
//
// Every device, through the service, guarantees:
//  - handles are nonzero and never reused in a process, inputs and outputs
//    numbered apart; a zero, stale or closed handle gets kInvalidHandle and
//    changes nothing (the handle is checked before any other argument);
//  - a null record or a size smaller than the record gets kInvalidParam;
//  - opens take device 0 up to the device count, or kAnyDevice; anything else
//    gets kBadDeviceId. They accept tag 1, one channel, 8 bits and a rate of
//    at least 1 (read as a signed 32-bit value) that the device supports,
//    whatever the block align and extra size; anything else gets kBadFormat.
//    An open with kFormatQuery only checks and never writes the handle. No
//    notification is ever sent, so a nonzero callback gets kInvalidParam;
//  - prepare sets kPrepared (preparing again succeeds and changes nothing);
//    add or write of a header without kPrepared gets kUnprepared; add or
//    write sets kInQueue and clears kDone; completion sets kDone and clears
//    kInQueue once no stream uses the header any more. Use counts are kept
//    by the service, so clearing the whole header while in use is safe;
//  - a queued buffer is a snapshot of its data address and length taken at
//    the add or write: nothing outside that range is touched, whatever the
//    header holds later (cleared, rewritten, queued elsewhere). A null
//    address or a zero length is an empty buffer, done at once;
//  - input: add sets bytes-recorded to 0 (adding a header already queued on
//    the same input gets kStillPlaying); while started, samples go into the
//    oldest queued buffer and bytes-recorded stays current; a full buffer is
//    done and nothing more is stored, yet the position counts every byte
//    captured since the open. Stop marks the oldest queued buffer done with
//    bytes-recorded = bytes stored and keeps the position; reset stops, marks
//    every queued buffer done and sets the position to 0. The position is
//    answered in bytes (the record's time format rewritten to kTimeBytes)
//    and stays at 0xFFFFFFFF rather than wrap;
//  - unprepare or close while a buffer is queued on the input gets
//    kStillPlaying and changes nothing; unprepare clears kPrepared;
//  - output: every write plays its whole snapshot at the rate of its open,
//    also when the header is queued elsewhere, unless a later call replaces
//    it (below); writes play one at a time, in the order they were made; a
//    close while a buffer plays closes the handle at once and lets the
//    stream play to its end before the device is released.
// ---------------------------------------------------------------------------

Result InputOpen(Handle* handle, std::uint32_t device, const WaveFormat* format,
                 std::uintptr_t callback, std::uintptr_t instance, std::uint32_t flags);
Result InputPrepareHeader(Handle handle, BufferHeader* header, std::uint32_t size);
Result InputAddBuffer(Handle handle, BufferHeader* header, std::uint32_t size);
Result InputStart(Handle handle);
Result InputStop(Handle handle);
Result InputGetPosition(Handle handle, PositionRecord* position, std::uint32_t size);
Result InputReset(Handle handle);
Result InputUnprepareHeader(Handle handle, BufferHeader* header, std::uint32_t size);
Result InputClose(Handle handle);

Result OutputOpen(Handle* handle, std::uint32_t device, const WaveFormat* format,
                  std::uintptr_t callback, std::uintptr_t instance, std::uint32_t flags);
Result OutputPrepareHeader(Handle handle, BufferHeader* header, std::uint32_t size);
Result OutputWrite(Handle handle, BufferHeader* header, std::uint32_t size);
Result OutputClose(Handle handle);

// ---------------------------------------------------------------------------
// The service's own calls, beside the platform's operations.
//
// One sound at a time: the passes of one host call play in turn, and a later
// call replaces what earlier calls still play. A call runs from its
// BeginCall to the next one; writes made before any BeginCall are one call.
//  - Every write plays once the write before it in the call (on any output)
//    has been heard to its end.
//  - In a call begun by BeginCall, a write that would play exactly what the
//    write before it plays (the same data address, length and rate) is that
//    play, heard once: it is done at once, and its header is done when that
//    play's is.
//  - The first write of a call, also an empty one, stops every output at
//    once: what they still play, and the plays queued on them, are dropped
//    (those plays are done, unplayed).
// The handles, results and lengths of every operation stay as stated above.
// ---------------------------------------------------------------------------

// Marks the start of a host call that plays. `output_rates` (may be null when
// `count` is 0) are the rates of the outputs the call will open, in order, so
// that the device may open them side by side; a rate outside 1 to the
// highest a device is asked for is left out. Never waits for a device.
void BeginCall(const std::uint32_t* output_rates, std::size_t count);

// For a caller whose memory goes away (a library being unloaded): ends every
// stream whose handle an open stored in [begin, begin + size), or that has a
// queued buffer or play whose header or data lies there. Inputs are stopped
// and closed; outputs are closed with their queued plays dropped. Once it
// returns, the service never reads or writes that memory again (headers in
// it are not marked done), and devices let go, within about a second, of
// what no stream uses. Never waits for a device's thread.
void DetachMemory(const void* begin, std::size_t size);

}  // namespace wave_service
