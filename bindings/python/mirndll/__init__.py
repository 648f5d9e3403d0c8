"""MirnDLL from Python: record 8-bit mono sound at 8000 Hz into the library's
store, play it back, play its tone replay, save and load it as a WAVE file.

    import mirndll
    with mirndll.Recorder() as recorder:      # finds libMirnDLL.so.1 / MirnDLL.dll
        recorder.record(3)                    # bytes recorded
        recorder.save("take.wav")             # bytes saved; OSError when it fails
        recorder.play(8000, wait=True)        # NoOutputError when no output opens

The library is found at the path given to Recorder, else at the path in
MIRNDLL_LIBRARY, else where the project's install put it, else by the
system loader's search. Paths may be str, bytes (UTF-8) or os.PathLike.
The calls of one process are serialised: the library takes no locks.
"""
import errno
import operator
import os
import stat
import threading
import time

from . import _native
from ._durations import play_seconds, tone_scaled_length, tone_seconds
from ._library import (DEVICE_LATENCY, FILE_FAILED, MAX_PATH_BYTES, NO_OUTPUT, RECORDING_RATE,
                       STORE_BYTES)
from ._native import ENVIRONMENT_VARIABLE

__all__ = ["Recorder", "Playback", "NoOutputError", "ENVIRONMENT_VARIABLE", "MAX_PATH_BYTES",
           "RECORDING_RATE", "STORE_BYTES"]

# One store per loaded library, whichever Recorder calls it.
_calls = threading.RLock()
_libraries = {}


class NoOutputError(OSError):
    """No wave output could be opened at the rate asked for: nothing plays."""


class Playback:
    """A play the device is running. The library never reports its end, so
    its end is its start plus the sound's duration."""

    def __init__(self, seconds):
        self.seconds = seconds
        # The device starts a little after the call and still holds its last
        # buffer when the sound's duration has passed.
        self._ends = time.monotonic() + seconds + DEVICE_LATENCY

    @property
    def done(self):
        return time.monotonic() >= self._ends

    def wait(self, timeout=None):
        """Waits for the end (at most timeout seconds); True once it has come."""
        left = self._ends - time.monotonic()
        if timeout is not None and timeout < left:
            time.sleep(max(timeout, 0))
            return False
        time.sleep(max(left, 0))
        return True


class _Library:
    """A loaded library and what the binding knows of its store."""

    def __init__(self, native):
        self.native = native
        self.length = 0          # bytes a play plays: from the last stop or load
        self.first = 0           # bytes the next call's first pass plays (see _durations)
        self.has_sound = False   # a recording or a load has set the store's format


def _library(path):
    location, _ = _native.locate(path)
    key = os.path.abspath(location) if os.sep in location else location
    with _calls:
        if key not in _libraries:
            _libraries[key] = _Library(_native.Native(path))
        return _libraries[key]


def _rate(rate):
    value = operator.index(rate)
    if not -2**31 <= value < 2**31:
        raise ValueError(f"rate {value} does not fit the library's 32-bit argument")
    return value


class Recorder:
    """The library's seven calls with Python's types and errors."""

    def __init__(self, library=None):
        self._library = _library(library)
        self.native = self._library.native  # the raw calls, as ctypes functions

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    @property
    def path(self):
        """The file the library was loaded from (or the name the loader found)."""
        return self.native.path

    def start(self):
        """Clears the store and starts recording into it (at most 200 s)."""
        with _calls:
            self.native.SoundRecordStart()
            self._library.has_sound = True

    def stop(self):
        """Stops the recording; returns the bytes recorded (0 when no input
        device opened). The library returns no count itself: the binding asks
        for it by saving the take to the null device, which changes nothing."""
        with _calls:
            self.native.SoundRecordStop()
            length = self._call_with_path(self.native.SoundRecordSave, os.devnull, RECORDING_RATE)
            self._library.length = self._library.first = max(length, 0)
            return self._library.length

    def record(self, seconds):
        """Records for seconds and returns the bytes recorded. Interrupted
        (Ctrl-C), it stops the recording, which the store keeps, first."""
        if not seconds > 0:
            raise ValueError(f"a recording lasts more than 0 seconds, not {seconds}")
        self.start()
        try:
            time.sleep(seconds)
        finally:
            recorded = self.stop()
        return recorded

    def save(self, path, rate=RECORDING_RATE):
        """Saves the recording as a WAVE file whose header states rate;
        returns the bytes of sound saved. A failed save leaves the old file."""
        rate = _rate(rate)
        with _calls:
            saved = self._call_with_path(self.native.SoundRecordSave, path, rate)
            if saved == FILE_FAILED:
                raise self._file_error("cannot save to", path)
            return saved

    def load(self, path):
        """Loads a file saved by save() for the next play; returns the bytes
        loaded. The store is unchanged when it fails."""
        with _calls:
            loaded = self._call_with_path(self.native.SoundRecordLoad, path)
            if loaded == FILE_FAILED:
                raise self._file_error("cannot load", path)
            self._library.length = self._library.first = loaded
            self._library.has_sound = True
            return loaded

    def play(self, rate=RECORDING_RATE, wait=False):
        """Plays the store at rate samples/s; returns the Playback, once it
        has ended when wait is true."""
        rate = _rate(rate)
        library = self._library
        with _calls:
            result = self.native.SoundRecordPlay(rate)
            seconds = play_seconds(library.first, library.length, rate)
            library.first = library.length
            self._sound(result, rate)
            playback = Playback(seconds)
        if wait:
            playback.wait()
        return playback

    def tone(self, rate, wait=False):
        """The tone replay at rate, then at 8000 Hz; returns the Playback."""
        rate = _rate(rate)
        library = self._library
        with _calls:
            result = self.native.ToneCreate(rate)
            seconds = tone_seconds(library.first, library.length, rate)
            # Refused, the tone leaves its scaled length for the next first pass.
            library.first = (tone_scaled_length(library.length, rate) if result == NO_OUTPUT
                             else library.length)
            self._sound(result, rate)
            playback = Playback(seconds)
        if wait:
            playback.wait()
        return playback

    def close(self):
        """The library's end-of-use call; the library stays usable."""
        with _calls:
            return self.native.DLLStop()

    def _call_with_path(self, function, path, *arguments):
        checked = _native.narrow_path(path)
        string = self.native.automation_string(checked)
        self.native.clear_error()
        return function(string, *arguments)  # releases the string

    def _sound(self, result, rate):
        if result != NO_OUTPUT:
            return
        why = f"no wave output could be opened at {rate} Hz"
        if not self._library.has_sound:
            why += " (nothing was recorded or loaded yet, so the store has no format)"
        raise NoOutputError(errno.ENODEV, why)

    def _file_error(self, what, path):
        """An OSError naming the file and, as far as can be told, the reason."""
        text = os.fsdecode(os.fspath(path))
        number = self.native.last_error()
        if number:
            return _native.system_error(number, f"{what} {text}", text)
        try:
            status = os.stat(text)
        except OSError as error:
            return OSError(error.errno, f"{what} {text}: {error.strerror}", text)
        if stat.S_ISDIR(status.st_mode):
            return OSError(errno.EISDIR, f"{what} {text}: it is a folder", text)
        if what == "cannot load":
            if not stat.S_ISREG(status.st_mode):
                return OSError(errno.EINVAL, f"{what} {text}: not a regular file", text)
            return OSError(errno.EINVAL, f"{what} {text}: shorter than the 52-byte header", text)
        return OSError(errno.EIO, f"{what} {text}: the file could not be written in full", text)
