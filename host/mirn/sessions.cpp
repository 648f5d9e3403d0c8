// The commands behind `mirn record`, `play`, `tone`, `info` and `call`. The
// library never says when a device has finished, so the host waits the
// sound's own duration, computed from the byte counts the calls return.
#include "host/mirn/sessions.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "host/binding/sound_durations.h"
#include "host/mirn/audio_files.h"
#include "host/mirn/devices.h"
#include "host/mirn/file_problems.h"
#include "host/mirn/progress.h"
#include "host/mirn/sound_files.h"
#include "host/mirn/system.h"
#include "host/mirn/temporary_file.h"
#include "host/mirn/wave_file_info.h"

namespace mirn::cli {
namespace {

constexpr std::int32_t kNoOutput = MIRNDLL_NO_OUTPUT;
constexpr std::int32_t kFileFailed = MIRNDLL_FILE_FAILED;
constexpr std::size_t kPlainColumns = 72;

// Progress lines are for a person at a terminal: they go with the messages
// to standard error, and only when that is a terminal.
bool ShowProgress(const Invocation& invocation) {
  return !invocation.quiet && sys::IsTerminal(fileno(stderr));
}

std::size_t WaveformColumns() {
  const std::size_t columns = sys::TerminalColumns();
  // The rows are indented by two.
  return columns > 10 ? columns - 2 : kPlainColumns;
}

std::string Seconds2(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2f s", seconds);
  return text;
}

// "8000 Hz": the rate a recording is made at and a tone is replayed at.
std::string RecordingRateText() { return std::to_string(kRecordingRate) + " Hz"; }

void Fail(const std::string& message) { std::fprintf(stderr, "mirn: %s\n", message.c_str()); }

// What mirn is doing, on standard error; -q leaves it out.
void Tell(const Invocation& invocation, const std::string& message) {
  if (invocation.quiet) return;
  std::fprintf(stderr, "%s\n", message.c_str());
  std::fflush(stderr);
}

// The device is named: one the environment names may not exist.
void ReportNoOutput(std::int32_t rate) {
  Fail("no wave output device could be opened at " + std::to_string(rate) + " Hz (device '" +
       DeviceInUse(Direction::kPlayback) + "')");
}

// The library only answers -1; the host looks at the path for the reason.
void ReportSaveFailure(const std::string& path) {
  const std::string reason = WhyCannotSave(path);
  Fail("could not save " + path + ": " +
       (reason.empty() ? "the file could not be written" : reason));
}

void ReportLoadFailure(const std::string& path) {
  const std::string reason = WhyCannotLoad(path);
  Fail("could not load " + path + ": " +
       (reason.empty() ? "the file could not be read" : reason));
}

// The paths pass to the library as automation strings, which it releases.
// A path longer than the library takes goes through a short temporary name:
// a save into it is then put in place, a load reads a copy of it.
std::int32_t Save(const host::Exports& mirn, const std::string& path, std::int32_t rate) {
  if (path.size() <= kLongestPath) return mirn.SoundRecordSave(sys::NewPathString(path), rate);
  std::string error;
  auto file = TemporaryFile::Create(".wav", &error);
  if (!file) return kFileFailed;
  const std::int32_t saved = mirn.SoundRecordSave(sys::NewPathString(file->path()), rate);
  if (saved == kFileFailed || !PutInPlace(file->path(), path, &error)) return kFileFailed;
  return saved;
}

std::int32_t Load(const host::Exports& mirn, const std::string& path) {
  if (path.size() <= kLongestPath) return mirn.SoundRecordLoad(sys::NewPathString(path));
  std::string error;
  // The header and as much as the store takes.
  const auto copy = ShortCopy(path, kWaveFileHeaderSize + kStoreBytes, &error);
  if (!copy) return kFileFailed;
  return mirn.SoundRecordLoad(sys::NewPathString(copy->path()));
}

// How the file is named in messages; "-" is standard input.
std::string NameOf(const std::string& file) { return file == "-" ? "standard input" : file; }

// The file to read: the path itself, or standard input spooled to a
// temporary file (which `spooled` keeps).
std::optional<std::string> InputPath(const std::string& file,
                                     std::optional<TemporaryFile>* spooled) {
  if (file != "-") return file;
  std::string error;
  *spooled = SpoolStandardInput(&error);
  if (!*spooled) {
    Fail(error);
    return std::nullopt;
  }
  return (*spooled)->path();
}

// Rates to convert to when the device refuses one: the common rates nearest
// to it, at most three tries.
std::vector<std::int32_t> RatesToTry(std::int32_t refused) {
  std::vector<std::int32_t> rates;
  for (const std::int32_t rate : {8000, 11025, 16000, 22050, 32000, 44100, 48000}) {
    if (rate != refused) rates.push_back(rate);
  }
  const auto distance = [refused](std::int32_t rate) {
    return std::fabs(std::log(static_cast<double>(rate) / refused));
  };
  std::ranges::stable_sort(rates, {}, distance);
  rates.resize(3);
  return rates;
}

// The device refused `refused` for the play: converts the samples to rates
// it may take and plays those. Returns the rate that played, or nullopt.
std::optional<std::int32_t> PlayConverted(const host::Exports& mirn, const SoundToPlay& sound,
                                          std::int32_t refused, std::uint32_t* loaded) {
  if (!audio::Available()) return std::nullopt;
  std::string error;
  const auto samples = ReadSamples(sound, &error);
  if (!samples) {
    Fail(error);
    return std::nullopt;
  }
  for (const std::int32_t rate : RatesToTry(refused)) {
    auto converted = audio::ConvertRate(*samples, refused, rate, &error);
    if (converted && converted->size() > kStoreBytes) {
      // More samples at the higher rate than the store holds.
      converted->resize(kStoreBytes);
      char note[120];
      std::snprintf(note, sizeof note, "note: only the first %.2f s fit the store at %d Hz",
                    static_cast<double>(kStoreBytes) / rate, rate);
      Fail(note);
    }
    auto file = TemporaryFile::Create(".wav", &error);
    if (!converted || !file || !WriteLibraryFile(file->path(), static_cast<std::uint32_t>(rate),
                                                 *converted, &error)) {
      Fail(error);
      return std::nullopt;
    }
    const std::int32_t bytes = Load(mirn, file->path());
    if (bytes == kFileFailed) {
      ReportLoadFailure(file->path());
      return std::nullopt;
    }
    if (mirn.SoundRecordPlay(rate) != kNoOutput) {
      *loaded = static_cast<std::uint32_t>(bytes);
      return rate;
    }
  }
  return std::nullopt;
}

// Prepares one file, loads it, starts a play (or a tone replay) at the
// invocation's rate or the file's own, and waits until its longest stream
// has ended.
int LoadAndPlay(const host::Exports& mirn, const Invocation& invocation, const std::string& file,
                bool tone) {
  std::optional<TemporaryFile> spooled;
  const auto path = InputPath(file, &spooled);
  if (!path) return kExitFailed;
  const std::string name = NameOf(file);
  std::string error;
  const auto sound = PrepareSound(*path, name, &error);
  if (!sound) {
    Fail(error);
    return kExitFailed;
  }
  if (const auto note = CutNote(*sound)) Fail("note: " + name + ": " + *note);

  const std::int32_t loaded_bytes = Load(mirn, sound->load_path);
  if (loaded_bytes == kFileFailed) {
    ReportLoadFailure(sound->load_path);
    return kExitFailed;
  }
  auto loaded = static_cast<std::uint32_t>(loaded_bytes);
  std::int32_t rate = invocation.rate.value_or(sound->rate);
  if ((tone ? mirn.ToneCreate(rate) : mirn.SoundRecordPlay(rate)) == kNoOutput) {
    // A play sounds the same at another rate once converted; a tone replay's
    // lengths follow from its rate, so it is not converted.
    const auto played = tone ? std::nullopt : PlayConverted(mirn, *sound, rate, &loaded);
    if (!played) {
      mirn.DLLStop();
      ReportNoOutput(rate);
      return kExitFailed;
    }
    Fail("note: the device refused " + std::to_string(rate) + " Hz: converted to " +
         std::to_string(*played) + " Hz");
    rate = *played;
  }
  // After a load both passes' lengths are what it loaded.
  const double seconds = tone ? host::ToneSeconds(loaded, loaded, rate)
                              : host::PlaySeconds(loaded, loaded, rate);
  std::string what = tone ? "Tone replay of " : "Playing ";
  what += name + ": " + std::to_string(loaded) + " bytes at " + std::to_string(rate) + " Hz";
  if (tone) what += ", replayed at " + RecordingRateText();
  what += " (" + Seconds2(seconds) + ")";
  if (!sound->converted_from.empty()) what += ", converted from " + sound->converted_from;
  Tell(invocation, what);

  WaitEnd end = WaitShowingProgress("Playing ", seconds, seconds, ShowProgress(invocation));
  // The device starts a little after the call and still holds its buffer
  // when the duration has passed; leaving at once would cut the end off.
  if (end == WaitEnd::kDone) end = WaitShowingProgress("", host::kDeviceLatency, 0, false);
  mirn.DLLStop();
  if (end == WaitEnd::kInterrupted) {
    Fail("interrupted");
    return kExitInterrupted;
  }
  return kExitOk;
}

// The waveform of decoded samples, `columns` wide.
std::vector<SampleRange> DecodedWaveform(const audio::Decoded& decoded, std::size_t columns) {
  WaveformBuilder builder(decoded.samples.size(), columns);
  for (const std::uint8_t sample : decoded.samples) builder.Add((sample - 128) / 128.0f);
  return builder.columns();
}

// `mirn info` of a file that is not RIFF WAVE, as libsndfile decodes it.
int DescribeDecoded(const std::string& name, int fd) {
  std::string error;
  const auto decoded = audio::Decode(fd, kStoreBytes, &error);
  if (!decoded) {
    Fail(name + ": " + error);
    return kExitFailed;
  }
  const double seconds = static_cast<double>(decoded->frames) / decoded->rate;
  char line[160];
  std::snprintf(line, sizeof line, "%s: %s, %d channel%s at %d Hz, %llu frames, %.3f s\n",
                name.c_str(), decoded->format.c_str(), decoded->channels,
                decoded->channels == 1 ? "" : "s", decoded->rate,
                static_cast<unsigned long long>(decoded->frames), seconds);
  std::string out = line;
  out += "  played as             8-bit mono at " + std::to_string(decoded->rate) +
         " Hz, converted to the library's layout\n";
  SoundToPlay sound;
  sound.rate = decoded->rate;
  sound.bytes = static_cast<std::uint32_t>(decoded->samples.size());
  sound.file_seconds = seconds;
  if (const auto note = CutNote(sound)) out += "  note: " + *note + "\n";
  const auto columns = DecodedWaveform(*decoded, WaveformColumns());
  for (const std::string& row : DrawWaveform(columns, 9)) out += "  " + row + "\n";
  std::fputs(out.c_str(), stdout);
  return kExitOk;
}

// Rewrites a saved take in the library's layout with only its first `bytes`
// samples.
bool CutTake(const std::string& path, std::uint32_t bytes, std::string* error) {
  SoundToPlay take;
  take.load_path = path;
  take.bytes = bytes;
  const auto samples = ReadSamples(take, error);
  return samples && WriteLibraryFile(path, kRecordingRate, *samples, error);
}

}  // namespace

int RunRecord(const host::Exports& mirn, const Invocation& invocation) {
  const std::string& target = invocation.file;
  const bool to_stdout = target == "-";
  // Refused before recording, not after the take is lost. Any length of
  // path is fine: the library saves into a short temporary name.
  if (!to_stdout && !WhyCannotSave(target).empty()) {
    ReportSaveFailure(target);
    return kExitFailed;
  }
  // The library saves into a temporary file; only a recording that holds
  // sound replaces the target, so a failed take never costs an older file.
  std::string error;
  auto saved_file = TemporaryFile::Create(".wav", &error);
  if (!saved_file) {
    Fail(error);
    return kExitFailed;
  }
  CatchInterrupts();
  const std::string how_long = invocation.seconds < kStoreSeconds
                                  ? "for " + Seconds2(invocation.seconds)
                                  : "until the store is full after " +
                                        std::to_string(static_cast<int>(kStoreSeconds)) + " s";
  const std::string shown = to_stdout ? "standard output" : target;
  Tell(invocation, "Recording to " + shown + ", 8-bit mono at " + RecordingRateText() + ", " +
                       how_long + " (Ctrl-C stops)");

  mirn.SoundRecordStart();
  // Ctrl-C is the ordinary way to end a recording, not a failure.
  WaitShowingProgress("Recording ", invocation.seconds, kStoreSeconds, ShowProgress(invocation));
  mirn.SoundRecordStop();

  std::int32_t saved = Save(mirn, saved_file->path(), kRecordingRate);
  mirn.DLLStop();
  if (saved == kFileFailed) {
    ReportSaveFailure(saved_file->path());
    return kExitFailed;
  }
  if (saved == 0) {
    Fail("nothing was recorded: no sound came from the input device '" +
         DeviceInUse(Direction::kCapture) + "' (is there one?); " +
         (to_stdout ? std::string("nothing written") : target + " not written"));
    return kExitFailed;
  }
  // A capture may deliver faster than real time: the take keeps at most
  // the duration asked for.
  const auto longest = static_cast<std::int32_t>(invocation.seconds * kRecordingRate);
  if (saved > longest) {
    if (!CutTake(saved_file->path(), static_cast<std::uint32_t>(longest), &error)) {
      Fail(error);
      return kExitFailed;
    }
    saved = longest;
  }
  const bool put = to_stdout ? CopyFileTo(saved_file->path(), stdout, &error)
                             : PutInPlace(saved_file->path(), target, &error);
  if (!put) {
    Fail(error);
    return kExitFailed;
  }
  Tell(invocation, "Saved " + std::to_string(saved) + " bytes to " + shown + " (" +
                       Seconds2(static_cast<double>(saved) / kRecordingRate) + " at " +
                       RecordingRateText() + ")");
  return kExitOk;
}

// Each file in turn, as aplay plays them: one that cannot play is reported
// and the rest still play; Ctrl-C ends the whole run, and the temporary
// files go with it.
int PlayEach(const host::Exports& mirn, const Invocation& invocation, bool tone) {
  CatchInterrupts();
  int status = kExitOk;
  for (const std::string& file : invocation.files) {
    if (Interrupted()) break;
    const int played = LoadAndPlay(mirn, invocation, file, tone);
    if (played == kExitInterrupted) return played;
    if (played != kExitOk) status = played;
  }
  if (Interrupted()) {
    Fail("interrupted");
    return kExitInterrupted;
  }
  return status;
}

int RunPlay(const host::Exports& mirn, const Invocation& invocation) {
  return PlayEach(mirn, invocation, /*tone=*/false);
}

int RunTone(const host::Exports& mirn, const Invocation& invocation) {
  return PlayEach(mirn, invocation, /*tone=*/true);
}

int RunInfo(const Invocation& invocation) {
  std::optional<TemporaryFile> spooled;
  const auto path = InputPath(invocation.file, &spooled);
  if (!path) return kExitFailed;
  const std::string name = NameOf(invocation.file);
  std::string error;
  const int fd = OpenRegularFile(*path, name, &error);
  if (fd < 0) {
    Fail("cannot open " + name + ": " + error);
    return kExitFailed;
  }
  const auto info = ReadWaveFileInfo(*path, &error);
  int status = kExitOk;
  if (info) {
    // A format drawn from what libsndfile decodes of it, as much as the store
    // would take.
    const WaveformFallback decode = [fd](std::size_t columns, std::string* note) {
      std::string ignored;
      const auto decoded = audio::Available() ? audio::Decode(fd, kStoreBytes, &ignored)
                                              : std::nullopt;
      if (!decoded) return std::optional<std::vector<SampleRange>>();
      if (decoded->frames > decoded->samples.size()) {
        *note = "the waveform shows the first " +
                Seconds2(static_cast<double>(decoded->samples.size()) / decoded->rate) +
                ", as much as a play takes";
      }
      return std::optional(DecodedWaveform(*decoded, columns));
    };
    std::string out = DescribeWaveFile(*path, *info, WaveformColumns(), name, decode);
    if (!info->InLibraryLayout() && audio::Available()) {
      out += "  (mirn play and tone convert it to the library's layout)\n";
    }
    std::fputs(out.c_str(), stdout);
  } else if (audio::Available()) {
    status = DescribeDecoded(name, fd);
  } else {
    Fail(error);
    status = kExitFailed;
  }
  close(fd);
  return status;
}

int RunCall(const host::Exports& mirn, const Invocation& invocation) {
  CatchInterrupts();
  bool failed = false;
  // The library's format record is empty until a recording starts or a load
  // succeeds; until then no play opens an output, whatever the device.
  bool has_format = false;
  for (const Step& step : invocation.steps) {
    const std::string path = "\"" + step.path + "\"";
    const std::string rate = std::to_string(step.rate);
    std::string call;
    std::int32_t result = 0;
    switch (step.kind) {
      case Step::Kind::kStart:
        call = "SoundRecordStart()", result = mirn.SoundRecordStart();
        break;
      case Step::Kind::kStop:
        call = "SoundRecordStop()", result = mirn.SoundRecordStop();
        break;
      case Step::Kind::kPlay:
        call = "SoundRecordPlay(" + rate + ")", result = mirn.SoundRecordPlay(step.rate);
        break;
      case Step::Kind::kTone:
        call = "ToneCreate(" + rate + ")", result = mirn.ToneCreate(step.rate);
        break;
      case Step::Kind::kSave:
        call = "SoundRecordSave(" + path + ", " + rate + ")";
        result = Save(mirn, step.path, step.rate);
        break;
      case Step::Kind::kLoad:
        call = "SoundRecordLoad(" + path + ")", result = Load(mirn, step.path);
        break;
      case Step::Kind::kDllStop:
        call = "DLLStop()", result = mirn.DLLStop();
        break;
      case Step::Kind::kWait:
        if (WaitShowingProgress("Waiting ", step.seconds, step.seconds,
                                ShowProgress(invocation)) ==
            WaitEnd::kInterrupted) {
          Fail("interrupted");
          return kExitInterrupted;
        }
        continue;
    }
    std::printf("%s = %d\n", call.c_str(), result);
    std::fflush(stdout);
    if (step.kind == Step::Kind::kStart ||
        (step.kind == Step::Kind::kLoad && result != kFileFailed)) {
      has_format = true;
    }

    // Later steps still run: a failure is part of what is being tried.
    const bool plays = step.kind == Step::Kind::kPlay || step.kind == Step::Kind::kTone;
    if (plays && result == kNoOutput) {
      if (has_format) {
        ReportNoOutput(step.rate);
      } else {
        Fail("nothing is recorded or loaded yet, so the format is empty and no output opens "
             "(start and stop a recording, or load a file, first)");
      }
      failed = true;
    } else if (step.kind == Step::Kind::kSave && result == kFileFailed) {
      ReportSaveFailure(step.path);
      failed = true;
    } else if (step.kind == Step::Kind::kLoad && result == kFileFailed) {
      ReportLoadFailure(step.path);
      failed = true;
    }
  }
  return failed ? kExitFailed : kExitOk;
}

}  // namespace mirn::cli
