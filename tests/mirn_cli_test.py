"""End-to-end tests of the mirn command as installed, loading the installed
library, in a scratch directory per test. CTest runs each class on its own:
    mirn_cli_test.py CLASS
Environment: MIRN (the program), MIRN_COMPLETION (its bash completion),
MIRN_PARTIAL_LIBRARY (a library lacking an export), MIRN_EMULATOR (a cross
build's emulator, if any) and, where the
build plays through ALSA, MIRN_ALSA_DIR: the folder of the file-backed ALSA
"default" that the tests' wrapper set up (capture from infile.raw, one file
a played stream: stream.raw, stream.raw.0001, ...). Classes marked "needs
ALSA" run only there, and those marked "needs sndfile" only where mirn reads
audio files with libsndfile. Files of other formats are made with sox.
"""
import math
import os
import pty
import shlex
import signal
import struct
import subprocess
import sys
import tempfile
import unittest
import wave

MIRN = os.environ.get("MIRN", "")
EMULATOR = shlex.split(os.environ.get("MIRN_EMULATOR", ""))
PARTIAL_LIBRARY = os.environ.get("MIRN_PARTIAL_LIBRARY", "")
ALSA_DIR = os.environ.get("MIRN_ALSA_DIR", "")
COMPLETION = os.environ.get("MIRN_COMPLETION", "")


def library_wave(samples, rate=8000, stated=None):
    """Bytes of a file in the library's own layout: 52-byte header, data at 44."""
    size = len(samples) if stated is None else stated
    header = (b"RIFF" + struct.pack("<I", size + 44) + b"WAVE" + b"fmt " +
              struct.pack("<IHHIIHH", 24, 1, 1, rate, rate, 1, 8) + bytes(8) +
              b"data" + struct.pack("<I", size))
    return header + bytes(samples)


def pcm_wave(path, frames, rate, width):
    """A common 44-byte-header PCM WAVE file; frames: tuples of samples, one per
    channel (unsigned for width 1, signed for width 2)."""
    with wave.open(path, "wb") as out:
        out.setnchannels(len(frames[0]))
        out.setsampwidth(width)
        out.setframerate(rate)
        code = "B" if width == 1 else "h"
        out.writeframes(b"".join(struct.pack("<" + code * len(f), *f) for f in frames))
    return path


def as_library_sample(frame, full_scale):
    """The unsigned 8-bit mono sample mirn makes of a frame: the channels' mean
    scaled to 128, rounded half away from zero, clamped."""
    scaled = sum(frame) / len(frame) / full_scale * 128
    rounded = math.floor(scaled + 0.5) if scaled >= 0 else math.ceil(scaled - 0.5)
    return max(0, min(255, rounded + 128))


class MirnTest(unittest.TestCase):
    """Runs mirn in a scratch directory of its own."""

    def setUp(self):
        self._scratch = tempfile.TemporaryDirectory(prefix="mirn-cli-")
        self.dir = self._scratch.name
        for name in self.stream_files():  # each test counts its own streams
            os.remove(name)

    def tearDown(self):
        self._scratch.cleanup()

    @staticmethod
    def stream_files():
        if not ALSA_DIR:
            return []
        # stream.raw sorts first, then the zero-padded numbers in open order.
        return sorted(os.path.join(ALSA_DIR, name) for name in os.listdir(ALSA_DIR)
                      if name.startswith("stream.raw"))

    def streams(self):
        """The streams played since the test began, in open order, as bytes.
        A PCM opened and never played (a spare) leaves an empty file."""
        result = []
        for name in self.stream_files():
            with open(name, "rb") as file:
                result.append(file.read())
        return [stream for stream in result if stream]

    def path(self, name):
        return os.path.join(self.dir, name)

    def write(self, name, data):
        with open(self.path(name), "wb") as file:
            file.write(data)
        return self.path(name)

    def mirn(self, *args, code=0, stdin=None, binary=False, env=None):
        """Runs mirn with pipes for its output; checks the exit status."""
        done = subprocess.run([*EMULATOR, MIRN, *args], cwd=self.dir, capture_output=True,
                              text=not binary, input=stdin, timeout=60, env=env)
        self.assertEqual(done.returncode, code,
                         f"mirn {' '.join(args)}\nstdout:\n{done.stdout}\nstderr:\n{done.stderr}")
        return done.stdout, done.stderr

    def mirn_on_terminal(self, *args):
        """Runs mirn with a pseudo-terminal as its standard error."""
        controller, terminal = pty.openpty()
        process = subprocess.Popen([*EMULATOR, MIRN, *args], cwd=self.dir, stderr=terminal,
                                   stdout=subprocess.DEVNULL)
        os.close(terminal)
        output = b""
        while True:
            try:
                chunk = os.read(controller, 4096)
            except OSError:  # the terminal's other side is closed
                break
            if not chunk:
                break
            output += chunk
        os.close(controller)
        process.wait(timeout=60)
        self.assertEqual(process.returncode, 0)
        return output.decode()


class UsageErrors(MirnTest):
    def test_bad_arguments_print_one_line_and_a_pointer_to_help(self):
        for args, says, command in [
            ((), "no command given", ""),
            (("play", "a.wav", "-r", "0"), "rate must be a whole number", "play "),
            (("record", "a.wav", "-d", "201"), "above 0 and at most 200", "record "),
            (("record", "a.wav", "-d", "0"), "above 0 and at most 200", "record "),
            (("record", "a.wav", "--duration=-1"), "above 0 and at most 200", "record "),
            (("-D", "", "devices"), "--device needs a name", "devices "),
            (("devices", "all"), "devices takes none", "devices "),
            (("record", "a.wav", "-r", "11025"), "record takes no -r", "record "),
            (("play",), "FILE is required", "play "),
            (("info", "a.wav", "b.wav"), "unexpected argument 'b.wav'", "info "),
            (("dance",), "unknown command 'dance'", ""),
            (("help", "dance"), "unknown command 'dance'", ""),
        ]:
            # A library that cannot load shows the arguments are judged first.
            out, err = self.mirn("--library", "/nonexistent/libMirnDLL.so", *args, code=2)
            self.assertEqual(len(err.splitlines()), 2, err)
            self.assertTrue(err.startswith("mirn: "), err)
            self.assertIn(says, err.splitlines()[0])
            self.assertEqual(err.splitlines()[1],
                             f"Try 'mirn {command}--help' for more information.")
            self.assertEqual(out, "")
        self.assertEqual(os.listdir(self.dir), [])  # nothing recorded or saved

    def test_help_and_version_go_to_stdout(self):
        out, err = self.mirn("--version")
        self.assertRegex(out, r"^mirn \d+\.\d+\.\d+\n$")
        by_word, _ = self.mirn("help", "play")
        by_flag, _ = self.mirn("play", "--help")
        self.assertEqual(by_word, by_flag)
        self.assertIn("Usage: mirn play", by_flag)
        self.assertIn("-r,--rate", by_flag)
        self.assertNotIn("--duration", by_flag)  # record's, not play's
        whole, _ = self.mirn("--help")
        for command in ("record", "play", "tone", "info", "call", "devices", "help"):
            self.assertIn(command, whole)
        # The file that is loaded, and when `record -` writes.
        self.assertIn("through libMirnDLL.so.1\n", whole)
        self.assertIn("-D,--device NAME", whole)
        record, _ = self.mirn("help", "record")
        self.assertIn("standard output, written when the take ends", record)
        self.assertEqual(err, "")

    def test_a_bad_step_stops_the_whole_call_before_it_runs(self):
        out, err = self.mirn("call", "stop", "save:a.wav:8000", "tone:loud", code=2)
        self.assertEqual(out, "")
        self.assertIn("step 'tone:loud'", err)
        self.assertFalse(os.path.exists(self.path("a.wav")))


class LibraryBinding(MirnTest):
    def test_missing_library_or_export_gives_the_bindings_message(self):
        _, err = self.mirn("--library", "/nonexistent/libMirnDLL.so", "call", "stop", code=1)
        self.assertIn("mirn: cannot load /nonexistent/libMirnDLL.so", err)
        # A bare name is a file here, not a search of the loader's path.
        _, err = self.mirn("--library", "libMirnDLL.so", "call", "stop", code=1)
        self.assertIn("cannot load ./libMirnDLL.so", err)
        _, err = self.mirn("--library", PARTIAL_LIBRARY, "call", "stop", code=1)
        self.assertIn("export SoundRecordLoad not found", err)
        _, err = self.mirn("--ordinals", "--library", PARTIAL_LIBRARY, "call", "stop", code=1)
        self.assertIn("export ordinal 5 (SoundRecordLoad) not found", err)

    def test_by_name_and_by_ordinal_make_the_same_calls(self):
        self.write("in.wav", library_wave(range(200)))
        steps = ("stop", "load:in.wav", "save:out.wav:8000", "dllstop")
        by_name, _ = self.mirn("call", *steps)
        by_ordinal, _ = self.mirn("--ordinals", "call", *steps)
        self.assertEqual(by_name, by_ordinal)
        self.assertIn('SoundRecordSave("out.wav", 8000) = 200', by_ordinal)


class RecordThenInfo(MirnTest):  # needs ALSA
    def test_saved_recording_is_what_was_captured(self):
        out, err = self.mirn("record", "take.wav", "-d", "0.1")
        self.assertEqual(out, "")  # messages go to stderr
        # The capture file keeps no time, so the store fills at once: the take
        # keeps only the 0.1 s asked for.
        saved = 800
        self.assertIn(f"Saved {saved} bytes to take.wav (0.10 s at 8000 Hz)", err)
        with open(self.path("take.wav"), "rb") as file:
            data = file.read()
        # From the capture's first byte on, none lost or repeated.
        with open(os.path.join(ALSA_DIR, "infile.raw"), "rb") as file:
            captured = file.read(saved)
        self.assertEqual(data, library_wave(captured, rate=8000))

        info, _ = self.mirn("info", "take.wav")
        self.assertIn(f"take.wav: RIFF WAVE, 8-bit PCM mono at 8000 Hz, {saved} bytes", info)
        self.assertIn(f"data chunk            {saved} bytes at offset 44", info)
        self.assertNotIn("note:", info)


class InfoDrawing(MirnTest):
    def test_info_draws_the_samples(self):
        # A quiet first half and a full-scale second half.
        self.write("shape.wav", library_wave([128] * 720 + [0, 255] * 360))
        info, _ = self.mirn("info", "shape.wav")
        rows = [line[2:] for line in info.splitlines()[-9:]]
        self.assertTrue(all(len(row) == 72 for row in rows), rows)  # not a terminal: 72
        self.assertEqual(rows[0], " " * 36 + "#" * 36)
        self.assertEqual(rows[4], "#" * 72)
        self.assertEqual(rows[8], " " * 36 + "#" * 36)
        self.assertIn("peak                  100% of full scale", info)


class FileErrors(MirnTest):
    def test_save_failures_name_the_file_and_the_reason(self):
        _, err = self.mirn("record", "missing/take.wav", "-d", "0.1", code=1)
        self.assertIn("could not save missing/take.wav: the directory missing does not exist",
                      err)
        os.mkdir(self.path("folder"))
        out, err = self.mirn("call", "save:folder:8000", code=1)
        self.assertEqual(out, 'SoundRecordSave("folder", 8000) = -1\n')
        self.assertIn("could not save folder: folder is a directory", err)
        if os.path.exists("/dev/full"):  # opens, then fails to write
            _, err = self.mirn("call", "save:/dev/full:8000", code=1)
            self.assertIn("could not save /dev/full: the file could not be written", err)

    def test_files_that_are_not_sound_are_refused_before_anything_plays(self):
        self.write("notes.txt", b"not a sound\n" * 10)
        self.write("empty.wav", b"")
        os.mkfifo(self.path("pipe"))  # no writer: opening it must not wait
        for args, says in [
            (("play", "none.wav"), "cannot play none.wav: there is no file none.wav"),
            (("play", "x/none.wav"), "cannot play x/none.wav: the directory x does not exist"),
            (("tone", "empty.wav"), "cannot play empty.wav: the file is empty"),
            (("play", "notes.txt"), "cannot play notes.txt: "),
            (("play", "pipe"), "cannot play pipe: pipe is not a regular file"),
            (("info", "pipe"), "cannot open pipe: pipe is not a regular file"),
            (("info", "none.wav"), "cannot open none.wav: there is no file none.wav"),
        ]:
            out, err = self.mirn(*args, code=1)
            self.assertEqual(len(err.splitlines()), 1, err)
            self.assertIn("mirn: " + says, err)
            self.assertEqual(out, "")
        self.assertEqual(self.streams(), [])

    def test_info_of_what_is_not_a_sound_file(self):
        self.write("notes.txt", b"not a sound\n" * 10)
        _, err = self.mirn("info", "notes.txt", code=1)
        self.assertTrue(err.startswith("mirn: notes.txt"), err)


class PlayAndTone(MirnTest):  # needs ALSA
    samples = bytes(range(1, 256)) * 12  # 3060 bytes, no zeros

    def test_play_is_heard_once_at_the_files_rate_or_the_one_asked(self):
        self.write("in.wav", library_wave(self.samples, rate=16000))
        out, err = self.mirn("play", "in.wav")
        self.assertEqual(out, "")
        self.assertEqual(err, "Playing in.wav: 3060 bytes at 16000 Hz (0.19 s)\n")
        self.assertEqual(self.streams(), [self.samples])  # its two passes are one play
        _, err = self.mirn("-q", "play", "in.wav", "-r", "32000")
        self.assertEqual(err, "")

    def test_tone_writes_its_three_streams(self):
        # 11025 / 5512 = 2: the replay's first pass is twice the loaded length,
        # running on into the store past it, which a fresh library holds zero.
        self.write("in.wav", library_wave(self.samples))
        _, err = self.mirn("--ordinals", "tone", "in.wav", "-r", "5512")
        self.assertEqual(err, "Tone replay of in.wav: 3060 bytes at 5512 Hz, "
                              "replayed at 8000 Hz (1.70 s)\n")
        # In any order: a PCM kept or opened as a spare may play any pass.
        self.assertEqual(sorted(self.streams()),
                         sorted([self.samples, self.samples + bytes(3060), self.samples]))


class AudioFiles(MirnTest):  # needs ALSA, needs sndfile
    # Stereo frames whose mean covers the 16-bit range, clipping at both ends.
    frames = [(i * 131 % 65536 - 32768, (i * 37 % 65536) - 32768) for i in range(2205)]
    expected = bytes(as_library_sample(f, 32768) for f in frames)

    def play(self, name, *options):
        out, err = self.mirn("play", name, *options)
        self.assertEqual(out, "")
        return err

    def test_other_files_play_converted_at_their_own_rate(self):
        pcm_wave(self.path("s16.wav"), self.frames, 11025, 2)
        self.assertIn("Playing s16.wav: 2205 bytes at 11025 Hz (0.20 s), converted from WAV, "
                      "Signed 16 bit PCM, 2 channels", self.play("s16.wav"))
        subprocess.run(["sox", "s16.wav", "s16.flac"], cwd=self.dir, check=True)
        self.assertIn("at 11025 Hz (0.20 s), converted from FLAC", self.play("s16.flac"))
        self.assertEqual(self.streams(), [self.expected] * 2)

    def test_an_8_bit_wave_of_44_bytes_of_header_keeps_its_samples(self):
        samples = bytes(range(256)) * 10
        pcm_wave(self.path("u8.wav"), [(b,) for b in samples], 11025, 1)
        self.assertIn("2560 bytes at 11025 Hz", self.play("u8.wav"))
        # 11025 / 11025 = 1: the replay's two passes are one play.
        _, err = self.mirn("tone", "u8.wav")
        self.assertIn("Tone replay of u8.wav: 2560 bytes at 11025 Hz", err)
        self.assertEqual(self.streams(), [samples] * 3)

    def test_lossy_files_play_their_decoded_length(self):
        pcm_wave(self.path("s16.wav"), self.frames * 4, 22050, 2)
        subprocess.run(["sox", "s16.wav", "s16.ogg"], cwd=self.dir, check=True)
        self.assertIn("at 22050 Hz (0.40 s), converted from OGG", self.play("s16.ogg"))
        self.assertEqual([len(stream) for stream in self.streams()], [8820])

    def test_a_rate_the_device_refuses_is_converted(self):
        # The test device takes rates from 4000 up.
        pcm_wave(self.path("slow.wav"), [(b,) for b in bytes(range(256)) * 2], 2000, 1)
        err = self.play("slow.wav")
        self.assertIn("mirn: note: the device refused 2000 Hz: converted to 8000 Hz", err)
        self.assertIn("Playing slow.wav: 2048 bytes at 8000 Hz", err)
        self.assertEqual([len(stream) for stream in self.streams()], [2048])


class Pipes(MirnTest):  # needs ALSA
    def test_dash_is_standard_output_for_record_and_input_for_play_and_info(self):
        wav, err = self.mirn("record", "-", "-d", "0.1", binary=True)
        saved = int(err.split(b"Saved ")[1].split()[0])
        self.assertIn(b"to standard output", err)
        with open(os.path.join(ALSA_DIR, "infile.raw"), "rb") as file:
            self.assertEqual(wav, library_wave(file.read(saved)))
        self.assertEqual(os.listdir(self.dir), [])  # no file named "-"

        # The capture file keeps no time, so the recording may fill the store:
        # a short file plays instead.
        short = library_wave(bytes(range(1, 256)) * 4, rate=16000)
        _, err = self.mirn("play", "-", stdin=short, binary=True)
        self.assertIn(b"Playing standard input: 1020 bytes at 16000 Hz", err)
        self.assertEqual(self.streams(), [short[52:]])
        info, _ = self.mirn("info", "-", stdin=wav, binary=True)
        self.assertIn(b"standard input: RIFF WAVE, 8-bit PCM mono at 8000 Hz", info)


class NoOutputDevice(MirnTest):  # needs ALSA: missing
    def test_plays_fail_and_recording_saves_nothing(self):
        self.write("in.wav", library_wave(bytes(100)))
        out, err = self.mirn("play", "in.wav", "-r", "11025", code=1)
        self.assertEqual(out, "")
        self.assertIn("mirn: no wave output device could be opened at 11025 Hz "
                      "(device 'default')\n", err)
        _, err = self.mirn("tone", "in.wav", "-r", "4000", code=1)
        self.assertIn("at 4000 Hz", err)
        # An older take is kept; nothing named "-" appears either.
        self.write("take.wav", b"older")
        for target in ("take.wav", "-"):
            out, err = self.mirn("record", target, "-d", "0.1", code=1)
            self.assertEqual(out, "")
            self.assertIn("mirn: nothing was recorded: no sound came from the input device "
                          "'default'", err)
        self.assertEqual(sorted(os.listdir(self.dir)), ["in.wav", "take.wav"])
        with open(self.path("take.wav"), "rb") as file:
            self.assertEqual(file.read(), b"older")


class CallSequences(MirnTest):
    def test_each_call_prints_its_result(self):
        out, err = self.mirn("call", "stop", "save:a.wav:16000", "wait:0", "load:a.wav",
                             "dllstop")
        self.assertEqual(out, 'SoundRecordStop() = 2\n'
                              'SoundRecordSave("a.wav", 16000) = 0\n'
                              'SoundRecordLoad("a.wav") = 0\n'
                              'DLLStop() = 0\n')
        self.assertEqual(err, "")
        with open(self.path("a.wav"), "rb") as file:
            self.assertEqual(struct.unpack_from("<I", file.read(), 24)[0], 16000)

    def test_a_loaded_recording_saves_again_unchanged(self):
        samples = bytes((i * 7) % 256 for i in range(3000))
        self.write("in.wav", library_wave(samples, rate=22050))
        out, _ = self.mirn("call", "load:in.wav", "save:copy:1.wav:8000")
        self.assertEqual(out, 'SoundRecordLoad("in.wav") = 3000\n'
                              'SoundRecordSave("copy:1.wav", 8000) = 3000\n')
        with open(self.path("copy:1.wav"), "rb") as file:
            self.assertEqual(file.read(), library_wave(samples))

    def test_a_failed_call_does_not_stop_the_sequence(self):
        self.write("in.wav", library_wave(bytes(100)))
        out, err = self.mirn("call", "load:none.wav", "play:8000", "stop", "load:in.wav",
                             "tone:0", code=1)
        self.assertEqual(out, 'SoundRecordLoad("none.wav") = -1\n'
                              'SoundRecordPlay(8000) = 33\n'
                              'SoundRecordStop() = 2\n'
                              'SoundRecordLoad("in.wav") = 100\n'
                              'ToneCreate(0) = 33\n')
        self.assertEqual(err.splitlines(), [
            "mirn: could not load none.wav: there is no file none.wav",
            # Before a recording or a load the library has no format to open with.
            "mirn: nothing is recorded or loaded yet, so the format is empty and no output "
            "opens (start and stop a recording, or load a file, first)",
            "mirn: no wave output device could be opened at 0 Hz (device 'default')"])


class ProgressLines(MirnTest):
    # A play, which every device takes; a recording may capture nothing.
    def test_no_progress_line_into_a_pipe(self):
        self.write("in.wav", library_wave(bytes(800)))
        _, err = self.mirn("play", "in.wav")
        self.assertNotIn("\r", err)
        self.assertNotIn("\033", err)
        self.assertEqual(len(err.splitlines()), 1)  # what is played

    def test_progress_line_on_a_terminal(self):
        self.write("in.wav", library_wave(bytes(800)))
        out = self.mirn_on_terminal("play", "in.wav")
        self.assertIn("\rPlaying ", out)
        self.assertIn("/ 0.1 s  [", out)
        self.assertIn("Playing in.wav: 800 bytes", out)


class InfoOfOtherFiles(MirnTest):  # needs sndfile
    def test_plain_format_names_and_a_waveform(self):
        pcm_wave(self.path("s16.wav"), [(i * 997 % 65536 - 32768, 0) for i in range(800)],
                 8000, 2)
        for name, sox, says in [
            ("f32.wav", ["-e", "floating-point", "-b", "32"],
             ["32-bit IEEE float, 2 channels", "format tag          3 (IEEE float)"]),
            ("six.wav", ["-b", "24", "-c", "6"],
             ["24-bit PCM (extensible), 6 channels",
              "format tag          65534 (extensible), subformat 1 (PCM)"]),
        ]:
            subprocess.run(["sox", "s16.wav", *sox, name], cwd=self.dir, check=True)
            info, _ = self.mirn("info", name)
            for text in says:
                self.assertIn(text, info)
            self.assertIn("peak ", info)  # drawn from what libsndfile decodes
            self.assertNotIn("no waveform", info)
            # The library's own loader is beside the point for them.
            self.assertNotIn("a load would take", info)


class DeviceChoice(MirnTest):  # needs ALSA
    def test_a_named_device_is_the_one_opened_and_listed(self):
        self.write("in.wav", library_wave(bytes(range(1, 101))))
        clean = {k: v for k, v in os.environ.items() if not k.startswith("MIRN_") or
                 k in ("MIRN", "MIRN_ALSA_DIR")}
        for env, args, device in [
            ({}, ("-D", "nosuch"), "nosuch"),
            ({"MIRN_PLAYBACK_PCM": "nosuch"}, (), "nosuch"),
            ({"AUDIODEV": "nosuch"}, (), "nosuch"),
            # -D wins over the environment; MIRN_PCM over AUDIODEV.
            ({"MIRN_PLAYBACK_PCM": "default", "MIRN_PCM": "default"}, ("--device=nosuch",),
             "nosuch"),
            ({"MIRN_PCM": "nosuch"}, ("-D", "default"), None),
            ({"MIRN_PCM": "default", "AUDIODEV": "nosuch"}, (), None),
        ]:
            with self.subTest(env=env, args=args):
                code = 0 if device is None else 1
                _, err = self.mirn(*args, "play", "in.wav", code=code, env={**clean, **env})
                if device is not None:
                    self.assertIn(f"opened at 8000 Hz (device '{device}')", err)
                # The capture side: the playback variable leaves it the default.
                if device is not None and "MIRN_PLAYBACK_PCM" not in env:
                    _, err = self.mirn(*args, "record", "take.wav", "-d", "0.1", code=1,
                                       env={**clean, **env})
                    self.assertIn(f"from the input device '{device}'", err)
        played = b"".join(self.streams())
        self.assertEqual(played, bytes(range(1, 101)) * 2)  # two plays, each heard once
        self.assertFalse(os.path.exists(self.path("take.wav")))

        # Each list marks the device of its direction.
        listing, _ = self.mirn("devices", env={**clean, "MIRN_CAPTURE_PCM": "nosuch"})
        capture, playback = listing.split("Playback devices")
        self.assertIn("\n* nosuch\n    (not in the system's list)\n", capture)
        self.assertIn("\n* default\n", playback)
        self.assertNotIn("* nosuch", playback)


class Lengths(MirnTest):  # needs ALSA
    def test_paths_of_any_length_and_no_temporary_left(self):
        os.mkdir(self.path("tmp"))
        env = {**os.environ, "TMPDIR": self.path("tmp")}
        deep = os.path.join(self.dir, "d" * 120, "e" * 120)
        os.makedirs(deep)
        take = os.path.join(deep, "take.wav")
        _, err = self.mirn("record", take, "-d", "0.25", env=env)
        self.assertIn("Saved 2000 bytes", err)
        with open(take, "rb") as file, \
                open(os.path.join(ALSA_DIR, "infile.raw"), "rb") as captured:
            self.assertEqual(file.read(), library_wave(captured.read(2000)))
        copy = os.path.join(deep, "copy.wav")
        out, _ = self.mirn("call", f"load:{take}", f"save:{copy}:11025", env=env)
        self.assertEqual(out, f'SoundRecordLoad("{take}") = 2000\n'
                              f'SoundRecordSave("{copy}", 11025) = 2000\n')
        _, err = self.mirn("play", copy, env=env)
        self.assertIn("2000 bytes at 11025 Hz", err)
        out, err = self.mirn("call", f"save:{deep}/none/x.wav:8000", env=env, code=1)
        self.assertIn("the directory " + deep + "/none does not exist", err)
        self.assertEqual(os.listdir(self.path("tmp")), [])


class SeveralFiles(MirnTest):  # needs ALSA
    def test_each_file_in_turn_and_ctrl_c_ends_the_run(self):
        self.write("a.wav", library_wave(bytes([1]) * 800))
        self.write("b.wav", library_wave(bytes([2]) * 400, rate=16000))
        _, err = self.mirn("play", "a.wav", "none.wav", "b.wav", code=1)
        self.assertEqual(err.splitlines(), [
            "Playing a.wav: 800 bytes at 8000 Hz (0.10 s)",
            "mirn: cannot play none.wav: there is no file none.wav",
            "Playing b.wav: 400 bytes at 16000 Hz (0.03 s)"])
        played = b"".join(self.streams())
        self.assertEqual((played.count(1), played.count(2)), (800, 400))
        _, err = self.mirn("tone", "a.wav", "b.wav", "-r", "11025")
        self.assertEqual(err.count("Tone replay of"), 2)

        # A converted file (a temporary of its own), long enough to interrupt.
        os.mkdir(self.path("tmp"))
        pcm_wave(self.path("long.wav"), [(0, 0)] * 80000, 8000, 2)
        process = subprocess.Popen([*EMULATOR, MIRN, "play", "long.wav", "long.wav"],
                                   cwd=self.dir, stderr=subprocess.PIPE, text=True,
                                   env={**os.environ, "TMPDIR": self.path("tmp")})
        first = process.stderr.readline()  # the play has started
        self.assertIn("Playing long.wav", first)
        process.send_signal(signal.SIGINT)
        rest = process.stderr.read()
        self.assertEqual(process.wait(timeout=60), 130)
        self.assertEqual(rest, "mirn: interrupted\n")  # the second file never starts
        self.assertEqual(os.listdir(self.path("tmp")), [])


class Completion(MirnTest):
    def complete(self, line):
        """The replies of the installed completion to a line typed so far,
        and whether it asked for no space after them."""
        # bash's own COMP_WORDBREAKS holds ':'; the words here are split at
        # spaces only, which the completion must cope with too.
        script = r"""
            source "$1"
            compopt() { [[ $* == "-o nospace" ]] && echo nospace; }
            COMP_LINE=$2 COMP_POINT=${#2}
            read -r -a COMP_WORDS <<< "$2"
            [[ $2 == *' ' ]] && COMP_WORDS+=("")
            COMP_CWORD=$(( ${#COMP_WORDS[@]} - 1 ))
            _mirn > "$3"
            printf '%s\n' "${COMPREPLY[@]}"
        """
        flag = self.path("nospace")
        done = subprocess.run(["bash", "-c", script, "_", COMPLETION, line, flag],
                              cwd=self.dir, capture_output=True, text=True, check=True)
        with open(flag) as file:
            nospace = "nospace" in file.read()
        return done.stdout.split(), nospace

    def test_steps_paths_and_spaces(self):
        os.mkdir(self.path("takes"))
        self.write("takes/one.wav", b"")
        for line, replies, nospace in [
            ("mirn p", ["play"], False),
            ("mirn call sta", ["start"], False),
            ("mirn call wa", ["wait:"], True),
            ("mirn call save:ta", ["takes/"], True),    # after the colon bash breaks at
            ("mirn call save:takes/o", ["takes/one.wav"], True),  # :RATE follows
            ("mirn call load:takes/o", ["takes/one.wav"], False),
        ]:
            with self.subTest(line=line):
                self.assertEqual(self.complete(line), (replies, nospace))

    def test_installed_where_bash_completion_looks(self):
        loader = "/usr/share/bash-completion/bash_completion"
        if not os.path.exists(loader):
            self.skipTest("bash-completion is not installed")
        share = os.path.dirname(os.path.dirname(os.path.dirname(COMPLETION)))
        done = subprocess.run(
            ["bash", "-c", f'source {loader}; __load_completion mirn && complete -p mirn'],
            env={**os.environ, "XDG_DATA_DIRS": share}, capture_output=True, text=True)
        self.assertIn("complete -F _mirn mirn", done.stdout)


if __name__ == "__main__":
    if not MIRN:
        sys.exit("set MIRN to the mirn program")
    unittest.main(argv=[sys.argv[0], *sys.argv[1:]], verbosity=2)
