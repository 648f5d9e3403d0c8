// What mirn hands the library to play: the 8-bit conversion, the test for the
// library's own layout, the copies it makes and the files it refuses.
#include "host/mirn/sound_files.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <limits>

#include "host/mirn/audio_files.h"
#include "host/mirn/command_line.h"
#include "host/mirn/file_problems.h"
#include "host/mirn/test_scratch.h"
#include "wave_file/wave_file_header.h"

namespace mirn::cli {
namespace {

using ::testing::HasSubstr;

std::vector<std::uint8_t> LibraryFile(std::uint32_t rate, const std::vector<std::uint8_t>& samples,
                                      std::uint32_t stated) {
  const WaveFileHeader header = BuildWaveFileHeader(rate, stated);
  std::vector<std::uint8_t> bytes(header.size() + samples.size());
  std::ranges::copy(header, bytes.begin());
  std::ranges::copy(samples, bytes.begin() + static_cast<std::ptrdiff_t>(header.size()));
  return bytes;
}

TEST(SoundFiles, EightBitSamplesComeBackExactlyAndOthersClamp) {
  for (int sample = 0; sample < 256; ++sample) {
    const float value = (sample - 128) / 128.0f;
    ASSERT_EQ(MixToUnsigned8(std::span(&value, 1)), sample);
  }
  const float stereo[] = {0.5f, -0.25f};  // mean 0.125: 16 above the middle
  EXPECT_EQ(MixToUnsigned8(stereo), 144);
  const float loud[] = {1.0f, 2.0f, -3.0f, std::numeric_limits<float>::quiet_NaN()};
  EXPECT_EQ(MixToUnsigned8(std::span(loud, 1)), 255);
  EXPECT_EQ(MixToUnsigned8(std::span(loud + 2, 1)), 0);
  EXPECT_EQ(MixToUnsigned8(std::span(loud + 3, 1)), 128);
}

TEST(SoundFiles, OnlyTheLibrarysOwnHeaderIsItsLayout) {
  const WaveFileHeader ours = BuildWaveFileHeader(11025, 300);
  const auto layout = ReadLibraryLayout(ours);
  ASSERT_TRUE(layout);
  EXPECT_EQ(layout->rate, 11025u);
  EXPECT_EQ(layout->data_size, 300u);
  EXPECT_FALSE(ReadLibraryLayout(std::span(ours.data(), 51)));
  // One field other than the library writes it, and the file is another's.
  for (const auto& [at, value] : {std::pair{16, 16}, {20, 3}, {22, 2}, {34, 16}, {44, 'D'}}) {
    WaveFileHeader other = ours;
    other[at] = static_cast<std::uint8_t>(value);
    EXPECT_FALSE(ReadLibraryLayout(other)) << "byte " << at;
  }
}

TEST(SoundFiles, TheLibrarysOwnFilesLoadAsTheyAre) {
  ScratchDir scratch;
  std::string error;
  const std::vector<std::uint8_t> samples(1000, 7);
  // The size states more than the file holds: the load takes what is there.
  const std::string path = scratch.Write("own.wav", LibraryFile(16000, samples, 5000));
  const auto sound = PrepareSound(path, "own.wav", &error);
  ASSERT_TRUE(sound) << error;
  EXPECT_EQ(sound->load_path, path);
  EXPECT_EQ(sound->rate, 16000);
  EXPECT_EQ(sound->bytes, 1000u);
  EXPECT_FALSE(CutNote(*sound));

  // A path too long for the library is loaded from a copy, gone with it.
  const std::string long_path = scratch.Path(std::string(100, 'x') + ".wav");
  std::filesystem::copy_file(path, long_path);
  std::string copy;
  {
    const auto far = PrepareSound(long_path, "far.wav", &error);
    ASSERT_TRUE(far) << error;
    copy = far->load_path;
    EXPECT_LE(copy.size(), kLongestPath);
    EXPECT_EQ(ReadSamples(*far, &error), samples);
  }
  EXPECT_FALSE(std::filesystem::exists(copy));
}

TEST(SoundFiles, MoreThanTheStoreIsCutAndSaidSo) {
  ScratchDir scratch;
  std::string error;
  const std::vector<std::uint8_t> samples(2'400'000, 128);  // 300 s at 8000
  const auto sound = PrepareSound(scratch.Write("long.wav", LibraryFile(8000, samples, 2'400'000)),
                                  "long.wav", &error);
  ASSERT_TRUE(sound) << error;
  EXPECT_EQ(sound->bytes, kStoreBytes);
  EXPECT_THAT(CutNote(*sound).value_or(""), HasSubstr("only the first 200.00 s of 300.00 s"));
}

TEST(SoundFiles, WhatIsNotSoundIsRefusedWithoutWaiting) {
  ScratchDir scratch;
  std::string error;
  EXPECT_FALSE(PrepareSound(scratch.Write("empty.wav", {}), "empty.wav", &error));
  EXPECT_EQ(error, "cannot play empty.wav: the file is empty");
  const std::string fifo = scratch.Path("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_FALSE(PrepareSound(fifo, "fifo", &error));  // no writer: a blocking open would hang
  EXPECT_THAT(error, HasSubstr("fifo is not a regular file"));
  EXPECT_FALSE(PrepareSound(scratch.Write("text", {'h', 'i', '\n'}), "text", &error));
  EXPECT_THAT(error, HasSubstr("cannot play text: "));
}

TEST(SoundFiles, OtherFilesAreConvertedIntoATemporaryFile) {
  if (!audio::Available()) GTEST_SKIP() << "built without libsndfile";
  ScratchDir scratch;
  std::string error;
  // A 44-byte-header 8-bit WAVE file: its samples unchanged, its rate kept.
  std::vector<std::uint8_t> bytes = {'R', 'I', 'F', 'F', 40, 0, 0, 0, 'W', 'A', 'V', 'E',
                                     'f', 'm', 't', ' ', 16, 0, 0, 0, 1, 0, 1, 0,
                                     0x11, 0x2B, 0, 0, 0x11, 0x2B, 0, 0, 1, 0, 8, 0,
                                     'd', 'a', 't', 'a', 4, 0, 0, 0, 0, 100, 200, 255};
  std::string converted;
  {
    const auto sound = PrepareSound(scratch.Write("u8.wav", bytes), "u8.wav", &error);
    ASSERT_TRUE(sound) << error;
    EXPECT_EQ(sound->rate, 11025);
    converted = sound->load_path;
    EXPECT_THAT(sound->converted_from, HasSubstr("Unsigned 8 bit PCM, mono"));
    EXPECT_EQ(ReadSamples(*sound, &error), (std::vector<std::uint8_t>{0, 100, 200, 255}));
  }
  EXPECT_FALSE(std::filesystem::exists(converted));
}

TEST(TemporaryFiles, ShortPathsAndTargetsReplacedWhole) {
  ScratchDir scratch;
  std::string error;
  const std::string long_dir = scratch.Path(std::string(90, 'd'));
  std::filesystem::create_directories(long_dir);
  setenv("TMPDIR", long_dir.c_str(), 1);
  auto file = TemporaryFile::Create(".wav", &error);
  unsetenv("TMPDIR");
  ASSERT_TRUE(file) << error;
  EXPECT_TRUE(file->path().starts_with("/tmp/mirn-")) << file->path();  // fits the library

  const std::string target = scratch.Write("take.wav", {'o', 'l', 'd'});
  const mode_t mask = umask(022);
  ASSERT_TRUE(PutInPlace(file->path(), target, &error)) << error;
  umask(mask);
  struct stat status {};
  ASSERT_EQ(stat(target.c_str(), &status), 0);
  EXPECT_EQ(status.st_size, 0);
  EXPECT_EQ(status.st_mode & 0777, 0644u);  // a saved file's usual mode, not mkstemp's
}

}  // namespace
}  // namespace mirn::cli
