#!/usr/bin/env bash
# Builds the container source's fuzz target with clang (libFuzzer, AddressSanitizer, UBSan) and
# FFmpeg's libraries into its own build directory and runs it for the given number of seconds
# (default 60), starting from the committed seed corpus. FFmpeg's libraries are the system's,
# not instrumented: the run covers how this code drives them and reads what they hand out.
# Findings are left as crash-*/leak-*/timeout-* files in that directory and make the script fail.
#   tests/fuzz/run_container.sh [seconds]
set -euo pipefail
seconds="${1:-60}"
here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/../.." && pwd)"
out="${VQ_FUZZ_BUILD:-$root/build-fuzz-container}"

cmake -S "$root" -B "$out" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link" \
  -DVQ_SANITIZE=ON -DVQ_FUZZ=ON -DVQ_WITH_FFMPEG=ON -DVQ_BUILD_BENCH=OFF >/dev/null
cmake --build "$out" --target container_fuzzer -j2

# The seeds stay as committed; what the run finds goes to a working corpus of its own.
mkdir -p "$out/fuzz-corpus" "$out/fuzz-findings"
cd "$out/fuzz-findings"
"$out/tests/fuzz/container_fuzzer" -max_total_time="$seconds" -max_len=65536 -timeout=20 \
  -rss_limit_mb=2048 -malloc_limit_mb=1024 -print_final_stats=1 \
  "$out/fuzz-corpus" "$here/corpus_container"
