// winmm's waveform calls for the device's owners: formats, the callback,
// the chosen device, opening and closing with headers, MMRESULT translated.
#include "wave_service/winmm/winmm_wave.h"

#include <algorithm>
#include <cstdio>

#include "wave_service/debug_line.h"
#include "wave_service/winmm/device_choice.h"

namespace wave_service {

Result TranslateMmResult(std::uint32_t code) {
  switch (code) {
    case MMSYSERR_NOERROR: return kOk;
    case MMSYSERR_BADDEVICEID:
    case MMSYSERR_NODRIVER: return kBadDeviceId;
    case MMSYSERR_ALLOCATED: return kAllocated;
    case MMSYSERR_INVALHANDLE: return kInvalidHandle;
    case MMSYSERR_NOMEM: return kNoMemory;
    case MMSYSERR_INVALPARAM:
    case MMSYSERR_INVALFLAG: return kInvalidParam;
    case WAVERR_BADFORMAT: return kBadFormat;
    case WAVERR_STILLPLAYING: return kStillPlaying;
    case WAVERR_UNPREPARED: return kUnprepared;
    default: return kError;
  }
}

namespace winmm {

namespace {

const char* DirectionName(Direction direction) {
  return direction == Direction::kInput ? "input" : "output";
}

bool NameAt(void* context, std::uint32_t index, char* name, std::size_t size) {
  const bool input = *static_cast<const Direction*>(context) == Direction::kInput;
  char pname[MAXPNAMELEN] = {};
  if (input) {
    WAVEINCAPSA caps{};
    if (Winmm().waveInGetDevCapsA(index, &caps, sizeof caps) != MMSYSERR_NOERROR) return false;
    std::copy_n(caps.szPname, MAXPNAMELEN, pname);
  } else {
    WAVEOUTCAPSA caps{};
    if (Winmm().waveOutGetDevCapsA(index, &caps, sizeof caps) != MMSYSERR_NOERROR) return false;
    std::copy_n(caps.szPname, MAXPNAMELEN, pname);
  }
  pname[MAXPNAMELEN - 1] = '\0';
  std::snprintf(name, size, "%s", pname);
  return true;
}

}  // namespace

bool ChosenDevice(Direction direction, UINT& id) {
  const char* named = NamedDevice(direction);
  if (named == nullptr) {
    id = WAVE_MAPPER;
    return true;
  }
  const UINT count = direction == Direction::kInput ? Winmm().waveInGetNumDevs()
                                                    : Winmm().waveOutGetNumDevs();
  Direction context = direction;
  const DeviceChoice choice = ChooseDevice(named, count, &NameAt, &context);
  switch (choice.kind) {
    case DeviceChoice::Kind::kAny: id = WAVE_MAPPER; return true;
    case DeviceChoice::Kind::kDevice: id = choice.index; return true;
    case DeviceChoice::Kind::kMissing: break;
  }
  DebugLine("winmm %s: no device is named \"%s\"", DirectionName(direction), named);
  return false;
}

namespace {

// winmm's callback, on winmm's own thread: it may only signal.
void CALLBACK OnWaveMessage(HANDLE, UINT message, DWORD_PTR instance, DWORD_PTR, DWORD_PTR) {
  auto& signal = *reinterpret_cast<Signal*>(instance);
  if ((message == WIM_CLOSE || message == WOM_CLOSE) &&
      !signal.closing.load(std::memory_order_acquire)) {
    signal.lost.store(true, std::memory_order_release);
  }
  SetEvent(signal.event);
}

}  // namespace

WAVEFORMATEX Format(std::uint32_t rate) {
  WAVEFORMATEX format{};
  format.wFormatTag = WAVE_FORMAT_PCM;
  format.nChannels = 1;
  format.nSamplesPerSec = rate;
  format.nAvgBytesPerSec = rate;
  format.nBlockAlign = 1;
  format.wBitsPerSample = 8;
  return format;
}

bool IsDone(WAVEHDR& header) {
  return (std::atomic_ref<DWORD>(header.dwFlags).load(std::memory_order_acquire) & WHDR_DONE) != 0;
}

CodeText::CodeText(MMRESULT code) {
  if (code != MMSYSERR_NOERROR) std::snprintf(text, sizeof text, " (MMRESULT %u)", code);
}

template <class Calls>
void CloseDevice(typename Calls::Handle& device, WAVEHDR* headers, std::size_t count,
                 Signal& signal, bool reset) {
  if (reset) (Winmm().*Calls::kReset)(device);
  for (std::size_t i = 0; i < count; ++i) {
    (Winmm().*Calls::kUnprepare)(device, &headers[i], sizeof headers[i]);
  }
  signal.closing.store(true, std::memory_order_release);  // its WIM/WOM_CLOSE is expected
  if (const MMRESULT closed = (Winmm().*Calls::kClose)(device); closed != MMSYSERR_NOERROR) {
    DebugLine("winmm %s: the device does not close%s; it is given up",
              DirectionName(Calls::kDirection), CodeText(closed).text);
  }
  signal.closing.store(false, std::memory_order_release);
  device = nullptr;
}

template <class Calls>
MMRESULT OpenDevice(typename Calls::Handle& device, WAVEHDR* headers, std::size_t count,
                    std::uint32_t rate, std::size_t slot_bytes, Signal& signal) {
  device = nullptr;
  UINT id = WAVE_MAPPER;
  if (!ChosenDevice(Calls::kDirection, id)) return MMSYSERR_BADDEVICEID;
  const WAVEFORMATEX format = Format(rate);
  signal.lost.store(false, std::memory_order_release);
  MMRESULT result = (Winmm().*Calls::kOpen)(&device, id, &format,
                                            reinterpret_cast<DWORD_PTR>(&OnWaveMessage),
                                            reinterpret_cast<DWORD_PTR>(&signal), CALLBACK_FUNCTION);
  if (result != MMSYSERR_NOERROR) {
    device = nullptr;
    return result;
  }
  for (std::size_t i = 0; i < count; ++i) {
    headers[i].dwBufferLength = static_cast<DWORD>(slot_bytes);
    result = (Winmm().*Calls::kPrepare)(device, &headers[i], sizeof headers[i]);
    if (result != MMSYSERR_NOERROR) {
      CloseDevice<Calls>(device, headers, count, signal, false);
      break;
    }
  }
  return result;
}

template MMRESULT OpenDevice<InputCalls>(HWAVEIN&, WAVEHDR*, std::size_t, std::uint32_t,
                                         std::size_t, Signal&);
template MMRESULT OpenDevice<OutputCalls>(HWAVEOUT&, WAVEHDR*, std::size_t, std::uint32_t,
                                          std::size_t, Signal&);
template void CloseDevice<InputCalls>(HWAVEIN&, WAVEHDR*, std::size_t, Signal&, bool);
template void CloseDevice<OutputCalls>(HWAVEOUT&, WAVEHDR*, std::size_t, Signal&, bool);

}  // namespace winmm
}  // namespace wave_service
