// The device the service uses while none is installed: ALSA's "default" PCM
// where the build has ALSA, else one virtual device for the whole process.
#include "wave_service/service_core.h"

#ifdef MIRN_WITH_ALSA
#include "wave_service/alsa/alsa_device.h"
#else
#include "wave_service/virtual/virtual_device.h"
#endif

namespace wave_service {

Device DefaultDevice() {
#ifdef MIRN_WITH_ALSA
  // Destroyed when libMirnWave.so is unloaded or the process exits; its
  // destructor stops and joins every capture and playback thread, so neither
  // can run on into unloaded code or a store that is gone.
  static AlsaDevice device;
  return {&AlsaDevice::Ops(), &device};
#else
  // Never destroyed: streams it opened may outlive every other static.
  static VirtualDevice* const device = new VirtualDevice;
  return {&VirtualDevice::Ops(), device};
#endif
}

}  // namespace wave_service
