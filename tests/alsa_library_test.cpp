// The library recording and playing through ALSA, on a file-backed "default":
// what a recording keeps, what each play writes, and a missing device.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>

#include "MirnDLL.h"
#include "library/sound_state.h"
#include "tests/alsa_test_config.h"
#include "wave_service/alsa/alsa_device.h"
#include "wave_service/device.h"

namespace {

namespace fs = std::filesystem;
namespace ws = wave_service;
using mirn::g_sound_state;
using mirn::kStoreSize;
using mirn::test::AlsaTestConfig;
using mirn::test::Bytes;
using mirn::test::WaitFor;

AutomationString PathString(const fs::path& path) {
  const std::string ascii = path.string();
  const std::u16string wide(ascii.begin(), ascii.end());
  return SysAllocStringLen(wide.data(), static_cast<std::uint32_t>(wide.size()));
}

// Whether a take is the infile from its start, after the silence (128) that
// stands for the time before its PCM delivered.
bool SilenceThenInfile(const Bytes& take) {
  for (std::size_t lead = 0; lead <= take.size(); ++lead) {
    std::size_t n = 0;
    while (lead + n < take.size() && take[lead + n] == AlsaTestConfig::InfileByte(n)) ++n;
    if (lead + n == take.size()) return true;
    if (take[lead] != 128) return false;
  }
  return false;
}

Bytes Store(std::size_t from, std::size_t to) {
  return Bytes(g_sound_state.SampleBuffer + from, g_sound_state.SampleBuffer + to);
}

class AlsaLibrary : public ::testing::Test {
 protected:
  explicit AlsaLibrary(AlsaTestConfig::Default kind = AlsaTestConfig::Default::kFiles)
      : config(kind) {
    device.Install();
  }

  // Loads `size` bytes (i * 7 + 3) into the store through a saved file.
  void LoadPattern(std::uint32_t size) {
    for (std::uint32_t i = 0; i < size; ++i) {
      g_sound_state.SampleBuffer[i] = static_cast<std::uint8_t>(i * 7 + 3);
    }
    g_sound_state.PositionRecord.bytes = size;
    const fs::path file = config.dir() / "pattern.wav";
    ASSERT_EQ(SoundRecordSave(PathString(file), 8000), static_cast<std::int32_t>(size));
    std::memset(g_sound_state.SampleBuffer, 0, kStoreSize);
    ASSERT_EQ(SoundRecordLoad(PathString(file)), static_cast<std::int32_t>(size));
  }

  // Closes the output the last play left open and waits until every stream
  // has played into its file and let go of its device.
  std::vector<fs::path> FinishPlaying() {
    ws::OutputClose(g_sound_state.OutputHandle);
    EXPECT_TRUE(WaitFor([] { return ws::Counts().outputs == 0; }));
    EXPECT_TRUE(WaitFor([&] { return device.HeldOutputs() == 0; }));
    return config.StreamFiles();
  }

  AlsaTestConfig config;
  // Keeps no PCM: each stream starts the infile again or plays into a file
  // of its own, written out whole once the PCM is closed.
  ws::AlsaDevice device{ws::AlsaDevice::KeepTimes{std::chrono::milliseconds(0),
                                                  std::chrono::milliseconds(0)}};
};

class AlsaLibraryWithoutDevice : public AlsaLibrary {
 protected:
  AlsaLibraryWithoutDevice() : AlsaLibrary(AlsaTestConfig::Default::kMissing) {}
};

TEST_F(AlsaLibrary, RecordingKeepsTheCapturedBytesFromTheFirstOn) {
  // Stopped at once: whatever was recorded is the start of the capture, and
  // the rest of the cleared store is untouched.
  EXPECT_EQ(SoundRecordStart(), 1);
  EXPECT_EQ(SoundRecordStop(), 2);
  const std::uint32_t early = g_sound_state.RecordedLength;
  EXPECT_GE(g_sound_state.PositionRecord.bytes, early);
  EXPECT_TRUE(SilenceThenInfile(Store(0, early)));
  EXPECT_TRUE(std::ranges::all_of(Store(early, kStoreSize), [](auto b) { return b == 0; }));

  // A restart while the input runs starts over; left running, the recording
  // fills the whole store with no byte lost or repeated, and saving writes it
  // all. (The restart comes once the store is full, when the device copies
  // into it no more: a clear racing a copy in flight is the store's shared
  // use by design, which ThreadSanitizer cannot always trace to the copy.)
  EXPECT_EQ(SoundRecordStart(), 1);
  EXPECT_TRUE(WaitFor([] { return mirn::BytesRecorded() == kStoreSize; }));
  const ws::Handle first = g_sound_state.InputHandle;
  EXPECT_EQ(SoundRecordStart(), 1);
  EXPECT_NE(g_sound_state.InputHandle, first);
  EXPECT_EQ(ws::Counts().inputs, 1u) << "the first input is closed";
  EXPECT_TRUE(WaitFor([] { return mirn::BytesRecorded() == kStoreSize; }));
  EXPECT_EQ(SoundRecordStop(), 2);
  EXPECT_EQ(g_sound_state.RecordedLength, kStoreSize);
  EXPECT_GE(g_sound_state.PositionRecord.bytes, kStoreSize) << "the position counts on";

  const fs::path file = config.dir() / "take.wav";
  ASSERT_EQ(SoundRecordSave(PathString(file), 8000), static_cast<std::int32_t>(kStoreSize));
  const Bytes saved = mirn::test::ReadBytes(file);
  ASSERT_EQ(saved.size(), 52u + kStoreSize);
  EXPECT_TRUE(SilenceThenInfile(Bytes(saved.begin() + 52, saved.end())));
  EXPECT_EQ(ws::Counts().inputs, 0u);
}

TEST_F(AlsaLibrary, APlayWhosePassesAreTheSameIsOneStreamOfExactlyItsBytes) {
  LoadPattern(3001);
  EXPECT_EQ(SoundRecordPlay(16000), 3);
  const auto files = FinishPlaying();
  ASSERT_EQ(files.size(), 1u) << "both passes play the loaded bytes: heard once";
  EXPECT_EQ(mirn::test::ReadBytes(files[0]), Store(0, 3001));
}

TEST_F(AlsaLibrary, ToneReplayPlaysThreeStreamsOfTheLengthsItsStepsGive) {
  LoadPattern(2000);
  // 11025 / 5512 = 2: the store at 5,512/s, then at 8,000/s twice the
  // recorded length, then the recorded length.
  EXPECT_EQ(ToneCreate(5512), 1);
  const auto files = FinishPlaying();
  ASSERT_EQ(files.size(), 3u);
  // In any order: a PCM kept, or opened ahead of its call, may play any pass.
  std::multiset<Bytes> played;
  for (const fs::path& file : files) played.insert(mirn::test::ReadBytes(file));
  EXPECT_EQ(played, (std::multiset<Bytes>{Store(0, 2000), Store(0, 4000), Store(0, 2000)}));
}

TEST_F(AlsaLibraryWithoutDevice, NothingOpensNothingIsRecorded) {
  EXPECT_EQ(SoundRecordPlay(8000), 33);
  EXPECT_EQ(ToneCreate(8000), 33);
  // A start does not wait for ALSA: its input is open, and records nothing.
  EXPECT_EQ(SoundRecordStart(), 1);
  EXPECT_EQ(SoundRecordStop(), 2);
  EXPECT_EQ(g_sound_state.RecordedLength, 0u);
  EXPECT_EQ(g_sound_state.PositionRecord.bytes, 0u);
  EXPECT_TRUE(std::ranges::all_of(Store(0, kStoreSize), [](auto b) { return b == 0; }));

  // The output's query and open both say why.
  ws::Handle handle = 0;
  EXPECT_EQ(ws::OutputOpen(&handle, 0, &g_sound_state.WaveFormat, 0, 0, ws::kFormatQuery),
            ws::kBadDeviceId);
  EXPECT_EQ(ws::OutputOpen(&handle, ws::kAnyDevice, &g_sound_state.WaveFormat, 0, 0, 0),
            ws::kBadDeviceId);
  EXPECT_EQ(handle, 0u);
  EXPECT_EQ(ws::Counts().inputs + ws::Counts().outputs, 0u);
}

}  // namespace
