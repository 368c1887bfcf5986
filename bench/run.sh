#!/usr/bin/env bash
# Builds the command channel benchmark and the service program, then runs the benchmark (arguments are passed
# on, e.g. --benchmark_filter=Channel). KESTRIX_BENCH_MIN_TIME (seconds per latency benchmark, default 2) and
# KESTRIX_BENCH_COMMANDS (commands per client process, default 20000) shorten or lengthen a run.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset default
cmake --build --preset default --target kestrix_bench_channel KestrixSvc
exec build/default/bench/kestrix_bench_channel "$@"
