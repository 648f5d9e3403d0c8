// The device the service uses while none is installed: ALSA's "default" PCM
// where the build has ALSA, winmm on Windows, else one virtual device for the
// whole process.
#include "wave_service/service_core.h"

#ifdef MIRN_WITH_ALSA
#include "wave_service/alsa/alsa_device.h"
#elif defined(_WIN32)
#include <windows.h>

#include "wave_service/winmm/winmm_device.h"
#else
#include "wave_service/virtual/virtual_device.h"
#endif

namespace wave_service {

Device DefaultDevice() {
#ifdef MIRN_WITH_ALSA
  // Never destroyed, as calls at exit may still reach it after its end (the
  // library's unload, detaching its memory, asks the device in use to let
  // go of idle PCMs). It ends as the process exits: its owners close their
  // PCMs and end, within about a second.
  static AlsaDevice* const device = [] {
    auto* made = new AlsaDevice;
    static const struct EndAtExit {
      AlsaDevice* device;
      ~EndAtExit() { device->End(); }
    } end_at_exit{made};
    return made;
  }();
  return {&AlsaDevice::Ops(), device};
#elif defined(_WIN32)
  // Never destroyed, and the module holding it is pinned once it is made:
  // its stream threads may run for as long as the process does, and a
  // library unloaded under them, or torn down inside the loader's lock,
  // would crash or deadlock. A host's FreeLibrary then leaves it loaded.
  static WinmmDevice* const device = [] {
    HMODULE self = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                       reinterpret_cast<LPCWSTR>(&DefaultDevice), &self);
    return new WinmmDevice;
  }();
  return {&WinmmDevice::Ops(), device};
#else
  // Never destroyed: streams it opened may outlive every other static.
  static VirtualDevice* const device = new VirtualDevice;
  return {&VirtualDevice::Ops(), device};
#endif
}

}  // namespace wave_service
