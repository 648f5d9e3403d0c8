// The wave device that records and plays through ALSA ("default", or the PCM
// the environment names: pcm_name.h). Each PCM has one thread, and a PCM
// whose stream has ended is kept open a short while for the next stream at
// its rate, so that opens after the first at a rate do not wait for ALSA.
// Every thread is stopped and joined, and every PCM closed, when the device
// goes away.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <optional>

#include "wave_service/device.h"

namespace wave_service {

class AlsaDevice {
 public:
  // How long a PCM whose stream has ended stays open for the next stream at
  // its rate. A kept capture PCM holds the microphone (desktops show it in
  // use), so the input's time is short: enough for a restart or a record
  // right after a stop. Playback PCMs stay long enough for a play right
  // after another has ended.
  struct KeepTimes {
    std::chrono::milliseconds input{300};
    std::chrono::milliseconds output{2000};
  };
  // At most this many output PCMs (playing, draining or kept) and input PCMs
  // at once. A play uses two outputs, so two plays may overlap; an open past
  // the bound cuts short the oldest stream whose handle is already closed.
  static constexpr std::size_t kMaxOutputs = 4;
  static constexpr std::size_t kMaxInputs = 2;

  AlsaDevice();
  explicit AlsaDevice(KeepTimes keep);
  // Stops every capture and playback at once (a play is cut short), joins
  // every thread, closes every PCM and forgets the device's streams. As the
  // service's default device this runs when libMirnWave.so is unloaded or the
  // process exits, so a host may do either while sound runs.
  ~AlsaDevice();
  AlsaDevice(const AlsaDevice&) = delete;
  AlsaDevice& operator=(const AlsaDevice&) = delete;

  static const DeviceOps& Ops();
  // Makes later opens use this device.
  void Install();

  // Bytes captured by every input of this device so far.
  std::uint64_t Captured() const { return captured_.load(std::memory_order_acquire); }
  // True while some play has bytes not yet handed to ALSA, a closed output
  // has not yet released its stream, or a PCM has not yet played out what it
  // was handed.
  bool Playing();
  // PCMs the device holds open in a direction: streaming, draining or kept.
  std::size_t HeldPcms(Direction direction);
  std::size_t HeldOutputs() { return HeldPcms(Direction::kOutput); }

 private:
  struct Input;
  struct Output;
  using Clock = std::chrono::steady_clock;

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
  void PlayOut(Output& output);
  void ReadOut(Input& input);
  void Reap();
  std::optional<Result> TakeOutput(OutputStream& stream);
  void StartPcm(Input& input);
  template <class Slot>
  Result OpenSlot(Direction direction, std::uint32_t rate, std::unique_ptr<Slot>& slot);

  // Format answers learnt from opens and checks, per direction, so that a
  // query asks ALSA only about a rate nothing is known of.
  struct Known {
    std::uint32_t rate = 0;
    Result result = kOk;
  };
  static constexpr std::size_t kKnownRates = 8;
  void Learn(Direction direction, std::uint32_t rate, Result result);
  void ForgetKnown(Direction direction);

  const KeepTimes keep_;
  std::mutex mutex_;  // guards the lists and the known answers, not the slots
  std::list<std::unique_ptr<Input>> inputs_;
  std::list<std::unique_ptr<Output>> outputs_;
  std::array<std::array<Known, kKnownRates>, 2> known_{};
  std::array<std::size_t, 2> next_known_{};
  std::uint64_t attached_ = 0;  // streams attached so far: which is oldest
  std::atomic<std::uint64_t> captured_{0};
  std::atomic<bool> stale_inputs_{false};  // a start found the input gone
};

}  // namespace wave_service
