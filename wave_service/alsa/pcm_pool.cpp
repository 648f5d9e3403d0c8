// The ALSA device's bookkeeping of the PCMs it holds and of rate answers.
#include "wave_service/alsa/pcm_pool.h"

#include <algorithm>

namespace wave_service::alsa {

namespace {

std::size_t Index(Direction direction) { return direction == Direction::kInput ? 0 : 1; }

}  // namespace

PcmPool::Entry* PcmPool::Find(std::uint64_t id) {
  auto it = std::ranges::find(entries_, id, &Entry::id);
  return it != entries_.end() ? &*it : nullptr;
}

const PcmPool::Entry* PcmPool::Find(std::uint64_t id) const {
  auto it = std::ranges::find(entries_, id, &Entry::id);
  return it != entries_.end() ? &*it : nullptr;
}

std::size_t PcmPool::Limit(Direction direction) const {
  return direction == Direction::kInput ? limits_.inputs : limits_.outputs;
}

PcmPool::Choice PcmPool::Choose(Direction direction, std::string_view name,
                                std::uint32_t rate) const {
  const Entry* kept_here = nullptr;  // kept at the name and rate
  const Entry* draining_here = nullptr;
  const Entry* idle_other = nullptr;  // kept or draining elsewhere
  const Entry* closing = nullptr;
  auto older = [](const Entry* than, const Entry& entry) {
    return than == nullptr || entry.attached < than->attached;
  };
  for (const Entry& entry : entries_) {
    if (entry.direction != direction) continue;
    const bool here = entry.rate == rate && entry.name == name;
    if (entry.use == Use::kKept && here && older(kept_here, entry)) kept_here = &entry;
    if (entry.use == Use::kDraining && here && older(draining_here, entry)) draining_here = &entry;
    const bool idle = entry.use == Use::kKept || entry.use == Use::kDraining;
    if (idle && !here && older(idle_other, entry)) idle_other = &entry;
    if (entry.use == Use::kClosing && older(closing, entry)) closing = &entry;
  }
  if (kept_here != nullptr) return {Choice::kTake, kept_here->id, 0};
  if (Held(direction) < Limit(direction)) return {Choice::kOpen, 0, 0};
  if (draining_here != nullptr) return {Choice::kTake, draining_here->id, 0};
  if (idle_other != nullptr) return {Choice::kOpen, 0, idle_other->id};
  if (closing != nullptr && closing->rate == rate && closing->name == name) {
    return {Choice::kTake, closing->id, 0, true};
  }
  if (closing != nullptr) return {Choice::kOpen, 0, closing->id};
  return {};
}

std::uint64_t PcmPool::Add(Direction direction, std::string_view name, std::uint32_t rate) {
  refuse_keeps_ = false;
  entries_.push_back({++last_id_, direction, std::string(name), rate, Use::kStreaming, {},
                      ++attached_});
  return last_id_;
}

void PcmPool::Attach(std::uint64_t id) {
  refuse_keeps_ = false;
  if (Entry* entry = Find(id)) {
    entry->use = Use::kStreaming;
    entry->attached = ++attached_;
  }
}

void PcmPool::SetUse(std::uint64_t id, Use use) {
  if (Entry* entry = Find(id)) entry->use = use;
}

bool PcmPool::Keep(std::uint64_t id, Time now, std::chrono::milliseconds at_least) {
  Entry* entry = Find(id);
  if (entry == nullptr) return false;
  const auto keep = std::max(
      entry->direction == Direction::kInput ? limits_.keep_input : limits_.keep_output, at_least);
  if (keep.count() <= 0 || refuse_keeps_) {
    Remove(id);
    return false;
  }
  entry->use = Use::kKept;
  entry->kept_until = now + keep;
  return true;
}

std::optional<PcmPool::Time> PcmPool::KeptUntil(std::uint64_t id) const {
  const Entry* entry = Find(id);
  if (entry == nullptr || entry->use != Use::kKept) return std::nullopt;
  return entry->kept_until;
}

bool PcmPool::Expire(std::uint64_t id, Time now) {
  const Entry* entry = Find(id);
  if (entry == nullptr || entry->use != Use::kKept || now < entry->kept_until) return false;
  Remove(id);
  return true;
}

void PcmPool::Remove(std::uint64_t id) { std::erase_if(entries_, [&](const Entry& e) { return e.id == id; }); }

std::optional<PcmPool::Use> PcmPool::UseOf(std::uint64_t id) const {
  const Entry* entry = Find(id);
  return entry != nullptr ? std::optional(entry->use) : std::nullopt;
}

std::size_t PcmPool::Held(Direction direction) const {
  return static_cast<std::size_t>(std::ranges::count(entries_, direction, &Entry::direction));
}

std::size_t PcmPool::Held(Direction direction, std::string_view name, std::uint32_t rate) const {
  return static_cast<std::size_t>(std::ranges::count_if(entries_, [&](const Entry& e) {
    return e.direction == direction && e.rate == rate && e.name == name;
  }));
}

std::size_t PcmPool::Held(Direction direction, Use use) const {
  return static_cast<std::size_t>(std::ranges::count_if(
      entries_, [&](const Entry& e) { return e.direction == direction && e.use == use; }));
}

std::optional<Result> PcmPool::Known(Direction direction, std::string_view name,
                                     std::uint32_t rate) const {
  for (const Answer& answer : answers_[Index(direction)]) {
    if (answer.rate == rate && answer.name == name) return answer.result;
  }
  for (const Entry& entry : entries_) {
    if (entry.direction == direction && entry.rate == rate && entry.name == name) return kOk;
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
