// mirn's argument parsing: the option spellings it accepts, the values it
// refuses before anything runs, and the raw steps of `mirn call`.
#include "host/mirn/command_line.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <initializer_list>
#include <vector>

namespace mirn::cli {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

Parsed ParseList(std::initializer_list<const char*> args) {
  const std::vector<const char*> list(args);
  return Parse(std::span<const char* const>(list.data(), list.size()));
}

Invocation ParseOk(std::initializer_list<const char*> args) {
  Parsed parsed = ParseList(args);
  EXPECT_TRUE(parsed.invocation.has_value()) << parsed.error;
  return parsed.invocation.value_or(Invocation{});
}

TEST(CommandLine, OptionsInEverySpellingAndPlace) {
  for (const auto& args : {std::vector<const char*>{"record", "-d0.5", "a.wav", "-q"},
                           {"-q", "record", "a.wav", "--duration", "0.5"},
                           {"--quiet", "record", "--duration=0.5", "--", "a.wav"}}) {
    const Parsed parsed = Parse(std::span<const char* const>(args.data(), args.size()));
    ASSERT_TRUE(parsed.invocation) << parsed.error;
    EXPECT_EQ(parsed.invocation->command, Command::kRecord);
    EXPECT_EQ(parsed.invocation->file, "a.wav");
    EXPECT_TRUE(parsed.invocation->quiet);
    EXPECT_DOUBLE_EQ(parsed.invocation->seconds, 0.5);
  }

  // Defaults: record until the store is full; play at the file's own rate.
  EXPECT_DOUBLE_EQ(ParseOk({"record", "a.wav"}).seconds, kStoreSeconds);
  EXPECT_EQ(ParseOk({"play", "a.wav"}).rate, std::nullopt);
  EXPECT_EQ(ParseOk({"tone", "a.wav", "-r11025"}).rate, 11025);
  EXPECT_EQ(ParseOk({"play", "--rate=2147483647", "a.wav"}).rate, 2147483647);

  const Invocation bound = ParseOk({"--library", "/x/lib.so", "play", "a.wav", "--ordinals"});
  EXPECT_EQ(bound.library, "/x/lib.so");
  EXPECT_TRUE(bound.by_ordinal);
  EXPECT_FALSE(ParseOk({"info", "a.wav"}).by_ordinal);

  // play and tone take several files; -D goes anywhere.
  const Invocation several = ParseOk({"play", "a.wav", "-D", "hw:0", "b.wav"});
  EXPECT_EQ(several.files, (std::vector<std::string>{"a.wav", "b.wav"}));
  EXPECT_EQ(several.device, "hw:0");
  EXPECT_EQ(ParseOk({"--device=x", "devices"}).command, Command::kDevices);

  // "--" lets a file name start with a dash; a lone "-" is a name too.
  EXPECT_EQ(ParseOk({"info", "--", "-d.wav"}).file, "-d.wav");
  EXPECT_EQ(ParseOk({"record", "-", "-d", "1"}).file, "-");
}

TEST(CommandLine, HelpAndVersionAreOutputNotErrors) {
  // Help wins over anything else on the line, and is the command's own.
  const Parsed play_help = ParseList({"play", "--help", "-r", "0"});
  EXPECT_FALSE(play_help.invocation);
  EXPECT_EQ(play_help.output, Help("play"));
  EXPECT_EQ(ParseList({"help", "play"}).output, Help("play"));
  EXPECT_THAT(Help("record"), HasSubstr("--duration"));
  EXPECT_THAT(Help("play"), Not(HasSubstr("--duration")));
  EXPECT_EQ(ParseList({"-h"}).output, Help());
  EXPECT_EQ(ParseList({"help"}).output, Help());
  EXPECT_THAT(ParseList({"--version"}).output, HasSubstr("mirn " MIRN_VERSION));
}

TEST(CommandLine, RefusedArgumentsSayWhy) {
  struct Case {
    std::vector<const char*> args;
    const char* says;
    const char* pointer;
  };
  const Case cases[] = {
      {{}, "no command given", "mirn --help"},
      {{"recrod", "a.wav"}, "unknown command 'recrod'", "mirn --help"},
      {{"play"}, "FILE is required", "mirn play --help"},
      {{"info", "a.wav", "b.wav"}, "unexpected argument 'b.wav'", "mirn info --help"},
      {{"play", "a.wav", "-r", "0"}, "from 1 to 2147483647, not '0'", "mirn play --help"},
      {{"play", "a.wav", "-r", "2147483648"}, "not '2147483648'", "mirn play --help"},
      {{"play", "a.wav", "-r"}, "-r", "mirn play --help"},
      {{"play", "a.wav", "-d", "1"}, "unknown option '-d'", "mirn play --help"},
      {{"record", "a.wav", "-r", "11025"}, "record takes no -r", "mirn record --help"},
      {{"info", "a.wav", "-r", "8000"}, "unknown option '-r'", "mirn info --help"},
      {{"record", "a.wav", "-d", "200.5"}, "at most 200", "mirn record --help"},
      {{"record", "a.wav", "-d", "0"}, "above 0", "mirn record --help"},
      {{"record", "a.wav", "-d", "inf"}, "not 'inf'", "mirn record --help"},
      {{"record", "a.wav", "-d", "1e1"}, "not '1e1'", "mirn record --help"},
      {{"--library", "", "call", "stop"}, "--library needs a path", "mirn call --help"},
      {{"call", "start", "jump"}, "unknown step 'jump'", "mirn call --help"},
      {{"play", "a.wav", "--rates=1"}, "unknown option '--rates=1'", "mirn play --help"},
      {{"help", "dance"}, "unknown command 'dance'", "mirn --help"},
  };
  for (const Case& c : cases) {
    const Parsed parsed = Parse(std::span<const char* const>(c.args.data(), c.args.size()));
    EXPECT_FALSE(parsed.invocation) << c.says;
    EXPECT_TRUE(parsed.output.empty()) << c.says;
    EXPECT_THAT(parsed.error, HasSubstr(c.says));
    EXPECT_EQ(parsed.error.find('\n'), std::string::npos) << parsed.error;  // one line
    EXPECT_THAT(HelpPointer(parsed), HasSubstr(std::string("'") + c.pointer + "'")) << c.says;
  }
}

TEST(CommandLine, CallStepsKeepTheirArguments) {
  const Invocation call = ParseOk({"call", "start", "wait:0.25", "stop", "play:-1", "tone:0",
                                   "save:/tmp/a:b.wav:11025", "load:c:d.wav", "dllstop"});
  using Kind = Step::Kind;
  ASSERT_EQ(call.steps.size(), 8u);
  EXPECT_EQ(call.steps[0].kind, Kind::kStart);
  EXPECT_EQ(call.steps[1].kind, Kind::kWait);
  EXPECT_DOUBLE_EQ(call.steps[1].seconds, 0.25);
  EXPECT_EQ(call.steps[2].kind, Kind::kStop);
  // Raw calls pass any 32-bit rate: the library answers for 0 and below.
  EXPECT_EQ(call.steps[3].kind, Kind::kPlay);
  EXPECT_EQ(call.steps[3].rate, -1);
  EXPECT_EQ(call.steps[4].kind, Kind::kTone);
  EXPECT_EQ(call.steps[4].rate, 0);
  // The save rate follows the last colon; the load path is all the rest.
  EXPECT_EQ(call.steps[5].kind, Kind::kSave);
  EXPECT_EQ(call.steps[5].path, "/tmp/a:b.wav");
  EXPECT_EQ(call.steps[5].rate, 11025);
  EXPECT_EQ(call.steps[6].kind, Kind::kLoad);
  EXPECT_EQ(call.steps[6].path, "c:d.wav");
  EXPECT_EQ(call.steps[7].kind, Kind::kDllStop);

  const struct {
    const char* step;
    const char* says;
  } refused[] = {
      {"start:1", "takes no argument"},      {"play", "unknown step 'play'"},
      {"play:", "32-bit whole number"},      {"play:2147483648", "32-bit whole number"},
      {"tone:8000x", "32-bit whole number"}, {"save:a.wav", "save:PATH:RATE"},
      {"save::8000", "save:PATH:RATE"},      {"save:8000", "save:PATH:RATE"},
      {"load:", "load:PATH"},                {"wait:-0.5", "seconds must be"},
      {"wait:86401", "seconds must be"},     {"pause:1", "unknown step 'pause:1'"},
  };
  for (const auto& r : refused) {
    std::string error;
    EXPECT_FALSE(ParseStep(r.step, &error)) << r.step;
    EXPECT_THAT(error, HasSubstr(r.says)) << r.step;
  }
}

}  // namespace
}  // namespace mirn::cli
