// The winmm device under winmm's faults, made through its table of calls,
// under Wine on ALSA's file-backed "default": each row of its recovery policy,
// host calls while a winmm call is held up, a device that never comes back,
// and the device the environment names.
#include <gtest/gtest.h>
#include <windows.h>
#include <mmsystem.h>

#include <cctype>
#include <climits>
#include <cstdlib>
#include <optional>
#include <ostream>
#include <string>

#include "wave_service/device.h"
#include "wave_service/winmm/winmm_device.h"
#include "wave_service/winmm/winmm_faults.h"
#include "wave_service/winmm/winmm_test_streams.h"

namespace {

namespace ws = wave_service;
namespace wt = wave_service::test;
using wt::Bytes;
using wt::WaitFor;

// The last successful open with a callback in one direction: the device id
// asked for, and what lets a test send winmm's messages itself.
struct Opened {
  std::atomic<UINT> id{0};
  std::atomic<HANDLE> handle{nullptr};
  std::atomic<DWORD_PTR> callback{0};
  std::atomic<DWORD_PTR> instance{0};

  void Send(UINT message) const {
    using Callback = void(CALLBACK*)(HANDLE, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR);
    reinterpret_cast<Callback>(callback.load())(handle.load(), message, instance.load(), 0, 0);
  }
};
Opened g_input;
Opened g_output;

template <auto Entry, Opened& seen, class Device>
MMRESULT WINAPI SpyOpen(Device* device, UINT id, LPCWAVEFORMATEX format, DWORD_PTR callback,
                        DWORD_PTR instance, DWORD flags) {
  using Counted = wt::Hooked<Entry, std::remove_reference_t<decltype(ws::Winmm().*Entry)>>;
  const MMRESULT result = Counted::Call(device, id, format, callback, instance, flags);
  if (result == MMSYSERR_NOERROR && (flags & CALLBACK_FUNCTION) != 0) {
    seen.id = id;
    seen.handle = reinterpret_cast<HANDLE>(*device);
    seen.instance = instance;
    seen.callback = callback;
  }
  return result;
}

// The third waveOutWrite from now: winmm closes the device just before it.
std::atomic<long> g_writes_to_close{LONG_MAX};
MMRESULT WINAPI CloseBeforeAWrite(HWAVEOUT device, LPWAVEHDR header, UINT size) {
  if (--g_writes_to_close == 0) g_output.Send(WOM_CLOSE);
  return wt::Hooked<&ws::WinmmCalls::waveOutWrite, decltype(&::waveOutWrite)>::Call(device, header,
                                                                                    size);
}

void SetVariable(const char* name, const std::string& value) { _putenv_s(name, value.c_str()); }

class WinmmRecovery : public ::testing::Test {
 protected:
  void SetUp() override {
    streams_.SetUp();
    if (HasFatalFailure()) return;
    input_opens_ = &wt::Hook<&ws::WinmmCalls::waveInOpen>();
    output_opens_ = &wt::Hook<&ws::WinmmCalls::waveOutOpen>();
    ws::Winmm().waveInOpen = &SpyOpen<&ws::WinmmCalls::waveInOpen, g_input, HWAVEIN>;
    ws::Winmm().waveOutOpen = &SpyOpen<&ws::WinmmCalls::waveOutOpen, g_output, HWAVEOUT>;
    device_.emplace();
    device_->Install();
  }
  void TearDown() override {
    device_.reset();
    wt::Restore();
  }

  // An 8,000/s input recording into `header_`, opened as the library opens it.
  ws::Handle Record() {
    ws::Handle in = 0;
    EXPECT_EQ(ws::InputOpen(&in, ws::kAnyDevice, &kFormat, 0, 0, 0), ws::kOk);
    EXPECT_EQ(ws::InputPrepareHeader(in, &header_, sizeof header_), ws::kOk);
    EXPECT_EQ(ws::InputAddBuffer(in, &header_, sizeof header_), ws::kOk);
    EXPECT_EQ(ws::InputStart(in), ws::kOk);
    EXPECT_TRUE(WaitFor([&] { return device_->Captured() > 0; }));
    return in;
  }
  std::uint32_t Position(ws::Handle in) {
    ws::PositionRecord position{ws::kTimeBytes, 0, 0};
    EXPECT_EQ(ws::InputGetPosition(in, &position, sizeof position), ws::kOk);
    return position.bytes;
  }
  // Waits until capture has gone on by `bytes`.
  bool CaptureGoesOn(std::uint64_t bytes) {
    const std::uint64_t from = device_->Captured();
    return WaitFor([&] { return device_->Captured() >= from + bytes; });
  }

  // Plays `play_` on an output of its own, closes it and waits until it has
  // played out and let go of winmm.
  void PlayToTheEnd() {
    ws::Handle out = 0;
    ws::BufferHeader header{play_.data(), static_cast<std::uint32_t>(play_.size()), 0, 0, 0, {}};
    ASSERT_EQ(ws::OutputOpen(&out, ws::kAnyDevice, &kFormat, 0, 0, 0), ws::kOk);
    ASSERT_EQ(ws::OutputPrepareHeader(out, &header, sizeof header), ws::kOk);
    ASSERT_EQ(ws::OutputWrite(out, &header, sizeof header), ws::kOk);
    ASSERT_EQ(ws::OutputClose(out), ws::kOk);
    EXPECT_TRUE(WaitFor([&] { return ws::Counts().outputs == 0 && device_->HeldOutputs() == 0; }));
  }
  // Every byte of the play reached ALSA, in order, over however many streams.
  ::testing::AssertionResult EveryBytePlayed() {
    Bytes joined;
    for (const Bytes& stream : streams_.Played()) joined.insert(joined.end(), stream.begin(), stream.end());
    std::size_t matched = 0;
    for (std::uint8_t byte : joined) {
      if (matched < play_.size() && byte == play_[matched]) ++matched;
    }
    if (matched == play_.size()) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "only " << matched << " of the play's " << play_.size()
                                         << " bytes in " << joined.size() << " played";
  }

  static constexpr ws::WaveFormat kFormat{ws::kFormatPcm, 1, 8000, 8000, 0, 8, 0};
  wt::PlayedStreams streams_;
  wt::CallFault* input_opens_ = nullptr;
  wt::CallFault* output_opens_ = nullptr;
  Bytes store_ = Bytes(1'000'000, 0);
  ws::BufferHeader header_{store_.data(), static_cast<std::uint32_t>(store_.size()), 0, 0, 0, {}};
  Bytes play_ = [] {
    Bytes play(8000);
    for (std::size_t i = 0; i < play.size(); ++i) play[i] = static_cast<std::uint8_t>(i * 7 + 3);
    return play;
  }();
  std::optional<ws::WinmmDevice> device_;  // last: gone before the memory its streams use
};

// MMSYSERR_NOMEM: the refused header is queued again after a backoff, on the
// same device, even when every header has been refused in turn.
TEST_F(WinmmRecovery, ARefusedInputHeaderIsQueuedAgainOnTheSameDevice) {
  wt::CallFault& adds = wt::Hook<&ws::WinmmCalls::waveInAddBuffer>();
  const ws::Handle in = Record();
  adds.Fail(MMSYSERR_NOMEM, 5);  // longer than the ring lasts
  const long refused = adds.calls + 5;
  EXPECT_TRUE(WaitFor([&] { return adds.calls > refused; }));
  EXPECT_TRUE(CaptureGoesOn(8000));
  EXPECT_EQ(input_opens_->calls, 1) << "no reopen";
  EXPECT_EQ(ws::InputStop(in), ws::kOk);
  EXPECT_EQ(ws::InputClose(in), ws::kOk);
}

TEST_F(WinmmRecovery, ARefusedOutputBufferIsWrittenAgainAndPlaysOnce) {
  wt::CallFault& writes = wt::Hook<&ws::WinmmCalls::waveOutWrite>();
  writes.Fail(MMSYSERR_NOMEM, 3, 2);
  PlayToTheEnd();
  EXPECT_EQ(output_opens_->calls, 1) << "no reopen";
  const std::vector<Bytes> played = streams_.Played();
  ASSERT_EQ(played.size(), 1u);
  EXPECT_TRUE(wt::PlaysAs(played[0], play_));
}

// The ways a device goes away: a header refused with a code that means it, or
// winmm closing the device on its own.
struct Loss {
  const char* name;
  UINT code;  // 0: WIM_CLOSE or WOM_CLOSE
  friend void PrintTo(const Loss& loss, std::ostream* out) { *out << loss.name; }
};
const Loss kLosses[] = {{"NoDriver", MMSYSERR_NODRIVER},
                        {"BadDeviceId", MMSYSERR_BADDEVICEID},
                        {"DeviceError", MMSYSERR_ERROR},
                        {"ClosedByWinmm", 0}};

class WinmmDeviceLoss : public WinmmRecovery, public ::testing::WithParamInterface<Loss> {};
INSTANTIATE_TEST_SUITE_P(Losses, WinmmDeviceLoss, ::testing::ValuesIn(kLosses),
                         [](const auto& info) { return std::string(info.param.name); });

// The device is closed and opened again, each attempt a backoff after the
// last failed one, and the time it was away is in the recording as silence.
TEST_P(WinmmDeviceLoss, ARecordingGoesOnWhenTheDeviceIsBackWithTheTimeLostAsSilence) {
  wt::Clock::Install();  // stands still but where the test moves it
  wt::CallFault& adds = wt::Hook<&ws::WinmmCalls::waveInAddBuffer>();
  wt::CallFault& closes = wt::Hook<&ws::WinmmCalls::waveInClose>();
  wt::CallFault& starts = wt::Hook<&ws::WinmmCalls::waveInStart>();
  const ws::Handle in = Record();
  input_opens_->Fail(MMSYSERR_NODRIVER, 2);  // away for the first two attempts
  starts.Hold();  // the device is back but captures nothing yet
  if (GetParam().code != 0) {
    adds.Fail(GetParam().code);
  } else {
    g_input.Send(WIM_CLOSE);
  }
  ASSERT_TRUE(WaitFor([&] { return closes.calls >= 1; })) << "the device is given up";
  for (long opens = 2; opens <= 4; ++opens) {
    wt::Clock::Advance(10'000);
    ASSERT_TRUE(WaitFor([&] { return input_opens_->calls >= opens; })) << "attempt " << opens;
  }
  // Thirty seconds on the device's clock since the start: the recording
  // holds them, silence where the device was away.
  ASSERT_TRUE(WaitFor([&] { return starts.held == 1; }));
  EXPECT_EQ(Position(in), 240'000u);
  starts.Release();
  EXPECT_TRUE(CaptureGoesOn(1000));
  EXPECT_EQ(ws::InputStop(in), ws::kOk);
  EXPECT_EQ(ws::InputClose(in), ws::kOk);
}

// Plays go on with the bytes the device had not played, once it is back
// (here at the second attempt).
TEST_P(WinmmDeviceLoss, APlayGoesOnWhenTheDeviceIsBackWithEveryByte) {
  output_opens_->Fail(MMSYSERR_NODRIVER, 1, 2);
  wt::CallFault& writes = wt::Hook<&ws::WinmmCalls::waveOutWrite>();
  if (GetParam().code != 0) {
    writes.Fail(GetParam().code, 1, 3);
  } else {
    g_writes_to_close = 3;
    ws::Winmm().waveOutWrite = &CloseBeforeAWrite;
  }
  PlayToTheEnd();
  EXPECT_EQ(output_opens_->calls, 3);
  EXPECT_TRUE(EveryBytePlayed());
}

// Host calls only post to a stream's thread and wait a bounded time: none
// waits for a winmm call that does not return.
TEST_F(WinmmRecovery, HostCallsReturnWhileAWinmmCallIsHeldUp) {
  wt::CallFault& resets = wt::Hook<&ws::WinmmCalls::waveInReset>();
  const ws::Handle in = Record();
  resets.Hold();
  EXPECT_EQ(ws::InputStop(in), ws::kOk);
  Position(in);
  EXPECT_EQ(ws::InputClose(in), ws::kOk);

  // An input's open is its owner's; an output open that gets no answer in
  // time fails, and its owner closes what it opens later.
  input_opens_->Hold();
  ws::Handle again = 0;
  ASSERT_EQ(ws::InputOpen(&again, ws::kAnyDevice, &kFormat, 0, 0, 0), ws::kOk);
  EXPECT_EQ(ws::InputStart(again), ws::kOk);
  EXPECT_EQ(ws::InputStop(again), ws::kOk);
  EXPECT_EQ(ws::InputClose(again), ws::kOk);
  output_opens_->Hold();
  ws::Handle out = 0;
  EXPECT_EQ(ws::OutputOpen(&out, ws::kAnyDevice, &kFormat, 0, 0, 0), ws::kError);
  EXPECT_EQ(out, 0u);

  EXPECT_EQ(resets.held, 1) << "every call returned while winmm's were held";
  EXPECT_TRUE(WaitFor([&] { return input_opens_->held == 1 && output_opens_->held == 1; }));
  resets.Release();
  input_opens_->Release();
  output_opens_->Release();
  EXPECT_TRUE(WaitFor([&] { return device_->HeldInputs() == 0 && device_->HeldOutputs() == 0; }));
}

TEST_F(WinmmRecovery, ADeviceThatNeverComesBackHoldsNoCallUpAndLetsGoAtTheClose) {
  wt::CallFault& adds = wt::Hook<&ws::WinmmCalls::waveInAddBuffer>();
  const ws::Handle in = Record();
  input_opens_->Fail(MMSYSERR_NODRIVER, LONG_MAX);
  adds.Fail(MMSYSERR_NODRIVER);
  EXPECT_TRUE(WaitFor([&] { return input_opens_->calls >= 4; }));
  EXPECT_EQ(ws::InputStop(in), ws::kOk);
  EXPECT_EQ(ws::InputClose(in), ws::kOk);
  EXPECT_TRUE(WaitFor([&] { return device_->HeldInputs() == 0; }));
}

TEST_F(WinmmRecovery, TheEnvironmentNamesTheDeviceByNumberOrName) {
  ws::Handle handle = 0;
  SetVariable("MIRN_PLAYBACK_PCM", "no such device");
  SetVariable("MIRN_CAPTURE_PCM", "99");
  EXPECT_EQ(ws::OutputOpen(&handle, ws::kAnyDevice, &kFormat, 0, 0, 0), ws::kBadDeviceId);
  // An input's open never waits for its device: it records nothing.
  ASSERT_EQ(ws::InputOpen(&handle, ws::kAnyDevice, &kFormat, 0, 0, 0), ws::kOk);
  EXPECT_EQ(ws::InputClose(handle), ws::kOk);
  EXPECT_TRUE(WaitFor([&] { return device_->HeldInputs() == 0; }));
  EXPECT_EQ(input_opens_->calls, 0) << "no winmm device is named so";

  WAVEOUTCAPSA caps{};
  ASSERT_EQ(waveOutGetDevCapsA(0, &caps, sizeof caps), MMSYSERR_NOERROR);
  std::string name = caps.szPname;
  for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  SetVariable("MIRN_PLAYBACK_PCM", name);
  SetVariable("MIRN_CAPTURE_PCM", "");
  SetVariable("MIRN_PCM", "0");
  g_output.id = g_input.id = WAVE_MAPPER;
  ASSERT_EQ(ws::OutputOpen(&handle, ws::kAnyDevice, &kFormat, 0, 0, 0), ws::kOk);
  EXPECT_EQ(g_output.id, 0u) << "by its name, \"" << name << '"';
  EXPECT_EQ(ws::OutputClose(handle), ws::kOk);
  ASSERT_EQ(ws::InputOpen(&handle, ws::kAnyDevice, &kFormat, 0, 0, 0), ws::kOk);
  EXPECT_TRUE(WaitFor([] { return g_input.id == 0; })) << "by its number";  // its owner opens it
  EXPECT_EQ(ws::InputClose(handle), ws::kOk);
}

}  // namespace
