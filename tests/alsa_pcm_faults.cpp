// The fault table for the ALSA device's PCM calls: each entry asks the
// PcmFaults in force, then calls ALSA's own function.
#include "tests/alsa_pcm_faults.h"

#include <sched.h>

#include <atomic>
#include <type_traits>

namespace mirn::test {

namespace alsa = wave_service::alsa;

namespace {

std::atomic<PcmFaults*> g_faults{nullptr};

std::size_t Index(PcmCall call) { return static_cast<std::size_t>(call); }

template <PcmCall Id, auto Entry>
struct Wrapper;

template <PcmCall Id, class R, class... Args, R (*alsa::PcmCalls::*Entry)(Args...)>
struct Wrapper<Id, Entry> {
  static R Call(Args... args) {
    PcmFaults* faults = g_faults.load(std::memory_order_acquire);
    const int error = faults != nullptr ? faults->Before(Id) : 0;
    if constexpr (std::is_integral_v<R>) {
      if (error < 0) return static_cast<R>(error);
    }
    return (alsa::AlsaPcmCalls().*Entry)(args...);
  }
};

constexpr alsa::PcmCalls kFaultyCalls{
#define MIRN_PCM_FAULTY(entry, function) \
  &Wrapper<PcmCall::entry, &alsa::PcmCalls::entry>::Call,
    MIRN_PCM_CALLS(MIRN_PCM_FAULTY)
#undef MIRN_PCM_FAULTY
};

}  // namespace

PcmFaults::PcmFaults() {
  g_faults.store(this, std::memory_order_release);
  alsa::SetPcmCalls(&kFaultyCalls);
}

PcmFaults::~PcmFaults() {
  Heal();
  alsa::SetPcmCalls(nullptr);
  // A call that read the table before the swap may still be on its way in.
  std::unique_lock lock(mutex_);
  healed_.wait(lock, [&] { return holding_ == 0; });
  g_faults.store(nullptr, std::memory_order_release);
}

void PcmFaults::Fail(PcmCall call, int error, unsigned nth, unsigned count) {
  std::lock_guard lock(mutex_);
  const unsigned first = calls_[Index(call)] + nth;
  faults_.push_back({call, error, first, count == 0 ? 0 : first + count - 1});
}

void PcmFaults::Hold(PcmCall call, std::chrono::milliseconds time, unsigned nth) {
  std::lock_guard lock(mutex_);
  const unsigned first = calls_[Index(call)] + nth;
  faults_.push_back({call, 0, first, first, time});
}

void PcmFaults::Heal() {
  std::lock_guard lock(mutex_);
  faults_.clear();
  ++generation_;
  healed_.notify_all();
}

unsigned PcmFaults::Calls(PcmCall call) {
  std::lock_guard lock(mutex_);
  return calls_[Index(call)];
}

int PcmFaults::Policy(PcmCall call) {
  std::lock_guard lock(mutex_);
  return policies_[Index(call)];
}

std::thread::id PcmFaults::Thread(PcmCall call) {
  std::lock_guard lock(mutex_);
  return threads_[Index(call)];
}

bool PcmFaults::Holding() {
  std::lock_guard lock(mutex_);
  return holding_ > 0;
}

int PcmFaults::Before(PcmCall call) {
  const int policy = sched_getscheduler(0);
  std::unique_lock lock(mutex_);
  const unsigned count = ++calls_[Index(call)];
  policies_[Index(call)] = policy;
  threads_[Index(call)] = std::this_thread::get_id();
  for (const Fault& fault : faults_) {
    if (fault.call != call || count < fault.first || (fault.last != 0 && count > fault.last)) {
      continue;
    }
    if (fault.error != 0) return fault.error;
    const unsigned generation = generation_;
    ++holding_;
    healed_.wait_for(lock, fault.hold, [&] { return generation_ != generation; });
    --holding_;
    healed_.notify_all();
    return 0;
  }
  return 0;
}

}  // namespace mirn::test
