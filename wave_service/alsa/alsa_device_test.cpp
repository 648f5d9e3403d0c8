// The ALSA device on a file-backed "default", where it differs from other
// devices: ALSA's errors and refusals, what its playback threads write, and
// that they are let go.
#include "wave_service/alsa/alsa_device.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <vector>

#include "tests/alsa_test_config.h"
#include "wave_service/alsa/alsa_pcm.h"
#include "wave_service/alsa/pcm_name.h"

namespace ws = wave_service;
using mirn::test::AlsaTestConfig;
using mirn::test::Bytes;
using mirn::test::ReadBytes;
using mirn::test::WaitFor;

namespace {

constexpr std::uint32_t kHeaderSize = sizeof(ws::BufferHeader);

ws::WaveFormat Pcm(std::uint32_t rate) { return {ws::kFormatPcm, 1, rate, rate, 0, 8, 0}; }

class AlsaDeviceTest : public ::testing::Test {
 protected:
  AlsaDeviceTest() { device.Install(); }

  static ws::Handle OpenOutput(std::uint32_t rate) {
    const ws::WaveFormat format = Pcm(rate);
    ws::Handle handle = 0;
    EXPECT_EQ(ws::OutputOpen(&handle, ws::kAnyDevice, &format, 0, 0, 0), ws::kOk);
    return handle;
  }

  static void Write(ws::Handle out, ws::BufferHeader& header) {
    EXPECT_EQ(ws::OutputPrepareHeader(out, &header, kHeaderSize), ws::kOk);
    EXPECT_EQ(ws::OutputWrite(out, &header, kHeaderSize), ws::kOk);
  }

  // Every output closed, played out and let go, its PCM closed (the file
  // plugin writes a stream's last bytes at the close).
  void AllLetGo() {
    EXPECT_TRUE(WaitFor([&] { return !device.Playing(); }));
    EXPECT_EQ(ws::Counts().outputs, 0u);
    EXPECT_TRUE(WaitFor([&] { return device.HeldOutputs() == 0; }));
  }

  AlsaTestConfig config;  // before the device: ALSA reads it at the first open
  // Keeps no PCM, so that each stream's file is whole once it is let go.
  ws::AlsaDevice device{ws::AlsaDevice::KeepTimes{std::chrono::milliseconds(0),
                                                  std::chrono::milliseconds(0)}};
};

Bytes Pattern(std::size_t size, std::uint8_t seed) {
  Bytes bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(i * 13 + seed);
  return bytes;
}

TEST(AlsaErrors, TranslateToTheServiceCodes) {
  using ws::alsa::TranslateAlsaError;
  EXPECT_EQ(TranslateAlsaError(0), ws::kOk);
  EXPECT_EQ(TranslateAlsaError(160), ws::kOk);  // a count of frames
  for (int missing : {ENOENT, ENODEV, ENXIO}) EXPECT_EQ(TranslateAlsaError(-missing), ws::kBadDeviceId);
  for (int busy : {EBUSY, EAGAIN}) EXPECT_EQ(TranslateAlsaError(-busy), ws::kAllocated);
  EXPECT_EQ(TranslateAlsaError(-EINVAL), ws::kBadFormat);
  EXPECT_EQ(TranslateAlsaError(-ENOMEM), ws::kNoMemory);
  EXPECT_EQ(TranslateAlsaError(-EIO), ws::kError);
}

TEST_F(AlsaDeviceTest, RatesAreWhatAlsaTakesUpToItsHighest) {
  // The plug layer of "default" takes 4,000/s and up; above kMaxRate the
  // service refuses before ALSA would resample into a vast buffer.
  for (auto open : {&ws::InputOpen, &ws::OutputOpen}) {
    const ws::WaveFormat too_fast = Pcm(ws::kMaxRate + 1);
    ws::Handle handle = 0;
    EXPECT_EQ(open(&handle, 0, &too_fast, 0, 0, ws::kFormatQuery), ws::kBadFormat);
    EXPECT_EQ(open(&handle, ws::kAnyDevice, &too_fast, 0, 0, 0), ws::kBadFormat);
    EXPECT_EQ(handle, 0u);
    for (std::uint32_t rate : {4000u, ws::kMaxRate}) {
      const ws::WaveFormat format = Pcm(rate);
      EXPECT_EQ(open(nullptr, 0, &format, 0, 0, ws::kFormatQuery), ws::kOk) << rate;
    }
  }
  // An output's open is ALSA's answer. An input's never waits for ALSA: at
  // a rate ALSA refuses it records nothing, and once its PCM's open has
  // found that, queries and opens say so.
  const ws::WaveFormat slow = Pcm(3999);
  ws::Handle handle = 0;
  EXPECT_EQ(ws::OutputOpen(nullptr, 0, &slow, 0, 0, ws::kFormatQuery), ws::kBadFormat);
  EXPECT_EQ(ws::OutputOpen(&handle, ws::kAnyDevice, &slow, 0, 0, 0), ws::kBadFormat);
  ws::Handle in = 0;
  ASSERT_EQ(ws::InputOpen(&in, ws::kAnyDevice, &slow, 0, 0, 0), ws::kOk);
  EXPECT_EQ(ws::InputStart(in), ws::kOk);
  EXPECT_TRUE(WaitFor(
      [&] { return ws::InputOpen(nullptr, 0, &slow, 0, 0, ws::kFormatQuery) == ws::kBadFormat; }));
  EXPECT_EQ(ws::InputClose(in), ws::kOk);
  EXPECT_EQ(device.Captured(), 0u);
  EXPECT_EQ(ws::InputOpen(&handle, ws::kAnyDevice, &slow, 0, 0, 0), ws::kBadFormat);
  EXPECT_EQ(handle, 0u);
  EXPECT_TRUE(config.StreamFiles().empty()) << "a query or a refusal starts no stream";
}

TEST_F(AlsaDeviceTest, TheEnvironmentChoosesEachDirectionsPcm) {
  using ws::alsa::PcmName;
  const ws::WaveFormat format = Pcm(8000);
  ws::Handle handle = 0;
  setenv("MIRN_PCM", "mirn_no_such_pcm", 1);
  setenv("MIRN_CAPTURE_PCM", "", 1);  // empty: not set
  EXPECT_STREQ(PcmName(ws::Direction::kInput), "mirn_no_such_pcm");
  // A name that does not open is a missing device (an input's open does not
  // wait to find out, and records nothing).
  EXPECT_EQ(ws::OutputOpen(&handle, ws::kAnyDevice, &format, 0, 0, 0), ws::kBadDeviceId);
  EXPECT_EQ(handle, 0u);
  // A direction's own name wins over the shared one.
  setenv("MIRN_PLAYBACK_PCM", "default", 1);
  EXPECT_STREQ(PcmName(ws::Direction::kOutput), "default");
  EXPECT_EQ(ws::OutputOpen(&handle, ws::kAnyDevice, &format, 0, 0, 0), ws::kOk);
  EXPECT_EQ(ws::OutputClose(handle), ws::kOk);
  for (const char* name : {"MIRN_PCM", "MIRN_CAPTURE_PCM", "MIRN_PLAYBACK_PCM"}) unsetenv(name);
  EXPECT_STREQ(PcmName(ws::Direction::kInput), "default");
  AllLetGo();
}

TEST_F(AlsaDeviceTest, EachOutputPlaysItsWritesInOrderAndWholeIntoAStreamOfItsOwn) {
  Bytes first = Pattern(3000, 1);
  Bytes second = Pattern(1001, 2);
  Bytes other = Pattern(777, 3);
  ws::BufferHeader a{first.data(), 3000, 0, 0, 0, {}};
  ws::BufferHeader b{second.data(), 1001, 0, 0, 0, {}};
  ws::BufferHeader c{other.data(), 777, 0, 0, 0, {}};

  const ws::Handle out = OpenOutput(8000);
  const ws::Handle fast = OpenOutput(44100);
  Write(out, a);
  Write(fast, c);
  Write(out, b);
  // Closed at once: what was written still plays to its end.
  EXPECT_EQ(ws::OutputClose(out), ws::kOk);
  EXPECT_EQ(ws::OutputClose(fast), ws::kOk);
  AllLetGo();

  const auto files = config.StreamFiles();
  ASSERT_EQ(files.size(), 2u);
  Bytes both = first;
  both.insert(both.end(), second.begin(), second.end());
  EXPECT_EQ(ReadBytes(files[0]), both);
  EXPECT_EQ(ReadBytes(files[1]), other);
  EXPECT_EQ(a.flags & ws::kDone, ws::kDone);
}

TEST_F(AlsaDeviceTest, PlaysInARowShareABoundedNumberOfPcmsAndLoseNothing) {
  Bytes samples = Pattern(500, 4);
  ws::BufferHeader header{samples.data(), 500, 0, 0, 0, {}};
  for (int i = 0; i < 40; ++i) {
    const ws::Handle out = OpenOutput(8000);
    Write(out, header);
    EXPECT_EQ(ws::OutputClose(out), ws::kOk);
    // Once all its bytes are with ALSA the stream is released, and cut short
    // by no later open.
    EXPECT_TRUE(WaitFor([] { return ws::Counts().outputs == 0; }));
    EXPECT_LE(device.HeldOutputs(), ws::AlsaDevice::kMaxOutputs);
  }
  AllLetGo();
  // Every play whole, in order, on whichever PCM played it.
  const auto files = config.StreamFiles();
  std::size_t plays = 0;
  for (const auto& file : files) {
    const Bytes played = ReadBytes(file);
    ASSERT_EQ(played.size() % samples.size(), 0u);
    for (std::size_t at = 0; at < played.size(); at += samples.size()) {
      EXPECT_TRUE(std::equal(samples.begin(), samples.end(), played.begin() + at));
      ++plays;
    }
  }
  EXPECT_EQ(plays, 40u);
}

TEST_F(AlsaDeviceTest, AnOpenPastTheBoundFailsOnlyWhileEveryPcmHasAnOpenHandle) {
  std::vector<ws::Handle> open;
  for (std::size_t i = 0; i < ws::AlsaDevice::kMaxOutputs; ++i) open.push_back(OpenOutput(8000));
  const ws::WaveFormat format = Pcm(8000);
  ws::Handle more = 0;
  EXPECT_EQ(ws::OutputOpen(&more, ws::kAnyDevice, &format, 0, 0, 0), ws::kAllocated);
  EXPECT_EQ(more, 0u);
  EXPECT_EQ(ws::OutputClose(open[1]), ws::kOk);
  more = OpenOutput(8000);  // on the PCM the closed handle had
  EXPECT_NE(more, 0u);
  EXPECT_EQ(device.HeldOutputs(), ws::AlsaDevice::kMaxOutputs);
  for (std::size_t i = 0; i < open.size(); ++i) {
    if (i != 1) {
      EXPECT_EQ(ws::OutputClose(open[i]), ws::kOk);
    }
  }
  EXPECT_EQ(ws::OutputClose(more), ws::kOk);
  AllLetGo();
}

TEST(AlsaKeptPcms, AStreamEndedIsFollowedOnItsPcmAndQueriesOpenNothing) {
  AlsaTestConfig config;
  Bytes first = Pattern(300, 5);
  Bytes second = Pattern(200, 6);
  ws::BufferHeader a{first.data(), 300, 0, 0, 0, {}};
  ws::BufferHeader b{second.data(), 200, 0, 0, 0, {}};
  {
    ws::AlsaDevice device;  // the usual keep times
    device.Install();
    const ws::WaveFormat format = Pcm(8000);
    for (ws::BufferHeader* header : {&a, &b}) {
      ws::Handle out = 0;
      ASSERT_EQ(ws::OutputOpen(&out, ws::kAnyDevice, &format, 0, 0, 0), ws::kOk);
      ASSERT_EQ(ws::OutputPrepareHeader(out, header, kHeaderSize), ws::kOk);
      ASSERT_EQ(ws::OutputWrite(out, header, kHeaderSize), ws::kOk);
      ASSERT_EQ(ws::OutputClose(out), ws::kOk);
      EXPECT_TRUE(WaitFor([&] { return !device.Playing(); }));
      EXPECT_EQ(device.HeldOutputs(), 1u) << "kept for the next stream";
      EXPECT_EQ(ws::OutputOpen(nullptr, 0, &format, 0, 0, ws::kFormatQuery), ws::kOk);
    }
    // Input too: a second recording takes the first one's PCM.
    for (int round = 0; round < 2; ++round) {
      ws::Handle in = 0;
      ASSERT_EQ(ws::InputOpen(&in, ws::kAnyDevice, &format, 0, 0, 0), ws::kOk);
      EXPECT_EQ(ws::InputClose(in), ws::kOk);
      EXPECT_EQ(device.HeldPcms(ws::Direction::kInput), 1u);
    }
  }  // the device goes: kept PCMs are closed
  const auto files = config.StreamFiles();
  ASSERT_EQ(files.size(), 1u) << "one PCM played both";
  Bytes both = first;
  both.insert(both.end(), second.begin(), second.end());
  EXPECT_EQ(ReadBytes(files[0]), both);
}

TEST_F(AlsaDeviceTest, TheInputPositionCountsOnAcrossAStopAndAStart) {
  const ws::WaveFormat format = Pcm(8000);
  ws::Handle in = 0;
  ASSERT_EQ(ws::InputOpen(&in, ws::kAnyDevice, &format, 0, 0, 0), ws::kOk);
  auto position = [&] {
    ws::PositionRecord record{ws::kTimeBytes, 0, 0};
    EXPECT_EQ(ws::InputGetPosition(in, &record, sizeof record), ws::kOk);
    return record.bytes;
  };
  for (int round = 0; round < 2; ++round) {
    const std::uint32_t before = position();
    const std::uint64_t captured = device.Captured();
    ASSERT_EQ(ws::InputStart(in), ws::kOk);
    EXPECT_TRUE(WaitFor([&] { return device.Captured() > captured; }));
    ASSERT_EQ(ws::InputStop(in), ws::kOk);
    EXPECT_GT(position(), before);
    EXPECT_EQ(position(), device.Captured()) << "stopped: the count stands";
  }
  EXPECT_EQ(ws::InputClose(in), ws::kOk);
}

}  // namespace
