#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs PROGRAM DEVICE VERSION-TEXT against a simulated DAQ served by
# `KINE sim --version V`, and stops the simulator afterwards.
#   with_sim.sh KINE V PROGRAM [ARGS...]
set -euo pipefail
kine=$1 version=$2
shift 2
out=$(mktemp /tmp/kine-sim-XXXXXX)
"$kine" sim --version "$version" > "$out" 2> "$out.err" &
sim=$!
trap 'kill $sim 2>/dev/null || true; wait $sim 2>/dev/null || true; rm -f "$out" "$out.err"' EXIT
for _ in $(seq 100); do grep -q 'device version text' "$out.err" && break; sleep 0.1; done
device=$(head -1 "$out")
text=$(sed -n 's/.*device version text "\([^"]*\)".*/\1/p' "$out.err")
[ -c "$device" ] && [ -n "$text" ] || { echo "with_sim.sh: no simulated DAQ" >&2; cat "$out.err" >&2; exit 1; }
"$@" "$device" "$text"
