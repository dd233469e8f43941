#!/usr/bin/env bash
# Opens generated HTML reports in headless Chromium and checks what it made of them: a
# screenshot (the chart's line colours) and the DOM (series, points, embedded images).
# Usage: check_report.sh HTML_REPORT_MAIN WORK_DIR. Exits 77 (skipped) without chromium.
set -euo pipefail
main=$1
work=$2
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
# pairs, worst pairs, picture size, ssim: a short run drawn pair by pair, a long one by columns.
for run in "300 3 320 240 ssim" "100000 3 160 120 -"; do
  read -r pairs worst w h ssim <<<"$run"
  page="$work/report_$pairs.html"
  echo "== $pairs pairs, $worst worst at ${w}x$h"
  "$main" write "$page" "$pairs" "$worst" "$w" "$h" "$ssim"
  open_page "$page" --screenshot="$work/report_$pairs.png"
  open_page "$page" --dump-dom >"$work/report_$pairs.dom.html"
  "$main" check "$work/report_$pairs.dom.html" "$work/report_$pairs.png" "$pairs" "$worst" ||
    status=1
done
exit $status
