#!/usr/bin/env python3
"""Reads a file saved by the library with Python's own wave module, a reader
independent of ours, and checks what the writer program says it saved.

  read_saved_wave.py [EMULATOR ARGS...] WRITER"""
import os
import subprocess
import sys
import tempfile
import wave

RATE = 11025
COUNT = 1001


def main() -> int:
    writer = sys.argv[1:]  # the writer's path, after the emulator if any
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "sample.wav")
        subprocess.run([*writer, path], check=True)
        with wave.open(path, "rb") as reader:
            found = (reader.getframerate(), reader.getnchannels(),
                     reader.getsampwidth(), reader.getnframes())
            samples = reader.readframes(COUNT + 1)
        size = os.path.getsize(path)

    expected = bytes((i * 7 + 3) % 256 for i in range(COUNT))
    failures = []
    if found != (RATE, 1, 1, COUNT):
        failures.append(f"rate, channels, width, frames: {found}")
    if samples != expected:
        failures.append("samples differ from the recording")
    if size != 52 + COUNT:
        failures.append(f"file length {size}, not {52 + COUNT}")
    for failure in failures:
        print(failure, file=sys.stderr)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
