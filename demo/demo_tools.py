"""Helpers of the hardware-free demo (scripts/demo.sh):

  demo_tools.py input OUT.u8        the sound to record: speech from espeak-ng
                                    where installed, else a synthesized tune;
                                    raw unsigned 8-bit mono at 8000 Hz
  demo_tools.py feed IN.u8 PIPE     feeds PIPE at 8000 bytes/s, like a microphone
  demo_tools.py wrap RAW RATE OUT   wraps a raw 8-bit stream as a WAVE file in
                                    the layout the library saves
"""
import math
import os
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time

RATE = 8000
SILENCE = 128  # unsigned 8-bit
SPEECH = "Hello from Mirn. This was recorded through ALSA, with no sound card."
# Bytes per write. The file plugin turns each capture read into one read() of
# the pipe and fills a short read up with zeros, so every write holds a whole
# number of the device's periods (160 frames: 20 ms at 8000 Hz).
CHUNK = 160


def speech(out_path):
    """espeak-ng's voice converted by sox; False when either is missing."""
    if not (shutil.which("espeak-ng") and shutil.which("sox")):
        return False
    with tempfile.TemporaryDirectory() as scratch:
        voice = os.path.join(scratch, "voice.wav")
        subprocess.run(["espeak-ng", "-s", "150", "-w", voice, SPEECH], check=True)
        subprocess.run(["sox", voice, "-t", "raw", "-r", str(RATE), "-e", "unsigned",
                        "-b", "8", "-c", "1", out_path], check=True)
    return True


def tune(out_path):
    """Five notes with soft edges, synthesized at 8000 Hz."""
    samples = bytearray()
    for frequency in (392.0, 440.0, 494.0, 587.0, 523.0):
        length = int(0.5 * RATE)
        for n in range(length):
            envelope = min(1.0, n / 400, (length - n) / 800)
            value = 0.8 * envelope * math.sin(2 * math.pi * frequency * n / RATE)
            samples.append(SILENCE + int(round(127 * value)))
    with open(out_path, "wb") as out:
        out.write(bytes(samples))


def make_input(out_path):
    if speech(out_path):
        print(f"input: speech from espeak-ng: \"{SPEECH}\"")
    else:
        tune(out_path)
        print("input: a synthesized tune of five notes (espeak-ng is not installed)")
    # Half a second of silence first: the recording starts with room to spare.
    with open(out_path, "rb") as file:
        sound = file.read()
    with open(out_path, "wb") as file:
        file.write(bytes([SILENCE]) * (RATE // 2) + sound)


def feed(in_path, pipe_path):
    """Writes the input, then silence, at RATE bytes/s to each reader in turn.

    The demo's capture device opens the pipe for every capture open (the
    format query too) and closes it at every close, so readers come and go:
    each new reader gets the input from its start.
    """
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    with open(in_path, "rb") as file:
        sound = file.read()
    while True:
        fd = os.open(pipe_path, os.O_WRONLY)  # waits for a reader
        start = time.monotonic()
        sent = 0
        try:
            while True:
                chunk = sound[sent:sent + CHUNK]
                os.write(fd, chunk + bytes([SILENCE]) * (CHUNK - len(chunk)))
                sent += CHUNK
                time.sleep(max(0.0, start + sent / RATE - time.monotonic()))
        except BrokenPipeError:  # the reader closed
            pass
        finally:
            os.close(fd)


def wrap(raw_path, rate, out_path):
    with open(raw_path, "rb") as file:
        data = file.read()
    header = (b"RIFF" + struct.pack("<I", len(data) + 44) + b"WAVE" + b"fmt " +
              struct.pack("<IHHIIHH", 24, 1, 1, rate, rate, 1, 8) + bytes(8) +
              b"data" + struct.pack("<I", len(data)))
    with open(out_path, "wb") as out:
        out.write(header + data)


def main(args):
    if args[:1] == ["input"] and len(args) == 2:
        make_input(args[1])
    elif args[:1] == ["feed"] and len(args) == 3:
        feed(args[1], args[2])
    elif args[:1] == ["wrap"] and len(args) == 4:
        wrap(args[1], int(args[2]), args[3])
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main(sys.argv[1:])
