#!/bin/bash
# Installs what is needed, builds, and runs the camera in the virtual camera:
# starts the controller, takes one photo over TCP as a phone app would, and
# prints where the panorama and the screen picture are.
#
#   scripts/run-camera.sh [--keep [PORT]] [--state DIR]
#
#   --keep [PORT]  after the photo keep the camera running and forward
#                  127.0.0.1:PORT of this machine (default 8888) to the
#                  camera's port 8888; Ctrl-C ends the run
#   --state DIR    where the camera's tree is left (default build/camera-run)
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)

keep=""
state="$repo/build/camera-run"
while [ $# -gt 0 ]; do
  case "$1" in
    --keep)
      keep=8888
      if [ $# -ge 2 ] && [[ "$2" =~ ^[0-9]+$ ]]; then keep="$2"; shift; fi
      shift ;;
    --state) [ $# -ge 2 ] || { echo "run-camera: --state needs a folder" >&2; exit 2; }
      state="$2"; shift 2 ;;
    -h|--help) sed -n '2,11p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "run-camera: unknown option $1" >&2; exit 2 ;;
  esac
done

./scripts/install-deps.sh
cmake -S . -B build
cmake --build build -j"$(nproc)"

rm -rf "$state"
mkdir -p "$state"
forward=()
[ -n "$keep" ] && forward=(--forward "$keep")

set +e
sim/vcam --state "$state" "${forward[@]}" -- /bin/bash -c '
  controller -d >/log/controller.out 2>&1 &
  ctl=$!
  python3 "$VCAM_REPO/scripts/phone-photo.py" || { kill -INT $ctl; wait $ctl; exit 1; }
  if [ "${VCAM_FORWARD:-}" = 1 ]; then
    echo "camera running; Ctrl-C ends it" >&2
    wait $ctl
  else
    kill -INT $ctl
    wait $ctl
  fi
  exit 0'
rc=$?
set -e
# Ctrl-C is how a kept camera ends.
[ -n "$keep" ] && [ "$rc" -eq 130 ] && rc=0

photo=$(ls -1 "$state"/sdcard/IMG_*.pnop 2>/dev/null | head -n 1 || true)
echo
if [ "$rc" -eq 0 ] && [ -n "$photo" ]; then
  echo "panorama:       $photo"
else
  [ "$rc" -eq 0 ] && rc=1
  echo "no panorama was taken (status $rc); controller log: $state/log/controller.out" >&2
fi
[ -f "$state/screen.png" ] && echo "screen picture: $state/screen.png"
echo "camera tree:    $state (calls.log: the outside programs it ran)"
exit "$rc"
