// The ALSA device when its PCM calls fail or hang, on the file-backed
// "default" with faults put into its snd_pcm_* calls: each row of the
// recovery policy, host calls while a call is held, and a device going away
// while its PCM is being reopened.
#include <gtest/gtest.h>
#include <sched.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <optional>

#include "tests/alsa_pcm_faults.h"
#include "tests/alsa_test_config.h"
#include "wave_service/alsa/alsa_device.h"
#include "wave_service/shared_words.h"

namespace ws = wave_service;
using mirn::test::AlsaTestConfig;
using mirn::test::Bytes;
using mirn::test::PcmCall;
using mirn::test::PcmFaults;
using mirn::test::WaitFor;

namespace {

constexpr std::uint32_t kHeaderSize = sizeof(ws::BufferHeader);
constexpr std::uint8_t kSilence = 128;
const ws::WaveFormat kFormat{ws::kFormatPcm, 1, 8000, 8000, 0, 8, 0};

// One recording into a buffer of its own, through the service.
struct Take {
  explicit Take(std::size_t size)
      : store(size), header{store.data(), static_cast<std::uint32_t>(size), 0, 0, 0, {}} {
    EXPECT_EQ(ws::InputOpen(&in, ws::kAnyDevice, &kFormat, 0, 0, 0), ws::kOk);
    EXPECT_EQ(ws::InputPrepareHeader(in, &header, kHeaderSize), ws::kOk);
    EXPECT_EQ(ws::InputAddBuffer(in, &header, kHeaderSize), ws::kOk);
    EXPECT_EQ(ws::InputStart(in), ws::kOk);
  }
  ~Take() { ws::InputClose(in); }
  std::uint32_t Recorded() { return ws::LoadShared(header.bytes_recorded); }
  bool Full() { return Recorded() == store.size(); }

  Bytes store;
  ws::BufferHeader header;
  ws::Handle in = 0;
};

// Where `bytes` first differs from the infile read from its start.
std::size_t FirstDifference(const Bytes& bytes, std::size_t from = 0) {
  std::size_t n = from;
  while (n < bytes.size() && bytes[n] == AlsaTestConfig::InfileByte(n - from)) ++n;
  return n;
}

// Plays `samples` on a stream of its own, to its end.
void Play(ws::AlsaDevice& device, Bytes& samples, const ws::WaveFormat& format = kFormat) {
  ws::BufferHeader header{samples.data(), static_cast<std::uint32_t>(samples.size()), 0, 0, 0, {}};
  ws::Handle out = 0;
  ASSERT_EQ(ws::OutputOpen(&out, ws::kAnyDevice, &format, 0, 0, 0), ws::kOk);
  EXPECT_EQ(ws::OutputPrepareHeader(out, &header, kHeaderSize), ws::kOk);
  EXPECT_EQ(ws::OutputWrite(out, &header, kHeaderSize), ws::kOk);
  EXPECT_EQ(ws::OutputClose(out), ws::kOk);
  EXPECT_TRUE(WaitFor([&] { return !device.Playing(); }));
}

class AlsaRecovery : public ::testing::Test {
 protected:
  AlsaRecovery() { device.Install(); }

  AlsaTestConfig config;
  PcmFaults faults;  // outlives the device, whose threads call through it
  ws::AlsaDevice device{ws::AlsaDevice::KeepTimes{std::chrono::milliseconds(0),
                                                  std::chrono::milliseconds(0)}};
};

struct Row {
  int error;
  bool reopens;
};

class AlsaCaptureRecovery : public AlsaRecovery, public ::testing::WithParamInterface<Row> {};

// A read fails mid-take: the take carries on. An xrun or a suspend loses
// nothing of the infile; a device lost and reopened (which starts the infile
// again) leaves the bytes before, then silence for the time lost, then the
// reopened device's bytes. The file-backed device delivers faster than its
// rate, so a read held for a second first puts the take behind the clock.
TEST_P(AlsaCaptureRecovery, ATakeCarriesOnInOrderAfterTheError) {
  if (GetParam().reopens) faults.Hold(PcmCall::readi, std::chrono::seconds(1), 3);
  faults.Fail(PcmCall::readi, GetParam().error, GetParam().reopens ? 4 : 3);
  Take take(100'000);
  ASSERT_TRUE(WaitFor([&] { return take.Full(); }));
  EXPECT_EQ(ws::InputStop(take.in), ws::kOk);
  EXPECT_EQ(device.Reopens(), GetParam().reopens ? 1u : 0u);
  const std::size_t before = FirstDifference(take.store);
  if (!GetParam().reopens) {
    EXPECT_EQ(before, take.store.size()) << "a byte lost or repeated";
    return;
  }
  EXPECT_GT(before, 0u);
  const auto gap_end = std::find_if(take.store.begin() + static_cast<long>(before),
                                    take.store.end(), [](auto b) { return b != kSilence; });
  const auto after = static_cast<std::size_t>(gap_end - take.store.begin());
  EXPECT_GT(after, before) << "no silence for the time lost";
  EXPECT_EQ(FirstDifference(take.store, after), take.store.size());
}

INSTANTIATE_TEST_SUITE_P(EachRow, AlsaCaptureRecovery,
                         ::testing::Values(Row{-EPIPE, false}, Row{-ESTRPIPE, false},
                                           Row{-EIO, true}, Row{-EBADFD, true},
                                           Row{-ENODEV, true}, Row{-ENOTCONN, true}),
                         [](const auto& info) { return "error" + std::to_string(-info.param.error); });

// A dead PipeWire server answers every read with an xrun, while prepare and
// start succeed: xruns without end are a lost PCM, reopened, not restarted
// for good.
TEST_F(AlsaRecovery, XrunsInARowWithNothingBetweenReopenThePcm) {
  faults.Fail(PcmCall::readi, -EPIPE, 3, 50);
  Take take(20'000);
  ASSERT_TRUE(WaitFor([&] { return take.Full(); }));
  EXPECT_GE(device.Reopens(), 1u);
}

TEST_F(AlsaRecovery, ASuspendIsResumedForABoundedTimeAndAStopMeanwhileEndsTheTake) {
  faults.Fail(PcmCall::resume, -EAGAIN, 1, 0);  // never resumes
  faults.Fail(PcmCall::readi, -ESTRPIPE, 2);
  Take take(1'600'000);
  ASSERT_TRUE(WaitFor([&] { return faults.Calls(PcmCall::resume) >= 2; }));
  EXPECT_EQ(ws::InputStop(take.in), ws::kOk);
  const std::uint32_t stopped = take.Recorded();
  // Given up on resuming, the owner prepares the PCM; the stopped take gets
  // nothing more.
  const unsigned prepares = faults.Calls(PcmCall::prepare);
  ASSERT_TRUE(WaitFor([&] { return faults.Calls(PcmCall::prepare) > prepares; }));
  EXPECT_EQ(take.Recorded(), stopped);
  EXPECT_EQ(FirstDifference(take.store), stopped);
  EXPECT_EQ(device.Reopens(), 0u);
}

TEST_F(AlsaRecovery, AHeldCallHoldsUpNoHostCall) {
  faults.Hold(PcmCall::readi, std::chrono::seconds(60), 2);
  {
    Take take(8000);
    ASSERT_TRUE(WaitFor([&] { return faults.Holding(); }));
    EXPECT_EQ(ws::InputStop(take.in), ws::kOk);
  }  // closed
  // Another stream plays through while the input's thread is still held.
  Bytes samples(500, 77);
  Play(device, samples);
  EXPECT_TRUE(WaitFor([&] { return device.HeldOutputs() == 0; }));  // its file written
  EXPECT_TRUE(faults.Holding());
  ASSERT_EQ(config.StreamFiles().size(), 1u);
  EXPECT_EQ(mirn::test::ReadBytes(config.StreamFiles()[0]), samples);
  faults.Heal();
  EXPECT_TRUE(WaitFor([&] { return device.HeldPcms(ws::Direction::kInput) == 0; }));
}

// An owner yields the CPU to the host's threads (SCHED_BATCH), but not while
// a stop waits for it to read out the take: the stop raises it for that,
// and the owner goes back once it has answered. (Once the take has had its
// first bytes, only a stop's read-out asks the file-backed PCM what it
// holds; a stop that gave up waiting on a loaded machine makes none.)
TEST_F(AlsaRecovery, AStopsReadOutRunsAtTheHostsPriorityAndOnlyIt) {
  Take take(1'600'000);
  ASSERT_TRUE(WaitFor([&] { return take.Recorded() >= 1000; }));
  EXPECT_EQ(faults.Policy(PcmCall::readi), SCHED_BATCH);
  const unsigned checks = faults.Calls(PcmCall::avail_update);
  const unsigned prepares = faults.Calls(PcmCall::prepare);
  EXPECT_EQ(ws::InputStop(take.in), ws::kOk);
  // Stopped, the owner prepares its PCM for the next take.
  ASSERT_TRUE(WaitFor([&] { return faults.Calls(PcmCall::prepare) > prepares; }));
  EXPECT_EQ(faults.Policy(PcmCall::prepare), SCHED_BATCH);
  if (faults.Calls(PcmCall::avail_update) > checks) {
    EXPECT_EQ(faults.Policy(PcmCall::avail_update), SCHED_OTHER);
  }
}

// An owner's thread runs the next owner once it is done, so an open never
// waits for a thread to be made, and the next owner starts at the thread's
// first policy: an output's open is answered at the host's, whatever the
// capture before it ran at.
TEST_F(AlsaRecovery, TheNextOwnerRunsOnTheLastOnesThreadAtItsFirstPolicy) {
  {
    Take take(1000);
    ASSERT_TRUE(WaitFor([&] { return take.Full(); }));
  }
  ASSERT_TRUE(WaitFor([&] { return device.HeldPcms(ws::Direction::kInput) == 0; }));
  EXPECT_EQ(faults.Policy(PcmCall::readi), SCHED_BATCH);
  const std::thread::id capture = faults.Thread(PcmCall::open);
  Bytes samples(800, 128);
  Play(device, samples);
  EXPECT_EQ(faults.Thread(PcmCall::open), capture);
  EXPECT_EQ(faults.Policy(PcmCall::open), SCHED_OTHER);
}

// A start never waits for ALSA: with its PCM's open held up, the take still
// runs from its start and, at a name and rate known to open, is silence for
// as long as it ran.
TEST_F(AlsaRecovery, ATakeWhosePcmIsStillOpeningAtItsStopIsSilenceForTheTimeItRan) {
  {
    Take first(1000);  // the name and rate are known to open
    ASSERT_TRUE(WaitFor([&] { return first.Full(); }));
  }
  faults.Hold(PcmCall::open, std::chrono::seconds(60));
  Take take(8000);
  const auto started = std::chrono::steady_clock::now();
  ASSERT_TRUE(WaitFor([&] { return faults.Holding(); }));
  const auto later = started + std::chrono::milliseconds(50);
  ASSERT_TRUE(WaitFor([&] { return std::chrono::steady_clock::now() > later; }));
  EXPECT_EQ(ws::InputStop(take.in), ws::kOk);
  EXPECT_GE(take.Recorded(), 400u) << "50 ms at 8000/s";
  EXPECT_EQ(std::count(take.store.begin(), take.store.begin() + take.Recorded(), kSilence),
            take.Recorded());
  faults.Heal();
}

TEST_F(AlsaRecovery, APlayCarriesOnWithItsUnplayedBytesAfterAnXrunOrALostDevice) {
  Bytes samples(4000);
  for (std::size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<std::uint8_t>(i % 253);
  for (int error : {-EPIPE, -EIO}) {
    faults.Fail(PcmCall::writei, error, 3);
    Play(device, samples);
    EXPECT_TRUE(WaitFor([&] { return device.HeldOutputs() == 0; }));
  }
  // The xrun's stream is whole; the lost one's two PCMs played it between them.
  const auto files = config.StreamFiles();
  ASSERT_EQ(files.size(), 3u);
  EXPECT_EQ(mirn::test::ReadBytes(files[0]), samples);
  Bytes both = mirn::test::ReadBytes(files[1]);
  const Bytes rest = mirn::test::ReadBytes(files[2]);
  both.insert(both.end(), rest.begin(), rest.end());
  EXPECT_EQ(both, samples);
  EXPECT_EQ(device.Reopens(), 1u);
}

// The file-backed device takes every byte at once and reports no delay, as a
// sound server that has no timing yet for a stream just started does.
TEST_F(AlsaRecovery, APlayIsHeardNoSoonerThanItLastsWhateverItsPcmReports) {
  Bytes samples(2000, 7);  // a quarter of a second
  const auto start = std::chrono::steady_clock::now();
  Play(device, samples);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(250));
}

TEST(AlsaRecoveryKept, AKeptPcmWhoseDeviceIsLostIsClosedAndNeverHandedOut) {
  AlsaTestConfig config;
  PcmFaults faults;
  ws::AlsaDevice device{ws::AlsaDevice::KeepTimes{std::chrono::minutes(1), std::chrono::minutes(1)}};
  device.Install();
  Bytes samples(300, 9);
  Play(device, samples);
  {
    Take take(1000);
    ASSERT_TRUE(WaitFor([&] { return take.Full(); }));
  }
  ASSERT_EQ(device.HeldPcms(ws::Direction::kInput), 1u);
  ASSERT_EQ(device.HeldOutputs(), 1u);
  faults.Fail(PcmCall::avail_update, -ENODEV, 1, 0);
  EXPECT_TRUE(WaitFor(
      [&] { return device.HeldPcms(ws::Direction::kInput) + device.HeldOutputs() == 0; }));
  faults.Heal();
  const unsigned opens = faults.Calls(PcmCall::open);
  Play(device, samples);
  EXPECT_EQ(faults.Calls(PcmCall::open), opens + 1) << "a fresh PCM";
}

TEST(AlsaRecoveryKept, AKeptPcmIsRetunedForACallAtAnotherRateOrOneThatCannotBeIsOpenedAfresh) {
  AlsaTestConfig config;
  PcmFaults faults;
  ws::AlsaDevice device{ws::AlsaDevice::KeepTimes{std::chrono::minutes(1), std::chrono::minutes(1)}};
  device.Install();
  Bytes played;
  for (const std::uint32_t rate : {8000u, 11025u, 16000u}) {
    if (rate == 16000) faults.Fail(PcmCall::hw_params, -EIO);  // the re-tune's
    Bytes samples(300 + rate / 100, static_cast<std::uint8_t>(rate));
    ws::BeginCall(&rate, 1);
    Play(device, samples, {ws::kFormatPcm, 1, rate, rate, 0, 8, 0});
    played.insert(played.end(), samples.begin(), samples.end());
    EXPECT_EQ(device.HeldOutputs(), 1u);
  }
  EXPECT_EQ(faults.Calls(PcmCall::hw_free), 2u);
  EXPECT_EQ(faults.Calls(PcmCall::open), 2u) << "re-tuned once, then opened afresh";
  EXPECT_EQ(device.Reopens(), 0u);
  device.End();  // the file plugin writes a stream's last bytes at its close
  Bytes heard;
  for (const auto& file : config.StreamFiles()) {
    const Bytes bytes = mirn::test::ReadBytes(file);
    heard.insert(heard.end(), bytes.begin(), bytes.end());
  }
  EXPECT_EQ(heard, played);
}

TEST(AlsaRecoveryUnload, TheDeviceLetsGoWhileALostPcmIsBeingReopened) {
  AlsaTestConfig config;
  PcmFaults faults;
  std::optional<ws::AlsaDevice> device(std::in_place);
  device->Install();
  faults.Fail(PcmCall::open, -ENODEV, 2, 0);  // the first open only works
  faults.Fail(PcmCall::readi, -ENODEV, 2);
  Take take(1'600'000);
  ASSERT_TRUE(WaitFor([&] { return faults.Calls(PcmCall::open) >= 3; }));
  // The take goes on in silence while its device is away.
  const std::uint64_t captured = device->Captured();
  EXPECT_TRUE(WaitFor([&] { return device->Captured() > captured; }));
  EXPECT_EQ(take.store[take.Recorded() - 1], kSilence);
  device.reset();  // returns with its threads joined, the take still open
  EXPECT_EQ(ws::Counts().inputs, 0u) << "the device's streams are forgotten";
  const unsigned opens = faults.Calls(PcmCall::open);
  faults.Heal();
  EXPECT_EQ(faults.Calls(PcmCall::open), opens);
}

}  // namespace
