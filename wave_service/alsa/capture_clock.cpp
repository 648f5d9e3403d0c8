// The take's clock of the ALSA device's captures.
#include "wave_service/alsa/capture_clock.h"

#include <algorithm>

namespace wave_service::alsa {

void CaptureClock::Start(Time now) {
  ++take_;
  mode_ = Mode::kCatchingUp;
  began_ = now;
  delivered_ = 0;
}

void CaptureClock::Stop() {
  if (mode_ == Mode::kIdle) return;
  ++take_;
  mode_ = Mode::kIdle;
}

std::uint64_t CaptureClock::Due(Time now) const {
  const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(now - began_).count();
  return static_cast<std::uint64_t>(std::max<std::int64_t>(micros, 0)) * rate_ / 1'000'000;
}

std::uint64_t CaptureClock::Lacking(Time now, std::uint64_t ahead) const {
  const std::uint64_t due = Due(now);
  return due > delivered_ + ahead ? due - delivered_ - ahead : 0;
}

std::uint64_t CaptureClock::SilenceBefore(Time now, std::uint64_t arriving) {
  if (mode_ != Mode::kCatchingUp) return 0;
  mode_ = Mode::kOnTime;
  return Lacking(now, arriving);
}

std::uint64_t CaptureClock::GapSilence(Time now, std::uint64_t on_its_way) const {
  return mode_ == Mode::kLost ? Lacking(now, on_its_way) : 0;
}

std::uint64_t CaptureClock::SilenceAtStop(Time now) const {
  return mode_ == Mode::kCatchingUp || mode_ == Mode::kLost ? Lacking(now, 0) : 0;
}

void CaptureClock::Lose() {
  if (mode_ != Mode::kIdle) mode_ = Mode::kLost;
}

void CaptureClock::CatchUp() {
  if (mode_ != Mode::kIdle) mode_ = Mode::kCatchingUp;
}

}  // namespace wave_service::alsa
