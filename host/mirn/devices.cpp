// Device choice through the environment, and the listing of `mirn devices`;
// the system's own list comes from devices_alsa.cpp, devices_windows.cpp or
// devices_none.cpp.
#include "host/mirn/devices.h"

#include <cstdio>
#include <cstdlib>

#include "host/mirn/sessions.h"
#include "host/mirn/system.h"

namespace mirn::cli {
namespace {

constexpr const char* kBoth = "MIRN_PCM";
constexpr const char* kCapture = "MIRN_CAPTURE_PCM";
constexpr const char* kPlayback = "MIRN_PLAYBACK_PCM";

// The variable's value, or empty when it is unset.
std::string Variable(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? "" : value;
}

// The description's lines, each indented under the name.
std::string Indented(const std::string& text) {
  std::string out;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    out += "    " + text.substr(start, end - start) + "\n";
    start = end + 1;
  }
  return out;
}

}  // namespace

void ChooseDevice(const std::string& named) {
  if (!named.empty()) {
    // A name for one direction would win over MIRN_PCM: -D wins over both.
    sys::SetVariable(kCapture, "");
    sys::SetVariable(kPlayback, "");
    sys::SetVariable(kBoth, named);
    return;
  }
  const std::string audiodev = Variable("AUDIODEV");
  if (!audiodev.empty() && Variable(kBoth).empty() && Variable(kCapture).empty() &&
      Variable(kPlayback).empty()) {
    sys::SetVariable(kBoth, audiodev);
  }
}

std::string DeviceInUse(Direction direction) {
  // As the library reads them: an empty variable names nothing.
  std::string name = Variable(direction == Direction::kCapture ? kCapture : kPlayback);
  if (name.empty()) name = Variable(kBoth);
  return name.empty() ? "default" : name;
}

int RunDevices(const Invocation&) {
  int status = kExitOk;
  std::string out;
  for (const Direction direction : {Direction::kCapture, Direction::kPlayback}) {
    const bool capture = direction == Direction::kCapture;
    out += std::string(capture ? "Capture" : "Playback") + " devices (" +
           (capture ? kCapture : kPlayback) + ", " + kBoth + " or -D; * in use):\n";
    std::string error;
    const auto devices = ListDevices(direction, &error);
    if (!devices) {
      std::fprintf(stderr, "mirn: cannot list the %s devices: %s\n",
                   capture ? "capture" : "playback", error.c_str());
      status = kExitFailed;
      continue;
    }
    const std::string in_use = DeviceInUse(direction);
    bool listed = false;
    for (const DeviceEntry& device : *devices) {
      const bool used = device.name == in_use || device.description == in_use;
      listed = listed || used;
      out += (used ? "* " : "  ") + device.name + "\n" + Indented(device.description);
    }
    if (!listed) {
      out += "* " + in_use + "\n" +
             (in_use == "default" ? "    the system's default device\n"
                                  : "    (not in the system's list)\n");
    }
  }
  std::fputs(out.c_str(), stdout);
  return status;
}

}  // namespace mirn::cli
