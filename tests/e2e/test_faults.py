"""Faults made real: the sound server dies, the file cannot grow, the program is killed. Whatever
happens, the audio recorded up to the fault stays playable."""

import os
import signal
import time

import pytest

from sar_e2e import RATE, TONE_A, assert_tone, check_format, decode


@pytest.mark.parametrize("kind", ["pulse", "pipewire"])
def test_server_killed_mid_recording(make_server, recorder, outdir, kind):
    server = make_server(kind)
    server.play(TONE_A)
    rec = recorder(["--record", str(outdir)], server)
    started = rec.wait_code("RECORDING_STARTED")
    time.sleep(2)
    killed_at = rec.now()
    server.kill()
    assert rec.wait_exit() == 0
    assert rec.texts() == [started.text, '{"code":"STREAM_ERROR"}']

    path = started.json["path"]
    duration = check_format(path)
    recorded = killed_at - started.t
    assert recorded - 0.3 <= duration <= recorded + 0.25, (duration, recorded)
    frames = decode(path)
    # The last moments before the kill may be cut short; what is there is the tone.
    assert_tone(frames, TONE_A)


def test_file_size_limit_reached(server, recorder, outdir):
    limit = 48 * 1024  # about three seconds at 128 kb/s
    # With SIGXFSZ at its default action. libpulse's shared-memory pool is a file as well, which
    # meets the limit first, at start: the program goes on without it, silently.
    server.play(TONE_A)
    rec = recorder(["--record", str(outdir)], server, fsize_limit=limit)
    started = rec.wait_code("RECORDING_STARTED")
    failed = rec.wait_code("AUDIO_BUFFER_WRITE_FAILED", timeout=20)
    assert rec.wait_exit() == 0
    texts = rec.texts()
    assert texts[0] == started.text
    assert texts[-1] == failed.text == '{"code":"AUDIO_BUFFER_WRITE_FAILED"}'
    assert len(texts) == 3 and texts[1].startswith("Error writing audio buffer: ") and len(texts[1]) > 28, texts

    path = started.json["path"]
    assert os.path.getsize(path) <= limit
    assert os.listdir(outdir) == [os.path.basename(path)], "partial files left behind"
    frames = decode(path)
    assert len(frames) / RATE >= 1.0, "the audio written before the failure is lost"
    assert_tone(frames, TONE_A)


def test_sigkill_leaves_a_playable_file(pulse, recorder, outdir):
    pulse.play(TONE_A)
    rec = recorder(["--record", str(outdir)], pulse)
    started = rec.wait_code("RECORDING_STARTED")
    time.sleep(4)
    killed_at = rec.now()
    rec.send(signal.SIGKILL)
    assert rec.wait_exit() == -signal.SIGKILL
    recorded = killed_at - started.t

    frames = decode(started.json["path"])
    # Written out about once a second: at most the last second is missing.
    assert recorded - 1.3 <= len(frames) / RATE <= recorded + 0.25, (len(frames) / RATE, recorded)
    assert_tone(frames, TONE_A)


def test_libpulse_complaints_stay_off_standard_error(pulse, recorder, outdir):
    # A home where nothing can be created: libpulse cannot load or make its cookie and says so.
    # The fixture checks that standard error stays empty.
    pulse.play(TONE_A)
    rec = recorder(["--record", str(outdir)], pulse, extra_env={"HOME": "/proc"})
    started = rec.wait_code("RECORDING_STARTED")
    time.sleep(1)
    rec.stop()
    assert_tone(decode(started.json["path"]), TONE_A)
