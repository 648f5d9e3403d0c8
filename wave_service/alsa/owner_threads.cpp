// The threads that run the ALSA device's owners: one is made only when no
// worker waits for an owner, and a worker whose owner is done waits a while
// for the next before it ends.
#include <pthread.h>
#include <sched.h>

#include <system_error>
#include <utility>

#include "wave_service/alsa/pcm_owner.h"

namespace wave_service {

namespace {

// How long a worker with no owner waits for one. Within an unload's promise
// that the service's threads end on their own, and long enough to carry a
// host's calls from one PCM to the next.
constexpr std::chrono::milliseconds kWorkerWait{1000};

}  // namespace

using Shared = AlsaDevice::Shared;

// With the mutex held: hands the owner to a waiting worker, or makes one.
// False when no thread can be had.
bool Shared::Launch(Owner& owner) {
  host_gone = false;
  for (alsa::Worker& worker : workers) {
    if (!worker.free || worker.next != nullptr || worker.ended) continue;
    worker.next = &owner;
    owner.worker = &worker;
    handed.notify_all();
    return true;
  }
  alsa::Worker& worker = workers.emplace_back();
  try {
    worker.thread = std::thread([shared = shared_from_this(), &worker, &owner] {
      shared->Work(worker, &owner);
    });
  } catch (const std::system_error&) {
    workers.pop_back();
    return false;
  }
  owner.worker = &worker;
  return true;
}

// Runs owners until none comes within the wait. Each starts at the policy
// the thread was made with, whatever the owner before it left.
void Shared::Work(alsa::Worker& me, Owner* owner) {
  int policy = SCHED_OTHER;
  sched_param param{};
  pthread_getschedparam(pthread_self(), &policy, &param);
  while (owner != nullptr) {
    if (owner->direction == Direction::kInput) {
      Run(static_cast<InputOwner&>(*owner));
    } else {
      Run(static_cast<OutputOwner&>(*owner));
    }
    owner = AwaitNext(me);
    if (owner != nullptr) pthread_setschedparam(pthread_self(), policy, &param);
  }
}

// The next owner, or nullptr once the wait is over, the host has gone or the
// device goes: the worker has ended, and touches nothing of the device
// again. An owner handed over as the device goes is still run, and ends at
// once.
alsa::Owner* Shared::AwaitNext(alsa::Worker& me) {
  pthread_setname_np(pthread_self(), "mirn-worker");
  Lock lock(mutex);
  handed.wait_for(lock, kWorkerWait,
                  [&] { return me.next != nullptr || aborting || host_gone; });
  me.free = false;
  Owner* next = std::exchange(me.next, nullptr);
  if (next == nullptr) {
    me.ended = true;
    answered.notify_all();
  }
  return next;
}

}  // namespace wave_service
