#!/bin/sh
# check-arm-elf.sh PROGRAM...: every program is an ELF executable for the
# board: 32-bit, little-endian, ARM, EABI version 5, hard-float.
status=0
byte() { od -An -tu1 -j "$2" -N1 "$1" | tr -d ' '; }
word() { od -An -tu4 -j "$2" -N4 "$1" | tr -d ' '; }
for f in "$@"; do
  magic=$(od -An -c -N4 "$f" | tr -d ' ')
  class=$(byte "$f" 4) data=$(byte "$f" 5)
  machine=$(od -An -tu2 -j 18 -N2 "$f" | tr -d ' ')
  flags=$(word "$f" 36)
  eabi=$((flags >> 24)) hard=$(((flags >> 10) & 1))
  if [ "$magic" = '177ELF' ] && [ "$class" = 1 ] && [ "$data" = 1 ] && [ "$machine" = 40 ] &&
     [ "$eabi" = 5 ] && [ "$hard" = 1 ]; then
    echo "ok: $f"
  else
    echo "not a board program: $f (class $class, data $data, machine $machine, flags $flags)"
    status=1
  fi
done
[ $# -gt 0 ] || { echo "no programs given"; status=1; }
exit $status
