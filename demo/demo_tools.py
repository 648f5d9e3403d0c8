"""Helpers of the hardware-free demo (scripts/demo.sh):

  demo_tools.py input OUT.u8        the sound to record: speech from espeak-ng
                                    where installed, else a synthesized tune;
                                    raw unsigned 8-bit mono at 8000 Hz
  demo_tools.py check TAKE SOURCE SECONDS
                                    checks a recording (a WAVE file as the
                                    library saves, or raw bytes) against the
                                    sound that was fed in, looped: its length
                                    within one capture period of SECONDS, and
                                    its bytes found in the source, in order
"""
import math
import os
import shutil
import struct
import subprocess
import sys
import tempfile

RATE = 8000
SILENCE = 128  # unsigned 8-bit
SPEECH = "Hello from Mirn. This was recorded through a sound server, with no sound card."
# The unit in which a take is found in the sound fed in: 20 ms.
BLOCK = 160


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


def take_bytes(path):
    """The sound of a WAVE file as the library saves it (52-byte header), or raw bytes."""
    with open(path, "rb") as file:
        data = file.read()
    return data[52:] if data[:4] == b"RIFF" else data


def in_order(take, source):
    """How many of the take's blocks are found in the looped source, each
    after the one before (silence matches anywhere)."""
    looped = source * (len(take) // len(source) + 2)
    found, at = 0, 0
    for start in range(0, len(take) - BLOCK + 1, BLOCK):
        block = take[start:start + BLOCK]
        where = looped.find(block, at)
        if where < 0 or (found > 0 and where - at > len(source)):
            continue
        found, at = found + 1, where + BLOCK
    return found, len(take) // BLOCK


def check(take_path, source_path, seconds):
    take = take_bytes(take_path)
    with open(source_path, "rb") as file:
        source = file.read()
    expected = round(seconds * RATE)
    period = RATE // 8  # the library reads its input in periods of 125 ms
    ok = True
    length_ok = abs(len(take) - expected) <= period
    ok &= length_ok
    print(f"check: {len(take)} bytes recorded for {seconds:.2f} s, {expected} expected "
          f"within one period ({period} bytes): {'yes' if length_ok else 'NO'}")
    found, blocks = in_order(take, source)
    order_ok = blocks > 0 and found == blocks
    ok &= order_ok
    print(f"check: {found} of its {blocks} blocks of {BLOCK} bytes found in the sound fed in, "
          f"in order: {'yes' if order_ok else 'NO'}")
    loud = sum(1 for byte in take if abs(byte - SILENCE) > 8)
    print(f"check: {loud} bytes of it are sound, not silence")
    return ok and loud > 0


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
    elif args[:1] == ["check"] and len(args) == 4:
        sys.exit(0 if check(args[1], args[2], float(args[3])) else 1)
    elif args[:1] == ["wrap"] and len(args) == 4:
        wrap(args[1], int(args[2]), args[3])
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main(sys.argv[1:])
