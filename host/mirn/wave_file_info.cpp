// Reads a WAVE file's chunks by walking them from the RIFF header, as any
// player would, and compares that with the fixed layout the library reads.
#include "host/mirn/wave_file_info.h"

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <memory>

#include "host/mirn/system.h"

namespace mirn::cli {
namespace {

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

std::uint32_t Le32(const unsigned char* bytes) {
  return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
         static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

std::uint16_t Le16(const unsigned char* bytes) {
  return static_cast<std::uint16_t>(bytes[0] | bytes[1] << 8);
}

// Reads exactly size bytes at offset; false when the file ends first.
bool ReadAt(std::FILE* file, std::uint64_t offset, unsigned char* out, std::size_t size) {
  if (!sys::Seek(file, offset)) return false;
  return std::fread(out, 1, size, file) == size;
}

// Opened without blocking, so that a FIFO or a device is refused, not waited on.
File OpenForReading(const std::string& path, std::uint64_t* size, std::string* error) {
  const int fd = sys::OpenToRead(path);
  File file(fd < 0 ? nullptr : sys::StreamOf(fd));
  struct stat status {};
  if (file == nullptr || fstat(fileno(file.get()), &status) != 0) {
    // Windows opens no folder at all; POSIX opens it and fstat tells.
    *error = errno == EISDIR ? path + " is not a regular file"
                             : "cannot open " + path + ": " + std::strerror(errno);
    if (fd >= 0 && file == nullptr) close(fd);
    return nullptr;
  }
  if (!S_ISREG(status.st_mode)) {
    *error = path + " is not a regular file";
    return nullptr;
  }
  *size = static_cast<std::uint64_t>(status.st_size);
  return file;
}

std::string Seconds3(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f s", seconds);
  return text;
}

// One labelled line of the report.
void Field(std::string& out, const char* label, const std::string& value) {
  char line[64];
  std::snprintf(line, sizeof line, "  %-22s", label);
  out += line;
  out += value;
  out += '\n';
}

constexpr std::uint16_t kPcm = 1;
constexpr std::uint16_t kExtensible = 0xFFFE;

}  // namespace

std::string FormatTagName(std::uint16_t tag) {
  switch (tag) {
    case kPcm: return "PCM";
    case 2: return "Microsoft ADPCM";
    case 3: return "IEEE float";
    case 6: return "A-law";
    case 7: return "mu-law";
    case 0x11: return "IMA ADPCM";
    case 0x31: return "GSM 6.10";
    case 0x55: return "MPEG layer 3";
    case kExtensible: return "extensible";
    default: break;
  }
  char name[16];
  std::snprintf(name, sizeof name, "format 0x%04X", tag);
  return name;
}

std::string FormatChunk::Name() const {
  if (format_tag != kExtensible) return FormatTagName(format_tag);
  return subformat ? FormatTagName(*subformat) + " (extensible)" : "extensible, no subformat";
}

bool FormatChunk::IsLibraryFormat() const {
  return length == 24 && format_tag == kPcm && channels == 1 && bits_per_sample == 8;
}

std::uint32_t WaveFileInfo::FrameBytes() const {
  if (!format || format->channels == 0 || format->bits_per_sample == 0) return 0;
  return format->channels * ((format->bits_per_sample + 7u) / 8u);
}

double WaveFileInfo::Seconds() const {
  const std::uint32_t frame = FrameBytes();
  if (frame == 0 || format->samples_per_second == 0) return 0;
  return static_cast<double>(data_present / frame) / format->samples_per_second;
}

std::optional<WaveFileInfo> ReadWaveFileInfo(const std::string& path, std::string* error) {
  WaveFileInfo info;
  File file = OpenForReading(path, &info.file_size, error);
  if (file == nullptr) return std::nullopt;

  unsigned char riff[12];
  if (!ReadAt(file.get(), 0, riff, sizeof riff) || std::memcmp(riff, "RIFF", 4) != 0 ||
      std::memcmp(riff + 8, "WAVE", 4) != 0) {
    *error = path + " is not a RIFF WAVE file";
    return std::nullopt;
  }
  info.riff_length = Le32(riff + 4);

  unsigned char size_bytes[4];
  if (info.file_size >= kLibraryHeaderSize &&
      ReadAt(file.get(), kLibrarySizeOffset, size_bytes, sizeof size_bytes)) {
    info.size_at_48 = Le32(size_bytes);
  }

  // Each chunk: a 4-byte tag, a 4-byte length, the body, a pad byte after an
  // odd length. Every step moves at least 8 bytes on, so the walk ends.
  for (std::uint64_t at = 12; at + 8 <= info.file_size;) {
    unsigned char chunk[8];
    if (!ReadAt(file.get(), at, chunk, sizeof chunk)) break;
    const std::uint32_t length = Le32(chunk + 4);
    if (std::memcmp(chunk, "fmt ", 4) == 0 && !info.format) {
      unsigned char body[16];
      if (length >= sizeof body && ReadAt(file.get(), at + 8, body, sizeof body)) {
        info.format = FormatChunk{length,         Le16(body),     Le16(body + 2),
                                  Le32(body + 4), Le32(body + 8), Le16(body + 12),
                                  Le16(body + 14), std::nullopt};
        info.format_offset = at;
        // The extensible layout: 22 more bytes, the subformat GUID last.
        unsigned char guid[2];
        if (info.format->format_tag == kExtensible && length >= 40 &&
            ReadAt(file.get(), at + 8 + 24, guid, sizeof guid)) {
          info.format->subformat = Le16(guid);
        }
      }
    } else if (std::memcmp(chunk, "data", 4) == 0) {
      info.has_data = true;
      info.data_offset = at;
      info.data_length = length;
      info.data_present = std::min<std::uint64_t>(length, info.file_size - (at + 8));
      break;
    }
    at += 8 + std::uint64_t{length} + (length & 1u);
  }
  return info;
}

WaveformBuilder::WaveformBuilder(std::uint64_t frame_count, std::size_t columns)
    : frame_count_(frame_count) {
  const std::uint64_t used = std::min<std::uint64_t>(frame_count, columns);
  columns_.resize(static_cast<std::size_t>(used));
  column_end_ = used == 0 ? 0 : frame_count_ / used;
}

void WaveformBuilder::Add(float sample) {
  if (added_ >= frame_count_ || columns_.empty()) return;
  while (added_ >= column_end_) {
    ++column_;
    column_end_ = frame_count_ * (column_ + 1) / columns_.size();
  }
  SampleRange& range = columns_[column_];
  const bool first = added_ == frame_count_ * column_ / columns_.size();
  range.low = first ? sample : std::min(range.low, sample);
  range.high = first ? sample : std::max(range.high, sample);
  ++added_;
}

std::optional<std::vector<SampleRange>> ReadWaveform(const std::string& path,
                                                     const WaveFileInfo& info,
                                                     std::size_t columns) {
  if (!info.format || !info.has_data || info.format->format_tag != kPcm) return std::nullopt;
  const std::uint16_t bits = info.format->bits_per_sample;
  if (bits != 8 && bits != 16) return std::nullopt;
  const std::uint32_t frame = info.FrameBytes();
  const std::uint64_t frames = info.data_present / frame;

  std::string error;
  std::uint64_t size = 0;
  File file = OpenForReading(path, &size, &error);
  const std::uint64_t samples_at = info.data_offset + 8;
  if (file == nullptr || !sys::Seek(file.get(), samples_at)) {
    return std::nullopt;
  }
  WaveformBuilder builder(frames, columns);
  std::vector<unsigned char> block(frame * 8192u);
  for (std::uint64_t left = frames; left > 0;) {
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(left, 8192));
    if (std::fread(block.data(), frame, want, file.get()) != want) return std::nullopt;
    for (std::size_t i = 0; i < want; ++i) {
      const unsigned char* sample = block.data() + i * frame;
      // Unsigned 8-bit centres on 128; signed 16-bit on 0.
      builder.Add(bits == 8 ? (sample[0] - 128) / 128.0f
                            : static_cast<std::int16_t>(Le16(sample)) / 32768.0f);
    }
    left -= want;
  }
  return builder.columns();
}

std::vector<std::string> DrawWaveform(const std::vector<SampleRange>& columns, int height) {
  std::vector<std::string> rows;
  for (int row = 0; row < height; ++row) {
    // The band of values this row stands for, top row highest.
    const float top = 1.0f - 2.0f * row / height;
    const float bottom = 1.0f - 2.0f * (row + 1) / height;
    const bool middle = row == height / 2;
    std::string line;
    for (const SampleRange& range : columns) {
      const bool reached = range.high >= bottom && range.low <= top;
      line += reached ? '#' : middle ? '-' : ' ';
    }
    rows.push_back(std::move(line));
  }
  return rows;
}

std::string DescribeWaveFile(const std::string& path, const WaveFileInfo& info,
                             std::size_t columns, const std::string& shown,
                             const WaveformFallback& fallback) {
  std::string out = (shown.empty() ? path : shown) + ": RIFF WAVE";
  const std::optional<FormatChunk>& format = info.format;
  if (format && info.has_data) {
    out += ", " + std::to_string(format->bits_per_sample) + "-bit " + format->Name() +
           (format->channels == 1 ? " mono"
                                  : ", " + std::to_string(format->channels) + " channels") +
           " at " + std::to_string(format->samples_per_second) + " Hz, " +
           std::to_string(info.data_present) + " bytes, " + Seconds3(info.Seconds());
  }
  out += '\n';

  Field(out, "file size", std::to_string(info.file_size) + " bytes");
  std::string riff = std::to_string(info.riff_length);
  riff += info.file_size >= 8 && info.riff_length == info.file_size - 8
              ? " (the file size less 8)"
              : " (the file size less 8 is " + std::to_string(info.file_size - 8) + ")";
  Field(out, "RIFF length", riff);
  if (format) {
    Field(out, "format chunk", std::to_string(format->length) + " bytes at offset " +
                                   std::to_string(info.format_offset));
    std::string tag = std::to_string(format->format_tag) + " (" + format->Name() + ")";
    if (format->format_tag == kExtensible && format->subformat) {
      tag = std::to_string(format->format_tag) + " (extensible), subformat " +
            std::to_string(*format->subformat) + " (" + FormatTagName(*format->subformat) + ")";
    }
    Field(out, "  format tag", tag);
    Field(out, "  channels", std::to_string(format->channels));
    Field(out, "  samples per second", std::to_string(format->samples_per_second));
    Field(out, "  bytes per second", std::to_string(format->bytes_per_second));
    Field(out, "  block align", std::to_string(format->block_align));
    Field(out, "  bits per sample", std::to_string(format->bits_per_sample));
  } else {
    Field(out, "format chunk", "none");
  }
  if (info.has_data) {
    Field(out, "data chunk", std::to_string(info.data_length) + " bytes at offset " +
                                 std::to_string(info.data_offset) + ", samples from offset " +
                                 std::to_string(info.data_offset + 8));
    Field(out, "duration", Seconds3(info.Seconds()));
  } else {
    Field(out, "data chunk", "none");
  }

  // Where this file differs from what a load of it would take.
  if (info.has_data && info.data_present < info.data_length) {
    out += "  note: the file holds only " + std::to_string(info.data_present) + " of the " +
           std::to_string(info.data_length) + " data bytes\n";
  }
  // What the library's own load makes of it matters only for files in its
  // format: mirn converts every other one before a load.
  const bool library_format = !format || format->IsLibraryFormat();
  if (library_format && !info.size_at_48) {
    out += "  note: shorter than the 52-byte header of a saved recording: a load reads "
           "nothing\n";
  } else if (library_format && !info.InLibraryLayout()) {
    out += "  note: the data chunk is not at offset 44 as in a saved recording: a load "
           "would take " + std::to_string(*info.size_at_48) +
           " (the value at offset 48) as the data size\n";
  }

  std::string note;
  auto ranges = ReadWaveform(path, info, columns);
  if (!ranges && fallback) ranges = fallback(columns, &note);
  if (!note.empty()) out += "  note: " + note + "\n";
  if (!ranges) {
    if (info.has_data) out += "  (no waveform for this format)\n";
    return out;
  }
  if (ranges->empty()) {
    out += "  (no samples)\n";
    return out;
  }
  float peak = 0;
  for (const SampleRange& range : *ranges) {
    peak = std::max({peak, std::fabs(range.low), std::fabs(range.high)});
  }
  char level[48];
  std::snprintf(level, sizeof level, "%.0f%% of full scale", peak * 100.0f);
  Field(out, "peak", level);
  for (const std::string& row : DrawWaveform(*ranges, 9)) out += "  " + row + "\n";
  return out;
}

}  // namespace mirn::cli
