// The thin layer over winmm's waveform calls: 8-bit mono formats, the
// callback that wakes a stream's owner, the device the environment chooses,
// a device opened with its headers prepared and closed with them
// unprepared, and MMRESULT in the service's terms. Every winmm call goes
// through the table of winmm_calls.h; all of these run on owner threads.
#pragma once

#include <windows.h>
#include <mmsystem.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "wave_service/device.h"
#include "wave_service/winmm/winmm_calls.h"

namespace wave_service {

// winmm's MMRESULT codes in the service's terms: the one place they are
// translated.
Result TranslateMmResult(std::uint32_t code);

namespace winmm {

// 8-bit mono PCM at `rate`. Block align 1 whatever the caller's record says:
// winmm takes it as the frame size.
WAVEFORMATEX Format(std::uint32_t rate);

// Whether winmm is done with `header` (set on winmm's own thread).
bool IsDone(WAVEHDR& header);

// What winmm's callback reaches: the owner's event, and whether winmm
// closed the device without being asked.
struct Signal {
  HANDLE event = nullptr;  // auto-reset
  std::atomic<bool> lost{false};
  std::atomic<bool> closing{false};  // the owner closes the device itself
};

// The winmm device id a stream in `direction` opens now: the one the
// environment names (device_choice.h), else the mapper. False when the name
// is no device there is.
bool ChosenDevice(Direction direction, UINT& id);

// One direction's winmm calls, for what both directions do alike.
struct InputCalls {
  using Handle = HWAVEIN;
  static constexpr Direction kDirection = Direction::kInput;
  static constexpr auto kOpen = &WinmmCalls::waveInOpen;
  static constexpr auto kPrepare = &WinmmCalls::waveInPrepareHeader;
  static constexpr auto kUnprepare = &WinmmCalls::waveInUnprepareHeader;
  static constexpr auto kReset = &WinmmCalls::waveInReset;
  static constexpr auto kClose = &WinmmCalls::waveInClose;
};
struct OutputCalls {
  using Handle = HWAVEOUT;
  static constexpr Direction kDirection = Direction::kOutput;
  static constexpr auto kOpen = &WinmmCalls::waveOutOpen;
  static constexpr auto kPrepare = &WinmmCalls::waveOutPrepareHeader;
  static constexpr auto kUnprepare = &WinmmCalls::waveOutUnprepareHeader;
  static constexpr auto kReset = &WinmmCalls::waveOutReset;
  static constexpr auto kClose = &WinmmCalls::waveOutClose;
};

// Opens the device the environment chooses (MMSYSERR_BADDEVICEID when it
// names none there is) at `rate`, winmm's messages going to `signal`, and
// prepares each of `count` headers at `slot_bytes`. On failure nothing is
// left open.
template <class Calls>
MMRESULT OpenDevice(typename Calls::Handle& device, WAVEHDR* headers, std::size_t count,
                    std::uint32_t rate, std::size_t slot_bytes, Signal& signal);

// Hands every header back first when `reset`, unprepares them all and
// closes the device.
template <class Calls>
void CloseDevice(typename Calls::Handle& device, WAVEHDR* headers, std::size_t count,
                 Signal& signal, bool reset);

// " (MMRESULT n)" for a failed call's code, "" for none: for MIRN_DEBUG lines.
struct CodeText {
  char text[32] = "";
  explicit CodeText(MMRESULT code);
};

}  // namespace winmm
}  // namespace wave_service
