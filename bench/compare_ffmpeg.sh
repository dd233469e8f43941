#!/usr/bin/env bash
# Frames per second of vidqual beside FFmpeg's psnr filter on 300-frame 1080p pairs:
# uncompressed AVI files (24-bit RGB stored bottom-up, 32-bit RGB, YV12), Y4M at 8 and 10 bits,
# and encodes in MP4 (H.264 with B-frames) and MKV (10-bit HEVC). The "-ssim" rows run vidqual
# with --ssim (PSNR and SSIM together) beside FFmpeg's ssim filter alone. Also prints the rate at
# which `cat A B > /dev/null` reads the same pair (the ceiling for any tool that reads both
# files) and vidqual's peak resident memory.
#
# Usage: bench/compare_ffmpeg.sh [dir]     (default dir: /tmp/vidqual-bench)
# Environment: VIDQUAL (default ./build/vidqual), FRAMES (default 300), RUNS (best of, default 3),
#              FORMATS (default "rgb24 rgb32 yv12 y4m y4m10 h264 hevc10 rgb24-ssim yv12-ssim").
# The pairs are made once and kept in dir; delete it to make them again.
set -euo pipefail

dir=${1:-/tmp/vidqual-bench}
vidqual=${VIDQUAL:-./build/vidqual}
frames=${FRAMES:-300}
runs=${RUNS:-3}
formats=${FORMATS:-"rgb24 rgb32 yv12 y4m y4m10 h264 hevc10 rgb24-ssim yv12-ssim"}

command -v ffmpeg >/dev/null || { echo "ffmpeg not found" >&2; exit 1; }
[ -x /usr/bin/time ] || { echo "/usr/bin/time not found" >&2; exit 1; }
[ -x "$vidqual" ] || { echo "$vidqual not found: build it first (make)" >&2; exit 1; }
mkdir -p "$dir"

# The first file of a pair is the test picture, the second the same picture with a little noise,
# as a re-encoding would leave it.
# The file name extension of a pair's files.
ext() {
  case $1 in
    y4m | y4m10) echo y4m ;;
    h264) echo mp4 ;;
    hevc10) echo mkv ;;
    *) echo avi ;;
  esac
}

make_pair() {
  local fmt=$1 e
  e=$(ext "$fmt")
  local a="$dir/$1_a.$e" b="$dir/$1_b.$e" args
  [ -s "$a" ] && [ -s "$b" ] && return 0
  local src="testsrc2=size=1920x1080:rate=25"
  case $fmt in
    y4m | y4m10 | h264 | hevc10)
      case $fmt in
        y4m) args=(-pix_fmt yuv420p) ;;
        y4m10) args=(-pix_fmt yuv420p10le -strict -1) ;;
        h264) args=(-c:v libx264 -preset veryfast -bf 3 -crf 23 -pix_fmt yuv420p) ;;
        hevc10) args=(-c:v libx265 -preset ultrafast -crf 26 -pix_fmt yuv420p10le -x265-params log-level=error) ;;
      esac
      echo "making $fmt pair in $dir" >&2
      ffmpeg -nostdin -v error -y -f lavfi -i "$src" -frames:v "$frames" "${args[@]}" "$a"
      ffmpeg -nostdin -v error -y -f lavfi -i "$src" -frames:v "$frames" -vf "noise=alls=6:allf=t" \
        "${args[@]}" "$b"
      return 0
      ;;
    rgb24) args=(-pix_fmt bgr24 -flipped_raw_rgb 1) ;;
    rgb32) args=(-pix_fmt bgra -flipped_raw_rgb 1) ;;
    yv12) args=(-pix_fmt yuv420p -vtag YV12) ;;
  esac
  local flip=vflip
  # YV12 stores U after V: swap the planes so the file holds true YV12.
  [ "$fmt" = yv12 ] && flip=shuffleplanes=0:2:1
  echo "making $fmt pair in $dir" >&2
  ffmpeg -nostdin -v error -y -f lavfi -i "$src" -frames:v "$frames" -vf "$flip" \
    -c:v rawvideo "${args[@]}" "$a"
  ffmpeg -nostdin -v error -y -f lavfi -i "$src" -frames:v "$frames" \
    -vf "noise=alls=6:allf=t,$flip" -c:v rawvideo "${args[@]}" "$b"
}

# Best wall time (seconds) of $runs runs of a command and its largest peak RSS (KiB), as
# "time rss"; the command's output is discarded and a failing command stops the script.
measure() {
  local best="" rss=0 t m out
  out=$(mktemp)
  for _ in $(seq "$runs"); do
    if ! /usr/bin/time -o "$out" -f "%e %M" "$@" </dev/null >/dev/null 2>&1; then
      echo "failed: $*" >&2
      rm -f "$out"
      exit 1
    fi
    read -r t m <"$out"
    if [ -z "$best" ] || awk "BEGIN{exit !($t < $best)}"; then best=$t; fi
    [ "$m" -gt "$rss" ] && rss=$m
  done
  rm -f "$out"
  echo "$best $rss"
}

fps() { awk -v n="$frames" -v t="$1" 'BEGIN{ if (t > 0) printf "%.0f", n / t; else print "inf" }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN{ if (b > 0) printf "%.2f", a / b; else print "-" }'; }

printf "%-10s %10s %10s %7s %10s %9s %9s\n" pair vidqual ffmpeg ratio cat vq/cat "peak RSS"
for row in $formats; do
  fmt=${row%-ssim}
  make_pair "$fmt"
  e=$(ext "$fmt")
  a="$dir/${fmt}_a.$e" b="$dir/${fmt}_b.$e"
  # FFmpeg scores 8-bit pairs as 4:2:0 like vidqual, and deeper pairs at their own depth.
  conv="format=yuv420p"
  case $fmt in y4m10 | hevc10) conv="format=yuv420p10le" ;; esac
  filter=psnr vq_args=()
  if [ "$row" != "$fmt" ]; then filter=ssim vq_args=(--ssim); fi
  cat "$a" "$b" >/dev/null  # warm the page cache
  r_cat=$(measure sh -c "cat '$a' '$b' >/dev/null")
  r_vq=$(measure "$vidqual" "$a" "$b" "${vq_args[@]}")
  r_ff=$(measure ffmpeg -nostdin -i "$a" -i "$b" \
    -lavfi "[0:v]setpts=N,$conv[a];[1:v]setpts=N,$conv[b];[a][b]$filter" -f null -)
  read -r t_cat _ <<<"$r_cat"
  read -r t_vq rss <<<"$r_vq"
  read -r t_ff _ <<<"$r_ff"
  v=$(fps "$t_vq") f=$(fps "$t_ff") c=$(fps "$t_cat")
  printf "%-10s %10s %10s %7s %10s %9s %9s\n" "$row" "$v fps" "$f fps" "$(ratio "$v" "$f")x" \
    "$c fps" "$(ratio "$v" "$c")" "$((rss / 1024)) MiB"
done
echo "(frames per second of $frames-frame pairs, best of $runs runs; cat reads both files)"
