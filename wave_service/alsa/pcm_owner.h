// The owners of the ALSA device's PCMs: each one PCM, the thread that is the
// only one to call ALSA on it, and what the host's calls post to it; and
// what the device's operations and every owner share, under one mutex that
// is never held across an ALSA call. An owner's state of use is the pool's
// (pcm_states.h); the fields here are what that state does not say.
#pragma once

#include <alsa/asoundlib.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include "wave_service/alsa/alsa_device.h"
#include "wave_service/alsa/alsa_pcm.h"
#include "wave_service/alsa/capture_clock.h"
#include "wave_service/alsa/pcm_pool.h"
#include "wave_service/backoff.h"

namespace wave_service {

namespace alsa {

using Clock = std::chrono::steady_clock;
using Lock = std::unique_lock<std::mutex>;

// A wait in whole milliseconds, rounded up; 0 for one already over.
int Millis(Clock::duration d);

struct Worker;

struct Owner {
  Owner(Direction direction, const char* name, std::uint32_t rate, std::uint64_t id)
      : direction(direction), name(name), id(id), rate(rate) {}
  virtual ~Owner() = default;
  Owner(const Owner&) = delete;
  Owner& operator=(const Owner&) = delete;

  const Direction direction;
  const std::string name;  // the PCM name it opens
  const std::uint64_t id;  // its id in the pool
  alsa::Wakeup wake;
  Worker* worker = nullptr;  // the thread that runs it (Hurry raises it)

  // Guarded by the device's mutex.
  std::uint32_t rate;  // its streams' rate; an output's changes only while kept (a re-tune)
  std::optional<Result> opened;  // the first open's answer, or a re-tune's
  int awaited = 0;               // host calls waiting for that answer: the record stays
  bool checking = false;         // the owner is asked to try its kept PCM
  Clock::time_point checked{};   // when it last found its kept PCM working
  bool healthy = false;          // the PCM is open and worked when last used
  bool finished = false;         // its thread has let go of everything: free it
  bool hurried = false;          // raised to the host's own share of the CPU (Hurry)

  // The owner's own.
  snd_pcm_t* pcm = nullptr;
  std::uint32_t pcm_rate = 0;    // the rate the PCM is set up at (or being opened at)
  snd_pcm_uframes_t period = 0;  // frames, which are bytes
  snd_pcm_uframes_t buffered = 0;  // the PCM's buffer, in frames
  Backoff backoff;
  Clock::time_point next_open{};  // no open before this, after a failure
  // xruns in a row, each within a period of the one before, and the last.
  int quick_xruns = 0;
  Clock::time_point last_xrun{};
};

struct InputOwner : Owner {
  InputOwner(Direction direction, const char* name, std::uint32_t rate, std::uint64_t id)
      : Owner(direction, name, rate, id), clock(rate) {}

  // Guarded by the device's mutex.
  InputStream* stream = nullptr;
  CaptureClock clock;  // the take: started by the host, ended by it or by the stream's close
  std::uint64_t stop_asked = 0;  // the take whose stop waits for the owner to read out the PCM
  std::uint64_t running_take = 0;  // the take the PCM was started for; 0 when stopped

  // The owner's own.
  std::vector<std::uint8_t> bytes;  // what one read takes: up to the PCM's buffer
  bool prepared = true;              // ready to start
  Clock::time_point last_frames{};   // when it last delivered
};

struct OutputOwner : Owner {
  using Owner::Owner;

  // Guarded by the device's mutex.
  OutputStream* stream = nullptr;
  std::deque<Play> plays;               // announced, not yet all handed to ALSA, oldest first
  std::vector<std::uint64_t> handed;    // plays all handed to ALSA and not yet heard
  bool cut = false;                     // the bytes pulled and held are dropped, not played

  // The owner's own.
  std::vector<std::uint8_t> chunk;
  std::size_t have = 0;             // bytes in the chunk
  std::size_t done = 0;             // of those, bytes ALSA has taken
  std::uint64_t chunk_play = 0;     // the play they come from
  bool ends_play = false;           // the chunk holds that play's last bytes
  Clock::time_point last_progress{};  // when ALSA last took bytes
  // The first write since the PCM was last started afresh, and the frames
  // handed to it since: what it plays cannot all be heard before their time.
  Clock::time_point first_write{};
  std::uint64_t written = 0;
  // When the PCM ran dry with sound still on its way to the sink, and the
  // delay it reported then.
  Clock::time_point dry_since{};
  snd_pcm_sframes_t dry_delay = 0;
};

// A thread that runs owners, one after another. Once its owner is done it
// waits a while for the next instead of ending: making a thread can take
// milliseconds on a busy machine, and the host call that opens a PCM would
// wait for it.
struct Worker {
  std::thread thread;
  // Guarded by the device's mutex.
  bool free = false;      // its owner is done (set as the owner finishes)
  Owner* next = nullptr;  // handed to it while free
  bool ended = false;     // its thread is about to return: join it
};

}  // namespace alsa

struct AlsaDevice::Shared : std::enable_shared_from_this<Shared> {
  using Owner = alsa::Owner;
  using InputOwner = alsa::InputOwner;
  using OutputOwner = alsa::OutputOwner;
  using Lock = alsa::Lock;

  explicit Shared(KeepTimes keep)
      : pool({kMaxInputs, kMaxOutputs, keep.input, keep.output}) {}

  // Host side (alsa_device.cpp), with the mutex held.
  void Reap();
  Owner* Find(std::uint64_t id);
  template <class OwnerType>
  OwnerType* StartOwner(const char* name, std::uint32_t rate, alsa::PcmState state,
                        std::chrono::milliseconds hold = {});
  template <class OwnerType>
  OwnerType* Attach(const char* name, std::uint32_t rate, Lock& lock, Result& refusal);
  bool Retune(OutputOwner& owner, std::uint32_t rate, std::chrono::milliseconds hold = {});
  std::optional<Result> AwaitOpen(Owner& owner, Lock& lock);
  bool StillWorks(Owner& owner, Lock& lock);
  void AskCheck(Owner& owner);
  void Replace(const OutputOwner& keep);
  void Cut(OutputOwner& owner);
  void End(std::uint64_t id);
  void Shutdown();
  void Hurry(Owner& owner);
  bool Launch(Owner& owner);

  // A worker's own (owner_threads.cpp).
  void Work(alsa::Worker& me, Owner* owner);
  Owner* AwaitNext(alsa::Worker& me);

  // Owner side: pcm_owner.cpp (the steps of both directions),
  // capture_owner.cpp and playback_owner.cpp. Each step is called with the
  // mutex held and may let go of it for ALSA or to wait; the owner's loop
  // takes it again for its next look.
  void Run(InputOwner& owner);
  void Run(OutputOwner& owner);
  bool Ending(const Owner& owner) const;
  std::optional<Result> OpenOrReopen(Owner& owner, Lock& lock);
  void Lose(Owner& owner, Lock& lock, int error, const char* event);
  bool WaitWhileKept(Owner& owner, Lock& lock);
  int Recover(Owner& owner, int error);
  void Finish(Owner& owner, bool drop);
  void Note(const Owner& owner, const char* event, int error) const;
  void Unhurry(Owner& owner);
  // Capture.
  void StartCapture(InputOwner& owner, Lock& lock);
  void StopCapture(InputOwner& owner, Lock& lock);
  void Read(InputOwner& owner, Lock& lock, bool out);
  void EndTake(InputOwner& owner);
  void ReadFailed(InputOwner& owner, Lock& lock, int error);
  void LoseCapture(InputOwner& owner, Lock& lock, int error, const char* event);
  void Deliver(InputOwner& owner, const std::uint8_t* bytes, std::size_t count);
  void DeliverSilence(InputOwner& owner, std::uint64_t count);
  // Playback.
  void Hand(OutputOwner& owner, Lock& lock);
  void PullNext(OutputOwner& owner, Lock& lock);
  bool Waits(const OutputOwner& owner) const;
  bool PlayOut(OutputOwner& owner, Lock& lock);
  void SetRate(OutputOwner& owner, Lock& lock);
  void DropHeld(OutputOwner& owner, Lock& lock);
  void Silence(OutputOwner& owner, bool announced, bool handed);

  std::mutex mutex;
  std::condition_variable answered;  // an owner's first open is done, or an owner finished
  alsa::PcmPool pool;
  std::list<std::unique_ptr<Owner>> owners;
  std::list<alsa::Worker> workers;
  std::condition_variable handed;  // a waiting worker has an owner, or the device goes
  // Plays announced to an output and neither heard to their end nor cut.
  std::unordered_set<std::uint64_t> sounding;
  bool aborting = false;  // the device goes
  bool host_gone = false;  // since the last owner was made: no worker waits for the next
  std::atomic<std::uint64_t> captured{0};
  std::atomic<std::uint64_t> reopens{0};
};

}  // namespace wave_service
