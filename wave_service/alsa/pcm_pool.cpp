// The ALSA device's bookkeeping of the PCMs it holds and of rate answers.
#include "wave_service/alsa/pcm_pool.h"

#include <algorithm>

namespace wave_service::alsa {

namespace {

std::size_t Index(Direction direction) { return direction == Direction::kInput ? 0 : 1; }

}  // namespace

PcmPool::Owner* PcmPool::Find(std::uint64_t id) {
  auto it = std::ranges::find(owners_, id, &Owner::id);
  return it != owners_.end() ? &*it : nullptr;
}

const PcmPool::Owner* PcmPool::Find(std::uint64_t id) const {
  auto it = std::ranges::find(owners_, id, &Owner::id);
  return it != owners_.end() ? &*it : nullptr;
}

void PcmPool::Remove(std::uint64_t id) {
  std::erase_if(owners_, [&](const Owner& owner) { return owner.id == id; });
}

std::size_t PcmPool::Limit(Direction direction) const {
  return direction == Direction::kInput ? limits_.inputs : limits_.outputs;
}

std::chrono::milliseconds PcmPool::KeepTime(Direction direction) const {
  return direction == Direction::kInput ? limits_.keep_input : limits_.keep_output;
}

PcmPool::Choice PcmPool::Choose(Direction direction, std::string_view name,
                                std::uint32_t rate) const {
  const Owner* kept_here = nullptr;  // kept at the name and rate
  const Owner* draining_here = nullptr;
  const Owner* idle_other = nullptr;  // kept or draining elsewhere
  const Owner* closing = nullptr;
  auto older = [](const Owner* than, const Owner& owner) {
    return than == nullptr || owner.attached < than->attached;
  };
  for (const Owner& owner : owners_) {
    if (owner.direction != direction) continue;
    const bool here = owner.rate == rate && owner.name == name;
    if (owner.state == PcmState::kKept && here && older(kept_here, owner)) kept_here = &owner;
    if (owner.state == PcmState::kDraining && here && older(draining_here, owner)) {
      draining_here = &owner;
    }
    const bool idle = owner.state == PcmState::kKept || owner.state == PcmState::kDraining;
    if (idle && !here && older(idle_other, owner)) idle_other = &owner;
    if (owner.state == PcmState::kClosing && older(closing, owner)) closing = &owner;
  }
  if (kept_here != nullptr) return {Choice::kTake, kept_here->id, 0};
  if (Held(direction) < Limit(direction)) return {Choice::kOpen, 0, 0};
  if (draining_here != nullptr) return {Choice::kTake, draining_here->id, 0};
  if (const Owner* other = OldestToRetune(direction, name, rate, {})) {
    return {Choice::kRetune, other->id, 0};
  }
  if (idle_other != nullptr) return {Choice::kOpen, 0, idle_other->id};
  if (closing != nullptr && closing->rate == rate && closing->name == name) {
    return {Choice::kTake, closing->id, 0, true};
  }
  if (closing != nullptr) return {Choice::kOpen, 0, closing->id};
  return {};
}

PcmPool::Choice PcmPool::ChooseAhead(Direction direction, std::string_view name,
                                     std::uint32_t rate,
                                     std::span<const std::uint32_t> wanted) const {
  if (const Owner* other = OldestToRetune(direction, name, rate, wanted)) {
    return {Choice::kRetune, other->id, 0};
  }
  if (Held(direction) < Limit(direction)) return {Choice::kOpen, 0, 0};
  const Owner* oldest = nullptr;
  for (const Owner& owner : owners_) {
    const bool here = owner.rate == rate && owner.name == name;
    const bool wanted_here =
        owner.name == name && std::ranges::find(wanted, owner.rate) != wanted.end();
    if (owner.direction == direction && owner.state == PcmState::kKept && !here &&
        !wanted_here && (oldest == nullptr || owner.attached < oldest->attached)) {
      oldest = &owner;
    }
  }
  if (oldest != nullptr) return {Choice::kOpen, 0, oldest->id};
  return {};
}

const PcmPool::Owner* PcmPool::OldestToRetune(Direction direction, std::string_view name,
                                              std::uint32_t rate,
                                              std::span<const std::uint32_t> wanted) const {
  if (direction != Direction::kOutput) return nullptr;
  const Owner* oldest = nullptr;
  for (const Owner& owner : owners_) {
    if (owner.direction == direction && owner.state == PcmState::kKept && owner.name == name &&
        owner.rate != rate && std::ranges::find(wanted, owner.rate) == wanted.end() &&
        (oldest == nullptr || owner.attached < oldest->attached)) {
      oldest = &owner;
    }
  }
  return oldest;
}

std::uint64_t PcmPool::Add(Direction direction, std::string_view name, std::uint32_t rate,
                           PcmState state, Time now, std::chrono::milliseconds at_least) {
  owners_.push_back({++last_id_, direction, std::string(name), rate, state,
                   now + std::max(KeepTime(direction), at_least), ++attached_});
  return last_id_;
}

std::optional<PcmState> PcmPool::Apply(std::uint64_t id, PcmEvent event, Time now,
                                       std::chrono::milliseconds at_least) {
  Owner* owner = Find(id);
  if (owner == nullptr) return std::nullopt;
  const std::optional<PcmState> next = Next(owner->state, event);
  if (!next) return owner->state;
  const auto keep = std::max(KeepTime(owner->direction), at_least);
  if (*next == PcmState::kEnding || (*next == PcmState::kKept && keep.count() <= 0)) {
    Remove(id);
    return PcmState::kEnding;
  }
  owner->state = *next;
  if (*next == PcmState::kKept) owner->kept_until = now + keep;
  if (event == PcmEvent::kAttach) owner->attached = ++attached_;
  return *next;
}

bool PcmPool::Retune(std::uint64_t id, std::uint32_t rate, Time now,
                     std::chrono::milliseconds at_least) {
  Owner* owner = Find(id);
  if (owner == nullptr || owner->direction != Direction::kOutput) return false;
  const std::optional<PcmState> next = Next(owner->state, PcmEvent::kRetune);
  if (!next) return false;
  owner->state = *next;
  owner->rate = rate;
  owner->kept_until = now + std::max(KeepTime(owner->direction), at_least);
  return true;
}

std::optional<PcmState> PcmPool::StateOf(std::uint64_t id) const {
  const Owner* owner = Find(id);
  return owner != nullptr ? std::optional(owner->state) : std::nullopt;
}

std::optional<PcmPool::Time> PcmPool::KeptUntil(std::uint64_t id) const {
  const Owner* owner = Find(id);
  if (owner == nullptr || owner->state != PcmState::kKept) return std::nullopt;
  return owner->kept_until;
}

void PcmPool::KeepAtLeast(std::uint64_t id, Time now, std::chrono::milliseconds at_least) {
  Owner* owner = Find(id);
  if (owner != nullptr && owner->state == PcmState::kKept) {
    owner->kept_until = std::max(owner->kept_until, now + at_least);
  }
}

bool PcmPool::Expire(std::uint64_t id, Time now) {
  const Owner* owner = Find(id);
  if (owner == nullptr || owner->state != PcmState::kKept || now < owner->kept_until) return false;
  Apply(id, PcmEvent::kExpire);
  return true;
}

std::size_t PcmPool::Held(Direction direction) const {
  return static_cast<std::size_t>(std::ranges::count(owners_, direction, &Owner::direction));
}

std::size_t PcmPool::Held(Direction direction, std::string_view name, std::uint32_t rate,
                          std::optional<PcmState> state) const {
  return static_cast<std::size_t>(std::ranges::count_if(owners_, [&](const Owner& owner) {
    return owner.direction == direction && owner.rate == rate && owner.name == name &&
           (!state || owner.state == *state);
  }));
}

std::optional<Result> PcmPool::Learned(Direction direction, std::string_view name,
                                       std::uint32_t rate) const {
  for (const Answer& answer : answers_[Index(direction)]) {
    if (answer.rate == rate && answer.name == name) return answer.result;
  }
  return std::nullopt;
}

std::optional<Result> PcmPool::Known(Direction direction, std::string_view name,
                                     std::uint32_t rate) const {
  if (const auto learned = Learned(direction, name, rate)) return learned;
  for (const Owner& owner : owners_) {
    if (owner.direction == direction && owner.rate == rate && owner.name == name) return kOk;
  }
  return std::nullopt;
}

void PcmPool::Learn(Direction direction, std::string_view name, std::uint32_t rate,
                    Result result) {
  if (result != kOk && result != kBadFormat) return;  // says nothing of the rate
  auto& answers = answers_[Index(direction)];
  for (Answer& answer : answers) {
    if (answer.rate == rate && answer.name == name) {
      answer.result = result;
      return;
    }
  }
  std::size_t& next = next_answer_[Index(direction)];
  answers[next] = {std::string(name), rate, result};
  next = (next + 1) % answers.size();
}

void PcmPool::Forget(Direction direction) { answers_[Index(direction)].fill({}); }

}  // namespace wave_service::alsa
