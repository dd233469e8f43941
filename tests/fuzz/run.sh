#!/usr/bin/env bash
# Builds a reader's fuzz target with clang (libFuzzer, AddressSanitizer, UBSan) into its own
# build directory and runs it for the given number of seconds (default 60), starting from the
# target's committed seed corpus: avi_fuzzer (the default) from corpus/, y4m_fuzzer from
# corpus_y4m/. Findings are left as crash-*/leak-*/timeout-* files in that directory and make the
# script fail.
#   tests/fuzz/run.sh [target] [seconds]
set -euo pipefail
target=avi_fuzzer
if [[ $# -gt 0 && ! "$1" =~ ^[0-9]+$ ]]; then
  target="$1"
  shift
fi
seconds="${1:-60}"
here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/../.." && pwd)"
out="${VQ_FUZZ_BUILD:-$root/build-fuzz}"
case "$target" in
  avi_fuzzer) seeds="$here/corpus" ;;
  y4m_fuzzer) seeds="$here/corpus_y4m" ;;
  *) echo "run.sh: no fuzz target $target (avi_fuzzer, y4m_fuzzer)" >&2; exit 2 ;;
esac

cmake -S "$root" -B "$out" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link" \
  -DVQ_SANITIZE=ON -DVQ_FUZZ=ON -DVQ_WITH_FFMPEG=OFF -DVQ_BUILD_BENCH=OFF >/dev/null
cmake --build "$out" --target "$target" -j2

# The seeds stay as committed; what the run finds goes to a working corpus of its own.
mkdir -p "$out/fuzz-corpus-$target" "$out/fuzz-findings-$target"
cd "$out/fuzz-findings-$target"
"$out/tests/fuzz/$target" -max_total_time="$seconds" -max_len=65536 -timeout=10 \
  -rss_limit_mb=2048 -malloc_limit_mb=1024 -print_final_stats=1 \
  "$out/fuzz-corpus-$target" "$seeds"
