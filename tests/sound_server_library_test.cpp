// The shipped library through real sound servers: a private PulseAudio and
// a private PipeWire server (each where the machine has it), whose source
// plays known bytes and whose sink is recorded, with ALSA's "default" on it.
// The library is loaded as a host loads it, once per test.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "host/binding/host_strings.h"
#include "host/binding/library_binding.h"
#include "tests/alsa_test_config.h"
#include "tests/sound_test_server.h"

namespace mirn::test {
// Test names and messages say which server.
inline void PrintTo(ServerKind kind, std::ostream* out) { *out << SoundTestServer::Name(kind); }
}  // namespace mirn::test

namespace {

namespace fs = std::filesystem;
using mirn::host::LibraryBinding;
using mirn::host::NewAutomationString;
using mirn::test::Bytes;
using mirn::test::ServerKind;
using mirn::test::SoundTestServer;
using mirn::test::WaitFor;

constexpr std::uint8_t kSilence = 128;
constexpr std::uint8_t kLoud = 0xC0;  // a level well off silence, even two streams mixed

int Threads() { return mirn::test::RunningThreads(); }
int Fds() { return mirn::test::CountEntries("/proc/self/fd"); }

// The names of the threads running, for a message.
std::string ThreadNames() {
  std::string names;
  for (const auto& task : fs::directory_iterator("/proc/self/task")) {
    std::ifstream comm(task.path() / "comm");
    std::string name;
    std::getline(comm, name);
    names += name + " ";
  }
  return names;
}

// Whether the loader still has the library loaded (its file may stay mapped
// for other reasons: ThreadSanitizer maps files it reads symbols from).
bool Loaded(const char* path) {
  void* handle = dlopen(path, RTLD_NOW | RTLD_NOLOAD);
  if (handle != nullptr) dlclose(handle);
  return handle != nullptr;
}

class SoundServerLibrary : public ::testing::TestWithParam<ServerKind> {
 protected:
  SoundServerLibrary() {
    // ThreadSanitizer starts a thread of its own with a program's first.
    std::thread([] {}).join();
  }

  void SetUp() override {
    if (const std::string missing = SoundTestServer::Missing(GetParam()); !missing.empty()) {
      GTEST_SKIP() << "no " << SoundTestServer::Name(GetParam()) << " here: " << missing;
    }
    SoundTestServer::Options options;
    options.record_sink = true;
    server_ = SoundTestServer::Start(GetParam(), options);
    ASSERT_TRUE(server_->ok()) << server_->error();
    threads_before = Threads();
    std::string error;
    binding = LibraryBinding::Open(MIRN_LIBRARY_PATH, mirn::host::BindBy::kName, &error);
    ASSERT_NE(binding, nullptr) << error;
  }

  void TearDown() override {
    if (binding == nullptr) return;
    mirn().DLLStop();
    binding.reset();
  }

  // After an unload the library's threads end on their own, within a few
  // seconds, and nothing of the library's stays mapped.
  void ExpectLetGo() {
    EXPECT_TRUE(WaitFor([&] { return Threads() <= threads_before; }, std::chrono::seconds(3)))
        << Threads() - threads_before << " threads left: " << ThreadNames();
    EXPECT_FALSE(Loaded(MIRN_LIBRARY_PATH));
  }

  const mirn::host::Exports& mirn() const { return binding->exports(); }

  // Loads `size` bytes at kLoud into the store, through a file as saved.
  void LoadLoud(std::uint32_t size) {
    std::string bytes(52 + size, static_cast<char>(kLoud));
    for (int i = 0; i < 4; ++i) bytes[48 + i] = static_cast<char>(size >> (8 * i));
    const fs::path take = server().dir() / "loud.wav";
    std::ofstream(take, std::ios::binary) << bytes;
    ASSERT_EQ(mirn().SoundRecordLoad(NewAutomationString(take.string())),
              static_cast<std::int32_t>(size));
  }

  // Waits until the sink has played at least `bytes` loud bytes after `from`.
  ::testing::AssertionResult SinkPlays(std::size_t from, std::size_t bytes,
                                       std::chrono::milliseconds limit = std::chrono::seconds(30)) {
    std::size_t loud = 0;
    const bool played = WaitFor([&] {
      const Bytes sink = server().SinkBytes();
      if (sink.size() <= from) return false;
      loud = static_cast<std::size_t>(std::count_if(sink.begin() + static_cast<long>(from),
                                                    sink.end(), [](auto b) { return b != kSilence; }));
      return loud >= bytes;
    }, limit);
    if (played) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "the sink played " << loud << " of " << bytes << " bytes";
  }

  SoundTestServer& server() { return *server_; }

  std::unique_ptr<SoundTestServer> server_;
  std::unique_ptr<LibraryBinding> binding;
  int threads_before = 0;
};

TEST_P(SoundServerLibrary, ARecordingHoldsTheSourceInOrderUpToTheStop) {
  ASSERT_EQ(mirn().SoundRecordStart(), 1);
  const std::uint64_t fed = server().Fed();
  ASSERT_TRUE(WaitFor([&] { return server().Fed() >= fed + 3 * 8000; }));  // three seconds on
  ASSERT_EQ(mirn().SoundRecordStop(), 2);
  const fs::path take = server().dir() / "take.wav";
  const std::int32_t saved = mirn().SoundRecordSave(NewAutomationString(take.string()), 8000);
  const Bytes file = mirn::test::ReadBytes(take);
  ASSERT_EQ(file.size(), 52u + static_cast<std::size_t>(saved));
  const Bytes data(file.begin() + 52, file.end());
  // Silence for the time before the PCM first delivered, then the source,
  // which delivers in its own time: two of the three seconds at least.
  const auto lead = static_cast<std::size_t>(
      std::ranges::find_if(data, [](auto b) { return b != kSilence; }) - data.begin());
  EXPECT_LT(lead, 8000u);
  EXPECT_GE(data.size(), 2u * 8000);
  EXPECT_LE(data.size() - lead, server().Fed());
  EXPECT_EQ(std::ranges::count(data, 0), 0) << "a byte the source never sent";
  for (std::size_t n = lead + 1; n < data.size(); ++n) {
    ASSERT_EQ(data[n], data[n - 1] % 251 + 1) << "a byte lost or repeated at " << n;
  }
}

// What the sink played from `from` on, once it has played `bytes` loud bytes
// there and a second more.
Bytes Heard(SoundTestServer& server, std::size_t from, std::size_t bytes) {
  std::size_t end = 0;
  EXPECT_TRUE(WaitFor([&] {
    const Bytes sink = server.SinkBytes();
    if (end == 0 && sink.size() > from &&
        static_cast<std::size_t>(std::count_if(sink.begin() + static_cast<long>(from), sink.end(),
                                               [](auto b) { return b != kSilence; })) >= bytes) {
      end = sink.size() + SoundTestServer::kRate;
    }
    return end != 0 && sink.size() >= end;
  }));
  const Bytes sink = server.SinkBytes();
  return Bytes(sink.begin() + static_cast<long>(std::min(from, sink.size())), sink.end());
}

std::size_t Loud(const Bytes& bytes) {
  return static_cast<std::size_t>(std::ranges::count_if(bytes, [](auto b) { return b != kSilence; }));
}

// One sound at a time: a play once, at its own loudness (two copies mixed
// would clip), and a tone replay as its three passes in turn (overlaid they
// would last as long as the longest). PulseAudio's sink loses a few bytes
// at the edges of every stream, aplay's just the same.
TEST_P(SoundServerLibrary, APlayIsHeardOnceWholeAndAToneReplayAsItsPassesInTurn) {
  LoadLoud(4000);  // half a second at 8000/s
  ASSERT_EQ(mirn().SoundRecordPlay(8000), 3);
  const Bytes play = Heard(server(), 0, 3600);
  EXPECT_NEAR(static_cast<double>(Loud(play)), 4000.0, 400.0) << "heard once, and whole";
  EXPECT_LT(std::ranges::max(play), 0xE8) << "clipped: two copies mixed";

  // The 800 loaded bytes at 5512/s (1161 at the sink's 8000/s), then 1600 of
  // the store (the load before's after them) at 8000/s, then the 800: 3561
  // loud bytes in turn. Overlaid, any two of them would leave fewer than the
  // two longest (2761). On a loaded machine the sink's recording through
  // PulseAudio has come out up to 524 bytes short of the three.
  LoadLoud(800);
  const std::size_t mark = server().SinkBytes().size();
  ASSERT_EQ(mirn().ToneCreate(5512), 1);
  const std::size_t tone = Loud(Heard(server(), mark, 2800));
  EXPECT_GT(tone, 2761u) << "passes overlaid";
  EXPECT_LE(tone, 3561u + 100u) << "a pass heard twice";

  // At 11025/s the first pass takes the 5512 pass's PCM, set to the new
  // rate: 580 bytes at the sink, then the 800 at 8000/s (the last two passes
  // are one). At the old rate the first would be 1161.
  const std::size_t again = server().SinkBytes().size();
  ASSERT_EQ(mirn().ToneCreate(11025), 1);
  const std::size_t retuned = Loud(Heard(server(), again, 800));
  EXPECT_LE(retuned, 1380u + 100u) << "a pass at the old rate";
}

TEST_P(SoundServerLibrary, AThousandPlaysInARowAllOpenWithBoundedThreadsFdsAndConnections) {
  LoadLoud(10000);  // 1.25 s, so that every play is still going at the next
  const int fds_before = Fds();
  int threads = 0;
  int fds = 0;
  int clients = 0;
  for (int i = 0; i < 1000; ++i) {
    ASSERT_EQ(mirn().SoundRecordPlay(8000), 3) << "play " << i;
    threads = std::max(threads, Threads() - threads_before);
    fds = std::max(fds, Fds() - fds_before);
    if (i % 100 == 99) clients = std::max(clients, server().Clients());
  }
  // Each output PCM has a thread of ours and one or two of the server's
  // client library, a few descriptors (PipeWire's client has a score of
  // event and memory descriptors) and one connection.
  const bool pipewire = GetParam() == ServerKind::kPipeWire;
  const int threads_per_pcm = pipewire ? 3 : 2;
  const int fds_per_pcm = pipewire ? 32 : 8;
  // The device's bound on output PCMs, and one more being closed.
  constexpr int kPcms = 7;
  EXPECT_LE(threads, threads_per_pcm * kPcms);
  EXPECT_LE(fds, fds_per_pcm * kPcms);
  EXPECT_LE(clients, kPcms);
  EXPECT_TRUE(SinkPlays(0, 8000));
}

TEST_P(SoundServerLibrary, UnloadingWhileRecordingAndPlayingLetsGoOfEverything) {
  LoadLoud(8000);
  ASSERT_EQ(mirn().SoundRecordPlay(8000), 3);
  ASSERT_EQ(mirn().SoundRecordStart(), 1);  // its PCM may still be opening
  EXPECT_GT(Threads(), threads_before);
  binding.reset();
  ExpectLetGo();
  EXPECT_TRUE(WaitFor([&] { return server().Clients() == 0; }));
}

TEST_P(SoundServerLibrary, AServerGoneMakesOpensFailWithoutHanging) {
#if defined(__SANITIZE_THREAD__)
  if (GetParam() == ServerKind::kPipeWire) {
    GTEST_SKIP() << "under ThreadSanitizer a dead PipeWire server holds this test up";
  }
#endif
  LoadLoud(800);
  ASSERT_EQ(mirn().SoundRecordPlay(8000), 3);
  ASSERT_EQ(mirn().SoundRecordStart(), 1);
  ASSERT_EQ(mirn().SoundRecordStop(), 2);  // the input's PCM is kept
  server().Stop();
  // Kept PCMs found broken are closed; fresh ones cannot be had.
  EXPECT_EQ(mirn().SoundRecordPlay(8000), 33);
  EXPECT_EQ(mirn().ToneCreate(8000), 33);
  EXPECT_EQ(mirn().SoundRecordStart(), 1);
  EXPECT_EQ(mirn().SoundRecordStop(), 2);
}

// ---------------------------------------------------------------------------
// Outages: the server killed and started again, a suspended source, a server
// that never comes back. Lengths are counted in bytes; the schedule of an
// outage is the only use of the clock.
// ---------------------------------------------------------------------------

constexpr std::size_t kPeriod = 1000;  // 125 ms: the unit of the slack below
// How far a real-time take's length may stray from the time it ran: what the
// server and ALSA still held at the stop, on a machine that may be busy
// (three periods; a take that lost what came after an outage, or counted its
// gap twice, is off by seconds).
constexpr double kTakeSlack = 3.0 * kPeriod;

// What a take holds: runs of the source's bytes and runs of silence.
struct TakeShape {
  std::size_t lead = 0;           // silence before the first source byte: the PCM's start
  std::size_t source_before = 0;  // source bytes before the first silence after that
  std::size_t silence = 0;
  std::size_t source_after = 0;   // source bytes after it
  std::size_t foreign = 0;        // neither the source's nor silence
};

TakeShape Shape(const Bytes& take) {
  TakeShape shape;
  auto follows = [&](std::size_t a, std::size_t b) { return take[b] == take[a] % 251 + 1; };
  for (std::size_t n = 0; n < take.size(); ++n) {
    const bool source = (n > 0 && follows(n - 1, n)) || (n + 1 < take.size() && follows(n, n + 1));
    if (source) {
      (shape.silence == 0 ? shape.source_before : shape.source_after)++;
    } else if (take[n] == kSilence) {
      ++(shape.source_before == 0 ? shape.lead : shape.silence);
    } else {
      ++shape.foreign;
    }
  }
  return shape;
}

class Outages : public SoundServerLibrary {
 protected:
  void At(std::chrono::milliseconds when) { std::this_thread::sleep_until(start_ + when); }
  void Begin() { start_ = std::chrono::steady_clock::now(); }

  Bytes Take() {
    const fs::path take = server().dir() / "take.wav";
    const std::int32_t saved = mirn().SoundRecordSave(NewAutomationString(take.string()), 8000);
    const Bytes file = mirn::test::ReadBytes(take);
    if (saved < 0 || file.size() < 52) return {};
    return Bytes(file.begin() + 52, file.end());
  }

  // Runs `call` on a thread of its own: true once it has returned, false if
  // it is still waiting after a second (it is then left to finish).
  static bool ReturnsAtOnce(std::function<void()> call) {
    auto done = std::make_shared<std::atomic<bool>>(false);
    std::thread([call = std::move(call), done] {
      call();
      done->store(true);
    }).detach();
    return WaitFor([&] { return done->load(); }, std::chrono::seconds(1));
  }

  std::chrono::steady_clock::time_point start_;
};

TEST_P(Outages, ARecordingGoesOnWhenTheServerComesBackAndSoDoesTheNextTake) {
  ASSERT_EQ(mirn().SoundRecordStart(), 1);
  Begin();
  At(std::chrono::milliseconds(1500));
  server().Stop();
  At(std::chrono::milliseconds(2500));
  ASSERT_TRUE(server().Restart()) << server().error();
  At(std::chrono::milliseconds(6000));
  ASSERT_EQ(mirn().SoundRecordStop(), 2);
  const Bytes take = Take();
  EXPECT_NEAR(static_cast<double>(take.size()), 48000.0, kTakeSlack) << "as long as it ran";
  const TakeShape shape = Shape(take);
  EXPECT_EQ(shape.foreign, 0u) << "the gap is silence, the rest the source's bytes";
  EXPECT_GE(shape.lead + shape.source_before, 8000u) << "what came before the outage is kept";
  EXPECT_GE(shape.source_after, 2u * 8000) << "what came after it is recorded";

  ASSERT_EQ(mirn().SoundRecordStart(), 1);
  Begin();
  At(std::chrono::milliseconds(2000));
  ASSERT_EQ(mirn().SoundRecordStop(), 2);
  const Bytes next = Take();
  EXPECT_NEAR(static_cast<double>(next.size()), 16000.0, kTakeSlack);
  EXPECT_EQ(Shape(next).foreign, 0u);
  EXPECT_GE(Shape(next).lead + Shape(next).source_before, 8000u);
}

TEST_P(Outages, APlayGoesOnWithItsUnplayedBytesWhenTheServerComesBack) {
  LoadLoud(6 * 8000);
  ASSERT_EQ(mirn().SoundRecordPlay(8000), 3);
  Begin();
  At(std::chrono::milliseconds(1500));
  server().Stop();
  At(std::chrono::milliseconds(2500));
  ASSERT_TRUE(server().Restart()) << server().error();
  // What the server held when it went is lost with it: a buffer at most.
  EXPECT_TRUE(SinkPlays(0, 6 * 8000 - 4 * kPeriod, std::chrono::seconds(15)));
}

TEST_P(Outages, ASuspendedSourceLeavesSilenceAndTheTakeAsLongAsItRan) {
  if (!server().SuspendSource(false)) GTEST_SKIP() << "this server cannot suspend its source";
  ASSERT_EQ(mirn().SoundRecordStart(), 1);
  Begin();
  At(std::chrono::milliseconds(1000));
  ASSERT_TRUE(server().SuspendSource(true));
  At(std::chrono::milliseconds(2000));
  ASSERT_TRUE(server().SuspendSource(false));
  At(std::chrono::milliseconds(4000));
  ASSERT_EQ(mirn().SoundRecordStop(), 2);
  const Bytes take = Take();
  EXPECT_NEAR(static_cast<double>(take.size()), 32000.0, kTakeSlack);
  EXPECT_EQ(Shape(take).foreign, 0u);
}

TEST_P(Outages, AServerThatNeverComesBackKeepsEveryCallAtOnceAndUnloadLetsGo) {
  LoadLoud(8000);
  ASSERT_EQ(mirn().SoundRecordPlay(8000), 3);
  ASSERT_EQ(mirn().SoundRecordStart(), 1);
  server().Stop();
  const mirn::host::Exports& calls = mirn();
  for (int round = 0; round < 3; ++round) {
    EXPECT_TRUE(ReturnsAtOnce([&] { calls.SoundRecordStop(); })) << "stop, round " << round;
    EXPECT_TRUE(ReturnsAtOnce([&] { calls.SoundRecordStart(); })) << "start, round " << round;
    EXPECT_TRUE(ReturnsAtOnce([&] { calls.SoundRecordPlay(8000); })) << "play, round " << round;
    EXPECT_TRUE(ReturnsAtOnce([&] { calls.ToneCreate(5512); })) << "tone, round " << round;
  }
  std::unique_ptr<LibraryBinding> library = std::move(binding);
  ASSERT_TRUE(ReturnsAtOnce([&] { library.reset(); })) << "the unload waits for the server";
  ExpectLetGo();
}

INSTANTIATE_TEST_SUITE_P(Servers, Outages,
                         ::testing::Values(ServerKind::kPulseAudio, ServerKind::kPipeWire),
                         [](const auto& info) { return SoundTestServer::Name(info.param); });

INSTANTIATE_TEST_SUITE_P(Servers, SoundServerLibrary,
                         ::testing::Values(ServerKind::kPulseAudio, ServerKind::kPipeWire),
                         [](const auto& info) { return SoundTestServer::Name(info.param); });

}  // namespace
