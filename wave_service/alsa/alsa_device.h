// The wave device that records and plays through ALSA ("default", or the PCM
// the environment names: pcm_name.h). Each PCM has one owner: a thread, the
// only one that calls ALSA on it, and the PCM's state (pcm_states.h). The
// device's operations post what the host wants to the owner and return. Two
// wait for their owner, boundedly: an output open for its PCM's open (its
// result must be ALSA's; a kept PCM is tried first), and an input stop for
// the owner to read out what the PCM captured up to it. A recording's open
// and start never wait. An owner whose stream has ended is kept a short
// while for the next stream at its name and rate (pcm_pool.h), so that
// opens after the first do not wait for ALSA; a call's outputs are opened
// side by side as it begins. A PCM that fails is recovered by one policy
// (recovery_policy.h), and a stream carries on once its device is back.
// Owners close their own PCMs and end on their own.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>

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
  // at once. A tone replay uses three outputs, a play two; an open past the
  // bound cuts short the oldest stream whose handle is already closed.
  static constexpr std::size_t kMaxOutputs = 6;
  static constexpr std::size_t kMaxInputs = 2;
  // How long an output open waits for its PCM's owner to open the PCM. A
  // sound server that takes longer is taken as one that is not there: the
  // open fails, and what the owner opens later is kept for the next stream.
  static constexpr std::chrono::milliseconds kOpenDeadline{1000};
  // How long a stop waits for its input's owner to read out what the PCM
  // captured up to the stop. An owner that is not inside a long ALSA call
  // answers within a fraction of a millisecond.
  static constexpr std::chrono::milliseconds kStopExchange{5};
  // How long the device, as it goes, waits for its owners to close their
  // PCMs and end. One still inside ALSA then ends on its own.
  static constexpr std::chrono::milliseconds kEndDeadline{1000};
  // A host call's outputs (expect_outputs) are opened side by side as the
  // call begins, so that each of its opens waits for about one open at
  // most. A PCM opened ahead of its stream (so, or by an open that gave up
  // waiting) is kept at least this long once open, whatever the keep times:
  // the call's opens come at once.
  static constexpr std::chrono::milliseconds kAheadHold{100};
  // An open takes a kept PCM only once its owner has found it working: the
  // call's kept PCMs are tried as it begins, and a PCM found working this
  // recently is taken without trying it again.
  static constexpr std::chrono::milliseconds kCheckHolds{50};

  AlsaDevice();
  explicit AlsaDevice(KeepTimes keep);
  // Stops every capture and playback at once (a play is cut short), waits
  // up to kEndDeadline for the owners to close their PCMs and end, and
  // forgets the device's streams.
  ~AlsaDevice();
  // What the destructor does, for a device that lives on: later calls
  // reach no stream of it, and an open gets a PCM that ends at once.
  void End();
  AlsaDevice(const AlsaDevice&) = delete;
  AlsaDevice& operator=(const AlsaDevice&) = delete;

  static const DeviceOps& Ops();
  // Makes later opens use this device.
  void Install();

  // Bytes delivered by every input of this device so far (silence put in
  // for time a PCM did not record included).
  std::uint64_t Captured() const;
  // True while some play has bytes not yet handed to ALSA, a closed output
  // has not yet released its stream, or a PCM has not yet played out what it
  // was handed.
  bool Playing();
  // PCMs the device holds in a direction: streaming, draining, kept, or
  // being opened or reopened.
  std::size_t HeldPcms(Direction direction);
  std::size_t HeldOutputs() { return HeldPcms(Direction::kOutput); }
  // Times a PCM was reopened after its device was lost, in either direction.
  std::uint64_t Reopens() const;

  // What the device's operations and its owners share (pcm_owner.h). It
  // lives as long as the device or an owner still running, whichever is
  // longer, so that an owner held up inside ALSA past the device's end
  // touches nothing freed.
  struct Shared;
  // That state, from the context the device's operations get.
  static Shared& SharedOf(void* context) { return *static_cast<AlsaDevice*>(context)->shared_; }

 private:
  std::shared_ptr<Shared> shared_;
};

}  // namespace wave_service
