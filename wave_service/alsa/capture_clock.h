// The clock of a take: the bytes it is due at a moment (its rate times the
// time since its start), and the silence it is owed where its PCM delivered
// nothing: before the PCM's first bytes, while the PCM was lost, and while
// its source stalled. So a take is as long as the time it ran. Bookkeeping
// only: every time is passed in, so that it is tested without a clock.
#pragma once

#include <chrono>
#include <cstdint>

namespace wave_service::alsa {

class CaptureClock {
 public:
  using Time = std::chrono::steady_clock::time_point;

  explicit CaptureClock(std::uint32_t rate) : rate_(rate) {}

  // A take begins at `now`. It is owed silence until its PCM delivers.
  void Start(Time now);
  // The take ends: nothing more belongs to it.
  void Stop();
  bool running() const { return mode_ != Mode::kIdle; }
  bool catching_up() const { return mode_ == Mode::kCatchingUp; }
  bool lost() const { return mode_ == Mode::kLost; }
  // Counts starts and stops, so that bytes read for one take are never
  // delivered to another.
  std::uint64_t take() const { return take_; }

  // Bytes the take is due at `now`.
  std::uint64_t Due(Time now) const;
  // Silence to deliver now, before `arriving` bytes that the PCM delivers
  // now or still holds: what the take lacks of its due once they are in.
  // Only while catching up (from a start, a gap or a stall); it then runs on
  // time. The caller delivers the silence and then counts both.
  std::uint64_t SilenceBefore(Time now, std::uint64_t arriving);
  // While the PCM is lost: silence to deliver now so that the take keeps up
  // with its clock, less `on_its_way` bytes that the PCM, once back, may
  // still deliver of the time before it was lost.
  std::uint64_t GapSilence(Time now, std::uint64_t on_its_way) const;
  // At the take's end: the silence for the time it ran, where its PCM never
  // delivered since the start, gap or stall.
  std::uint64_t SilenceAtStop(Time now) const;
  void Delivered(std::uint64_t bytes) { delivered_ += bytes; }

  // The PCM is lost: the take keeps time in silence until it is back.
  void Lose();
  // The PCM runs again after it was lost, or delivered nothing for a while:
  // the time it missed is made up before its next bytes.
  void CatchUp();

 private:
  enum class Mode {
    kIdle,        // no take
    kCatchingUp,  // silence owed before the PCM's next bytes
    kOnTime,      // the PCM delivers as time passes
    kLost,        // no PCM: silence as time passes
  };

  std::uint64_t Lacking(Time now, std::uint64_t ahead) const;

  const std::uint32_t rate_;
  Mode mode_ = Mode::kIdle;
  std::uint64_t take_ = 0;
  Time began_{};
  std::uint64_t delivered_ = 0;  // bytes of the take, sound and silence
};

}  // namespace wave_service::alsa
