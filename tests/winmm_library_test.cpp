// The library on Windows' winmm, under Wine on ALSA's file-backed "default"
// (scripts/test-windows.sh): what each play pass writes, a restart while
// recording, plays over plays, and many plays in a row. The raw winmm calls
// with the library's own header would fail each of these.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>
#include <vector>

#include "MirnDLL.h"
#include "library/sound_state.h"
#include "wave_service/device.h"
#include "wave_service/winmm/winmm_device.h"

namespace {

namespace fs = std::filesystem;
namespace ws = wave_service;
using Bytes = std::vector<std::uint8_t>;
using mirn::g_sound_state;

// Looks every millisecond, for at most 30 s: a test fails rather than hangs.
template <class Done>
bool WaitFor(Done done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// The value of a handle made now. Handles take the lowest free value, so
// leaked ones show as this creeping up (Wine's GetProcessHandleCount
// counts nothing).
std::uintptr_t FreshHandleValue() {
  HANDLE probe = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  CloseHandle(probe);
  return reinterpret_cast<std::uintptr_t>(probe);
}

Bytes ReadBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

Bytes Store(std::size_t length) {
  return Bytes(g_sound_state.SampleBuffer, g_sound_state.SampleBuffer + length);
}

// A stream as ALSA received it is the play's bytes, whole and in order, with
// nothing between or after them but Wine's own silence (0x80): Wine writes
// it while an output stays open with nothing left to play, and, ALSA's file
// plugin taking bytes faster than real time, wherever this machine's load
// held the device's thread up between two headers.
::testing::AssertionResult PlaysAs(const Bytes& stream, const Bytes& play) {
  // Matching each byte as early as it can be matched finds the play in the
  // stream whenever the silence can be taken out to leave it.
  std::size_t matched = 0;
  for (std::size_t at = 0; at < stream.size(); ++at) {
    if (matched < play.size() && stream[at] == play[matched]) {
      ++matched;
    } else if (stream[at] != 0x80) {
      return ::testing::AssertionFailure()
             << "byte " << at << " of a stream of " << stream.size()
             << " is neither the play's next byte (" << matched << " of " << play.size()
             << ") nor silence";
    }
  }
  if (matched < play.size()) {
    return ::testing::AssertionFailure()
           << "a stream of " << stream.size() << " bytes holds only " << matched << " of the play's "
           << play.size();
  }
  return ::testing::AssertionSuccess();
}

class WinmmLibrary : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* config = std::getenv("ALSA_CONFIG_PATH");
    ASSERT_NE(config, nullptr) << "run by scripts/test-windows.sh";
    // A Unix path: on Wine's drive Z:.
    streams_ = fs::path(std::string("Z:") + config).parent_path();
    for (const fs::path& file : StreamFiles()) fs::remove(file);
    std::memset(&g_sound_state, 0, sizeof g_sound_state);
    device_.Install();
  }

  // `size` bytes (i * 7 + 3) in the store, as a load leaves them.
  void LoadPattern(std::uint32_t size) {
    for (std::uint32_t i = 0; i < size; ++i) {
      g_sound_state.SampleBuffer[i] = static_cast<std::uint8_t>(i * 7 + 3);
    }
    g_sound_state.PositionRecord.bytes = size;
    const std::wstring file = (streams_ / "pattern.wav").wstring();
    ASSERT_EQ(SoundRecordSave(SysAllocString(file.c_str()), 8000), static_cast<std::int32_t>(size));
    ASSERT_EQ(SoundRecordLoad(SysAllocString(file.c_str())), static_cast<std::int32_t>(size));
  }

  // Closes the output the last play left open and waits until every stream
  // has played out and let go of its winmm device.
  void FinishPlaying() {
    ws::OutputClose(g_sound_state.OutputHandle);
    EXPECT_TRUE(WaitFor([] { return ws::Counts().outputs == 0; }));
    EXPECT_TRUE(WaitFor([&] { return !device_.Playing(); }));
  }

  // The files ALSA played streams into that hold something, in open order.
  std::vector<fs::path> StreamFiles() const {
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(streams_)) {
      if (entry.path().filename().string().starts_with("stream.raw")) files.push_back(entry.path());
    }
    std::ranges::sort(files);
    return files;
  }
  std::vector<Bytes> Played() const {
    std::vector<Bytes> played;
    for (const fs::path& file : StreamFiles()) {
      if (Bytes bytes = ReadBytes(file); !bytes.empty()) played.push_back(std::move(bytes));
    }
    return played;
  }

  fs::path streams_;
  ws::WinmmDevice device_;
};

TEST_F(WinmmLibrary, EachPlayPassIsAStreamOfExactlyItsBytes) {
  LoadPattern(3001);
  EXPECT_EQ(SoundRecordPlay(16000), 3);
  FinishPlaying();
  const std::vector<Bytes> played = Played();
  ASSERT_EQ(played.size(), 2u);
  for (const Bytes& bytes : played) EXPECT_TRUE(PlaysAs(bytes, Store(3001)));
}

TEST_F(WinmmLibrary, RestartsAndPlaysOverRunningSoundNeitherCrashNorLeak) {
  // A restart clears the header while the old input still records into it.
  EXPECT_EQ(SoundRecordStart(), 1);
  EXPECT_TRUE(WaitFor([] { return mirn::BytesRecorded() > 0; }));
  const ws::Handle first = g_sound_state.InputHandle;
  EXPECT_EQ(SoundRecordStart(), 1);
  EXPECT_NE(g_sound_state.InputHandle, first);
  EXPECT_EQ(ws::Counts().inputs, 1u);

  // Plays of the header still queued on the input, each closing the output
  // of the one before while it plays.
  EXPECT_TRUE(WaitFor([] { return mirn::BytesRecorded() >= 4000; }));
  for (int i = 0; i < 3; ++i) EXPECT_EQ(SoundRecordPlay(8000), 3);
  EXPECT_EQ(SoundRecordStop(), 2);
  EXPECT_GE(g_sound_state.RecordedLength, 4000u);
  FinishPlaying();
  EXPECT_EQ(ws::Counts().inputs, 0u);
  EXPECT_EQ(ws::Counts().headers, 0u);
  EXPECT_EQ(Played().size(), 6u) << "every pass played something";
}

TEST_F(WinmmLibrary, TwoHundredPlaysInARowLeakNoHandle) {
  LoadPattern(400);
  EXPECT_EQ(SoundRecordPlay(48000), 3);  // a first play sets up what stays
  FinishPlaying();
  const std::uintptr_t handles = FreshHandleValue();
  for (int i = 0; i < 200; ++i) ASSERT_EQ(SoundRecordPlay(48000), 3) << "play " << i;
  FinishPlaying();
  // Each pass takes an event and a thread at least: a leak would be hundreds.
  EXPECT_LE(FreshHandleValue(), handles + 8 * 4);  // handle values step by 4
  EXPECT_EQ(ws::Counts().headers, 0u);
  const std::vector<Bytes> played = Played();
  ASSERT_EQ(played.size(), 402u);
  for (const Bytes& bytes : played) ASSERT_TRUE(PlaysAs(bytes, Store(400)));
}

}  // namespace
