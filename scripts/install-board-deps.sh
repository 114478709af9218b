#!/bin/sh
# Installs what the board build (32-bit ARM, arm-linux-gnueabihf) needs on a
# Debian 12 machine: the cross compilers, qemu's user-mode emulator, and
# Debian's armhf packages of the libraries the camera programs link.
#
# The armhf libraries go into a folder of their own (BOARD_SYSROOT, default
# /usr/local/lib/panocamera/armhf) instead of being installed beside the
# host's: several of them (glog, gflags, libevent-dev) cannot be installed
# for two architectures at once, and the rest would pin the host's own
# packages to the armhf versions. The folder is under /usr so that the
# virtual camera, which sees the host's /usr, can run the board tests.
set -e
here=$(dirname "$0")
BOARD_SYSROOT=${BOARD_SYSROOT:-/usr/local/lib/panocamera/armhf}
case "$BOARD_SYSROOT" in /*/*) ;; *) echo "BOARD_SYSROOT: a folder of its own, not $BOARD_SYSROOT" >&2; exit 2 ;; esac

TOOLS="gcc-arm-linux-gnueabihf g++-arm-linux-gnueabihf qemu-user"
# Libraries and their run-time packages; rapidjson-dev is headers only.
LIBS="libgoogle-glog-dev libgoogle-glog0v6 libgflags-dev libgflags2.2
  libevent-dev libevent-2.1-7 libevent-core-2.1-7 libevent-extra-2.1-7
  libevent-pthreads-2.1-7 libevent-openssl-2.1-7
  libpcre2-dev libpcre2-8-0 libpcre2-16-0 libpcre2-32-0 libpcre2-posix3
  libturbojpeg0-dev libturbojpeg0 libusb-1.0-0-dev libusb-1.0-0 libudev1
  libgtest-dev rapidjson-dev"

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO=sudo

missing=""
for p in $TOOLS; do
  dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q '^install ok installed' || missing="$missing $p"
done
updated=""
if ! dpkg --print-foreign-architectures | grep -qx armhf; then
  $SUDO dpkg --add-architecture armhf
  "$here/apt-update.sh"
  updated=1
fi
if [ -n "$missing" ]; then
  [ -n "$updated" ] || "$here/apt-update.sh"
  updated=1
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends $missing
fi

# The versions apt offers now; the folder is laid anew when they change.
# (rapidjson-dev is the same for every architecture.)
pkgnames() { for p in $LIBS; do [ "$p" = rapidjson-dev ] && echo "$p" || echo "$p:armhf"; done; }
candidates() {
  apt-cache policy $(pkgnames) 2>/dev/null | awk '
    /^[^ ].*:$/ { sub(/:$/, ""); name = $0 }
    /^ *Candidate:/ { if ($2 != "(none)") print name "=" $2 }'
}
want=$(candidates)
if [ "$(echo "$want" | grep -c =)" -ne "$(pkgnames | wc -l)" ] && [ -z "$updated" ]; then
  "$here/apt-update.sh"
  want=$(candidates)
fi
stamp="$BOARD_SYSROOT/.packages"
if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$want" ]; then
  exit 0
fi

debs=$(mktemp -d)
trap 'rm -rf "$debs"' EXIT
chmod 755 "$debs"
# apt-get download runs its fetcher as the _apt user: the folder must be its.
id _apt >/dev/null 2>&1 && $SUDO chown _apt "$debs"
# A version the lists name may be gone from the archive: refresh them once.
if ! (cd "$debs" && $SUDO apt-get download -qq $want); then
  "$here/apt-update.sh"
  want=$(candidates)
  (cd "$debs" && $SUDO apt-get download -qq $want)
fi
$SUDO rm -rf "$BOARD_SYSROOT"
$SUDO mkdir -p "$BOARD_SYSROOT"
for d in "$debs"/*.deb; do
  $SUDO dpkg-deb -x "$d" "$BOARD_SYSROOT"
done
echo "$want" | $SUDO tee "$stamp" >/dev/null
echo "board libraries in $BOARD_SYSROOT"
