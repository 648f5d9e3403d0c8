// The waveform devices of winmm by number and name: -D takes either, and
// "default" is the system's own choice (the wave mapper).
#include <windows.h>
#include <mmsystem.h>

#include "host/mirn/devices.h"

namespace mirn::cli {

std::optional<std::vector<DeviceEntry>> ListDevices(Direction direction, std::string*) {
  std::vector<DeviceEntry> devices{{"default", "the system's default device (wave mapper)"}};
  const bool capture = direction == Direction::kCapture;
  const UINT count = capture ? waveInGetNumDevs() : waveOutGetNumDevs();
  for (UINT i = 0; i < count; ++i) {
    std::string name;
    if (capture) {
      WAVEINCAPSA caps{};
      if (waveInGetDevCapsA(i, &caps, sizeof caps) == MMSYSERR_NOERROR) name = caps.szPname;
    } else {
      WAVEOUTCAPSA caps{};
      if (waveOutGetDevCapsA(i, &caps, sizeof caps) == MMSYSERR_NOERROR) name = caps.szPname;
    }
    if (!name.empty()) devices.push_back({std::to_string(i), name});
  }
  return devices;
}

}  // namespace mirn::cli
