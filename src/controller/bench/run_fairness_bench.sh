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
repo=$(cd "$(dirname "$0")/../../.." && pwd)
exec "$repo/sim/vcam" --build "$build" -- /bin/bash -c "
  $in_camera
  controller -d > /tmp/controller.log 2>&1 & pid=\$!
  waitport || true
  sleep 1
  controller_fairness_bench \$pid /tmp/controller.log $rounds; status=\$?
  echo \"xuProbe runs: \$(grep -c '^xuProbe' /.vcam/calls.log)\"
  kill -INT \$pid; wait \$pid
  exit \$status
"
