#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds and runs every benchmark: decode throughput and what the unit tests
# bound only loosely (Google Benchmark), the whole-stream measurements (latency, CPU busy and idle, the waiting read, 1/4/16 DAQs,
# 60 s without loss plus the 2 s stall, open time), discovery timings, publishing
# over ZeroMQ and the CPU of `kine serve` with four DAQs. Takes about 7 minutes.
# Usage: bench/run_all.sh [build-dir]   (default: build-bench)
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build-bench}
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKINE_BUILD_TESTS=OFF >/dev/null
cmake --build "$dir" -j2 --target decode_bench calls_bench stream_bench ports_bench publish_bench sample_times_bench kine-tool
echo "machine: $(nproc) CPUs, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | xargs), load average $(cut -d' ' -f1-3 /proc/loadavg)"
"$dir/bench/decode_bench" --benchmark_filter='BM_(Decode|DecodeFreshDeques|Memcpy)/' --benchmark_min_time=0.5 \
  --benchmark_repetitions=3 --benchmark_report_aggregates_only=true | grep -E '^(Benchmark|-)|_median'
"$dir/bench/calls_bench" --benchmark_min_time=0.2
"$dir/bench/stream_bench" all
"$dir/bench/ports_bench" --runs 10
"$dir/bench/publish_bench" --seconds 10
/usr/bin/python3 bench/serve_cpu.py "$dir/tools/kine"
"$dir/bench/sample_times_bench" 20
