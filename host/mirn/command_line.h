// The command line of `mirn`: its commands, options and the raw call steps of
// `mirn call`, parsed into one Invocation before anything runs.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "MirnDLL.h"

namespace mirn::cli {

inline constexpr std::int32_t kRecordingRate = MIRNDLL_RECORDING_RATE;
inline constexpr std::uint32_t kStoreBytes = MIRNDLL_STORE_BYTES;
inline constexpr double kStoreSeconds = static_cast<double>(kStoreBytes) / kRecordingRate;
// Longest `wait:` step; keeps every wait well inside the clock's range.
inline constexpr double kLongestWait = 86'400.0;

// One raw export call (or a pause) of `mirn call`.
struct Step {
  enum class Kind { kStart, kStop, kWait, kPlay, kTone, kSave, kLoad, kDllStop };
  Kind kind = Kind::kStop;
  std::int32_t rate = 0;  // play, tone, save
  double seconds = 0;     // wait
  std::string path;       // save, load
};

enum class Command { kRecord, kPlay, kTone, kInfo, kCall, kDevices };

struct Invocation {
  Command command = Command::kCall;
  std::string library;        // --library; empty: beside mirn, then ../lib
  bool by_ordinal = false;    // --ordinals
  bool quiet = false;         // -q: errors and warnings only
  std::string device;         // -D: the device for this run; empty: the environment's
  std::string file;           // record, info, the first of play and tone; "-": stdout or stdin
  std::vector<std::string> files;    // play, tone: each in turn
  std::optional<std::int32_t> rate;  // play, tone -r; unset: the file's own
  double seconds = kStoreSeconds;    // record -d: stop after this long, keep at most this much
  std::vector<Step> steps;    // call
};

// What the arguments ask for: an invocation to run, text to print on
// standard output and leave (help, version), or an error of one line.
struct Parsed {
  std::optional<Invocation> invocation;
  std::string output;
  std::string error;
  std::string error_command;  // the command the error is in, for the help pointer
};

// Parses the arguments after the program name (with CLI11). Options may
// come before or after the command and its operands; "--" ends them.
Parsed Parse(std::span<const char* const> args);

// The line that follows an error: where to read more.
std::string HelpPointer(const Parsed& parsed);

// One step of `mirn call` ("play:8000", "save:PATH:RATE", ...), or nullopt
// with error set.
std::optional<Step> ParseStep(std::string_view text, std::string* error);

// The whole help text (`mirn --help`), or one command's (`mirn help play`).
std::string Help(std::string_view command = "");

}  // namespace mirn::cli
