"""mirn.exe under Wine: the Windows build of the command-line host, on the
DLL beside it, in a scratch folder. Checks what differs on Windows: bytes
that text-mode streams change (0x1A, CR LF) through files, standard input and
the library's own save, and arguments the ANSI code page cannot spell.
    mirn_exe_test.py EMULATOR... MIRN_EXE
"""
import os
import struct
import subprocess
import sys
import tempfile
import unittest

COMMAND = sys.argv[1:]
del sys.argv[1:]

# Every byte that a text-mode stream would change or stop at, among others.
SAMPLES = bytes(b"a\r\nb\x1a\n\rc\x00\xff\x1a\r" * 8)


def library_wave(samples, rate=8000):
    """Bytes of a file in the library's own layout: 52-byte header, data at 44."""
    return (b"RIFF" + struct.pack("<I", len(samples) + 44) + b"WAVE" + b"fmt " +
            struct.pack("<IHHIIHH", 24, 1, 1, rate, rate, 1, 8) + bytes(8) +
            b"data" + struct.pack("<I", len(samples)) + samples)


class MirnExe(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory(prefix="mirn-exe-")
        self.addCleanup(self.dir.cleanup)

    def mirn(self, *args, stdin=None):
        return subprocess.run(COMMAND + list(args), cwd=self.dir.name, input=stdin,
                              capture_output=True, timeout=60)

    def write(self, name, data):
        with open(os.path.join(self.dir.name, name), "wb") as f:
            f.write(data)

    def read(self, name):
        with open(os.path.join(self.dir.name, name), "rb") as f:
            return f.read()

    def test_version(self):
        run = self.mirn("--version")
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertRegex(run.stdout, rb"^mirn \d+\.\d+\.\d+\r?\n$")

    def test_bytes_pass_unchanged_through_files_and_standard_input(self):
        self.write("in.wav", library_wave(SAMPLES, rate=11025))
        run = self.mirn("info", "in.wav")
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertIn(b"8-bit PCM mono at 11025 Hz, %d bytes" % len(SAMPLES), run.stdout)

        run = self.mirn("call", "load:in.wav", "save:out.wav:11025")
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertEqual(run.stdout.replace(b"\r\n", b"\n"),
                         b'SoundRecordLoad("in.wav") = %d\n'
                         b'SoundRecordSave("out.wav", 11025) = %d\n' % (len(SAMPLES), len(SAMPLES)))
        self.assertEqual(self.read("out.wav"), self.read("in.wav"))

        # Standard input is spooled in binary: 0x1A does not end it.
        run = self.mirn("play", "-r", "80000", "-", stdin=self.read("in.wav"))
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertIn(b"Playing standard input: %d bytes at 80000 Hz" % len(SAMPLES), run.stderr)

    def test_record_saves_a_file_in_the_library_layout(self):
        run = self.mirn("record", "-d", "0.2", "take.wav")
        self.assertEqual(run.returncode, 0, run.stderr)
        data = self.read("take.wav")
        self.assertEqual(data[:4], b"RIFF")
        self.assertEqual(struct.unpack("<I", data[48:52])[0], len(data) - 52)

    def test_arguments_the_code_page_cannot_spell_are_refused(self):
        # U+03A9 would arrive best-fit as 'O' and name another file.
        run = self.mirn("call", "save:\u03a9.wav:8000")
        self.assertEqual(run.returncode, 2, run.stdout)
        self.assertIn(b"cannot spell", run.stderr)
        self.assertEqual(os.listdir(self.dir.name), [])


if __name__ == "__main__":
    unittest.main()
