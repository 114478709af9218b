# vcam hook: the devices served by the device server vcam-devd (umockdev) on
# the host for the duration of the run: the lenses /dev/video0.., their
# camera modules on the USB bus (/dev/bus/usb/001/..), and the board's own
# drivers behind /dev/oled and /dev/gyrotap. Sourced by sim/vcam.
#
# vcam-devd keeps its testbed and control socket in a folder of its own per
# run, seen inside the camera as /.vcam/devices (UMOCKDEV_DIR is its "root"
# link; vcam-devctl talks to ctl.sock). When the run ends it leaves the
# panel's last picture in the state folder as screen.png. Without a built
# vcam-devd the camera has no lenses, panel or motion sensor.

if [ -x "$VCAM_BUILD/bin/vcam-devd" ]; then
  if vcam_devdir=$(mktemp -d /tmp/vcamdev.XXXXXX); then
    rm -f "$VCAM_STATE/screen.png"
    VCAM_WRAP+=("$VCAM_BUILD/bin/vcam-devd" --lenses "${VCAM_LENSES:-0}" --dir "$vcam_devdir"
                --sys "$VCAM_STATE/sys" --screen "$VCAM_STATE/screen.png" --)
    # The preload library must come before the sanitizer runtimes of an
    # instrumented program, and its own allocations are not the program's.
    vcam_asan="${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0"
    vcam_lsan="${LSAN_OPTIONS:+$LSAN_OPTIONS:}suppressions=$VCAM_REPO/sim/devices/lsan.supp"
    VCAM_BWRAP_EXTRA+=(--bind "$vcam_devdir" /.vcam/devices
                       --setenv LD_PRELOAD libumockdev-preload.so.0
                       --setenv UMOCKDEV_DIR /.vcam/devices/root
                       --setenv VCAM_DEVCTL /.vcam/devices/ctl.sock
                       --setenv ASAN_OPTIONS "$vcam_asan"
                       --setenv LSAN_OPTIONS "$vcam_lsan")
    unset vcam_asan vcam_lsan
  else
    echo "vcam: no folder for the device server, the camera has no devices of its own" >&2
  fi
  unset vcam_devdir
fi
