#!/bin/bash
# Runs the fairness benchmark in the virtual camera:
#   src/controller/bench/run_fairness_bench.sh BUILD_DIR [ROUNDS]
# Starts "controller -d" (its log into /tmp), then per round one client
# sends 100 queryCamera2 lines in one write while another's heartTest and a
# button press are timed.
set -eu
build=$(cd "${1:?build folder}" && pwd)
. "$(dirname "$0")/bench_common.sh"
need run_fairness_bench "$build" controller controller_fairness_bench
rounds=${2:-10}
with_controller "$build" "controller_fairness_bench \$pid /tmp/controller.log $rounds" \
  "echo \"xuProbe runs: \$(grep -c '^xuProbe' /.vcam/calls.log)\""
