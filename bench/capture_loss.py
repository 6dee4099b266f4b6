#!/usr/bin/python3
"""Does the recording hold everything that was played, and nothing twice?

    bench/capture_loss.py [--program PATH] [--servers pulse,pipewire] [--continuous 60]
                          [--paused 120] [--pauses 10] [--pause-length 1.0] [--verbose]

On each private sound server a known noise plays into the output. The recorder records it
(--continuous seconds without a pause, then --paused seconds with --pauses pauses), and parec
(10 ms latency) records the continuous part alongside, as the peer. Each file is decoded and
every 20 ms of it is located in the played noise by cross-correlation; where the position jumps,
audio was lost (a positive jump) or repeated (a negative one). Reported, in ms:
  - file length minus the unpaused time (RECORDING_STARTED to SIGINT, less the pauses);
  - holes: jumps outside pauses (count and sizes);
  - at each pause and resume: the audio played before SIGUSR1 that is missing (pause) and the
    audio played after SIGUSR2 that is missing (resume); at the stop, the audio played before
    SIGINT that is missing. Positive is lost, negative is extra (audio from outside the interval).
Positions in time come from the moment the RECORDING_STARTED line arrived, which the file's first
sample stands for.
"""

import argparse
import os
import signal
import subprocess
import sys
import time
import wave
from pathlib import Path

import numpy as np

REPO = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(REPO / "tests" / "e2e"))
import sar_e2e  # noqa: E402
from sar_e2e import RATE, Player, Recorder, SoundServer, decode, short_tempdir  # noqa: E402

STEP = 960  # 20 ms
# A player with room to spare, so that it seldom falls behind on a busy machine.
PLAYER_LATENCY_MS = 200
MATCH = 0.6  # normalised correlation of a window that sits where it was predicted


def make_noise(path, seconds, seed=8):
    """Noise below 6 kHz (so that AAC keeps it nearly intact), the same on both channels."""
    rng = np.random.default_rng(seed)
    n = int(seconds * RATE)
    spectrum = np.fft.rfft(rng.standard_normal(n))
    spectrum[int(6000 * n / RATE):] = 0
    mono = np.fft.irfft(spectrum, n)
    mono *= 0.3 / np.max(np.abs(mono))
    pcm = (mono * 32767).astype("<i2")
    with wave.open(str(path), "wb") as out:
        out.setnchannels(2)
        out.setsampwidth(2)
        out.setframerate(RATE)
        out.writeframes(np.repeat(pcm, 2).tobytes())
    return pcm.astype(np.float32) / 32767


def correlate(segment, window):
    """Normalised cross-correlation of window at every offset inside segment."""
    n = len(segment) + len(window)
    size = 1 << (n - 1).bit_length()
    raw = np.fft.irfft(np.fft.rfft(segment, size) * np.conj(np.fft.rfft(window, size)), size)
    raw = raw[:len(segment) - len(window) + 1]
    energy = np.cumsum(np.concatenate([[0.0], segment.astype(np.float64)**2]))
    local = np.sqrt(np.maximum(energy[len(window):] - energy[:-len(window)], 1e-12))
    return raw / (local * max(np.linalg.norm(window), 1e-12))


def track(recorded, ref, search_seconds):
    """[(file position, offset)] where offset = reference position - file position, one entry at
    the start and one at each jump."""
    size = 4 * STEP
    start = 0
    while start + size < len(recorded) and np.sqrt(np.mean(recorded[start:start + size]**2)) < 0.01:
        start += STEP
    scores = correlate(ref, recorded[start:start + size])
    offset = int(np.argmax(scores)) - start
    segments = [(0, offset)]
    span = int(search_seconds * RATE)
    pos = start
    while pos + STEP <= len(recorded):
        window = recorded[pos:pos + STEP]
        q = pos + offset
        if 0 <= q and q + STEP <= len(ref):
            r = ref[q:q + STEP]
            score = float(np.dot(window, r) / max(np.linalg.norm(window) * np.linalg.norm(r), 1e-12))
            if score >= MATCH:
                pos += STEP
                continue
        if np.sqrt(np.mean(window**2)) < 0.01:  # silence: nothing to locate
            pos += STEP
            continue
        lo = max(0, q - span)
        scores = correlate(ref[lo:q + span + STEP], window)
        best = int(np.argmax(scores))
        if scores[best] < MATCH:
            pos += STEP
            continue
        new = lo + best - pos
        # The jump lies inside the previous window: find the sample where the new offset begins.
        edge = pos
        for candidate in range(max(0, pos - STEP), pos + 1, 8):
            tail = recorded[candidate:candidate + STEP // 2]
            r = ref[candidate + new:candidate + new + len(tail)]
            if len(r) == len(tail) and np.dot(tail, r) / max(np.linalg.norm(tail) * np.linalg.norm(r), 1e-12) > 0.9:
                edge = candidate
                break
        segments.append((edge, new))
        offset = new
        pos += STEP
    return segments


def ms(samples):
    return samples * 1000.0 / RATE


def analyse(path_or_frames, ref, started, stopped, pauses):
    """pauses: [(t_pause, t_resume)] in the same clock as started/stopped (seconds)."""
    frames = decode(path_or_frames) if isinstance(path_or_frames, (str, Path)) else path_or_frames
    recorded = frames[:, 0].astype(np.float32)
    segments = track(recorded, ref, max([b - a for a, b in pauses], default=0) + 1.0)
    base = segments[0][1]  # the reference position of the file's first sample is `base`

    jumps = [(pos, new - old, old, new) for (pos, new), (_, old) in zip(segments[1:], segments[:-1])]
    # Each pause's jump: the one nearest the file position where the pause falls.
    pause_jumps = {}
    paused_before = 0.0
    for t_pause, t_resume in pauses:
        where = (t_pause - started - paused_before) * RATE
        paused_before += t_resume - t_pause
        free = [j for j in jumps if j[0] not in pause_jumps]
        if free:
            pause_jumps[min(free, key=lambda j: abs(j[0] - where))[0]] = (t_pause, t_resume)
    # Audio inserted upstream (a negative jump: the player or the server fell behind and silence
    # went out) delays everything after it; the timeline follows it so that it is not counted as a
    # loss at a later pause or at the stop.
    result = {"pauses": [], "holes": [], "inserted": []}
    delay = 0

    def expected(t):
        return base + (t - started) * RATE + delay

    for pos, size, old, new in jumps:
        if pos in pause_jumps:
            t_pause, t_resume = pause_jumps[pos]
            result["pauses"].append((ms(expected(t_pause) - (pos + old)), ms((pos + new) - expected(t_resume))))
        elif size > 0:
            result["holes"].append((round(pos / RATE, 2), round(ms(size), 2)))
        else:
            result["inserted"].append(round(ms(-size), 2))
            delay += size
    unpaused = (stopped - started) - sum(b - a for a, b in pauses)
    result["length"] = ms(len(recorded)) - unpaused * 1000
    last = segments[-1][1] + len(recorded)
    result["stop"] = ms(expected(stopped) - last)
    return result


def run_recorder(program, server, outdir, seconds, pauses, pause_length, peer_path=None):
    sar_e2e.PROGRAM = program
    peer = None
    if peer_path:
        peer = subprocess.Popen(["parec", "--latency-msec=10", "--format=float32le", "--rate=48000",
                                 "--channels=2", "--raw", "-d", server.monitor(), str(peer_path)],
                                env=server.client_env(), stdin=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    rec = Recorder(["--record", str(outdir)], server.pulse_server, outdir / "work")
    started = rec.wait_code("RECORDING_STARTED").t
    marks = []
    if pauses:
        # Equal recorded stretches with a pause after each but the last.
        stretch = (seconds - pauses * pause_length) / (pauses + 1)
        for _ in range(pauses):
            time.sleep(stretch)
            rec.send(signal.SIGUSR1)
            t_pause = rec.sent[-1][0]
            time.sleep(pause_length)
            rec.send(signal.SIGUSR2)
            marks.append((t_pause, rec.sent[-1][0]))
        time.sleep(stretch)
    else:
        time.sleep(seconds)
    line = rec.stop(timeout=30)
    stopped = rec.sent[-1][0]
    if peer:
        peer.send_signal(signal.SIGINT)
        peer.wait(timeout=10)
    del line
    return rec.lines[0].json["path"] if rec.lines[0].json else None, started, stopped, marks, rec


def describe(label, result, verbose=False):
    holes = result["holes"]
    inserted = result["inserted"]
    print(f"  {label:34} length {result['length']:+7.1f}  stop {result['stop']:+6.1f}  holes {len(holes)}"
          f" {[h[1] for h in holes][:6]}  inserted upstream {len(inserted)} {inserted[:6]}")
    if result["pauses"]:
        pause = [p for p, _ in result["pauses"]]
        resume = [r for _, r in result["pauses"]]
        print(f"  {'':34} at pause: median {np.median(pause):+6.1f} max {max(pause):+6.1f}"
              f"   at resume: median {np.median(resume):+6.1f} max {max(resume):+6.1f}")
    if verbose:
        print(f"  {'':34} each pause (pause, resume): {[(round(p, 1), round(r, 1)) for p, r in result['pauses']]}")
        print(f"  {'':34} holes (s into the file, ms): {holes}")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--program", default=str(REPO / "build" / "system-audio-recorder"))
    parser.add_argument("--servers", default="pulse,pipewire")
    parser.add_argument("--continuous", type=float, default=60)
    parser.add_argument("--paused", type=float, default=120)
    parser.add_argument("--pauses", type=int, default=10)
    parser.add_argument("--pause-length", type=float, default=1.0)
    parser.add_argument("--verbose", action="store_true", help="each pause, and where the holes are")
    args = parser.parse_args()

    work = short_tempdir("sar-loss-")
    longest = max(args.continuous, args.paused) + 30
    ref = make_noise(work / "noise.wav", longest)
    try:
        for kind in args.servers.split(","):
            server = SoundServer(kind, work / kind)
            try:
                print(f"{kind}: ms (+ lost, - extra)")
                for seconds, pauses in ((args.continuous, 0), (args.paused, args.pauses)):
                    if seconds <= 0:
                        continue
                    # Always from the noise's start, so that the reference covers the recording.
                    player = Player(server, work / "noise.wav", latency_ms=PLAYER_LATENCY_MS)
                    outdir = work / f"{kind}-{int(seconds)}-{pauses}"
                    outdir.mkdir()
                    peer = outdir / "parec.raw" if not pauses else None
                    path, started, stopped, marks, rec = run_recorder(args.program, server, outdir, seconds, pauses,
                                                                      args.pause_length, peer)
                    player.stop()
                    rec.close()
                    describe(f"recorder, {seconds:g} s, {pauses} pauses", analyse(path, ref, started, stopped, marks),
                             args.verbose)
                    if peer:
                        frames = np.fromfile(peer, dtype="<f4").reshape(-1, 2)
                        result = analyse(frames, ref, 0, len(frames) / RATE, [])
                        print(f"  {'parec (peer), same time':34} holes {len(result['holes'])}"
                              f" {[h[1] for h in result['holes']][:6]}  inserted upstream"
                              f" {len(result['inserted'])} {result['inserted'][:6]}")
                    sys.stdout.flush()
            finally:
                server.stop()
    finally:
        subprocess.run(["rm", "-rf", str(work)], check=False)


if __name__ == "__main__":
    main()
