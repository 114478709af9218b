#!/bin/sh
# Installs the Debian packages the camera software builds, runs and tests with.
set -e
here=$(dirname "$0")
PKGS="build-essential cmake pkg-config clang clang-format libclang-rt-14-dev
  libgoogle-glog-dev rapidjson-dev libevent-dev libpcre2-dev libturbojpeg0-dev
  libusb-1.0-0-dev libgtest-dev bubblewrap
  umockdev libumockdev-dev libglib2.0-dev libpng-dev exiv2 v4l-utils
  libjpeg-turbo-progs imagemagick python3"
missing=""
for p in $PKGS; do
  dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q '^install ok installed' || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO=sudo
"$here/apt-update.sh"
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends $missing
