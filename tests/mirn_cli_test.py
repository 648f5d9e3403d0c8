"""End-to-end tests of the mirn command: the built program, loading the built
library, in a scratch directory per test. CTest runs each class on its own:
    mirn_cli_test.py CLASS
Environment: MIRN (the program), MIRN_PARTIAL_LIBRARY (a library lacking an
export), MIRN_EMULATOR (a cross build's emulator, if any) and, where the
build plays through ALSA, MIRN_ALSA_DIR: the folder of the file-backed ALSA
"default" that the tests' wrapper set up (capture from infile.raw, one file
a played stream: stream.raw, stream.raw.0001, ...). Classes marked "needs
ALSA" run only there.
"""
import os
import pty
import shlex
import struct
import subprocess
import sys
import tempfile
import unittest

MIRN = os.environ.get("MIRN", "")
EMULATOR = shlex.split(os.environ.get("MIRN_EMULATOR", ""))
PARTIAL_LIBRARY = os.environ.get("MIRN_PARTIAL_LIBRARY", "")
ALSA_DIR = os.environ.get("MIRN_ALSA_DIR", "")


def library_wave(samples, rate=8000, stated=None):
    """Bytes of a file in the library's own layout: 52-byte header, data at 44."""
    size = len(samples) if stated is None else stated
    header = (b"RIFF" + struct.pack("<I", size + 44) + b"WAVE" + b"fmt " +
              struct.pack("<IHHIIHH", 24, 1, 1, rate, rate, 1, 8) + bytes(8) +
              b"data" + struct.pack("<I", size))
    return header + bytes(samples)


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
        """The streams played since the test began, in open order, as bytes."""
        result = []
        for name in self.stream_files():
            with open(name, "rb") as file:
                result.append(file.read())
        return result

    def path(self, name):
        return os.path.join(self.dir, name)

    def write(self, name, data):
        with open(self.path(name), "wb") as file:
            file.write(data)
        return self.path(name)

    def mirn(self, *args, code=0):
        """Runs mirn with pipes for its output; checks the exit status."""
        done = subprocess.run([*EMULATOR, MIRN, *args], cwd=self.dir, capture_output=True,
                              text=True, timeout=60)
        self.assertEqual(done.returncode, code,
                         f"mirn {' '.join(args)}\nstdout:\n{done.stdout}\nstderr:\n{done.stderr}")
        return done.stdout, done.stderr

    def mirn_on_terminal(self, *args):
        """Runs mirn with a pseudo-terminal as its standard output."""
        controller, terminal = pty.openpty()
        process = subprocess.Popen([*EMULATOR, MIRN, *args], cwd=self.dir, stdout=terminal,
                                   stderr=subprocess.PIPE)
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
        process.stderr.close()
        self.assertEqual(process.returncode, 0)
        return output.decode()


class UsageErrors(MirnTest):
    def test_bad_arguments_print_usage_and_exit_2(self):
        for args, says in [
            ((), "no command given"),
            (("play", "a.wav", "-r", "0"), "rate must be a whole number"),
            (("record", "a.wav", "-d", "201"), "from 0 to 200"),
            (("dance",), "unknown command 'dance'"),
        ]:
            # A library that cannot load shows the arguments are judged first.
            out, err = self.mirn("--library", "/nonexistent/libMirnDLL.so", *args, code=2)
            self.assertTrue(err.startswith("mirn: "), err)
            self.assertIn(says, err.splitlines()[0])
            self.assertIn("usage: mirn", err)
            self.assertEqual(out, "")
        self.assertEqual(os.listdir(self.dir), [])  # nothing recorded or saved

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
        out, _ = self.mirn("record", "take.wav", "-d", "0.1", "-r", "11025")
        saved = int(out.split("Saved ")[1].split()[0])
        self.assertIn(f"Saved {saved} bytes to take.wav (", out)
        self.assertIn("marked 11025 Hz", out)
        # The capture file keeps no time, so the store may fill at once; it
        # never holds more.
        self.assertLessEqual(saved, 1_600_000)
        with open(self.path("take.wav"), "rb") as file:
            data = file.read()
        # From the capture's first byte on, none lost or repeated.
        with open(os.path.join(ALSA_DIR, "infile.raw"), "rb") as file:
            captured = file.read(saved)
        self.assertEqual(data, library_wave(captured, rate=11025))

        info, _ = self.mirn("info", "take.wav")
        self.assertIn(f"take.wav: RIFF WAVE, 8-bit PCM mono at 11025 Hz, {saved} bytes", info)
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
        _, err = self.mirn("record", "missing/take.wav", "-d", "0", code=1)
        self.assertIn("could not save missing/take.wav: the directory missing does not exist",
                      err)
        os.mkdir(self.path("folder"))
        out, err = self.mirn("call", "save:folder:8000", code=1)
        self.assertEqual(out, 'SoundRecordSave("folder", 8000) = -1\n')
        self.assertIn("could not save folder: folder is a directory", err)
        if os.path.exists("/dev/full"):  # opens, then fails to write
            _, err = self.mirn("call", "save:/dev/full:8000", code=1)
            self.assertIn("could not save /dev/full: the file could not be written", err)

    def test_load_failures_name_the_file_and_the_reason(self):
        self.write("short.wav", b"RIFF\0\0\0\0WAVE")
        for args, says in [
            (("play", "none.wav"), "could not load none.wav: there is no file none.wav"),
            (("tone", "short.wav", "-r", "8000"),
             "could not load short.wav: it is 12 bytes long, shorter than the 52-byte header"),
            (("play", "x/none.wav"), "could not load x/none.wav: the directory x does not exist"),
        ]:
            out, err = self.mirn(*args, code=1)
            self.assertIn("mirn: " + says, err)
            self.assertNotIn("Playing", out)

    def test_info_of_what_is_not_a_wave_file(self):
        self.write("notes.txt", b"not a sound\n" * 10)
        _, err = self.mirn("info", "notes.txt", code=1)
        self.assertIn("mirn: notes.txt is not a RIFF WAVE file", err)
        _, err = self.mirn("info", "none.wav", code=1)
        self.assertIn("mirn: cannot open none.wav: No such file or directory", err)


class PlayAndTone(MirnTest):  # needs ALSA
    samples = bytes(range(1, 256)) * 12  # 3060 bytes, no zeros

    def test_play_writes_both_passes(self):
        self.write("in.wav", library_wave(self.samples))
        out, _ = self.mirn("play", "in.wav", "-r", "16000")
        self.assertEqual(out, "Playing in.wav: 3060 bytes at 16000 Hz (0.19 s)\n")
        self.assertEqual(self.streams(), [self.samples, self.samples])

    def test_tone_writes_its_three_streams(self):
        # 11025 / 5512 = 2: the replay's first pass is twice the loaded length,
        # running on into the store past it, which a fresh library holds zero.
        self.write("in.wav", library_wave(self.samples))
        out, _ = self.mirn("--ordinals", "tone", "in.wav", "-r", "5512")
        self.assertEqual(out, "Tone replay of in.wav: 3060 bytes at 5512 Hz, "
                              "replayed at 8000 Hz (0.77 s)\n")
        self.assertEqual(self.streams(),
                         [self.samples, self.samples + bytes(3060), self.samples])


class NoOutputDevice(MirnTest):  # needs ALSA: missing
    def test_plays_fail_and_recording_saves_nothing(self):
        self.write("in.wav", library_wave(bytes(100)))
        out, err = self.mirn("play", "in.wav", "-r", "11025", code=1)
        self.assertEqual(out, "")
        self.assertIn("mirn: no wave output device could be opened at 11025 Hz\n", err)
        _, err = self.mirn("tone", "in.wav", "-r", "4000", code=1)
        self.assertIn("at 4000 Hz", err)
        out, _ = self.mirn("record", "take.wav", "-d", "0")
        self.assertIn("Saved 0 bytes", out)


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
        out, err = self.mirn("call", "load:none.wav", "play:0", "stop", code=1)
        self.assertEqual(out, 'SoundRecordLoad("none.wav") = -1\n'
                              'SoundRecordPlay(0) = 33\n'
                              'SoundRecordStop() = 2\n')
        self.assertIn("mirn: could not load none.wav: there is no file none.wav", err)
        self.assertIn("mirn: no wave output device could be opened at 0 Hz", err)


class ProgressLines(MirnTest):
    def test_no_progress_line_into_a_pipe(self):
        out, _ = self.mirn("record", "a.wav", "-d", "0.1")
        self.assertNotIn("\r", out)
        self.assertNotIn("\033", out)
        self.assertEqual(len(out.splitlines()), 2)  # what is recorded, what is saved

    def test_progress_line_on_a_terminal(self):
        out = self.mirn_on_terminal("record", "a.wav", "-d", "0.1")
        self.assertIn("\rRecording ", out)
        self.assertIn("/ 200.0 s  [", out)
        self.assertIn("Saved ", out)


if __name__ == "__main__":
    if not MIRN:
        sys.exit("set MIRN to the mirn program")
    unittest.main(argv=[sys.argv[0], *sys.argv[1:]], verbosity=2)
