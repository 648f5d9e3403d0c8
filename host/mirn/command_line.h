// The command line of `mirn`: its commands, options and the raw call steps of
// `mirn call`, parsed into one Invocation before anything runs.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace mirn::cli {

inline constexpr std::int32_t kRecordingRate = 8000;
inline constexpr std::uint32_t kStoreBytes = 1'600'000;
inline constexpr double kStoreSeconds = 200.0;  // the store at the recording rate
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

enum class Command { kHelp, kRecord, kPlay, kTone, kInfo, kCall };

struct Invocation {
  Command command = Command::kHelp;
  std::string library;        // --library; empty: beside mirn, then ../lib
  bool by_ordinal = false;    // --ordinals
  std::string file;           // record, play, tone, info
  std::int32_t rate = kRecordingRate;  // -r
  double seconds = kStoreSeconds;      // record -d: stop after this long
  std::vector<Step> steps;    // call
};

// An invocation, or the reason the arguments make none.
struct Parsed {
  std::optional<Invocation> invocation;
  std::string error;
};

// Parses the arguments after the program name. Options may come before or
// after the command and its operands; "--" ends them.
Parsed Parse(std::span<const char* const> args);

// One step of `mirn call` ("play:8000", "save:PATH:RATE", ...), or nullopt
// with error set.
std::optional<Step> ParseStep(std::string_view text, std::string* error);

// The usage text, naming the program as invoked.
std::string Usage(std::string_view program);

}  // namespace mirn::cli
