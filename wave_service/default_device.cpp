// The device the service uses while none is installed: for now one virtual
// device for the whole process.
#include "wave_service/service_core.h"
#include "wave_service/virtual/virtual_device.h"

namespace wave_service {

Device DefaultDevice() {
  // Never destroyed: streams it opened may outlive every other static.
  static VirtualDevice* const device = new VirtualDevice;
  return {&VirtualDevice::Ops(), device};
}

}  // namespace wave_service
