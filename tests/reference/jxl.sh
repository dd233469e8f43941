#!/usr/bin/env bash
# jxl.sh TOOLS_DIR [PAIR ...]: remakes the reference values under tests/reference/jxl/ with
# libjxl's `ssimulacra2` and `butteraugli_main` (libjxl v0.12.0 with highway 1.2.0, built from
# their public repositories; Debian's older libjxl tools give other numbers). For each pair of the
# table below (made by inputs.sh in $VQ_REFERENCE_WORK, /tmp/vidqual-reference by default), FFmpeg's
# CLI writes every frame of both files as PNG (format=rgb24, or rgb48be above 8 bits), each tool
# scores every PNG pair, and PAIR.json holds each frame's `ssimulacra2`, `butteraugli` (the max
# norm) and `butteraugli_3norm` with every digit the tools print, in libvmaf's log layout. Given
# PAIRs, only theirs are made. Without the tools it says so and exits 77, the status the test
# runner counts as skipped.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
tools=${1:-}
shift || true
only=("$@")
work=${VQ_REFERENCE_WORK:-/tmp/vidqual-reference}
if [ -z "$tools" ] || [ ! -x "$tools/ssimulacra2" ] || [ ! -x "$tools/butteraugli_main" ]; then
  echo "jxl.sh: no libjxl tools given (build ssimulacra2 and butteraugli_main and pass their" \
    "folder); skipped" >&2
  exit 77
fi
mkdir -p "$here/jxl"
ffm=(ffmpeg -nostdin -loglevel error -y -threads 1)

# Every frame of FILE as OUT/NNNNN.png, in the RGB form FFmpeg's PNG of it has.
pngs() {
  local file=$1 out=$2 fmt
  fmt=$(ffprobe -v error -select_streams v:0 -show_entries stream=pix_fmt -of csv=p=0 "$file")
  local rgb=rgb24
  [[ $fmt =~ p(9|10|12|14|16) ]] && rgb=rgb48be
  mkdir -p "$out"
  "${ffm[@]}" -i "$file" -vsync 0 -vf "format=$rgb" "$out/%05d.png"
}

# One reference file: NAME PAIR [DIST]: NAME.json for pair PAIR's reference against DIST (a file
# under media/) or the pair's own distorted file.
ref() {
  local name=$1 pair=$2 dist=${3:-}
  if [ ${#only[@]} -gt 0 ] && [[ " ${only[*]} " != *" $name "* ]]; then return 0; fi
  bash "$here/inputs.sh" "$work" "$pair"
  local a="$work/$pair.ref.y4m" b="$work/$pair.dist.y4m"
  [ -z "$dist" ] || b="$here/media/$dist"
  local t
  t=$(mktemp -d)
  pngs "$a" "$t/a"
  pngs "$b" "$t/b"
  local frames=() n=0
  for pa in "$t"/a/*.png; do
    local pb="$t/b/$(basename "$pa")"
    [ -f "$pb" ] || break
    local s2 ba max norm3
    s2=$("$tools/ssimulacra2" "$pa" "$pb")
    ba=$("$tools/butteraugli_main" "$pa" "$pb")
    max=$(printf '%s\n' "$ba" | head -n 1)
    norm3=$(printf '%s\n' "$ba" | sed -n 's/^3-norm: //p')
    frames+=("{\"frameNum\": $n, \"metrics\": {\"ssimulacra2\": $s2, \"butteraugli\": $max, \"butteraugli_3norm\": $norm3}}")
    n=$((n + 1))
  done
  rm -rf "$t"
  {
    echo "{"
    echo "  \"tools\": \"libjxl v0.12.0 ssimulacra2, butteraugli_main\","
    echo "  \"frames\": ["
    local i
    for i in "${!frames[@]}"; do
      if [ "$i" -lt $((${#frames[@]} - 1)) ]; then echo "    ${frames[$i]},"; else echo "    ${frames[$i]}"; fi
    done
    echo "  ]"
    echo "}"
  } >"$here/jxl/$name.json"
  echo "$name.json ($n frames)"
}

# The table: one line per reference file.
ref p8_176x144 p8_176x144                          # 8-bit 4:2:0
ref p10_176x144 p10_176x144                        # 10-bit 4:2:0, through 16-bit RGB
ref p8_odd_177x99 p8_odd_177x99                    # odd sizes
ref p10_odd_161x97 p10_odd_161x97
ref p8_444_64x48 p8_444_64x48                      # 4:4:4
ref p8_min_11x11 p8_min_11x11                      # too small for the coarser scales
ref p8_same_64x48 p8_same_64x48                    # equal pictures
ref p8_1080p p8_1080p                              # 1080p, a pattern under noise, 3 frames
ref p8_textured_1080p p8_textured_1080p            # 1080p with grain everywhere, 3 frames
ref p8_x264_176x144 p8_x264_176x144 p8_x264_176x144.mp4  # an H.264 encode in MP4 against its source
