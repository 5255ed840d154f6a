#!/bin/sh
# Runs one libFuzzer target for a bounded time over a scratch corpus seeded from the committed one.
# Usage: run_fuzz.sh <fuzzer> <seed corpus dir> <seconds> [largest input in bytes, default 65536]
set -eu
FUZZER="$1"; SEEDS="$2"; SECONDS_TO_RUN="$3"; MAX_LEN="${4:-65536}"
WORK="$(mktemp -d)"
trap 'rm -rf "$WORK"' EXIT INT TERM
cd "$WORK"
"$FUZZER" -max_total_time="$SECONDS_TO_RUN" -timeout=10 -rss_limit_mb=2048 -max_len="$MAX_LEN" \
  -print_final_stats=1 "$WORK" "$SEEDS"
