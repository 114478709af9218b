#!/bin/bash
# Runs one hostile connection case of conn_cases.py in the virtual camera:
#   src/controller/bench/run_conn_cases.sh BUILD_DIR CASE [ARG]
# CASE: gone (3,000 photos on the card), longline, newcomers SECONDS,
# slowphone, leak [keep [LINE]] (20,000 photos; the controller's exit status and its
# sanitizer summary are printed).
set -eu
build=$(cd "${1:?build folder}" && pwd)
case=${2:?case}
arg=${3:-}
line=${4:-}
. "$(dirname "$0")/bench_common.sh"
need run_conn_cases "$build" controller
script=$(cd "$(dirname "$0")" && pwd)/conn_cases.py
photos() { echo "for i in \$(seq $1); do : > /sdcard/IMG_\$i@3K.pnop; done"; }
export CONTROLLER_LOG=/tmp/controller.log
case $case in
  gone) with_controller "$build" "$(photos 3000); python3 $script gone \$pid" ;;
  longline | slowphone) with_controller "$build" "python3 $script $case" ;;
  newcomers) with_controller "$build" "python3 $script newcomers ${arg:-1}" ;;
  leak)
    with_controller "$build" "$(photos 20000); python3 $script leak \$pid $arg ${line:+\'$line\'}" \
      "wait \$pid; echo controller status \$?; grep -E 'SUMMARY|Direct leak' /tmp/controller.log || true; [ -z "${LEAK_DETAIL:-}" ] || sed -n '/ERROR: LeakSanitizer/,\$p' /tmp/controller.log | head -150" ;;
  *) echo "run_conn_cases: unknown case $case" >&2; exit 2 ;;
esac
