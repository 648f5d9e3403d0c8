// Audio files through libsndfile (WAVE of any layout, FLAC, Ogg Vorbis, AIFF,
// AU, ...) and rate conversion through libsamplerate.
#include <samplerate.h>
#include <sndfile.h>

#include <algorithm>
#include <memory>

#include "host/mirn/audio_files.h"
#include "host/mirn/sound_files.h"

namespace mirn::cli::audio {
namespace {

struct SndfileCloser {
  void operator()(SNDFILE* file) const { sf_close(file); }
};

// libsndfile's own name of a major format or a subtype ("FLAC (FLAC
// Lossless Audio Codec)" becomes "FLAC").
std::string FormatName(int format) {
  SF_FORMAT_INFO info{};
  info.format = format;
  if (sf_command(nullptr, SFC_GET_FORMAT_INFO, &info, sizeof info) != 0 || info.name == nullptr) {
    return "";
  }
  std::string name = info.name;
  if (const auto paren = name.find(" ("); paren != std::string::npos) name.resize(paren);
  return name;
}

}  // namespace

bool Available() { return true; }

std::optional<Decoded> Decode(int fd, std::uint64_t max_frames, std::string* error) {
  SF_INFO info{};
  std::unique_ptr<SNDFILE, SndfileCloser> file(sf_open_fd(fd, SFM_READ, &info, SF_FALSE));
  if (file == nullptr) {
    *error = std::string("not an audio file that libsndfile reads (") + sf_strerror(nullptr) + ")";
    return std::nullopt;
  }
  if (info.channels < 1 || info.samplerate < 1) {
    *error = "libsndfile finds no channels or no rate in it";
    return std::nullopt;
  }
  Decoded decoded;
  decoded.rate = info.samplerate;
  decoded.channels = info.channels;
  decoded.frames = info.frames > 0 ? static_cast<std::uint64_t>(info.frames) : 0;
  decoded.format = FormatName(info.format & SF_FORMAT_TYPEMASK);
  if (const std::string subtype = FormatName(info.format & SF_FORMAT_SUBMASK);
      !subtype.empty()) {
    decoded.format += ", " + subtype;
  }

  // Floats from -1 to 1 whatever the file holds, a block of frames at a time.
  constexpr sf_count_t kBlockFrames = 4096;
  std::vector<float> block(static_cast<std::size_t>(kBlockFrames) * info.channels);
  decoded.samples.reserve(static_cast<std::size_t>(std::min(decoded.frames, max_frames)));
  for (;;) {
    const auto left = static_cast<sf_count_t>(max_frames - decoded.samples.size());
    if (left <= 0) break;
    const sf_count_t got = sf_readf_float(file.get(), block.data(), std::min(left, kBlockFrames));
    if (got <= 0) break;
    for (sf_count_t frame = 0; frame < got; ++frame) {
      decoded.samples.push_back(
          MixToUnsigned8(std::span<const float>(block.data() + frame * info.channels,
                                                static_cast<std::size_t>(info.channels))));
    }
  }
  if (sf_error(file.get()) != SF_ERR_NO_ERROR) {
    *error = std::string("libsndfile could not decode it: ") + sf_strerror(file.get());
    return std::nullopt;
  }
  // Some formats do not state their length: what was read is what there is.
  if (decoded.samples.size() < max_frames) decoded.frames = decoded.samples.size();
  return decoded;
}

std::optional<std::vector<std::uint8_t>> ConvertRate(std::span<const std::uint8_t> samples,
                                                     std::int32_t from_rate,
                                                     std::int32_t to_rate, std::string* error) {
  const double ratio = static_cast<double>(to_rate) / from_rate;
  std::vector<float> in(samples.size());
  std::transform(samples.begin(), samples.end(), in.begin(),
                 [](std::uint8_t sample) { return (sample - 128) / 128.0f; });
  std::vector<float> out(static_cast<std::size_t>(static_cast<double>(samples.size()) * ratio) + 16);
  SRC_DATA data{};
  data.data_in = in.data();
  data.input_frames = static_cast<long>(in.size());
  data.data_out = out.data();
  data.output_frames = static_cast<long>(out.size());
  data.src_ratio = ratio;
  if (const int failed = src_simple(&data, SRC_SINC_MEDIUM_QUALITY, 1); failed != 0) {
    *error = std::string("libsamplerate: ") + src_strerror(failed);
    return std::nullopt;
  }
  std::vector<std::uint8_t> converted(static_cast<std::size_t>(data.output_frames_gen));
  for (std::size_t i = 0; i < converted.size(); ++i) {
    converted[i] = MixToUnsigned8(std::span<const float>(&out[i], 1));
  }
  return converted;
}

}  // namespace mirn::cli::audio
