#!/usr/bin/env bash
# Frames per second of vidqual beside libvmaf's `vmaf` CLI, one row per metric, on a 1080p 8-bit
# Y4M pair (a test pattern and the same with a little noise; rows marked 10 take the same pair at
# 10 bits), at each thread count, best of RUNS runs, the two tools taking turns run after run.
# vidqual's column per thread count, its scaling from the first count to the last and its peak
# RSS; libvmaf's beside it where the row names a libvmaf feature and the CLI's path is given
# (without it the column says so and the script still times vidqual). Whole-process times: each
# tool's start-up counts (vidqual's is mostly the loading of FFmpeg's shared libraries).
#
# Usage: bench/compare_libvmaf.sh [dir] [vmaf-cli]    (default dir: /tmp/vidqual-bench)
# Environment: VIDQUAL (default ./build/vidqual), FRAMES (default 100), RUNS (default 3),
#              THREADS (default "1 2"), ROWS (names of rows to run; default all).
set -euo pipefail

dir=${1:-/tmp/vidqual-bench}
vmaf=${2:-}
vidqual=${VIDQUAL:-./build/vidqual}
frames=${FRAMES:-100}
runs=${RUNS:-3}
threads=${THREADS:-"1 2"}
only=${ROWS:-}

# One line per metric: its name, vidqual's options, libvmaf's (empty: libvmaf has no such
# metric), the pair's depth when it is not 8, and "textured" for the textured pair. A new metric
# is one more line.
rows=(
  "psnr|--metric=psnr|--feature psnr"
  "ssim|--ssim|"
  "integer_adm|--metric=integer_adm|--feature adm"
  "integer_vif|--metric=integer_vif|--feature vif"
  "float_ssim|--metric=float_ssim|--feature float_ssim"
  "float_ssim_full|--metric=float_ssim=scale=1|--feature float_ssim=scale=1"
  "float_ms_ssim|--metric=float_ms_ssim|--feature float_ms_ssim"
  "cambi|--metric=cambi|--feature cambi"
  "cambi_textured|--metric=cambi|--feature cambi||textured"
  "psnr_hvs|--metric=psnr_hvs|--feature psnr_hvs"
  "ciede|--metric=ciede|--feature ciede"
  "integer_motion|--metric=integer_motion|--feature motion"
  "vmaf|--metric=vmaf|--model version=vmaf_v0.6.1"
  "vmaf_neg|--metric=vmaf_neg|--model version=vmaf_v0.6.1neg"
  "vmaf_10bit|--metric=vmaf|--model version=vmaf_v0.6.1|10"
  "vmaf_neg_10bit|--metric=vmaf_neg|--model version=vmaf_v0.6.1neg|10"
  "speed_chroma|--metric=speed_chroma|--feature speed_chroma"
  "vmaf_b|--metric=vmaf=model=vmaf_b_v0.6.3|--model version=vmaf_b_v0.6.3"
  "vmaf_v1|--metric=vmaf=model=vmaf_v1.0.16_3d0h|--model version=vmaf_v1.0.16_3d0h"
  "vmaf_v1_10bit|--metric=vmaf=model=vmaf_v1.0.16_3d0h|--model version=vmaf_v1.0.16_3d0h|10"
  "vmaf_v1_textured|--metric=vmaf=model=vmaf_v1.0.16_3d0h|--model version=vmaf_v1.0.16_3d0h||textured"
  "vmaf_v1_10bit_textured|--metric=vmaf=model=vmaf_v1.0.16_3d0h|--model version=vmaf_v1.0.16_3d0h|10|textured"

  "ctc7_parts|--metric=psnr=reduced_hbd_peak=true:enable_apsnr=true:min_sse=0.5 --metric=float_ssim=scale=1:enable_db=true:clip_db=true --metric=float_ms_ssim=enable_db=true:clip_db=true --metric=psnr_hvs --metric=cambi|--feature psnr=reduced_hbd_peak=true:enable_apsnr=true:min_sse=0.5 --feature float_ssim=scale=1:enable_db=true:clip_db=true --feature float_ms_ssim=enable_db=true:clip_db=true --feature psnr_hvs --feature cambi"
  "aom_ctc_v6|--preset=aom-ctc-v6.0|--aom_ctc v6.0"
  "aom_ctc_v7|--preset=aom-ctc-v7.0|--aom_ctc v7.0"
)

command -v ffmpeg >/dev/null || { echo "ffmpeg not found" >&2; exit 1; }
[ -x /usr/bin/time ] || { echo "/usr/bin/time not found" >&2; exit 1; }
[ -x "$vidqual" ] || { echo "$vidqual not found: build it first (make)" >&2; exit 1; }
if [ -n "$vmaf" ] && [ ! -x "$vmaf" ]; then
  echo "$vmaf is not an executable; libvmaf's column is skipped" >&2
  vmaf=""
fi
[ -n "$vmaf" ] || echo "(no libvmaf CLI given: its column is skipped; pass its path as the second argument)"
mkdir -p "$dir"

# The pair at `depth` bits, made once: vmaf_FRAMES_{a,b}.y4m at 8 bits, vmafD_FRAMES_{a,b}.y4m
# at D; with `kind` "textured", the textured pair (a pattern under strong seeded noise, and its
# x264 CRF 30 encode decoded), vmaf_textured_FRAMES_{a,b}.y4m and so on, the deeper ones the 8-bit
# pair widened. Prints the two paths.
pair() {
  local depth=$1 kind=${2:-} tag=vmaf fmt=yuv420p
  if [ "$depth" != 8 ]; then tag=vmaf$depth fmt=yuv420p${depth}le; fi
  [ -z "$kind" ] || tag="${tag}_$kind"
  local a="$dir/${tag}_${frames}_a.y4m" b="$dir/${tag}_${frames}_b.y4m"
  if [ ! -s "$a" ] || [ ! -s "$b" ]; then
    echo "making the 1080p $depth-bit ${kind:-pattern} pair in $dir" >&2
    local src="testsrc2=size=1920x1080:rate=25"
    local ff=(ffmpeg -nostdin -v error -y)
    if [ "$kind" = textured ]; then
      local mp4="$dir/${tag}_${frames}.mp4"
      "${ff[@]}" -f lavfi -i "$src" -frames:v "$frames" -vf "noise=alls=12:allf=t,format=yuv420p" \
        -pix_fmt yuv420p "$dir/.t.y4m"
      "${ff[@]}" -i "$dir/.t.y4m" -c:v libx264 -crf 30 -threads 1 "$mp4"
      "${ff[@]}" -i "$dir/.t.y4m" -pix_fmt "$fmt" -strict -1 "$a"
      "${ff[@]}" -i "$mp4" -pix_fmt "$fmt" -strict -1 "$b"
      rm -f "$dir/.t.y4m" "$mp4"
    else
      "${ff[@]}" -f lavfi -i "$src" -frames:v "$frames" -pix_fmt "$fmt" -strict -1 "$a"
      "${ff[@]}" -f lavfi -i "$src" -frames:v "$frames" -vf "noise=alls=6:allf=t" \
        -pix_fmt "$fmt" -strict -1 "$b"
    fi
  fi
  cat "$a" "$b" >/dev/null  # warm the page cache
  echo "$a" "$b"
}

# One timed run: prints its wall time (seconds) and peak RSS (KiB); a failing command stops the
# script.
timed() {
  local out
  out=$(mktemp)
  if ! /usr/bin/time -o "$out" -f "%e %M" "$@" </dev/null >/dev/null 2>&1; then
    echo "failed: $*" >&2
    rm -f "$out"
    exit 1
  fi
  tail -1 "$out"
  rm -f "$out"
}
# The lesser of two times, the first when the second is empty.
best() { awk -v a="$1" -v b="$2" 'BEGIN{ print (b == "" || a + 0 < b + 0) ? a : b }'; }
fps() { awk -v n="$frames" -v t="$1" 'BEGIN{ if (t > 0) printf "%.0f", n / t; else print "inf" }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN{ if (b > 0) printf "%.2fx", a / b; else print "-" }'; }

header=$(printf "%-12s" metric)
for t in $threads; do header+=$(printf " %12s" "vq ${t}t"); done
header+=$(printf " %9s %7s" scaling "vq MiB")
for t in $threads; do header+=$(printf " %12s %8s" "vmaf ${t}t" "vq/vmaf"); done
echo "$header"
for row in "${rows[@]}"; do
  IFS='|' read -r name vq_args vmaf_args depth kind <<<"$row"
  if [ -n "$only" ] && [[ " $only " != *" $name "* ]]; then continue; fi
  read -r a b <<<"$(pair "${depth:-8}" "$kind")"
  line=$(printf "%-12s" "$name")
  # A preset whose metrics this build lacks yet is refused: its row says so.
  # shellcheck disable=SC2086
  if ! "$vidqual" "$a" "$b" 1 $vq_args </dev/null >/dev/null 2>&1; then
    echo "$line not scored by this build: $("$vidqual" "$a" "$b" 1 $vq_args </dev/null 2>&1 >/dev/null | head -1)"
    continue
  fi
  # A preset's or a model's libvmaf run predicts its models; a feature's row scores the feature alone.
  no_model=-n
  [[ "$vmaf_args" != *_ctc* && "$vmaf_args" != *--model* ]] || no_model=""
  # The two tools take turns, run after run, so that the machine's drift reaches both alike; each
  # keeps its best time. vidqual's peak RSS is the largest of its runs at the last thread count.
  declare -A ours=() theirs=()
  rss=0
  for t in $threads; do
    vq_best="" vmaf_best=""
    for _ in $(seq "$runs"); do
      # shellcheck disable=SC2086
      read -r s kib <<<"$(timed "$vidqual" "$a" "$b" $vq_args --threads="$t")"
      vq_best=$(best "$s" "$vq_best")
      [ "$t" != "${threads##* }" ] || [ "$kib" -le "$rss" ] || rss=$kib
      if [ -n "$vmaf" ] && [ -n "$vmaf_args" ]; then
        # shellcheck disable=SC2086
        read -r s _ <<<"$(timed "$vmaf" -r "$a" -d "$b" $vmaf_args $no_model --threads "$t" -q -o /dev/null)"
        vmaf_best=$(best "$s" "$vmaf_best")
      fi
    done
    ours[$t]=$(fps "$vq_best")
    [ -z "$vmaf_best" ] || theirs[$t]=$(fps "$vmaf_best")
  done
  first="" last=""
  for t in $threads; do
    line+=$(printf " %12s" "${ours[$t]} fps")
    [ -n "$first" ] || first=${ours[$t]}
    last=${ours[$t]}
  done
  line+=$(printf " %9s %7s" "$(ratio "$last" "$first")" "$((rss / 1024))")
  for t in $threads; do
    if [ -z "$vmaf" ]; then
      line+=$(printf " %12s %8s" "skipped" "-")
    elif [ -z "$vmaf_args" ]; then
      line+=$(printf " %12s %8s" "none" "-")
    else
      line+=$(printf " %12s %8s" "${theirs[$t]} fps" "$(ratio "${ours[$t]}" "${theirs[$t]}")")
    fi
  done
  echo "$line"
  unset ours theirs
done
echo "(frames per second of a $frames-frame 1080p pair, 8-bit unless the row says 10bit, best of $runs runs, the two tools"
echo " taking turns; scaling: vidqual's last thread count over its first; vq MiB: vidqual's peak RSS at the last thread"
echo " count; vq/vmaf: vidqual over libvmaf at the same thread count)"
