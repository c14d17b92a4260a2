#!/bin/bash
# Lets this machine run 32-bit ARM (armhf) Linux programs, such as the
# delivered device daemon, through Debian's user-mode emulator
# (qemu-user-static) registered with the kernel's binfmt_misc. The
# registration's F flag opens the emulator once, so it also serves inside
# the test host's namespaces.
#   scripts/arm-emulation.sh [PROGRAM]   register when needed (root), then
#                                        check that PROGRAM --help runs
# Exit status 0 when ARM programs run here, 77 with the reason when not.
set -euo pipefail
BINFMT=/proc/sys/fs/binfmt_misc
CONF=/usr/lib/binfmt.d/qemu-arm.conf

unavailable() { echo "arm-emulation: unavailable: $*" >&2; exit 77; }

if [ ! -e "$BINFMT/qemu-arm" ]; then
  [ -f "$CONF" ] || unavailable "no $CONF (Debian package qemu-user-static)"
  [ "$(id -u)" -eq 0 ] || unavailable "registering the emulator with binfmt_misc needs root"
  if [ ! -e "$BINFMT/register" ]; then
    mount -t binfmt_misc binfmt_misc "$BINFMT" 2>/dev/null ||
      unavailable "binfmt_misc cannot be mounted at $BINFMT"
  fi
  # The one registration line of the file; a registration made meanwhile
  # by another run is as good.
  grep -v '^[#;]' "$CONF" | grep -m1 . > "$BINFMT/register" 2>/dev/null ||
    [ -e "$BINFMT/qemu-arm" ] || unavailable "the kernel refused the registration of $CONF"
fi
head -n1 "$BINFMT/qemu-arm" | grep -qx enabled || unavailable "qemu-arm is registered but disabled"
if [ $# -gt 0 ]; then
  "$1" --help >/dev/null 2>&1 || unavailable "$1 does not run here"
fi
exit 0
