#!/usr/bin/env bash
# Opens generated HTML reports in headless Chromium and checks what it made of them: a
# screenshot (the chart's line colours) and the DOM (series, points, embedded images).
# Usage: check_report.sh HTML_REPORT_MAIN WORK_DIR [VIDQUAL SAMPLES_DIR]. With the tool and its
# bundled samples, the page the tool writes for them is checked too. Exits 77 (skipped) without
# chromium.
set -euo pipefail
main=$1
work=$2
vidqual=${3:-}
samples=${4:-}
browser=$(command -v chromium || command -v chromium-browser || true)
if [ -z "$browser" ]; then
  echo "chromium not installed: skipped"
  exit 77
fi
mkdir -p "$work"

open_page() {  # open_page PAGE then further chromium options
  local page=$1 profile
  shift
  profile=$(mktemp -d)
  timeout 120 "$browser" --headless --no-sandbox --disable-gpu --disable-quic --no-first-run \
    --disable-background-networking --disable-component-update --disable-sync \
    --user-data-dir="$profile" --window-size=1280,2000 --hide-scrollbars "$@" "file://$page" \
    2>"$work/chromium.log"
  rm -rf "$profile"
}

status=0
# pairs, worst pairs, picture size, ssim: a short run drawn pair by pair (its pictures reduced
# for the gallery), a long one by columns.
for run in "300 3 1300 730 ssim" "100000 3 160 120 -"; do
  read -r pairs worst w h ssim <<<"$run"
  page="$work/report_$pairs.html"
  echo "== $pairs pairs, $worst worst at ${w}x$h"
  "$main" write "$page" "$pairs" "$worst" "$w" "$h" "$ssim"
  open_page "$page" --screenshot="$work/report_$pairs.png"
  open_page "$page" --dump-dom >"$work/report_$pairs.dom.html"
  "$main" check "$work/report_$pairs.dom.html" "$work/report_$pairs.png" "$pairs" "$worst" ||
    status=1
done
if [ -n "$vidqual" ]; then
  page="$work/samples.html"
  echo "== the bundled samples, as the tool writes the page"
  "$vidqual" "$samples/source.avi" "$samples/encoded.avi" --ssim --html="$page" </dev/null >/dev/null
  open_page "$page" --screenshot="$work/samples.png"
  open_page "$page" --dump-dom >"$work/samples.dom.html"
  "$main" check "$work/samples.dom.html" "$work/samples.png" 12 3 || status=1
fi
exit $status
