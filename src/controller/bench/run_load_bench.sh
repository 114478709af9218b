#!/bin/bash
# Runs the load benchmark in the virtual camera:
#   src/controller/bench/run_load_bench.sh BUILD_DIR [SECONDS] [ROUNDS]
# For 1, 10, 64 and 200 clients (the controller serves 64 at once and closes
# the connections past them), in each round, first the baseline
# (controller_bench_baseline: a bare libevent server on port 8888 answering
# each line with the heartTest reply), then "controller -d" (its log into
# /tmp), one right after the other so that both meet the same machine load.
# Last the controller's throughput and p99 as ratios to the baseline's, the
# median over the rounds (3 by default), for 1, 10 and 64 clients; 64, the
# most the controller serves at once, is the headline. 200 clients is a
# closed-connection test (the controller serves 64 and closes 136, the
# baseline serves all 200), so it gets no ratio.
set -eu
build=$(cd "${1:?build folder}" && pwd)
. "$(dirname "$0")/bench_common.sh"
need run_load_bench "$build" controller controller_load_bench controller_bench_baseline
secs=${2:-5}
rounds=${3:-3}
repo=$(cd "$(dirname "$0")/../../.." && pwd)
exec "$repo/sim/vcam" --build "$build" -- /bin/bash -c "
  set -eu
  $in_camera
  measure() {  # NAME CLIENTS ROUND, the server's pid in \$pid
    controller_load_bench \$pid \$2 $secs | sed \"s/^/\$1 round \$3 /\" | tee -a /tmp/load.txt
    kill -INT \$pid; wait \$pid
  }
  : > /tmp/load.txt
  for r in \$(seq $rounds); do
    for n in 1 10 64 200; do
      controller_bench_baseline & pid=\$!
      waitport
      measure baseline \$n \$r
      ${BENCH_ENV:-} controller -d > /tmp/controller.log 2>&1 & pid=\$!
      waitport
      sleep 1
      measure controller \$n \$r
    done
  done
  # fields: NAME round R clients N: RPS req/s, p50 X us, p99 Y us, ...
  awk '
    function median(a, k,   i, j, t) {
      for (i = 1; i <= k; i++) for (j = i + 1; j <= k; j++) if (a[j] < a[i]) { t = a[i]; a[i] = a[j]; a[j] = t }
      return k % 2 ? a[(k + 1) / 2] : (a[k / 2] + a[k / 2 + 1]) / 2
    }
    { n = \$5; sub(\":\", \"\", n); rps[\$1, \$3, n] = \$6; p99[\$1, \$3, n] = \$12; if (\$3 > R) R = \$3
      cl[\$1, \$3, n] = \$17 }
    END {
      k = split(\"1 10 64\", ns, \" \")
      for (i = 1; i <= k; i++) {
        n = ns[i]
        for (r = 1; r <= R; r++) {
          t[r] = rps[\"controller\", r, n] / rps[\"baseline\", r, n]
          p[r] = p99[\"controller\", r, n] / p99[\"baseline\", r, n]
        }
        printf \"ratio clients %d: throughput %.2f of the baseline, p99 %.2f times the baseline (median of %d rounds)%s\n\",
               n, median(t, R), median(p, R), R, n == 64 ? \" (headline: the most served at once)\" : \"\"
      }
      for (r = 1; r <= R; r++) { t[r] = rps[\"controller\", r, 200]; p[r] = p99[\"controller\", r, 200]; c[r] = cl[\"controller\", r, 200] }
      printf \"clients 200: closed-connection test, no ratio: the controller served 64 and closed %d, %.0f req/s, p99 %.1f us (median of %d rounds)\n\",
             median(c, R), median(t, R), median(p, R), R
    }' /tmp/load.txt
"
