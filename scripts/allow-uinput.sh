#!/bin/sh
# Lets the user sitting at this computer make input devices through
# /dev/uinput, which game pads need: installs Kestrelio's udev rule from this
# source tree and applies it at once. Run as root (sudo).
set -eu
rule=$(dirname "$0")/../packaging/70-kestrelio-uinput.rules
install -m 644 "$rule" /etc/udev/rules.d/
udevadm control --reload
modprobe uinput
udevadm trigger --subsystem-match=misc --sysname-match=uinput
echo "Game pads are on. Start Kestrelio again if it runs."
