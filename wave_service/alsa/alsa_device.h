// The wave device that records and plays through ALSA ("default", or the PCM
// the environment names: pcm_name.h). Each PCM has one owner thread, the only
// thread that calls ALSA on it; the device's operations post what the host
// wants and return, and only an output open waits (with a deadline) for the
// owner's answer. A PCM whose stream has ended is kept open a short while for
// the next stream at its name and rate (pcm_pool.h), so that opens after the
// first do not wait for ALSA. A PCM that fails is recovered by one policy
// (recovery_policy.h), and a stream carries on once its device is back.
// Every thread is stopped and joined, and every PCM closed, when the device
// goes away.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>

#include "wave_service/alsa/pcm_pool.h"
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
  static constexpr std::size_t kMaxOutputs = 6;
  static constexpr std::size_t kMaxInputs = 2;
  // How long an output open waits for its PCM's thread to open the PCM. A
  // sound server that takes longer is taken as one that is not there.
  static constexpr std::chrono::milliseconds kOpenDeadline{1000};
  // A play opens two outputs at its rate, the second while the first still
  // plays. So the first open of a rate opens a spare PCM beside the
  // stream's, at the same time, and waits for both: the second open then
  // takes the spare, and a play waits for about one open, not two. A spare
  // is kept at least this long, whatever the keep times: the second open
  // comes at once.
  static constexpr std::chrono::milliseconds kSpareHold{100};

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

  // Bytes delivered by every input of this device so far (silence put in
  // for time a lost device did not record included).
  std::uint64_t Captured() const { return captured_.load(std::memory_order_acquire); }
  // True while some play has bytes not yet handed to ALSA, a closed output
  // has not yet released its stream, or a PCM has not yet played out what it
  // was handed.
  bool Playing();
  // PCMs the device holds in a direction: streaming, draining, kept, or
  // being reopened.
  std::size_t HeldPcms(Direction direction);
  std::size_t HeldOutputs() { return HeldPcms(Direction::kOutput); }
  // Times a PCM was reopened after its device was lost, in either direction.
  std::uint64_t Reopens() const { return reopens_.load(std::memory_order_acquire); }

 private:
  struct Slot;
  struct InputSlot;
  struct OutputSlot;
  using Clock = std::chrono::steady_clock;
  using Lock = std::unique_lock<std::mutex>;

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

  // Host side, with mutex_ held.
  void Reap();
  Slot* FindSlot(std::uint64_t id);
  void GiveWay(std::uint64_t id);
  bool StillWorks(Lock& lock, Slot& slot);
  template <class SlotType>
  SlotType* StartSlot(Direction direction, const char* name, std::uint32_t rate);

  // Owner side (pcm_owner.cpp): each PCM's thread.
  void RunInput(InputSlot& slot);
  void RunOutput(OutputSlot& slot);
  bool Ending(const Slot& slot) const;
  int Recover(Slot& slot, int error);
  bool KeptPcmLost(Slot& slot);
  void Finish(Slot& slot);
  void Note(const Slot& slot, const char* event, int error) const;

  std::mutex mutex_;  // guards the pool and the slots' shared fields; never held across ALSA
  std::condition_variable answered_;  // an owner's first open is done
  alsa::PcmPool pool_;
  std::list<std::unique_ptr<Slot>> slots_;
  bool aborting_ = false;
  std::atomic<std::uint64_t> captured_{0};
  std::atomic<std::uint64_t> reopens_{0};
};

}  // namespace wave_service
