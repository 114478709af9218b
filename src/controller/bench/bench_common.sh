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
