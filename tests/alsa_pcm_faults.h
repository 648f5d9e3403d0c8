// Faults in the ALSA device's PCM calls, for tests: while a PcmFaults lives,
// the device's table of snd_pcm_* calls is one that fails a chosen call with
// a chosen error or holds it up, and passes every other call to ALSA.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "wave_service/alsa/pcm_calls.h"

namespace mirn::test {

using wave_service::alsa::PcmCall;

class PcmFaults {
 public:
  PcmFaults();
  // Lets held calls go and puts ALSA's own calls back.
  ~PcmFaults();
  PcmFaults(const PcmFaults&) = delete;
  PcmFaults& operator=(const PcmFaults&) = delete;

  // Fails `count` calls of `call` with `error` (negative, as ALSA's), the
  // first being its `nth` from now (1: the next); every call from the nth on
  // while `count` is 0, until Heal.
  void Fail(PcmCall call, int error, unsigned nth = 1, unsigned count = 1);
  // Holds the `nth` call of `call` from now for `time`, or until Heal.
  void Hold(PcmCall call, std::chrono::milliseconds time, unsigned nth = 1);
  // Clears every fault and lets held calls go.
  void Heal();

  // Calls of `call` made since the faults were set up.
  unsigned Calls(PcmCall call);
  // The scheduling policy (SCHED_*) of the thread that made the last call
  // of `call`; -1 before the first.
  int Policy(PcmCall call);
  // The thread that made the last call of `call`.
  std::thread::id Thread(PcmCall call);
  // True while a call is held.
  bool Holding();

  // Called by the table's entries before each call: the error to return
  // instead of calling ALSA, or 0.
  int Before(PcmCall call);

 private:
  struct Fault {
    PcmCall call;
    int error;        // 0 for a hold
    unsigned first;   // the call's count from which it applies
    unsigned last;    // the last count it applies to; 0 for every one on
    std::chrono::milliseconds hold{};
  };

  std::mutex mutex_;
  std::condition_variable healed_;
  std::array<unsigned, static_cast<std::size_t>(PcmCall::kCount)> calls_{};
  std::array<int, static_cast<std::size_t>(PcmCall::kCount)> policies_ = [] {
    std::array<int, static_cast<std::size_t>(PcmCall::kCount)> none{};
    none.fill(-1);
    return none;
  }();
  std::array<std::thread::id, static_cast<std::size_t>(PcmCall::kCount)> threads_{};
  std::vector<Fault> faults_;
  unsigned generation_ = 0;  // counts Heal calls
  int holding_ = 0;
};

}  // namespace mirn::test
