// The life of each PCM the ALSA device holds, as one table: what the PCM is
// used for (its state), what happens to it (events) and the state each event
// leads to. The host's calls and the PCM's owner thread change a PCM's state
// only through this table (PcmPool::Apply); an event with no row for the
// state changes nothing. Whether the PCM itself is open is the owner's own
// business: a stream's PCM may still be opening, or being reopened after it
// was lost, in any state but kEnding.
#pragma once

#include <cstdint>
#include <optional>

namespace wave_service::alsa {

enum class PcmState : std::uint8_t {
  kStreaming,  // a stream's handle is open on it
  kClosing,    // (output) the handle is closed; its queued bytes still go to ALSA
  kDraining,   // (output) every byte is with ALSA, which plays them out
  kKept,       // idle (open, or still opening): for the next stream at its name and rate
  kEnding,     // the owner closes the PCM and ends; the pool has forgotten it
};

enum class PcmEvent : std::uint8_t {
  kAttach,     // an open takes it for its stream
  kDetach,     // the stream goes with nothing to play out: an input closed, an output open gave up
  kClose,      // (output) the stream's handle is closed
  kHandedAll,  // (output) the closed stream's last byte is with ALSA: the stream is released
  kHeard,      // (output) every byte ALSA was handed has been played out
  kCut,        // (output) its sound is replaced: what it holds is dropped, a closed stream released
  kRetune,     // (output) kept: set up afresh at another rate, for the next stream there
  kExpire,     // kept: its time ran out
  kEnd,        // given way, failed, let go, or the device goes
};

struct PcmTransition {
  PcmState from;
  PcmEvent event;
  PcmState to;
};

// Every transition. A draining output may be attached to: the new stream's
// bytes follow what it still plays, on the same PCM. A streaming output that
// is cut stays attached (its handle is still open) with nothing left to play.
inline constexpr PcmTransition kPcmTransitions[] = {
    {PcmState::kStreaming, PcmEvent::kClose, PcmState::kClosing},
    {PcmState::kStreaming, PcmEvent::kDetach, PcmState::kKept},
    {PcmState::kStreaming, PcmEvent::kCut, PcmState::kStreaming},
    {PcmState::kStreaming, PcmEvent::kEnd, PcmState::kEnding},
    {PcmState::kClosing, PcmEvent::kHandedAll, PcmState::kDraining},
    {PcmState::kClosing, PcmEvent::kCut, PcmState::kKept},
    {PcmState::kClosing, PcmEvent::kEnd, PcmState::kEnding},
    {PcmState::kDraining, PcmEvent::kHeard, PcmState::kKept},
    {PcmState::kDraining, PcmEvent::kAttach, PcmState::kStreaming},
    {PcmState::kDraining, PcmEvent::kCut, PcmState::kKept},
    {PcmState::kDraining, PcmEvent::kEnd, PcmState::kEnding},
    {PcmState::kKept, PcmEvent::kAttach, PcmState::kStreaming},
    {PcmState::kKept, PcmEvent::kRetune, PcmState::kKept},
    {PcmState::kKept, PcmEvent::kExpire, PcmState::kEnding},
    {PcmState::kKept, PcmEvent::kEnd, PcmState::kEnding},
};

// The state `event` leads to from `from`; nullopt where the table has no row.
constexpr std::optional<PcmState> Next(PcmState from, PcmEvent event) {
  for (const PcmTransition& row : kPcmTransitions) {
    if (row.from == from && row.event == event) return row.to;
  }
  return std::nullopt;
}

}  // namespace wave_service::alsa
