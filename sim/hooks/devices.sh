# vcam hook: the lenses /dev/video0.. served by the device server vcam-devd
# (umockdev) on the host for the duration of the run. Sourced by sim/vcam.
#
# vcam-devd keeps its testbed and control socket in a folder of its own per
# run, seen inside the camera as /.vcam/devices (UMOCKDEV_DIR is its "root"
# link; vcam-devctl talks to ctl.sock). Without a built vcam-devd, or with
# no lenses, the camera has no lenses.

if [ -x "$VCAM_BUILD/bin/vcam-devd" ] && [ "${VCAM_LENSES:-0}" -gt 0 ] 2>/dev/null; then
  if vcam_devdir=$(mktemp -d /tmp/vcamdev.XXXXXX); then
    VCAM_WRAP+=("$VCAM_BUILD/bin/vcam-devd" --lenses "$VCAM_LENSES" --dir "$vcam_devdir"
                --sys "$VCAM_STATE/sys" --)
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
    echo "vcam: no folder for the device server, the camera has no lenses" >&2
  fi
  unset vcam_devdir
fi
