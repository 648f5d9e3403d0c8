// One PCM of the ALSA device and its owner thread: what the host side posts
// to the owner (under the device's mutex) and what only the owner touches.
#pragma once

#include <alsa/asoundlib.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <thread>

#include "wave_service/alsa/alsa_device.h"
#include "wave_service/alsa/alsa_pcm.h"

namespace wave_service {

struct AlsaDevice::Slot {
  Slot(Direction direction, const char* name, std::uint32_t rate, std::uint64_t id)
      : direction(direction), name(name), rate(rate), id(id) {}
  virtual ~Slot() = default;

  const Direction direction;
  const std::string name;  // the PCM name it was opened by
  const std::uint32_t rate;
  const std::uint64_t id;  // its entry in the pool
  alsa::Wakeup wake;
  std::thread thread;

  // Guarded by the device's mutex.
  bool retire = false;            // close the PCM and end: given way, expired or abandoned
  bool finished = false;          // the thread has let go of everything: join it
  bool awaited = false;           // a host call waits for the first open: not reaped
  bool checking = false;          // an open waits for the owner to try its kept PCM
  bool sound = false;             // the PCM is open and was working when last used
  std::optional<Result> opened;   // the first open's answer

  // The owner's own.
  snd_pcm_t* pcm = nullptr;
  snd_pcm_uframes_t period = 0;  // frames, which are bytes
  // xruns in a row, each within a period of the one before, and the last.
  int quick_xruns = 0;
  std::chrono::steady_clock::time_point last_xrun{};
};

struct AlsaDevice::InputSlot : Slot {
  using Slot::Slot;
  // Guarded by the device's mutex.
  InputStream* stream = nullptr;
  bool capturing = false;  // started and not stopped since
  // Counts starts and stops, so that a period read before one is never
  // delivered after it.
  std::uint64_t take = 0;
};

struct AlsaDevice::OutputSlot : Slot {
  using Slot::Slot;
  // Guarded by the device's mutex.
  OutputStream* stream = nullptr;
  bool closing = false;         // the handle is closed: play to the end, then release
  std::int64_t unwritten = 0;   // plays announced, not yet all handed to ALSA
  bool flush = false;           // its stream was cut short: the bytes pulled from it are not played
  bool spare = false;           // opened beside another, for the next open at its rate: kept once open
};

}  // namespace wave_service
