// The wave device on Windows' own waveform-audio API (winmm). The library's
// header never reaches winmm: every stream has its own small ring of WAVEHDRs
// over its own memory, and one thread per stream, its owner, makes every
// winmm call on it and moves bytes between the ring and the service (Deliver,
// Pull), woken by winmm's callbacks. So every promise of the service's
// contract holds here too, whatever winmm itself does with a header that is
// cleared, queued twice or closed while it plays.
//
// The operations (winmm_device.cpp) post to the owners (winmm_owner.cpp) and
// never call winmm on a stream; only an output open waits, with a deadline,
// for winmm's answer, and a stop for the last bytes captured. Owners recover
// from winmm's faults by one policy (recovery_policy.h): a header winmm
// refuses for want of memory is queued again after a backoff, and a device
// that goes away (any other refusal, or WIM/WOM_CLOSE) is opened again with
// backoff (backoff.h) for as long as the stream is open. A recording fills
// the time lost with silence (128); a play goes on with the bytes it had not
// played. With MIRN_DEBUG set, each such event is one line on stderr.
//
// Owners end on their own once they have let go of winmm, and nothing joins
// them: no host call, and so no unload inside the loader's lock, ever waits
// for a thread that is inside winmm or leaving.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "wave_service/device.h"

namespace wave_service {

class WinmmDevice {
 public:
  WinmmDevice();
  // Stops every capture and playback at once, waits until their owners have
  // let go of winmm (they always return from it) and forgets the device's
  // streams. Tests only: the service's default device is never destroyed.
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
  // Streams whose owners still run: closed ones end once they have let go of
  // winmm (an output once it has played out).
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

  // Owner side (winmm_owner.cpp): each stream's thread.
  static void RunInput(Input& input);
  static void RunOutput(Output& output);

  // Host side: forgets the owners that have ended. With mutex_ held.
  void Reap();

  // One sound at a time: the plays handed to winmm's outputs and not yet
  // heard, and what each waits for. Both sides, each taking mutex_.
  struct Unheard {
    Output* output;
    std::uint64_t after;  // 0, or the play that must be heard first
  };
  // True when the play may be written to winmm: it is known, and the play it
  // follows is heard, cut or not this device's.
  bool MayStart(std::uint64_t play);
  // The play's last bytes were heard, or every play of `output` is cut or
  // let go: the outputs waiting for them go on.
  void Heard(std::uint64_t play);
  void Forget(const Output& output);
  // Every output but `kept`, or every closed one, drops what it holds.
  void Cut(const Output* kept, bool closed_only);
  void WakeOutputs();  // with mutex_ held

  std::mutex mutex_;  // guards the lists and unheard_, not the streams; never held across winmm
  std::list<std::unique_ptr<Input>> inputs_;
  std::list<std::unique_ptr<Output>> outputs_;
  std::unordered_map<std::uint64_t, Unheard> unheard_;
  std::atomic<std::uint64_t> captured_{0};
};

}  // namespace wave_service
