#!/usr/bin/env bash
# Installs the uinput rule of the package into /etc/udev/rules.d, so that game
# pads and keys work from a clone without sudo, as they do from the package.
# Nothing is done where access is granted already (by any rule), where the
# rule is in place or masked with /dev/null, or with KESTRELIO_NO_UDEV_RULE=1.
set -euo pipefail
cd "$(dirname "$0")/.."

rule=70-kestrelio-uinput.rules
[[ ${KESTRELIO_NO_UDEV_RULE:-} == 1 || ! -d /etc/udev/rules.d || -w /dev/uinput ]] && exit 0
for dir in /etc/udev/rules.d /run/udev/rules.d /usr/lib/udev/rules.d /lib/udev/rules.d; do
    [[ -e $dir/$rule || -L $dir/$rule ]] && exit 0
done

sudo=()
[[ $(id -u) -ne 0 ]] && sudo=(sudo)
echo "Installing the udev rule /etc/udev/rules.d/$rule, so that game pads and keys work" \
    "without sudo (KESTRELIO_NO_UDEV_RULE=1 skips this)"
"${sudo[@]}" install -m 644 "packaging/$rule" /etc/udev/rules.d/
if command -v udevadm >/dev/null && [[ -S /run/udev/control ]]; then
    "${sudo[@]}" udevadm control --reload-rules || true
    "${sudo[@]}" udevadm trigger --subsystem-match=misc --sysname-match=uinput --action=change || true
fi
