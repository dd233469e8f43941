#!/usr/bin/env bash
# Frames per second of vidqual's RGB metrics beside libjxl's tools (`ssimulacra2`,
# `butteraugli_main`) on one thread, on a 1080p 8-bit pair (a test pattern and the same with a
# little noise): vidqual reads the Y4M pair, converts each picture to RGB and scores it; the tools
# score the PNGs FFmpeg's CLI writes of the same frames, one process per frame pair, as people
# run them (their PNG decoding counts: the tools have no way to leave it out). Best of RUNS runs,
# the two taking turns. Without the tools' folder the tools' column says so.
#
# Usage: bench/compare_jxl.sh [dir] [jxl-tools-dir]    (default dir: /tmp/vidqual-bench)
# Environment: VIDQUAL (default ./build/vidqual), FRAMES (default 10), RUNS (default 2).
set -euo pipefail

dir=${1:-/tmp/vidqual-bench}
tools=${2:-}
vidqual=${VIDQUAL:-./build/vidqual}
frames=${FRAMES:-10}
runs=${RUNS:-2}

# One line per metric: its name, vidqual's options, the tools that score it ('+' between two).
# The last row is the one decode of each input serving both RGB metrics, VMAF v0.6.1 and PSNR,
# beside the two tools alone (libvmaf's time not added).
rows=(
  "ssimulacra2|--metric=ssimulacra2|ssimulacra2"
  "butteraugli|--metric=butteraugli|butteraugli_main"
  "both+vmaf|--metric=ssimulacra2 --metric=butteraugli --metric=vmaf|ssimulacra2+butteraugli_main"
)

command -v ffmpeg >/dev/null || { echo "ffmpeg not found" >&2; exit 1; }
[ -x /usr/bin/time ] || { echo "/usr/bin/time not found" >&2; exit 1; }
[ -x "$vidqual" ] || { echo "$vidqual not found: build it first (make)" >&2; exit 1; }
if [ -n "$tools" ] && { [ ! -x "$tools/ssimulacra2" ] || [ ! -x "$tools/butteraugli_main" ]; }; then
  echo "$tools holds no ssimulacra2 and butteraugli_main; the tools' column is skipped" >&2
  tools=""
fi
[ -n "$tools" ] || echo "(no libjxl tools given: their column is skipped; pass their folder as the second argument)"
mkdir -p "$dir"

a="$dir/jxl_${frames}_a.y4m" b="$dir/jxl_${frames}_b.y4m" png="$dir/jxl_${frames}_png"
if [ ! -s "$a" ] || [ ! -s "$b" ]; then
  echo "making the 1080p pair in $dir" >&2
  src="testsrc2=size=1920x1080:rate=25"
  ffmpeg -nostdin -v error -y -f lavfi -i "$src" -frames:v "$frames" -pix_fmt yuv420p "$a"
  ffmpeg -nostdin -v error -y -f lavfi -i "$src" -frames:v "$frames" -vf "noise=alls=6:allf=t" \
    -pix_fmt yuv420p "$b"
  rm -rf "$png"
fi
if [ -n "$tools" ] && [ ! -d "$png" ]; then
  mkdir -p "$png"
  ffmpeg -nostdin -v error -y -i "$a" -vf format=rgb24 "$png/a%05d.png"
  ffmpeg -nostdin -v error -y -i "$b" -vf format=rgb24 "$png/b%05d.png"
fi
cat "$a" "$b" >/dev/null  # warm the page cache

# Wall seconds of one run of the command; a failing command stops the script.
timed() {
  local out
  out=$(mktemp)
  if ! /usr/bin/time -o "$out" -f "%e" "$@" </dev/null >/dev/null 2>&1; then
    echo "failed: $*" >&2
    rm -f "$out"
    exit 1
  fi
  tail -1 "$out"
  rm -f "$out"
}
best() { awk -v a="$1" -v b="$2" 'BEGIN{ print (b == "" || a + 0 < b + 0) ? a : b }'; }
fps() { awk -v n="$frames" -v t="$1" 'BEGIN{ if (t > 0) printf "%.2f", n / t; else print "inf" }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN{ if (b > 0) printf "%.2fx", a / b; else print "-" }'; }

printf "%-12s %14s %14s %8s\n" metric "vq 1t" "libjxl 1t" "vq/jxl"
for row in "${rows[@]}"; do
  IFS='|' read -r name vq_args tool <<<"$row"
  line=$(printf "%-12s" "$name")
  # shellcheck disable=SC2086
  if ! "$vidqual" "$a" "$b" 1 $vq_args </dev/null >/dev/null 2>&1; then
    echo "$line not scored by this build: $("$vidqual" "$a" "$b" 1 $vq_args </dev/null 2>&1 >/dev/null | head -1)"
    continue
  fi
  vq_best="" jxl_best=""
  for _ in $(seq "$runs"); do
    # shellcheck disable=SC2086
    vq_best=$(best "$(timed "$vidqual" "$a" "$b" $vq_args --threads=1)" "$vq_best")
    if [ -n "$tools" ]; then
      # shellcheck disable=SC2046,SC2016
      s=$(timed bash -c 'for p in "$1"/a*.png; do for t in "${@:2}"; do "$t" "$p" "$1/b${p##*/a}" >/dev/null; done; done' _ \
        "$png" $(printf "$tools/%s " ${tool//+/ }))
      jxl_best=$(best "$s" "$jxl_best")
    fi
  done
  ours=$(fps "$vq_best")
  if [ -n "$tools" ]; then
    theirs=$(fps "$jxl_best")
    line+=$(printf " %14s %14s %8s" "$ours fps" "$theirs fps" "$(ratio "$ours" "$theirs")")
  else
    line+=$(printf " %14s %14s %8s" "$ours fps" "skipped" "-")
  fi
  echo "$line"
done
echo "(frames per second of a $frames-frame 1080p 8-bit pair on one thread, best of $runs runs; libjxl's tools"
echo " on FFmpeg's PNGs of the same frames, one process per pair, PNG decoding included)"
