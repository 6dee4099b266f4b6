"""Recording what the machine plays, from the command line to the finished file."""

import os
import re
import signal
import time
from datetime import datetime, timedelta, timezone
from zoneinfo import ZoneInfo

import pytest

from sar_e2e import RATE, TONE_A, TONE_B, TZ, assert_tone, check_format, classify, decode

STAMP = r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ"


def utc(stamp):
    return datetime.strptime(stamp, "%Y-%m-%dT%H:%M:%SZ").replace(tzinfo=timezone.utc)


def test_recording_from_start_to_finished_file(server, recorder, outdir):
    server.play(TONE_A)
    rec = recorder(["--record", str(outdir)], server)
    started = rec.wait_code("RECORDING_STARTED")
    path = started.json["path"]
    # The file exists once the controlling program reads its path.
    assert os.path.exists(path)
    # The watchdog declares the start half a second after start-up, not earlier.
    assert 0.45 <= started.t <= 2.0, started
    assert str(outdir).replace("/", "\\/") in started.text

    # Named after the start instant in local time; the timestamp is the same instant in UTC.
    match = re.fullmatch(re.escape(str(outdir)) + r"/(\d{4,}-\d\d-\d\d \d\d\.\d\d\.\d\d)\.m4a", path)
    assert match, path
    local = datetime.strptime(match.group(1), "%Y-%m-%d %H.%M.%S").replace(tzinfo=ZoneInfo(TZ))
    assert re.fullmatch(STAMP, started.json["timestamp"]), started.json
    assert local == utc(started.json["timestamp"])
    assert abs(local - datetime.now(timezone.utc)) < timedelta(seconds=5)

    time.sleep(3)
    stopped = rec.stop()
    assert re.fullmatch(STAMP, stopped.json["timestamp"]), stopped.json
    assert set(stopped.json) == {"code", "timestamp"}
    assert timedelta(seconds=2) <= utc(stopped.json["timestamp"]) - local <= timedelta(seconds=5)
    assert rec.texts() == [started.text, stopped.text]

    duration = check_format(path)
    frames = decode(path)
    assert abs(len(frames) / RATE - duration) < 0.05
    assert abs(duration - (stopped.t - started.t)) <= 0.25, (duration, stopped.t - started.t)
    assert_tone(frames, TONE_A)
    # Nothing left behind beside the recording (no temporary or partial files).
    assert os.listdir(outdir) == [os.path.basename(path)]


@pytest.mark.parametrize("directory, name, expected", [
    ("{d}", "NAME", "{d}/NAME.m4a"),
    ("{d}", "NAME.m4a", "{d}/NAME.m4a.m4a"),
    ("{d}", "", "{d}/.m4a"),
    ("{d}/", "x", "{d}//x.m4a"),
    ("{d}", "Zoë's call, 2\"", "{d}/Zoë's call, 2\".m4a"),
], ids=["name", "name-with-extension", "empty-name", "trailing-slash", "non-ascii-and-quotes"])
def test_file_name_rule(pulse, recorder, outdir, directory, name, expected):
    pulse.play(TONE_A)
    rec = recorder(["--record", directory.format(d=outdir), "--filename", name], pulse)
    started = rec.wait_code("RECORDING_STARTED")
    assert started.json["path"] == expected.format(d=outdir)
    time.sleep(1)
    rec.stop()
    assert_tone(decode(started.json["path"]), TONE_A)


@pytest.mark.parametrize("kind", ["pulse", "pipewire", None], ids=["pulse-no-output", "pipewire-no-output",
                                                                    "no-server"])
def test_no_output_gives_no_display_found(make_server, recorder, outdir, kind):
    target = make_server(kind, outputs=0).pulse_server if kind else "unix:/nonexistent/sar-e2e/native"
    rec = recorder(["--record", str(outdir)], pulse_server=target)
    assert rec.wait_exit(timeout=5) == 0
    assert rec.texts() == ['{"code":"NO_DISPLAY_FOUND"}']
    assert os.listdir(outdir) == []


@pytest.mark.parametrize("kind", ["pulse", "pipewire"])
def test_the_default_output_is_recorded(make_server, recorder, outdir, kind):
    server = make_server(kind, outputs=2)
    sinks = server.sinks()
    assert len(sinks) == 2, sinks
    # Make the later-created output the default, so that "the first listed" is not taken for it.
    server.pactl("set-default-sink", sinks[1])
    assert server.default_sink() == sinks[1]
    server.play(TONE_A, sink=sinks[1])
    server.play(TONE_B, sink=sinks[0])
    rec = recorder(["--record", str(outdir)], server)
    started = rec.wait_code("RECORDING_STARTED")
    time.sleep(2)
    rec.stop()
    assert_tone(decode(started.json["path"]), TONE_A)


@pytest.mark.parametrize("kind", ["pulse", "pipewire"])
@pytest.mark.parametrize("player", ["just-started", "default-latency"])
def test_recording_starts_whatever_plays(make_server, recorder, outdir, kind, player):
    server = make_server(kind)
    if player == "just-started":
        # Someone presses play and then record: the output has not yet woken up for the player.
        server.play(TONE_A, awake=False)
    else:
        # An ordinary player that asks for no particular latency, playing for a while already.
        server.play(TONE_A, awake=False, latency_ms=None)
        time.sleep(2.5)
    rec = recorder(["--record", str(outdir)], server)
    started = rec.wait_code("RECORDING_STARTED")
    time.sleep(1.5)
    rec.stop()
    assert_tone(decode(started.json["path"]), TONE_A)


@pytest.mark.parametrize("kind", ["pulse", "pipewire"])
def test_idle_output_records_silence(make_server, recorder, outdir, kind):
    # Nothing plays: the capture must still deliver within the half-second watchdog.
    server = make_server(kind)
    rec = recorder(["--record", str(outdir)], server)
    started = rec.wait_code("RECORDING_STARTED")
    time.sleep(1.5)
    stopped = rec.stop()
    path = started.json["path"]
    duration = check_format(path, sound=False)
    assert abs(duration - (stopped.t - started.t)) <= 0.25
    labels = classify(decode(path), [])
    assert labels and set(labels) == {"silence"}


def test_sigint_before_the_start_makes_no_file(pulse, recorder, outdir):
    pulse.play(TONE_A)
    rec = recorder(["--record", str(outdir)], pulse)
    rec.wait_caught(signal.SIGINT)
    rec.send(signal.SIGINT)
    stopped = rec.wait_code("RECORDING_STOPPED")
    assert rec.wait_exit() == 0
    assert rec.sent[0][0] < 0.4, "SIGINT came too late to precede the start"
    assert rec.texts() == [stopped.text]
    assert re.fullmatch(STAMP, stopped.json["timestamp"])
    time.sleep(0.2)
    assert os.listdir(outdir) == []


@pytest.mark.parametrize("where", ["missing", "under-a-file"])
def test_file_creation_failure_is_reported(pulse, recorder, outdir, where):
    if where == "missing":
        directory = outdir / "missing"
    else:
        (outdir / "plain").write_text("")
        directory = outdir / "plain" / "sub"
    before = sorted(os.listdir(outdir))
    pulse.play(TONE_A)
    rec = recorder(["--record", str(directory), "--filename", "take"], pulse)
    failed = rec.wait_code("AUDIO_FILE_CREATION_FAILED")
    assert rec.wait_exit() == 0
    path = f"{directory}/take.m4a"
    assert set(failed.json) == {"code", "path", "error"}
    assert failed.json["path"] == path
    assert failed.json["error"]
    assert rec.texts() == ["Error creating audio file: " + failed.json["error"], failed.text]
    assert not os.path.exists(path)
    assert sorted(os.listdir(outdir)) == before


def test_stop_keeps_the_audio_up_to_the_request(server, recorder, outdir):
    # Long enough for the capture to settle into large fragments, whose last one may still be in
    # the server when the stop comes.
    server.play(TONE_A)
    rec = recorder(["--record", str(outdir)], server)
    started = rec.wait_code("RECORDING_STARTED")
    time.sleep(4.5)
    rec.stop()
    recorded = rec.sent[-1][0] - started.t
    duration = len(decode(started.json["path"])) / RATE
    # The file's first sample is the moment RECORDING_STARTED arrived; its last, the stop's.
    assert abs(duration - recorded) <= 0.05, (duration, recorded)
