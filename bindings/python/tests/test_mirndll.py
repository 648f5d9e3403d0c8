"""The binding against the built library: recordings, files, plays and the
errors a Python caller gets, on the tests' sound set-ups (see conftest.py)."""
import errno
import os
import pathlib
import shutil
import subprocess
import sys

import pytest

import mirndll
from mirndll import _durations
from conftest import assert_consecutive, library_wave

SAMPLES = bytes(range(1, 256)) * 12  # 3060 bytes, no zeros


@pytest.fixture(scope="module")
def take(tmp_path_factory):
    """One recording for the module: a second one at once would start where
    the input's lingering stream has gone on to."""
    recorder = mirndll.Recorder()
    recorded = recorder.record(0.2)
    path = tmp_path_factory.mktemp("take") / "take.wav"
    assert recorder.save(path) == recorded
    data = path.read_bytes()
    assert len(data) == 52 + recorded
    assert_consecutive(data[52:])  # the capture's file, in order
    return data


@pytest.mark.parametrize("kind", [str, pathlib.Path, os.fsencode])
def test_a_take_is_saved_and_loaded_at_any_kind_of_path(recorder, here, take, kind,
                                                        strings_balance):
    target = here / "take-été-日本.wav"
    assert recorder.save(kind(str(target))) == len(take) - 52
    assert target.read_bytes() == take
    assert recorder.load(kind(str(target))) == len(take) - 52


def test_each_failure_names_the_file_and_the_reason_and_keeps_the_store(
        recorder, here, strings_balance):
    kept = here / "kept.wav"
    kept.write_bytes(library_wave(SAMPLES))
    (here / "folder").mkdir()
    assert recorder.load(kept) == len(SAMPLES)
    short = here / "short.wav"
    short.write_bytes(bytes(10))
    # Within the limit in characters, not in bytes.
    too_long = here / ("é" * 50)
    failures = [
        (recorder.save, too_long, errno.ENAMETOOLONG, "at most 99"),
        (recorder.load, too_long, errno.ENAMETOOLONG, "at most 99"),
        (recorder.save, here / "no-such-folder" / "x.wav", errno.ENOENT, "No such file"),
        (recorder.load, here / "absent.wav", errno.ENOENT, "No such file"),
        (recorder.load, here / "folder", errno.EISDIR, "folder"),
        (recorder.load, short, errno.EINVAL, "52-byte header"),
    ]
    for call, path, number, reason in failures:
        with pytest.raises(OSError) as raised:
            call(path)
        assert raised.value.errno == number, (call, path)
        assert raised.value.filename == str(path)
        assert reason in str(raised.value) and str(path) in str(raised.value)
    assert not too_long.exists()
    assert recorder.save(here / "again.wav") == len(SAMPLES)
    assert (here / "again.wav").read_bytes() == kept.read_bytes()


def test_paths_no_automation_string_carries_are_refused(recorder, here, strings_balance):
    for path, error in [(b"\xff.wav", ValueError), ("a\0b.wav", ValueError),
                        ("\udcff.wav", ValueError), (42, TypeError)]:
        with pytest.raises(error):
            recorder.save(path)
    assert recorder.save(here / ("é" * 49 + "x")) >= 0  # exactly 99 bytes


def played(*calls):
    """Runs the binding's calls in a process of their own, which ends once
    the plays have: the device's files then hold every byte. Returns what
    they printed."""
    script = "import mirndll; r = mirndll.Recorder(); r.load('in.wav')\n" + "\n".join(calls)
    return subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                          check=True, timeout=60).stdout


def test_plays_last_the_sound_and_reach_the_device(here, streams):
    (here / "in.wav").write_bytes(library_wave(SAMPLES))
    seconds = played("p = r.play(16000, wait=True)", "print(p.seconds, p.done)")
    assert seconds == f"{len(SAMPLES) / 16000} True\n"
    assert streams.read() == [SAMPLES]  # both passes: heard once

    streams.clear()
    # 11025 / 5512 = 2: the replay runs on over twice the length, into zeros,
    # after the tone, then over the length.
    seconds = played("p = r.tone(5512)", "print(p.seconds, p.wait())")
    n = len(SAMPLES)
    assert seconds == f"{n / 5512 + 2 * n / 8000 + n / 8000} True\n"
    # In any order: a PCM kept or opened as a spare may play any pass.
    assert sorted(streams.read()) == sorted([SAMPLES, SAMPLES + bytes(len(SAMPLES)), SAMPLES])

    streams.clear()
    # The device refuses 2000 Hz; the refused tone leaves the length scaled by
    # 11025 // 2000 = 5 for the next play's first pass.
    seconds = played("import contextlib",
                     "with contextlib.suppress(mirndll.NoOutputError): r.tone(2000)",
                     "p = r.play(8000, wait=True)", "print(p.seconds)")
    assert seconds == f"{(5 * n + n) / 8000}\n"
    assert sorted(streams.read()) == sorted([SAMPLES + bytes(4 * n), SAMPLES])


def test_durations_follow_the_hosts_rule_to_the_bit():
    lengths = [0, 1, 3060, 389_581, 1_000_000, mirndll.STORE_BYTES, 2**32 - 1]
    rates = [-2**31, 0, 1, 2, 2000, 5512, 8000, 11025, 11026, 44100, 2**31 - 1]
    questions = [("scaled", n, rate) for n in lengths for rate in rates]
    questions += [(call, first, n, rate) for call in ("play", "tone") for first in lengths
                  for n in lengths for rate in rates]
    asked = "".join(" ".join(map(str, question)) + "\n" for question in questions)
    answers = subprocess.run([os.environ["MIRN_SOUND_DURATIONS_TABLE"]], input=asked,
                             capture_output=True, text=True, check=True).stdout.split()
    assert len(answers) == len(questions)
    rule = {"scaled": _durations.tone_scaled_length, "play": _durations.play_seconds,
            "tone": _durations.tone_seconds}
    differ = [(question, answer) for question, answer in zip(questions, answers)
              if rule[question[0]](*question[1:]) != float(answer)]
    assert not differ


def test_rates_beyond_32_bits_are_refused_not_cut(recorder, streams):
    for call in (recorder.play, recorder.tone, lambda rate: recorder.save(os.devnull, rate)):
        with pytest.raises(ValueError):
            call(2**32 + 8000)
    assert streams.read() == []


def test_the_library_is_found_by_argument_variable_or_loader(tmp_path, monkeypatch):
    built = os.environ[mirndll.ENVIRONMENT_VARIABLE]
    monkeypatch.setenv(mirndll.ENVIRONMENT_VARIABLE, str(tmp_path / "missing.so"))
    with pytest.raises(OSError, match=f"missing.so.*{mirndll.ENVIRONMENT_VARIABLE}"):
        mirndll.Recorder()
    assert mirndll.Recorder(library=built).stop() >= 0
    # Nothing named: the loader's search, here through LD_LIBRARY_PATH.
    environment = {k: v for k, v in os.environ.items() if k != mirndll.ENVIRONMENT_VARIABLE}
    environment["LD_LIBRARY_PATH"] = os.path.dirname(built)
    found = subprocess.run([sys.executable, "-c", "import mirndll; print(mirndll.Recorder().path)"],
                           env=environment, capture_output=True, text=True, check=True)
    assert found.stdout == "libMirnDLL.so.1\n"


def test_pip_installs_the_package_offline(tmp_path):
    source = tmp_path / "source"
    shutil.copytree(pathlib.Path(mirndll.__file__).parents[1], source,
                    ignore=shutil.ignore_patterns("tests", "__pycache__", "build"))
    # As the README says: a virtual environment that sees the system's
    # setuptools (and its pip, rather than a copy installed into it).
    subprocess.run([sys.executable, "-m", "venv", "--system-site-packages", "--without-pip",
                    tmp_path / "venv"], check=True)
    python = tmp_path / "venv" / "bin" / "python"
    subprocess.run([python, "-m", "pip", "install", "--quiet", "--no-index",
                    "--no-build-isolation", source], check=True, capture_output=True)
    environment = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    imported = subprocess.run([python, "-c", "import mirndll; print(mirndll.__file__)"],
                              env=environment, capture_output=True, text=True, check=True)
    assert imported.stdout.startswith(str(tmp_path / "venv"))


@pytest.mark.no_device
def test_without_a_device_plays_raise_and_recordings_hold_nothing(recorder):
    with pytest.raises(mirndll.NoOutputError, match="nothing was recorded or loaded yet"):
        recorder.play(8000)
    assert recorder.record(0.1) == 0
    with pytest.raises(mirndll.NoOutputError, match="at 5512 Hz$"):
        recorder.tone(5512)


@pytest.mark.pulse
def test_a_take_through_the_sound_server_holds_its_source_in_order(recorder, here):
    assert recorder.record(1) > 0
    recorder.save(here / "take.wav")
    assert_consecutive((here / "take.wav").read_bytes()[52:])
    assert recorder.play(8000).wait()
