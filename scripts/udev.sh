#!/bin/sh
# Installs the udev rule that gives the logged-in user the amplifiers' USB bridges, and applies
# it to the bridges already plugged in.
set -e
RULE="$(dirname "$0")/70-kav4-amplifiers.rules"
TARGET=/etc/udev/rules.d/70-kav4-amplifiers.rules
if [ "$(id -u)" -eq 0 ]; then SUDO=""; else SUDO="sudo"; fi
$SUDO install -m 644 "$RULE" "$TARGET"
if command -v udevadm >/dev/null 2>&1; then
    $SUDO udevadm control --reload-rules
    $SUDO udevadm trigger --subsystem-match=usb --attr-match=idVendor=0403
    echo "Installed $TARGET: amplifiers plugged in now belong to the logged-in user."
    echo "Unplug and replug an amplifier that KAV4 still cannot open."
else
    echo "Installed $TARGET, but udevadm is missing here: the rule applies once udev runs."
fi
