"""The recording's file: never overwritten while it is being recorded, a valid .m4a even without
audio, in its plain form whatever its name, and no leftovers of a killed program for ever."""

import os
import signal
import struct
import time

import pytest

from sar_e2e import RATE, TONE_A, assert_tone, check_format, decode, probe

PAUSED = "Recording paused."
TEMPORARY_PREFIX = ".system-audio-recorder-"


def top_level_boxes(path):
    """The types of an MPEG-4 file's top-level boxes, in file order."""
    boxes = []
    with open(path, "rb") as f:
        while header := f.read(8):
            size, kind = struct.unpack(">I4s", header)
            if size == 1:
                size = struct.unpack(">Q", f.read(8))[0]
                f.seek(size - 16, os.SEEK_CUR)
            else:
                f.seek(size - 8, os.SEEK_CUR)
            boxes.append(kind.decode("latin-1"))
            if size == 0:
                break
    return boxes


def leftovers(directory):
    return sorted(name for name in os.listdir(directory) if name.startswith(TEMPORARY_PREFIX))


def test_second_recorder_on_a_path_being_recorded_is_refused(pulse, recorder, outdir):
    pulse.play(TONE_A)
    first = recorder(["--record", str(outdir), "--filename", "take"], pulse)
    started = first.wait_code("RECORDING_STARTED")
    path = started.json["path"]
    time.sleep(1)
    second = recorder(["--record", str(outdir), "--filename", "take"], pulse)
    failed = second.wait_code("AUDIO_FILE_CREATION_FAILED")
    assert second.wait_exit() == 0
    assert failed.json["path"] == path
    assert "being recorded" in failed.json["error"], failed.json
    assert second.texts() == ["Error creating audio file: " + failed.json["error"], failed.text]

    time.sleep(1)
    stopped = first.stop()
    assert first.texts() == [started.text, stopped.text]
    # The first recording is whole: from its start to its stop, not cut by the second start.
    duration = check_format(path)
    assert abs(duration - (stopped.t - started.t)) <= 0.25, (duration, stopped.t - started.t)
    assert_tone(decode(path), TONE_A)
    assert os.listdir(outdir) == ["take.m4a"]


def test_recording_without_audio_is_an_empty_aac_file(server, recorder, outdir):
    server.play(TONE_A)
    # The server is held still, so that the pause is handled before the capture can capture anything.
    with server.frozen():
        rec = recorder(["--record", str(outdir)], server)
        rec.wait_caught(signal.SIGUSR1)
        rec.send(signal.SIGUSR1)
        rec.wait_received(signal.SIGUSR1)
    started = rec.wait_code("RECORDING_STARTED")
    assert rec.sent[0][0] < started.t
    stopped = rec.stop()
    assert rec.texts() == [PAUSED, started.text, stopped.text]

    path = started.json["path"]
    _, stream = probe(path)
    assert stream["codec_name"] == "aac", stream
    assert int(stream["sample_rate"]) == RATE and int(stream["channels"]) == 2, stream
    assert len(decode(path)) == 0
    assert os.listdir(outdir) == [os.path.basename(path)]


@pytest.mark.parametrize("length", [250, 255])
def test_long_name_ends_as_a_plain_file(pulse, recorder, outdir, length):
    name = "n" * (length - len(".m4a"))
    pulse.play(TONE_A)
    rec = recorder(["--record", str(outdir), "--filename", name], pulse)
    started = rec.wait_code("RECORDING_STARTED")
    time.sleep(1.5)
    stopped = rec.stop()
    assert rec.texts() == [started.text, stopped.text]
    path = started.json["path"]
    boxes = top_level_boxes(path)
    assert "moof" not in boxes and boxes.index("moov") < boxes.index("mdat"), boxes
    assert_tone(decode(path), TONE_A)
    assert os.listdir(outdir) == [name + ".m4a"]


def test_leftover_of_a_killed_conversion_goes_with_the_next_recording(pulse, recorder, outdir):
    pulse.play(TONE_A)
    first = recorder(["--record", str(outdir), "--filename", "first"], pulse)
    started = first.wait_code("RECORDING_STARTED")
    path = started.json["path"]
    time.sleep(1.5)
    # The final conversion reads the recording by its name: a FIFO there that nobody writes holds
    # the conversion once its temporary file exists.
    os.rename(path, outdir / "moved.m4a")
    os.mkfifo(path)
    first.wait_caught(signal.SIGINT)
    first.send(signal.SIGINT)
    deadline = time.monotonic() + 10
    while not leftovers(outdir):
        assert first.running(), first.texts()
        assert time.monotonic() < deadline, f"no conversion began: {os.listdir(outdir)}"
        time.sleep(0.01)
    first.send(signal.SIGKILL)
    assert first.wait_exit() == -signal.SIGKILL
    assert len(leftovers(outdir)) == 1
    os.unlink(path)

    second = recorder(["--record", str(outdir), "--filename", "second"], pulse)
    second.wait_code("RECORDING_STARTED")
    time.sleep(1)
    second.stop()
    assert sorted(os.listdir(outdir)) == ["moved.m4a", "second.m4a"]
    assert_tone(decode(outdir / "moved.m4a"), TONE_A)


def test_failed_conversion_says_why(pulse, recorder, outdir):
    pulse.play(TONE_A)
    rec = recorder(["--record", str(outdir), "--filename", "take"], pulse)
    started = rec.wait_code("RECORDING_STARTED")
    path = started.json["path"]
    time.sleep(1.5)
    # The conversion reads the recording by its name: there it finds something that is no recording.
    os.rename(path, outdir / "moved.m4a")
    with open(path, "w") as f:
        f.write("not a recording\n")
    stopped = rec.stop()
    assert rec.texts() == [
        started.text,
        f"Error converting audio file: Could not convert '{path}' to a plain file: opening the recording: "
        "Invalid data found when processing input",
        stopped.text,
    ]
    assert sorted(os.listdir(outdir)) == ["moved.m4a", "take.m4a"]
    # The recording itself is complete, in its fragmented form.
    assert "moof" in top_level_boxes(outdir / "moved.m4a")
    assert_tone(decode(outdir / "moved.m4a"), TONE_A)
