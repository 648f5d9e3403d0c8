// A deterministic wave device with no threads and no hardware: time passes
// only when its clock is advanced, captured bytes come from a function, and
// every stream and play is kept on record for tests to read.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <vector>

#include "wave_service/device.h"

namespace wave_service {

class VirtualDevice {
 public:
  // One write on an output, as played so far.
  struct WriteRecord {
    std::uint64_t play = 0;
    const std::uint8_t* address = nullptr;  // snapshot taken at the write
    std::uint32_t length = 0;               // snapshot taken at the write
    std::uint64_t after = 0;                // the play it waited for
    std::vector<std::uint8_t> played;       // bytes as they were read while playing
    bool finished = false;
    bool cut = false;                  // stopped by a play that replaced it
    std::uint64_t started_us = 0;      // when its first byte played (or would have)
    std::uint64_t ended_us = 0;        // when its last byte played, or it was cut
  };
  struct OutputRecord {
    Handle handle = 0;
    std::uint32_t rate = 0;
    bool closed = false;    // its handle was closed
    bool released = false;  // its device was let go, after the last play ended
    std::vector<WriteRecord> writes;
  };
  struct InputRecord {
    Handle handle = 0;
    std::uint32_t rate = 0;
    bool started = false;  // ever started
    bool stopped = false;  // ever stopped (a reset stops too)
    bool closed = false;
    std::uint64_t captured = 0;  // bytes captured since the open
  };
  // Byte n captured since an input's open.
  using Source = std::function<std::uint8_t(std::uint64_t n)>;

  VirtualDevice();
  // Forgets the streams this device opened and uninstalls it if installed.
  ~VirtualDevice();
  VirtualDevice(const VirtualDevice&) = delete;
  VirtualDevice& operator=(const VirtualDevice&) = delete;

  static const DeviceOps& Ops();
  // Makes later opens use this device.
  void Install();

  // Moves the clock on. A started input has captured floor(t * rate / 1e6)
  // bytes after running for t microseconds in all, and an output plays its
  // queued writes back to back at its rate in the same way, reading each
  // byte from the snapshot as it plays it. A write that follows a play of
  // another output starts the moment that play's last byte has played:
  // sound here is heard as it plays.
  void Advance(std::chrono::microseconds duration);
  // Advances by the time `bytes` bytes take at `rate`, rounded up to whole
  // microseconds: exactly `bytes` more for streams at a rate that divides
  // 1,000,000 (such as 8,000), at most one more for others.
  void AdvanceBytes(std::uint64_t bytes, std::uint32_t rate = 8000);
  // Advances just far enough for every queued play to finish.
  void FinishPlays();
  std::chrono::microseconds Now() const { return std::chrono::microseconds(now_us_); }

  // Sets what inputs capture; an empty function restores NumberedByte.
  void SetSource(Source source);
  // The default capture: 1 + n mod 251. Never 0, so it stands out from a
  // cleared store, and its period is prime, so a byte lost or repeated
  // anywhere shows.
  static std::uint8_t NumberedByte(std::uint64_t n);

  // Inputs hand over whole periods of `bytes` only, as a real capture does,
  // and a stop reads out the part period captured before it. 0 (the default)
  // hands over every byte as soon as it is captured.
  void SetCapturePeriod(std::uint32_t bytes) { capture_period_ = bytes; }

  // Rates accepted by opens, inclusive (1 to kMaxRate unless set).
  void SetRateRange(std::uint32_t min_rate, std::uint32_t max_rate);
  // Devices per direction (1 each unless set).
  void SetDeviceCounts(std::uint32_t inputs, std::uint32_t outputs);

  // Every stream this device opened, in open order.
  const std::deque<InputRecord>& Inputs() const { return input_records_; }
  const std::deque<OutputRecord>& Outputs() const { return output_records_; }
  const InputRecord* FindInput(Handle handle) const;
  const OutputRecord* FindOutput(Handle handle) const;
  // The rates of every expect_outputs call, in order, and how often the
  // service asked the device to let go of idle devices.
  const std::vector<std::uint32_t>& ExpectedRates() const { return expected_rates_; }
  std::size_t LetGoRequests() const { return let_go_requests_; }
  // Devices held now: opened and not yet let go.
  std::size_t HeldInputs() const { return inputs_.size(); }
  std::size_t HeldOutputs() const { return outputs_.size(); }

 private:
  // A clock-driven byte counter: `bytes` at `since`, then `rate` a second.
  struct Meter {
    std::uint64_t since_us = 0;
    std::uint64_t bytes = 0;
  };
  struct LiveInput {
    InputStream* stream = nullptr;
    InputRecord* record = nullptr;
    bool running = false;
    Meter meter;
  };
  struct LiveOutput {
    OutputStream* stream = nullptr;
    OutputRecord* record = nullptr;
    bool closing = false;
    bool waiting = false;      // its next write waits for the play before it
    std::uint64_t played = 0;  // bytes played since the open
    Meter meter;               // restarted whenever the output was idle or waited
  };

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

  template <class Record, class Live, class StreamType>
  static void Track(std::deque<Record>& records, std::list<Live>& live, StreamType& stream);
  bool SupportsRate(std::uint32_t rate) const;
  std::uint64_t Due(const Meter& meter, std::uint32_t rate) const;
  // Hands over what `input` has captured: whole periods only, unless the
  // stop reads out the rest.
  void Capture(LiveInput& input, bool read_out = false);
  bool PlayOn(LiveOutput& output);
  bool Waits(LiveOutput& output);
  std::uint64_t TimeOf(const LiveOutput& output, std::uint64_t n) const;
  const WriteRecord* FindWrite(std::uint64_t play) const;
  std::uint64_t Unplayed(const OutputRecord& record) const;
  void ReleaseOutput(std::list<LiveOutput>::iterator output);

  std::uint64_t now_us_ = 0;
  Source source_;
  std::uint32_t capture_period_ = 0;
  std::uint32_t min_rate_ = 1;
  std::uint32_t max_rate_ = kMaxRate;
  std::uint32_t input_devices_ = 1;
  std::uint32_t output_devices_ = 1;
  std::deque<InputRecord> input_records_;
  std::deque<OutputRecord> output_records_;
  std::vector<std::uint32_t> expected_rates_;
  std::size_t let_go_requests_ = 0;
  std::list<LiveInput> inputs_;
  std::list<LiveOutput> outputs_;
};

}  // namespace wave_service
