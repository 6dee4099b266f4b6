#!/bin/bash
# Steady-state cost of a long recording: the recorder against ffmpeg recording the same monitor
# (`ffmpeg -f pulse -i <monitor> -c:a aac -b:a 128k`) on one private sound server while a tone
# with noise plays, runs interleaved, medians per length, a line fitted over the lengths.
#
#   bench/cost_bench.sh [--program PATH] [--encode PATH] [--server pulse|pipewire]
#                       [--lengths 3,30,120] [--runs 3] [--player-latency 20]
#                       [--alloc-seconds 20] [--long SECONDS] [--quick] [--skip live,offline,paced,allocs]
#                       [--also PATH]...
#
# Prints, per audio second (slope of CPU against run length; the intercept is the fixed cost):
#   - CPU of each recorder (user+system from wait4, all threads);
#   - the sound server's CPU during each (from /proc/<pid>/stat), and during the player alone;
#   - the AAC encoder alone, offline on the same kind of PCM: ffmpeg -f f32le and our own file
#     writer (build/bench/encode_file, which writes 10 ms buffers as a recording does), and our
#     writer paced as a steady recording is fed (100 ms of audio each 100 ms, in real time): the
#     encoder's own cost in a live recorder, whose every batch starts with cold caches;
#   - context switches (wake-ups) per second of each recorder (wait4) and of the server;
#   - private memory (USS = Private_Clean + Private_Dirty of /proc/PID/smaps_rollup) mid-run, and
#     the growth of its dirty part (the clean part swings with what other processes map) from the
#     end of the first quarter (at most the first minute) to the end of the longest run; the
#     thread count mid-run; the USS of a process that only loads the program's libraries (what
#     loading Debian's shared FFmpeg, libpulse and ICU costs before any of our code runs);
#   - allocations per second in steady state and per captured chunk (an LD_PRELOAD counter, in
#     separate runs so that it costs the CPU figures nothing);
# and the ratios. --long S adds one run of S seconds of both recorders at once, sampling USS
# each 30 s (flatness over a long recording). --quick: lengths 2,6, one run, 6 s of counting.
# --also PATH runs another build of the recorder in the same runs (before and after a change).
set -euo pipefail

REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
PROGRAM=$REPO/build/system-audio-recorder
ENCODE=""
SERVER=pulse
LENGTHS=3,30,120
RUNS=3
PLAYER_LATENCY=20
ALLOC_SECONDS=20
LONG=0
SKIP=""
ALSO=""
while [[ $# -gt 0 ]]; do
  case "$1" in
    --program) PROGRAM=$2; shift 2 ;;
    --encode) ENCODE=$2; shift 2 ;;
    --server) SERVER=$2; shift 2 ;;
    --lengths) LENGTHS=$2; shift 2 ;;
    --runs) RUNS=$2; shift 2 ;;
    --player-latency) PLAYER_LATENCY=$2; shift 2 ;;
    --alloc-seconds) ALLOC_SECONDS=$2; shift 2 ;;
    --long) LONG=$2; shift 2 ;;
    --quick) LENGTHS=2,6; RUNS=1; ALLOC_SECONDS=6; shift ;;
    --skip) SKIP=$2; shift 2 ;;
    --also) ALSO=$ALSO:$2; shift 2 ;;
    *) sed -n '2,28p' "$0" >&2; exit 2 ;;
  esac
done
[[ -x "$PROGRAM" ]] || { echo "no program at $PROGRAM (build it, or give --program)" >&2; exit 1; }
# Our writer alone, built with -DBUILD_BENCHMARKS=ON beside the program.
ENCODE=${ENCODE:-$(dirname "$PROGRAM")/bench/encode_file}
for tool in ffmpeg pacat pactl g++; do
  command -v "$tool" >/dev/null || { echo "$tool is missing" >&2; exit 1; }
done

WORK=$(mktemp -d /tmp/sar-cost.XXXXXX) # short: it holds the server's sockets
trap 'rm -rf "$WORK"' EXIT

# Counts allocation calls and captured chunks (pa_stream_peek with data) into a shared file that
# the script reads while the process runs, so the process itself is not disturbed.
cat >"$WORK/count.cc" <<'EOF'
#include <dlfcn.h>
#include <fcntl.h>
#include <pulse/stream.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>

extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void* __libc_memalign(size_t, size_t);
}

namespace {
std::atomic<std::uint64_t>* counters = nullptr;  // [0] allocations, [1] chunks

__attribute__((constructor)) void mapCounters() {
  const char* path = std::getenv("SAR_COUNT_FILE");
  if (path == nullptr) return;
  const int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0 || ftruncate(fd, 64) != 0) return;
  void* map = mmap(nullptr, 64, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  close(fd);
  if (map != MAP_FAILED) counters = static_cast<std::atomic<std::uint64_t>*>(map);
}

void count(int which) {
  if (counters != nullptr) counters[which].fetch_add(1, std::memory_order_relaxed);
}
}  // namespace

extern "C" {
void* malloc(size_t size) { count(0); return __libc_malloc(size); }
void* calloc(size_t n, size_t size) { count(0); return __libc_calloc(n, size); }
void* realloc(void* p, size_t size) { count(0); return __libc_realloc(p, size); }
void* memalign(size_t alignment, size_t size) { count(0); return __libc_memalign(alignment, size); }
void* aligned_alloc(size_t alignment, size_t size) { count(0); return __libc_memalign(alignment, size); }
int posix_memalign(void** out, size_t alignment, size_t size) {
  count(0);
  void* p = __libc_memalign(alignment, size);
  if (p == nullptr) return 12;  // ENOMEM
  *out = p;
  return 0;
}
int pa_stream_peek(pa_stream* s, const void** data, size_t* nbytes) {
  static auto next = reinterpret_cast<int (*)(pa_stream*, const void**, size_t*)>(dlsym(RTLD_NEXT, "pa_stream_peek"));
  const int result = next(s, data, nbytes);
  if (result == 0 && *data != nullptr && *nbytes > 0) count(1);
  return result;
}
}
EOF
g++ -std=c++20 -O2 -Wall -Wextra -shared -fPIC -o "$WORK/count.so" "$WORK/count.cc" -ldl

# A process that loads the program's libraries and then only waits: the part of the USS that the
# program's code does not decide (pages of the libraries touched by loading them).
mapfile -t NEEDED < <(readelf -d "$PROGRAM" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/-l:\1/p')
printf '#include <unistd.h>\nint main() { return pause(); }\n' >"$WORK/idle.cc"
g++ -O2 -o "$WORK/idle" "$WORK/idle.cc" -Wl,--no-as-needed "${NEEDED[@]}"

export SAR_PROGRAM=$PROGRAM SAR_ENCODE=$ENCODE SAR_REPO=$REPO SAR_WORK=$WORK SAR_SERVER=$SERVER \
  SAR_LENGTHS=$LENGTHS SAR_RUNS=$RUNS SAR_PLAYER_LATENCY=$PLAYER_LATENCY SAR_ALLOC_SECONDS=$ALLOC_SECONDS \
  SAR_LONG=$LONG SAR_SKIP=$SKIP SAR_ALSO=$ALSO
/usr/bin/python3 - <<'PY'
import json, os, signal, statistics, struct, subprocess, sys, threading, time
from pathlib import Path

# The recorder first, then any others to compare with it (--also), by label.
PROGRAMS = {"program": os.environ["SAR_PROGRAM"]}
for path in filter(None, os.environ["SAR_ALSO"].split(":")):
    PROGRAMS[Path(path).name] = path
PROGRAM = PROGRAMS["program"]
ENCODE = os.environ["SAR_ENCODE"]
REPO = Path(os.environ["SAR_REPO"])
WORK = Path(os.environ["SAR_WORK"])
SERVER = os.environ["SAR_SERVER"]
LENGTHS = [float(x) for x in os.environ["SAR_LENGTHS"].split(",")]
RUNS = int(os.environ["SAR_RUNS"])
PLAYER_LATENCY = int(os.environ["SAR_PLAYER_LATENCY"])
ALLOC_SECONDS = float(os.environ["SAR_ALLOC_SECONDS"])
LONG = float(os.environ["SAR_LONG"])
SKIP = set(filter(None, os.environ["SAR_SKIP"].split(",")))
SOUND_SERVER = str(REPO / "tests/support/sound-server")
TICK = os.sysconf("SC_CLK_TCK")
RATE, CHANNELS = 48000, 2
# Two tones and a little noise, different in each channel, so the encoder has real work.
SIGNAL = ("aevalsrc=0.4*sin(2*PI*440*t)+0.1*sin(2*PI*3150*t)+0.03*(random(0)-0.5)|"
          "0.4*sin(2*PI*660*t)+0.1*sin(2*PI*5200*t)+0.03*(random(1)-0.5)")
OUT = WORK / "out"
OUT.mkdir()


def log(text):
    print(text, file=sys.stderr, flush=True)


# --- the server and what plays on it ----------------------------------------------------------

def start_server():
    directory = WORK / SERVER
    subprocess.run([SOUND_SERVER, "start", SERVER, str(directory), "--idle-suspend", "0"], check=True,
                   stdout=subprocess.DEVNULL, timeout=60)
    env = dict(os.environ)
    env.update(line.split("=", 1) for line in (directory / "env").read_text().split())
    # The server's own processes (not the session bus of a PipeWire server).
    pids = [int(p) for p in (directory / "pids").read_text().split()]
    pids = [p for p in pids if Path(f"/proc/{p}/comm").read_text().strip() != "dbus-daemon"]
    return directory, env, pids


def monitor(env):
    sink = subprocess.run(["pactl", "get-default-sink"], env=env, capture_output=True, text=True, check=True)
    return sink.stdout.strip() + ".monitor"


class Player:
    """Plays the signal in a loop through pacat, fed from this process."""

    def __init__(self, env):
        chunk = WORK / "play.s16"
        subprocess.run(["ffmpeg", "-v", "error", "-f", "lavfi", "-i", f"{SIGNAL}:s={RATE}:d=10", "-f", "s16le",
                        "-ac", str(CHANNELS), "-y", str(chunk)], check=True)
        self.data = chunk.read_bytes()
        latency = [f"--latency-msec={PLAYER_LATENCY}"] if PLAYER_LATENCY > 0 else []
        self.proc = subprocess.Popen(["pacat", "--playback", "--raw", "--format=s16le", f"--rate={RATE}",
                                      f"--channels={CHANNELS}", *latency], env=env, stdin=subprocess.PIPE,
                                     stderr=subprocess.DEVNULL)
        threading.Thread(target=self.feed, daemon=True).start()
        if PLAYER_LATENCY > 0:
            # An idle PulseAudio null output takes a new latency only at its next wake-up.
            probe = subprocess.Popen(["parec", "--latency-msec=10", "-d", monitor(env)], env=env,
                                     stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
            probe.stdout.read(1)
            probe.kill()
            probe.wait()
        time.sleep(2.5)

    def feed(self):
        try:
            while True:
                self.proc.stdin.write(self.data)
        except (BrokenPipeError, ValueError, OSError):
            pass

    def stop(self):
        self.proc.kill()
        self.proc.wait()


# --- what /proc says ------------------------------------------------------------------------------

def cpu_ticks(pids):
    total = 0
    for pid in pids:
        fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
        total += int(fields[11]) + int(fields[12])  # utime, stime
    return total / TICK


def ctxt_switches(pids):
    total = 0
    for pid in pids:
        for task in Path(f"/proc/{pid}/task").iterdir():
            try:
                for line in (task / "status").read_text().splitlines():
                    if line.startswith(("voluntary_ctxt_switches", "nonvoluntary_ctxt_switches")):
                        total += int(line.split()[1])
            except FileNotFoundError:
                pass
    return total


def uss_kib(pid, kinds=("Private_Clean:", "Private_Dirty:")):
    total = 0
    for line in Path(f"/proc/{pid}/smaps_rollup").read_text().splitlines():
        if line.startswith(kinds):
            total += int(line.split()[1])
    return total


def threads(pid):
    for line in Path(f"/proc/{pid}/status").read_text().splitlines():
        if line.startswith("Threads:"):
            return int(line.split()[1])
    return 0


def read_counters(path):
    with open(path, "rb") as f:
        return struct.unpack("QQ", f.read(16))


# --- one recording --------------------------------------------------------------------------------

def launch(kind, env, name):
    if kind in PROGRAMS:
        proc = subprocess.Popen([PROGRAMS[kind], "--record", str(OUT), "--filename", name], env=env,
                                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE)
        line = proc.stdout.readline().decode(errors="replace")
        code = json.loads(line).get("code") if line.startswith("{") else line.strip()
        if code != "RECORDING_STARTED":
            raise RuntimeError(f"the program answered {code!r}")
        # Keep reading, so that the program never blocks on a full pipe.
        threading.Thread(target=proc.stdout.read, daemon=True).start()
        return proc
    if kind == "ffmpeg":
        return subprocess.Popen(["ffmpeg", "-v", "error", "-nostdin", "-y", "-f", "pulse", "-i", monitor(env),
                                 "-c:a", "aac", "-b:a", "128k", str(OUT / f"{name}.m4a")], env=env,
                                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
    return None  # the player alone


def record(kind, env, server_pids, seconds, name, samples_every=None, extra_env=None):
    """Runs one recorder for `seconds` (launch to SIGINT). Returns a dict of figures."""
    if extra_env:
        env = dict(env, **extra_env)
    server0, server_sw0 = cpu_ticks(server_pids), ctxt_switches(server_pids)
    t0 = time.monotonic()
    proc = launch(kind, env, name)
    result = {"uss": [], "threads": None, "mid_uss": None, "mid_dirty": None}
    deadline = t0 + seconds
    mid = t0 + seconds / 2
    next_sample = t0 + samples_every if samples_every else None
    while True:
        now = time.monotonic()
        wake = deadline
        if result["mid_uss"] is None:
            wake = min(wake, mid)
        if next_sample is not None:
            wake = min(wake, next_sample)
        if wake > now:
            time.sleep(wake - now)
        now = time.monotonic()
        if proc is not None and result["mid_uss"] is None and now >= mid:
            result["mid_uss"], result["threads"] = uss_kib(proc.pid), threads(proc.pid)
            # Clean private pages are library pages no other process maps at the moment: they
            # depend on what else runs. Dirty ones are the process's own.
            result["mid_dirty"] = uss_kib(proc.pid, ("Private_Dirty:",))
        if proc is not None and next_sample is not None and now >= next_sample:
            result["uss"].append((now - t0, uss_kib(proc.pid, ("Private_Dirty:",))))
            next_sample += samples_every
        if now >= deadline:
            break
    if proc is not None:
        result["uss"].append((time.monotonic() - t0, uss_kib(proc.pid, ("Private_Dirty:",))))
        proc.send_signal(signal.SIGINT)
        _, status, usage = os.wait4(proc.pid, 0)
        proc.returncode = status
        result["cpu"] = usage.ru_utime + usage.ru_stime
        result["switches"] = usage.ru_nvcsw + usage.ru_nivcsw
    else:
        result["cpu"], result["switches"] = 0.0, 0
    result["server"] = cpu_ticks(server_pids) - server0
    result["server_switches"] = ctxt_switches(server_pids) - server_sw0
    for f in OUT.glob(f"{name}*"):
        f.unlink()
    return result


# --- fitting --------------------------------------------------------------------------------------

def fit(points):
    """Least squares over (x, y): (slope, intercept)."""
    xs, ys = [p[0] for p in points], [p[1] for p in points]
    if len(set(xs)) < 2:
        return (ys[0] / xs[0] if xs and xs[0] else 0.0), 0.0
    mx, my = statistics.fmean(xs), statistics.fmean(ys)
    slope = sum((x - mx) * (y - my) for x, y in zip(xs, ys)) / sum((x - mx) ** 2 for x in xs)
    return slope, my - slope * mx


def fitted(results, key):
    """The line through the medians per length."""
    return fit([(length, statistics.median(r[key] for r in runs)) for length, runs in results.items()])


def ratio(a, b):
    return f"{a / b:.2f}" if b else "-"


# --- the parts of the benchmark -------------------------------------------------------------------

def live(env, server_pids):
    kinds = [*PROGRAMS, "ffmpeg", "player"]
    results = {kind: {length: [] for length in LENGTHS} for kind in kinds}
    longest = max(LENGTHS)
    n = 0
    for run in range(RUNS):
        for length in LENGTHS:
            # Rotate who goes first, so that a slow phase of the machine hits all alike.
            shift = (run * len(LENGTHS) + LENGTHS.index(length)) % (len(kinds) - 1)
            recorders = kinds[:-1]
            for kind in [*recorders[shift:], *recorders[:shift], "player"]:
                n += 1
                log(f"  run {run + 1}/{RUNS}, {length:g} s, {kind}")
                every = 10 if length == longest and length >= 30 else None
                results[kind][length].append(record(kind, env, server_pids, length, f"r{n}", every))
    return results


def print_live(results, floor):
    recorders = [*PROGRAMS, "ffmpeg"]
    columns = [*recorders, "player"]
    longest = max(LENGTHS)
    print(f"\nLive, {SERVER}, player latency {PLAYER_LATENCY or 'default'} ms, lengths "
          f"{','.join(f'{x:g}' for x in LENGTHS)} s, {RUNS} run(s) each, medians, fitted line; "
          f"ratio: {recorders[0]} / ffmpeg")
    print(f"  {'':44}" + "".join(f"{k[:10]:>11}" for k in columns) + f"{'ratio':>8}")
    cpu = {k: fitted(results[k], "cpu") for k in recorders}
    server = {k: fitted(results[k], "server") for k in columns}

    def row(title, values, digits=2, r=True):
        """values: one per column (None where it means nothing)."""
        cells = "".join(f"{v:11.{digits}f}" if v is not None else f"{'-':>11}" for v in values)
        first, peer = values[0], values[len(recorders) - 1]
        rr = ratio(first, peer) if r and first is not None and peer else "-"
        print(f"  {title:44}{cells}{rr:>8}")

    def per_recorder(value, digits=2, r=True, title=""):
        row(title, [value(k) for k in recorders] + [None], digits, r)

    def median_longest(k, key):
        return statistics.median(r[key] for r in results[k][longest])

    def growth(k):
        values = []
        for r in results[k][longest]:
            samples = r["uss"]
            early = [u for t, u in samples if t >= min(60, longest / 4)] or [samples[-1][1]]
            values.append((samples[-1][1] - early[0]) / 1024)
        return statistics.median(values)

    per_recorder(lambda k: cpu[k][0] * 1e3, title="CPU per audio second (ms)")
    per_recorder(lambda k: cpu[k][1] * 1e3, title="fixed CPU (intercept, ms)")
    row("server CPU per audio second during it (ms)", [server[k][0] * 1e3 for k in columns])
    per_recorder(lambda k: (server[k][0] - server["player"][0]) * 1e3, title="  of which for the recorder (ms)")
    per_recorder(lambda k: (cpu[k][0] + server[k][0]) * 1e3, title="recorder + server per audio second (ms)")
    per_recorder(lambda k: fitted(results[k], "switches")[0], 1, title="context switches per second")
    row("server context switches per second", [fitted(results[k], "server_switches")[0] for k in columns], 1)
    per_recorder(lambda k: median_longest(k, "mid_uss") / 1024, title=f"USS mid-run of {longest:g} s (MiB)")
    per_recorder(lambda k: median_longest(k, "mid_dirty") / 1024, title="  of which Private_Dirty (MiB)")
    floor_uss, floor_dirty = floor
    rest = " " * 11 * (len(columns) - 1)  # under the other columns: nothing to compare
    print(f"  {'  loading the libraries alone (MiB)':44}{floor_uss:11.2f}{rest}"
          f"{ratio(floor_uss, median_longest('ffmpeg', 'mid_uss') / 1024):>8}")
    print(f"  {'    of which Private_Dirty (MiB)':44}{floor_dirty:11.2f}")
    per_recorder(growth, 2, False, f"Private_Dirty growth, {min(60, longest / 4):g} s to end (MiB)")
    per_recorder(lambda k: median_longest(k, "threads"), 0, False, "threads mid-run")
    for length in LENGTHS:
        per_recorder(lambda k: statistics.median(r["cpu"] for r in results[k][length]), 3,
                     title=f"  CPU of a {length:g} s run (s, median)")
    return cpu, server


def offline():
    """The encoder alone on the same kind of PCM: ffmpeg and our writer, CPU from wait4."""
    longest = max(LENGTHS)
    pcm = WORK / "offline.f32"
    subprocess.run(["ffmpeg", "-v", "error", "-f", "lavfi", "-i", f"{SIGNAL}:s={RATE}:d={longest}", "-f", "f32le",
                    "-ac", str(CHANNELS), "-y", str(pcm)], check=True)
    frame_bytes = 4 * CHANNELS
    inputs = {}
    for length in LENGTHS:
        path = WORK / f"offline-{length:g}.f32"
        with open(pcm, "rb") as src, open(path, "wb") as dst:
            dst.write(src.read(int(length * RATE) * frame_bytes))
        inputs[length] = path
    commands = {
        "ffmpeg": lambda src, dst: ["ffmpeg", "-v", "error", "-nostdin", "-y", "-f", "f32le", "-ar", str(RATE),
                                    "-ac", str(CHANNELS), "-i", str(src), "-c:a", "aac", "-b:a", "128k", str(dst)],
    }
    if os.access(ENCODE, os.X_OK):
        commands["ours"] = lambda src, dst: [ENCODE, str(src), str(dst)]
        if "paced" not in SKIP:
            commands["paced"] = lambda src, dst: [ENCODE, "--paced", str(src), str(dst)]
    else:
        log(f"(no {ENCODE}: configure with -DBUILD_BENCHMARKS=ON for our writer alone)")
    results = {k: {length: [] for length in LENGTHS} for k in commands}
    for run in range(RUNS):
        for length in LENGTHS:
            for kind, command in commands.items():
                proc = subprocess.Popen(command(inputs[length], OUT / "offline.m4a"), stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL)
                _, status, usage = os.wait4(proc.pid, 0)
                proc.returncode = status
                results[kind][length].append({"cpu": usage.ru_utime + usage.ru_stime})
    return {k: fitted(v, "cpu") for k, v in results.items()}


def allocations(env, server_pids):
    """Allocations per second and per captured chunk, mid-run, under the counting preload."""
    figures = {}
    for kind in (*PROGRAMS, "ffmpeg"):
        counter = WORK / f"count-{kind}"
        extra = {"LD_PRELOAD": str(WORK / "count.so"), "SAR_COUNT_FILE": str(counter)}
        samples = []
        window = (ALLOC_SECONDS * 0.25, ALLOC_SECONDS * 0.75)

        def sampler():
            for at in window:
                time.sleep(max(0, t0 + at - time.monotonic()))
                samples.append((time.monotonic(), *read_counters(counter)))

        t0 = time.monotonic()
        thread = threading.Thread(target=sampler)
        thread.start()
        record(kind, env, server_pids, ALLOC_SECONDS, f"alloc-{kind}", extra_env=extra)
        thread.join()
        (ta, aa, ca), (tb, ab, cb) = samples
        figures[kind] = ((ab - aa) / (tb - ta), (cb - ca) / (tb - ta))
    return figures


def long_run(env, server_pids):
    """Both recorders at once for LONG seconds; USS each 30 s."""
    procs = {"program": launch("program", env, "long-program"), "ffmpeg": launch("ffmpeg", env, "long-ffmpeg")}
    t0 = time.monotonic()
    samples = {k: [] for k in procs}
    while True:
        elapsed = time.monotonic() - t0
        for k, p in procs.items():
            samples[k].append((elapsed, uss_kib(p.pid), uss_kib(p.pid, ("Private_Dirty:",))))
        if elapsed >= LONG:
            break
        time.sleep(min(30, LONG - elapsed))
    for p in procs.values():
        p.send_signal(signal.SIGINT)
        p.wait()
    print(f"\nUSS (Private_Dirty) over {LONG:g} s, both recording at once, MiB each 30 s")
    for k, values in samples.items():
        after = [d for t, _, d in values if t >= 60] or [values[-1][2]]
        print(f"  {k:8} " + " ".join(f"{u / 1024:.1f}({d / 1024:.1f})" for _, u, d in values) +
              f"   | dirty, after the first minute: {(max(after) - min(after)) / 1024:.2f} MiB apart")


def library_floor(env):
    """USS of a process that only loads the program's libraries, while the player plays."""
    proc = subprocess.Popen([str(WORK / "idle")], env=env)
    time.sleep(1)
    figures = uss_kib(proc.pid) / 1024, uss_kib(proc.pid, ("Private_Dirty:",)) / 1024
    proc.kill()
    proc.wait()
    return figures


def print_offline(encoder):
    print("\nThe AAC encoder alone on the same kind of PCM (fitted, ms per audio second; paced: our writer\n"
          "fed in real time, 100 ms at a time, as a steady recording feeds it)")
    for k, (slope, intercept) in encoder.items():
        print(f"  {k:8} {slope * 1e3:8.2f}  (fixed {intercept * 1e3:.1f} ms)")


def print_ratios(cpu, server, encoder):
    f = cpu["ffmpeg"][0]
    print("\nRatios (per audio second)")
    for k in PROGRAMS:
        p = cpu[k][0]
        print(f"  {k}:")
        print(f"    / ffmpeg                                 {ratio(p, f):>6}   (goal <= 0.75)")
        if encoder:
            print(f"    / encoder alone (ffmpeg offline)         {ratio(p, encoder['ffmpeg'][0]):>6}   (goal <= 1.15)")
            if "ours" in encoder:
                print(f"    / our writer offline                     {ratio(p, encoder['ours'][0]):>6}")
            if "paced" in encoder:
                print(f"    / our writer paced                       {ratio(p, encoder['paced'][0]):>6}")
        print(f"    (it + server) / (ffmpeg + server)        "
              f"{ratio(p + server[k][0], f + server['ffmpeg'][0]):>6}   (goal <= 0.8)")
        # The player's own load on the server is in both sums above; this leaves it out.
        player = server["player"][0]
        print(f"    the same, less the player's server load  "
              f"{ratio(p + server[k][0] - player, f + server['ffmpeg'][0] - player):>6}")


directory, env, server_pids = start_server()
player = None
try:
    player = Player(env)
    sink = subprocess.run(["pactl", "list", "short", "sinks"], env=env, capture_output=True, text=True).stdout
    log(f"server {SERVER} (pids {server_pids}); outputs: {sink.strip()}")
    results = live(env, server_pids) if "live" not in SKIP else None
    log("  offline encoder")
    encoder = offline() if "offline" not in SKIP else None
    log("  allocations")
    allocs = allocations(env, server_pids) if "allocs" not in SKIP else {}
    if results:
        cpu, server = print_live(results, library_floor(env))
    if encoder:
        print_offline(encoder)
    print("\nAllocations in steady state (LD_PRELOAD counter)")
    for k, (per_second, chunks) in allocs.items():
        per_chunk = f"{per_second / chunks:.1f}" if chunks else "-"
        print(f"  {k:8} {per_second:9.0f} per second, {chunks:6.1f} chunks per second, {per_chunk} per chunk")
    if results:
        print_ratios(cpu, server, encoder)
    if LONG > 0:
        long_run(env, server_pids)
finally:
    if player:
        player.stop()
    subprocess.run([SOUND_SERVER, "stop", str(directory)], check=False, timeout=60)
PY
