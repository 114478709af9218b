#!/bin/bash
# sim/vcam --state DIR leaves the panel's last picture in DIR/screen.png:
# the same picture vcam-screen saves inside the run, the start-up logo here.
#   screen_state_test.sh VCAM BUILD
set -u
vcam=$1
build=$2
dir=$(mktemp -d "${TMPDIR:-/tmp}/vcam-screen-test.XXXXXX") || exit 1
trap 'rm -rf "$dir"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

: > "$dir/screen.png"  # a stale picture of an earlier run goes
"$vcam" --build "$build" --lenses 0 --state "$dir" -- vcam-screen /tmp/inside.png ||
  fail "the run failed"
[ -s "$dir/screen.png" ] || fail "no screen.png"
cmp -s "$dir/screen.png" "$dir/tmp/inside.png" || fail "screen.png differs from the picture saved inside"
/usr/bin/python3 - "$dir/screen.png" <<'PY' || fail "screen.png is not the 512x256 logo picture"
import struct, sys, zlib
data = open(sys.argv[1], "rb").read()
assert data[:8] == b"\x89PNG\r\n\x1a\n"
pos, idat, w, h = 8, b"", 0, 0
while pos < len(data):
    n, tag = struct.unpack(">I4s", data[pos:pos + 8])
    body = data[pos + 8:pos + 8 + n]
    if tag == b"IHDR":
        w, h, depth, kind = struct.unpack(">IIBB", body[:10])
        assert (w, h, depth, kind) == (512, 256, 8, 0)
    elif tag == b"IDAT":
        idat += body
    pos += 12 + n
raw = zlib.decompress(idat)
assert len(raw) == h * (w + 1)
rows, prev = [], bytearray(w)
for y in range(h):
    f, line = raw[y * (w + 1)], bytearray(raw[y * (w + 1) + 1:(y + 1) * (w + 1)])
    for x in range(w):
        a = line[x - 1] if x else 0
        b, c = prev[x], (prev[x - 1] if x else 0)
        if f == 1: line[x] = (line[x] + a) & 255
        elif f == 2: line[x] = (line[x] + b) & 255
        elif f == 3: line[x] = (line[x] + (a + b) // 2) & 255
        elif f == 4:
            pa, pb, pc = abs(b - c), abs(a - c), abs(a + b - 2 * c)
            line[x] = (line[x] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 255
    rows.append(line)
    prev = line
# the logo: rows 64 to 255 (panel rows 16-63) hold lit pixels, the band above is dark
assert not any(any(r) for r in rows[:64])
assert sum(1 for r in rows[64:] for v in r if v) > 800 * 16
PY
echo "ok"
