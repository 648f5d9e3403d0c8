"""How long the sound of a play and of a tone replay lasts, from the lengths in
the library's store: the rule of host/binding/sound_durations.cpp, which the
tests hold this copy to over a grid of inputs, on the header's numbers.

first is the library's bytes-recorded word, the length a call's first pass
plays: the recorded length after a stop, a load or a play, the scaled length
after a tone replay whose own output did not open. Passes play one after
another, none past the store; one the same as the pass before it (length and
rate) is heard once, an empty one not at all."""
from ._library import RECORDING_RATE, STORE_BYTES, TONE_SCALE


def tone_scaled_length(recorded, rate):
    """The bytes-recorded word once a tone replay has scaled recorded bytes:
    times TONE_SCALE // rate (0 for a rate below 1), wrapping at 32 bits as
    the library's product does."""
    factor = TONE_SCALE // rate if rate >= 1 else 0
    return factor * recorded & 0xFFFFFFFF


def _heard_seconds(*passes):
    seconds, before = 0.0, None
    for length, rate in passes:
        length = min(length, STORE_BYTES)
        if length == 0 or rate < 1:  # a rate below 1 opens no output
            continue
        if (length, rate) != before:
            seconds += length / rate
        before = (length, rate)
    return seconds


def play_seconds(first, recorded, rate):
    """A play: first bytes at rate, then recorded bytes."""
    return _heard_seconds((first, rate), (recorded, rate))


def tone_seconds(first, recorded, rate):
    """A tone replay: first bytes at rate, then at the recording rate the scaled
    length and recorded bytes. Nothing plays when rate opens no output."""
    if rate < 1:
        return 0.0
    return _heard_seconds((first, rate), (tone_scaled_length(recorded, rate), RECORDING_RATE),
                          (recorded, RECORDING_RATE))
