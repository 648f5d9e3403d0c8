// The wait before each new attempt on a device that has gone away, shared by
// every device: 50 ms, doubling to 1 s, reset once the device is back.
#pragma once

#include <chrono>

namespace wave_service {

class Backoff {
 public:
  static constexpr std::chrono::milliseconds kFirst{50};
  static constexpr std::chrono::milliseconds kLast{1000};

  // The wait before the next attempt; each call doubles the one after.
  std::chrono::milliseconds Next() {
    const std::chrono::milliseconds wait = next_;
    next_ = next_ * 2 < kLast ? next_ * 2 : kLast;
    return wait;
  }
  void Reset() { next_ = kFirst; }

 private:
  std::chrono::milliseconds next_ = kFirst;
};

}  // namespace wave_service
