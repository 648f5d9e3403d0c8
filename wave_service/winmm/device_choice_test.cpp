// Device choice: the environment's variables, numbers and names resolved
// among the devices there are.
#include "wave_service/winmm/device_choice.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace ws = wave_service;
using Kind = ws::DeviceChoice::Kind;

namespace {

// Devices 0 to 2; device 1 cannot say its name.
bool NameAt(void*, std::uint32_t index, char* name, std::size_t size) {
  static const char* const kNames[] = {"Speakers (USB Audio)", nullptr, "Line In"};
  if (kNames[index] == nullptr) return false;
  std::snprintf(name, size, "%s", kNames[index]);
  return true;
}

ws::DeviceChoice Choose(const char* named) { return ws::ChooseDevice(named, 3, &NameAt, nullptr); }

void SetVariable(const char* name, const char* value) {
#ifdef _WIN32
  _putenv_s(name, value);  // "" removes it
#else
  if (*value == '\0') {
    unsetenv(name);
  } else {
    setenv(name, value, 1);
  }
#endif
}

TEST(DeviceChoice, NumbersAndNamesResolveAndAnythingElseIsMissing) {
  EXPECT_EQ(Choose(nullptr), (ws::DeviceChoice{Kind::kAny, 0}));
  EXPECT_EQ(Choose(""), (ws::DeviceChoice{Kind::kAny, 0}));
  EXPECT_EQ(Choose("0"), (ws::DeviceChoice{Kind::kDevice, 0}));
  EXPECT_EQ(Choose("2"), (ws::DeviceChoice{Kind::kDevice, 2}));
  EXPECT_EQ(Choose("line in"), (ws::DeviceChoice{Kind::kDevice, 2}));
  EXPECT_EQ(Choose("Speakers (USB Audio)"), (ws::DeviceChoice{Kind::kDevice, 0}));
  for (const char* missing : {"3", "99999999999999999999", "-1", " 1", "1 ", "Line", "Line In ",
                              "Speakers (USB Audio) 2", "Wine Sound Mapper"}) {
    EXPECT_EQ(Choose(missing).kind, Kind::kMissing) << '"' << missing << '"';
  }
  EXPECT_EQ(ws::ChooseDevice("0", 0, &NameAt, nullptr).kind, Kind::kMissing) << "no devices";
}

TEST(DeviceChoice, ADirectionsOwnVariableWinsOverTheSharedOne) {
  SetVariable("MIRN_PCM", "both");
  SetVariable("MIRN_CAPTURE_PCM", "in");
  SetVariable("MIRN_PLAYBACK_PCM", "");
  EXPECT_EQ(std::string(ws::NamedDevice(ws::Direction::kInput)), "in");
  EXPECT_EQ(std::string(ws::NamedDevice(ws::Direction::kOutput)), "both");
  SetVariable("MIRN_PCM", "");
  EXPECT_EQ(ws::NamedDevice(ws::Direction::kOutput), nullptr);
  SetVariable("MIRN_CAPTURE_PCM", "");
  EXPECT_EQ(ws::NamedDevice(ws::Direction::kInput), nullptr);
}

}  // namespace
