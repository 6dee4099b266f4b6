#!/bin/bash
# Outputs benchmark: what changes of the default output cost a recording, on private PulseAudio and
# PipeWire servers, in one run.
#
#   bench/outputs_bench.sh [--program PATH] [--before PATH] [--switches 20] [--interval 1.0]
#                          [--seconds 20] [--repeats 3] [--skip seams,cpu]
#
# 1. Seams: outputs out and out2 play two distinct tones (players the server never moves); the recorder
#    records while the default output is switched --switches times, every --interval seconds. From the
#    decoded file: each seam, from the end of the old output's tone to the start of the new one's
#    (positive: silence between them; negative: both at once), median and max of their lengths; and the
#    file's duration against the recorded time (audio missing, or written twice, over all the seams).
# 2. CPU of a recording without switches: --seconds of a tone, the recorder, the recorder built before
#    (--before: a build of the base branch, if given) and ffmpeg recording the same monitor to AAC,
#    --repeats times each in turn; medians and their ratios.
#
# Needs a build with the tests (build/tests/pinned_player), sox, ffmpeg, pactl, and python3 with numpy.
set -euo pipefail

REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
PROGRAM=$REPO/build/system-audio-recorder
BEFORE=""
SWITCHES=20
INTERVAL=1.0
SECONDS_CPU=20
REPEATS=3
SKIP=""
while [[ $# -gt 0 ]]; do
  case "$1" in
    --program) PROGRAM=$2; shift 2 ;;
    --before) BEFORE=$2; shift 2 ;;
    --switches) SWITCHES=$2; shift 2 ;;
    --interval) INTERVAL=$2; shift 2 ;;
    --seconds) SECONDS_CPU=$2; shift 2 ;;
    --repeats) REPEATS=$2; shift 2 ;;
    --skip) SKIP=$2; shift 2 ;;
    *) sed -n '2,17p' "$0" >&2; exit 2 ;;
  esac
done
[[ -x "$PROGRAM" ]] || { echo "no program at $PROGRAM (build it, or give --program)" >&2; exit 1; }
[[ -z "$BEFORE" || -x "$BEFORE" ]] || { echo "no program at $BEFORE" >&2; exit 1; }
PINNED_PLAYER=${SAR_PINNED_PLAYER:-$(dirname "$PROGRAM")/tests/pinned_player}
[[ -x "$PINNED_PLAYER" ]] || { echo "no $PINNED_PLAYER (build with the tests)" >&2; exit 1; }

export SAR_PROGRAM=$PROGRAM SAR_PINNED_PLAYER=$PINNED_PLAYER SAR_BEFORE=$BEFORE SAR_SWITCHES=$SWITCHES \
  SAR_INTERVAL=$INTERVAL SAR_SECONDS_CPU=$SECONDS_CPU SAR_REPEATS=$REPEATS SAR_SKIP=$SKIP
exec /usr/bin/python3 - "$REPO" <<'PY'
import os, resource, shutil, statistics, subprocess, sys, time
from pathlib import Path

sys.path.insert(0, str(Path(sys.argv[1]) / "tests" / "e2e"))
import sar_e2e
from sar_e2e import TONE_A, TONE_B, Recorder, SoundServer, check_format, decode, seams, short_tempdir, tone_segments

SKIP = set(filter(None, os.environ["SAR_SKIP"].split(",")))
NAMES = {"pulse": "PulseAudio", "pipewire": "PipeWire"}


class Server:
    def __init__(self, kind, outputs):
        self.server = SoundServer(kind, short_tempdir(f"sar-bench-{kind}-"), outputs)
        self.work = short_tempdir("sar-bench-run-")

    def __enter__(self):
        return self.server

    def __exit__(self, *exc):
        self.server.stop()
        shutil.rmtree(self.server.dir, ignore_errors=True)
        shutil.rmtree(self.work, ignore_errors=True)


def record(server, work, seconds, between=None):
    """Runs the recorder for seconds after its start (calling between() meanwhile, if given); returns
    (file path, recorded seconds, CPU seconds of the recorder)."""
    out = Path(work) / f"out{time.monotonic_ns()}"
    out.mkdir()
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    rec = Recorder(["--record", str(out)], server.pulse_server, Path(work) / out.name)
    try:
        started = rec.wait_code("RECORDING_STARTED")
        if between:
            between()
        else:
            time.sleep(seconds)
        rec.stop(timeout=30)
    finally:
        rec.close()
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    return started.json["path"], rec.sent[-1][0] - started.t, cpu


def seam_run(kind, switches, interval):
    with Server(kind, 2) as server:
        server.play_pinned(TONE_A, "out")
        server.play_pinned(TONE_B, "out2")

        def switch():
            for i in range(switches):
                time.sleep(interval)
                server.set_default_sink("out2" if i % 2 == 0 else "out", wait=False)
            time.sleep(interval)

        path, recorded, _ = record(server, server.dir, 0, switch)
        duration = check_format(path)
        segments = tone_segments(decode(path), [TONE_A, TONE_B])
    found = [s * 1e3 for s in seams(segments)]
    lengths = [abs(s) for s in found] or [float("nan")]
    print(f"  {NAMES[kind]:11} {len(found):3}/{switches} seams   median {statistics.median(lengths):6.1f} ms"
          f"   max {max(lengths):6.1f} ms   (signed: {min(found or [0]):+.1f} .. {max(found or [0]):+.1f} ms)"
          f"   file - recorded time: {(duration - recorded) * 1e3:+.1f} ms")


def ffmpeg_cpu(server, work, seconds):
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    subprocess.run(["ffmpeg", "-v", "error", "-nostdin", "-f", "pulse", "-i", server.monitor("out"), "-t",
                    str(seconds), "-c:a", "aac", "-b:a", "128k", "-y", str(Path(work) / "ffmpeg.m4a")],
                   env=server.client_env(), check=True, timeout=seconds + 60, stdin=subprocess.DEVNULL)
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)


def cpu_run(kind, seconds, repeats):
    programs = [("recorder", os.environ["SAR_PROGRAM"])]
    if os.environ["SAR_BEFORE"]:
        programs.append(("before", os.environ["SAR_BEFORE"]))
    cpu = {name: [] for name, _ in programs + [("ffmpeg", None)]}
    with Server(kind, 1) as server:
        server.play_pinned(TONE_A, "out")
        for _ in range(repeats):
            for name, program in programs:
                sar_e2e.PROGRAM = program
                cpu[name].append(record(server, server.dir, seconds)[2])
            cpu["ffmpeg"].append(ffmpeg_cpu(server, server.dir, seconds))
    median = {name: statistics.median(values) for name, values in cpu.items()}
    line = "   ".join(f"{name} {median[name]:.2f} s" for name in cpu)
    ratios = f"recorder/ffmpeg {median['recorder'] / median['ffmpeg']:.2f}"
    if "before" in median:
        ratios += (f"   before/ffmpeg {median['before'] / median['ffmpeg']:.2f}"
                   f"   recorder/before {median['recorder'] / median['before']:.2f}")
    print(f"  {NAMES[kind]:11} {line}   {ratios}")


if "seams" not in SKIP:
    switches, interval = int(os.environ["SAR_SWITCHES"]), float(os.environ["SAR_INTERVAL"])
    print(f"Seams: {switches} switches of the default output, every {interval:g} s, two tones")
    for kind in ("pulse", "pipewire"):
        seam_run(kind, switches, interval)
if "cpu" not in SKIP:
    seconds, repeats = int(os.environ["SAR_SECONDS_CPU"]), int(os.environ["SAR_REPEATS"])
    print(f"CPU of {seconds} s of a tone without switches (user+system, median of {repeats})")
    for kind in ("pulse", "pipewire"):
        cpu_run(kind, seconds, repeats)
PY
