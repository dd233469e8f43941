#!/usr/bin/env bash
# Builds one fuzz target with clang (libFuzzer, AddressSanitizer, UBSan) and runs it for the given
# number of seconds (default 60), starting from the target's committed seed corpus:
#   avi_fuzzer        the AVI reader                     seeds in corpus/
#   y4m_fuzzer        the Y4M and raw YUV readers        seeds in corpus_y4m/
#   container_fuzzer  the container source over FFmpeg   seeds in corpus_container/
#   run_fuzzer        the whole comparison of two files  seeds in corpus_run/
#   model_fuzzer      the VMAF model reader              seeds in corpus_model/
#   manifest_fuzzer   a campaign's lines and their checks seeds in corpus_manifest/
# The readers' targets are built without FFmpeg's libraries into build-fuzz/; the container source
# and the whole comparison need them (run_fuzzer reaches the decoders only with them) and are built
# into build-fuzz-ffmpeg/, so the two configurations never share a cache. FFmpeg's libraries are
# the system's, not instrumented: those runs cover how this code drives them and reads what they
# hand out, and they are slower per input, hence their longer per-input timeout.
# Findings are left as crash-*/leak-*/timeout-*/oom-* files in the build directory's
# fuzz-findings-<target>/ and make the script fail.
#   tests/fuzz/run.sh [target] [seconds]
# VQ_FUZZ_BUILD names another build directory for the plain targets (the FFmpeg one gets -ffmpeg).
set -euo pipefail
target=avi_fuzzer
if [[ $# -gt 0 && ! "$1" =~ ^[0-9]+$ ]]; then
  target="$1"
  shift
fi
seconds="${1:-60}"
here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/../.." && pwd)"
base="${VQ_FUZZ_BUILD:-$root/build-fuzz}"
case "$target" in
  avi_fuzzer) seeds="$here/corpus" ffmpeg=OFF timeout=10 ;;
  y4m_fuzzer) seeds="$here/corpus_y4m" ffmpeg=OFF timeout=10 ;;
  container_fuzzer) seeds="$here/corpus_container" ffmpeg=ON timeout=60 ;;
  run_fuzzer) seeds="$here/corpus_run" ffmpeg=ON timeout=60 ;;
  model_fuzzer) seeds="$here/corpus_model" ffmpeg=OFF timeout=10 ;;
  manifest_fuzzer) seeds="$here/corpus_manifest" ffmpeg=OFF timeout=10 ;;
  *)
    echo "run.sh: no fuzz target $target (avi_fuzzer, y4m_fuzzer, container_fuzzer, run_fuzzer," \
      "model_fuzzer, manifest_fuzzer)" >&2
    exit 2
    ;;
esac
out="$base"
[ "$ffmpeg" = ON ] && out="$base-ffmpeg"

started=$SECONDS
cmake -S "$root" -B "$out" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link" \
  -DVQ_SANITIZE=ON -DVQ_FUZZ=ON -DVQ_WITH_FFMPEG="$ffmpeg" -DVQ_BUILD_BENCH=OFF >/dev/null
cmake --build "$out" --target "$target" -j2
if [ ! -x "$out/tests/fuzz/$target" ]; then
  echo "run.sh: $target was not built (FFmpeg's libraries missing?)" >&2
  exit 2
fi
echo "run.sh: $target built in $((SECONDS - started)) s; fuzzing for $seconds s" >&2

# The seeds stay as committed; what the run finds goes to a working corpus of its own.
mkdir -p "$out/fuzz-corpus-$target" "$out/fuzz-findings-$target"
cd "$out/fuzz-findings-$target"
"$out/tests/fuzz/$target" -max_total_time="$seconds" -max_len=65536 -timeout="$timeout" \
  -rss_limit_mb=2048 -malloc_limit_mb=1024 -print_final_stats=1 \
  "$out/fuzz-corpus-$target" "$seeds"
