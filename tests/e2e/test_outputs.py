"""Outputs that change while recording: the recording follows the default output, seamlessly, and never
records anything but an output's monitor. Each output plays its own tone into a player the server never
moves, so the decoded file says which output was recorded when."""

import select
import signal
import subprocess
import time

import numpy as np
import pytest

from sar_e2e import (RATE, TONE_A, TONE_B, TONE_C, check_format, classify, decode, runs, seams,
                     tone_file, tone_segments)

KINDS = ["pulse", "pipewire"]
PAUSED, RESUMED = "Recording paused.", "Recording resumed."
# How far the file may be from the recorded (unpaused) time, and how long a seam may be. When the
# recorded output goes away, what its successor played until its first audio reaches the program is
# missing (silence in the file): on PipeWire a new capture's first audio takes about 30 ms.
DURATION_TOLERANCE = 0.05
SEAM_MAX = 0.05
# The silence after a removal is the server's and the watch's reaction time (measured by
# bench/outputs_bench.sh, 10-60 ms); this bound only catches a capture that does not move on, with
# room for a sanitizer build on a busy machine.
SEAM_AFTER_REMOVAL_MAX = 0.2
# The encoder blurs an edge by a millisecond or two: anything beyond that is audio written twice.
OVERLAP_MAX = 0.005
# From the command that changes the default output to the change in the file, with the server's own
# delay (PipeWire applies a new default asynchronously) and the time to the new output's first buffer.
SWITCH_LATENCY = 0.3


@pytest.fixture(params=KINDS)
def two_outputs(request, make_server):
    """A private server whose outputs out and out2 play TONE_A and TONE_B; out is the default."""
    server = make_server(request.param, outputs=2)
    server.play_pinned(TONE_A, "out")
    server.play_pinned(TONE_B, "out2")
    return server


def tones_in(path, tones=(TONE_A, TONE_B)):
    return tone_segments(decode(path), list(tones))


def check_seams(segments, longest=SEAM_MAX):
    for seam in seams(segments):
        assert -OVERLAP_MAX <= seam <= longest, (seams(segments), segments)


def check_duration(path, recorded):
    duration = check_format(path)
    assert abs(duration - recorded) <= DURATION_TOLERANCE, (duration, recorded)


def stop_and_read(rec, started):
    """Stops a recording that was never paused; checks that its output said nothing but the start and the
    stop (nothing tells of a change of output) and the file's duration; returns the tones in the file."""
    stopped = rec.stop()
    assert rec.texts() == [started.text, stopped.text]
    path = started.json["path"]
    check_duration(path, rec.sent[-1][0] - started.t)
    return tones_in(path)


@pytest.mark.parametrize("changes, expected", [
    ([("default", "out2"), ("default", "out"), ("default", "out2")], [TONE_A, TONE_B, TONE_A, TONE_B]),
    ([("remove", "out")], [TONE_A, TONE_B]),
], ids=["default-switched", "recorded-output-removed"])
def test_follows_the_default_output(two_outputs, recorder, outdir, changes, expected):
    server = two_outputs
    rec = recorder(["--record", str(outdir)], server)
    started = rec.wait_code("RECORDING_STARTED")
    moments = []
    for change, sink in changes:
        time.sleep(1.2)
        moments.append(rec.now())
        if change == "default":
            server.set_default_sink(sink)
        else:
            server.remove_output(sink)
    time.sleep(1.2)
    segments = stop_and_read(rec, started)
    assert [tone for tone, _, _ in segments] == expected, segments
    for (_, start, _), moment in zip(segments[1:], moments):
        assert 0 <= start - (moment - started.t) <= SWITCH_LATENCY, (segments, moments)
    check_seams(segments, SEAM_AFTER_REMOVAL_MAX if changes[0][0] == "remove" else SEAM_MAX)


def test_rapid_switches_end_on_the_last_default(two_outputs, recorder, outdir):
    server = two_outputs
    rec = recorder(["--record", str(outdir)], server)
    started = rec.wait_code("RECORDING_STARTED")
    time.sleep(1.0)
    began = rec.now()
    for sink in ("out2", "out"):
        server.set_default_sink(sink, wait=False)
    assert rec.now() - began <= 0.1, "the switches took longer than 100 ms (a busy machine?)"
    # One capture runs in the end, of the last default; none is left behind.
    server.wait_recorded_sources(["out.monitor"])
    time.sleep(1.0)
    segments = stop_and_read(rec, started)
    assert segments[0][0] == TONE_A and segments[-1][0] == TONE_A, segments
    # PipeWire may never tell the program's watch of the second change: a look afresh 0.15 s after
    # it finds it, and the middle output is heard until the capture switched back.
    longest_middle = 0.5 if server.kind == "pipewire" else 0.15
    assert all(end - start <= longest_middle for tone, start, end in segments if tone == TONE_B), segments
    check_seams(segments)


def test_switch_while_paused_is_taken_at_the_resume(two_outputs, recorder, outdir):
    server = two_outputs
    rec = recorder(["--record", str(outdir)], server)
    started = rec.wait_code("RECORDING_STARTED")
    time.sleep(1.5)
    rec.send(signal.SIGUSR1)
    paused_at = rec.now()
    time.sleep(0.3)
    server.set_default_sink("out2")
    # The new output's capture is ready before the resume. (Under load it may not be within half a
    # second; a resume that comes first is switched at its first audio, as a switch while recording.)
    server.wait_recorded_sources(["out.monitor", "out2.monitor"])
    time.sleep(0.3)
    rec.send(signal.SIGUSR2)
    resumed_at = rec.now()
    time.sleep(1.5)
    server.wait_recorded_sources(["out2.monitor"])
    stopped = rec.stop()
    assert rec.texts() == [started.text, PAUSED, RESUMED, stopped.text]

    path = started.json["path"]
    check_duration(path, (paused_at - started.t) + (rec.sent[-1][0] - resumed_at))
    segments = tones_in(path)
    assert [tone for tone, _, _ in segments] == [TONE_A, TONE_B], segments
    assert abs(segments[1][1] - (paused_at - started.t)) <= DURATION_TOLERANCE, segments
    check_seams(segments)


def test_switch_while_paused_outlives_a_failure_of_the_new_capture(two_outputs, recorder, outdir):
    # The server ends the new output's capture before the switch; the watch tells of the change only
    # once, so the recording must try the new output again, not stay on the old one.
    server = two_outputs
    rec = recorder(["--record", str(outdir)], server)
    started = rec.wait_code("RECORDING_STARTED")
    time.sleep(1.0)
    rec.send(signal.SIGUSR1)
    server.set_default_sink("out2")
    server.wait_recorded_sources(["out.monitor", "out2.monitor"])
    server.kill_recording_of("out2.monitor")
    server.wait_recorded_sources(["out.monitor", "out2.monitor"])
    rec.send(signal.SIGUSR2)
    server.wait_recorded_sources(["out2.monitor"])
    time.sleep(1.0)
    stopped = rec.stop()
    assert rec.texts() == [started.text, PAUSED, RESUMED, stopped.text]
    assert [tone for tone, _, _ in tones_in(started.json["path"])] == [TONE_A, TONE_B]


@pytest.mark.parametrize("moment", ["at-launch", "once-the-capture-runs"])
def test_switch_during_the_start(two_outputs, recorder, outdir, moment):
    server = two_outputs
    rec = recorder(["--record", str(outdir)], server)
    if moment == "once-the-capture-runs":
        server.wait_recorded_sources(["out.monitor"])
    server.set_default_sink("out2")
    started = rec.wait_code("RECORDING_STARTED")
    server.wait_recorded_sources(["out2.monitor"])
    time.sleep(1.0)
    stopped = rec.stop()
    # One recording, started once: no watchdog failure, no second start.
    assert rec.texts() == [started.text, stopped.text]
    segments = tones_in(started.json["path"])
    if server.kind == "pipewire" and segments[0][0] == TONE_A:
        # PipeWire can leave the connections made at the moment of the change deaf to it; the
        # program's look afresh 0.5 s after the start follows it.
        assert segments[0][2] <= 1.0, segments
        segments = segments[1:]
    assert [tone for tone, _, _ in segments] == [TONE_B], segments


@pytest.mark.parametrize("kind", KINDS)
def test_suspended_output_is_heard_again_once_resumed(make_server, recorder, outdir, kind):
    server = make_server(kind)
    server.play_pinned(TONE_A, "out")
    rec = recorder(["--record", str(outdir)], server)
    started = rec.wait_code("RECORDING_STARTED")
    time.sleep(1.5)
    server.pactl("suspend-sink", "out", "1")
    server.pactl("suspend-sink", "out", "0")
    resumed = rec.now()
    time.sleep(1.5)
    stopped = rec.stop()
    assert rec.texts() == [started.text, stopped.text]

    frames = decode(started.json["path"])
    # What the output plays once it runs again is in the file, to its end. (PipeWire's null output
    # plays its players in pieces after a suspension: a fresh recorder hears the same.)
    after = frames[int((resumed - started.t + SWITCH_LATENCY) * RATE):]
    labels = classify(after, [TONE_A], 0.05)
    assert len(labels) >= 20 and labels.count(TONE_A) >= len(labels) - 2, runs(labels)


def listen(server, source, seconds):
    """seconds of what source delivers, as float frames."""
    probe = subprocess.Popen(["parec", "--raw", "--format=s16le", "--rate=48000", "--channels=2", "-d", source],
                             env=server.client_env(), stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                             stderr=subprocess.DEVNULL)
    wanted, data = int(seconds * RATE) * 4, b""
    deadline = time.monotonic() + 5
    try:
        while len(data) < wanted:
            ready, _, _ = select.select([probe.stdout], [], [], max(0.0, deadline - time.monotonic()))
            assert ready, f"{source} delivered {len(data)} bytes in 5 s"
            chunk = probe.stdout.read1(wanted - len(data))
            assert chunk, f"{source} ended"
            data += chunk
    finally:
        probe.kill()
        probe.wait(timeout=5)
    return np.frombuffer(data, dtype="<i2").reshape(-1, 2).astype(np.float32) / 32768


def test_a_microphone_is_never_recorded(two_outputs, recorder, outdir):
    server = two_outputs
    fifo = server.dir / "mic"
    server.pactl("load-module", "module-pipe-source", f"file={fifo}", "source_name=mic", "format=s16le",
                 "rate=48000", "channels=2")
    feed = subprocess.Popen(["ffmpeg", "-v", "error", "-nostdin", "-re", "-i", str(tone_file(TONE_C)), "-f", "s16le",
                             "-ar", "48000", "-ac", "2", "-y", str(fifo)], stdin=subprocess.DEVNULL,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        server.pactl("set-default-source", "mic")
        # The microphone is live: the test would prove nothing otherwise.
        assert tone_segments(listen(server, "mic", 1.0), [TONE_C]), "the microphone does not deliver its tone"

        rec = recorder(["--record", str(outdir)], server)
        started = rec.wait_code("RECORDING_STARTED")
        time.sleep(1.0)
        server.remove_output("out")
        time.sleep(1.0)
        removed_all = rec.now()
        server.remove_output("out2")
        # No output left: the recording ends as when the server goes, with its file finished.
        assert rec.wait_exit() == 0
        assert rec.texts() == [started.text, '{"code":"STREAM_ERROR"}']
    finally:
        feed.kill()
        feed.wait(timeout=5)

    path = started.json["path"]
    duration = check_format(path)
    assert abs(duration - (removed_all - started.t)) <= 0.25, duration
    frames = decode(path)
    # Not even at a tenth of its level.
    assert tone_segments(frames, [TONE_C], level=0.05) == [], "the microphone's tone is in the file"
    assert [tone for tone, _, _ in tone_segments(frames, [TONE_A, TONE_B])] == [TONE_A, TONE_B]
