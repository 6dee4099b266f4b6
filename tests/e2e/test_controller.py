"""The controlling program: whichever way it stops the recording or goes away (SIGINT, SIGTERM,
SIGHUP, closing its end of the pipe), the recording stops at once, the file is finished and the
process ends with status 0."""

import os
import signal
import time

import pytest

from sar_e2e import TONE_A, assert_tone, check_format, check_plain_layout, decode

PAUSED, RESUMED = "Recording paused.", "Recording resumed."
CLOSE = "close-stdout"


def stop(rec, how):
    """Stops the recording as the controlling program does; returns the moment."""
    if how == CLOSE:
        return rec.close_stdout()
    rec.send(how)
    return rec.sent[-1][0]


def reach(rec, state):
    """Brings the run into state; returns its lines so far, the seconds of audio recorded and
    paused (None while there is no file), and when the audio being recorded now began (None
    while none is)."""
    if state == "before-the-start":
        return [], None, None
    started = rec.wait_code("RECORDING_STARTED")
    time.sleep(1.5)
    if state == "recording":
        return [started.text], 0.0, started.t
    rec.send(signal.SIGUSR1)
    recorded = rec.sent[-1][0] - started.t
    rec.wait_text(PAUSED)  # flushed at once: the controlling program knows the pause took effect
    if state == "paused":
        time.sleep(0.5)
        return [started.text, PAUSED], recorded, None
    # A resume under way: the stop comes right after the program took the resume.
    rec.send(signal.SIGUSR2)
    resumed_at = rec.sent[-1][0]
    rec.wait_received(signal.SIGUSR2)
    return [started.text, PAUSED, RESUMED], recorded, resumed_at


def check_file(path, recorded):
    check_plain_layout(path)
    duration = check_format(path)
    assert abs(duration - recorded) <= 0.2, (duration, recorded)
    assert_tone(decode(path), TONE_A)


@pytest.mark.parametrize("state", ["before-the-start", "recording", "paused", "resuming"])
@pytest.mark.parametrize("how", [signal.SIGTERM, signal.SIGHUP, CLOSE], ids=["SIGTERM", "SIGHUP", "closed"])
def test_stop_in_each_state(pulse, recorder, outdir, how, state):
    pulse.play(TONE_A)
    rec = recorder(["--record", str(outdir), "--filename", "take"], pulse)
    rec.wait_caught(signal.SIGINT if how == CLOSE else how)
    lines, recorded, running_since = reach(rec, state)
    stopped_at = stop(rec, how)
    if state == "before-the-start":
        assert stopped_at < 0.4, "stopped too late to precede the start"
    assert rec.wait_exit() == 0

    texts = rec.texts()
    if how == CLOSE:
        # Whatever it wrote before the close (the resume may not have been read yet).
        assert texts == lines[:len(texts)] and len(texts) >= len(lines) - 1, texts
    else:
        assert texts[:-1] == lines, texts
        assert rec.responses()[-1]["code"] == "RECORDING_STOPPED", texts

    path = outdir / "take.m4a"
    if recorded is None:
        assert os.listdir(outdir) == []
        return
    assert os.listdir(outdir) == ["take.m4a"]
    if running_since is not None:
        recorded += stopped_at - running_since
    check_file(path, recorded)


@pytest.mark.parametrize("stdout", ["pipe-closed", "socket-closed", "socket-shut-for-reading"])
def test_pause_after_the_reader_has_gone(pulse, recorder, outdir, stdout):
    # Written to nobody, "Recording paused." must neither kill the process nor lose the file. A
    # socket only shut down for reading is noticed by that write alone.
    pulse.play(TONE_A)
    rec = recorder(["--record", str(outdir), "--filename", "take"], pulse, stdout_socket=stdout != "pipe-closed")
    started = rec.wait_code("RECORDING_STARTED")
    time.sleep(1.5)
    gone_at = rec.close_stdout(shutdown_only=stdout == "socket-shut-for-reading")
    rec.send(signal.SIGUSR1)
    assert rec.wait_exit() == 0
    assert rec.texts() == [started.text]
    check_file(outdir / "take.m4a", gone_at - started.t)


def test_sighup_ignored_under_nohup(pulse, recorder, outdir):
    pulse.play(TONE_A)
    rec = recorder(["--record", str(outdir), "--filename", "take"], pulse, launcher=["nohup"])
    started = rec.wait_code("RECORDING_STARTED")
    # An ignored signal is discarded when sent: once kill() has returned it can do nothing more.
    rec.send(signal.SIGHUP)
    time.sleep(1.5)
    assert rec.running()
    stopped = rec.stop()
    assert rec.texts() == [started.text, stopped.text]
    check_file(outdir / "take.m4a", rec.sent[-1][0] - started.t)
