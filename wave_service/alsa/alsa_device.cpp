// The ALSA device: a capture thread reads a period at a time and hands the
// bytes to the service; a playback thread takes queued bytes from the service
// and writes them, and once its output is closed drains and lets go.
#include "wave_service/alsa/alsa_device.h"

#include <algorithm>
#include <cerrno>
#include <system_error>
#include <thread>
#include <vector>

#include "wave_service/alsa/alsa_pcm.h"

namespace wave_service {

using alsa::Wakeup;

// What inputs and outputs keep alike: their stream, PCM and thread.
template <class StreamType>
struct AlsaDevice::Pcm {
  StreamType* stream = nullptr;
  snd_pcm_t* pcm = nullptr;
  snd_pcm_uframes_t period = 0;  // frames, which are bytes
  Wakeup wake;
  std::thread thread;
};

struct AlsaDevice::Input : Pcm<InputStream> {
  std::atomic<bool> stop{false};  // the thread runs while started
};

struct AlsaDevice::Output : Pcm<OutputStream> {
  std::atomic<std::int64_t> unwritten_plays{0};  // announced, not yet all handed to ALSA
  std::atomic<bool> closing{false};   // handle closed: play to the end, then let go
  std::atomic<bool> abort{false};     // the device is going away: stop at once
  std::atomic<bool> finished{false};  // the thread is done with the PCM and the stream
};

namespace {

AlsaDevice& Self(void* context) { return *static_cast<AlsaDevice*>(context); }

}  // namespace

AlsaDevice::AlsaDevice() = default;

AlsaDevice::~AlsaDevice() {
  {
    std::lock_guard lock(mutex_);
    for (const auto& input : inputs_) {
      input->stop.store(true, std::memory_order_release);
      input->wake.Signal();
    }
    for (const auto& output : outputs_) {
      output->abort.store(true, std::memory_order_release);
      output->wake.Signal();
    }
    for (const auto& input : inputs_) {
      if (input->thread.joinable()) input->thread.join();
      snd_pcm_drop(input->pcm);
      snd_pcm_close(input->pcm);
    }
    for (const auto& output : outputs_) output->thread.join();
    inputs_.clear();
    outputs_.clear();
  }
  RemoveDevice(&Ops(), this);
}

const DeviceOps& AlsaDevice::Ops() {
  static constexpr DeviceOps kOps{
      &DeviceCount, &CheckFormat,  &OpenInput,  &StartInput,  &StopInput,
      &CloseInput,  &OpenOutput,   &PlayQueued, &CloseOutput,
  };
  return kOps;
}

void AlsaDevice::Install() { InstallDevice(&Ops(), this); }

bool AlsaDevice::Playing() {
  std::lock_guard lock(mutex_);
  return std::ranges::any_of(outputs_, [](const std::unique_ptr<Output>& output) {
    return !output->finished.load(std::memory_order_acquire) &&
           (output->closing.load(std::memory_order_acquire) ||
            output->unwritten_plays.load(std::memory_order_acquire) > 0);
  });
}

std::size_t AlsaDevice::HeldOutputs() {
  std::lock_guard lock(mutex_);
  return outputs_.size();
}

// Joins the threads of outputs that have let go of their PCM, so that a host
// playing again and again holds no more threads than it has outputs playing.
void AlsaDevice::ReapOutputs() {
  std::lock_guard lock(mutex_);
  std::erase_if(outputs_, [](const std::unique_ptr<Output>& output) {
    if (!output->finished.load(std::memory_order_acquire)) return false;
    output->thread.join();
    return true;
  });
}

// ---------------------------------------------------------------------------
// The device table. "default" is the one device in each direction.
// ---------------------------------------------------------------------------

std::uint32_t AlsaDevice::DeviceCount(void*, Direction) { return 1; }

Result AlsaDevice::CheckFormat(void*, Direction direction, std::uint32_t rate) {
  return alsa::CheckPcm(direction, rate);
}

// Opens the stream's PCM at its rate into a new `state`.
template <class State, class StreamType>
Result AlsaDevice::OpenPcm(Direction direction, StreamType& stream,
                           std::unique_ptr<State>& state) {
  state = std::make_unique<State>();
  if (!state->wake.valid()) return kNoMemory;
  const alsa::OpenedPcm opened = alsa::OpenPcm(direction, stream.rate());
  if (opened.result != kOk) return opened.result;
  state->stream = &stream;
  state->pcm = opened.pcm;
  state->period = opened.period;
  return kOk;
}

Result AlsaDevice::OpenInput(void* context, InputStream& stream) {
  std::unique_ptr<Input> input;
  if (const Result opened = OpenPcm(Direction::kInput, stream, input); opened != kOk) {
    return opened;
  }
  stream.device_data = input.get();
  AlsaDevice& self = Self(context);
  std::lock_guard lock(self.mutex_);
  self.inputs_.push_back(std::move(input));
  return kOk;
}

Result AlsaDevice::StartInput(void* context, InputStream& stream) {
  Input& input = *static_cast<Input*>(stream.device_data);
  // After a stop the PCM is set up but dropped; prepare makes it ready again.
  int err = snd_pcm_prepare(input.pcm);
  if (err >= 0) err = snd_pcm_start(input.pcm);
  if (err < 0) return alsa::TranslateAlsaError(err);
  input.stop.store(false, std::memory_order_release);
  try {
    input.thread = std::thread(&AlsaDevice::Capture, &Self(context), std::ref(input));
  } catch (const std::system_error&) {
    snd_pcm_drop(input.pcm);
    return kNoMemory;
  }
  return kOk;
}

void AlsaDevice::StopInput(void*, InputStream& stream) {
  Input& input = *static_cast<Input*>(stream.device_data);
  input.stop.store(true, std::memory_order_release);
  input.wake.Signal();
  if (input.thread.joinable()) input.thread.join();
  snd_pcm_drop(input.pcm);
}

void AlsaDevice::CloseInput(void* context, InputStream& stream) {
  auto* input = static_cast<Input*>(stream.device_data);
  if (input->thread.joinable()) StopInput(context, stream);
  snd_pcm_close(input->pcm);
  AlsaDevice& self = Self(context);
  std::lock_guard lock(self.mutex_);
  self.inputs_.remove_if([&](const std::unique_ptr<Input>& owned) { return owned.get() == input; });
}

Result AlsaDevice::OpenOutput(void* context, OutputStream& stream) {
  AlsaDevice& self = Self(context);
  self.ReapOutputs();
  std::unique_ptr<Output> output;
  if (const Result opened = OpenPcm(Direction::kOutput, stream, output); opened != kOk) {
    return opened;
  }
  try {
    output->thread = std::thread(&AlsaDevice::PlayOut, std::ref(*output));
  } catch (const std::system_error&) {
    snd_pcm_close(output->pcm);
    return kNoMemory;
  }
  stream.device_data = output.get();
  std::lock_guard lock(self.mutex_);
  self.outputs_.push_back(std::move(output));
  return kOk;
}

void AlsaDevice::PlayQueued(void*, OutputStream& stream, const Play& play) {
  auto& output = *static_cast<Output*>(stream.device_data);
  if (play.length == 0) return;  // finished already
  output.unwritten_plays.fetch_add(1, std::memory_order_acq_rel);
  output.wake.Signal();
}

void AlsaDevice::CloseOutput(void* context, OutputStream& stream) {
  auto& output = *static_cast<Output*>(stream.device_data);
  output.closing.store(true, std::memory_order_release);
  output.wake.Signal();  // from here on the thread may release the stream
  Self(context).ReapOutputs();
}

// ---------------------------------------------------------------------------
// The stream threads.
// ---------------------------------------------------------------------------

void AlsaDevice::Capture(Input& input) {
  std::vector<std::uint8_t> period(input.period);
  while (!input.stop.load(std::memory_order_acquire)) {
    const snd_pcm_sframes_t got = snd_pcm_readi(input.pcm, period.data(), input.period);
    if (got > 0) {
      input.stream->Deliver(period.data(), static_cast<std::size_t>(got));
      captured_.fetch_add(static_cast<std::uint64_t>(got), std::memory_order_release);
    } else if (got == 0 || got == -EAGAIN) {
      input.wake.Wait(input.pcm);
    } else if (snd_pcm_recover(input.pcm, static_cast<int>(got), 1) < 0) {
      input.wake.Wait(nullptr);  // not an overrun or a suspend: try again later
    }
  }
}

void AlsaDevice::PlayOut(Output& output) {
  std::vector<std::uint8_t> chunk(output.period);
  std::size_t have = 0;    // bytes in the chunk
  std::size_t done = 0;    // of those, bytes ALSA has taken
  bool ends_play = false;  // the chunk holds the last bytes of a play
  bool broken = false;     // the PCM failed for good: plays are taken and dropped
  while (!output.abort.load(std::memory_order_acquire)) {
    if (done < have) {
      const snd_pcm_sframes_t put = snd_pcm_writei(output.pcm, chunk.data() + done, have - done);
      if (put > 0) {
        done += static_cast<std::size_t>(put);
      } else if (put == 0 || put == -EAGAIN) {
        output.wake.Wait(output.pcm);
      } else if (snd_pcm_recover(output.pcm, static_cast<int>(put), 1) < 0) {
        broken = true;
        done = have;
      }
      continue;
    }
    if (ends_play) output.unwritten_plays.fetch_sub(1, std::memory_order_acq_rel);
    const Pulled pulled = output.stream->Pull(chunk.data(), chunk.size());
    have = pulled.bytes;
    done = broken ? have : 0;
    ends_play = pulled.finished;
    if (pulled.bytes == 0) {
      if (output.closing.load(std::memory_order_acquire)) break;
      output.wake.Wait(nullptr);
    }
  }
  if (output.abort.load(std::memory_order_acquire)) {
    snd_pcm_drop(output.pcm);
  } else if (!broken) {
    // Lets what ALSA holds play to its end, waiting as long as that takes.
    snd_pcm_nonblock(output.pcm, 0);
    snd_pcm_drain(output.pcm);
  }
  snd_pcm_close(output.pcm);
  if (output.closing.load(std::memory_order_acquire)) output.stream->Release();
  output.finished.store(true, std::memory_order_release);
}

}  // namespace wave_service
