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
ref p10_band_320x216 cambi_tvi -n --feature cambi=tvi_threshold=0.05:max_log_contrast=1 \
  --feature cambi=eotf=pq --feature cambi=cambi_eotf=pq:cambi_vis_lum_threshold=20 \
  --feature cambi=cambi_max_val=20:enc_bitdepth=8
ref p8_band_odd_333x217 cambi_tvi -n --feature cambi=tvi_threshold=0.05:max_log_contrast=1 \
  --feature cambi=eotf=pq --feature cambi=cambi_eotf=pq:cambi_vis_lum_threshold=20 \
  --feature cambi=cambi_max_val=10:max_log_contrast=0
