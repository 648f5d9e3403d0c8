// The commands behind `mirn record`, `play`, `tone`, `info` and `call`. The
// library never says when a device has finished, so the host waits the
// sound's own duration, computed from the byte counts the calls return.
#include "host/mirn/sessions.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "host/binding/host_strings.h"
#include "host/mirn/file_problems.h"
#include "host/mirn/progress.h"
#include "host/mirn/wave_file_info.h"

namespace mirn::cli {
namespace {

constexpr std::int32_t kNoOutput = 33;
constexpr std::int32_t kFileFailed = -1;
constexpr std::size_t kPlainColumns = 72;
// Seconds a sound system may lag behind a play: the device's own buffer and
// a sound server's on top of it.
constexpr double kDeviceLatency = 0.3;

// Progress lines are for a person at a terminal, never for a pipe or file.
bool ShowProgress() { return isatty(STDOUT_FILENO) == 1; }

std::size_t WaveformColumns() {
  winsize size{};
  if (isatty(STDOUT_FILENO) == 1 && ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 &&
      size.ws_col > 10) {
    return size.ws_col - 2u;  // the rows are indented by two
  }
  return kPlainColumns;
}

std::string Seconds2(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2f s", seconds);
  return text;
}

void Fail(const std::string& message) { std::fprintf(stderr, "mirn: %s\n", message.c_str()); }

void ReportNoOutput(std::int32_t rate) {
  Fail("no wave output device could be opened at " + std::to_string(rate) + " Hz");
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
std::int32_t Save(const host::Exports& mirn, const std::string& path, std::int32_t rate) {
  return mirn.SoundRecordSave(host::NewAutomationString(path), rate);
}

std::int32_t Load(const host::Exports& mirn, const std::string& path) {
  return mirn.SoundRecordLoad(host::NewAutomationString(path));
}

// Loads a recording to play. A file the library reads differently from a
// player (its data chunk elsewhere than offset 44) is loaded but warned of.
std::optional<std::uint32_t> LoadToPlay(const host::Exports& mirn, const std::string& path) {
  std::string ignored;
  const auto info = ReadWaveFileInfo(path, &ignored);
  if (info && info->size_at_48 && !info->InLibraryLayout()) {
    Fail("warning: " + path + " is not laid out as a saved recording: the library takes "
         "the value at offset 48 (" + std::to_string(*info->size_at_48) +
         ") as its data size");
  }
  const std::int32_t loaded = Load(mirn, path);
  if (loaded == kFileFailed) {
    ReportLoadFailure(path);
    return std::nullopt;
  }
  return static_cast<std::uint32_t>(loaded);
}

// Loads the file, starts a play (or a tone replay) at the invocation's rate
// and waits until its longest stream has ended.
int LoadAndPlay(const host::Exports& mirn, const Invocation& invocation, bool tone) {
  const auto loaded = LoadToPlay(mirn, invocation.file);
  if (!loaded) return kExitFailed;
  const std::int32_t rate = invocation.rate;
  if ((tone ? mirn.ToneCreate(rate) : mirn.SoundRecordPlay(rate)) == kNoOutput) {
    mirn.DLLStop();
    ReportNoOutput(rate);
    return kExitFailed;
  }
  // A play's two passes both play the loaded bytes at the rate, at once.
  const double seconds =
      tone ? ToneReplaySeconds(*loaded, rate) : static_cast<double>(*loaded) / rate;
  std::printf("%s %s: %u bytes at %d Hz%s (%s)\n", tone ? "Tone replay of" : "Playing",
              invocation.file.c_str(), *loaded, rate, tone ? ", replayed at 8000 Hz" : "",
              Seconds2(seconds).c_str());
  std::fflush(stdout);

  WaitEnd end = WaitShowingProgress("Playing ", seconds, seconds, ShowProgress());
  // The device starts a little after the call and still holds its buffer
  // when the duration has passed; leaving at once would cut the end off.
  if (end == WaitEnd::kDone) end = WaitShowingProgress("", kDeviceLatency, 0, false);
  mirn.DLLStop();
  if (end == WaitEnd::kInterrupted) {
    Fail("interrupted");
    return kExitInterrupted;
  }
  return kExitOk;
}

}  // namespace

double ToneReplaySeconds(std::uint32_t loaded, std::int32_t rate) {
  if (rate < 1) return 0;
  const auto factor = static_cast<std::uint32_t>(11025 / rate);
  const std::uint32_t scaled = std::min(factor * loaded, kStoreBytes);
  const double at_rate = static_cast<double>(loaded) / rate;
  return std::max(at_rate, static_cast<double>(std::max(scaled, loaded)) / kRecordingRate);
}

int RunRecord(const host::Exports& mirn, const Invocation& invocation) {
  const std::string& path = invocation.file;
  // Refused before recording, not after the take is lost.
  if (!WhyCannotSave(path).empty()) {
    ReportSaveFailure(path);
    return kExitFailed;
  }
  CatchInterrupts();
  const std::string how_long = invocation.seconds < kStoreSeconds
                                  ? "for " + Seconds2(invocation.seconds)
                                  : "until the store is full after 200 s";
  std::printf("Recording to %s, 8-bit mono at 8000 Hz, %s (Ctrl-C stops)\n", path.c_str(),
              how_long.c_str());
  std::fflush(stdout);

  mirn.SoundRecordStart();
  // Ctrl-C is the ordinary way to end a recording, not a failure.
  WaitShowingProgress("Recording ", invocation.seconds, kStoreSeconds, ShowProgress());
  mirn.SoundRecordStop();

  const std::int32_t saved = Save(mirn, path, invocation.rate);
  mirn.DLLStop();
  if (saved == kFileFailed) {
    ReportSaveFailure(path);
    return kExitFailed;
  }
  std::string what = Seconds2(static_cast<double>(saved) / kRecordingRate) + " at 8000 Hz";
  if (invocation.rate != kRecordingRate) {
    what += ", marked " + std::to_string(invocation.rate) + " Hz";
  }
  std::printf("Saved %d bytes to %s (%s)\n", saved, path.c_str(), what.c_str());
  return kExitOk;
}

int RunPlay(const host::Exports& mirn, const Invocation& invocation) {
  return LoadAndPlay(mirn, invocation, /*tone=*/false);
}

int RunTone(const host::Exports& mirn, const Invocation& invocation) {
  return LoadAndPlay(mirn, invocation, /*tone=*/true);
}

int RunInfo(const Invocation& invocation) {
  std::string error;
  const auto info = ReadWaveFileInfo(invocation.file, &error);
  if (!info) {
    Fail(error);
    return kExitFailed;
  }
  std::fputs(DescribeWaveFile(invocation.file, *info, WaveformColumns()).c_str(), stdout);
  return kExitOk;
}

int RunCall(const host::Exports& mirn, const Invocation& invocation) {
  CatchInterrupts();
  bool failed = false;
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
        if (WaitShowingProgress("Waiting ", step.seconds, step.seconds, ShowProgress()) ==
            WaitEnd::kInterrupted) {
          Fail("interrupted");
          return kExitInterrupted;
        }
        continue;
    }
    std::printf("%s = %d\n", call.c_str(), result);
    std::fflush(stdout);

    // Later steps still run: a failure is part of what is being tried.
    const bool plays = step.kind == Step::Kind::kPlay || step.kind == Step::Kind::kTone;
    if (plays && result == kNoOutput) {
      ReportNoOutput(step.rate);
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
