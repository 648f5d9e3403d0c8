// Faults for tests of the winmm device, put into its table of winmm calls:
// a chosen call fails from its Nth time on with a chosen MMRESULT, or is held
// until the test lets it go, and the device's clock is one the test moves.
// Restore() puts winmm's own functions back.
#pragma once

#include <windows.h>

#include <atomic>
#include <climits>
#include <type_traits>

#include "wave_service/winmm/winmm_calls.h"

namespace wave_service::test {

// What a hooked call does; changed at any time, the device's threads read it.
struct CallFault {
  std::atomic<long> calls{0};          // made so far
  std::atomic<long> fail_from{LONG_MAX};  // the first call to fail, counting from 1
  std::atomic<long> failures{0};       // how many fail from there; LONG_MAX: all
  std::atomic<UINT> code{MMSYSERR_ERROR};
  std::atomic<long> hold_from{LONG_MAX};  // calls from this one wait for Release()
  std::atomic<long> held{0};              // calls waiting now
  HANDLE released = CreateEventW(nullptr, TRUE, FALSE, nullptr);  // manual-reset

  // Fails `count` calls from the `nth` on (counting from the next one).
  void Fail(UINT with, long count = 1, long nth = 1) {
    code = with;
    failures = count;
    fail_from = calls.load() + nth;
  }
  void Hold(long nth = 1) {
    ResetEvent(released);
    hold_from = calls.load() + nth;
  }
  void Release() { SetEvent(released); }
  // As new: nothing made, failed or held.
  void Reset() {
    calls = 0;
    fail_from = LONG_MAX;
    failures = 0;
    hold_from = LONG_MAX;
    SetEvent(released);
  }
};

template <auto Entry, class Function>
struct Hooked;

template <auto Entry, class... Args>
struct Hooked<Entry, UINT(WINAPI*)(Args...)> {
  static inline CallFault fault;
  static UINT WINAPI Call(Args... args) {
    const long n = ++fault.calls;
    if (n >= fault.hold_from.load()) {
      ++fault.held;
      WaitForSingleObject(fault.released, 30'000);  // never hangs a run
      --fault.held;
    }
    const long from = fault.fail_from.load();
    const long count = fault.failures.load();
    if (n >= from && (count == LONG_MAX || n < from + count)) return fault.code.load();
    return (WinmmSystemCalls().*Entry)(args...);
  }
};

// Routes the table's `Entry` through a CallFault and returns it.
template <auto Entry>
CallFault& Hook() {
  using H = Hooked<Entry, std::remove_reference_t<decltype(Winmm().*Entry)>>;
  H::fault.Reset();
  Winmm().*Entry = &H::Call;
  return H::fault;
}

// The device's clock, moved by the test only.
struct Clock {
  static inline std::atomic<DWORD> now{1'000'000};
  static DWORD WINAPI Time() { return now.load(); }
  static void Install() { Winmm().timeGetTime = &Time; }
  static void Advance(DWORD ms) { now += ms; }
};

inline void Restore() { Winmm() = WinmmSystemCalls(); }

}  // namespace wave_service::test
