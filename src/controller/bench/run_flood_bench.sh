#!/bin/bash
# Runs the flood benchmark in the virtual camera:
#   src/controller/bench/run_flood_bench.sh BUILD_DIR [CONNECTIONS] [HOLD_SECONDS]
# Starts "controller -d" (its log into /tmp), then CONNECTIONS peers (1000
# by default) each with an unfinished 65000-byte line, held and closed,
# beside one client sending heartTest.
set -eu
build=$(cd "${1:?build folder}" && pwd)
. "$(dirname "$0")/bench_common.sh"
need run_flood_bench "$build" controller controller_flood_bench
conns=${2:-1000}
hold=${3:-2}
with_controller "$build" "controller_flood_bench \$pid $conns $hold"
