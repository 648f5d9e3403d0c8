// The winmm device: each stream owns a ring of WAVEHDRs over its own memory,
// prepared once at the open and unprepared at the close. A capture thread
// hands the bytes of every filled header to the service and queues the
// header again; a playback thread fills free headers from the service's
// queued plays and writes them. Both sleep on the stream's event, which
// winmm signals whenever a header is done.
#include "wave_service/winmm/winmm_device.h"

#include <windows.h>
#include <mmsystem.h>

#include <algorithm>
#include <system_error>
#include <thread>
#include <vector>

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
// The fastest rate taken. winmm's mapper (Wine's at least) accepts any rate
// at all and would then play it as best it can; above this no device does.
constexpr std::uint32_t kMaxRate = 768'000;
// Wakes a stream thread at least this often, whatever winmm does.
constexpr DWORD kWaitMs = 100;

WinmmDevice& Self(void* context) { return *static_cast<WinmmDevice*>(context); }

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

}  // namespace

// A stream's headers, each over its own slot of `memory`. Headers complete in
// the order they were queued: the queued ones run from `oldest` on.
struct WinmmDevice::Ring {
  std::vector<std::uint8_t> memory;
  std::size_t slot_bytes = 0;
  WAVEHDR headers[kSlots]{};
  std::size_t oldest = 0;
  std::atomic<std::size_t> queued{0};
  HANDLE event = nullptr;  // auto-reset; winmm signals it as headers finish

  // About 40 ms a header at `rate`.
  bool Allocate(std::uint32_t rate) {
    event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (event == nullptr) return false;
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
  ~Ring() {
    if (event != nullptr) CloseHandle(event);
  }
  WAVEHDR& Oldest() { return headers[oldest]; }
  WAVEHDR& NextFree() { return headers[(oldest + queued.load()) % kSlots]; }
  void Retire() {
    oldest = (oldest + 1) % kSlots;
    queued.fetch_sub(1, std::memory_order_acq_rel);
  }
};

struct WinmmDevice::Input {
  InputStream* stream = nullptr;
  HWAVEIN device = nullptr;
  Ring ring;
  std::thread thread;
  std::mutex requeue;            // a header is queued again only while not stopping
  bool stopping = false;         // under requeue
  std::atomic<bool> reset{false};  // winmm has handed every header back
};

struct WinmmDevice::Output {
  OutputStream* stream = nullptr;
  HWAVEOUT device = nullptr;
  Ring ring;
  std::thread thread;
  std::atomic<bool> closing{false};   // handle closed: play to the end, then let go
  std::atomic<bool> abort{false};     // the device is going away: stop at once
  std::atomic<bool> finished{false};  // the thread is done with winmm and the stream
};

WinmmDevice::WinmmDevice() = default;

WinmmDevice::~WinmmDevice() {
  {
    std::lock_guard lock(mutex_);
    for (const auto& output : outputs_) {
      output->abort.store(true, std::memory_order_release);
      SetEvent(output->ring.event);
    }
    for (const auto& input : inputs_) {
      if (input->thread.joinable()) StopInput(this, *input->stream);
      waveInReset(input->device);
      for (WAVEHDR& header : input->ring.headers) {
        waveInUnprepareHeader(input->device, &header, sizeof header);
      }
      waveInClose(input->device);
    }
    for (const auto& output : outputs_) output->thread.join();
    inputs_.clear();
    outputs_.clear();
  }
  RemoveDevice(&Ops(), this);
}

const DeviceOps& WinmmDevice::Ops() {
  static constexpr DeviceOps kOps{
      &DeviceCount, &CheckFormat,  &OpenInput,  &StartInput,  &StopInput,
      &CloseInput,  &OpenOutput,   &PlayQueued, &CloseOutput,
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
  std::lock_guard lock(mutex_);
  return outputs_.size();
}

void WinmmDevice::ReapOutputs() {
  std::lock_guard lock(mutex_);
  std::erase_if(outputs_, [](const std::unique_ptr<Output>& output) {
    if (!output->finished.load(std::memory_order_acquire)) return false;
    output->thread.join();
    return true;
  });
}

// ---------------------------------------------------------------------------
// The device table: winmm's own devices, opened through its mapper.
// ---------------------------------------------------------------------------

std::uint32_t WinmmDevice::DeviceCount(void*, Direction direction) {
  return direction == Direction::kInput ? waveInGetNumDevs() : waveOutGetNumDevs();
}

Result WinmmDevice::CheckFormat(void*, Direction direction, std::uint32_t rate) {
  if (rate > kMaxRate) return kBadFormat;
  const WAVEFORMATEX format = Format(rate);
  return TranslateMmResult(
      direction == Direction::kInput
          ? waveInOpen(nullptr, WAVE_MAPPER, &format, 0, 0, WAVE_FORMAT_QUERY)
          : waveOutOpen(nullptr, WAVE_MAPPER, &format, 0, 0, WAVE_FORMAT_QUERY));
}

Result WinmmDevice::OpenInput(void* context, InputStream& stream) {
  if (stream.rate() > kMaxRate) return kBadFormat;
  auto input = std::make_unique<Input>();
  if (!input->ring.Allocate(stream.rate())) return kNoMemory;
  const WAVEFORMATEX format = Format(stream.rate());
  const MMRESULT opened =
      waveInOpen(&input->device, WAVE_MAPPER, &format,
                 reinterpret_cast<DWORD_PTR>(input->ring.event), 0, CALLBACK_EVENT);
  if (opened != MMSYSERR_NOERROR) return TranslateMmResult(opened);
  for (WAVEHDR& header : input->ring.headers) {
    if (const MMRESULT prepared = waveInPrepareHeader(input->device, &header, sizeof header);
        prepared != MMSYSERR_NOERROR) {
      for (WAVEHDR& done : input->ring.headers) waveInUnprepareHeader(input->device, &done, sizeof done);
      waveInClose(input->device);
      return TranslateMmResult(prepared);
    }
  }
  input->stream = &stream;
  stream.device_data = input.get();
  WinmmDevice& self = Self(context);
  std::lock_guard lock(self.mutex_);
  self.inputs_.push_back(std::move(input));
  return kOk;
}

Result WinmmDevice::StartInput(void* context, InputStream& stream) {
  Input& input = *static_cast<Input*>(stream.device_data);
  {
    std::lock_guard lock(input.requeue);
    input.stopping = false;
  }
  input.reset.store(false, std::memory_order_release);
  // Every header is back from the last stop: queue them all, in ring order.
  input.ring.oldest = 0;
  MMRESULT result = MMSYSERR_NOERROR;
  for (WAVEHDR& header : input.ring.headers) {
    header.dwBytesRecorded = 0;
    result = waveInAddBuffer(input.device, &header, sizeof header);
    if (result != MMSYSERR_NOERROR) break;
    input.ring.queued.fetch_add(1, std::memory_order_acq_rel);
  }
  if (result == MMSYSERR_NOERROR) result = waveInStart(input.device);
  if (result == MMSYSERR_NOERROR) {
    try {
      input.thread = std::thread(&WinmmDevice::Capture, &Self(context), std::ref(input));
      return kOk;
    } catch (const std::system_error&) {
      result = MMSYSERR_NOMEM;
    }
  }
  waveInReset(input.device);
  input.ring.queued.store(0);
  return TranslateMmResult(result);
}

void WinmmDevice::StopInput(void*, InputStream& stream) {
  Input& input = *static_cast<Input*>(stream.device_data);
  {
    std::lock_guard lock(input.requeue);
    input.stopping = true;
  }
  // Hands every header back, the one being filled with what it holds.
  waveInReset(input.device);
  input.reset.store(true, std::memory_order_release);
  SetEvent(input.ring.event);
  if (input.thread.joinable()) input.thread.join();
}

void WinmmDevice::CloseInput(void* context, InputStream& stream) {
  auto* input = static_cast<Input*>(stream.device_data);
  if (input->thread.joinable()) StopInput(context, stream);
  waveInReset(input->device);
  for (WAVEHDR& header : input->ring.headers) {
    waveInUnprepareHeader(input->device, &header, sizeof header);
  }
  waveInClose(input->device);
  WinmmDevice& self = Self(context);
  std::lock_guard lock(self.mutex_);
  self.inputs_.remove_if([&](const std::unique_ptr<Input>& owned) { return owned.get() == input; });
}

Result WinmmDevice::OpenOutput(void* context, OutputStream& stream) {
  WinmmDevice& self = Self(context);
  self.ReapOutputs();
  if (stream.rate() > kMaxRate) return kBadFormat;
  auto output = std::make_unique<Output>();
  if (!output->ring.Allocate(stream.rate())) return kNoMemory;
  const WAVEFORMATEX format = Format(stream.rate());
  const MMRESULT opened =
      waveOutOpen(&output->device, WAVE_MAPPER, &format,
                  reinterpret_cast<DWORD_PTR>(output->ring.event), 0, CALLBACK_EVENT);
  if (opened != MMSYSERR_NOERROR) return TranslateMmResult(opened);
  MMRESULT result = MMSYSERR_NOERROR;
  for (WAVEHDR& header : output->ring.headers) {
    result = waveOutPrepareHeader(output->device, &header, sizeof header);
    if (result != MMSYSERR_NOERROR) break;
  }
  output->stream = &stream;
  if (result == MMSYSERR_NOERROR) {
    try {
      output->thread = std::thread(&WinmmDevice::PlayOut, std::ref(*output));
    } catch (const std::system_error&) {
      result = MMSYSERR_NOMEM;
    }
  }
  if (result != MMSYSERR_NOERROR) {
    for (WAVEHDR& header : output->ring.headers) {
      waveOutUnprepareHeader(output->device, &header, sizeof header);
    }
    waveOutClose(output->device);
    return TranslateMmResult(result);
  }
  stream.device_data = output.get();
  std::lock_guard lock(self.mutex_);
  self.outputs_.push_back(std::move(output));
  return kOk;
}

void WinmmDevice::PlayQueued(void*, OutputStream& stream, const Play&) {
  SetEvent(static_cast<Output*>(stream.device_data)->ring.event);
}

void WinmmDevice::CloseOutput(void* context, OutputStream& stream) {
  auto& output = *static_cast<Output*>(stream.device_data);
  output.closing.store(true, std::memory_order_release);
  SetEvent(output.ring.event);  // from here on the thread may release the stream
  Self(context).ReapOutputs();
}

// ---------------------------------------------------------------------------
// The stream threads.
// ---------------------------------------------------------------------------

void WinmmDevice::Capture(Input& input) {
  Ring& ring = input.ring;
  for (;;) {
    // Read before the harvest: once winmm has reset the input, every header
    // is done, so the harvest after it takes the last bytes.
    const bool last = input.reset.load(std::memory_order_acquire);
    while (ring.queued.load() > 0 && IsDone(ring.Oldest())) {
      WAVEHDR& header = ring.Oldest();
      if (header.dwBytesRecorded > 0) {
        input.stream->Deliver(reinterpret_cast<const std::uint8_t*>(header.lpData),
                              header.dwBytesRecorded);
        captured_.fetch_add(header.dwBytesRecorded, std::memory_order_release);
      }
      ring.Retire();
      std::lock_guard lock(input.requeue);
      if (!input.stopping) {
        WAVEHDR& again = ring.NextFree();  // the first after the queued run
        again.dwBytesRecorded = 0;
        if (waveInAddBuffer(input.device, &again, sizeof again) == MMSYSERR_NOERROR) {
          ring.queued.fetch_add(1, std::memory_order_acq_rel);
        }
      }
    }
    if (last) break;
    WaitForSingleObject(ring.event, kWaitMs);
  }
  ring.queued.store(0);
}

void WinmmDevice::PlayOut(Output& output) {
  Ring& ring = output.ring;
  bool broken = false;  // winmm refused a write: plays are taken and dropped
  while (!output.abort.load(std::memory_order_acquire)) {
    while (ring.queued.load() > 0 && IsDone(ring.Oldest())) ring.Retire();
    while (ring.queued.load() < kSlots) {
      WAVEHDR& header = ring.NextFree();
      const Pulled pulled =
          output.stream->Pull(reinterpret_cast<std::uint8_t*>(header.lpData), ring.slot_bytes);
      if (pulled.bytes == 0) break;
      if (broken) continue;
      header.dwBufferLength = static_cast<DWORD>(pulled.bytes);
      if (waveOutWrite(output.device, &header, sizeof header) == MMSYSERR_NOERROR) {
        ring.queued.fetch_add(1, std::memory_order_acq_rel);
      } else {
        broken = true;
      }
    }
    if (output.closing.load(std::memory_order_acquire) && ring.queued.load() == 0 &&
        !output.stream->Busy()) {
      break;
    }
    WaitForSingleObject(ring.event, kWaitMs);
  }
  if (output.abort.load(std::memory_order_acquire)) waveOutReset(output.device);
  for (WAVEHDR& header : ring.headers) {
    waveOutUnprepareHeader(output.device, &header, sizeof header);
  }
  waveOutClose(output.device);
  ring.queued.store(0);
  if (output.closing.load(std::memory_order_acquire)) output.stream->Release();
  output.finished.store(true, std::memory_order_release);
}

}  // namespace wave_service
