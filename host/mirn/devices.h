// The sound devices mirn records from and plays to. The library opens the
// device the environment names when a stream opens (MIRN_PCM for both
// directions, MIRN_CAPTURE_PCM or MIRN_PLAYBACK_PCM for one); mirn sets that
// environment from -D or AUDIODEV and lists the devices the system offers.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "host/mirn/command_line.h"

namespace mirn::cli {

enum class Direction { kCapture, kPlayback };

// Sets the environment the library reads for this run: a name from -D for
// both directions, over any the environment held; without one, AUDIODEV
// stands for MIRN_PCM when no MIRN_ variable names a device.
void ChooseDevice(const std::string& named);

// The device the library opens in a direction: the environment's name, or
// "default" (the system's own choice).
std::string DeviceInUse(Direction direction);

// One device as the system lists it.
struct DeviceEntry {
  std::string name;         // what -D takes
  std::string description;  // the system's words, possibly several lines
};

// The devices of one direction (ALSA's name hints, or winmm's numbered
// devices); nullopt with error set when the system cannot list them.
std::optional<std::vector<DeviceEntry>> ListDevices(Direction direction, std::string* error);

// `mirn devices`: both lists, the device in use marked with '*'.
int RunDevices(const Invocation& invocation);

}  // namespace mirn::cli
