#!/bin/bash
# Installs what is needed, builds the programs, and runs the camera in the
# virtual camera: starts the controller, takes one photo over TCP as a phone
# app would, and prints the photos, the screen picture and the logs. One
# line per step; the install and build output goes to a log file.
#
#   scripts/run-camera.sh [--keep [PORT]] [--factory] [--state DIR] [--build DIR]
#
#   --keep [PORT]  after the photo keep the camera running and forward
#                  127.0.0.1:PORT of this machine (default 8888) to the
#                  camera's port 8888; Ctrl-C, SIGINT or SIGTERM to this
#                  script ends the run
#   --factory      start from the factory state: the factory /etc (settings,
#                  file counter, id, lens calibration) and an empty card
#   --state DIR    the camera's tree (default build/camera-run); its card
#                  DIR/sdcard and its /etc DIR/etc are kept from run to run;
#                  one run at a time uses a tree
#   --build DIR    build folder (default build); configured when new;
#                  CMAKE_BUILD_PARALLEL_LEVEL=N builds with N jobs (default:
#                  one per core)
set -uo pipefail
export LC_COLLATE=C
here=$(pwd)
repo=$(cd "$(dirname "$0")/.." && pwd)

keep=""
factory=0
state="$repo/build/camera-run"
build="$repo/build"
while [ $# -gt 0 ]; do
  case "$1" in
    --keep)
      keep=8888
      if [ $# -ge 2 ] && [[ "$2" =~ ^[0-9]+$ ]]; then keep="$2"; shift; fi
      shift ;;
    --factory) factory=1; shift ;;
    --state) [ $# -ge 2 ] || { echo "run-camera: --state needs a folder" >&2; exit 2; }
      state="$2"; shift 2 ;;
    --build) [ $# -ge 2 ] || { echo "run-camera: --build needs a folder" >&2; exit 2; }
      build="$2"; shift 2 ;;
    -h|--help) sed -n '2,20p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "run-camera: unknown option $1" >&2; exit 2 ;;
  esac
done
if [ -n "$keep" ] && { [ "$keep" -lt 1 ] || [ "$keep" -gt 65535 ]; }; then
  echo "run-camera: --keep takes a port from 1 to 65535" >&2
  exit 2
fi
jobs=${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}
if ! [[ "$jobs" =~ ^[1-9][0-9]*$ ]]; then
  echo "run-camera: CMAKE_BUILD_PARALLEL_LEVEL takes a number of jobs, not $jobs" >&2
  exit 2
fi

step() { printf '%-10s %s\n' "$1" "$2"; }
# A path as the caller sees it: relative to where the command was started
# when it lies below.
at() { case "$1" in "$here"/*) printf '%s' "${1#"$here"/}" ;; *) printf '%s' "$1" ;; esac; }
fail() { step "$1" "$2"; exit 1; }

# The camera's tree: a new or empty folder, or the tree of an earlier run,
# whose everything but the card and /etc goes. Any other folder is left
# alone.
state=$(mkdir -p "$state" && cd "$state" && pwd) || exit 1
build=$(mkdir -p "$build" && cd "$build" && pwd) || exit 1
cd "$repo" || exit 1
if [ -n "$(ls -A "$state")" ] && [ ! -e "$state/.camera-run" ] && [ ! -e "$state/calls.log" ]; then
  echo "run-camera: $state is not a camera tree of this command; give a new or empty folder" >&2
  exit 2
fi
# One run at a time on a tree: the lock on .camera-run is held by this
# script and everything it starts, so it goes when the last of them ends,
# however they end. The file holds the pid of the run holding it.
exec {lock}>>"$state/.camera-run" || exit 1
if ! flock -n "$lock"; then
  other=$(cat "$state/.camera-run" 2>/dev/null)
  echo "run-camera: $state is in use by another run${other:+ (kill $other ends it)}; nothing was started or changed" >&2
  exit 2
fi
echo $$ > "$state/.camera-run"
# A kept camera's port, taken by another program: refused before anything
# starts.
if [ -n "$keep" ] && ! why=$(/usr/bin/python3 - "$keep" 2>&1 <<'PY'
import socket, sys
s = socket.socket()
s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
try:
    s.bind(("127.0.0.1", int(sys.argv[1])))
    s.listen()
except OSError as e:
    print(e.strerror)
    sys.exit(1)
PY
); then
  echo "run-camera: 127.0.0.1:$keep is not free ($why); end what holds it or give another port with --keep PORT" >&2
  exit 2
fi
if [ "$factory" = 1 ]; then
  find "$state" -mindepth 1 -maxdepth 1 ! -name .camera-run -exec rm -rf {} +
else
  find "$state" -mindepth 1 -maxdepth 1 ! -name sdcard ! -name etc ! -name .camera-run -exec rm -rf {} +
fi
mkdir -p "$state/sdcard"
log="$state/build.log"
: > "$log"
st=$(at "$state") bd=$(at "$build") lg=$(at "$log")

./scripts/install-deps.sh >>"$log" 2>&1 || fail install "failed, see $log"
step install "ok (Debian packages)"

if [ -f "$build/CMakeCache.txt" ]; then
  step configure "ok ($bd configured before)"
else
  cmake -S . -B "$build" >>"$log" 2>&1 || fail configure "failed, see $log"
  step configure "ok ($bd)"
fi

# The programs, the device server and its tools; no test programs.
cmake --build "$build" -j"$jobs" --target camera_run >>"$log" 2>&1 || fail build "failed, see $log"
step build "ok (programs in $bd/bin; full output in $lg)"

media() { (cd "$state/sdcard" && ls -1 IMG_* VID_* 2>/dev/null) || true; }
before=$(media)

# The controller's process on this machine: the "controller" of the
# camera's session.
controller_pid() {
  local f s rest
  for f in /proc/[0-9]*/stat; do
    { IFS= read -r s <"$f"; } 2>/dev/null || continue
    case "$s" in *" (controller) "*) ;; *) continue ;; esac
    rest=${s##*) }
    set -- $rest
    [ "$4" = "$cam" ] && { echo "${f//[!0-9]/}"; return; }
  done
  echo "?"
}

inner='
controller -d >/log/controller.out 2>&1 &
ctl=$!
trap "kill -INT $ctl 2>/dev/null" INT TERM
up=0
for i in $(seq 400); do
  if (exec 3<>/dev/tcp/127.0.0.1/8888) 2>/dev/null; then up=1; break; fi
  kill -0 $ctl 2>/dev/null || break
  sleep 0.05
done
photo=1
if [ $up = 1 ]; then
  echo "step started"
  python3 "$VCAM_REPO/scripts/phone-photo.py" >/log/phone.log 2>&1
  photo=$?
  echo "step photo $photo"
else
  echo "step nostart"
fi
if [ $photo = 0 ] && [ "${VCAM_FORWARD:-}" = 1 ]; then
  echo "step kept"
else
  kill -INT $ctl 2>/dev/null
fi
wait $ctl
st=$?
while kill -0 $ctl 2>/dev/null; do wait $ctl; st=$?; done
[ $photo = 0 ] || exit 1
exit $st'

forward=()
[ -n "$keep" ] && forward=(--forward "$keep")
cam=""
stopping=0
stop() { stopping=1; [ -n "$cam" ] && kill -INT -- "-$cam" 2>/dev/null; }
trap stop INT TERM
: > "$state/run.log"
steps="$state/.steps"
mkdir -p "$steps" && rm -f "$steps/fifo" && mkfifo "$steps/fifo" || exit 1
# When this script is killed (SIGKILL too) the camera ends as on Ctrl-C:
# the watcher's pipe, held by this script alone, then reaches its end.
exec {watch}> >(exec >/dev/null 2>&1; trap '' INT TERM; read -r pg && { cat; kill -INT -- "-$pg"; })
watcher=$!
# The camera runs in a session of its own: a signal to this script (or
# Ctrl-C, which reaches only this script) is handed to the whole camera,
# which then ends as the controller does on SIGINT.
setsid sim/vcam --build "$build" --state "$state" "${forward[@]}" -- /bin/bash -c "$inner" \
  </dev/null >"$steps/fifo" 2>>"$state/run.log" {watch}>&- &
cam=$!
echo "$cam" >&"$watch"

photo_status=""
started=""
while :; do
  if IFS= read -r line; then
    case "$line" in
      "step started") started=1; step camera "started: controller -d with 2 lenses, pid $(controller_pid) on this machine" ;;
      "step nostart") started=0; step camera "did not start, see $st/log/controller.out" ;;
      "step photo 0")
        photo_status=0
        new=$(comm -13 <(echo "$before") <(media) | tail -n 1)
        step photo "taken over TCP: $st/sdcard/$new" ;;
      "step photo "*)
        photo_status=${line#step photo }
        step photo "failed (status $photo_status), see $st/log/phone.log and $st/log/controller.out" ;;
      "step kept")
        step camera "kept running: 127.0.0.1:$keep is its port 8888; Ctrl-C or kill $$ ends it" ;;
      *) printf '%s\n' "$line" >>"$state/run.log" ;;
    esac
  else
    [ $? -gt 128 ] && continue  # a signal: the camera is ending
    break
  fi
done <"$steps/fifo"
while :; do
  wait "$cam"
  rc=$?
  kill -0 "$cam" 2>/dev/null || break
done
kill -KILL "$watcher" 2>/dev/null
exec {watch}>&-
rm -rf "$steps"
if [ -z "$started" ]; then
  # the camera ended before its controller started: the forwarder could
  # not take the port (taken since the check above), or the run failed
  if why=$(grep -m 1 '^vcam-fwd: cannot listen on ' "$state/run.log"); then
    step camera "did not start: ${why#vcam-fwd: }; end what holds 127.0.0.1:$keep or give another port with --keep PORT"
  else
    step camera "did not start (status $rc), see $st/run.log"
  fi
fi
# A kept camera ends by a signal; that is its normal end.
[ -n "$keep" ] && [ "$stopping" = 1 ] && [ "$photo_status" = 0 ] && rc=0
[ "$rc" -eq 0 ] && [ "$photo_status" != 0 ] && rc=1

mapfile -t taken < <(comm -13 <(echo "$before") <(media))
all=$(media | grep -c . || true)
if [ "${#taken[@]}" -eq 0 ]; then
  step result "no photo this run (status $rc); $all on the card $st/sdcard"
else
  step result "${#taken[@]} taken this run, $all on the card $st/sdcard (kept from run to run):"
  for f in "${taken[@]}"; do printf '%-10s   %s\n' "" "$st/sdcard/$f"; done
fi
[ -f "$state/screen.png" ] && printf '%-10s %s\n' "" "screen: $st/screen.png"
printf '%-10s %s\n' "" "log:    $st/log/controller.out (controller), $st/calls.log (outside programs),"
printf '%-10s %s\n' "" "        $st/run.log (camera run), $lg (install and build)"
exit "$rc"
