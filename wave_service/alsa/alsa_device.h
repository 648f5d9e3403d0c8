// The wave device that records and plays through ALSA's "default" PCM: one
// thread per started input and one per open output, all stopped and joined
// when the device goes away.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>

#include "wave_service/device.h"

namespace wave_service {

class AlsaDevice {
 public:
  AlsaDevice();
  // Stops every capture and playback at once (a play is cut short, though
  // one already draining its last buffer of about 80 ms ends first), joins
  // their threads, lets go of every PCM and forgets the device's streams.
  // As the service's default device this runs when libMirnWave.so is
  // unloaded or the process exits, so a host may do either while sound runs.
  ~AlsaDevice();
  AlsaDevice(const AlsaDevice&) = delete;
  AlsaDevice& operator=(const AlsaDevice&) = delete;

  static const DeviceOps& Ops();
  // Makes later opens use this device.
  void Install();

  // Bytes captured by every input of this device so far.
  std::uint64_t Captured() const { return captured_.load(std::memory_order_acquire); }
  // True while some play has bytes not yet handed to ALSA, or a closed
  // output has not yet let go of its PCM.
  bool Playing();
  // Outputs whose threads the device still holds. Finished ones are joined
  // and let go at the next output open or close.
  std::size_t HeldOutputs();

 private:
  template <class StreamType>
  struct Pcm;
  struct Input;
  struct Output;

  template <class State, class StreamType>
  static Result OpenPcm(Direction direction, StreamType& stream, std::unique_ptr<State>& state);

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

}  // namespace wave_service
