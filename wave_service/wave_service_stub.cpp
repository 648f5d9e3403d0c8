// Placeholder service with no device: every operation refuses.
#include "wave_service/wave_service.h"

namespace wave_service {

Result InputOpen(Handle*, std::uint32_t, const WaveFormat*, std::uintptr_t, std::uintptr_t, std::uint32_t) { return kBadDeviceId; }
Result InputPrepareHeader(Handle, BufferHeader*, std::uint32_t) { return kBadDeviceId; }
Result InputAddBuffer(Handle, BufferHeader*, std::uint32_t) { return kBadDeviceId; }
Result InputStart(Handle) { return kBadDeviceId; }
Result InputStop(Handle) { return kBadDeviceId; }
Result InputGetPosition(Handle, PositionRecord*, std::uint32_t) { return kBadDeviceId; }
Result InputReset(Handle) { return kBadDeviceId; }
Result InputUnprepareHeader(Handle, BufferHeader*, std::uint32_t) { return kBadDeviceId; }
Result InputClose(Handle) { return kBadDeviceId; }
Result OutputOpen(Handle*, std::uint32_t, const WaveFormat*, std::uintptr_t, std::uintptr_t, std::uint32_t) { return kBadDeviceId; }
Result OutputPrepareHeader(Handle, BufferHeader*, std::uint32_t) { return kBadDeviceId; }
Result OutputWrite(Handle, BufferHeader*, std::uint32_t) { return kBadDeviceId; }
Result OutputClose(Handle) { return kBadDeviceId; }

}  // namespace wave_service
