// The winmm device: each stream owns a ring of WAVEHDRs over its own memory
// and a thread that makes every winmm call on it. A capture thread hands the
// bytes of every filled header to the service and queues the header again; a
// playback thread fills free headers from the service's queued plays and
// writes them. Both sleep on the stream's event, which winmm's callback and
// the host's calls signal. Faults are handled by the owner, by the policy in
// RecoveryFor.
#include "wave_service/winmm/winmm_device.h"

#include <windows.h>
#include <mmsystem.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <limits>
#include <system_error>
#include <thread>
#include <vector>

#include "wave_service/winmm/device_choice.h"
#include "wave_service/winmm/winmm_calls.h"

namespace wave_service {

Result TranslateMmResult(std::uint32_t code) {
  switch (code) {
    case MMSYSERR_NOERROR: return kOk;
    case MMSYSERR_BADDEVICEID:
    case MMSYSERR_NODRIVER: return kBadDeviceId;
    case MMSYSERR_ALLOCATED: return kAllocated;
    case MMSYSERR_INVALHANDLE: return kInvalidHandle;
    case MMSYSERR_NOMEM: return kNoMemory;
    case MMSYSERR_INVALPARAM:
    case MMSYSERR_INVALFLAG: return kInvalidParam;
    case WAVERR_BADFORMAT: return kBadFormat;
    case WAVERR_STILLPLAYING: return kStillPlaying;
    case WAVERR_UNPREPARED: return kUnprepared;
    default: return kError;
  }
}

namespace {

constexpr std::size_t kSlots = 8;
// Wakes a stream thread at least this often, whatever winmm does.
constexpr DWORD kWaitMs = 100;
// How long a host call waits for a stream's thread: an open for winmm's
// answer (past it the stream is taken as open, and a device that then fails
// is one to recover), a stop for the last bytes captured (past it they are
// dropped).
constexpr auto kOpenDeadline = std::chrono::milliseconds(500);
constexpr auto kStopDeadline = std::chrono::milliseconds(100);
// How long a reset waits for the headers winmm hands back after it returns:
// Wine marks a header it has just filled done on its own thread, after taking
// it off its queue, so a reset can return before that header is back.
constexpr auto kReturnDeadline = std::chrono::milliseconds(100);
// Waits between attempts on a failing device or header.
constexpr DWORD kFirstBackoffMs = 50;
constexpr DWORD kLastBackoffMs = 1000;
// A closed output whose device stays away this long lets its plays go.
constexpr DWORD kClosedOutageMs = 10'000;

WinmmDevice& Self(void* context) { return *static_cast<WinmmDevice*>(context); }

DWORD Now() { return Winmm().timeGetTime(); }

// What a stream does when winmm refuses a call on an open device.
enum class Recovery {
  kRetry,   // the same call again after a backoff; nothing else changes
  kReopen,  // the device is gone or broken: close it, open it again with backoff
};

Recovery RecoveryFor(MMRESULT code) {
  switch (code) {
    case MMSYSERR_NOMEM: return Recovery::kRetry;  // short of memory for now
    case MMSYSERR_NODRIVER:                        // the driver went away
    case MMSYSERR_BADDEVICEID:                     // the device went away
    case MMSYSERR_INVALHANDLE:                     // winmm closed the handle itself
    case MMSYSERR_ERROR:                           // an error from the device
    default: return Recovery::kReopen;             // nothing else to do with an unknown code
  }
}

// One line on stderr per recovery event, only while MIRN_DEBUG is set.
template <class... Args>
void Debug(const char* format, Args... args) {
  if (std::getenv("MIRN_DEBUG") == nullptr) return;
  std::fprintf(stderr, format, args...);
  std::fflush(stderr);
}

// " (MMRESULT n)" for a failed call's code, "" for none.
struct Code {
  char text[32] = "";
  explicit Code(MMRESULT code) {
    if (code != MMSYSERR_NOERROR) std::snprintf(text, sizeof text, " (MMRESULT %u)", code);
  }
};

// Attempts spaced 50 ms, 100 ms, ... up to 1 s apart, on the device's clock.
struct Backoff {
  DWORD delay = kFirstBackoffMs;
  DWORD at = 0;
  bool pending = false;

  DWORD Schedule(DWORD now) {
    const DWORD wait = delay;
    at = now + wait;
    delay = std::min(delay * 2, kLastBackoffMs);
    pending = true;
    return wait;
  }
  bool Due(DWORD now) const { return !pending || static_cast<LONG>(now - at) >= 0; }
  // How long the thread may sleep before the attempt is due.
  DWORD Wait(DWORD now) const {
    if (!pending) return kWaitMs;
    const LONG left = static_cast<LONG>(at - now);
    return left <= 0 ? 0 : std::min<DWORD>(static_cast<DWORD>(left), kWaitMs);
  }
  void Reset() { *this = Backoff{}; }
};

// 8-bit mono PCM at `rate`. Block align 1 whatever the caller's record says:
// winmm takes it as the frame size.
WAVEFORMATEX Format(std::uint32_t rate) {
  WAVEFORMATEX format{};
  format.wFormatTag = WAVE_FORMAT_PCM;
  format.nChannels = 1;
  format.nSamplesPerSec = rate;
  format.nAvgBytesPerSec = rate;
  format.nBlockAlign = 1;
  format.wBitsPerSample = 8;
  return format;
}

bool IsDone(WAVEHDR& header) {
  return (std::atomic_ref<DWORD>(header.dwFlags).load(std::memory_order_acquire) & WHDR_DONE) != 0;
}

bool NameAt(void* context, std::uint32_t index, char* name, std::size_t size) {
  const bool input = *static_cast<const Direction*>(context) == Direction::kInput;
  char pname[MAXPNAMELEN] = {};
  if (input) {
    WAVEINCAPSA caps{};
    if (Winmm().waveInGetDevCapsA(index, &caps, sizeof caps) != MMSYSERR_NOERROR) return false;
    std::copy_n(caps.szPname, MAXPNAMELEN, pname);
  } else {
    WAVEOUTCAPSA caps{};
    if (Winmm().waveOutGetDevCapsA(index, &caps, sizeof caps) != MMSYSERR_NOERROR) return false;
    std::copy_n(caps.szPname, MAXPNAMELEN, pname);
  }
  pname[MAXPNAMELEN - 1] = '\0';
  std::snprintf(name, size, "%s", pname);
  return true;
}

// The winmm device id a stream in `direction` opens now: the one the
// environment names, else the mapper. False when the name is no device.
bool ChosenDevice(Direction direction, UINT& id) {
  const UINT count = direction == Direction::kInput ? Winmm().waveInGetNumDevs()
                                                    : Winmm().waveOutGetNumDevs();
  Direction context = direction;
  const char* named = NamedDevice(direction);
  const DeviceChoice choice = ChooseDevice(named, count, &NameAt, &context);
  switch (choice.kind) {
    case DeviceChoice::Kind::kAny: id = WAVE_MAPPER; return true;
    case DeviceChoice::Kind::kDevice: id = choice.index; return true;
    case DeviceChoice::Kind::kMissing: break;
  }
  Debug("mirn: winmm %s: no device is named \"%s\"\n",
        direction == Direction::kInput ? "input" : "output", named);
  return false;
}

// What winmm's callback reaches: the stream's event, and whether winmm
// closed the device without being asked.
struct Signal {
  HANDLE event = nullptr;  // auto-reset
  std::atomic<bool> lost{false};
  std::atomic<bool> closing{false};  // the owner closes the device itself
};

// winmm's callback, on winmm's own thread: it may only signal.
void CALLBACK OnWaveMessage(HANDLE, UINT message, DWORD_PTR instance, DWORD_PTR, DWORD_PTR) {
  auto& signal = *reinterpret_cast<Signal*>(instance);
  if ((message == WIM_CLOSE || message == WOM_CLOSE) &&
      !signal.closing.load(std::memory_order_acquire)) {
    signal.lost.store(true, std::memory_order_release);
  }
  SetEvent(signal.event);
}

// One direction's winmm calls, for what both directions do alike.
struct InputCalls {
  using Handle = HWAVEIN;
  static constexpr Direction kDirection = Direction::kInput;
  static constexpr auto kOpen = &WinmmCalls::waveInOpen;
  static constexpr auto kPrepare = &WinmmCalls::waveInPrepareHeader;
  static constexpr auto kUnprepare = &WinmmCalls::waveInUnprepareHeader;
  static constexpr auto kReset = &WinmmCalls::waveInReset;
  static constexpr auto kClose = &WinmmCalls::waveInClose;
};
struct OutputCalls {
  using Handle = HWAVEOUT;
  static constexpr Direction kDirection = Direction::kOutput;
  static constexpr auto kOpen = &WinmmCalls::waveOutOpen;
  static constexpr auto kPrepare = &WinmmCalls::waveOutPrepareHeader;
  static constexpr auto kUnprepare = &WinmmCalls::waveOutUnprepareHeader;
  static constexpr auto kReset = &WinmmCalls::waveOutReset;
  static constexpr auto kClose = &WinmmCalls::waveOutClose;
};

// Hands every header back first when `reset`, unprepares them all and
// closes the device.
template <class Calls>
void CloseDevice(typename Calls::Handle& device, WAVEHDR (&headers)[kSlots], Signal& signal,
                 bool reset) {
  if (reset) (Winmm().*Calls::kReset)(device);
  for (WAVEHDR& header : headers) (Winmm().*Calls::kUnprepare)(device, &header, sizeof header);
  signal.closing.store(true, std::memory_order_release);  // its WIM/WOM_CLOSE is expected
  if (const MMRESULT closed = (Winmm().*Calls::kClose)(device); closed != MMSYSERR_NOERROR) {
    Debug("mirn: winmm %s: the device does not close%s; it is given up\n",
          Calls::kDirection == Direction::kInput ? "input" : "output", Code(closed).text);
  }
  signal.closing.store(false, std::memory_order_release);
  device = nullptr;
}

// Opens the device the environment chooses, with winmm's messages going to
// `signal`, and prepares every header at its full size.
template <class Calls>
MMRESULT OpenDevice(typename Calls::Handle& device, WAVEHDR (&headers)[kSlots], std::uint32_t rate,
                    std::size_t slot_bytes, Signal& signal) {
  device = nullptr;
  UINT id = WAVE_MAPPER;
  if (!ChosenDevice(Calls::kDirection, id)) return MMSYSERR_BADDEVICEID;
  const WAVEFORMATEX format = Format(rate);
  signal.lost.store(false, std::memory_order_release);
  MMRESULT result = (Winmm().*Calls::kOpen)(&device, id, &format,
                                            reinterpret_cast<DWORD_PTR>(&OnWaveMessage),
                                            reinterpret_cast<DWORD_PTR>(&signal), CALLBACK_FUNCTION);
  if (result != MMSYSERR_NOERROR) {
    device = nullptr;
    return result;
  }
  for (WAVEHDR& header : headers) {
    header.dwBufferLength = static_cast<DWORD>(slot_bytes);
    result = (Winmm().*Calls::kPrepare)(device, &header, sizeof header);
    if (result != MMSYSERR_NOERROR) {
      CloseDevice<Calls>(device, headers, signal, false);
      break;
    }
  }
  return result;
}

const std::array<std::uint8_t, 1024> kSilence = [] {
  std::array<std::uint8_t, 1024> silence{};
  silence.fill(128);
  return silence;
}();

}  // namespace

// A stream's headers, each over its own slot of `memory`. Headers complete in
// the order they were queued: the held ones run from `oldest` on.
struct WinmmDevice::Ring {
  std::vector<std::uint8_t> memory;
  std::size_t slot_bytes = 0;
  WAVEHDR headers[kSlots]{};
  std::size_t oldest = 0;
  std::atomic<std::size_t> queued{0};  // queued on winmm (input); holding bytes (output)

  // About 40 ms a header at `rate`.
  bool Allocate(std::uint32_t rate) {
    slot_bytes = std::clamp<std::size_t>(rate / 25, 64, 65'536);
    try {
      memory.resize(kSlots * slot_bytes);
    } catch (const std::bad_alloc&) {
      return false;
    }
    for (std::size_t i = 0; i < kSlots; ++i) {
      headers[i].lpData = reinterpret_cast<LPSTR>(memory.data() + i * slot_bytes);
      headers[i].dwBufferLength = static_cast<DWORD>(slot_bytes);
    }
    return true;
  }
  WAVEHDR& At(std::size_t n) { return headers[(oldest + n) % kSlots]; }
  WAVEHDR& Oldest() { return At(0); }
  WAVEHDR& NextFree() { return At(queued.load()); }
  void Retire() {
    oldest = (oldest + 1) % kSlots;
    queued.fetch_sub(1, std::memory_order_acq_rel);
  }
};

// What both directions' streams share: the ring, winmm's signal, the owner
// thread and the host's mailbox to it.
struct WinmmDevice::Owner {
  Ring ring;
  Signal signal;
  std::thread thread;
  std::atomic<bool> abort{false};     // the device is going away: stop at once
  std::atomic<bool> finished{false};  // the thread is done with winmm and the stream

  // The first open's answer. Under `mutex`, which is never held across a
  // winmm call.
  std::mutex mutex;
  std::condition_variable answered;
  bool open_answered = false;
  MMRESULT open_result = MMSYSERR_NOERROR;
  bool open_assumed = false;  // the host stopped waiting and took the stream as open

  Owner() { signal.event = CreateEventW(nullptr, FALSE, FALSE, nullptr); }
  ~Owner() {
    if (thread.joinable()) thread.join();
    if (signal.event != nullptr) CloseHandle(signal.event);
  }
  void Wake() { SetEvent(signal.event); }
  void Sleep(DWORD ms) { WaitForSingleObject(signal.event, ms); }

  // The thread's side of the first open: true when the stream goes on (it
  // opened, or the host no longer waits and a failure is one to recover).
  bool AnswerOpen(MMRESULT result) {
    std::lock_guard lock(mutex);
    open_answered = true;
    open_result = result;
    answered.notify_all();
    return result == MMSYSERR_NOERROR || open_assumed;
  }
  // The host's side: winmm's answer, or success once the deadline passes.
  MMRESULT AwaitOpen() {
    std::unique_lock lock(mutex);
    if (!answered.wait_for(lock, kOpenDeadline, [&] { return open_answered; })) {
      open_assumed = true;
      return MMSYSERR_NOERROR;
    }
    return open_result;
  }
};

struct WinmmDevice::Input : Owner {
  enum class Command { kStart, kStop, kClose };

  InputStream* stream = nullptr;
  std::uint32_t rate = 0;

  // The host's commands, in order, and how many the thread has carried out.
  // Under Owner::mutex.
  std::deque<Command> commands;
  std::uint64_t posted = 0;
  std::uint64_t done = 0;

  // Under `deliver`, held only across the service's Deliver: whether the
  // service takes captured bytes now. Cleared by a stop or close as it
  // returns; `stopped_at` is the number of the host's last stop or close, so
  // that a start posted before it and carried out late does not turn
  // deliveries on again for a stream the host has stopped or freed.
  std::mutex deliver;
  bool delivering = false;
  std::uint64_t stopped_at = 0;

  // The owner thread's own.
  HWAVEIN device = nullptr;
  bool running = false;       // started by the host and not stopped since
  DWORD started_at = 0;       // clock at the start
  std::uint64_t delivered = 0;  // bytes handed over since the start, silence included
  bool starved = false;       // a refused header left none queued: capture paused
  Backoff reopen;
  Backoff requeue;

  std::uint64_t Post(Command command) {
    std::lock_guard lock(mutex);
    commands.push_back(command);
    Wake();
    return ++posted;
  }
  void Await(std::uint64_t command, std::chrono::milliseconds deadline) {
    std::unique_lock lock(mutex);
    answered.wait_for(lock, deadline, [&] { return done >= command; });
  }
  // `through`: the host's stop or close, by its number; starts posted before
  // it no longer deliver.
  void StopDelivering(std::uint64_t through = 0) {
    std::lock_guard lock(deliver);
    delivering = false;
    stopped_at = std::max(stopped_at, through);
  }
};

struct WinmmDevice::Output : Owner {
  OutputStream* stream = nullptr;
  std::atomic<bool> closing{false};  // handle closed: play to the end, then let go

  // The owner thread's own.
  HWAVEOUT device = nullptr;
  std::size_t written = 0;  // of the ring's held headers, those on winmm
  DWORD lengths[kSlots]{};  // each held header's bytes
  DWORD lost_at = 0;
  Backoff reopen;
  Backoff rewrite;
};

WinmmDevice::WinmmDevice() = default;

WinmmDevice::~WinmmDevice() {
  {
    std::lock_guard lock(mutex_);
    for (const auto& input : inputs_) {
      input->StopDelivering();
      input->abort.store(true, std::memory_order_release);
      input->Wake();
    }
    for (const auto& output : outputs_) {
      output->abort.store(true, std::memory_order_release);
      output->Wake();
    }
    for (const auto& input : inputs_) input->thread.join();
    for (const auto& output : outputs_) output->thread.join();
    inputs_.clear();
    outputs_.clear();
  }
  RemoveDevice(&Ops(), this);
}

const DeviceOps& WinmmDevice::Ops() {
  static constexpr DeviceOps kOps{
      &DeviceCount, &CheckFormat, &OpenInput,   &StartInput,    &StopInput, &CloseInput,
      &OpenOutput,  &PlayQueued,  &CloseOutput, &ExpectOutputs, &LetGoIdle,
  };
  return kOps;
}

void WinmmDevice::Install() { InstallDevice(&Ops(), this); }

bool WinmmDevice::Playing() {
  std::lock_guard lock(mutex_);
  return std::ranges::any_of(outputs_, [](const std::unique_ptr<Output>& output) {
    // A closed stream may be released at any moment: only an open one is asked.
    return !output->finished.load(std::memory_order_acquire) &&
           (output->closing.load(std::memory_order_acquire) || output->ring.queued.load() > 0 ||
            output->stream->Busy());
  });
}

std::size_t WinmmDevice::HeldOutputs() {
  ReapStreams();
  std::lock_guard lock(mutex_);
  return outputs_.size();
}

std::size_t WinmmDevice::HeldInputs() {
  ReapStreams();
  std::lock_guard lock(mutex_);
  return inputs_.size();
}

void WinmmDevice::ReapStreams() {
  std::lock_guard lock(mutex_);
  auto finished = [](const auto& owner) { return owner->finished.load(std::memory_order_acquire); };
  std::erase_if(inputs_, finished);  // the destructor joins the finished thread
  std::erase_if(outputs_, finished);
}

// ---------------------------------------------------------------------------
// The device table. Host calls reach winmm only to count devices and to
// answer a format query; everything else is the stream threads'.
// ---------------------------------------------------------------------------

std::uint32_t WinmmDevice::DeviceCount(void*, Direction direction) {
  return direction == Direction::kInput ? Winmm().waveInGetNumDevs() : Winmm().waveOutGetNumDevs();
}

Result WinmmDevice::CheckFormat(void*, Direction direction, std::uint32_t rate) {
  UINT id = WAVE_MAPPER;
  if (!ChosenDevice(direction, id)) return kBadDeviceId;
  const WAVEFORMATEX format = Format(rate);
  return TranslateMmResult(
      direction == Direction::kInput
          ? Winmm().waveInOpen(nullptr, id, &format, 0, 0, WAVE_FORMAT_QUERY)
          : Winmm().waveOutOpen(nullptr, id, &format, 0, 0, WAVE_FORMAT_QUERY));
}

Result WinmmDevice::OpenInput(void* context, InputStream& stream) {
  WinmmDevice& self = Self(context);
  self.ReapStreams();
  auto input = std::make_unique<Input>();
  if (input->signal.event == nullptr || !input->ring.Allocate(stream.rate())) return kNoMemory;
  input->stream = &stream;
  input->rate = stream.rate();
  try {
    input->thread = std::thread(&WinmmDevice::Capture, &self, std::ref(*input));
  } catch (const std::system_error&) {
    return kNoMemory;
  }
  if (const MMRESULT opened = input->AwaitOpen(); opened != MMSYSERR_NOERROR) {
    return TranslateMmResult(opened);  // the thread has let go of winmm and ends
  }
  stream.device_data = input.get();
  std::lock_guard lock(self.mutex_);
  self.inputs_.push_back(std::move(input));
  return kOk;
}

// A start never waits for winmm: the recording runs from now on, whenever
// the device delivers.
Result WinmmDevice::StartInput(void*, InputStream& stream) {
  static_cast<Input*>(stream.device_data)->Post(Input::Command::kStart);
  return kOk;
}

// Waits a little for the bytes the device holds; after that, or once they
// are in, nothing more is delivered.
void WinmmDevice::StopInput(void*, InputStream& stream) {
  Input& input = *static_cast<Input*>(stream.device_data);
  const std::uint64_t stop = input.Post(Input::Command::kStop);
  input.Await(stop, kStopDeadline);
  input.StopDelivering(stop);
}

void WinmmDevice::CloseInput(void* context, InputStream& stream) {
  Input& input = *static_cast<Input*>(stream.device_data);
  // The stream is freed once this returns: no start still queued delivers.
  input.StopDelivering(std::numeric_limits<std::uint64_t>::max());
  input.Post(Input::Command::kClose);
  Self(context).ReapStreams();
}

Result WinmmDevice::OpenOutput(void* context, OutputStream& stream) {
  WinmmDevice& self = Self(context);
  self.ReapStreams();
  auto output = std::make_unique<Output>();
  if (output->signal.event == nullptr || !output->ring.Allocate(stream.rate())) return kNoMemory;
  output->stream = &stream;
  try {
    output->thread = std::thread(&WinmmDevice::PlayOut, std::ref(*output));
  } catch (const std::system_error&) {
    return kNoMemory;
  }
  if (const MMRESULT opened = output->AwaitOpen(); opened != MMSYSERR_NOERROR) {
    return TranslateMmResult(opened);
  }
  stream.device_data = output.get();
  std::lock_guard lock(self.mutex_);
  self.outputs_.push_back(std::move(output));
  return kOk;
}

void WinmmDevice::PlayQueued(void*, OutputStream& stream, const Play&) {
  static_cast<Output*>(stream.device_data)->Wake();
}

void WinmmDevice::CloseOutput(void* context, OutputStream& stream) {
  auto& output = *static_cast<Output*>(stream.device_data);
  output.closing.store(true, std::memory_order_release);
  output.Wake();  // from here on the thread may release the stream
  Self(context).ReapStreams();
}

// ---------------------------------------------------------------------------
// The capture thread.
// ---------------------------------------------------------------------------

void WinmmDevice::Capture(Input& input) {
  Ring& ring = input.ring;

  auto deliver = [&](const std::uint8_t* bytes, std::size_t count) {
    std::lock_guard lock(input.deliver);
    if (!input.delivering) return;
    input.stream->Deliver(bytes, count);
    input.delivered += count;
    captured_.fetch_add(count, std::memory_order_release);
  };
  // Hands over every header winmm is done with, in order.
  auto harvest = [&] {
    while (ring.queued.load() > 0 && IsDone(ring.Oldest())) {
      WAVEHDR& header = ring.Oldest();
      if (header.dwBytesRecorded > 0) {
        deliver(reinterpret_cast<const std::uint8_t*>(header.lpData), header.dwBytesRecorded);
      }
      ring.Retire();
    }
  };
  // After a reset: hands over every header as winmm gives it back, waiting a
  // little for those it completes on its own thread, so that none is
  // forgotten, and queued again, while winmm still writes it.
  auto reclaim = [&] {
    const auto deadline = std::chrono::steady_clock::now() + kReturnDeadline;
    harvest();
    if (ring.queued.load() == 0) return;
    while (ring.queued.load() > 0 && std::chrono::steady_clock::now() < deadline) {
      input.Sleep(10);  // winmm's callback wakes it as each header comes back
      harvest();
    }
    input.Wake();  // a host call posted meanwhile is not left waiting on the event
  };
  // The time the device did not capture since the start, as silence: the
  // recording's length stays the time it ran. Called while nothing is queued.
  auto fill_gap = [&] {
    const std::uint64_t due =
        static_cast<std::uint64_t>(Now() - input.started_at) * input.rate / 1000;
    if (due <= input.delivered) return;
    const std::uint64_t owed = due - input.delivered;
    Debug("mirn: winmm input: %llu bytes of silence for the time lost\n",
          static_cast<unsigned long long>(owed));
    for (std::uint64_t left = owed; left > 0;) {
      const std::size_t count = static_cast<std::size_t>(std::min<std::uint64_t>(left, kSilence.size()));
      deliver(kSilence.data(), count);
      left -= count;
    }
  };
  // Gives the device up: what it holds is handed over, it is closed, and an
  // open is tried again after the backoff.
  // The backoff counts from the fault, not from the end of the close.
  auto lose = [&](const char* why, MMRESULT code) {
    const DWORD now = Now();
    harvest();
    Winmm().waveInReset(input.device);
    harvest();
    CloseDevice<InputCalls>(input.device, ring.headers, input.signal, false);
    ring.queued.store(0);
    input.requeue.Reset();
    input.starved = false;
    const DWORD wait = input.reopen.Schedule(now);
    Debug("mirn: winmm input: %s%s; reopening in %lu ms\n", why, Code(code).text,
          static_cast<unsigned long>(wait));
  };
  // Queues every free header, the refused one first: a refusal is retried
  // after a backoff, or gives the device up.
  auto queue_free = [&] {
    while (input.device != nullptr && ring.queued.load() < kSlots && input.requeue.Due(Now())) {
      if (ring.queued.load() == 0 && input.starved) {
        fill_gap();
        input.starved = false;
      }
      WAVEHDR& header = ring.NextFree();
      header.dwBytesRecorded = 0;
      const MMRESULT result = Winmm().waveInAddBuffer(input.device, &header, sizeof header);
      if (result == MMSYSERR_NOERROR) {
        ring.queued.fetch_add(1, std::memory_order_acq_rel);
        input.requeue.Reset();
      } else if (RecoveryFor(result) == Recovery::kRetry) {
        const DWORD wait = input.requeue.Schedule(Now());
        input.starved = ring.queued.load() == 0;
        Debug("mirn: winmm input: waveInAddBuffer refused a header (MMRESULT %u); again in %lu ms\n",
              result, static_cast<unsigned long>(wait));
      } else {
        lose("waveInAddBuffer failed", result);
      }
    }
  };
  auto start = [&] {
    ring.oldest = 0;
    ring.queued.store(0);
    queue_free();
    if (input.device == nullptr) return;
    if (const MMRESULT result = Winmm().waveInStart(input.device); result != MMSYSERR_NOERROR) {
      lose("waveInStart failed", result);
    }
  };
  auto reopen = [&] {
    const DWORD now = Now();  // the next attempt counts from this one's start
    const MMRESULT result = OpenDevice<InputCalls>(input.device, ring.headers, input.rate, ring.slot_bytes, input.signal);
    if (result != MMSYSERR_NOERROR) {
      const DWORD wait = input.reopen.Schedule(now);
      Debug("mirn: winmm input: the device does not open (MMRESULT %u); again in %lu ms\n", result,
            static_cast<unsigned long>(wait));
      return;
    }
    input.reopen.Reset();
    Debug("mirn: winmm input: the device is back\n");
    if (input.running) {
      fill_gap();
      start();
    }
  };

  const MMRESULT opened = OpenDevice<InputCalls>(input.device, ring.headers, input.rate, ring.slot_bytes, input.signal);
  if (!input.AnswerOpen(opened)) {
    input.finished.store(true, std::memory_order_release);
    return;
  }
  if (opened != MMSYSERR_NOERROR) input.reopen.Schedule(Now());

  bool closed = false;
  while (!closed && !input.abort.load(std::memory_order_acquire)) {
    for (;;) {
      Input::Command command = Input::Command::kStart;
      std::uint64_t number = 0;  // as Post numbered it
      {
        std::lock_guard lock(input.mutex);
        if (input.commands.empty()) break;
        command = input.commands.front();
        input.commands.pop_front();
        number = input.done + 1;
      }
      if (command == Input::Command::kStart) {
        {
          std::lock_guard lock(input.deliver);
          input.delivering = number > input.stopped_at;
        }
        input.running = true;
        input.started_at = Now();
        input.delivered = 0;
        if (input.device != nullptr) start();
      } else if (input.device != nullptr) {  // a stop or close hands every header back
        Winmm().waveInReset(input.device);
        reclaim();
      }
      if (command != Input::Command::kStart) {
        input.running = false;
        input.StopDelivering();
        ring.queued.store(0);
        input.requeue.Reset();
        input.starved = false;
      }
      closed = command == Input::Command::kClose;
      std::lock_guard lock(input.mutex);
      ++input.done;
      input.answered.notify_all();
      if (closed) break;
    }
    if (closed) break;

    if (input.device != nullptr && input.signal.lost.load(std::memory_order_acquire)) {
      lose("winmm closed the device", MMSYSERR_NOERROR);
    }
    if (input.device != nullptr && input.running) {
      harvest();
      queue_free();
    } else if (input.device == nullptr && input.reopen.Due(Now())) {
      reopen();
    }
    const Backoff& pending = input.device == nullptr ? input.reopen : input.requeue;
    input.Sleep(pending.Wait(Now()));
  }

  input.StopDelivering();
  if (input.device != nullptr) CloseDevice<InputCalls>(input.device, ring.headers, input.signal, true);
  ring.queued.store(0);
  input.finished.store(true, std::memory_order_release);
}

// ---------------------------------------------------------------------------
// The playback thread.
// ---------------------------------------------------------------------------

void WinmmDevice::PlayOut(Output& output) {
  Ring& ring = output.ring;
  const std::uint32_t rate = output.stream->rate();

  // Closes the device, keeping every header it had not finished: they are
  // written again, in order, once it opens again.
  auto close_device = [&](bool reset) {
    CloseDevice<OutputCalls>(output.device, ring.headers, output.signal, reset);
    output.written = 0;
  };
  auto retire = [&] {
    while (output.written > 0 && IsDone(ring.Oldest())) {
      ring.Retire();
      --output.written;
    }
  };
  auto lose = [&](const char* why, MMRESULT code) {
    output.lost_at = Now();
    retire();  // those played before the fault
    close_device(true);
    output.rewrite.Reset();
    const DWORD wait = output.reopen.Schedule(output.lost_at);
    Debug("mirn: winmm output: %s%s; %lu buffers kept, reopening in %lu ms\n", why, Code(code).text,
          static_cast<unsigned long>(ring.queued.load()), static_cast<unsigned long>(wait));
  };
  // Fills free headers from the queued plays, then writes every held header
  // winmm does not have yet, in order.
  auto feed = [&] {
    while (ring.queued.load() < kSlots) {
      const std::size_t slot = (ring.oldest + ring.queued.load()) % kSlots;
      const Pulled pulled = output.stream->Pull(
          reinterpret_cast<std::uint8_t*>(ring.headers[slot].lpData), ring.slot_bytes);
      if (pulled.bytes == 0) break;
      output.lengths[slot] = static_cast<DWORD>(pulled.bytes);
      ring.queued.fetch_add(1, std::memory_order_acq_rel);
    }
    while (output.device != nullptr && output.written < ring.queued.load() &&
           output.rewrite.Due(Now())) {
      const std::size_t slot = (ring.oldest + output.written) % kSlots;
      WAVEHDR& header = ring.headers[slot];
      header.dwBufferLength = output.lengths[slot];
      const MMRESULT result = Winmm().waveOutWrite(output.device, &header, sizeof header);
      if (result == MMSYSERR_NOERROR) {
        ++output.written;
        output.rewrite.Reset();
      } else if (RecoveryFor(result) == Recovery::kRetry) {
        const DWORD wait = output.rewrite.Schedule(Now());
        Debug("mirn: winmm output: waveOutWrite refused a buffer (MMRESULT %u); again in %lu ms\n", result,
              static_cast<unsigned long>(wait));
      } else {
        lose("waveOutWrite failed", result);
      }
    }
  };

  const MMRESULT opened =
      OpenDevice<OutputCalls>(output.device, ring.headers, rate, ring.slot_bytes, output.signal);
  if (!output.AnswerOpen(opened)) {
    output.finished.store(true, std::memory_order_release);
    return;
  }
  if (opened != MMSYSERR_NOERROR) {
    output.lost_at = Now();
    output.reopen.Schedule(output.lost_at);
  }

  while (!output.abort.load(std::memory_order_acquire)) {
    const bool closing = output.closing.load(std::memory_order_acquire);
    if (output.device != nullptr) {
      if (output.signal.lost.load(std::memory_order_acquire)) {
        lose("winmm closed the device", MMSYSERR_NOERROR);
      } else {
        retire();
        feed();
      }
    } else if (const DWORD now = Now(); output.reopen.Due(now)) {
      const MMRESULT result =
          OpenDevice<OutputCalls>(output.device, ring.headers, rate, ring.slot_bytes, output.signal);
      if (result == MMSYSERR_NOERROR) {
        output.reopen.Reset();
        Debug("mirn: winmm output: the device is back; %lu buffers to play again\n",
              static_cast<unsigned long>(ring.queued.load()));
        feed();
      } else {
        const DWORD wait = output.reopen.Schedule(now);
        Debug("mirn: winmm output: the device does not open (MMRESULT %u); again in %lu ms\n", result,
              static_cast<unsigned long>(wait));
      }
    }
    if (closing && ring.queued.load() == 0 && !output.stream->Busy()) break;
    if (closing && output.device == nullptr && Now() - output.lost_at >= kClosedOutageMs) {
      Debug("mirn: winmm output: the device stayed away; a closed stream's plays are dropped\n");
      break;
    }
    const Backoff& pending = output.device == nullptr ? output.reopen : output.rewrite;
    output.Sleep(pending.Wait(Now()));
  }
  if (output.device != nullptr) close_device(output.abort.load(std::memory_order_acquire));
  ring.queued.store(0);
  if (output.closing.load(std::memory_order_acquire)) output.stream->Release();
  output.finished.store(true, std::memory_order_release);
}

// Opens are quick enough one after another, and a closed stream lets go of
// its device once it has played out.
void WinmmDevice::ExpectOutputs(void*, const std::uint32_t*, std::size_t) {}
void WinmmDevice::LetGoIdle(void*) {}

}  // namespace wave_service
