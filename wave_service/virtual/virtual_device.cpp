// The virtual device: moves bytes between its clock-driven streams and the
// service's stream bookkeeping, and keeps a record of everything it did.
#include "wave_service/virtual/virtual_device.h"

#include <algorithm>
#include <array>

namespace wave_service {

namespace {

constexpr std::uint64_t kMicrosPerSecond = 1'000'000;
constexpr std::size_t kChunk = 4096;

// floor(elapsed * rate / 1e6) without overflow for any elapsed time.
std::uint64_t BytesIn(std::uint64_t elapsed_us, std::uint32_t rate) {
  return elapsed_us / kMicrosPerSecond * rate +
         elapsed_us % kMicrosPerSecond * rate / kMicrosPerSecond;
}

// The shortest time in which `bytes` bytes pass at `rate`, in whole microseconds.
std::uint64_t MicrosFor(std::uint64_t bytes, std::uint32_t rate) {
  return (bytes * kMicrosPerSecond + rate - 1) / rate;
}

VirtualDevice& Self(void* context) { return *static_cast<VirtualDevice*>(context); }

}  // namespace

VirtualDevice::VirtualDevice() : source_(NumberedByte) {}

VirtualDevice::~VirtualDevice() { RemoveDevice(&Ops(), this); }

const DeviceOps& VirtualDevice::Ops() {
  static constexpr DeviceOps kOps{
      &DeviceCount, &CheckFormat, &OpenInput,   &StartInput,    &StopInput, &CloseInput,
      &OpenOutput,  &PlayQueued,  &CloseOutput, &ExpectOutputs, &LetGoIdle,
  };
  return kOps;
}

void VirtualDevice::Install() { InstallDevice(&Ops(), this); }

std::uint8_t VirtualDevice::NumberedByte(std::uint64_t n) {
  return static_cast<std::uint8_t>(1 + n % 251);
}

void VirtualDevice::SetSource(Source source) {
  source_ = source ? std::move(source) : Source(NumberedByte);
}

void VirtualDevice::SetRateRange(std::uint32_t min_rate, std::uint32_t max_rate) {
  min_rate_ = min_rate;
  max_rate_ = max_rate;
}

void VirtualDevice::SetDeviceCounts(std::uint32_t inputs, std::uint32_t outputs) {
  input_devices_ = inputs;
  output_devices_ = outputs;
}

const VirtualDevice::InputRecord* VirtualDevice::FindInput(Handle handle) const {
  auto it = std::ranges::find(input_records_, handle, &InputRecord::handle);
  return it == input_records_.end() ? nullptr : &*it;
}

const VirtualDevice::OutputRecord* VirtualDevice::FindOutput(Handle handle) const {
  auto it = std::ranges::find(output_records_, handle, &OutputRecord::handle);
  return it == output_records_.end() ? nullptr : &*it;
}

// ---------------------------------------------------------------------------
// The clock.
// ---------------------------------------------------------------------------

std::uint64_t VirtualDevice::Due(const Meter& meter, std::uint32_t rate) const {
  return meter.bytes + BytesIn(now_us_ - meter.since_us, rate);
}

void VirtualDevice::Advance(std::chrono::microseconds duration) {
  if (duration.count() <= 0) return;
  now_us_ += static_cast<std::uint64_t>(duration.count());
  for (LiveInput& input : inputs_) {
    if (input.running) Capture(input);
  }
  // A write that waits for another output's play starts when that play ends,
  // which may be within this step: play on until nothing more finishes.
  for (bool finished = true; finished;) {
    finished = false;
    for (LiveOutput& output : outputs_) finished |= PlayOn(output);
  }
  for (auto it = outputs_.begin(); it != outputs_.end();) {
    auto next = std::next(it);
    if (it->closing && !it->stream->Busy()) ReleaseOutput(it);
    it = next;
  }
}

void VirtualDevice::AdvanceBytes(std::uint64_t bytes, std::uint32_t rate) {
  if (rate == 0) return;
  Advance(std::chrono::microseconds(MicrosFor(bytes, rate)));
}

// Step by step, to the end of each output's current write: one ending may
// let another output's write start.
void VirtualDevice::FinishPlays() {
  for (;;) {
    std::uint64_t next = 0;
    for (LiveOutput& output : outputs_) {
      if (Unplayed(*output.record) == 0 || Waits(output)) continue;
      const auto& writes = output.record->writes;
      auto head = std::ranges::find_if(writes, [](const WriteRecord& w) { return !w.finished && !w.cut; });
      const std::uint64_t end = output.played + (head->length - head->played.size());
      const std::uint64_t at =
          output.meter.since_us + MicrosFor(end - output.meter.bytes, output.record->rate);
      next = next == 0 ? at : std::min(next, at);
    }
    if (next == 0) return;  // nothing left, or only writes that wait for nothing that comes
    Advance(std::chrono::microseconds(std::max(next, now_us_ + 1) - now_us_));
  }
}

// ---------------------------------------------------------------------------
// Moving bytes.
// ---------------------------------------------------------------------------

void VirtualDevice::Capture(LiveInput& input, bool read_out) {
  InputRecord& record = *input.record;
  std::uint64_t due = Due(input.meter, record.rate);
  if (capture_period_ > 0 && !read_out) due -= due % capture_period_;
  std::array<std::uint8_t, kChunk> chunk;
  while (record.captured < due) {
    const std::size_t n =
        static_cast<std::size_t>(std::min<std::uint64_t>(due - record.captured, kChunk));
    for (std::size_t i = 0; i < n; ++i) chunk[i] = source_(record.captured + i);
    record.captured += n;
    input.stream->Deliver(chunk.data(), n);
  }
}

const VirtualDevice::WriteRecord* VirtualDevice::FindWrite(std::uint64_t play) const {
  for (const OutputRecord& record : output_records_) {
    auto write = std::ranges::find(record.writes, play, &WriteRecord::play);
    if (write != record.writes.end()) return &*write;
  }
  return nullptr;
}

// True while the output's next write waits for a play not yet heard. Once
// that play is heard, the write starts the moment it ended (or when the
// write was made, or when the output ran dry, whichever is last).
bool VirtualDevice::Waits(LiveOutput& output) {
  auto& writes = output.record->writes;
  auto head = std::ranges::find_if(writes, [](const WriteRecord& w) { return !w.finished && !w.cut; });
  if (head == writes.end() || head->after == 0) return false;
  const WriteRecord* before = FindWrite(head->after);
  const bool heard = before == nullptr || before->finished || before->cut;
  if (!heard) {
    output.waiting = true;
    return true;
  }
  if (output.waiting) {
    output.waiting = false;
    std::uint64_t start = head->started_us;  // when it was written
    if (before != nullptr) start = std::max(start, before->ended_us);
    for (const WriteRecord& write : writes) {
      if (write.finished) start = std::max(start, write.ended_us);
    }
    output.meter = {start, output.played};
    head->started_us = start;
  }
  return false;
}

// The moment the output's byte `n` (counted since its open) starts to play.
std::uint64_t VirtualDevice::TimeOf(const LiveOutput& output, std::uint64_t n) const {
  return output.meter.since_us + MicrosFor(n - output.meter.bytes, output.record->rate);
}

// True when a write finished.
bool VirtualDevice::PlayOn(LiveOutput& output) {
  bool finished = false;
  std::array<std::uint8_t, kChunk> chunk;
  while (!Waits(output)) {
    const std::uint64_t due = Due(output.meter, output.record->rate);
    if (output.played >= due) break;
    const std::size_t want =
        static_cast<std::size_t>(std::min<std::uint64_t>(due - output.played, kChunk));
    const Pulled pulled = output.stream->Pull(chunk.data(), want);
    if (pulled.play == 0) break;  // nothing queued: idle until the next write
    auto& writes = output.record->writes;
    auto write = std::ranges::find(writes, pulled.play, &WriteRecord::play);
    if (write == writes.end()) break;  // cannot happen: every play was announced
    if (write->played.empty()) write->started_us = TimeOf(output, output.played);
    write->played.insert(write->played.end(), chunk.begin(), chunk.begin() + pulled.bytes);
    output.played += pulled.bytes;
    if (pulled.finished) {
      write->finished = finished = true;
      write->ended_us = TimeOf(output, output.played);
    }
  }
  return finished;
}

std::uint64_t VirtualDevice::Unplayed(const OutputRecord& record) const {
  std::uint64_t unplayed = 0;
  for (const WriteRecord& write : record.writes) {
    if (!write.cut) unplayed += write.length - write.played.size();
  }
  return unplayed;
}

void VirtualDevice::ReleaseOutput(std::list<LiveOutput>::iterator output) {
  OutputStream& stream = *output->stream;
  output->record->released = true;
  outputs_.erase(output);
  stream.Release();
}

// ---------------------------------------------------------------------------
// The device table.
// ---------------------------------------------------------------------------

std::uint32_t VirtualDevice::DeviceCount(void* context, Direction direction) {
  const VirtualDevice& self = Self(context);
  return direction == Direction::kInput ? self.input_devices_ : self.output_devices_;
}

bool VirtualDevice::SupportsRate(std::uint32_t rate) const {
  return rate >= min_rate_ && rate <= max_rate_;
}

Result VirtualDevice::CheckFormat(void* context, Direction, std::uint32_t rate) {
  return Self(context).SupportsRate(rate) ? kOk : kBadFormat;
}

// A new stream gets its record and its live state; the stream points at the
// live state.
template <class Record, class Live, class StreamType>
void VirtualDevice::Track(std::deque<Record>& records, std::list<Live>& live, StreamType& stream) {
  Record& record = records.emplace_back();
  record.handle = stream.handle();
  record.rate = stream.rate();
  Live& state = live.emplace_back();
  state.stream = &stream;
  state.record = &record;
  stream.device_data = &state;
}

Result VirtualDevice::OpenInput(void* context, InputStream& stream) {
  VirtualDevice& self = Self(context);
  if (!self.SupportsRate(stream.rate())) return kBadFormat;
  Track(self.input_records_, self.inputs_, stream);
  return kOk;
}

Result VirtualDevice::StartInput(void* context, InputStream& stream) {
  auto& input = *static_cast<LiveInput*>(stream.device_data);
  input.record->started = true;
  input.running = true;
  input.meter = {Self(context).now_us_, input.record->captured};
  return kOk;
}

void VirtualDevice::StopInput(void* context, InputStream& stream) {
  auto& input = *static_cast<LiveInput*>(stream.device_data);
  if (input.running) Self(context).Capture(input, true);
  input.record->stopped = true;
  input.running = false;
}

void VirtualDevice::CloseInput(void* context, InputStream& stream) {
  auto* input = static_cast<LiveInput*>(stream.device_data);
  input->record->closed = true;
  Self(context).inputs_.remove_if([&](const LiveInput& live) { return &live == input; });
}

Result VirtualDevice::OpenOutput(void* context, OutputStream& stream) {
  VirtualDevice& self = Self(context);
  if (!self.SupportsRate(stream.rate())) return kBadFormat;
  Track(self.output_records_, self.outputs_, stream);
  return kOk;
}

void VirtualDevice::PlayQueued(void* context, OutputStream& stream, const Play& play) {
  VirtualDevice& self = Self(context);
  auto& output = *static_cast<LiveOutput*>(stream.device_data);
  if (play.replaces) {
    // The service has dropped what the others had queued: what they were
    // playing stops here and now.
    for (LiveOutput& other : self.outputs_) {
      if (&other == &output) continue;
      other.waiting = false;
      for (WriteRecord& write : other.record->writes) {
        if (write.finished || write.cut) continue;
        write.cut = true;
        write.ended_us = self.now_us_;
      }
    }
  }
  // An idle output starts playing now; a busy one plays this after the rest.
  if (self.Unplayed(*output.record) == 0) output.meter = {self.now_us_, output.played};
  WriteRecord& write = output.record->writes.emplace_back();
  write.play = play.id;
  write.address = play.data;
  write.length = play.length;
  write.after = play.after;
  write.finished = play.length == 0;
  write.started_us = write.ended_us = self.now_us_;
  self.Waits(output);  // starts waiting now if it must
}

void VirtualDevice::ExpectOutputs(void* context, const std::uint32_t* rates, std::size_t count) {
  auto& expected = Self(context).expected_rates_;
  expected.insert(expected.end(), rates, rates + count);
}

void VirtualDevice::LetGoIdle(void* context) { ++Self(context).let_go_requests_; }

void VirtualDevice::CloseOutput(void* context, OutputStream& stream) {
  VirtualDevice& self = Self(context);
  auto& output = *static_cast<LiveOutput*>(stream.device_data);
  output.record->closed = true;
  output.closing = true;
  if (!stream.Busy()) {
    auto it = std::ranges::find_if(self.outputs_,
                                   [&](const LiveOutput& live) { return &live == &output; });
    self.ReleaseOutput(it);
  }
}

}  // namespace wave_service
