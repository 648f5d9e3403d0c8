// The winmm device's owner threads, one per stream, the only threads that
// call winmm on it. A capture owner hands the bytes of every filled header to
// the service and queues the header again; a playback owner fills free
// headers from the service's queued plays and writes them. Both sleep on the
// stream's event, which winmm's callback and the host's calls signal, and
// recover from winmm's faults by the rows of recovery_policy.h.
#include <windows.h>
#include <mmsystem.h>

#include <array>
#include <chrono>

#include "wave_service/debug_line.h"
#include "wave_service/winmm/recovery_policy.h"
#include "wave_service/winmm/winmm_slot.h"

namespace wave_service {

namespace {

using winmm::CodeText;
using winmm::InputCalls;
using winmm::kSlots;
using winmm::OutputCalls;
using winmm::Recovery;

// How long a reset waits for the headers winmm hands back after it returns:
// Wine marks a header it has just filled done on its own thread, after taking
// it off its queue, so a reset can return before that header is back.
constexpr auto kReturnDeadline = std::chrono::milliseconds(100);
// A closed output whose device stays away this long lets its plays go.
constexpr DWORD kClosedOutageMs = 10'000;

DWORD Now() { return Winmm().timeGetTime(); }

const std::array<std::uint8_t, 1024> kSilence = [] {
  std::array<std::uint8_t, 1024> silence{};
  silence.fill(128);
  return silence;
}();

}  // namespace

// Opens the stream's device, or schedules the next attempt a backoff after
// this one's start; true once open.
template <class Calls>
bool WinmmDevice::Owner::OpenOrRetry(typename Calls::Handle& device, std::uint32_t rate) {
  const DWORD now = Now();
  const MMRESULT result =
      winmm::OpenDevice<Calls>(device, ring.headers, kSlots, rate, ring.slot_bytes, signal);
  if (result != MMSYSERR_NOERROR) {
    const DWORD wait = reopen.Schedule(now);
    DebugLine("winmm %s: the device does not open (MMRESULT %u); again in %lu ms",
              Calls::kDirection == Direction::kInput ? "input" : "output", result,
              static_cast<unsigned long>(wait));
    return false;
  }
  reopen.Reset();
  return true;
}

void WinmmDevice::RunInput(Input& input) { input.Run(); }
void WinmmDevice::RunOutput(Output& output) { output.Run(); }

// ---------------------------------------------------------------------------
// Capture.
// ---------------------------------------------------------------------------

void WinmmDevice::Input::DeliverLocked(const std::uint8_t* bytes, std::size_t count) {
  stream->Deliver(bytes, count);
  delivered += count;
  captured.fetch_add(count, std::memory_order_release);
}

void WinmmDevice::Input::Deliver(const std::uint8_t* bytes, std::size_t count) {
  std::lock_guard lock(deliver);
  if (delivering && capturing == take) DeliverLocked(bytes, count);
}

void WinmmDevice::Input::FillGapLocked(DWORD now) {
  const std::uint64_t due = static_cast<std::uint64_t>(now - take_started) * rate / 1000;
  if (due <= delivered) return;
  const std::uint64_t owed = due - delivered;
  DebugLine("winmm input: %llu bytes of silence for the time not captured",
            static_cast<unsigned long long>(owed));
  for (std::uint64_t left = owed; left > 0;) {
    const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(left, kSilence.size()));
    DeliverLocked(kSilence.data(), count);
    left -= count;
  }
}

// Hands over every header winmm is done with, in order.
void WinmmDevice::Input::Harvest() {
  while (ring.queued.load() > 0 && winmm::IsDone(ring.Oldest())) {
    WAVEHDR& header = ring.Oldest();
    if (header.dwBytesRecorded > 0) {
      Deliver(reinterpret_cast<const std::uint8_t*>(header.lpData), header.dwBytesRecorded);
    }
    ring.Retire();
  }
}

// After a reset: hands over every header as winmm gives it back, waiting a
// little for those it completes on its own thread, so that none is
// forgotten, and queued again, while winmm still writes it.
void WinmmDevice::Input::Reclaim() {
  const auto deadline = std::chrono::steady_clock::now() + kReturnDeadline;
  Harvest();
  if (ring.queued.load() == 0) return;
  while (ring.queued.load() > 0 && std::chrono::steady_clock::now() < deadline) {
    Sleep(10);  // winmm's callback wakes the owner as each header comes back
    Harvest();
  }
  Wake();  // a host call posted meanwhile is not left waiting on the event
}

// The time the device did not capture since the start, as silence: the
// recording's length stays the time it ran. Called while nothing is queued.
void WinmmDevice::Input::FillGap() {
  std::lock_guard lock(deliver);
  if (delivering && capturing == take) FillGapLocked(Now());
}

// Gives the device up: what it holds is handed over, it is closed, and an
// open is tried again after the backoff, which counts from the fault, not
// from the end of the close.
void WinmmDevice::Input::Lose(const char* why, MMRESULT code) {
  const DWORD now = Now();
  Harvest();
  Winmm().waveInReset(device);
  Harvest();
  winmm::CloseDevice<InputCalls>(device, ring.headers, kSlots, signal, false);
  ring.queued.store(0);
  requeue.Reset();
  starved = false;
  const DWORD wait = reopen.Schedule(now);
  DebugLine("winmm input: %s%s; reopening in %lu ms", why, CodeText(code).text,
            static_cast<unsigned long>(wait));
}

// Queues every free header, the refused one first: a refusal is retried
// after a backoff, or gives the device up.
void WinmmDevice::Input::QueueFree() {
  while (device != nullptr && ring.queued.load() < kSlots && requeue.Due(Now())) {
    if (ring.queued.load() == 0 && starved) {
      FillGap();
      starved = false;
    }
    WAVEHDR& header = ring.NextFree();
    header.dwBytesRecorded = 0;
    const MMRESULT result = Winmm().waveInAddBuffer(device, &header, sizeof header);
    if (result == MMSYSERR_NOERROR) {
      ring.queued.fetch_add(1, std::memory_order_acq_rel);
      requeue.Reset();
    } else if (winmm::RecoveryFor(result) == Recovery::kRetry) {
      const DWORD wait = requeue.Schedule(Now());
      starved = ring.queued.load() == 0;
      DebugLine("winmm input: waveInAddBuffer refused a header (MMRESULT %u); again in %lu ms",
                result, static_cast<unsigned long>(wait));
    } else {
      Lose("waveInAddBuffer failed", result);
    }
  }
}

// Capture from an open device, the time since the host's start that it
// missed (an open still under way, a device lost) first as silence.
void WinmmDevice::Input::Start() {
  ring.oldest = 0;
  ring.queued.store(0);
  FillGap();
  QueueFree();
  if (device == nullptr) return;
  if (const MMRESULT result = Winmm().waveInStart(device); result != MMSYSERR_NOERROR) {
    Lose("waveInStart failed", result);
  }
}

void WinmmDevice::Input::Reopen() {
  const bool again = reopen.pending;
  if (!OpenOrRetry<InputCalls>(device, rate)) return;
  missing.store(false, std::memory_order_release);
  if (again) DebugLine("winmm input: the device is back");
  if (running) Start();
}

// Carries out the host's commands in order; false once it has closed.
bool WinmmDevice::Input::CarryOutCommands() {
  for (;;) {
    Posted next{};
    {
      std::lock_guard lock(mutex);
      if (commands.empty()) return true;
      next = commands.front();
      commands.pop_front();
    }
    if (next.command == Command::kStart) {
      running = true;
      capturing = next.take;
      if (device != nullptr) Start();
    } else {
      // A stop or close hands every header back, the partly filled one too.
      if (device != nullptr) {
        Winmm().waveInReset(device);
        Reclaim();
      }
      running = false;
      ring.queued.store(0);
      requeue.Reset();
      starved = false;
    }
    std::lock_guard lock(mutex);
    ++done;
    answered.notify_all();
    if (next.command == Command::kClose) return false;
  }
}

void WinmmDevice::Input::Run() {
  // The first open is the owner's: the host's open never waits for it.
  Reopen();
  missing.store(device == nullptr, std::memory_order_release);
  while (!abort.load(std::memory_order_acquire) && CarryOutCommands()) {
    if (device != nullptr && signal.lost.load(std::memory_order_acquire)) {
      Lose("winmm closed the device", MMSYSERR_NOERROR);
    }
    if (device != nullptr && running) {
      Harvest();
      QueueFree();
    } else if (device == nullptr && reopen.Due(Now())) {
      Reopen();
    }
    const winmm::Retry& pending = device == nullptr ? reopen : requeue;
    Sleep(pending.Wait(Now()));
  }
  if (device != nullptr) winmm::CloseDevice<InputCalls>(device, ring.headers, kSlots, signal, true);
  ring.queued.store(0);
  Finish();
}

// ---------------------------------------------------------------------------
// Play-out.
// ---------------------------------------------------------------------------

// Closes the device, keeping every header it had not finished: they are
// written again, in order, once it opens again.
void WinmmDevice::Output::CloseDevice(bool reset) {
  winmm::CloseDevice<OutputCalls>(device, ring.headers, kSlots, signal, reset);
  written = 0;
}

// A play that a later call replaced, or the host's going: winmm hands every
// header back, and the bytes the ring holds are dropped.
void WinmmDevice::Output::DropAll() {
  if (device != nullptr) Winmm().waveOutReset(device);
  ring.oldest = 0;
  ring.queued.store(0);
  written = 0;
  rewrite.Reset();
  owner.Forget(*this);
}

// Retires the headers winmm is done with; a play whose last header is done
// has been heard.
void WinmmDevice::Output::RetirePlayed() {
  while (written > 0 && winmm::IsDone(ring.Oldest())) {
    const std::size_t slot = ring.oldest;
    ring.Retire();
    --written;
    if (ends[slot]) owner.Heard(plays[slot]);
  }
}

void WinmmDevice::Output::Lose(const char* why, MMRESULT code) {
  lost_at = Now();
  RetirePlayed();  // those played before the fault
  CloseDevice(true);
  rewrite.Reset();
  const DWORD wait = reopen.Schedule(lost_at);
  DebugLine("winmm output: %s%s; %lu buffers kept, reopening in %lu ms", why, CodeText(code).text,
            static_cast<unsigned long>(ring.queued.load()), static_cast<unsigned long>(wait));
}

// Fills free headers from the queued plays, then writes every held header
// winmm does not have yet, in order.
void WinmmDevice::Output::Feed() {
  while (ring.queued.load() < kSlots) {
    const std::size_t slot = (ring.oldest + ring.queued.load()) % kSlots;
    const Pulled pulled =
        stream->Pull(reinterpret_cast<std::uint8_t*>(ring.headers[slot].lpData), ring.slot_bytes);
    if (pulled.bytes == 0) break;
    lengths[slot] = static_cast<DWORD>(pulled.bytes);
    plays[slot] = pulled.play;
    ends[slot] = pulled.finished;
    ring.queued.fetch_add(1, std::memory_order_acq_rel);
  }
  while (device != nullptr && written < ring.queued.load() && rewrite.Due(Now())) {
    const std::size_t slot = (ring.oldest + written) % kSlots;
    // One sound at a time: a play's first header waits until the play it
    // follows has been heard.
    if ((written == 0 || plays[(slot + kSlots - 1) % kSlots] != plays[slot]) &&
        !owner.MayStart(plays[slot])) {
      break;
    }
    WAVEHDR& header = ring.headers[slot];
    header.dwBufferLength = lengths[slot];
    const MMRESULT result = Winmm().waveOutWrite(device, &header, sizeof header);
    if (result == MMSYSERR_NOERROR) {
      ++written;
      rewrite.Reset();
    } else if (winmm::RecoveryFor(result) == Recovery::kRetry) {
      const DWORD wait = rewrite.Schedule(Now());
      DebugLine("winmm output: waveOutWrite refused a buffer (MMRESULT %u); again in %lu ms",
                result, static_cast<unsigned long>(wait));
    } else {
      Lose("waveOutWrite failed", result);
    }
  }
}

void WinmmDevice::Output::Reopen() {
  if (!OpenOrRetry<OutputCalls>(device, rate)) return;
  DebugLine("winmm output: the device is back; %lu buffers to play again",
            static_cast<unsigned long>(ring.queued.load()));
  Feed();
}

void WinmmDevice::Output::Run() {
  const MMRESULT opened =
      winmm::OpenDevice<OutputCalls>(device, ring.headers, kSlots, rate, ring.slot_bytes, signal);
  if (!AnswerOpen(opened) || opened != MMSYSERR_NOERROR) {
    // Failed, or no longer waited for: the stream was never this owner's.
    if (device != nullptr) CloseDevice(false);
    Finish();
    return;
  }
  while (!abort.load(std::memory_order_acquire)) {
    const bool closing_now = closing.load(std::memory_order_acquire);
    if (cut.exchange(false, std::memory_order_acq_rel)) DropAll();
    if (device != nullptr) {
      if (signal.lost.load(std::memory_order_acquire)) {
        Lose("winmm closed the device", MMSYSERR_NOERROR);
      } else {
        RetirePlayed();
        Feed();
      }
    } else if (reopen.Due(Now())) {
      Reopen();
    }
    if (closing_now && ring.queued.load() == 0 && !stream->Busy()) break;
    if (closing_now && device == nullptr && Now() - lost_at >= kClosedOutageMs) {
      DebugLine("winmm output: the device stayed away; a closed stream's plays are dropped");
      break;
    }
    const winmm::Retry& pending = device == nullptr ? reopen : rewrite;
    Sleep(pending.Wait(Now()));
  }
  if (device != nullptr) CloseDevice(abort.load(std::memory_order_acquire));
  ring.queued.store(0);
  owner.Forget(*this);
  if (closing.load(std::memory_order_acquire)) stream->Release();
  Finish();
}

}  // namespace wave_service
