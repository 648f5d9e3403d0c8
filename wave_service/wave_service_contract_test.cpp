// The wave service's contract, run against every device. Each device joins
// through an adapter that installs it and knows how to let time pass on it.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "wave_service/device.h"
#include "wave_service/shared_words.h"
#include "wave_service/virtual/virtual_device.h"
#include "wave_service/wave_service.h"

#ifdef MIRN_WITH_ALSA
#include "tests/alsa_test_config.h"
#include "wave_service/alsa/alsa_device.h"
#endif
#ifdef _WIN32
#include <chrono>
#include <thread>

#include "wave_service/winmm/winmm_device.h"
#endif

namespace ws = wave_service;

namespace {

// The virtual device: what it captures and when is known exactly.
class VirtualAdapter {
 public:
  // Nothing is captured or played but in Capture and FinishPlays, and there
  // exactly as much as asked.
  static constexpr bool kPaced = true;
  // What an input captures is known: byte n is Captured(n).
  static constexpr bool kKnownCapture = true;
  VirtualAdapter() { device_.Install(); }
  // Lets a started 8,000/s input capture `bytes` more bytes (where not
  // kPaced, at least that many).
  void Capture(std::uint32_t bytes) { device_.AdvanceBytes(bytes); }
  // Returns once every queued play has finished.
  void FinishPlays() { device_.FinishPlays(); }
  // Byte n an input captures.
  static std::uint8_t Captured(std::uint64_t n) { return ws::VirtualDevice::NumberedByte(n); }
  // Returns once the device holds no device for any stream.
  void LetGo() {
    device_.FinishPlays();
    EXPECT_EQ(device_.HeldInputs() + device_.HeldOutputs(), 0u);
  }
  // What the outputs played, each write that played anything, in the order
  // they started.
  static constexpr bool kRecordsPlays = true;
  std::vector<std::vector<std::uint8_t>> Played() const {
    std::vector<const ws::VirtualDevice::WriteRecord*> writes;
    for (const auto& output : device_.Outputs()) {
      for (const auto& write : output.writes) {
        if (!write.played.empty()) writes.push_back(&write);
      }
    }
    std::ranges::stable_sort(writes, {}, &ws::VirtualDevice::WriteRecord::started_us);
    std::vector<std::vector<std::uint8_t>> played;
    for (const auto* write : writes) played.push_back(write->played);
    return played;
  }
  const ws::VirtualDevice& device() const { return device_; }

 private:
  ws::VirtualDevice device_;
};

#ifdef MIRN_WITH_ALSA
// The ALSA device on a file-backed "default": it captures a file of known
// bytes and plays into files, both as fast as they go, between any two calls.
class AlsaAdapter {
 public:
  static constexpr bool kPaced = false;
  static constexpr bool kKnownCapture = true;
  AlsaAdapter() { device_.Install(); }
  void Capture(std::uint32_t bytes) {
    const std::uint64_t target = device_.Captured() + bytes;
    EXPECT_TRUE(mirn::test::WaitFor([&] { return device_.Captured() >= target; }));
  }
  void FinishPlays() {
    EXPECT_TRUE(mirn::test::WaitFor([&] { return !device_.Playing(); }));
  }
  static std::uint8_t Captured(std::uint64_t n) { return mirn::test::AlsaTestConfig::InfileByte(n); }
  void LetGo() {
    EXPECT_TRUE(mirn::test::WaitFor([&] {
      return device_.HeldPcms(ws::Direction::kInput) + device_.HeldPcms(ws::Direction::kOutput) == 0;
    }));
  }
  // What the PCMs played, each into a file of its own (in no order: a kept
  // PCM may play any stream).
  static constexpr bool kRecordsPlays = true;
  std::vector<std::vector<std::uint8_t>> Played() const {
    std::vector<std::vector<std::uint8_t>> played;
    for (const auto& file : config_.StreamFiles()) played.push_back(mirn::test::ReadBytes(file));
    return played;
  }

 private:
  mirn::test::AlsaTestConfig config_;  // before the device: ALSA reads it at the first open
  ws::AlsaDevice device_;
};
#endif

#ifdef _WIN32
// winmm, under Wine on ALSA's file-backed "default" in the tests: sound moves
// as fast as it goes between any two calls, and what Wine captures there is
// not the file's bytes.
class WinmmAdapter {
 public:
  static constexpr bool kPaced = false;
  static constexpr bool kKnownCapture = false;
  WinmmAdapter() { device_.Install(); }
  void Capture(std::uint32_t bytes) {
    const std::uint64_t target = device_.Captured() + bytes;
    EXPECT_TRUE(WaitFor([&] { return device_.Captured() >= target; }));
  }
  void FinishPlays() {
    EXPECT_TRUE(WaitFor([&] { return !device_.Playing(); }));
  }
  static std::uint8_t Captured(std::uint64_t) { return 0; }
  void LetGo() {
    EXPECT_TRUE(WaitFor([&] { return device_.HeldInputs() + device_.HeldOutputs() == 0; }));
  }
  static constexpr bool kRecordsPlays = false;

 private:
  // Looks every millisecond, for at most 30 s: a test fails rather than hangs.
  template <class Done>
  static bool WaitFor(Done done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!done()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
  }
  ws::WinmmDevice device_;
};
#endif

constexpr std::uint32_t kHeaderSize = sizeof(ws::BufferHeader);
constexpr std::uint32_t kPositionSize = sizeof(ws::PositionRecord);
constexpr std::ptrdiff_t kGuard = 64;
constexpr std::uint32_t kLength = 1000;

ws::WaveFormat Pcm(std::uint32_t rate) { return {ws::kFormatPcm, 1, rate, rate, 0, 8, 0}; }

template <class Adapter>
class WaveServiceContract : public ::testing::Test {
 protected:
  // Expects `count` bytes where the device is paced, at least that elsewhere.
  static void ExpectCount(std::uint64_t actual, std::uint64_t count) {
    if constexpr (Adapter::kPaced) {
      EXPECT_EQ(actual, count);
    } else {
      EXPECT_GE(actual, count);
    }
  }

  // Guard bytes either side of the buffer: nothing may write there.
  bool GuardsIntact() const {
    auto zero = [](std::uint8_t b) { return b == 0; };
    return std::all_of(memory.begin(), memory.begin() + kGuard, zero) &&
           std::all_of(memory.end() - kGuard, memory.end(), zero);
  }

  ws::Handle Open(bool input, std::uint32_t rate = 8000) {
    const ws::WaveFormat format = Pcm(rate);
    ws::Handle handle = 0;
    EXPECT_EQ((input ? ws::InputOpen : ws::OutputOpen)(&handle, ws::kAnyDevice, &format, 0, 0, 0),
              ws::kOk);
    return handle;
  }

  // An input recording into `header`: opened, prepared, queued and started.
  ws::Handle StartRecording() {
    const ws::Handle in = Open(true);
    EXPECT_EQ(ws::InputPrepareHeader(in, &header, kHeaderSize), ws::kOk);
    EXPECT_EQ(ws::InputAddBuffer(in, &header, kHeaderSize), ws::kOk);
    EXPECT_EQ(ws::InputStart(in), ws::kOk);
    return in;
  }

  ws::Handle Play(std::uint32_t rate = 8000) {
    const ws::Handle out = Open(false, rate);
    EXPECT_EQ(ws::OutputPrepareHeader(out, &header, kHeaderSize), ws::kOk);
    EXPECT_EQ(ws::OutputWrite(out, &header, kHeaderSize), ws::kOk);
    return out;
  }

  std::uint32_t Position(ws::Handle in) {
    ws::PositionRecord position{ws::kTimeBytes, 0, 0};
    EXPECT_EQ(ws::InputGetPosition(in, &position, kPositionSize), ws::kOk);
    return position.bytes;
  }

  // The header words a device thread may write, read and written as the
  // library does.
  std::uint32_t Recorded() { return ws::LoadShared(header.bytes_recorded); }
  std::uint32_t Flags() { return ws::LoadShared(header.flags); }
  void Rewrite(std::uint8_t* data, std::uint32_t length) {
    header.data = data;
    header.buffer_length = length;
    ws::StoreShared(header.bytes_recorded, 0);
    ws::StoreShared(header.flags, 0);
  }

  std::vector<std::uint8_t> memory = std::vector<std::uint8_t>(kGuard + 2 * kLength + kGuard, 0);
  std::uint8_t* const buffer = memory.data() + kGuard;
  ws::BufferHeader header{buffer, kLength, 0, 0, 0, {}};
  Adapter device;  // last: gone before the memory its streams may use
};

#ifdef MIRN_WITH_ALSA
using Devices = ::testing::Types<VirtualAdapter, AlsaAdapter>;
#elif defined(_WIN32)
using Devices = ::testing::Types<VirtualAdapter, WinmmAdapter>;
#else
using Devices = ::testing::Types<VirtualAdapter>;
#endif
TYPED_TEST_SUITE(WaveServiceContract, Devices);

TYPED_TEST(WaveServiceContract, HandlesAreDistinctPerDirectionAndDeadOnceClosed) {
  const ws::Handle in = this->Open(true);
  const ws::Handle out = this->Open(false);
  EXPECT_NE(in, 0u);
  EXPECT_NE(out, 0u);
  EXPECT_NE(in, out);
  EXPECT_EQ(ws::OutputClose(in), ws::kInvalidHandle);  // never valid in the other direction
  EXPECT_EQ(ws::InputClose(out), ws::kInvalidHandle);
  ASSERT_EQ(ws::InputClose(in), ws::kOk);
  ASSERT_EQ(ws::OutputClose(out), ws::kOk);
  EXPECT_NE(this->Open(true), in);  // never reused

  ws::PositionRecord position{ws::kTimeBytes, 77, 0};
  for (ws::Handle dead : {ws::Handle{0}, in}) {
    EXPECT_EQ(ws::InputStop(dead), ws::kInvalidHandle);
    EXPECT_EQ(ws::InputStop(dead), ws::kInvalidHandle);
    EXPECT_EQ(ws::InputPrepareHeader(dead, &this->header, kHeaderSize), ws::kInvalidHandle);
    EXPECT_EQ(ws::InputGetPosition(dead, &position, kPositionSize), ws::kInvalidHandle);
    EXPECT_EQ(ws::InputClose(dead), ws::kInvalidHandle);
  }
  EXPECT_EQ(ws::OutputPrepareHeader(out, &this->header, kHeaderSize), ws::kInvalidHandle);
  EXPECT_EQ(ws::OutputWrite(out, &this->header, kHeaderSize), ws::kInvalidHandle);
  EXPECT_EQ(ws::OutputClose(out), ws::kInvalidHandle);
  EXPECT_EQ(position.bytes, 77u);
  EXPECT_EQ(this->header.flags, 0u);
}

TYPED_TEST(WaveServiceContract, OpensCheckDeviceArgumentsAndFormat) {
  auto pcm = [](auto change) {
    ws::WaveFormat format = Pcm(8000);
    change(format);
    return format;
  };
  const std::pair<ws::WaveFormat, ws::Result> formats[] = {
      {pcm([](auto& f) {
         f.block_align = 1;
         f.extra_size = 0xFFFF;
       }),
       ws::kOk},
      {pcm([](auto& f) { f.format_tag = 0; }), ws::kBadFormat},
      {pcm([](auto& f) { f.channels = 2; }), ws::kBadFormat},
      {pcm([](auto& f) { f.bits_per_sample = 16; }), ws::kBadFormat},
      {pcm([](auto& f) { f.samples_per_second = 0; }), ws::kBadFormat},
      {pcm([](auto& f) { f.samples_per_second = 0x80000000u; }), ws::kBadFormat},  // -2^31
      {pcm([](auto& f) { f.samples_per_second = ws::kMaxRate + 1; }), ws::kBadFormat},
  };
  const ws::WaveFormat good = Pcm(8000);
  for (auto open : {&ws::InputOpen, &ws::OutputOpen}) {
    for (const auto& [format, expected] : formats) {
      ws::Handle handle = 12345;
      EXPECT_EQ(open(&handle, 0, &format, 0, 0, ws::kFormatQuery), expected);
      EXPECT_EQ(handle, 12345u) << "a query never writes the handle";
      EXPECT_EQ(open(&handle, ws::kAnyDevice, &format, 0, 0, 0), expected);
      EXPECT_EQ(handle != 12345u, expected == ws::kOk);
    }
    ws::Handle handle = 0;
    EXPECT_EQ(open(&handle, 0, &good, 0, 0, 0), ws::kOk);
    EXPECT_EQ(open(&handle, 0x7FFF, &good, 0, 0, 0), ws::kBadDeviceId);
    EXPECT_EQ(open(nullptr, 0, &good, 0, 0, 0), ws::kInvalidParam);
    EXPECT_EQ(open(&handle, 0, nullptr, 0, 0, 0), ws::kInvalidParam);
    EXPECT_EQ(open(&handle, 0, &good, 0x1234, 0, 0), ws::kInvalidParam);  // no notifications
  }
}

TYPED_TEST(WaveServiceContract, HeadersMustBePreparedAndWhole) {
  const ws::Handle in = this->Open(true);
  const ws::Handle out = this->Open(false);
  ws::BufferHeader& h = this->header;
  ws::PositionRecord position{};
  EXPECT_EQ(ws::InputAddBuffer(in, &h, kHeaderSize), ws::kUnprepared);
  EXPECT_EQ(ws::OutputWrite(out, &h, kHeaderSize), ws::kUnprepared);
  EXPECT_EQ(ws::InputPrepareHeader(in, &h, kHeaderSize - 1), ws::kInvalidParam);
  EXPECT_EQ(ws::OutputPrepareHeader(out, nullptr, kHeaderSize), ws::kInvalidParam);
  EXPECT_EQ(ws::InputGetPosition(in, &position, kPositionSize - 1), ws::kInvalidParam);
  EXPECT_EQ(ws::InputGetPosition(in, nullptr, kPositionSize), ws::kInvalidParam);
  EXPECT_EQ(h.flags, 0u);

  ASSERT_EQ(ws::InputPrepareHeader(in, &h, kHeaderSize), ws::kOk);
  ASSERT_EQ(ws::OutputPrepareHeader(out, &h, kHeaderSize), ws::kOk);  // again: no change
  EXPECT_EQ(h.flags, ws::kPrepared);
  EXPECT_EQ(h.data, this->buffer);
  EXPECT_EQ(h.buffer_length, kLength);
  EXPECT_EQ(ws::InputAddBuffer(in, &h, kHeaderSize - 1), ws::kInvalidParam);
  EXPECT_EQ(ws::OutputWrite(out, &h, 0), ws::kInvalidParam);
  EXPECT_EQ(h.flags, ws::kPrepared);

  h.bytes_recorded = 99;
  ASSERT_EQ(ws::InputAddBuffer(in, &h, kHeaderSize), ws::kOk);
  EXPECT_EQ(h.bytes_recorded, 0u);
  EXPECT_EQ(h.flags, ws::kPrepared | ws::kInQueue);
  EXPECT_EQ(ws::InputAddBuffer(in, &h, kHeaderSize), ws::kStillPlaying);  // one range, once
}

TYPED_TEST(WaveServiceContract, RecordingFillsOnlyTheQueuedBufferWhileThePositionRunsOn) {
  const ws::Handle in = this->StartRecording();
  this->device.Capture(600);
  this->ExpectCount(this->Recorded(), 600);
  if constexpr (TypeParam::kPaced) {
    EXPECT_EQ(this->Flags() & ws::kDone, 0u);
  }

  this->device.Capture(2 * kLength);  // well past the end of the buffer
  EXPECT_EQ(this->Recorded(), kLength);
  EXPECT_EQ(this->Flags(), ws::kPrepared | ws::kDone);
  this->ExpectCount(this->Position(in), 600 + 2 * kLength);
  EXPECT_TRUE(this->GuardsIntact());
  EXPECT_EQ(this->buffer[kLength], 0) << "nothing stored past the buffer";
  if constexpr (TypeParam::kKnownCapture) {
    for (std::uint32_t n = 0; n < kLength; ++n) {
      ASSERT_EQ(this->buffer[n], TypeParam::Captured(n)) << "byte " << n;
    }
  }
}

TYPED_TEST(WaveServiceContract, StopFinishesTheBufferAndKeepsThePositionResetClearsIt) {
  const ws::Handle in = this->StartRecording();
  this->device.Capture(300);
  if constexpr (TypeParam::kPaced) {
    // Still recording into it: neither unprepare nor close may go ahead.
    EXPECT_EQ(ws::InputUnprepareHeader(in, &this->header, kHeaderSize), ws::kStillPlaying);
    EXPECT_EQ(ws::InputClose(in), ws::kStillPlaying);
    EXPECT_EQ(this->Flags(), ws::kPrepared | ws::kInQueue);
  }

  ASSERT_EQ(ws::InputStop(in), ws::kOk);
  const std::uint32_t stored = this->Recorded();
  this->ExpectCount(stored, 300);
  EXPECT_EQ(this->Flags(), ws::kPrepared | ws::kDone);
  if constexpr (TypeParam::kPaced) this->device.Capture(300);  // stopped: nothing more arrives
  EXPECT_EQ(this->Recorded(), stored);
  ws::PositionRecord position{1, 0, 0};  // asked in another format: answered in bytes
  ASSERT_EQ(ws::InputGetPosition(in, &position, kPositionSize), ws::kOk);
  EXPECT_EQ(position.time_format, ws::kTimeBytes);
  this->ExpectCount(position.bytes, stored);
  EXPECT_EQ(this->Position(in), position.bytes) << "a stopped input's position stands still";

  EXPECT_EQ(ws::InputReset(in), ws::kOk);
  EXPECT_EQ(this->Position(in), 0u);
  EXPECT_EQ(ws::InputUnprepareHeader(in, &this->header, kHeaderSize), ws::kOk);
  EXPECT_EQ(this->Flags(), ws::kDone);
  EXPECT_EQ(ws::InputClose(in), ws::kOk);
  EXPECT_EQ(ws::Counts().inputs, 0u);
  EXPECT_EQ(ws::Counts().headers, 0u);
}

TYPED_TEST(WaveServiceContract, AQueuedBufferIsASnapshotWhateverTheHeaderHoldsLater) {
  const ws::Handle in = this->StartRecording();
  this->device.Capture(200);
  // Cleared whole, then pointed at other memory with a larger length, as a
  // restart or a load does while the input still runs.
  std::vector<std::uint8_t> elsewhere(4 * kLength, 0);
  this->Rewrite(elsewhere.data(), 4 * kLength);
  this->device.Capture(3 * kLength);
  EXPECT_TRUE(std::ranges::all_of(elsewhere, [](std::uint8_t b) { return b == 0; }));
  EXPECT_TRUE(this->GuardsIntact());
  if constexpr (TypeParam::kPaced) {  // else the buffer may have been full before the clear
    EXPECT_EQ(this->Recorded(), kLength);
    EXPECT_EQ(this->Flags(), ws::kDone) << "its use was counted outside the cleared words";
  }
  EXPECT_EQ(ws::InputClose(in), ws::kOk);
  EXPECT_EQ(ws::Counts().headers, 0u);
}

TYPED_TEST(WaveServiceContract, EmptyBuffersCompleteAtOnce) {
  const ws::Handle in = this->Open(true);
  const ws::Handle out = this->Open(false);
  ws::BufferHeader no_data{nullptr, kLength, 0, 0, ws::kPrepared, {}};
  ws::BufferHeader no_length{this->buffer, 0, 0, 0, ws::kPrepared, {}};
  for (ws::BufferHeader* h : {&no_data, &no_length}) {
    ASSERT_EQ(ws::InputAddBuffer(in, h, kHeaderSize), ws::kOk);
    EXPECT_EQ(h->flags, ws::kPrepared | ws::kDone);
    ASSERT_EQ(ws::OutputWrite(out, h, kHeaderSize), ws::kOk);
    EXPECT_EQ(h->flags, ws::kPrepared | ws::kDone);
  }
  EXPECT_EQ(ws::InputStart(in), ws::kOk);
  this->device.Capture(100);
  EXPECT_EQ(no_data.bytes_recorded, 0u);
  EXPECT_TRUE(this->GuardsIntact());
  EXPECT_EQ(this->buffer[0], 0);
  EXPECT_EQ(ws::InputClose(in), ws::kOk);
}

TYPED_TEST(WaveServiceContract, OneHeaderPlaysOnManyStreamsAndIsDoneWhenTheLastEnds) {
  // Played while still recording into it, twice over, as a play during a
  // recording does.
  const ws::Handle in = this->StartRecording();
  this->device.Capture(100);
  const ws::Handle first = this->Play();
  EXPECT_EQ(this->header.data, this->buffer);
  EXPECT_EQ(this->header.buffer_length, kLength);
  EXPECT_EQ(ws::OutputClose(first), ws::kOk);  // does not cut the play
  EXPECT_EQ(ws::OutputWrite(first, &this->header, kHeaderSize), ws::kInvalidHandle);
  const ws::Handle second = this->Play();

  ASSERT_EQ(ws::InputReset(in), ws::kOk);
  EXPECT_EQ(ws::InputUnprepareHeader(in, &this->header, kHeaderSize), ws::kOk);
  EXPECT_EQ(ws::InputClose(in), ws::kOk);
  if constexpr (TypeParam::kPaced) {
    EXPECT_EQ(this->Flags() & (ws::kInQueue | ws::kDone), ws::kInQueue) << "still playing";
  }
  this->device.FinishPlays();
  EXPECT_EQ(this->Flags() & (ws::kInQueue | ws::kDone), ws::kDone);
  EXPECT_EQ(ws::Counts().outputs, 1u) << "only the open one is left";
  EXPECT_EQ(ws::OutputClose(second), ws::kOk);
  if constexpr (!TypeParam::kPaced) this->device.FinishPlays();  // lets go once drained
  EXPECT_EQ(ws::Counts().outputs, 0u);

  // The other way round: a recording starts on a header still playing. At
  // twice the rate the play ends before the recording fills the buffer.
  EXPECT_EQ(ws::OutputClose(this->Play(16000)), ws::kOk);
  ws::StoreShared(this->header.flags, 0);  // a restart's clear
  const ws::Handle again = this->StartRecording();
  this->device.FinishPlays();
  if constexpr (TypeParam::kPaced) {
    EXPECT_EQ(this->Flags() & ws::kInQueue, ws::kInQueue) << "the input still uses it";
  }
  ASSERT_EQ(ws::InputStop(again), ws::kOk);
  EXPECT_EQ(this->Flags() & (ws::kInQueue | ws::kDone), ws::kDone);
}

TYPED_TEST(WaveServiceContract, ManyPlaysLeakNothing) {
  for (int i = 0; i < 50; ++i) EXPECT_EQ(ws::OutputClose(this->Play()), ws::kOk);
  if constexpr (TypeParam::kPaced) {
    EXPECT_EQ(ws::Counts().outputs, 50u) << "closed, still playing";
  }
  this->device.FinishPlays();
  EXPECT_EQ(ws::Counts().outputs, 0u);
  EXPECT_EQ(ws::Counts().headers, 0u);
  EXPECT_EQ(this->Flags(), ws::kPrepared | ws::kDone);
}

// ---------------------------------------------------------------------------
// One sound at a time, and memory that goes away.
// ---------------------------------------------------------------------------

TYPED_TEST(WaveServiceContract, OneCallsPassesPlayInTurnAndTheSamePassIsHeardOnce) {
  for (std::uint32_t n = 0; n < kLength; ++n) this->buffer[n] = static_cast<std::uint8_t>(1 + n % 251);
  std::vector<std::uint8_t> other(kLength / 2, 0x5A);
  ws::BufferHeader second{other.data(), kLength / 2, 0, 0, 0, {}};
  const std::uint32_t rates[] = {8000, 8000, 8000};
  ws::BeginCall(rates, 3);
  EXPECT_EQ(ws::OutputClose(this->Play()), ws::kOk);
  EXPECT_EQ(ws::OutputClose(this->Play()), ws::kOk);  // the same bytes again: that play
  const ws::Handle last = this->Open(false);
  ASSERT_EQ(ws::OutputPrepareHeader(last, &second, kHeaderSize), ws::kOk);
  ASSERT_EQ(ws::OutputWrite(last, &second, kHeaderSize), ws::kOk);
  EXPECT_EQ(ws::OutputClose(last), ws::kOk);
  this->device.FinishPlays();
  EXPECT_EQ(this->Flags(), ws::kPrepared | ws::kDone);
  EXPECT_EQ(second.flags, ws::kPrepared | ws::kDone);
  if constexpr (TypeParam::kRecordsPlays) {
    const std::vector<std::uint8_t> first(this->buffer, this->buffer + kLength);
    auto played = this->device.Played();
    if constexpr (!TypeParam::kPaced) std::ranges::sort(played);
    auto heard = std::vector{first, other};
    if constexpr (!TypeParam::kPaced) std::ranges::sort(heard);
    EXPECT_EQ(played, heard) << "each once, whole";
  }
  if constexpr (TypeParam::kPaced) {
    const auto& outputs = this->device.device().Outputs();
    EXPECT_EQ(outputs[2].writes[0].started_us, outputs[0].writes[0].ended_us) << "in turn";
  }
}

TYPED_TEST(WaveServiceContract, ALaterCallCutsWhatEarlierOnesStillPlay) {
  std::vector<std::uint8_t> other(kLength, 0x5A);
  ws::BufferHeader second{other.data(), kLength, 0, 0, 0, {}};
  const std::uint32_t slow[] = {4000};
  ws::BeginCall(slow, 1);
  const ws::Handle first = this->Play(4000);  // a quarter of a second
  if constexpr (TypeParam::kPaced) this->device.Capture(100);  // time passes: a little plays
  const std::uint32_t rates[] = {8000};
  ws::BeginCall(rates, 1);
  const ws::Handle next = this->Open(false);
  ASSERT_EQ(ws::OutputPrepareHeader(next, &second, kHeaderSize), ws::kOk);
  ASSERT_EQ(ws::OutputWrite(next, &second, kHeaderSize), ws::kOk);
  EXPECT_EQ(this->Flags() & (ws::kInQueue | ws::kDone), ws::kDone) << "dropped at once";
  this->device.FinishPlays();
  EXPECT_EQ(second.flags, ws::kPrepared | ws::kDone);
  EXPECT_EQ(ws::OutputClose(first), ws::kOk);
  EXPECT_EQ(ws::OutputClose(next), ws::kOk);
  if constexpr (TypeParam::kPaced) {
    const auto& cut = this->device.device().Outputs()[0].writes[0];
    EXPECT_TRUE(cut.cut);
    EXPECT_LT(cut.played.size(), kLength);
    EXPECT_EQ(this->device.Played().back(), other) << "played whole";
  }
  this->device.LetGo();
  EXPECT_EQ(ws::Counts().outputs, 0u);
  EXPECT_EQ(ws::Counts().headers, 0u);
}

TYPED_TEST(WaveServiceContract, DetachedMemoryIsNeverTouchedAgainAndItsStreamsEnd) {
  // A library's state: the handles, the header and the samples in one block.
  struct State {
    ws::Handle input = 0;
    ws::Handle output = 0;
    ws::BufferHeader header{};
    std::uint8_t samples[kLength]{};
  };
  auto state = std::make_unique<State>();
  state->header = {state->samples, kLength, 0, 0, 0, {}};
  const ws::WaveFormat format = Pcm(8000);
  ASSERT_EQ(ws::InputOpen(&state->input, ws::kAnyDevice, &format, 0, 0, 0), ws::kOk);
  ASSERT_EQ(ws::InputPrepareHeader(state->input, &state->header, kHeaderSize), ws::kOk);
  ASSERT_EQ(ws::InputAddBuffer(state->input, &state->header, kHeaderSize), ws::kOk);
  ASSERT_EQ(ws::InputStart(state->input), ws::kOk);
  this->device.Capture(100);
  ASSERT_EQ(ws::OutputOpen(&state->output, ws::kAnyDevice, &format, 0, 0, 0), ws::kOk);
  ASSERT_EQ(ws::OutputPrepareHeader(state->output, &state->header, kHeaderSize), ws::kOk);
  ASSERT_EQ(ws::OutputWrite(state->output, &state->header, kHeaderSize), ws::kOk);

  ws::DetachMemory(state.get(), sizeof *state);
  const State handles = *state;
  // As memory handed on to something else.
  std::fill_n(reinterpret_cast<std::uint8_t*>(state.get()), sizeof *state, std::uint8_t{0xEE});
  this->device.LetGo();
  EXPECT_TRUE(std::all_of(reinterpret_cast<const std::uint8_t*>(state.get()),
                          reinterpret_cast<const std::uint8_t*>(state.get() + 1),
                          [](std::uint8_t b) { return b == 0xEE; }));
  EXPECT_EQ(ws::InputClose(handles.input), ws::kInvalidHandle);
  EXPECT_EQ(ws::OutputClose(handles.output), ws::kInvalidHandle);
  EXPECT_EQ(ws::Counts().inputs + ws::Counts().outputs + ws::Counts().headers, 0u);
}

}  // namespace
