#!/bin/sh
# Sets up a fresh Debian 12 machine, then builds and runs the whole test suite in four stages:
#   release  warnings as errors, every test (unit, integration, offscreen widgets, OPC UA clients)
#   asan     the same suite under AddressSanitizer + UndefinedBehaviorSanitizer
#   tsan     the same suite under ThreadSanitizer
#   fuzz     the libFuzzer targets (clang-14), each for QORA_FUZZ_SECONDS (default 60)
# QORA_STAGES picks stages (default "release asan tsan fuzz"); QORA_SKIP_SETUP=1 skips apt-get.
set -eu
cd "$(dirname "$0")/.."
ROOT="$(pwd)"
if [ "${QORA_SKIP_SETUP:-0}" != 1 ]; then sh scripts/setup-debian.sh; fi
# Independent OPC UA clients used by the tests (pinned in their package-lock.json files).
for lock in $(find tests -name package-lock.json -not -path '*/node_modules/*'); do
  (cd "$(dirname "$lock")" && npm ci --no-audit --no-fund)
done
STAGES="${QORA_STAGES:-release asan tsan fuzz}"
PREFIX="${QORA_BUILD_DIR:-build}"
JOBS=2

run_stage() {
  name="$1"; dir="$2"; shift 2
  echo "=== stage $name: $dir"
  start=$(date +%s)
  cmake -S "$ROOT" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQORA_WERROR=ON "$@"
  cmake --build "$dir" -j$JOBS
  ctest --test-dir "$dir" --output-on-failure -j$JOBS --timeout 600
  echo "=== stage $name passed in $(( $(date +%s) - start )) s"
}

for stage in $STAGES; do
  case "$stage" in
    release) run_stage release "$PREFIX" ;;
    asan)
      ASAN_OPTIONS="detect_leaks=1:abort_on_error=0" UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
        run_stage asan "$PREFIX-asan" -DQORA_SANITIZE=ON -DQORA_BUILD_BENCH=OFF ;;
    tsan)
      TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
        run_stage tsan "$PREFIX-tsan" -DQORA_TSAN=ON -DQORA_BUILD_BENCH=OFF ;;
    fuzz)
      echo "=== stage fuzz: $PREFIX-fuzz"
      start=$(date +%s)
      cmake -S "$ROOT" -B "$PREFIX-fuzz" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_CXX_COMPILER=clang++-14 -DQORA_FUZZ=ON -DQORA_BUILD_BENCH=OFF \
        -DQORA_FUZZ_SECONDS="${QORA_FUZZ_SECONDS:-60}"
      cmake --build "$PREFIX-fuzz" -j$JOBS --target ua_stream_fuzz ua_decoder_fuzz ua_secure_fuzz comm_receiver_fuzz config_reader_fuzz
      ctest --test-dir "$PREFIX-fuzz" --output-on-failure -L fuzz -j$JOBS
      echo "=== stage fuzz passed in $(( $(date +%s) - start )) s" ;;
    *) echo "unknown stage: $stage"; exit 2 ;;
  esac
done
