// The wave device on Windows' own waveform-audio API (winmm). The library's
// header never reaches winmm: every stream has its own small ring of WAVEHDRs
// over its own memory, and one thread per stream, its owner, makes every
// winmm call on it and moves bytes between the ring and the service (Deliver,
// Pull), woken by winmm's callbacks. So every promise of the service's
// contract holds here too, whatever winmm itself does with a header that is
// cleared, queued twice or closed while it plays.
//
// Host calls only post to the owner and wait, with a deadline, where their
// answer depends on winmm (an open, a stop's last bytes). The owner recovers
// from winmm's faults itself: a header winmm refuses is kept and queued again
// (MMSYSERR_NOMEM after a wait; anything else closes the device), and a
// device that goes away (an error from it, a refused header, WIM/WOM_CLOSE)
// is opened again with backoff, 50 ms doubling to 1 s, for as long as the
// stream is open. A recording fills the time lost with silence (128); a play
// goes on with the bytes it had not played. With MIRN_DEBUG set, each such
// event is one line on stderr.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>

#include "wave_service/device.h"

namespace wave_service {

class WinmmDevice {
 public:
  WinmmDevice();
  // Stops every capture and playback at once, joins their threads, closes
  // their winmm devices and forgets the device's streams.
  ~WinmmDevice();
  WinmmDevice(const WinmmDevice&) = delete;
  WinmmDevice& operator=(const WinmmDevice&) = delete;

  static const DeviceOps& Ops();
  // Makes later opens use this device.
  void Install();

  // Bytes captured by every input of this device so far, silence filling a
  // lost device's time included.
  std::uint64_t Captured() const { return captured_.load(std::memory_order_acquire); }
  // True while some output has bytes that winmm has not finished playing, or
  // a closed output has not yet let go of its winmm device.
  bool Playing();
  // Streams whose threads still run: closed ones end once they have let go
  // of winmm (an output once it has played out).
  std::size_t HeldOutputs();
  std::size_t HeldInputs();

 private:
  struct Ring;
  struct Owner;
  struct Input;
  struct Output;

  static std::uint32_t DeviceCount(void* context, Direction direction);
  static Result CheckFormat(void* context, Direction direction, std::uint32_t rate);
  static Result OpenInput(void* context, InputStream& stream);
  static Result StartInput(void* context, InputStream& stream);
  static void StopInput(void* context, InputStream& stream);
  static void CloseInput(void* context, InputStream& stream);
  static Result OpenOutput(void* context, OutputStream& stream);
  static void PlayQueued(void* context, OutputStream& stream, const Play& play);
  static void CloseOutput(void* context, OutputStream& stream);
  static void ExpectOutputs(void* context, const std::uint32_t* rates, std::size_t count);
  static void LetGoIdle(void* context);

  void Capture(Input& input);
  static void PlayOut(Output& output);
  void ReapStreams();

  std::mutex mutex_;  // guards the two lists, not the streams in them; never held across winmm
  std::list<std::unique_ptr<Input>> inputs_;
  std::list<std::unique_ptr<Output>> outputs_;
  std::atomic<std::uint64_t> captured_{0};
};

// winmm's MMRESULT codes in the service's terms: the one place they are
// translated.
Result TranslateMmResult(std::uint32_t code);

}  // namespace wave_service
