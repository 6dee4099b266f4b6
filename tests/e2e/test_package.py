"""The Debian package (SAR_DEB, built by scripts/package), unpacked into a scratch root: what it
declares, and the program it holds checking and recording against a private server."""

import os
import subprocess
import time

import pytest

from sar_e2e import TONE_A, assert_tone, check_format, decode, run

DEB = os.environ.get("SAR_DEB")
pytestmark = pytest.mark.skipif(not DEB, reason="SAR_DEB names no package (scripts/package builds one)")


@pytest.fixture(scope="module")
def root(tmp_path_factory):
    root = tmp_path_factory.mktemp("root")
    run(["dpkg-deb", "-x", DEB, str(root)])
    return root


def test_fields_files_and_dependencies(root):
    fields = dict(line.split(": ", 1) for line in run(["dpkg-deb", "-f", DEB]).stdout.splitlines()
                  if ": " in line and not line.startswith(" "))
    assert fields["Package"] == "system-audio-recorder"
    assert fields["Section"] == "sound"
    depends = [d.split()[0] for d in fields["Depends"].split(", ")]
    for library in ("libpulse0", "libavformat", "libavcodec", "libavutil", "libicu", "libc6"):
        assert any(d.startswith(library) for d in depends), fields["Depends"]
    # Everything it depends on is what the program was linked against on this machine.
    for package in depends:
        assert run(["dpkg-query", "-W", "-f=${Status}", package]).stdout == "install ok installed", package

    files = {str(p.relative_to(root)) for p in root.rglob("*") if p.is_file()}
    assert files == {"usr/bin/system-audio-recorder", "usr/share/man/man1/system-audio-recorder.1.gz",
                     "usr/share/doc/system-audio-recorder/copyright",
                     "usr/share/doc/system-audio-recorder/changelog.gz"}

    man = subprocess.run(["man", "--warnings", "-l", str(root / "usr/share/man/man1/system-audio-recorder.1.gz")],
                         env={**os.environ, "MANWIDTH": "80", "MAN_KEEP_FORMATTING": ""}, capture_output=True,
                         text=True, timeout=30)
    assert man.returncode == 0 and man.stderr == "", man.stderr
    for section in ("SYNOPSIS", "STANDARD OUTPUT", "SIGNALS", "EXIT STATUS", "ENVIRONMENT", "EXAMPLE"):
        assert section in man.stdout


def test_installed_program_checks_and_records(pulse, recorder, outdir, root):
    program = root / "usr/bin/system-audio-recorder"
    check = recorder(["--check-permissions"], pulse, program=program)
    check.wait_code("PERMISSION_GRANTED")
    assert check.wait_exit() == 0

    pulse.play(TONE_A)
    rec = recorder(["--record", str(outdir), "--filename", "installed"], pulse, program=program)
    started = rec.wait_code("RECORDING_STARTED")
    time.sleep(1.5)
    rec.stop()
    assert started.json["path"] == f"{outdir}/installed.m4a"
    assert check_format(started.json["path"]) >= 1.0
    assert_tone(decode(started.json["path"]), TONE_A)
