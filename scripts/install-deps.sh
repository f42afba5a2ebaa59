#!/usr/bin/env bash
# Installs the Debian packages Kestrelio needs to build, run and test,
# skipping those already present. Runs apt-get as root, or through sudo.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  qt6-base-dev qt6-websockets-dev qt6-wayland libqt6svg6 fonts-dejavu-core
  libevdev-dev libx11-dev libxtst-dev libxi-dev libqrencode-dev libsdl2-dev libudev-dev
  libssl-dev
)
if [[ "${1:-}" == "--tests" || "${1:-}" == "--bench" ]]; then
  packages+=(xvfb)
fi
if [[ "${1:-}" == "--tests" || "${1:-}" == "--package" ]]; then
  packages+=(dpkg-dev file lintian desktop-file-utils appstream)
fi
if [[ "${1:-}" == "--tests" ]]; then
  packages+=(clang-format git libzbar-dev iproute2 util-linux chromium nodejs debootstrap dbus-daemon
    qemu-system-x86 busybox-static)
  # The real desktops, headless: GNOME's and KDE's compositors and portals
  # (KDE's dialog is QML from Plasma's workspace), a Wayland client that logs
  # its input, and the accessibility bus that answers their dialogs.
  packages+=(mutter xdg-desktop-portal xdg-desktop-portal-gnome kwin-wayland qtwayland5
    xdg-desktop-portal-kde plasma-workspace qml-module-org-kde-kirigami2
    qml-module-qtquick-controls2 qml-module-qtquick-layouts libgl1-mesa-dri wev at-spi2-core
    python3-gi gir1.2-atspi-2.0)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
# Some Node.js packages bring npm along; Debian's ships it apart.
if [[ "${1:-}" == "--tests" ]] && ! command -v npm >/dev/null; then
  missing+=(npm)
fi
[[ ${#missing[@]} -eq 0 ]] && exit 0

sudo=()
[[ $(id -u) -ne 0 ]] && sudo=(sudo)
echo "Installing: ${missing[*]}"
"${sudo[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
