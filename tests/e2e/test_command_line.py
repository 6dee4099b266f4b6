"""The command line and the permission check, as a controlling program sees them."""

import signal
import time

import pytest

from sar_e2e import TONE_A

# A socket path where nothing listens.
NOWHERE = "unix:/nonexistent/sar-e2e/native"


@pytest.mark.parametrize("args, code", [
    ([], "INVALID_ARGUMENTS"),
    (["--filename", "x"], "INVALID_ARGUMENTS"),
    (["--Record", "/tmp", "--record=/tmp", "-r"], "INVALID_ARGUMENTS"),
    (["--record"], "NO_PATH_SPECIFIED"),
    (["--filename", "x", "--record"], "NO_PATH_SPECIFIED"),
])
def test_rejected_command_line_gives_one_line_and_status_0(recorder, args, code):
    rec = recorder(args, pulse_server=NOWHERE)
    assert rec.wait_exit(timeout=5) == 0
    assert rec.texts() == [f'{{"code":"{code}"}}']


def test_record_keeps_running_until_sigint(server, recorder, outdir):
    server.play(TONE_A)
    rec = recorder(["--record", str(outdir)], server)
    time.sleep(1.5)
    assert rec.running(), rec.texts()
    assert all(r["code"] == "RECORDING_STARTED" for r in rec.responses()), rec.texts()
    rec.wait_caught(signal.SIGINT)
    rec.send(signal.SIGINT)
    assert rec.wait_exit() == 0
    assert rec.responses()[-1]["code"] == "RECORDING_STOPPED"


def test_check_permissions_granted_with_an_output(server, recorder):
    rec = recorder(["--check-permissions"], server)
    assert rec.wait_exit(timeout=5) == 0
    assert rec.texts() == ['{"code":"PERMISSION_GRANTED"}']


@pytest.mark.parametrize("outputs", [None, 0], ids=["no-server", "no-output"])
def test_check_permissions_denied(make_server, recorder, outputs):
    target = NOWHERE if outputs is None else make_server("pulse", outputs=outputs).pulse_server
    rec = recorder(["--check-permissions"], pulse_server=target)
    assert rec.wait_exit(timeout=5) == 0
    assert rec.texts() == ['{"code":"PERMISSION_DENIED"}']
