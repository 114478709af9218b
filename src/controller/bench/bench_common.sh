# Sourced by the benchmark scripts.

# need SCRIPT BUILD PROGRAM...: every program is in BUILD/bin, or one line
# names the targets to build and the script ends.
need() {
  local script=$1 build=$2 p
  shift 2
  for p in "$@"; do
    [ -x "$build/bin/$p" ] || { echo "$script: no $build/bin/$p; build it: cmake --build $build --target $*" >&2; exit 2; }
  done
}

# Lines for the camera's shell: waitport returns once something answers on
# port 8888 (10 s at the most).
in_camera='
  [ -e /dev/oled ] || : > /dev/oled
  waitport() {
    for i in $(seq 200); do (exec 3<>/dev/tcp/127.0.0.1/8888) 2>/dev/null && return 0; sleep 0.05; done
    return 1
  }'

# with_controller BUILD BENCH [REPORT]: in a camera of BUILD, starts
# "controller -d" (its log in /tmp/controller.log, or in CONTROLLER_LOG, its
# pid in $pid), runs
# the BENCH line, then the REPORT line, ends the controller and exits with
# BENCH's status.
with_controller() {
  exec "$(cd "$(dirname "${BASH_SOURCE[0]}")/../../.." && pwd)/sim/vcam" --build "$1" -- /bin/bash -c "
  $in_camera
  controller -d > ${CONTROLLER_LOG:-/tmp/controller.log} 2>&1 & pid=\$!
  waitport || true
  sleep 1
  $2; status=\$?
  ${3:-}
  kill -INT \$pid; wait \$pid
  exit \$status
"
}
