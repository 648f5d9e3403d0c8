// Parsing of mirn's arguments with CLI11, with the flag habits of
// arecord/aplay: -d and -r with the value attached or separate, long forms
// with "=" or a space, help per command, --version.
#include "host/mirn/command_line.h"

#include <CLI/CLI.hpp>
#include <charconv>
#include <cmath>
#include <limits>
#include <memory>

#include "host/mirn/system.h"

namespace mirn::cli {
namespace {

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

namespace {

// The option values as CLI11 hands them over, checked afterwards by the
// parsers above so that every refusal says what was wrong with the value.
struct Values {
  std::string library;
  bool by_ordinal = false;
  bool quiet = false;
  std::string device;
  std::string file;
  std::vector<std::string> files;  // play, tone
  std::string rate;
  std::string seconds;
  std::string record_rate;  // refused: see below
  std::vector<std::string> steps;
  std::string help_topic;
};

constexpr const char* kFooter =
    "Files: play, tone and info take WAVE files saved by the library as they are,\n"
    "and other audio files (FLAC, Ogg Vorbis, WAVE of any layout, AIFF, AU, ...)\n"
    "converted to 8-bit mono. FILE '-' is standard input; for record, standard\n"
    "output, written when the take ends (the library hands the sound over at the\n"
    "stop). Any path the system takes will do: mirn hands the library a short one.\n"
    "Devices: -D NAME, else MIRN_CAPTURE_PCM or MIRN_PLAYBACK_PCM for one direction,\n"
    "else MIRN_PCM, else AUDIODEV, else the system's default; 'mirn devices' lists them.\n"
    "Messages go to standard error. See mirn(1).";

std::unique_ptr<CLI::App> BuildApp(Values& v) {
  auto app = std::make_unique<CLI::App>(
      std::string("mirn: records, plays and inspects sound through ") + sys::kLibraryName, "mirn");
  app->set_version_flag("--version", std::string("mirn ") + MIRN_VERSION);
  app->add_option("--library", v.library,
                  std::string("load this ") + sys::kLibraryName + " (default: beside mirn, then ../lib)")
      ->type_name("PATH");
  app->add_flag("--ordinals", v.by_ordinal,
                "bind the library's functions by ordinal instead of by name");
  app->add_flag("-q,--quiet", v.quiet, "print only errors and warnings");
  app->add_option("-D,--device", v.device,
                  "record from and play to this device (sets MIRN_PCM for this run; "
                  "'mirn devices' lists them)")
      ->type_name("NAME");
  app->get_formatter()->label("Subcommands", "Commands");
  app->get_formatter()->label("SUBCOMMAND", "COMMAND");
  app->get_formatter()->column_width(24);
  app->allow_extras();  // reported below in mirn's own words
  app->fallthrough();   // global options may follow the command
  app->require_subcommand(0, 1);  // "help play": play is help's operand

  CLI::App* record = app->add_subcommand(
      "record", "record from the input device until SECONDS have passed or Ctrl-C, and save "
                "the sound as 8-bit mono at 8000 Hz");
  record->add_option("FILE", v.file,
                     "the WAVE file to write; '-': standard output, written when the take ends")
      ->required();
  record->add_option("-d,--duration", v.seconds,
                     "stop after SECONDS and keep at most that much sound (above 0, at most "
                     "and by default 200)")
      ->type_name("SECONDS");
  // Kept out of the help, for a clear refusal instead of "unknown option".
  record->add_option("-r,--rate", v.record_rate)->group("");

  for (const char* name : {"play", "tone"}) {
    const bool tone = name[0] == 't';
    CLI::App* play = app->add_subcommand(
        name, tone ? "play each FILE in turn at RATE together with the same sound at its "
                     "recorded speed (8000 Hz), the first time drawn out to 11025 / RATE "
                     "times its length"
                   : "play each FILE in turn at RATE samples per second");
    play->add_option("FILE", v.files, "audio files, played one after another; '-': standard input")
        ->required();
    play->add_option("-r,--rate", v.rate,
                     "samples per second (default: the file's own rate)")
        ->type_name("RATE");
  }
  CLI::App* info = app->add_subcommand(
      "info", "show what a sound file holds: its format, its length and a waveform");
  info->add_option("FILE", v.file, "an audio file; '-': standard input")->required();

  CLI::App* call = app->add_subcommand(
      "call", "call the library's functions one STEP after another and print each result");
  call->add_option("STEP", v.steps,
                   "start stop wait:SECONDS play:RATE tone:RATE save:PATH:RATE load:PATH dllstop")
      ->required();

  app->add_subcommand("devices",
                      "list the devices that record and play, marking the ones in use");
  CLI::App* help = app->add_subcommand("help", "show the help of mirn or of one command");
  help->add_option("COMMAND", v.help_topic, "the command");
  for (CLI::App* sub : app->get_subcommands({})) sub->fallthrough();
  app->footer(kFooter);  // after the commands, which would inherit it
  return app;
}

std::string SubcommandName(const CLI::App& app) {
  const auto selected = app.get_subcommands();
  return selected.empty() ? "" : selected.back()->get_name();
}

// Help from an app that has parsed nothing: once a command is selected,
// CLI11's help of the whole app is that command's.
std::string HelpOf(CLI::App& app, std::string_view command) {
  if (command.empty()) return app.help();
  return app.get_subcommand(std::string(command))->help(app.get_name());
}

bool IsCommand(CLI::App& app, std::string_view name) {
  for (const CLI::App* sub : app.get_subcommands({})) {
    if (sub->get_name() == name) return true;
  }
  return false;
}

}  // namespace

Parsed Parse(std::span<const char* const> args) {
  Parsed parsed;
  Values v;
  const auto app = BuildApp(v);
  // CLI11 takes the arguments last first.
  std::vector<std::string> reversed(args.rbegin(), args.rend());
  try {
    app->parse(reversed);
  } catch (const CLI::CallForHelp&) {
    parsed.output = Help(SubcommandName(*app));
    return parsed;
  } catch (const CLI::CallForVersion& version) {
    parsed.output = std::string(version.what()) + "\n";
    return parsed;
  } catch (const CLI::ParseError& error) {
    parsed.error = error.what();
    parsed.error_command = SubcommandName(*app);
    return parsed;
  }
  const std::string command = SubcommandName(*app);
  parsed.error_command = command == "help" ? "" : command;
  const auto fail = [&parsed](std::string message) {
    parsed.error = std::move(message);
    return parsed;
  };

  const std::vector<std::string> extras = app->remaining();
  if (command.empty()) {
    if (!extras.empty() && extras.front().starts_with("-")) {
      return fail("unknown option '" + extras.front() + "'");
    }
    return fail(extras.empty() ? "no command given" : "unknown command '" + extras.front() + "'");
  }
  if (!extras.empty()) {
    if (extras.front().size() > 1 && extras.front().starts_with("-")) {
      return fail("unknown option '" + extras.front() + "'");
    }
    return fail("unexpected argument '" + extras.front() + "': " + command +
                (command == "call"      ? " takes steps"
                 : command == "devices" ? " takes none"
                                        : " takes one file"));
  }
  if (command == "help") {
    if (!v.help_topic.empty() && !IsCommand(*app, v.help_topic)) {
      return fail("unknown command '" + v.help_topic + "'");
    }
    parsed.output = Help(v.help_topic);
    return parsed;
  }

  Invocation invocation;
  invocation.library = v.library;
  invocation.by_ordinal = v.by_ordinal;
  invocation.quiet = v.quiet;
  invocation.device = v.device;
  invocation.files = v.files;
  invocation.file = v.files.empty() ? v.file : v.files.front();
  const struct {
    std::string_view name;
    Command command;
  } commands[] = {{"record", Command::kRecord}, {"play", Command::kPlay},
                  {"tone", Command::kTone},     {"info", Command::kInfo},
                  {"call", Command::kCall},     {"devices", Command::kDevices}};
  for (const auto& entry : commands) {
    if (entry.name == command) invocation.command = entry.command;
  }

  if (app->get_option("--library")->count() > 0 && v.library.empty()) {
    return fail("--library needs a path");
  }
  if (app->get_option("--device")->count() > 0 && v.device.empty()) {
    return fail("--device needs a name");
  }
  if (!v.record_rate.empty() || app->get_subcommand("record")->count("-r") > 0) {
    return fail("record takes no -r: it records and saves at 8000 Hz (to write another "
                "rate into the header: mirn call start wait:SECONDS stop save:PATH:RATE)");
  }
  if (invocation.command == Command::kPlay || invocation.command == Command::kTone) {
    if (app->get_subcommand(command)->count("-r") > 0) {
      auto rate = ParseRate(v.rate, &parsed.error);
      if (!rate) return parsed;
      invocation.rate = *rate;
    }
  }
  if (invocation.command == Command::kRecord && !v.seconds.empty()) {
    // Zero would record nothing and still replace the file.
    const auto seconds = ParseSeconds(v.seconds, kStoreSeconds);
    if (!seconds || *seconds <= 0) {
      return fail("duration must be a number of seconds above 0 and at most 200 (the store "
                  "holds 200 s), not '" + v.seconds + "'");
    }
    invocation.seconds = *seconds;
  }
  for (const std::string& operand : v.steps) {
    auto step = ParseStep(operand, &parsed.error);
    if (!step) return parsed;
    invocation.steps.push_back(std::move(*step));
  }
  parsed.invocation = std::move(invocation);
  return parsed;
}

std::string HelpPointer(const Parsed& parsed) {
  return "Try 'mirn " + (parsed.error_command.empty() ? "" : parsed.error_command + " ") +
         "--help' for more information.";
}

std::string Help(std::string_view command) {
  Values v;
  const auto app = BuildApp(v);
  return HelpOf(*app, command);
}

}  // namespace mirn::cli
