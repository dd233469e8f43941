#!/usr/bin/env bash
# inputs.sh OUTDIR [NAME ...]: makes the Y4M pairs the reference values are computed on, with
# FFmpeg's CLI, deterministically (synthetic sources, seeded noise, an MJPEG round trip; no
# encoder threads). Each pair is OUTDIR/NAME.ref.y4m and OUTDIR/NAME.dist.y4m. With no NAME,
# every pair. Existing files are kept.
set -euo pipefail
out=${1:?usage: inputs.sh OUTDIR [NAME ...]}
shift
mkdir -p "$out"

# NAME SIZE FRAMES PIX_FMT [CROP [GRAIN]]: a moving test pattern, and its distorted twin (an MJPEG
# round trip at a low quality, then light blur and seeded noise), both in PIX_FMT. The pattern
# generator rounds odd sizes down to even ones; CROP (W:H) cuts the pattern to a size that stays
# odd. GRAIN (a noise strength) gives the pattern itself seeded grain: real texture at every
# sample, which the variance terms of SpEED and the RGB metrics' masking need.
pair() {
  local name=$1 size=$2 frames=$3 fmt=$4 crop=${5:-} grain=${6:-}
  [ -s "$out/$name.ref.y4m" ] && [ -s "$out/$name.dist.y4m" ] && return 0
  # Made under names of this process and renamed into place, so that tests running at once
  # never read a pair half written.
  local t="$out/.$name.$$"
  local ffm=(ffmpeg -nostdin -loglevel error -y -threads 1)
  local vf="format=$fmt"
  [ -z "$crop" ] || vf="crop=$crop:0:0:exact=1,$vf"
  [ -z "$grain" ] || vf="noise=alls=$grain:allf=t,$vf"
  "${ffm[@]}" -f lavfi -i "testsrc2=size=$size:rate=25" -frames:v "$frames" -vf "$vf" \
    -pix_fmt "$fmt" -strict -1 "$t.ref.y4m"
  "${ffm[@]}" -i "$t.ref.y4m" -vf format=yuvj420p -c:v mjpeg -q:v 12 -f avi "$t.avi"
  "${ffm[@]}" -i "$t.avi" \
    -vf "scale=out_range=tv,format=$fmt,gblur=sigma=0.6,noise=alls=6:allf=t" \
    -pix_fmt "$fmt" -strict -1 "$t.dist.y4m"
  rm -f "$t.avi"
  mv -f "$t.ref.y4m" "$out/$name.ref.y4m"
  mv -f "$t.dist.y4m" "$out/$name.dist.y4m"
}

# NAME SIZE FRAMES PIX_FMT: a pair whose second file is the first.
same() {
  local name=$1
  pair "$@"
  cmp -s "$out/$name.ref.y4m" "$out/$name.dist.y4m" && return 0
  cp "$out/$name.ref.y4m" "$out/.$name.$$.dist.y4m"
  mv -f "$out/.$name.$$.dist.y4m" "$out/$name.dist.y4m"
}

# NAME SIZE FRAMES PIX_FMT STEP: a smooth drifting luma gradient, and its twin with the gradient
# quantised to multiples of STEP sample levels (flat chroma), the banding coarse quantisation
# leaves; both in PIX_FMT. Made with geq, so every sample is an exact function of its position.
band() {
  local name=$1 size=$2 frames=$3 fmt=$4 step=$5
  [ -s "$out/$name.ref.y4m" ] && [ -s "$out/$name.dist.y4m" ] && return 0
  local t="$out/.$name.$$"
  local ffm=(ffmpeg -nostdin -loglevel error -y -threads 1)
  local peak=1
  case $fmt in *10le) peak=4 ;; *12le) peak=16 ;; *16le) peak=256 ;; esac
  local g="($peak*(40+60*X/W+25*Y/H+3*T+8*sin(X/37)))"
  local c="(128*$peak)"
  "${ffm[@]}" -f lavfi -i "nullsrc=size=$size:rate=25,format=$fmt,geq=lum='$g':cb='$c':cr='$c'" \
    -frames:v "$frames" -pix_fmt "$fmt" -strict -1 "$t.ref.y4m"
  "${ffm[@]}" -f lavfi \
    -i "nullsrc=size=$size:rate=25,format=$fmt,geq=lum='$step*floor($g/$step)':cb='$c':cr='$c'" \
    -frames:v "$frames" -pix_fmt "$fmt" -strict -1 "$t.dist.y4m"
  mv -f "$t.ref.y4m" "$out/$name.ref.y4m"
  mv -f "$t.dist.y4m" "$out/$name.dist.y4m"
}

# NAME SIZE FRAMES: a moving test pattern, and the decode of NAME.mp4 under media/ beside this
# script, an encode of that pattern committed as it is: an encoder's bytes differ between its
# versions, a decoder's pictures of one file do not. The file was made with
#   ffmpeg -threads 1 -f lavfi -i testsrc2=size=SIZE:rate=25 -frames:v FRAMES -pix_fmt yuv420p \
#     src.y4m
#   ffmpeg -threads 1 -i src.y4m -c:v libx264 -preset medium -bf 2 -crf 30 -fflags +bitexact \
#     -flags:v +bitexact -map_metadata -1 NAME.mp4
# (libx264 core 164 in FFmpeg 5.1). The decode keeps every picture in presentation order (-vsync 0).
encoded() {
  local name=$1 size=$2 frames=$3
  [ -s "$out/$name.ref.y4m" ] && [ -s "$out/$name.dist.y4m" ] && return 0
  local t="$out/.$name.$$"
  local ffm=(ffmpeg -nostdin -loglevel error -y -threads 1)
  local media
  media="$(cd "$(dirname "$0")" && pwd)/media/$name.mp4"
  "${ffm[@]}" -f lavfi -i "testsrc2=size=$size:rate=25" -frames:v "$frames" -pix_fmt yuv420p \
    "$t.ref.y4m"
  "${ffm[@]}" -i "$media" -vsync 0 -pix_fmt yuv420p "$t.dist.y4m"
  mv -f "$t.ref.y4m" "$out/$name.ref.y4m"
  mv -f "$t.dist.y4m" "$out/$name.dist.y4m"
}

# NAME SIZE FRAMES MEDIA: a ladder's rung. The source at SIZE, and the committed encode
# media/MEDIA.mp4 of a smaller size decoded and scaled up to SIZE with FFmpeg's bicubic scale
# filter (libswscale), as --scale=bicubic scales it.
scaled() {
  local name=$1 size=$2 frames=$3 media=$4
  [ -s "$out/$name.ref.y4m" ] && [ -s "$out/$name.dist.y4m" ] && return 0
  local t="$out/.$name.$$"
  local ffm=(ffmpeg -nostdin -loglevel error -y -threads 1)
  local file
  file="$(cd "$(dirname "$0")" && pwd)/media/$media.mp4"
  "${ffm[@]}" -f lavfi -i "testsrc2=size=$size:rate=25" -frames:v "$frames" -pix_fmt yuv420p \
    "$t.ref.y4m"
  "${ffm[@]}" -i "$file" -vsync 0 -frames:v "$frames" -vf "scale=${size/x/:}:flags=bicubic" \
    -pix_fmt yuv420p "$t.dist.y4m"
  mv -f "$t.ref.y4m" "$out/$name.ref.y4m"
  mv -f "$t.dist.y4m" "$out/$name.dist.y4m"
}

# NAME SIZE FRAMES SMALL: a ladder's rung made without a codec: a moving test pattern, and the
# same scaled down to SMALL (area) and back up to SIZE (bicubic) with FFmpeg's scale filter.
rung() {
  local name=$1 size=$2 frames=$3 small=$4
  [ -s "$out/$name.ref.y4m" ] && [ -s "$out/$name.dist.y4m" ] && return 0
  local t="$out/.$name.$$"
  local ffm=(ffmpeg -nostdin -loglevel error -y -threads 1)
  "${ffm[@]}" -f lavfi -i "testsrc2=size=$size:rate=25" -frames:v "$frames" -pix_fmt yuv420p \
    "$t.ref.y4m"
  "${ffm[@]}" -i "$t.ref.y4m" \
    -vf "scale=${small/x/:}:flags=area,scale=${size/x/:}:flags=bicubic,noise=alls=4:allf=t" \
    -pix_fmt yuv420p "$t.dist.y4m"
  mv -f "$t.ref.y4m" "$out/$name.ref.y4m"
  mv -f "$t.dist.y4m" "$out/$name.dist.y4m"
}

make_one() {
  case $1 in
    p8_176x144) pair "$1" 176x144 12 yuv420p ;;        # 8-bit, moving, long enough for motion
    p8_odd_177x99) pair "$1" 177x99 4 yuv420p ;;        # odd sizes
    p8_444_64x48) pair "$1" 64x48 3 yuv444p ;;
    p8_422_96x64) pair "$1" 96x64 3 yuv422p ;;
    p10_176x144) pair "$1" 176x144 6 yuv420p10le ;;     # 10-bit
    p10_odd_161x97) pair "$1" 161x97 3 yuv420p10le ;;
    p12_96x64) pair "$1" 96x64 3 yuv420p12le ;;
    p8_1080p) pair "$1" 1920x1080 3 yuv420p ;;          # where float_ssim shrinks by default
    p8_textured_1080p) pair "$1" 1920x1080 3 yuv420p "" 12 ;;  # 1080p with grain everywhere
    p8_crop_177x99) pair "$1" 178x100 4 yuv444p 177:99 ;;  # odd sizes (4:4:4: libvmaf misreads odd 4:2:0)
    p8_min_33x33) pair "$1" 34x34 3 yuv444p 33:33 ;;  # integer_adm's smallest size
    p8_same_64x48) same "$1" 64x48 2 yuv420p ;;         # equal pictures: every metric's ceiling
    p10_same_64x48) same "$1" 64x48 2 yuv420p10le ;;
    p8_min_11x11) pair "$1" 12x12 3 yuv444p 11:11 ;;  # float_ssim's smallest size (its window)
    p8_min_176x176) pair "$1" 176x176 3 yuv420p ;;   # float_ms_ssim's smallest size
    p10_odd_177x177) pair "$1" 178x178 3 yuv444p10le 177:177 ;;  # float_ms_ssim, odd, 10-bit
    p8_216x2) band "$1" 216x2 3 yuv444p 1 ;;            # the smallest picture cambi scores
    p8_band_odd_333x217) band "$1" 333x217 3 yuv444p 1 ;;  # banding; odd sizes as 4:4:4
    p10_band_odd_301x219) band "$1" 301x219 3 yuv444p10le 4 ;;
    p10_band_320x216) band "$1" 320x216 3 yuv420p10le 4 ;;
    p12_band_422_240x216) band "$1" 240x216 2 yuv422p12le 16 ;;
    p8_band_1080p) band "$1" 1920x1080 3 yuv420p 1 ;;
    p8_min_8x8) pair "$1" 16x16 3 yuv444p 8:8 ;;      # psnr_hvs's smallest 4:4:4 (one 8x8 block)
    p8_min_16x16) pair "$1" 16x16 3 yuv420p ;;        # psnr_hvs's smallest even 4:2:0, integer_vif's smallest
    p16_64x48) pair "$1" 64x48 3 yuv420p16le ;;        # 16-bit (ciede)
    p8_min_2x2) pair "$1" 16x16 2 yuv420p 2:2 ;;      # one chroma sample (ciede has no smallest size)
    p10_640x360) pair "$1" 640x360 8 yuv420p10le ;;    # VMAF v1: chroma for SpEED at half size
    p10_odd_321x241) pair "$1" 322x242 8 yuv444p10le 321:241 ;;  # ... at odd sizes
    p8_2160p) pair "$1" 3840x2160 2 yuv420p ;;          # the 4K models at their size
    p8_band_2160p) band "$1" 3840x2160 2 yuv420p 1 ;;
    p8_rung_640x360) rung "$1" 640x360 6 320x180 ;;   # a rung of 320x180 shown at 640x360
    p8_x264_176x144) encoded "$1" 176x144 24 ;;       # an H.264 encode with B-frames, in MP4
    p8_scaled_352x288) scaled "$1" 352x288 24 p8_x264_176x144 ;;  # that encode, scaled up
    p8_scaled_1280x720) scaled "$1" 1280x720 5 p8_x264_640x360 ;;  # a 640x360 rung shown at 720p
    *) echo "inputs.sh: no pair named $1" >&2; return 1 ;;
  esac
}

names=("$@")
[ ${#names[@]} -gt 0 ] || names=(p8_176x144 p8_odd_177x99 p8_444_64x48 p8_422_96x64 p10_176x144
  p10_odd_161x97 p12_96x64 p8_1080p p8_crop_177x99 p8_min_33x33 p8_same_64x48
  p10_same_64x48 p8_min_11x11 p8_min_176x176 p10_odd_177x177)
for n in "${names[@]}"; do make_one "$n"; done
