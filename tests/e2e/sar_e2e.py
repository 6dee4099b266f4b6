"""Helpers for driving the real recorder against private sound servers.

Everything here has a timeout: a misbehaving program or server must fail a test, never hang it.
"""

import contextlib
import ctypes
import json
import os
import re
import select
import signal
import socket
import subprocess
import tempfile
import threading
import time
from dataclasses import dataclass
from pathlib import Path

import numpy as np

REPO = Path(__file__).resolve().parents[2]
PROGRAM = os.environ.get("SAR_PROGRAM", str(REPO / "build" / "system-audio-recorder"))
SOUND_SERVER = os.environ.get("SAR_SOUND_SERVER", str(REPO / "tests" / "support" / "sound-server"))
PINNED_PLAYER = os.environ.get("SAR_PINNED_PLAYER", str(REPO / "build" / "tests" / "pinned_player"))

# Not UTC and not a whole-hour offset, so a name in UTC or a mangled offset shows.
TZ = "Asia/Kolkata"
RATE = 48000

# Frequencies far apart and not harmonics of each other, so one never passes for another.
TONE_A, TONE_B, TONE_C = 440.0, 1130.0, 1870.0


def run(cmd, env=None, timeout=30, check=True):
    return subprocess.run(cmd, env=env, timeout=timeout, check=check, stdin=subprocess.DEVNULL,
                          capture_output=True, text=True)


def short_tempdir(prefix):
    # Unix socket paths are limited to 108 bytes; pytest's tmp_path can be longer.
    return Path(tempfile.mkdtemp(prefix=prefix, dir="/tmp"))


def tone_file(freq, seconds=120):
    """A 16-bit stereo 48 kHz wav of a sine, made once per frequency."""
    cache = Path(tempfile.gettempdir()) / f"sar-e2e-tones-{os.getuid()}"
    cache.mkdir(exist_ok=True)
    path = cache / f"tone-{freq:g}-{seconds}.wav"
    if not path.exists():
        partial = path.with_suffix(f".{os.getpid()}.tmp.wav")
        run(["sox", "-n", "-r", str(RATE), "-c", "2", "-b", "16", str(partial), "synth", str(seconds), "sine",
             f"{freq:g}", "vol", "0.5"])
        partial.rename(path)
    return path


class Player:
    """A player of one audio file into one output (at 20 ms latency unless told), stopped by stop().
    A pinned player plays a tone of freq Hz into sink and the server never moves it elsewhere, so that
    each output can be told by its tone."""

    _counter = 0

    def __init__(self, server, path, sink=None, awake=True, latency_ms=20, pinned_freq=None):
        Player._counter += 1
        self.server = server
        self.sink = sink
        self.name = f"sar-e2e-player-{os.getpid()}-{Player._counter}"
        if pinned_freq:
            cmd = [PINNED_PLAYER, sink, f"{pinned_freq:g}", self.name]
        else:
            cmd = ["paplay", "-n", self.name] + ([f"--latency-msec={latency_ms}"] if latency_ms else [])
            cmd += (["-d", sink] if sink else []) + [str(path)]
        self.proc = subprocess.Popen(cmd, env=server.client_env(), stdin=subprocess.DEVNULL,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self._wait_playing(awake)

    def _wait_playing(self, awake, timeout=5.0):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.proc.poll() is not None:
                raise AssertionError(f"player {self.name} ended with status {self.proc.returncode}")
            out = run(["pactl", "-f", "json", "list", "sink-inputs"], env=self.server.client_env(), check=False)
            if out.returncode == 0:
                try:
                    inputs = json.loads(out.stdout or "[]")
                except json.JSONDecodeError:
                    inputs = []
                if any(i.get("properties", {}).get("application.name") == self.name and not i.get("corked")
                       for i in inputs):
                    if awake:
                        self._wait_output_awake(self.server.monitor(self.sink), deadline)
                    return
            time.sleep(0.02)
        self.stop()
        raise AssertionError(f"player {self.name} did not start playing within {timeout} s")

    def _wait_output_awake(self, monitor, deadline):
        """Waits until the output renders at the player's low latency. An idle PulseAudio null output
        sleeps in blocks of up to 2 s and takes a new latency only when it next wakes, so a player
        that has just connected may not be heard for that long."""
        probe = subprocess.Popen(["parec", "--latency-msec=10", "-d", monitor], env=self.server.client_env(),
                                 stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        try:
            ready, _, _ = select.select([probe.stdout], [], [], max(0.0, deadline - time.monotonic()))
            if not ready:
                raise AssertionError(f"{monitor} delivered nothing while {self.name} played")
        finally:
            probe.kill()
            probe.wait(timeout=5)

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(timeout=5)


class SoundServer:
    """A private sound server started through tests/support/sound-server."""

    def __init__(self, kind, directory, outputs=1):
        self.kind = kind
        self.dir = Path(directory)
        self.players = []
        self.alive = True
        run([SOUND_SERVER, "start", kind, str(self.dir), "--outputs", str(outputs)], timeout=60)
        self.env = {}
        for line in (self.dir / "env").read_text().splitlines():
            key, sep, value = line.partition("=")
            if sep:
                self.env[key.strip()] = value.strip().strip("'\"")
        assert self.env.get("PULSE_SERVER"), f"{self.dir}/env names no PULSE_SERVER"

    @property
    def pulse_server(self):
        return self.env["PULSE_SERVER"]

    def client_env(self):
        env = {"PATH": "/usr/bin:/bin", "HOME": str(self.dir), "XDG_RUNTIME_DIR": str(self.dir)}
        env.update(self.env)
        return env

    def pactl(self, *args):
        return run(["pactl", *args], env=self.client_env(), timeout=10).stdout

    def sinks(self):
        return [json_sink["name"] for json_sink in json.loads(self.pactl("-f", "json", "list", "sinks") or "[]")]

    def monitor(self, sink=None):
        sink = sink or self.default_sink()
        sinks = json.loads(self.pactl("-f", "json", "list", "sinks") or "[]")
        return next(s["monitor_source"] for s in sinks if s["name"] == sink)

    def default_sink(self):
        return self.pactl("get-default-sink").strip()

    def set_default_sink(self, sink, wait=True):
        """Makes sink the default output; with wait, returns once the server says so (PipeWire applies
        it a few milliseconds later)."""
        self.pactl("set-default-sink", sink)
        deadline = time.monotonic() + 5
        while wait and self.default_sink() != sink:
            assert time.monotonic() < deadline, f"the default output is not {sink} after 5 s"
            time.sleep(0.005)

    def module_of(self, sink):
        """The module index of the null output named sink."""
        for line in self.pactl("list", "short", "modules").splitlines():
            fields = line.split("\t")
            if len(fields) >= 3 and fields[1] == "module-null-sink" and f"sink_name={sink}" in fields[2].split():
                return fields[0]
        raise AssertionError(f"no null output {sink}")

    def remove_output(self, sink):
        self.pactl("unload-module", self.module_of(sink))

    def play(self, freq, sink=None, awake=True, latency_ms=20):
        """Plays a tone; with awake, returns once the output renders it."""
        player = Player(self, tone_file(freq), sink, awake, latency_ms)
        self.players.append(player)
        return player

    def play_pinned(self, freq, sink):
        """Plays a tone into sink, never moved to another output; returns once the output renders it."""
        player = Player(self, None, sink, True, pinned_freq=freq)
        self.players.append(player)
        return player

    def recording_streams(self):
        """The record streams connected to the server that are running (not corked)."""
        outputs = json.loads(self.pactl("-f", "json", "list", "source-outputs") or "[]")
        return [o for o in outputs if not o.get("corked")]

    def recording_streams_by_source(self):
        """(stream index, name of the source it takes its audio from) of each running record stream."""
        sources = {str(s["index"]): s["name"] for s in json.loads(self.pactl("-f", "json", "list", "sources") or "[]")}
        return [(int(o["index"]), sources.get(str(o.get("source")), "?")) for o in self.recording_streams()]

    def recorded_sources(self):
        """The names of the sources that running record streams take their audio from."""
        return sorted(source for _, source in self.recording_streams_by_source())

    def kill_recording_of(self, source):
        """Ends the record streams that take their audio from source, as a mixer's kill would (pactl
        has no such command: libpulse's own call)."""
        indices = [index for index, name in self.recording_streams_by_source() if name == source]
        assert indices, f"nothing records {source}"
        pa = ctypes.CDLL("libpulse.so.0")
        pa.pa_mainloop_new.restype = ctypes.c_void_p
        pa.pa_mainloop_get_api.restype = ctypes.c_void_p
        pa.pa_mainloop_get_api.argtypes = [ctypes.c_void_p]
        pa.pa_mainloop_iterate.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_void_p]
        pa.pa_mainloop_free.argtypes = [ctypes.c_void_p]
        pa.pa_context_new.restype = ctypes.c_void_p
        pa.pa_context_new.argtypes = [ctypes.c_void_p, ctypes.c_char_p]
        pa.pa_context_connect.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int, ctypes.c_void_p]
        pa.pa_context_get_state.argtypes = [ctypes.c_void_p]
        pa.pa_context_unref.argtypes = [ctypes.c_void_p]
        pa.pa_context_disconnect.argtypes = [ctypes.c_void_p]
        pa.pa_context_kill_source_output.restype = ctypes.c_void_p
        pa.pa_context_kill_source_output.argtypes = [ctypes.c_void_p, ctypes.c_uint32, ctypes.c_void_p, ctypes.c_void_p]
        pa.pa_operation_get_state.argtypes = [ctypes.c_void_p]
        pa.pa_operation_unref.argtypes = [ctypes.c_void_p]
        ready, failed, running = 4, 5, 0  # PA_CONTEXT_READY, PA_CONTEXT_FAILED, PA_OPERATION_RUNNING
        loop = pa.pa_mainloop_new()
        context = pa.pa_context_new(pa.pa_mainloop_get_api(loop), b"e2e-killer")
        try:
            assert pa.pa_context_connect(context, self.pulse_server.encode(), 0, None) == 0
            while (state := pa.pa_context_get_state(context)) not in (ready, failed):
                pa.pa_mainloop_iterate(loop, 1, None)
            assert state == ready, "cannot connect to the server"
            for index in indices:
                operation = pa.pa_context_kill_source_output(context, index, None, None)
                while pa.pa_operation_get_state(operation) == running:
                    pa.pa_mainloop_iterate(loop, 1, None)
                pa.pa_operation_unref(operation)
        finally:
            pa.pa_context_disconnect(context)
            pa.pa_context_unref(context)
            pa.pa_mainloop_free(loop)

    def wait_recorded_sources(self, expected, timeout=5.0):
        """Waits until the running record streams take exactly the expected sources."""
        deadline = time.monotonic() + timeout
        while (found := self.recorded_sources()) != sorted(expected):
            assert time.monotonic() < deadline, (
                f"recorded sources {found}, expected {sorted(expected)}; the default output is {self.default_sink()}")
            time.sleep(0.01)

    @contextlib.contextmanager
    def frozen(self):
        """Holds the server still (SIGSTOP): clients that ask it anything wait until the block ends."""
        # The process that answers clients is the last one sound-server started.
        pid = int((self.dir / "pids").read_text().split()[-1])
        os.kill(pid, signal.SIGSTOP)
        try:
            yield
        finally:
            os.kill(pid, signal.SIGCONT)

    def stop_players(self):
        for player in self.players:
            player.stop()
        self.players.clear()

    def kill(self):
        """Kills the server abruptly, as a crash would."""
        self.alive = False
        run([SOUND_SERVER, "kill", str(self.dir)], timeout=30, check=False)

    def stop(self):
        self.stop_players()
        if self.alive:
            self.alive = False
            run([SOUND_SERVER, "stop", str(self.dir)], timeout=30, check=False)


@dataclass
class Line:
    t: float  # seconds since the launch, on the monotonic clock
    text: str
    json: object  # the parsed object, or None for a plain line


def _parse(text):
    if not text.startswith("{"):
        return None
    try:
        return json.loads(text)
    except json.JSONDecodeError:
        return None


def signal_caught(pid, signum):
    """Whether the process has a handler installed for signum (its SigCgt mask)."""
    try:
        status = Path(f"/proc/{pid}/status").read_text()
    except OSError:
        return False
    match = re.search(r"^SigCgt:\s*([0-9a-f]+)$", status, re.M)
    return bool(match) and bool(int(match.group(1), 16) & (1 << (signum - 1)))


def signal_pending(pid, signum):
    """Whether signum is pending for the process (its ShdPnd mask)."""
    status = Path(f"/proc/{pid}/status").read_text()
    match = re.search(r"^ShdPnd:\s*([0-9a-f]+)$", status, re.M)
    return bool(match) and bool(int(match.group(1), 16) & (1 << (signum - 1)))


class Recorder:
    """The program run as a controlling program runs it: clean environment, stdout read line by line
    with arrival times, signals, bounded waits."""

    def __init__(self, args, pulse_server, workdir, fsize_limit=None, extra_env=None, launcher=(),
                 stdout_socket=False, program=None):
        home = Path(workdir) / "home"
        runtime = Path(workdir) / "run"
        home.mkdir(parents=True, exist_ok=True)
        runtime.mkdir(parents=True, exist_ok=True)
        runtime.chmod(0o700)
        env = {"PATH": "/usr/bin:/bin", "HOME": str(home), "XDG_RUNTIME_DIR": str(runtime), "TZ": TZ,
               "PULSE_SERVER": pulse_server}
        # Sanitizer builds take their options from the environment.
        env.update({k: v for k, v in os.environ.items() if re.match(r"(A|UB|T|L|M)SAN_OPTIONS$", k)})
        env.update(extra_env or {})

        def limit_file_size():
            # SIGXFSZ stays at its default action, which subprocess restores: ending the process
            # at a write beyond the limit.
            import resource
            resource.setrlimit(resource.RLIMIT_FSIZE, (fsize_limit, fsize_limit))

        self.args = list(args)
        self.lines = []
        self.stderr = b""
        self.sent = []  # (t, signal)
        self._cond = threading.Condition()
        self._eof = False
        self.t0 = time.monotonic()
        # Written to by close_stdout, to take the reader out of its wait.
        self._wake_r, self._wake_w = os.pipe()
        # Standard output is a pipe, or with stdout_socket one end of a socket pair.
        ours, theirs = socket.socketpair() if stdout_socket else (None, None)
        self.proc = subprocess.Popen([*launcher, str(program or PROGRAM), *self.args], env=env,
                                     stdin=subprocess.DEVNULL,
                                     stdout=theirs.fileno() if theirs else subprocess.PIPE, stderr=subprocess.PIPE,
                                     preexec_fn=limit_file_size if fsize_limit else None)
        if theirs:
            theirs.close()
        self._stdout = ours or self.proc.stdout
        self._threads = [threading.Thread(target=self._read_stdout, daemon=True),
                         threading.Thread(target=self._read_stderr, daemon=True)]
        for thread in self._threads:
            thread.start()

    def now(self):
        return time.monotonic() - self.t0

    def _read_stdout(self):
        fd = self._stdout.fileno()
        pending = b""
        while True:
            ready, _, _ = select.select([fd, self._wake_r], [], [])
            if self._wake_r in ready:
                break
            chunk = os.read(fd, 65536)
            if not chunk:
                break
            t = self.now()
            *complete, pending = (pending + chunk).split(b"\n")
            self._add_lines(t, complete)
        if pending:
            self._add_lines(self.now(), [pending])
        with self._cond:
            self._eof = True
            self._cond.notify_all()

    def _add_lines(self, t, raws):
        with self._cond:
            for raw in raws:
                text = raw.decode("utf-8", errors="replace")
                self.lines.append(Line(t, text, _parse(text)))
            self._cond.notify_all()

    def close_stdout(self, shutdown_only=False):
        """Closes the reading end of the program's standard output, as a controlling program that
        dies does; with shutdown_only, a socket is only shut down for reading (the program notices
        at its next write). Returns the moment."""
        os.write(self._wake_w, b"x")
        self._threads[0].join(timeout=5)
        if shutdown_only:
            self._stdout.shutdown(socket.SHUT_RD)
        else:
            self._stdout.close()
        return self.now()

    def _read_stderr(self):
        self.stderr = self.proc.stderr.read()

    def wait_code(self, code, timeout=5.0):
        """Waits for the response with this code and returns its line."""
        deadline = time.monotonic() + timeout
        with self._cond:
            while True:
                for line in self.lines:
                    if line.json and line.json.get("code") == code:
                        return line
                remaining = deadline - time.monotonic()
                if self._eof or remaining <= 0:
                    raise AssertionError(f"no {code} within {timeout} s; output so far: {self.texts()}"
                                         f"; stderr: {self.stderr[:2000]!r}")
                self._cond.wait(remaining)

    def wait_caught(self, signum, timeout=5.0):
        """Waits until the program handles signum, so that sending it no longer ends the process."""
        deadline = time.monotonic() + timeout
        while not signal_caught(self.proc.pid, signum):
            assert self.proc.poll() is None, f"ended with {self.proc.returncode}: {self.texts()}"
            assert time.monotonic() < deadline, f"signal {signum} not handled after {timeout} s"
            time.sleep(0.002)

    def wait_received(self, signum, timeout=5.0):
        """Waits until the program has taken signum off its pending set, so that a signal sent next
        cannot overtake it."""
        deadline = time.monotonic() + timeout
        while signal_pending(self.proc.pid, signum):
            assert time.monotonic() < deadline, f"signal {signum} still pending after {timeout} s"
            time.sleep(0.002)

    def wait_text(self, text, timeout=5.0):
        """Waits for a plain line."""
        deadline = time.monotonic() + timeout
        with self._cond:
            while not any(line.text == text for line in self.lines):
                remaining = deadline - time.monotonic()
                if self._eof or remaining <= 0:
                    raise AssertionError(f"no {text!r} within {timeout} s; output so far: {self.texts()}")
                self._cond.wait(remaining)

    def send(self, signum):
        self.sent.append((self.now(), signum))
        self.proc.send_signal(signum)

    def stop(self, timeout=10.0):
        """SIGINT, as a controlling program stops a recording; returns the RECORDING_STOPPED line."""
        self.wait_caught(signal.SIGINT)
        self.send(signal.SIGINT)
        line = self.wait_code("RECORDING_STOPPED", timeout)
        assert self.wait_exit(timeout) == 0
        return line

    def wait_exit(self, timeout=10.0):
        """Waits for the end of the process and of its output; returns the exit status."""
        try:
            self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait(timeout=5)
            raise AssertionError(f"{self.args} still running {timeout} s later; output: {self.texts()}")
        for thread in self._threads:
            thread.join(timeout=5)
        return self.proc.returncode

    def running(self):
        return self.proc.poll() is None

    def texts(self):
        with self._cond:
            return [line.text for line in self.lines]

    def responses(self):
        with self._cond:
            return [line.json for line in self.lines if line.json is not None]

    def close(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait(timeout=5)
        for thread in self._threads:
            thread.join(timeout=5)
        for stream in (self._stdout, self.proc.stderr):
            stream.close()
        for fd in (self._wake_r, self._wake_w):
            os.close(fd)


# --- checking the recording ----------------------------------------------------------------------


def probe(path):
    out = run(["ffprobe", "-v", "error", "-of", "json", "-show_format", "-show_streams", str(path)])
    info = json.loads(out.stdout)
    audio = [s for s in info.get("streams", []) if s.get("codec_type") == "audio"]
    assert len(audio) == 1, f"{path}: expected one audio stream, got {info.get('streams')}"
    return info["format"], audio[0]


def top_level_boxes(path):
    """The types of an MPEG-4 file's top-level boxes, in file order."""
    boxes = []
    with open(path, "rb") as f:
        size = os.fstat(f.fileno()).st_size
        offset = 0
        while offset + 8 <= size:
            f.seek(offset)
            header = f.read(16)
            length, kind = int.from_bytes(header[:4], "big"), header[4:8].decode("latin-1")
            if length == 1:
                length = int.from_bytes(header[8:16], "big")
            elif length == 0:
                length = size - offset
            assert length >= 8, f"{path}: broken box {kind!r} at {offset}"
            boxes.append(kind)
            offset += length
    return boxes


def check_plain_layout(path):
    """A finished file: the index (moov) before the audio (mdat), no fragments."""
    boxes = top_level_boxes(path)
    assert "moof" not in boxes and "mvex" not in boxes, boxes
    assert "moov" in boxes and "mdat" in boxes and boxes.index("moov") < boxes.index("mdat"), boxes


def decode(path):
    """The file's audio as float32 frames (n, 2), as a player would get it, or an AssertionError."""
    out = subprocess.run(["ffmpeg", "-v", "error", "-nostdin", "-i", str(path), "-f", "f32le", "-ac", "2", "-ar",
                          str(RATE), "-"], capture_output=True, timeout=60)
    assert out.returncode == 0 and not out.stderr, f"{path} does not decode cleanly: {out.stderr[-1000:]!r}"
    return np.frombuffer(out.stdout, dtype="<f4").reshape(-1, 2)


def check_format(path, sound=True):
    """AAC LC, 48000 Hz, stereo, about 128 kb/s (when there is sound: silence costs next to nothing);
    returns the container's duration in seconds."""
    fmt, stream = probe(path)
    assert stream["codec_name"] == "aac", stream
    assert stream.get("profile") == "LC", stream
    assert int(stream["sample_rate"]) == RATE, stream
    assert int(stream["channels"]) == 2, stream
    # A steady tone costs the encoder less than music: allow well below the nominal 128 kb/s.
    assert not sound or 90_000 <= int(stream["bit_rate"]) <= 150_000, stream
    return float(fmt["duration"])


def windows(frames, seconds=0.05):
    """(dominant frequency, rms) of each whole window of the mono mix."""
    mono = frames.mean(axis=1)
    size = int(RATE * seconds)
    taper = np.hanning(size)
    result = []
    for start in range(0, len(mono) - size + 1, size):
        chunk = mono[start:start + size]
        spectrum = np.abs(np.fft.rfft(chunk * taper))
        peak = int(np.argmax(spectrum[1:])) + 1
        result.append((peak * RATE / size, float(np.sqrt(np.mean(chunk**2)))))
    return result


def classify(frames, tones, seconds=0.05, tolerance=25.0, silence=0.01):
    """Labels each window with the tone it holds, "silence", or "other"."""
    labels = []
    for freq, rms in windows(frames, seconds):
        if rms < silence:
            labels.append("silence")
            continue
        near = [t for t in tones if abs(freq - t) <= tolerance]
        labels.append(near[0] if near else "other")
    return labels


def runs(labels):
    """Collapses labels into [(label, count)] runs."""
    result = []
    for label in labels:
        if result and result[-1][0] == label:
            result[-1][1] += 1
        else:
            result.append([label, 1])
    return [tuple(r) for r in result]


def assert_tone(frames, freq, allowed_bad=0.03):
    labels = classify(frames, [freq])
    assert labels, "no audio"
    bad = sum(1 for label in labels if label != freq)
    assert bad <= max(2, allowed_bad * len(labels)), f"not a steady {freq} Hz tone: {runs(labels)}"


def envelope(frames, freq, step=48, width=480):
    """The amplitude of the freq Hz component of the mono mix, every step samples, each measured over width
    samples around it with a Hann window (so that another tone does not leak in): (times in seconds,
    amplitudes; a sine of peak p gives p / 2)."""
    mono = frames.mean(axis=1).astype(np.float64)
    shifted = mono * np.exp(-2j * np.pi * freq * np.arange(len(mono)) / RATE)
    window = np.hanning(width)
    if len(shifted) < width:
        return np.zeros(0), np.zeros(0)
    amplitude = np.abs(np.lib.stride_tricks.sliding_window_view(shifted, width)[::step] @ window) / window.sum()
    times = (np.arange(len(amplitude)) * step + width / 2) / RATE
    return times, amplitude


def tone_segments(frames, tones, level=0.25, bridge=0.03):
    """[(tone, start, end)] in seconds: where each tone sounds at half its level or more (tones are played
    at peak 0.5, so level 0.25), in order of their start. Half the level is the middle of an edge that
    the encoder blurs, so an edge is placed within about a millisecond. Dips of a tone shorter than
    bridge (a player that a busy machine starved for a moment) do not split it."""
    segments = []
    for tone in tones:
        times, amplitude = envelope(frames, tone)
        present = np.concatenate([[False], amplitude >= level / 2, [False]])
        edges = np.flatnonzero(present[1:] != present[:-1])
        for start, end in zip(edges[::2], edges[1::2]):
            if segments and segments[-1][0] == tone and times[start] - segments[-1][2] <= bridge:
                segments[-1] = (tone, segments[-1][1], float(times[end - 1]))
            else:
                segments.append((tone, float(times[start]), float(times[end - 1])))
    return sorted(segments, key=lambda segment: segment[1])


def seams(segments):
    """For each change from one tone to another: the time from the end of the old one to the start of the
    new one (s). Positive: silence between them; negative: both sound at once."""
    return [(b[1] - a[2]) for a, b in zip(segments, segments[1:]) if a[0] != b[0]]
