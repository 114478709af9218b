# vcam hook: the board around the programs. Sourced by sim/vcam.
#
# sysfs values (battery, VBUS, USB gadget, CPU governor), the button and LED
# devices, the SD card nodes, /proc/version, the icon tables, and the run's
# own folder /.vcam (calls.log, fifo.log, stand-in controls).

vcam_sys="$VCAM_STATE/sys"
mkdir -p "$vcam_sys/class/power_supply/battery" \
         "$vcam_sys/devices/platform/exynos-dwc3.0/exynos-ss-udc.0/gadget/lun0" \
         "$vcam_sys/devices/system/cpu/cpu0/cpufreq"
printf '%s\n' "$VCAM_BATTERY_CAPACITY" > "$vcam_sys/class/power_supply/battery/capacity"
printf '%s\n' "$VCAM_BATTERY_VOLTAGE" > "$vcam_sys/class/power_supply/battery/voltage_now"
printf '%s\n' "$VCAM_BATTERY_STATUS" > "$vcam_sys/class/power_supply/battery/status"
printf '%s\n' "$VCAM_VBUS" > "$vcam_sys/devices/platform/exynos-dwc3.0/vbus"
: > "$vcam_sys/devices/platform/exynos-dwc3.0/exynos-ss-udc.0/gadget/lun0/file"
printf 'ondemand\n' > "$vcam_sys/devices/system/cpu/cpu0/cpufreq/scaling_governor"
unset vcam_sys

# Button: a FIFO the run writes key bytes into. LED: a plain file that the
# LED bytes are appended to (a FIFO would fill up and block the writer).
rm -f "$VCAM_STATE/dev/button"
mkfifo -m 0666 "$VCAM_STATE/dev/button"
: > "$VCAM_STATE/dev/gpioLed"
VCAM_BWRAP_EXTRA+=(--bind "$VCAM_STATE/dev/button" /dev/button
                   --bind "$VCAM_STATE/dev/gpioLed" /dev/gpioLed)

# The card's block nodes: openable plain files while a card is in the slot.
if [ "$VCAM_SDCARD" != none ]; then
  for n in mmcblk1 mmcblk1p1; do
    : > "$VCAM_STATE/dev/$n"
    VCAM_BWRAP_EXTRA+=(--ro-bind "$VCAM_STATE/dev/$n" "/dev/$n")
  done
fi

# Kernel identification with the chosen build number.
if [ "$VCAM_KERNEL_BUILD" = none ]; then
  vcam_build_tag=""
else
  vcam_build_tag="#$VCAM_KERNEL_BUILD "
fi
printf 'Linux version 3.4.5 (builder@panocam) (gcc version 4.6 (camera toolchain) ) %sSMP PREEMPT Tue Mar 4 10:21:07 CST 2014\n' \
  "$vcam_build_tag" > "$VCAM_STATE/proc_version"
unset vcam_build_tag
VCAM_BWRAP_EXTRA+=(--ro-bind "$VCAM_STATE/proc_version" /proc/version)

# Icon tables: made at build time when the build has them, else drawn now.
vcam_icons="$VCAM_BUILD/share/vcam/resource"
if [ -s "$vcam_icons/EnglishVer.bin" ] && [ -s "$vcam_icons/ChineseVer.bin" ] &&
   [ "$vcam_icons/EnglishVer.bin" -nt "$VCAM_REPO/sim/tools/mkicons.py" ]; then
  cp "$vcam_icons/EnglishVer.bin" "$vcam_icons/ChineseVer.bin" "$VCAM_STATE/lib/resource/"
else
  /usr/bin/python3 "$VCAM_REPO/sim/tools/mkicons.py" "$VCAM_STATE/lib/resource" ||
    echo "vcam: cannot draw the icon tables" >&2
fi
unset vcam_icons

# The run's own folder inside the camera.
: > "$VCAM_STATE/calls.log"
: > "$VCAM_STATE/fifo.log"
VCAM_BWRAP_EXTRA+=(--bind "$VCAM_STATE/calls.log" /.vcam/calls.log
                   --bind "$VCAM_STATE/fifo.log" /.vcam/fifo.log
                   --bind "$VCAM_STATE/ctl" /.vcam/ctl
                   --bind "$VCAM_STATE/sys" /.vcam/sys)
if [ -n "$VCAM_FORWARD" ]; then
  mkdir -p "$VCAM_STATE/fwd"
  VCAM_BWRAP_EXTRA+=(--bind "$VCAM_STATE/fwd" /.vcam/fwd --setenv VCAM_FORWARD 1)
fi
