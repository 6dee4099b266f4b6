"""Pause and resume by SIGUSR1 and SIGUSR2: the paused time is left out of the file."""

import re
import signal
import time
from pathlib import Path

import pytest

from sar_e2e import RATE, TONE_A, TONE_B, TONE_C, assert_tone, check_format, classify, decode, runs

WINDOW = 0.05
PAUSED, RESUMED = "Recording paused.", "Recording resumed."


def pending(pid, signum):
    """Whether signum waits to be received by the process or one of its threads."""
    try:
        texts = [Path(f"/proc/{pid}/status").read_text()]
        texts += [t.read_text() for t in Path(f"/proc/{pid}/task").glob("*/status")]
    except OSError:
        return False
    masks = (int(m, 16) for text in texts for m in re.findall(r"^(?:ShdPnd|SigPnd):\s*([0-9a-f]+)$", text, re.M))
    return any(mask & (1 << (signum - 1)) for mask in masks)


def send_received(rec, signum, timeout=5.0):
    """Sends signum and waits until the program has received it: a second instance sent while the
    first is still pending would be merged with it."""
    rec.send(signum)
    deadline = time.monotonic() + timeout
    while pending(rec.proc.pid, signum):
        assert time.monotonic() < deadline, f"signal {signum} still pending after {timeout} s"
        time.sleep(0.001)


def switch(server, player, freq):
    """Stops one tone and starts another."""
    player.stop()
    return server.play(freq)


def test_pause_and_resume(server, recorder, outdir):
    # Tones change only well inside the pause, so audio buffered around a pause or resume is not B.
    player = server.play(TONE_A)
    rec = recorder(["--record", str(outdir)], server)
    started = rec.wait_code("RECORDING_STARTED")
    time.sleep(1.5)
    rec.send(signal.SIGUSR1)
    paused_at = rec.now()
    time.sleep(0.5)
    player = switch(server, player, TONE_B)
    time.sleep(1.5)
    player = switch(server, player, TONE_C)
    time.sleep(0.5)
    rec.send(signal.SIGUSR2)
    resumed_at = rec.now()
    time.sleep(1.5)
    stopped = rec.stop()
    assert rec.texts() == [started.text, PAUSED, RESUMED, stopped.text]

    path = started.json["path"]
    duration = check_format(path)
    before, after = paused_at - started.t, rec.sent[-1][0] - resumed_at
    assert abs(duration - (before + after)) <= 0.25, (duration, before, after)

    labels = classify(decode(path), [TONE_A, TONE_B, TONE_C], WINDOW)
    assert TONE_B not in labels, runs(labels)
    # A then C with nothing between them but a window or two of the switch.
    assert [label for label, n in runs(labels) if n >= 3] == [TONE_A, TONE_C], runs(labels)
    assert labels.count("silence") + labels.count("other") <= 3, runs(labels)
    assert abs(labels.count(TONE_A) * WINDOW - before) <= 0.25, (runs(labels), before)


def test_repeated_requests_act_once(pulse, recorder, outdir):
    pulse.play(TONE_A)
    rec = recorder(["--record", str(outdir)], pulse)
    started = rec.wait_code("RECORDING_STARTED")
    for signum in (signal.SIGUSR2, signal.SIGUSR1, signal.SIGUSR1, signal.SIGUSR2, signal.SIGUSR2):
        send_received(rec, signum)
    time.sleep(0.5)  # some tone to record after the resume, not a wait for the program
    stopped = rec.stop()
    assert rec.texts() == [started.text, PAUSED, RESUMED, stopped.text]
    assert_tone(decode(started.json["path"]), TONE_A)


@pytest.mark.parametrize("moment", ["before-the-stream-exists", "after-the-first-delivery"])
def test_pause_before_the_start_writes_nothing(server, recorder, outdir, moment):
    player = server.play(TONE_A)
    if moment == "before-the-stream-exists":
        # The server is held still, so the capture cannot be set up until the pause has been handled.
        with server.frozen():
            rec = recorder(["--record", str(outdir)], server)
            rec.wait_caught(signal.SIGUSR1)
            send_received(rec, signal.SIGUSR1)
    else:
        rec = recorder(["--record", str(outdir)], server)
        deadline = time.monotonic() + 2
        while not server.recording_streams():
            assert time.monotonic() < deadline, "the program's record stream never ran"
            time.sleep(0.01)
        time.sleep(0.1)  # the first buffers arrive within milliseconds of the stream's start
        rec.send(signal.SIGUSR1)
    started = rec.wait_code("RECORDING_STARTED")
    assert rec.sent[0][0] < started.t
    time.sleep(1.0)
    player = switch(server, player, TONE_C)
    time.sleep(0.5)
    rec.send(signal.SIGUSR2)
    resumed_at = rec.now()
    time.sleep(1.5)
    stopped = rec.stop()
    assert rec.texts() == [PAUSED, started.text, RESUMED, stopped.text]

    path = started.json["path"]
    duration = check_format(path)
    after = rec.sent[-1][0] - resumed_at
    assert abs(duration - after) <= 0.25, (duration, after)
    frames = decode(path)
    assert TONE_A not in classify(frames, [TONE_A, TONE_C], WINDOW)
    assert_tone(frames, TONE_C)


def test_sigint_while_paused_finishes_the_file(pulse, recorder, outdir):
    pulse.play(TONE_A)
    rec = recorder(["--record", str(outdir)], pulse)
    started = rec.wait_code("RECORDING_STARTED")
    time.sleep(1.5)
    rec.send(signal.SIGUSR1)
    paused_at = rec.now()
    time.sleep(1.0)
    stopped = rec.stop()
    assert rec.texts() == [started.text, PAUSED, stopped.text]
    path = started.json["path"]
    duration = check_format(path)
    assert abs(duration - (paused_at - started.t)) <= 0.25
    assert_tone(decode(path), TONE_A)


def test_signal_storm(server, recorder, outdir):
    server.play(TONE_A)
    rec = recorder(["--record", str(outdir)], server)
    started = rec.wait_code("RECORDING_STARTED")
    time.sleep(0.5)
    for i in range(300):
        rec.send(signal.SIGUSR1 if i % 2 == 0 else signal.SIGUSR2)
    rec.stop(timeout=20)

    texts = rec.texts()
    progress = texts[1:-1]
    assert set(progress) <= {PAUSED, RESUMED}, texts
    assert abs(progress.count(PAUSED) - progress.count(RESUMED)) <= 1
    check_format(started.json["path"])
    frames = decode(started.json["path"])
    assert len(frames) / RATE >= 0.4
    # Many short splices, but no other sound and no stretch of silence.
    assert_tone(frames, TONE_A, allowed_bad=0.1)
