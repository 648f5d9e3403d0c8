// `mirn info`'s own reading of WAVE files: the chunk walk over the library's
// 52-byte layout and over common 44-byte files, truncated and foreign files,
// and the min/max columns the waveform is drawn from.
#include "host/mirn/wave_file_info.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>

#include "host/mirn/test_scratch.h"

namespace mirn::cli {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using Bytes = std::vector<std::uint8_t>;

void Put(Bytes& out, std::uint32_t value, int size) {
  for (int i = 0; i < size; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}
void Tag(Bytes& out, const char* tag) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(tag[i]));
}

struct WaveParts {
  std::uint32_t format_length = 24;  // the library's; 16 in most files
  std::uint16_t channels = 1;
  std::uint32_t rate = 8000;
  std::uint16_t bits = 8;
  Bytes chunk_before_data{};         // a whole chunk, e.g. "LIST"
  std::optional<std::uint32_t> stated_size{};  // default: the samples' size
  Bytes samples{};
};

Bytes Wave(const WaveParts& parts) {
  Bytes out;
  Tag(out, "RIFF");
  Put(out, 0, 4);  // patched below
  Tag(out, "WAVE");
  Tag(out, "fmt ");
  Put(out, parts.format_length, 4);
  const std::uint16_t block = parts.channels * parts.bits / 8;
  Put(out, 1, 2);
  Put(out, parts.channels, 2);
  Put(out, parts.rate, 4);
  Put(out, parts.rate * block, 4);
  Put(out, block, 2);
  Put(out, parts.bits, 2);
  out.resize(out.size() + parts.format_length - 16, 0);
  out.insert(out.end(), parts.chunk_before_data.begin(), parts.chunk_before_data.end());
  Tag(out, "data");
  Put(out, parts.stated_size.value_or(static_cast<std::uint32_t>(parts.samples.size())), 4);
  out.insert(out.end(), parts.samples.begin(), parts.samples.end());
  const auto riff = static_cast<std::uint32_t>(out.size() - 8);
  std::memcpy(out.data() + 4, &riff, 4);  // little-endian host
  return out;
}

TEST(WaveFileInfo, LibraryLayoutAndCommonLayoutAreBothWalked) {
  ScratchDir scratch;
  std::string error;

  // The library's own layout: data at 44, the size at 48, samples at 52.
  const auto saved = ReadWaveFileInfo(
      scratch.Write("saved.wav", Wave({.rate = 11025, .samples = Bytes(11025, 128)})), &error);
  ASSERT_TRUE(saved) << error;
  EXPECT_EQ(saved->file_size, 52u + 11025u);
  EXPECT_EQ(saved->riff_length, 44u + 11025u);
  ASSERT_TRUE(saved->format);
  EXPECT_EQ(saved->format->length, 24u);
  EXPECT_EQ(saved->format->samples_per_second, 11025u);
  EXPECT_EQ(saved->data_offset, 44u);
  EXPECT_EQ(saved->data_present, 11025u);
  EXPECT_EQ(saved->size_at_48, 11025u);
  EXPECT_TRUE(saved->InLibraryLayout());
  EXPECT_DOUBLE_EQ(saved->Seconds(), 1.0);

  // A 16-byte format chunk and an odd-sized chunk (with its pad byte) before
  // the data: found by walking, and flagged as read differently by a load.
  Bytes list;
  Tag(list, "LIST");
  Put(list, 3, 4);
  list.insert(list.end(), {'a', 'b', 'c', 0});
  const auto common = ReadWaveFileInfo(
      scratch.Write("common.wav", Wave({.format_length = 16, .chunk_before_data = list,
                                        .samples = Bytes(100, 200)})),
      &error);
  ASSERT_TRUE(common) << error;
  EXPECT_EQ(common->format->length, 16u);
  EXPECT_EQ(common->data_offset, 36u + 12u);
  EXPECT_EQ(common->data_length, 100u);
  EXPECT_FALSE(common->InLibraryLayout());
  const std::string report = DescribeWaveFile("common.wav", *common, 72);
  EXPECT_THAT(report, HasSubstr("data chunk            100 bytes at offset 48"));
  // mirn converts a file of another format chunk: what a load would take of
  // it is beside the point. For the library's own format chunk it is not.
  EXPECT_THAT(report, Not(HasSubstr("a load would take")));
  const auto moved = ReadWaveFileInfo(
      scratch.Write("moved.wav", Wave({.chunk_before_data = list, .samples = Bytes(100, 200)})),
      &error);
  ASSERT_TRUE(moved) << error;
  EXPECT_THAT(DescribeWaveFile("moved.wav", *moved, 72), HasSubstr("not at offset 44"));
}

TEST(WaveFileInfo, ShortAndForeignFilesAreReadNoFurtherThanTheyGo) {
  ScratchDir scratch;
  std::string error;

  // States 1000 data bytes and holds 10.
  const auto truncated = ReadWaveFileInfo(
      scratch.Write("cut.wav", Wave({.stated_size = 1000, .samples = Bytes(10, 128)})), &error);
  ASSERT_TRUE(truncated) << error;
  EXPECT_EQ(truncated->data_length, 1000u);
  EXPECT_EQ(truncated->data_present, 10u);
  EXPECT_THAT(DescribeWaveFile("cut.wav", *truncated, 72),
              HasSubstr("holds only 10 of the 1000 data bytes"));

  // A RIFF header and nothing more: no chunks, no size at 48.
  Bytes bare;
  Tag(bare, "RIFF");
  Put(bare, 4, 4);
  Tag(bare, "WAVE");
  const auto empty = ReadWaveFileInfo(scratch.Write("bare.wav", bare), &error);
  ASSERT_TRUE(empty) << error;
  EXPECT_FALSE(empty->format);
  EXPECT_FALSE(empty->has_data);
  EXPECT_FALSE(empty->size_at_48);
  EXPECT_THAT(DescribeWaveFile("bare.wav", *empty, 72), HasSubstr("a load reads nothing"));

  // A chunk length running past the end stops the walk without a read.
  Bytes runaway = bare;
  Tag(runaway, "junk");
  Put(runaway, 0xFFFFFFF0u, 4);
  runaway.resize(80, 0);
  const auto walked = ReadWaveFileInfo(scratch.Write("runaway.wav", runaway), &error);
  ASSERT_TRUE(walked) << error;
  EXPECT_FALSE(walked->has_data);

  EXPECT_FALSE(ReadWaveFileInfo(scratch.Write("text.wav", Bytes(60, 'x')), &error));
  EXPECT_THAT(error, HasSubstr("text.wav is not a RIFF WAVE file"));
  EXPECT_FALSE(ReadWaveFileInfo(scratch.Write("tiny.wav", Bytes{'R', 'I'}), &error));
  EXPECT_THAT(error, HasSubstr("not a RIFF WAVE file"));
  EXPECT_FALSE(ReadWaveFileInfo(scratch.Path("missing.wav"), &error));
  EXPECT_THAT(error, HasSubstr("cannot open " + scratch.Path("missing.wav") +
                               ": No such file or directory"));
  EXPECT_FALSE(ReadWaveFileInfo(scratch.Path(""), &error));
  EXPECT_THAT(error, HasSubstr("is not a regular file"));
}

TEST(Waveform, ColumnsSplitTheFramesEvenly) {
  // 10 frames in 4 columns: frames 0-1, 2-4, 5-6, 7-9.
  WaveformBuilder builder(10, 4);
  for (int i = 0; i < 10; ++i) builder.Add(static_cast<float>(i) / 10);
  ASSERT_EQ(builder.columns().size(), 4u);
  const float bounds[4][2] = {{0.0f, 0.1f}, {0.2f, 0.4f}, {0.5f, 0.6f}, {0.7f, 0.9f}};
  for (int c = 0; c < 4; ++c) {
    EXPECT_FLOAT_EQ(builder.columns()[c].low, bounds[c][0]) << c;
    EXPECT_FLOAT_EQ(builder.columns()[c].high, bounds[c][1]) << c;
  }

  // Fewer frames than columns: one column a frame; extra frames are ignored.
  WaveformBuilder few(2, 72);
  few.Add(-1.0f);
  few.Add(0.5f);
  few.Add(1.0f);
  ASSERT_EQ(few.columns().size(), 2u);
  EXPECT_FLOAT_EQ(few.columns()[1].high, 0.5f);
  EXPECT_TRUE(WaveformBuilder(0, 72).columns().empty());
}

TEST(Waveform, SamplesAreScaledFromBothSampleSizes) {
  ScratchDir scratch;
  std::string error;
  const std::string eight = scratch.Write("u8.wav", Wave({.samples = {0, 128, 255, 64}}));
  const auto info8 = ReadWaveFileInfo(eight, &error);
  ASSERT_TRUE(info8) << error;
  const auto ranges8 = ReadWaveform(eight, *info8, 2);
  ASSERT_TRUE(ranges8);
  ASSERT_EQ(ranges8->size(), 2u);
  EXPECT_FLOAT_EQ((*ranges8)[0].low, -1.0f);  // unsigned 0 is the most negative
  EXPECT_FLOAT_EQ((*ranges8)[0].high, 0.0f);  // 128 is silence
  EXPECT_FLOAT_EQ((*ranges8)[1].high, 127.0f / 128);
  EXPECT_FLOAT_EQ((*ranges8)[1].low, -0.5f);

  // Signed 16-bit stereo: only the first channel of each frame counts.
  Bytes frames;
  for (const std::uint16_t word : {0x8000, 0x7FFF, 0x4000, 0x0000}) Put(frames, word, 2);
  const std::string sixteen = scratch.Write(
      "s16.wav", Wave({.format_length = 16, .channels = 2, .bits = 16, .samples = frames}));
  const auto info16 = ReadWaveFileInfo(sixteen, &error);
  ASSERT_TRUE(info16) << error;
  EXPECT_EQ(info16->FrameBytes(), 4u);
  const auto ranges16 = ReadWaveform(sixteen, *info16, 72);
  ASSERT_TRUE(ranges16);
  ASSERT_EQ(ranges16->size(), 2u);
  EXPECT_FLOAT_EQ((*ranges16)[0].low, -1.0f);
  EXPECT_FLOAT_EQ((*ranges16)[1].high, 0.5f);

  // Other sample sizes are described but not drawn.
  const std::string odd = scratch.Write("s24.wav", Wave({.bits = 24, .samples = Bytes(6, 0)}));
  const auto info24 = ReadWaveFileInfo(odd, &error);
  ASSERT_TRUE(info24) << error;
  EXPECT_FALSE(ReadWaveform(odd, *info24, 72));
  EXPECT_THAT(DescribeWaveFile(odd, *info24, 72), HasSubstr("no waveform for this format"));
  EXPECT_THAT(DescribeWaveFile(eight, *info8, 72), Not(HasSubstr("no waveform")));
}

}  // namespace
}  // namespace mirn::cli
