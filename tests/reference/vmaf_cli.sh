#!/usr/bin/env bash
# vmaf_cli.sh VMAF_CLI [CASE ...]: remakes the references under tests/reference/vmaf_cli/ with libvmaf's
# `vmaf` program (built from its public repository): each case of the table below is one command
# line, run as the codec test frameworks run it ($VMAF, in a folder holding the inputs), and its
# results kept: CASE.status (exit status, then standard output, then standard error with the
# program's path written VMAF) and CASE.file (the file it wrote, when any). Given CASEs, only
# those are remade.
#   vmaf_cli.sh --run PROGRAM CASE DIR   runs one case with PROGRAM into DIR (the test's way)
#   vmaf_cli.sh --list                   the cases' names
# Inputs are the pair p8_scaled_352x288 of inputs.sh (an H.264 encode scaled up), as orig.y4m
# and rec.y4m (its first 10 frames also as rec10.y4m, 2 in 4:2:2 as rec422.y4m), and as
# headerless orig.yuv and rec.yuv (also named orig.raw and rec.raw); models/ holds the model
# files of reference/models. Without a CLI it exits 77 (skipped).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
work=${VQ_REFERENCE_WORK:-/tmp/vidqual-reference}

# The table: NAME, the file the command line writes (- for none), the command line.
cases() {
  cat <<'TABLE'
aom_avm|log|"$VMAF" -r orig.y4m -d rec.y4m -q --threads 4 -o log --aom_ctc v7.0
xiph_rd_tool|rec-vmaf.xml|"$VMAF" -r "$FILE" -d "$BASENAME.y4m" --aom_ctc v6.0 --xml -o "$BASENAME-vmaf.xml" --thread 1 | tail -n 1
raw_yuv|out.xml|"$VMAF" -r orig.yuv -d rec.yuv -w 352 -h 288 -p 420 -b 8 --threads 1 -o out.xml
two_models|out.xml|"$VMAF" -r orig.y4m -d rec.y4m -m version=vmaf_v0.6.1:name=plain:cambi.enc_width=176 -m version=vmaf_v0.6.1neg:name=neg:disable_clip --threads 2 -o out.xml
features|out.xml|"$VMAF" -r orig.y4m -d rec.y4m --feature psnr --feature float_ssim=scale=1 -n -o out.xml
subsample|out.xml|"$VMAF" -r orig.y4m -d rec.y4m --subsample 2 --feature psnr --threads 1 -o out.xml
frame_skips|out.xml|"$VMAF" -r orig.y4m -d rec.y4m --frame_skip_ref 2 --frame_skip_dist 1 --frame_cnt 10 -o out.xml
json|out.json|"$VMAF" -r orig.y4m -d rec.y4m --feature psnr=enable_apsnr=true --feature ciede --json --threads 1 -o out.json
csv|out.csv|"$VMAF" -r orig.y4m -d rec.y4m --feature psnr --feature speed_chroma --csv --threads 1 -o out.csv
sub|out.sub|"$VMAF" -r orig.y4m -d rec.y4m --sub -n --feature psnr_hvs -o out.sub
no_prediction|out.xml|"$VMAF" -r orig.y4m -d rec.y4m -n -m version=vmaf_v0.6.1neg --threads 1 -o out.xml
nflx_ctc|out.xml|"$VMAF" --nflx_ctc v1.0 -r orig.y4m -d rec.y4m --threads 2 -o out.xml
prefixes|out.xml|"$VMAF" --ref=orig.y4m --dist rec.y4m --feat=float_ms_ssim --no_pred --out=out.xml --thr 1
missing_file|out.xml|"$VMAF" -r missing.y4m -d rec.y4m -o out.xml
bad_option|out.xml|"$VMAF" -r orig.y4m -d rec.y4m --bogus -n --feature psnr -o out.xml
yuv_incomplete|out.xml|"$VMAF" -r orig.yuv -d rec.yuv -w 352 -o out.xml
bad_value|out.xml|"$VMAF" -r orig.y4m -d rec.y4m --frame_cnt=ten -o out.xml
nothing_asked|out.xml|"$VMAF" -r orig.y4m -d rec.y4m -n -o out.xml
bootstrap|out.xml|"$VMAF" -r orig.y4m -d rec.y4m -m version=vmaf_b_v0.6.3 --threads 2 -o out.xml
v1_models|out.json|"$VMAF" -r orig.y4m -d rec.y4m -m version=vmaf_v1.0.16_3d0h -m version=vmaf_v1.0.16_5d0h:name=phone -m path=models/vmaf_v1.0.16_3d0h.json:name=file --json --threads 1 -o out.json
model_options|out.xml|"$VMAF" -r orig.y4m -d rec.y4m -m version=vmaf_v0.6.1:adm.adm_enhn_gain_limit=1.0:vif.vif_enhn_gain_limit=1.0:motion.motion_force_zero=true:foo.bar=1:adm.bogus=2 -o out.xml
model_bad_option|out.xml|"$VMAF" -r orig.y4m -d rec.y4m -m version=vmaf_v0.6.1:adm.adm_enhn_gain_limit=0.5 -o out.xml
raw_any_name|out.xml|"$VMAF" -r orig.raw -d rec.raw -w 352 -h 288 -p 420 -b 8 -n --feature psnr -o out.xml
short_distorted|out.xml|"$VMAF" -r orig.y4m -d rec10.y4m -n --feature psnr --threads 1 -o out.xml
layouts_differ|out.xml|"$VMAF" -r orig.y4m -d rec422.y4m -n --feature psnr -o out.xml
same_names|out.xml|"$VMAF" -r orig.y4m -d rec.y4m -m version=vmaf_v0.6.1 -m version=vmaf_v0.6.1neg -o out.xml
TABLE
}

# Runs case $2 with program $1 in folder $3: the inputs linked in, the results written there.
run() {
  local program=$1 name=$2 dir=$3 line file command
  line=$(cases | grep "^$name|") || { echo "vmaf_cli.sh: no case $name" >&2; return 1; }
  file=$(cut -d'|' -f2 <<<"$line")
  command=$(cut -d'|' -f3- <<<"$line")
  bash "$here/inputs.sh" "$work" p8_scaled_352x288
  mkdir -p "$dir"
  rm -f "$dir"/*
  ln -sf "$work/p8_scaled_352x288.ref.y4m" "$dir/orig.y4m"
  ln -sf "$work/p8_scaled_352x288.dist.y4m" "$dir/rec.y4m"
  ln -sfn "$here/models" "$dir/models"
  local s
  for s in orig rec; do
    [ -s "$work/p8_scaled_352x288.$s.yuv" ] ||
      ffmpeg -nostdin -loglevel error -y -i "$dir/$s.y4m" -f rawvideo -pix_fmt yuv420p \
        "$work/p8_scaled_352x288.$s.yuv"
    ln -sf "$work/p8_scaled_352x288.$s.yuv" "$dir/$s.yuv"
    ln -sf "$work/p8_scaled_352x288.$s.yuv" "$dir/$s.raw"
  done
  [ -s "$work/p8_scaled_352x288.rec10.y4m" ] ||
    ffmpeg -nostdin -loglevel error -y -i "$dir/rec.y4m" -frames:v 10 -f yuv4mpegpipe \
      "$work/p8_scaled_352x288.rec10.y4m"
  ln -sf "$work/p8_scaled_352x288.rec10.y4m" "$dir/rec10.y4m"
  [ -s "$work/p8_scaled_352x288.rec422.y4m" ] ||
    ffmpeg -nostdin -loglevel error -y -i "$dir/rec.y4m" -frames:v 2 -pix_fmt yuv422p \
      -f yuv4mpegpipe "$work/p8_scaled_352x288.rec422.y4m"
  ln -sf "$work/p8_scaled_352x288.rec422.y4m" "$dir/rec422.y4m"
  local status=0
  (cd "$dir" && VMAF=$program FILE=orig.y4m BASENAME=rec bash -c "$command" \
    >"$dir/stdout" 2>"$dir/stderr" </dev/null) || status=$?
  { echo "$status"; cat "$dir/stdout"; echo "--"; sed "s|$program|VMAF|g" "$dir/stderr"; } \
    >"$dir/$name.status"
  if [ "$file" != - ] && [ -f "$dir/$file" ]; then cp "$dir/$file" "$dir/$name.file"; fi
}

case ${1:-} in
  --list) cases | cut -d'|' -f1; exit 0 ;;
  --run) run "$2" "$3" "$4"; exit 0 ;;
esac
vmaf=${1:-}
if [ -z "$vmaf" ] || [ ! -x "$vmaf" ]; then
  echo "vmaf_cli.sh: no vmaf CLI given (build libvmaf's tools/vmaf and pass its path); skipped" >&2
  exit 77
fi
vmaf=$(cd "$(dirname "$vmaf")" && pwd)/$(basename "$vmaf")
shift
names=("$@")
[ ${#names[@]} -gt 0 ] || names=($(cases | cut -d'|' -f1))
mkdir -p "$here/vmaf_cli"
for name in "${names[@]}"; do
  rm -f "$here/vmaf_cli/$name".*
  run "$vmaf" "$name" "$work/vmaf_cli/$name"
  cp "$work/vmaf_cli/$name/$name".* "$here/vmaf_cli/"
  echo "$name"
done
