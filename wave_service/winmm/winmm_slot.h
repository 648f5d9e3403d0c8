// One stream of the winmm device and its owner thread: the ring of headers,
// what the host side posts to the owner (under the owner's mutex), and what
// only the owner touches.
#pragma once

#include <windows.h>
#include <mmsystem.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <new>
#include <optional>
#include <vector>

#include "wave_service/backoff.h"
#include "wave_service/winmm/winmm_device.h"
#include "wave_service/winmm/winmm_wave.h"

namespace wave_service {

namespace winmm {

inline constexpr std::size_t kSlots = 8;
// Wakes an owner at least this often, whatever winmm does.
inline constexpr DWORD kWaitMs = 100;

// The next attempt on a failing device or header: due on the device's
// clock, spaced by the shared backoff.
struct Retry {
  Backoff backoff;
  DWORD at = 0;
  bool pending = false;

  // Schedules the attempt from `now`; the wait it chose.
  DWORD Schedule(DWORD now) {
    const auto wait = static_cast<DWORD>(backoff.Next().count());
    at = now + wait;
    pending = true;
    return wait;
  }
  bool Due(DWORD now) const { return !pending || static_cast<LONG>(now - at) >= 0; }
  // How long the owner may sleep before the attempt is due.
  DWORD Wait(DWORD now) const {
    if (!pending) return kWaitMs;
    const LONG left = static_cast<LONG>(at - now);
    return left <= 0 ? 0 : std::min<DWORD>(static_cast<DWORD>(left), kWaitMs);
  }
  void Reset() {
    backoff.Reset();
    pending = false;
  }
};

}  // namespace winmm

// A stream's headers, each over its own slot of `memory`. Headers complete in
// the order they were queued: the held ones run from `oldest` on.
struct WinmmDevice::Ring {
  std::vector<std::uint8_t> memory;
  std::size_t slot_bytes = 0;
  WAVEHDR headers[winmm::kSlots]{};
  std::size_t oldest = 0;
  std::atomic<std::size_t> queued{0};  // queued on winmm (input); holding bytes (output)

  // About 40 ms a header at `rate`.
  bool Allocate(std::uint32_t rate) {
    slot_bytes = std::clamp<std::size_t>(rate / 25, 64, 65'536);
    try {
      memory.resize(winmm::kSlots * slot_bytes);
    } catch (const std::bad_alloc&) {
      return false;
    }
    for (std::size_t i = 0; i < winmm::kSlots; ++i) {
      headers[i].lpData = reinterpret_cast<LPSTR>(memory.data() + i * slot_bytes);
      headers[i].dwBufferLength = static_cast<DWORD>(slot_bytes);
    }
    return true;
  }
  WAVEHDR& At(std::size_t n) { return headers[(oldest + n) % winmm::kSlots]; }
  WAVEHDR& Oldest() { return At(0); }
  WAVEHDR& NextFree() { return At(queued.load()); }
  void Retire() {
    oldest = (oldest + 1) % winmm::kSlots;
    queued.fetch_sub(1, std::memory_order_acq_rel);
  }
};

// What both directions' streams share: the ring, winmm's signal, and the
// host's mailbox to the owner.
struct WinmmDevice::Owner {
  Ring ring;
  winmm::Signal signal;
  std::atomic<bool> abort{false};  // the device is going away: stop at once
  // Set by the owner as its last touch of this record: it has let go of
  // winmm and of the stream, and the record may be freed.
  std::atomic<bool> finished{false};

  // Under `mutex`, which is never held across a winmm call.
  std::mutex mutex;
  std::condition_variable answered;
  std::optional<MMRESULT> opened;  // the first open's answer
  bool abandoned = false;          // the open's wait ran out: the stream is not the owner's

  // The owner's own: the next attempt to open a device that is away.
  winmm::Retry reopen;

  Owner() { signal.event = CreateEventW(nullptr, FALSE, FALSE, nullptr); }
  virtual ~Owner() {
    if (signal.event != nullptr) CloseHandle(signal.event);
  }
  void Wake() { SetEvent(signal.event); }
  void Sleep(DWORD ms) { WaitForSingleObject(signal.event, ms); }
  void Finish() { finished.store(true, std::memory_order_release); }
  template <class Calls>
  bool OpenOrRetry(typename Calls::Handle& device, std::uint32_t rate);

  // The owner's side of the first open: true when it carries on with the
  // stream, false when the host stopped waiting first (a device it opened
  // is then closed at once).
  bool AnswerOpen(MMRESULT result) {
    std::lock_guard lock(mutex);
    opened = result;
    answered.notify_all();
    return !abandoned;
  }
  // The host's side: winmm's answer, or nothing once `deadline` has passed
  // (the open has failed, and the owner lets go of whatever it opens).
  std::optional<MMRESULT> AwaitOpen(std::chrono::milliseconds deadline) {
    std::unique_lock lock(mutex);
    if (!answered.wait_for(lock, deadline, [&] { return opened.has_value(); })) {
      abandoned = true;
      return std::nullopt;
    }
    return opened;
  }
};

struct WinmmDevice::Input : Owner {
  enum class Command { kStart, kStop, kClose };
  struct Posted {
    Command command;
    std::uint64_t take;  // the take a start begins
  };

  Input(InputStream& stream, std::atomic<std::uint64_t>& captured)
      : stream(&stream), rate(stream.rate()), captured(captured) {}

  InputStream* const stream;
  const std::uint32_t rate;
  std::atomic<std::uint64_t>& captured;  // the device's count

  // The host's commands, in order, and how many the owner has carried out.
  // Under Owner::mutex.
  std::deque<Posted> commands;
  std::uint64_t posted = 0;
  std::uint64_t done = 0;

  // The take, under `deliver` (held only across the service's Deliver): the
  // host starts and ends it, and only bytes the owner captured for the take
  // now running are delivered, so none captured before a stop or close
  // reaches the stream after it.
  std::mutex deliver;
  bool delivering = false;      // a take runs: the service takes bytes
  std::uint64_t take = 0;       // the host's count of starts and ends
  DWORD take_started = 0;       // the device's clock at the host's start
  std::uint64_t delivered = 0;  // bytes handed over in the take, silence included
  // The device is known not to open (its first open failed, none since):
  // such an input records nothing.
  std::atomic<bool> missing{false};

  // The owner's own.
  HWAVEIN device = nullptr;
  bool running = false;        // started by the host and not stopped since
  std::uint64_t capturing = 0;  // the take it captures for
  bool starved = false;        // a refused header left none queued: capture paused
  winmm::Retry requeue;

  std::uint64_t Post(Command command, std::uint64_t for_take) {
    std::lock_guard lock(mutex);
    commands.push_back({command, for_take});
    Wake();
    return ++posted;
  }
  // True once the owner has carried out `command`, false past `deadline`.
  bool Await(std::uint64_t command, std::chrono::milliseconds deadline) {
    std::unique_lock lock(mutex);
    return answered.wait_for(lock, deadline, [&] { return done >= command; });
  }

  // With `deliver` held: silence for the take's time up to `now` that the
  // device has not delivered, so that a take is as long as it ran.
  void FillGapLocked(DWORD now);
  void DeliverLocked(const std::uint8_t* bytes, std::size_t count);

  // The owner's steps (winmm_owner.cpp).
  void Deliver(const std::uint8_t* bytes, std::size_t count);
  void Harvest();
  void Reclaim();
  void FillGap();
  void Lose(const char* why, MMRESULT code);
  void QueueFree();
  void Start();
  void Reopen();
  bool CarryOutCommands();
  void Run();
};

struct WinmmDevice::Output : Owner {
  Output(WinmmDevice& device, OutputStream& stream)
      : owner(device), stream(&stream), rate(stream.rate()) {}

  WinmmDevice& owner;
  OutputStream* const stream;  // not touched once the open is abandoned
  const std::uint32_t rate;
  std::atomic<bool> streaming{false};  // its open succeeded: the stream is the owner's
  std::atomic<bool> closing{false};    // handle closed: play to the end, then let go
  std::atomic<bool> cut{false};        // drop what winmm and the ring hold, now

  // The owner's own.
  HWAVEOUT device = nullptr;
  std::size_t written = 0;         // of the ring's held headers, those on winmm
  DWORD lengths[winmm::kSlots]{};  // each held header's bytes
  std::uint64_t plays[winmm::kSlots]{};  // the play each held header's bytes came from
  bool ends[winmm::kSlots]{};            // whether they were that play's last
  DWORD lost_at = 0;
  winmm::Retry rewrite;

  // The owner's steps (winmm_owner.cpp).
  void CloseDevice(bool reset);
  void DropAll();
  void RetirePlayed();
  void Lose(const char* why, MMRESULT code);
  void Feed();
  void Reopen();
  void Run();
};

}  // namespace wave_service
