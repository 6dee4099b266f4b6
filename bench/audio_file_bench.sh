#!/bin/bash
# Encodes the same generated stereo float PCM with our file writer (bench/encode_file) and with
# the ffmpeg command line, and compares CPU time per audio second and peak memory, measured by
# /usr/bin/time -v in the same run. Also times finish() for long recordings.
#
# usage: bench/audio_file_bench.sh [BUILD_DIR] [RUNS]
#   BUILD_DIR  a build configured with -DBUILD_BENCHMARKS=ON (default: build beside this dir)
#   RUNS       runs per program and length, the median is reported (default 3)
# Environment: BENCH_DIR (work directory, default a fresh one under /tmp, removed at the end),
#              FINISH_MINUTES (lengths for the finish timing, default "10 60").
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../build}
runs=${2:-3}
encode=$build/bench/encode_file
[ -x "$encode" ] || { echo "no $encode: cmake -DBUILD_BENCHMARKS=ON and build the encode_file target" >&2; exit 1; }

work=${BENCH_DIR:-$(mktemp -d /tmp/audio-file-bench.XXXXXX)}
[ -n "${BENCH_DIR:-}" ] || trap 'rm -rf "$work"' EXIT
mkdir -p "$work"

# Two tones and a little noise, different in each channel, so the encoder has real work.
generate() {  # minutes
  ffmpeg -v error -f lavfi \
    -i "aevalsrc=0.4*sin(2*PI*440*t)+0.1*sin(2*PI*3150*t)+0.03*(random(0)-0.5)|0.4*sin(2*PI*660*t)+0.1*sin(2*PI*5200*t)+0.03*(random(1)-0.5):s=48000:d=$(($1 * 60))" \
    -f f32le -c:a pcm_f32le -
}

# Prints "cpu_seconds peak_rss_kib" of a command, from /usr/bin/time -v.
measure() {
  local report=$work/time.txt
  /usr/bin/time -v -o "$report" "$@" 2>"$work/stderr.txt" >/dev/null
  awk -F': ' '/User time/ {u=$2} /System time/ {s=$2} /Maximum resident/ {m=$2}
              END {printf "%.3f %d\n", u + s, m}' "$report"
}

median() { sort -n | awk '{v[NR]=$1} END {print v[int((NR + 1) / 2)]}'; }

declare -A cpu rss
for minutes in 1 10; do
  pcm=$work/in-$minutes.f32
  generate "$minutes" >"$pcm"
  for run in $(seq "$runs"); do
    read -r c m < <(measure "$encode" "$pcm" "$work/ours.m4a")
    cpu[ours,$minutes]+="$c "; rss[ours,$minutes]+="$m "
    read -r c m < <(measure ffmpeg -v error -y -f f32le -ar 48000 -ac 2 -i "$pcm" -c:a aac -b:a 128k "$work/ffmpeg.m4a")
    cpu[ffmpeg,$minutes]+="$c "; rss[ffmpeg,$minutes]+="$m "
  done
  rm -f "$pcm"
done

printf '%-8s %8s %14s %14s %16s\n' program minutes cpu_s "cpu_ms/audio_s" peak_rss_kib
for minutes in 1 10; do
  for program in ours ffmpeg; do
    c=$(tr ' ' '\n' <<<"${cpu[$program,$minutes]}" | grep . | median)
    m=$(tr ' ' '\n' <<<"${rss[$program,$minutes]}" | grep . | median)
    printf '%-8s %8d %14.3f %14.3f %16d\n' "$program" "$minutes" "$c" "$(awk "BEGIN {print $c * 1000 / ($minutes * 60)}")" "$m"
    eval "med_${program}_${minutes}=$c rss_${program}_${minutes}=$m"
  done
done
awk "BEGIN {printf \"cpu ratio ours/ffmpeg: 1 min %.3f, 10 min %.3f\n\", $med_ours_1 / $med_ffmpeg_1, $med_ours_10 / $med_ffmpeg_10}"
awk "BEGIN {printf \"peak rss 10 min / 1 min: ours %.3f, ffmpeg %.3f\n\", $rss_ours_10 / $rss_ours_1, $rss_ffmpeg_10 / $rss_ffmpeg_1}"

# finish(): drain, trailer and the conversion into a plain file, timed inside the program.
for minutes in ${FINISH_MINUTES:-10 60}; do
  generate "$minutes" | "$encode" /dev/stdin "$work/long.m4a" 2>"$work/stderr.txt" >/dev/null
  echo "finish() after $minutes min: $(grep -o 'finish_seconds=[0-9.e-]*' "$work/stderr.txt" | cut -d= -f2) s," \
    "peak rss before/after finish $(grep -o 'before_finish=[0-9]*' "$work/stderr.txt" | cut -d= -f2)/$(grep -o ' peak_rss_kib=[0-9]*' "$work/stderr.txt" | cut -d= -f2) KiB," \
    "file $(stat -c %s "$work/long.m4a") bytes," \
    "ffprobe duration $(ffprobe -v error -show_entries format=duration -of csv=p=0 "$work/long.m4a") s"
  rm -f "$work/long.m4a"
done
