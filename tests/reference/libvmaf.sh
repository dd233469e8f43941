#!/usr/bin/env bash
# libvmaf.sh VMAF_CLI [SET ...]: remakes the reference values under tests/reference/libvmaf/ with
# libvmaf's `vmaf` command-line tool (built from its public repository; Debian has none). Each
# line of the table below is one reference file, NAME.SET.json: libvmaf's JSON log for the pair
# NAME (made by inputs.sh in $VQ_REFERENCE_WORK, /tmp/vidqual-reference by default) scored with
# the SET's features. Given SETs, only their lines run. Without a CLI it says so and exits 77, the
# status the test runner counts as skipped.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
vmaf=${1:-}
shift || true
sets=("$@")
work=${VQ_REFERENCE_WORK:-/tmp/vidqual-reference}
if [ -z "$vmaf" ] || [ ! -x "$vmaf" ]; then
  echo "libvmaf.sh: no vmaf CLI given (build libvmaf's tools/vmaf and pass its path); skipped" >&2
  exit 77
fi
mkdir -p "$here/libvmaf"

# One reference file: PAIR SET ARGS... (the args after -r/-d, as libvmaf's CLI takes them).
ref() {
  local pair=$1 set=$2
  shift 2
  if [ ${#sets[@]} -gt 0 ] && [[ " ${sets[*]} " != *" $set "* ]]; then return 0; fi
  bash "$here/inputs.sh" "$work" "$pair"
  "$vmaf" -q -r "$work/$pair.ref.y4m" -d "$work/$pair.dist.y4m" --threads 1 "$@" --json \
    -o "$here/libvmaf/$pair.$set.json" >/dev/null
  echo "$pair.$set.json"
}

# The table: one line per reference file, grouped by metric family.

# integer_adm (libvmaf's feature is named adm; it writes integer_adm2, integer_aim, ...)
ref p8_176x144 adm --feature adm -n
ref p8_crop_177x99 adm --feature adm -n
# libvmaf's AVX2 DWT reads past the row end instead of mirroring at some widths (33-36, 65-72,
# 97, 129, ...); there its default output differs from its own scalar path, which ours follows.
ref p8_min_33x33 adm_scalar --feature adm -n --cpumask 255
ref p8_444_64x48 adm --feature adm -n
ref p10_176x144 adm --feature adm -n
ref p10_odd_161x97 adm --feature adm -n
ref p12_96x64 adm --feature adm -n
ref p8_1080p adm --feature adm -n
ref p8_176x144 adm_egl1 --feature adm=adm_enhn_gain_limit=1.0 -n
ref p8_crop_177x99 adm_egl1 --feature adm=adm_enhn_gain_limit=1.0 -n
ref p10_176x144 adm_egl1 --feature adm=adm_enhn_gain_limit=1.0 -n
ref p8_1080p adm_egl1 --feature adm=adm_enhn_gain_limit=1.0 -n
ref p8_176x144 adm_debug --feature adm=debug=true -n
ref p8_176x144 adm_view --feature adm=adm_norm_view_dist=4.5:adm_ref_display_height=2160:adm_skip_aim=true -n
# The options of VMAF v1's models: the blended CSF (adm_csf_mode=2) at each model's display.
v1adm=adm_dlm_weight=0.7:adm_enhn_gain_limit=1.0:adm_noise_weight=0.02:adm_min_val=0.5:adm_csf_mode=2
for p in p8_176x144 p10_odd_161x97 p12_96x64 p8_1080p; do
  ref "$p" adm_v1 --feature "adm=$v1adm:adm_norm_view_dist=3.0:adm_ref_display_height=1080" -n
done
ref p8_176x144 adm_v1_views -n \
  --feature "adm=$v1adm:adm_norm_view_dist=5.0:adm_ref_display_height=1080" \
  --feature "adm=$v1adm:adm_norm_view_dist=1.5:adm_ref_display_height=2160" \
  --feature "adm=$v1adm:adm_norm_view_dist=3.0:adm_ref_display_height=2160"

# psnr: every option's scores at every depth and layout libvmaf's CLI reads (not 4:2:2 Y4M); the
# CTC form (reduced peak, min_sse) above 8 bits; min_sse at an odd size; luma alone.
for pair in p8_176x144 p8_odd_177x99 p8_crop_177x99 p8_444_64x48 p10_176x144 p10_odd_161x97 \
  p12_96x64 p8_1080p; do
  ref "$pair" psnr --feature psnr=enable_chroma=true:enable_mse=true:enable_apsnr=true -n
done
for pair in p10_176x144 p12_96x64; do
  ref "$pair" psnr_ctc --feature psnr=reduced_hbd_peak=true:enable_apsnr=true:min_sse=0.5 -n
done
ref p8_crop_177x99 psnr_min_sse --feature psnr=min_sse=2:enable_apsnr=true -n
ref p8_176x144 psnr_luma --feature psnr=enable_chroma=false -n
for pair in p8_same_64x48 p10_same_64x48; do
  ref "$pair" psnr --feature psnr=enable_chroma=true:enable_mse=true:enable_apsnr=true -n
  ref "$pair" psnr_ctc --feature psnr=reduced_hbd_peak=true:enable_apsnr=true:min_sse=0.5 -n
done
# float_ssim (scale=0 shrinks pictures whose smaller side is 384 or more; scale=1 never)
ref p8_176x144 float_ssim --feature float_ssim -n
ref p8_crop_177x99 float_ssim --feature float_ssim -n
ref p8_444_64x48 float_ssim --feature float_ssim -n
ref p8_min_11x11 float_ssim --feature float_ssim -n
ref p10_176x144 float_ssim --feature float_ssim -n
ref p10_odd_161x97 float_ssim --feature float_ssim -n
ref p12_96x64 float_ssim --feature float_ssim -n
ref p8_1080p float_ssim --feature float_ssim -n
ref p8_1080p float_ssim_s1 --feature float_ssim=scale=1 -n
ref p8_crop_177x99 float_ssim_s2 --feature float_ssim=scale=2 -n
ref p10_odd_161x97 float_ssim_s3 --feature float_ssim=scale=3 -n
ref p8_176x144 float_ssim_lcs_db --feature float_ssim=enable_lcs=true:enable_db=true -n
ref p10_176x144 float_ssim_lcs_db --feature float_ssim=enable_lcs=true:enable_db=true -n
ref p8_1080p float_ssim_lcs_db --feature float_ssim=enable_lcs=true:enable_db=true -n
ref p8_1080p float_ssim_s1_lcs --feature float_ssim=scale=1:enable_lcs=true -n
ref p8_min_11x11 float_ssim_db_clip --feature float_ssim=enable_db=true:clip_db=true -n
# float_ms_ssim (five scales; 176x176 is the smallest picture it scores)
ref p8_min_176x176 float_ms_ssim --feature float_ms_ssim -n
ref p10_odd_177x177 float_ms_ssim --feature float_ms_ssim -n
ref p8_1080p float_ms_ssim --feature float_ms_ssim -n
ref p8_min_176x176 float_ms_ssim_lcs_db --feature float_ms_ssim=enable_lcs=true:enable_db=true -n
ref p10_odd_177x177 float_ms_ssim_lcs_db --feature float_ms_ssim=enable_lcs=true:enable_db=true:clip_db=true -n
ref p8_1080p float_ms_ssim_lcs --feature float_ms_ssim=enable_lcs=true -n

# cambi (banding; libvmaf scores the distorted picture only)
for p in p8_216x2 p8_band_odd_333x217 p10_band_odd_301x219 p10_band_320x216 p12_band_422_240x216 \
  p8_band_1080p p8_1080p; do
  ref "$p" cambi -n --feature cambi
done
ref p8_band_odd_333x217 cambi_window -n --feature cambi=topk=0.2:window_size=31 \
  --feature cambi=cambi_topk=0.35:max_log_contrast=3
ref p10_band_odd_301x219 cambi_window -n --feature cambi=topk=0.2:window_size=31 \
  --feature cambi=cambi_topk=0.35:max_log_contrast=3
ref p8_band_1080p cambi_enc -n --feature cambi=enc_width=960:enc_height=540 \
  --feature cambi=enc_width=1280:enc_height=720:enc_bitdepth=10 \
  --feature cambi=cambi_high_res_speedup=1080
# The options of VMAF v1's models.
for p in p8_band_odd_333x217 p10_band_320x216 p8_1080p; do
  ref "$p" cambi_v1 -n \
    --feature cambi=cambi_high_res_speedup=1080:cambi_vis_lum_threshold=0.06:cambi_max_val=17.0
done
ref p10_band_320x216 cambi_tvi -n --feature cambi=tvi_threshold=0.05:max_log_contrast=1 \
  --feature cambi=eotf=pq --feature cambi=cambi_eotf=pq:cambi_vis_lum_threshold=20 \
  --feature cambi=cambi_max_val=20:enc_bitdepth=8
ref p8_band_odd_333x217 cambi_tvi -n --feature cambi=tvi_threshold=0.05:max_log_contrast=1 \
  --feature cambi=eotf=pq --feature cambi=cambi_eotf=pq:cambi_vis_lum_threshold=20 \
  --feature cambi=cambi_max_val=10:max_log_contrast=0

# speed_chroma (SpEED of U and V: a 5x5 block of every 16th chroma sample, so chroma planes of
# at least 80x80): the defaults, VMAF v1's options, and its prescaled forms of the 4K and phone
# models; a flat chroma (the band pairs) has no inverse.
spd=speed_nn_floor=0.1:speed_sigma_nn=0.19:speed_weight_var_mode=5:speed_max_val=45.0
for p in p8_1080p p10_odd_177x177 p8_min_176x176 p12_band_422_240x216; do
  ref "$p" speed_chroma -n --feature speed_chroma --feature "speed_chroma=$spd:speed_kernelscale=1.0"
done
ref p8_1080p speed_chroma_ps -n \
  --feature "speed_chroma=$spd:speed_prescale=0.5:speed_prescale_method=bilinear" \
  --feature "speed_chroma=$spd:speed_prescale=0.6:speed_prescale_method=bilinear" \
  --feature speed_chroma=speed_prescale=1.5:speed_prescale_method=bilinear:speed_weight_var_mode=3
ref p10_odd_177x177 speed_chroma_ps -n \
  --feature speed_chroma=speed_prescale=1.3:speed_prescale_method=bilinear:speed_kernelscale=0.5 \
  --feature speed_chroma=speed_weight_var_mode=6:speed_sigma_nn=1.5:speed_max_val=2
# psnr_hvs (8x8 blocks every 7 samples in every plane; 8 to 12 bits)
for p in p8_176x144 p8_crop_177x99 p8_444_64x48 p10_176x144 p10_odd_161x97 p12_96x64 p8_1080p \
  p8_min_8x8 p8_min_16x16; do
  ref "$p" psnr_hvs -n --feature psnr_hvs
done

# integer_vif (libvmaf's feature is named vif; it writes integer_vif_scale0 .. 3)
for p in p8_176x144 p8_crop_177x99 p8_444_64x48 p10_176x144 p10_odd_161x97 p12_96x64 p8_1080p \
  p8_min_16x16; do
  ref "$p" vif --feature vif -n
done
for p in p8_176x144 p8_crop_177x99 p10_176x144 p8_1080p; do
  ref "$p" vif_egl1 --feature vif=vif_enhn_gain_limit=1.0 -n
done
ref p8_176x144 vif_debug --feature vif=debug=true -n
ref p10_odd_161x97 vif_skip0 --feature vif=vif_skip_scale0=true:debug=true:vif_enhn_gain_limit=1.5 -n

# vmaf and vmaf_neg (the v0.6.1 models over integer_adm2, integer_motion2, integer_vif_scale0..3)
for p in p8_176x144 p8_crop_177x99 p10_176x144 p10_odd_161x97 p12_96x64 p8_1080p; do
  ref "$p" vmaf --model version=vmaf_v0.6.1 --model version=vmaf_v0.6.1neg:name=vmaf_neg
done
# At integer_adm's smallest size libvmaf's own SIMD ADM departs from its scalar code: its scalar.
ref p8_min_33x33 vmaf_scalar --cpumask 255 --model version=vmaf_v0.6.1 \
  --model version=vmaf_v0.6.1neg:name=vmaf_neg
for p in p8_176x144 p10_176x144; do
  ref "$p" vmaf_4k --model version=vmaf_4k_v0.6.1 --model version=vmaf_4k_v0.6.1neg:name=vmaf_neg
done
ref p8_176x144 vmaf_options --model version=vmaf_v0.6.1:enable_transform=true \
  --model version=vmaf_v0.6.1neg:name=vmaf_neg:disable_clip=true

# The bootstrap model beside v0.6.1 (each model under its own name, as libvmaf requires): its
# members' scores and their mean, deviation and 95% interval; on equal pictures the clip at 100
# cuts the interval; with the transform and without the clip.
for p in p8_176x144 p10_odd_161x97 p12_96x64 p8_same_64x48; do
  ref "$p" vmaf_b --model version=vmaf_v0.6.1 --model version=vmaf_b_v0.6.3:name=vmaf_b
done
ref p8_176x144 vmaf_b_options --model version=vmaf_b_v0.6.3:enable_transform=true \
  --model version=vmaf_b_v0.6.3:name=vmaf_b_noclip:disable_clip=true:enable_transform=true

# A model's feature options overridden in libvmaf's spelling: an option the model gives replaced,
# one it does not give added, one for a feature the model does not read ignored. libvmaf's AVX2
# ADM applies a gain limit other than 1 and 100 otherwise than its C code, which ours follows.
ref p10_176x144 vmaf_overrides --cpumask 255 \
  --model version=vmaf_v0.6.1:vif.vif_enhn_gain_limit=1.5:adm.adm_enhn_gain_limit=1.2:cambi.topk=0.5 \
  --model version=vmaf_v0.6.1neg:name=vmaf_neg:adm.adm_enhn_gain_limit=1.5:motion.motion_max_val=3

# VMAF v1's models, each under its own name (libvmaf requires them distinct): at 1080p, at 10
# bits, odd sizes as 4:4:4, on banding whose chroma is flat (SpEED 0: the chroma correction);
# the high-frame-rate models' five-frame motion on pairs of 8 pictures; a ladder's rung shown
# larger, with CAMBI told the rung's own size and depth; an H.264 encode with B-frames scaled
# up (its chroma too small for the rescaled SpEED of the phone and 4K-from-3-heights models).
v1=(--model version=vmaf_v1.0.16_3d0h --model version=vmaf_v1.0.16_5d0h:name=vmaf_5d0h
  --model version=vmaf_v1.0.16_1d5h_2160:name=vmaf_1d5h_2160
  --model version=vmaf_v1.0.16_3d0h_2160:name=vmaf_3d0h_2160)
v1hfr=(--model version=vmaf_v1.0.16_hfr_3d0h --model version=vmaf_v1.0.16_hfr_5d0h:name=vmaf_5d0h
  --model version=vmaf_v1.0.16_hfr_1d5h_2160:name=vmaf_1d5h_2160
  --model version=vmaf_v1.0.16_hfr_3d0h_2160:name=vmaf_3d0h_2160)
# At 321 samples wide libvmaf's AVX2 ADM reads past the row end: there, its scalar code.
for p in p8_1080p p8_textured_1080p p10_640x360 p10_odd_321x241 p8_band_1080p; do
  ref "$p" vmaf_v1 "${v1[@]}" $([ "$p" != p10_odd_321x241 ] || echo --cpumask 255)
done
for p in p10_640x360 p10_odd_321x241; do
  ref "$p" vmaf_v1_hfr "${v1hfr[@]}" $([ "$p" != p10_odd_321x241 ] || echo --cpumask 255)
done
# The 4K models at 2160 lines (CAMBI there at 1080 lines, as the models ask).
for p in p8_2160p p8_band_2160p; do
  ref "$p" vmaf_v1_4k --model version=vmaf_v1.0.16_1d5h_2160 \
    --model version=vmaf_v1.0.16_3d0h_2160:name=vmaf_3d0h_2160 \
    --model version=vmaf_v1.0.16_hfr_3d0h_2160:name=vmaf_hfr_3d0h_2160
done
ref p8_rung_640x360 vmaf_v1_enc \
  --model version=vmaf_v1.0.16_3d0h:cambi.enc_width=320:cambi.enc_height=180 \
  --model version=vmaf_v1.0.16_5d0h:name=vmaf_5d0h:cambi.enc_width=320:cambi.enc_height=180:cambi.enc_bitdepth=8 \
  --model version=vmaf_v1.0.16_3d0h_2160:name=vmaf_3d0h_2160
ref p8_scaled_352x288 vmaf_v1_encode --model version=vmaf_v1.0.16_3d0h \
  --model version=vmaf_v1.0.16_1d5h_2160:name=vmaf_1d5h_2160 \
  --model version=vmaf_v1.0.16_hfr_3d0h:name=vmaf_hfr
# A 640x360 H.264 rung scaled up to 720p by FFmpeg's bicubic filter, CAMBI told the rung's own
# size (and, widened to 10 bits, its own depth): what --scale=bicubic (--bit-depth=10) gives it.
ref p8_scaled_1280x720 vmaf_v1_rung \
  --model version=vmaf_v1.0.16_3d0h:cambi.enc_width=640:cambi.enc_height=360 \
  --feature cambi=enc_width=640:enc_height=360

# The decode of an H.264 encode with B-frames (the tool reads the MP4 itself, in presentation order).
ref p8_x264_176x144 vmaf_encode --model version=vmaf_v0.6.1 \
  --model version=vmaf_v0.6.1neg:name=vmaf_neg
# The encode scaled to the twice larger source with FFmpeg's bicubic filter: --scale=bicubic.
ref p8_scaled_352x288 vmaf_scaled --model version=vmaf_v0.6.1

# integer_motion (libvmaf's feature is named motion): its debug score, forced zero, and the
# options that reshape integer_motion2 and integer_motion3 (they name the scores).
ref p8_176x144 motion_debug --feature motion=debug=true -n
ref p10_176x144 motion_debug --feature motion=debug=true -n
ref p8_176x144 motion_force_zero --feature motion=motion_force_zero=true:debug=true -n
ref p8_176x144 motion_options --feature motion=motion_five_frame_window=true:motion_moving_average=true:motion_blend_factor=0.5:motion_blend_offset=3:motion_fps_weight=1.5:motion_max_val=6 -n
# The options of VMAF v1's models, and of their high-frame-rate variants.
ref p8_176x144 motion_v1 --feature motion=motion_max_val=18.0 -n \
  --feature motion=motion_max_val=18.0:motion_five_frame_window=true:motion_moving_average=true
ref p8_176x144 motion_blend --feature motion=motion_blend_factor=0.25:motion_blend_offset=1.5:motion_moving_average=true -n

# ciede (CIEDE2000 on libvmaf's YUV->Lab conversion, chroma upsampled to luma size; libvmaf's CLI
# does not read 4:2:2 Y4M)
for p in p8_176x144 p8_odd_177x99 p8_crop_177x99 p8_444_64x48 p10_176x144 p10_odd_161x97 \
  p12_96x64 p8_1080p p8_min_8x8 p8_min_16x16 p8_min_2x2 p8_same_64x48; do
  ref "$p" ciede -n --feature ciede
done
# A pair widened by FFmpeg's format filter before libvmaf scores it (what --bit-depth does).
ref_widened() {
  local pair=$1 set=$2 fmt=$3
  shift 3
  if [ ${#sets[@]} -gt 0 ] && [[ " ${sets[*]} " != *" $set "* ]]; then return 0; fi
  bash "$here/inputs.sh" "$work" "$pair"
  local s
  for s in ref dist; do
    ffmpeg -nostdin -loglevel error -y -i "$work/$pair.$s.y4m" -vf "format=$fmt" -strict -1 \
      "$work/$pair.$s.$fmt.y4m"
  done
  "$vmaf" -q -r "$work/$pair.ref.$fmt.y4m" -d "$work/$pair.dist.$fmt.y4m" --threads 1 "$@" \
    --json -o "$here/libvmaf/$pair.$set.json" >/dev/null
  echo "$pair.$set.json"
}
# VMAF v1 at 10 bits, libvmaf's advice, on the H.264 encode with B-frames scaled up (its score
# clipped at 0 there, so also unclipped), CAMBI told the encode's own 8 bits as --bit-depth=10
# tells it.
ref_widened p8_scaled_352x288 vmaf_v1_10bit yuv420p10le \
  --model version=vmaf_v1.0.16_3d0h:cambi.enc_bitdepth=8 \
  --model version=vmaf_v1.0.16_3d0h:name=vmaf_raw:disable_clip=true:cambi.enc_bitdepth=8
ref_widened p8_scaled_1280x720 vmaf_v1_rung_10bit yuv420p10le \
  --model version=vmaf_v1.0.16_3d0h:cambi.enc_width=640:cambi.enc_height=360:cambi.enc_bitdepth=8 \
  --feature cambi=enc_width=640:enc_height=360:enc_bitdepth=8

# libvmaf's CLI reads no 16-bit Y4M: the pair goes to it as raw YUV of the same samples.
ref_raw() {
  local pair=$1 set=$2 w=$3 h=$4 fmt=$5 layout=$6 bits=$7
  shift 7
  if [ ${#sets[@]} -gt 0 ] && [[ " ${sets[*]} " != *" $set "* ]]; then return 0; fi
  bash "$here/inputs.sh" "$work" "$pair"
  local s
  for s in ref dist; do
    ffmpeg -nostdin -loglevel error -y -i "$work/$pair.$s.y4m" -f rawvideo -pix_fmt "$fmt" \
      "$work/$pair.$s.yuv"
  done
  "$vmaf" -q -r "$work/$pair.ref.yuv" -d "$work/$pair.dist.yuv" -w "$w" -h "$h" -p "$layout" \
    -b "$bits" --threads 1 "$@" --json -o "$here/libvmaf/$pair.$set.json" >/dev/null
  echo "$pair.$set.json"
}
ref_raw p16_64x48 ciede 64 48 yuv420p16le 420 16 -n --feature ciede

# The XML report (--xml): libvmaf's file for the scores of AOM v7.0's conditions that pictures of
# this size take (MS-SSIM and CAMBI need larger ones), compared with ours but for version and fyi.
ref_xml() {
  local pair=$1 set=$2
  shift 2
  if [ ${#sets[@]} -gt 0 ] && [[ " ${sets[*]} " != *" $set "* ]]; then return 0; fi
  bash "$here/inputs.sh" "$work" "$pair"
  "$vmaf" -q -r "$work/$pair.ref.y4m" -d "$work/$pair.dist.y4m" --threads 1 "$@" --xml \
    -o "$here/libvmaf/$pair.$set.xml" >/dev/null
  echo "$pair.$set.xml"
}
for p in p8_176x144 p10_176x144; do
  ref_xml "$p" ctc_xml -n --feature psnr=reduced_hbd_peak=true:enable_apsnr=true:min_sse=0.5 \
    --feature float_ssim=scale=1:enable_db=true:clip_db=true --feature psnr_hvs
done
