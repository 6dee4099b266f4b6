#!/bin/bash
# Recording benchmark: the recorder against ffmpeg and parec on private sound servers, in one run.
#
#   bench/record_bench.sh [--program PATH] [--seconds 20] [--starts 20] [--stop-after 180]
#                         [--skip cpu,start,stop]
#
# 1. CPU seconds and peak memory (/usr/bin/time -v) of recording --seconds of a tone, the recorder
#    against `ffmpeg -f pulse -i <output>.monitor -c:a aac -b:a 128k`, and their ratios.
# 2. Over --starts starts, in each situation (PulseAudio idle output, idle output that was
#    suspended, a 20 ms player playing, a default-latency player playing; PipeWire): the time from
#    launch to the first buffer libpulse hands the recorder (an LD_PRELOAD probe built here), from
#    the record stream's connect to that buffer, and to RECORDING_STARTED; how many runs ended
#    STREAM_FUNCTION_NOT_CALLED. The peer is parec at 10 ms: launch to its first byte. Then the
#    capture layer's own probe (bench/first_buffer, if built beside the program, or $FIRST_BUFFER).
# 3. On each server, the time from the stop to the end of the process after --stop-after seconds of audio: the
#    recorder stopped by SIGINT, by SIGTERM and by closing the reading end of its standard output
#    (a controlling program that died), against ffmpeg stopped by SIGINT.
set -euo pipefail

REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
PROGRAM=$REPO/build/system-audio-recorder
SECONDS_CPU=20
STARTS=20
STOP_AFTER=180
SKIP=""
while [[ $# -gt 0 ]]; do
  case "$1" in
    --program) PROGRAM=$2; shift 2 ;;
    --seconds) SECONDS_CPU=$2; shift 2 ;;
    --starts) STARTS=$2; shift 2 ;;
    --stop-after) STOP_AFTER=$2; shift 2 ;;
    --skip) SKIP=$2; shift 2 ;;
    *) sed -n '2,15p' "$0" >&2; exit 2 ;;
  esac
done
[[ -x "$PROGRAM" ]] || { echo "no program at $PROGRAM (build it, or give --program)" >&2; exit 1; }
# The capture layer's own probe, built with -DBUILD_BENCHMARKS=ON beside the program.
FIRST_BUFFER=${FIRST_BUFFER:-$(dirname "$PROGRAM")/bench/first_buffer}
for tool in /usr/bin/time ffmpeg parec paplay sox g++; do
  command -v "$tool" >/dev/null || { echo "$tool is missing" >&2; exit 1; }
done

WORK=$(mktemp -d /tmp/sar-bench.XXXXXX) # short: it holds the servers' sockets
trap 'rm -rf "$WORK"' EXIT

# Interposes on libpulse to see the moment the first captured bytes reach the program.
cat >"$WORK/probe.cc" <<'EOF'
#include <dlfcn.h>
#include <pulse/stream.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace {
double nowMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}
std::atomic<double> connectedMs{-1};
std::atomic<bool> reported{false};

template <typename Fn>
Fn real(const char* name) {
  return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}
}  // namespace

extern "C" int pa_stream_connect_record(pa_stream* s, const char* dev, const pa_buffer_attr* attr,
                                        pa_stream_flags_t flags) {
  static auto next = real<int (*)(pa_stream*, const char*, const pa_buffer_attr*, pa_stream_flags_t)>(
      "pa_stream_connect_record");
  double unset = -1;
  connectedMs.compare_exchange_strong(unset, nowMs());
  return next(s, dev, attr, flags);
}

extern "C" int pa_stream_peek(pa_stream* s, const void** data, size_t* nbytes) {
  static auto next = real<int (*)(pa_stream*, const void**, size_t*)>("pa_stream_peek");
  const int result = next(s, data, nbytes);
  if (result == 0 && *data != nullptr && *nbytes > 0 && !reported.exchange(true)) {
    if (const char* path = std::getenv("SAR_PROBE_OUT")) {
      if (FILE* out = std::fopen(path, "w")) {
        std::fprintf(out, "%.3f %.3f\n", connectedMs.load(), nowMs());
        std::fclose(out);
      }
    }
  }
  return result;
}
EOF
g++ -std=c++20 -O2 -Wall -Wextra -shared -fPIC -o "$WORK/probe.so" "$WORK/probe.cc" -ldl

export SAR_PROGRAM=$PROGRAM SAR_REPO=$REPO SAR_WORK=$WORK SAR_SECONDS_CPU=$SECONDS_CPU SAR_STARTS=$STARTS \
  SAR_STOP_AFTER=$STOP_AFTER SAR_SKIP=$SKIP SAR_FIRST_BUFFER=$FIRST_BUFFER
/usr/bin/python3 - <<'PY'
import json, os, re, select, signal, statistics, subprocess, sys, threading, time
from pathlib import Path

PROGRAM = os.environ["SAR_PROGRAM"]
REPO = Path(os.environ["SAR_REPO"])
WORK = Path(os.environ["SAR_WORK"])
SKIP = set(filter(None, os.environ["SAR_SKIP"].split(",")))
SOUND_SERVER = str(REPO / "tests/support/sound-server")
servers = []


def start_server(kind, *extra):
    directory = WORK / f"{kind}{len(servers)}"
    subprocess.run([SOUND_SERVER, "start", kind, str(directory), *extra], check=True, stdout=subprocess.DEVNULL,
                   timeout=60)
    servers.append(directory)
    env = dict(os.environ)
    env.update(line.split("=", 1) for line in (directory / "env").read_text().split())
    return directory, env


def stop_server(directory):
    subprocess.run([SOUND_SERVER, "stop", str(directory)], check=False, timeout=60)
    servers.remove(directory)


def tone(seconds):
    path = WORK / f"tone{seconds}.wav"
    if not path.exists():
        subprocess.run(["sox", "-n", "-r", "48000", "-c", "2", "-b", "16", str(path), "synth", str(seconds), "sine",
                        "440", "vol", "0.5"], check=True)
    return path


def player(env, low_latency=True):
    latency = ["--latency-msec=20"] if low_latency else []
    proc = subprocess.Popen(["paplay", *latency, str(tone(600))], env=env, stderr=subprocess.DEVNULL)
    if not low_latency:
        time.sleep(2.5)  # past the output's next wake-up, so that it plays at the player's latency
        return proc
    # An idle PulseAudio null output takes the player's latency only when it next wakes (up to 2 s).
    probe = subprocess.Popen(["parec", "--latency-msec=10", "-d", monitor(env)], env=env, stdout=subprocess.PIPE,
                             stderr=subprocess.DEVNULL)
    probe.stdout.read(1)
    probe.kill()
    probe.wait()
    return proc


def monitor(env):
    sink = subprocess.run(["pactl", "get-default-sink"], env=env, capture_output=True, text=True, check=True)
    return sink.stdout.strip() + ".monitor"


class Run:
    """One recorder process: its stdout lines with arrival times (ms since launch)."""

    def __init__(self, args, env, wrap=()):
        self.lines = []
        self.cond = threading.Condition()
        self.t0 = time.monotonic()
        self.proc = subprocess.Popen([*wrap, PROGRAM, *args], env=env, stdout=subprocess.PIPE,
                                     stdin=subprocess.DEVNULL)
        threading.Thread(target=self.read, daemon=True).start()

    def read(self):
        for raw in self.proc.stdout:
            with self.cond:
                self.lines.append(((time.monotonic() - self.t0) * 1e3, raw.decode(errors="replace").strip()))
                self.cond.notify_all()
        with self.cond:
            self.lines.append((None, None))
            self.cond.notify_all()

    def wait_response(self, timeout=10):
        """The first JSON response: (ms, code)."""
        deadline = time.monotonic() + timeout
        with self.cond:
            while True:
                for ms, text in self.lines:
                    if text is None:
                        return None, "EOF"
                    if text.startswith("{"):
                        return ms, json.loads(text).get("code")
                if not self.cond.wait(max(0, deadline - time.monotonic())):
                    return None, "TIMEOUT"

    def child(self):
        # Under /usr/bin/time, SIGINT must reach the program itself.
        out = subprocess.run(["pgrep", "-P", str(self.proc.pid)], capture_output=True, text=True)
        return int(out.stdout.split()[0]) if out.stdout.strip() else self.proc.pid


def time_v(path):
    text = Path(path).read_text()
    cpu = sum(float(re.search(rf"{k} time \(seconds\): ([\d.]+)", text).group(1)) for k in ("User", "System"))
    rss = int(re.search(r"Maximum resident set size \(kbytes\): (\d+)", text).group(1))
    return cpu, rss


def ratio(a, b):
    return f"{a / b:.2f}" if b else "-"


def cpu_and_memory(seconds):
    directory, env = start_server("pulse", "--idle-suspend", "0")
    play = player(env)
    out = WORK / "cpu"
    out.mkdir()
    rec = Run(["--record", str(out)], env, wrap=["/usr/bin/time", "-v", "-o", str(WORK / "rec.time")])
    ms, code = rec.wait_response()
    assert code == "RECORDING_STARTED", code
    time.sleep(seconds)
    os.kill(rec.child(), signal.SIGINT)
    rec.proc.wait(timeout=60)
    subprocess.run(["/usr/bin/time", "-v", "-o", str(WORK / "ffmpeg.time"), "ffmpeg", "-v", "error", "-nostdin",
                    "-f", "pulse", "-i", monitor(env), "-t", str(seconds), "-c:a", "aac", "-b:a", "128k",
                    str(out / "ffmpeg.m4a")], env=env, check=True, timeout=seconds + 60)
    play.terminate()
    play.wait()
    stop_server(directory)
    (rc, rr), (fc, fr) = time_v(WORK / "rec.time"), time_v(WORK / "ffmpeg.time")
    print(f"\n{seconds} s of a tone, private PulseAudio        recorder    ffmpeg    ratio")
    print(f"  CPU seconds (user+system)              {rc:9.2f} {fc:9.2f} {ratio(rc, fc):>8}")
    print(f"  peak memory (max RSS, MiB)             {rr / 1024:9.1f} {fr / 1024:9.1f} {ratio(rr, fr):>8}")


def summary(values):
    values = [v for v in values if v is not None]
    if not values:
        return "        -        -"
    return f"{statistics.median(values):9.1f} {max(values):8.1f}"


def starts(count):
    situations = [
        ("PulseAudio, idle output", "pulse", ["--idle-suspend", "0"], False, 0),
        ("PulseAudio, idle suspended output", "pulse", ["--idle-suspend", "1"], False, 1.6),
        ("PulseAudio, a 20 ms player playing", "pulse", ["--idle-suspend", "0"], "low", 0),
        ("PulseAudio, a default-latency player", "pulse", ["--idle-suspend", "0"], "default", 0),
        ("PipeWire", "pipewire", [], False, 0),
    ]
    print(f"\n{count} starts each, ms (median, max)   launch->1st buffer  connect->1st buffer"
          "  launch->STARTED  not called  | parec launch->1st byte")
    for n, (title, kind, extra, with_player, settle) in enumerate(situations):
        directory, env = start_server(kind, *extra)
        play = player(env, with_player == "low") if with_player else None
        first, connect, started, peer, not_called, other = [], [], [], [], 0, []
        for i in range(count):
            time.sleep(settle)
            probe = WORK / f"probe-{n}-{i}"
            penv = dict(env, LD_PRELOAD=str(WORK / "probe.so"), SAR_PROBE_OUT=str(probe))
            out = WORK / f"starts-{n}-{i}"
            out.mkdir()
            rec = Run(["--record", str(out)], penv)
            ms, code = rec.wait_response()
            if code == "RECORDING_STARTED":
                started.append(ms)
                rec.proc.send_signal(signal.SIGINT)
            elif code == "STREAM_FUNCTION_NOT_CALLED":
                not_called += 1
            else:
                other.append(code)
            try:
                rec.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                rec.proc.kill()
                other.append("HANG")
            if probe.exists():
                connected_ms, first_ms = map(float, probe.read_text().split())
                first.append(first_ms - rec.t0 * 1e3)
                connect.append(first_ms - connected_ms)
            else:
                first.append(None)
            time.sleep(settle)
            t0 = time.monotonic()
            parec = subprocess.Popen(["parec", "--latency-msec=10", "-d", monitor(env)], env=env,
                                     stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
            parec.stdout.read(1)
            peer.append((time.monotonic() - t0) * 1e3)
            parec.kill()
            parec.wait()
        if play:
            play.terminate()
            play.wait()
        stop_server(directory)
        note = f"  other: {other}" if other else ""
        print(f"  {title:36} {summary(first)}    {summary(connect)}    {summary(started)} {not_called:6}/{count}"
              f"  | {summary(peer)}{note}")


def stop_time(kind, seconds):
    directory, env = start_server(kind, *(["--idle-suspend", "0"] if kind == "pulse" else []))
    play = player(env)
    out = WORK / f"stop-{kind}"
    out.mkdir()
    rec = Run(["--record", str(out), "--filename", "sigint"], env)
    term = Run(["--record", str(out), "--filename", "sigterm"], env)
    # A controlling program that dies: the reading end of the pipe is all it leaves to close.
    reader, writer = os.pipe()
    gone = subprocess.Popen([PROGRAM, "--record", str(out), "--filename", "gone"], env=env, stdout=writer,
                            stdin=subprocess.DEVNULL)
    os.close(writer)
    first = b""
    while b"\n" not in first:
        first += os.read(reader, 4096) or b"EOF\n"
    assert rec.wait_response()[1] == term.wait_response()[1] == "RECORDING_STARTED"
    assert b"RECORDING_STARTED" in first, first
    ffmpeg = subprocess.Popen(["ffmpeg", "-v", "error", "-nostdin", "-f", "pulse", "-i", monitor(env), "-c:a",
                               "aac", "-b:a", "128k", str(out / "ffmpeg.m4a")], env=env, stdin=subprocess.DEVNULL)
    time.sleep(seconds)
    stops = [("recorder, SIGINT", rec.proc, lambda: rec.proc.send_signal(signal.SIGINT)),
             ("recorder, SIGTERM", term.proc, lambda: term.proc.send_signal(signal.SIGTERM)),
             ("recorder, its reader's end of the pipe closed", gone, lambda: os.close(reader)),
             ("ffmpeg, SIGINT", ffmpeg, lambda: ffmpeg.send_signal(signal.SIGINT))]
    results = []
    for _, proc, stop in stops:
        # A pidfd wakes at the exit itself; Popen.wait with a timeout polls in growing steps.
        exited = os.pidfd_open(proc.pid)
        t0 = time.monotonic()
        stop()
        select.select([exited], [], [], 120)
        results.append((time.monotonic() - t0) * 1e3)
        os.close(exited)
        status = proc.wait(timeout=5)
        assert proc is ffmpeg or status == 0, status  # ffmpeg ends with 255 after SIGINT
    play.terminate()
    play.wait()
    stop_server(directory)
    print(f"\nStop to the end of the process after {seconds} s of audio, {kind} (ms) time   ratio to ffmpeg")
    for (title, _, _), ms in zip(stops, results):
        print(f"  {title:58}{ms:9.1f} {ratio(ms, results[-1]):>8}")


try:
    if "cpu" not in SKIP:
        cpu_and_memory(int(os.environ["SAR_SECONDS_CPU"]))
    if "start" not in SKIP:
        starts(int(os.environ["SAR_STARTS"]))
    if "start" not in SKIP:
        probe = os.environ["SAR_FIRST_BUFFER"]
        if os.access(probe, os.X_OK):
            print(f"\nThe capture layer alone ({probe}):")
            sys.stdout.flush()
            subprocess.run([probe, os.environ["SAR_STARTS"]], check=False, timeout=1800)
        else:
            print(f"\n(no {probe}: configure with -DBUILD_BENCHMARKS=ON for the capture layer's own figures)")
    if "stop" not in SKIP:
        for kind in ("pulse", "pipewire"):
            stop_time(kind, int(os.environ["SAR_STOP_AFTER"]))
finally:
    for directory in list(servers):
        stop_server(directory)
PY
