// Parsing of mirn's arguments, with the flag habits of arecord/aplay: -d and
// -r with the value attached or separate, long forms with "=" or a space.
#include "host/mirn/command_line.h"

#include <charconv>
#include <cmath>
#include <limits>

namespace mirn::cli {
namespace {

struct CommandName {
  std::string_view name;
  Command command;
};
constexpr CommandName kCommands[] = {
    {"record", Command::kRecord}, {"play", Command::kPlay}, {"tone", Command::kTone},
    {"info", Command::kInfo},     {"call", Command::kCall},
};

// A whole decimal integer in [low, high].
std::optional<std::int64_t> ParseInteger(std::string_view text, std::int64_t low,
                                         std::int64_t high) {
  std::int64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
    return std::nullopt;
  }
  if (value < low || value > high) return std::nullopt;
  return value;
}

// A finite decimal number of seconds in [0, high].
std::optional<double> ParseSeconds(std::string_view text, double high) {
  double value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value,
                                            std::chars_format::fixed);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
    return std::nullopt;
  }
  if (!std::isfinite(value) || value < 0 || value > high) return std::nullopt;
  return value;
}

constexpr std::int64_t kInt32Min = std::numeric_limits<std::int32_t>::min();
constexpr std::int64_t kInt32Max = std::numeric_limits<std::int32_t>::max();

// A rate for record, play and tone: samples per second, at least 1.
std::optional<std::int32_t> ParseRate(std::string_view text, std::string* error) {
  const auto rate = ParseInteger(text, 1, kInt32Max);
  if (!rate) {
    *error = "rate must be a whole number of samples per second from 1 to " +
             std::to_string(kInt32Max) + ", not '" + std::string(text) + "'";
    return std::nullopt;
  }
  return static_cast<std::int32_t>(*rate);
}

// Any 32-bit rate for a raw call: the library decides what 0 or -1 means.
std::optional<std::int32_t> ParseRawRate(std::string_view step, std::string_view text,
                                         std::string* error) {
  const auto rate = ParseInteger(text, kInt32Min, kInt32Max);
  if (!rate) {
    *error = "step '" + std::string(step) + "': rate must be a 32-bit whole number";
    return std::nullopt;
  }
  return static_cast<std::int32_t>(*rate);
}

// Takes the value of a flag: "-r8000", "--rate=8000", or the next argument.
std::optional<std::string_view> FlagValue(std::string_view arg, std::string_view short_flag,
                                          std::string_view long_flag,
                                          std::span<const char* const> args, std::size_t* at,
                                          std::string* error) {
  if (arg == short_flag || arg == long_flag) {
    if (*at + 1 >= args.size()) {
      *error = std::string(arg) + " needs a value";
      return std::nullopt;
    }
    return std::string_view(args[++*at]);
  }
  if (arg.starts_with(long_flag) && arg.size() > long_flag.size() &&
      arg[long_flag.size()] == '=') {
    return arg.substr(long_flag.size() + 1);
  }
  return arg.substr(short_flag.size());  // attached: -r8000
}

bool IsFlag(std::string_view arg, std::string_view short_flag, std::string_view long_flag) {
  if (arg == long_flag || (arg.starts_with(long_flag) && arg.size() > long_flag.size() &&
                           arg[long_flag.size()] == '=')) {
    return true;
  }
  return !short_flag.empty() && arg.starts_with(short_flag);
}

}  // namespace

std::optional<Step> ParseStep(std::string_view text, std::string* error) {
  const std::size_t colon = text.find(':');
  const std::string_view name = text.substr(0, colon);
  const std::string_view rest = colon == std::string_view::npos ? "" : text.substr(colon + 1);
  const bool has_argument = colon != std::string_view::npos;
  Step step;

  using Kind = Step::Kind;
  struct Bare {
    std::string_view name;
    Kind kind;
  };
  for (const Bare bare : {Bare{"start", Kind::kStart}, Bare{"stop", Kind::kStop},
                          Bare{"dllstop", Kind::kDllStop}}) {
    if (name != bare.name) continue;
    if (has_argument) {
      *error = "step '" + std::string(text) + "' takes no argument";
      return std::nullopt;
    }
    step.kind = bare.kind;
    return step;
  }

  if (!has_argument) {
    *error = "unknown step '" + std::string(text) +
             "' (steps: start stop wait:SECONDS play:RATE tone:RATE save:PATH:RATE "
             "load:PATH dllstop)";
    return std::nullopt;
  }
  if (name == "wait") {
    const auto seconds = ParseSeconds(rest, kLongestWait);
    if (!seconds) {
      *error = "step '" + std::string(text) + "': seconds must be a number from 0 to " +
               std::to_string(static_cast<int>(kLongestWait));
      return std::nullopt;
    }
    step.kind = Kind::kWait;
    step.seconds = *seconds;
    return step;
  }
  if (name == "play" || name == "tone") {
    const auto rate = ParseRawRate(text, rest, error);
    if (!rate) return std::nullopt;
    step.kind = name == "play" ? Kind::kPlay : Kind::kTone;
    step.rate = *rate;
    return step;
  }
  if (name == "save") {
    // The rate follows the last colon, so a path may hold colons itself.
    const std::size_t last = rest.rfind(':');
    if (last == std::string_view::npos || last == 0) {
      *error = "step '" + std::string(text) + "': expected save:PATH:RATE";
      return std::nullopt;
    }
    const auto rate = ParseRawRate(text, rest.substr(last + 1), error);
    if (!rate) return std::nullopt;
    step.kind = Kind::kSave;
    step.path = std::string(rest.substr(0, last));
    step.rate = *rate;
    return step;
  }
  if (name == "load") {
    if (rest.empty()) {
      *error = "step '" + std::string(text) + "': expected load:PATH";
      return std::nullopt;
    }
    step.kind = Kind::kLoad;
    step.path = std::string(rest);
    return step;
  }
  *error = "unknown step '" + std::string(text) + "'";
  return std::nullopt;
}

Parsed Parse(std::span<const char* const> args) {
  Parsed parsed;
  Invocation invocation;
  bool have_command = false;
  std::optional<std::string_view> rate_text;
  std::optional<std::string_view> seconds_text;
  std::vector<std::string_view> operands;
  bool options_ended = false;

  for (std::size_t at = 0; at < args.size(); ++at) {
    const std::string_view arg = args[at];
    const bool looks_like_option = !options_ended && arg.size() > 1 && arg[0] == '-';
    if (!looks_like_option) {
      if (!have_command) {
        bool known = false;
        for (const CommandName& entry : kCommands) {
          if (arg == entry.name) {
            invocation.command = entry.command;
            known = true;
          }
        }
        if (!known) {
          parsed.error = "unknown command '" + std::string(arg) + "'";
          return parsed;
        }
        have_command = true;
      } else {
        operands.push_back(arg);
      }
      continue;
    }
    if (arg == "--") {
      options_ended = true;
    } else if (arg == "-h" || arg == "--help") {
      parsed.invocation = Invocation{};  // Command::kHelp
      return parsed;
    } else if (arg == "--ordinals") {
      invocation.by_ordinal = true;
    } else if (IsFlag(arg, "", "--library")) {
      const auto value = FlagValue(arg, "--library", "--library", args, &at, &parsed.error);
      if (!value) return parsed;
      if (value->empty()) {
        parsed.error = "--library needs a path";
        return parsed;
      }
      invocation.library = std::string(*value);
    } else if (IsFlag(arg, "-r", "--rate")) {
      rate_text = FlagValue(arg, "-r", "--rate", args, &at, &parsed.error);
      if (!rate_text) return parsed;
    } else if (IsFlag(arg, "-d", "--duration")) {
      seconds_text = FlagValue(arg, "-d", "--duration", args, &at, &parsed.error);
      if (!seconds_text) return parsed;
    } else {
      parsed.error = "unknown option '" + std::string(arg) + "'";
      return parsed;
    }
  }

  if (!have_command) {
    parsed.error = "no command given";
    return parsed;
  }

  const Command command = invocation.command;
  const bool takes_file = command != Command::kCall;
  if (takes_file && operands.size() != 1) {
    parsed.error = operands.empty() ? "a file name is needed" : "only one file name is taken";
    return parsed;
  }
  if (takes_file) invocation.file = std::string(operands.front());
  if (command == Command::kCall && operands.empty()) {
    parsed.error = "call needs at least one step";
    return parsed;
  }

  const bool takes_rate = command == Command::kRecord || command == Command::kPlay ||
                          command == Command::kTone;
  if (rate_text && !takes_rate) {
    parsed.error = "-r does not apply to this command";
    return parsed;
  }
  if (command == Command::kTone && !rate_text) {
    parsed.error = "tone needs a rate: -r RATE";
    return parsed;
  }
  if (rate_text) {
    const auto rate = ParseRate(*rate_text, &parsed.error);
    if (!rate) return parsed;
    invocation.rate = *rate;
  }

  if (seconds_text && command != Command::kRecord) {
    parsed.error = "-d applies to record only";
    return parsed;
  }
  if (seconds_text) {
    const auto seconds = ParseSeconds(*seconds_text, kStoreSeconds);
    if (!seconds) {
      parsed.error = "duration must be a number of seconds from 0 to 200 (the store holds "
                     "200 s), not '" + std::string(*seconds_text) + "'";
      return parsed;
    }
    invocation.seconds = *seconds;
  }

  if (command == Command::kCall) {
    for (const std::string_view operand : operands) {
      auto step = ParseStep(operand, &parsed.error);
      if (!step) return parsed;
      invocation.steps.push_back(std::move(*step));
    }
  }
  parsed.invocation = std::move(invocation);
  return parsed;
}

std::string Usage(std::string_view program) {
  const std::string p(program);
  return "usage: " + p + " [--library PATH] [--ordinals] COMMAND ...\n"
         "\n"
         "  " + p + " record OUT.wav [-d SECONDS] [-r RATE]\n"
         "      record 8-bit mono sound at 8000 samples/s until SECONDS have passed\n"
         "      (at most 200) or Ctrl-C, then save it marked with RATE (default 8000)\n"
         "  " + p + " play FILE.wav [-r RATE]\n"
         "      load a saved recording and play it at RATE samples/s (default 8000)\n"
         "  " + p + " tone FILE.wav -r RATE\n"
         "      load a saved recording and play its tone replay at RATE\n"
         "  " + p + " info FILE.wav\n"
         "      show a WAVE file's header, duration and waveform\n"
         "  " + p + " call STEP...\n"
         "      make raw calls and print each result; steps: start stop wait:SECONDS\n"
         "      play:RATE tone:RATE save:PATH:RATE load:PATH dllstop\n"
         "\n"
         "  --library PATH  load this libMirnDLL.so (default: beside " + p + ", then ../lib)\n"
         "  --ordinals      bind the library's functions by ordinal instead of by name\n"
         "  -d, --duration SECONDS   -r, --rate RATE   -h, --help\n";
}

}  // namespace mirn::cli
