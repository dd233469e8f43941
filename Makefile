# Thin front end to CMake. `make` builds the tool (Release) into build/.
BUILD ?= build
CMAKE_FLAGS ?=
JOBS ?= $(shell nproc)
PREFIX ?= /usr/local

.PHONY: all configure test demo bench install clean
BENCH_DIR ?= /tmp/vidqual-bench
VMAF ?= $(shell command -v vmaf 2>/dev/null)
# The folder of libjxl's ssimulacra2 and butteraugli_main, for the RGB metrics' benchmark.
JXL_TOOLS ?=

all: configure
	cmake --build $(BUILD) -j $(JOBS)

configure:
	@test -f $(BUILD)/CMakeCache.txt || cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS)

# CTEST_ARGS picks the cases: `make test CTEST_ARGS="-LE slow"` leaves out those that run
# FFmpeg's CLI or take long.
CTEST_ARGS ?=
test: all
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS) $(CTEST_ARGS)

# Builds the tool alone, then compares the bundled samples.
demo: configure
	cmake --build $(BUILD) -j $(JOBS) --target vidqual
	./$(BUILD)/vidqual samples/source.avi samples/encoded.avi -v < /dev/null

# Micro-benchmarks (converters per tier, error sums, frame PSNR at 1080p), then vidqual beside
# FFmpeg's psnr filter on 300-frame 1080p pairs made in BENCH_DIR, then each metric beside
# libvmaf's CLI (VMAF=path/to/vmaf; its column is skipped without it) at 1 and 2 threads, then
# the RGB metrics beside libjxl's tools at one thread (JXL_TOOLS=their folder; likewise), then
# --bd-rate over AOM's whole published CTC set against its summary (AVM_CTC=its ctc_result folder).
bench: all
	@test -f build-bench/CMakeCache.txt || cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DVQ_BUILD_BENCH=ON -DVQ_BUILD_TESTS=OFF
	cmake --build build-bench -j $(JOBS) --target vq_bench
	./build-bench/bench/vq_bench
	VIDQUAL=./$(BUILD)/vidqual bench/compare_ffmpeg.sh $(BENCH_DIR)
	VIDQUAL=./$(BUILD)/vidqual bench/compare_libvmaf.sh $(BENCH_DIR) $(VMAF)
	VIDQUAL=./$(BUILD)/vidqual bench/compare_jxl.sh $(BENCH_DIR) $(JXL_TOOLS)
	@if [ -n "$(AVM_CTC)" ]; then python3 tests/reference/bdrate/check_aom.py ./$(BUILD)/vidqual $(AVM_CTC); \
	else echo "BD-rate over AOM's published set skipped: AVM_CTC=path/to/avm/tools/convexhull_framework/ctc_result"; fi

install: all
	cmake --install $(BUILD) --prefix $(PREFIX)

clean:
	rm -rf $(BUILD)
