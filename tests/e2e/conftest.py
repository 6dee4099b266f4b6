import os
import shutil

import pytest

import sar_e2e
from sar_e2e import Recorder, SoundServer

KINDS = ["pulse", "pipewire"]


def pytest_configure(config):
    for tool in ("sox", "paplay", "pactl", "ffprobe", "ffmpeg"):
        if not shutil.which(tool):
            raise pytest.UsageError(f"{tool} is missing (scripts/install-deps installs it)")
    if not os.access(sar_e2e.PROGRAM, os.X_OK):
        raise pytest.UsageError(f"no program at {sar_e2e.PROGRAM} (set SAR_PROGRAM)")
    if not os.access(sar_e2e.SOUND_SERVER, os.X_OK):
        raise pytest.UsageError(f"no sound-server script at {sar_e2e.SOUND_SERVER}")


class ServerFactory:
    def __init__(self):
        self.servers = []

    def __call__(self, kind, outputs=1):
        server = SoundServer(kind, sar_e2e.short_tempdir(f"sar-{kind}-"), outputs)
        self.servers.append(server)
        return server

    def close(self):
        for server in self.servers:
            server.stop()
            shutil.rmtree(server.dir, ignore_errors=True)


@pytest.fixture(scope="module", params=KINDS)
def _module_server(request):
    factory = ServerFactory()
    yield factory(request.param)
    factory.close()


@pytest.fixture
def server(_module_server):
    """A private server with one output, shared by a module's tests, for each kind."""
    yield _module_server
    _module_server.stop_players()


@pytest.fixture(scope="module")
def _module_pulse():
    factory = ServerFactory()
    yield factory("pulse")
    factory.close()


@pytest.fixture
def pulse(_module_pulse):
    """A private PulseAudio with one output, for cases that do not depend on the server."""
    yield _module_pulse
    _module_pulse.stop_players()


@pytest.fixture
def make_server():
    """Private servers of a given kind and number of outputs, for this test alone."""
    factory = ServerFactory()
    yield factory
    factory.close()


@pytest.fixture
def outdir(tmp_path):
    path = tmp_path / "out"
    path.mkdir()
    return path


@pytest.fixture
def recorder(tmp_path):
    """Starts the program; at the end of the test none may still run and none may have written to
    standard error."""
    started = []

    def start(args, server=None, pulse_server=None, **options):
        target = pulse_server or server.pulse_server
        workdir = tmp_path / f"run{len(started)}"
        rec = Recorder(args, target, workdir, **options)
        started.append(rec)
        return rec

    yield start
    leftovers = [rec.args for rec in started if rec.running()]
    for rec in started:
        rec.close()
    assert not leftovers, f"still running at the end of the test: {leftovers}"
    for rec in started:
        report = rec.stderr[:4000].decode(errors="replace")
        assert rec.stderr == b"", f"{rec.args} wrote to standard error:\n{report}"

