"""Fixtures of the binding's tests. CTest runs them inside the tests' sound
set-ups, one pytest run each, chosen by marker: the file-backed ALSA
"default" (MIRN_ALSA_DIR: capture from infile.raw, each played stream into a
file of its own), the same with no device (no_device), and a private
PulseAudio server (pulse). MIRNDLL_LIBRARY names the built library."""
import ctypes
import os
import pathlib

import pytest

import mirndll


def pytest_configure(config):
    config.addinivalue_line("markers", "no_device: ALSA's default names no device")
    config.addinivalue_line("markers", "pulse: under the private PulseAudio server")


@pytest.fixture
def recorder():
    return mirndll.Recorder()


@pytest.fixture
def here(tmp_path, monkeypatch):
    """A scratch folder as the working folder: paths relative to it stay far
    below the library's limit, wherever the temporary folder lies."""
    monkeypatch.chdir(tmp_path)
    return pathlib.Path()


@pytest.fixture
def strings_balance():
    """Fails the test unless every automation string made during it was
    released exactly once: by the library, never by the binding too."""
    allocator = ctypes.CDLL("libMirnAutomation.so.1")
    counters = [allocator.AutomationStringsAllocated, allocator.AutomationStringsReleased]
    for counter in counters:
        counter.restype = ctypes.c_uint64
    before = [counter() for counter in counters]
    yield
    made, released = (counter() - start for counter, start in zip(counters, before))
    assert made == released, f"{made} strings made, {released} released"


class Streams:
    """The streams ALSA's file-backed default played, in open order."""

    def __init__(self, folder):
        self.folder = folder
        self.clear()

    def clear(self):
        for name in self._names():
            os.remove(name)

    def _names(self):
        return sorted(os.path.join(self.folder, name) for name in os.listdir(self.folder)
                      if name.startswith("stream.raw"))

    def read(self):
        """What each PCM played, in open order; a PCM opened and never played
        (a spare) leaves an empty file."""
        result = []
        for name in self._names():
            with open(name, "rb") as file:
                result.append(file.read())
        return [stream for stream in result if stream]


@pytest.fixture
def streams():
    return Streams(os.environ["MIRN_ALSA_DIR"])


def library_wave(samples, rate=8000):
    """A file in the library's own layout: a 52-byte header, then the samples."""
    size = len(samples)
    return (b"RIFF" + (size + 44).to_bytes(4, "little") + b"WAVEfmt " +
            (24).to_bytes(4, "little") + (1).to_bytes(2, "little") + (1).to_bytes(2, "little") +
            rate.to_bytes(4, "little") + rate.to_bytes(4, "little") +
            (1).to_bytes(2, "little") + (8).to_bytes(2, "little") + bytes(8) +
            b"data" + size.to_bytes(4, "little") + bytes(samples))


def assert_consecutive(data):
    """The bytes a test source sends: 1, 2, ..., 251, 1, ... with none lost,
    after the silence (128) a take holds for the time before its PCM delivered."""
    assert data and 0 not in data
    lead = len(data) - len(data.lstrip(b"\x80"))
    assert lead < 8000, "a second of silence before the source"
    for n in range(lead + 1, len(data)):
        assert data[n] == data[n - 1] % 251 + 1, f"a byte lost or repeated at {n}"
