// Decides, for each file mirn plays, whether the library takes it as it is
// or a converted copy, and makes the copy through the audio file interface.
#include "host/mirn/sound_files.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>

#include "host/mirn/audio_files.h"
#include "host/mirn/command_line.h"
#include "host/mirn/file_problems.h"
#include "host/mirn/system.h"
#include "wave_file/wave_file_header.h"

namespace mirn::cli {
namespace {

namespace offset = wave_header_offset;

std::uint32_t Le32(std::span<const std::uint8_t> bytes, std::size_t at) {
  return static_cast<std::uint32_t>(bytes[at]) | static_cast<std::uint32_t>(bytes[at + 1]) << 8 |
         static_cast<std::uint32_t>(bytes[at + 2]) << 16 |
         static_cast<std::uint32_t>(bytes[at + 3]) << 24;
}

std::uint16_t Le16(std::span<const std::uint8_t> bytes, std::size_t at) {
  return static_cast<std::uint16_t>(bytes[at] | bytes[at + 1] << 8);
}

bool TagAt(std::span<const std::uint8_t> bytes, std::size_t at, const char* tag) {
  return std::memcmp(bytes.data() + at, tag, 4) == 0;
}

struct FdCloser {
  void operator()(const int* fd) const {
    close(*fd);
    delete fd;
  }
};
using Fd = std::unique_ptr<int, FdCloser>;

// Reads up to size bytes from the start of the file.
std::size_t ReadFront(int fd, std::uint8_t* out, std::size_t size) {
  std::size_t got = 0;
  while (got < size) {
    const long long n = sys::ReadAt(fd, out + got, size - got, got);
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  return got;
}

double SecondsOf(std::uint64_t samples, std::int32_t rate) {
  return rate > 0 ? static_cast<double>(samples) / rate : 0;
}

}  // namespace

std::uint8_t MixToUnsigned8(std::span<const float> frame) {
  double sum = 0;
  for (const float sample : frame) sum += sample;
  const double mean = frame.empty() ? 0 : sum / static_cast<double>(frame.size());
  if (!std::isfinite(mean)) return 128;
  return static_cast<std::uint8_t>(std::clamp(std::lround(mean * 128.0) + 128, 0L, 255L));
}

std::optional<LibraryLayout> ReadLibraryLayout(std::span<const std::uint8_t> header) {
  if (header.size() < kWaveFileHeaderSize) return std::nullopt;
  const bool ours = TagAt(header, offset::kRiffTag, "RIFF") &&
                    TagAt(header, offset::kWaveTag, "WAVE") &&
                    TagAt(header, offset::kFormatTag, "fmt ") &&
                    Le32(header, offset::kFormatLength) == 24 &&
                    Le16(header, offset::kFormatCode) == 1 && Le16(header, offset::kChannels) == 1 &&
                    Le16(header, offset::kBitsPerSample) == 8 &&
                    TagAt(header, offset::kDataTag, "data");
  if (!ours) return std::nullopt;
  return LibraryLayout{Le32(header, offset::kSampleRate), Le32(header, offset::kDataLength)};
}

int OpenRegularFile(const std::string& path, const std::string& name, std::string* error) {
  const int fd = sys::OpenToRead(path);
  if (fd < 0) {
    const std::string why = WhyCannotLoad(path);
    *error = why.empty() ? std::strerror(errno) : why;
    return -1;
  }
  struct stat status {};
  if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    close(fd);
    *error = name + " is not a regular file (a pipe can come in as '-', standard input)";
    return -1;
  }
  return fd;
}

bool WriteLibraryFile(const std::string& path, std::uint32_t rate,
                      std::span<const std::uint8_t> samples, std::string* error) {
  const WaveFileHeader header = BuildWaveFileHeader(rate, static_cast<std::uint32_t>(samples.size()));
  std::FILE* file = std::fopen(path.c_str(), "wb");
  bool written = file != nullptr && std::fwrite(header.data(), header.size(), 1, file) == 1 &&
                 (samples.empty() || std::fwrite(samples.data(), samples.size(), 1, file) == 1);
  if (file != nullptr) written = std::fclose(file) == 0 && written;
  if (!written) *error = "cannot write " + path + ": " + std::strerror(errno);
  return written;
}

std::optional<SoundToPlay> PrepareSound(const std::string& path, const std::string& name,
                                        std::string* error) {
  const auto fail = [&](const std::string& why) {
    *error = "cannot play " + name + ": " + why;
    return std::nullopt;
  };
  std::string why;
  const int raw_fd = OpenRegularFile(path, name, &why);
  if (raw_fd < 0) return fail(why);
  const Fd fd(new int(raw_fd));
  struct stat status {};
  fstat(*fd, &status);
  if (status.st_size == 0) return fail("the file is empty");

  SoundToPlay sound;
  WaveFileHeader header{};
  const std::size_t got = ReadFront(*fd, header.data(), header.size());
  if (const auto layout = ReadLibraryLayout(std::span(header.data(), got))) {
    sound.rate = layout->rate > 0 && layout->rate <= 0x7FFFFFFF
                     ? static_cast<std::int32_t>(layout->rate)
                     : kRecordingRate;  // a rate the library never wrote: its own
    // The load takes what the file holds, at most the store.
    const auto held = static_cast<std::uint64_t>(status.st_size) - kWaveFileHeaderSize;
    const std::uint64_t data = std::min<std::uint64_t>(layout->data_size, held);
    sound.bytes = static_cast<std::uint32_t>(std::min<std::uint64_t>(data, kStoreBytes));
    sound.file_seconds = SecondsOf(data, sound.rate);
    if (path.size() <= kLongestPath) {
      sound.load_path = path;
      return sound;
    }
    // Too long a path for the library: it gets a copy.
    auto samples = ReadSamples(SoundToPlay{path, {}, sound.rate, sound.bytes, 0, ""}, &why);
    if (!samples) return fail(why);
    auto copy = TemporaryFile::Create(".wav", &why);
    if (!copy || !WriteLibraryFile(copy->path(), sound.rate, *samples, &why)) return fail(why);
    sound.load_path = copy->path();
    sound.converted = std::move(*copy);
    return sound;
  }

  auto decoded = audio::Decode(*fd, kStoreBytes, &why);
  if (!decoded) return fail(why);
  auto converted = TemporaryFile::Create(".wav", &why);
  if (!converted ||
      !WriteLibraryFile(converted->path(), static_cast<std::uint32_t>(decoded->rate),
                        decoded->samples, &why)) {
    return fail(why);
  }
  sound.load_path = converted->path();
  sound.converted = std::move(*converted);
  sound.rate = decoded->rate;
  sound.bytes = static_cast<std::uint32_t>(decoded->samples.size());
  sound.file_seconds = SecondsOf(decoded->frames, decoded->rate);
  sound.converted_from = decoded->format + ", " +
                         (decoded->channels == 1 ? std::string("mono")
                                                 : std::to_string(decoded->channels) + " channels");
  return sound;
}

std::optional<std::string> CutNote(const SoundToPlay& sound) {
  const double played = SecondsOf(sound.bytes, sound.rate);
  // Anything beyond what the store took, to the sample.
  if (sound.file_seconds * sound.rate <= static_cast<double>(sound.bytes) + 0.5) return std::nullopt;
  char note[200];
  std::snprintf(note, sizeof note,
                "only the first %.2f s of %.2f s are played: the store holds %u samples "
                "(200 s at 8000 Hz)",
                played, sound.file_seconds, kStoreBytes);
  return note;
}

std::optional<std::vector<std::uint8_t>> ReadSamples(const SoundToPlay& sound, std::string* error) {
  std::vector<std::uint8_t> samples(sound.bytes);
  std::FILE* file = std::fopen(sound.load_path.c_str(), "rb");
  const bool read = file != nullptr && std::fseek(file, kWaveFileHeaderSize, SEEK_SET) == 0 &&
                    (samples.empty() || std::fread(samples.data(), samples.size(), 1, file) == 1);
  if (file != nullptr) std::fclose(file);
  if (!read) {
    *error = "cannot read the samples of " + sound.load_path;
    return std::nullopt;
  }
  return samples;
}

}  // namespace mirn::cli
