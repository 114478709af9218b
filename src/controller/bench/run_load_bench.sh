#!/bin/bash
# Runs the load benchmark in the virtual camera:
#   src/controller/bench/run_load_bench.sh BUILD_DIR [SECONDS]
# Starts "controller -d" (its log into /tmp), then 1, 10 and 200 clients.
set -eu
build=$(cd "${1:?build folder}" && pwd)
secs=${2:-5}
repo=$(cd "$(dirname "$0")/../../.." && pwd)
touch_oled='[ -e /dev/oled ] || : > /dev/oled'
exec "$repo/sim/vcam" --build "$build" -- /bin/bash -c "
  $touch_oled
  ${BENCH_ENV:-} controller -d > /tmp/controller.log 2>&1 &
  pid=\$!
  for i in \$(seq 100); do (exec 3<>/dev/tcp/127.0.0.1/8888) 2>/dev/null && break; sleep 0.05; done
  sleep 1
  for n in 1 10 200; do controller_load_bench \$pid \$n $secs; done
  kill -INT \$pid; wait \$pid
"
