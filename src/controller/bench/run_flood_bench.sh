#!/bin/bash
# Runs the flood benchmark in the virtual camera:
#   src/controller/bench/run_flood_bench.sh BUILD_DIR [CONNECTIONS] [HOLD_SECONDS] [lines BYTES]
# Starts "controller -d" (its log into /tmp), then CONNECTIONS peers (1000
# by default) each with an unfinished 65000-byte line, held and closed,
# beside one client sending heartTest. With "lines BYTES" each peer writes
# BYTES of one-byte lines and never reads (the controller's log then goes to
# /dev/null: two log lines a line).
set -eu
build=$(cd "${1:?build folder}" && pwd)
. "$(dirname "$0")/bench_common.sh"
need run_flood_bench "$build" controller controller_flood_bench
conns=${2:-1000}
hold=${3:-2}
mode=${4:+$4 ${5:?bytes}}
[ -n "$mode" ] && export CONTROLLER_LOG=/dev/null
with_controller "$build" "controller_flood_bench \$pid $conns $hold $mode"
