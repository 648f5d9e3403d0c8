// A build without ALSA lists no devices; -D and the environment still name
// one for the library.
#include "host/mirn/devices.h"

namespace mirn::cli {

std::optional<std::vector<DeviceEntry>> ListDevices(Direction, std::string* error) {
  *error = "this mirn is built without ALSA";
  return std::nullopt;
}

}  // namespace mirn::cli
