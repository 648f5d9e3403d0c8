// The wave device on Windows' own waveform-audio API (winmm). The library's
// header never reaches winmm: every stream has its own small ring of WAVEHDRs
// over its own memory, prepared once, and one thread per stream moves bytes
// between them and the service (Deliver, Pull), woken by winmm's event
// callbacks. So every promise of the service's contract holds here too,
// whatever winmm itself does with a header that is cleared, queued twice or
// closed while it plays.
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

  // Bytes captured by every input of this device so far.
  std::uint64_t Captured() const { return captured_.load(std::memory_order_acquire); }
  // True while some output has bytes that winmm has not finished playing, or
  // a closed output has not yet let go of its winmm device.
  bool Playing();
  // Outputs whose threads the device still holds. Finished ones are joined
  // at the next output open or close.
  std::size_t HeldOutputs();

 private:
  struct Ring;
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

  void Capture(Input& input);
  static void PlayOut(Output& output);
  void ReapOutputs();

  std::mutex mutex_;  // guards the two lists, not the streams in them
  std::list<std::unique_ptr<Input>> inputs_;
  std::list<std::unique_ptr<Output>> outputs_;
  std::atomic<std::uint64_t> captured_{0};
};

// winmm's MMRESULT codes in the service's terms: the one place they are
// translated.
Result TranslateMmResult(std::uint32_t code);

}  // namespace wave_service
