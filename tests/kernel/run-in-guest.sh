#!/usr/bin/env bash
# run-in-guest.sh COMMAND [ARGUMENT...]: runs it chrooted into this machine's
# root under Debian 12's own kernel in QEMU (see tests/kernel in
# docs/development.md), and exits with its status. Kernel cache: $KESTRELIO_TEST_CACHE
# (/var/cache/kestrelio-tests); the guest's time limit: $KESTRELIO_GUEST_TIMEOUT (180 s).
set -euo pipefail
here=$(dirname "$(realpath "$0")")
fail() { echo "FAIL: $*" >&2; exit 1; }

[[ $# -ge 1 ]] || fail "usage: run-in-guest.sh COMMAND [ARGUMENT...]"
[[ $1 == */* ]] && set -- "$(realpath "$1")" "${@:2}"
# The guest has a /tmp and a /run of its own: a checkout under either is carried over.
[[ $1 =~ ^/(tmp|run)/[^/]+ ]] && keep=${BASH_REMATCH[0]} || keep=
[[ $(id -u) -eq 0 ]] || fail "needs root to download the kernel package into the shared cache"
for tool in qemu-system-x86_64 busybox file apt-get dpkg-deb flock; do
    command -v "$tool" >/dev/null || fail "$tool is missing (./scripts/install-deps.sh --tests)"
done
# The guest's first process runs before any library is there.
busybox=$(command -v busybox)
file -L "$busybox" | grep -q 'statically linked' || fail "$busybox is not static (install busybox-static)"

cache=${KESTRELIO_TEST_CACHE:-/var/cache/kestrelio-tests}/kernel
mkdir -p "$cache"
kernel_package() {
    apt-cache depends linux-image-amd64 2>/dev/null |
        awk '$1 == "Depends:" && $2 ~ /^linux-image-[0-9]/ { print $2; exit }'
}
package=$(kernel_package)
[[ -n $package ]] || { apt-get update -qq || fail "apt-get update failed"; package=$(kernel_package); }
[[ -n $package ]] || fail "apt knows no linux-image-amd64 package"
version=${package#linux-image-}
unpacked=$cache/$package

# Checkouts share the cache: each holds it shared until done; one that fetches holds it alone.
exec 9>"$cache/lock"
flock -s -w 600 9 || fail "the kernel cache at $cache stayed locked"
[[ -f $unpacked/ready ]] || flock -w 600 9 || fail "the kernel cache at $cache stayed in use"
if [[ ! -f $unpacked/ready ]]; then
    echo "Fetching and unpacking $package (once)"
    rm -rf "$cache/download" "$unpacked.new"
    mkdir -p "$cache/download"
    download() { (cd "$cache/download" && apt-get download -qq -o APT::Sandbox::User=root "$package"); }
    # Stale lists name a version the mirror no longer has: refresh once.
    download || { apt-get update -qq && download; } || fail "could not download $package"
    dpkg-deb -x "$cache"/download/"$package"_*.deb "$unpacked.new" || fail "could not unpack $package"
    # The package leaves modules.dep to its install script.
    busybox depmod -b "$unpacked.new" "$version" || fail "depmod failed for $package"
    find "$cache" -mindepth 1 -maxdepth 1 -type d ! -name "$package.new" -exec rm -rf {} +
    mv "$unpacked.new" "$unpacked"
    touch "$unpacked/ready"
fi
flock -s 9
modules=$unpacked/lib/modules/$version
[[ -f $unpacked/boot/vmlinuz-$version && -f $modules/modules.dep ]] || fail "$unpacked holds no kernel"

scratch=$(mktemp -d /var/tmp/kestrelio-guest.XXXXXX)
trap 'rm -rf "$scratch"' EXIT
results=$scratch/results
initrd=$scratch/initrd
mkdir -p "$results" "$initrd"/{bin,proc,sys,dev,host,results,"lib/modules/$version"}
printf '%s\n' "$@" >"$results/command"
printf '%s' "$keep" >"$results/keep"
# A tiny initramfs: static busybox, our init, and the modules it loads with
# all they need (modules.dep lists a module's dependencies in full).
cp "$busybox" "$initrd/bin/busybox"
cp "$here/guest-init.sh" "$initrd/init"
cp "$modules/modules.dep" "$initrd/lib/modules/$version/"
wanted=(virtio_pci 9pnet_virtio 9p uinput evdev)
echo "${wanted[*]}" >"$initrd/modules"
for module in "${wanted[@]}"; do
    line=$(grep -E "(^|/)$module\.ko:" "$modules/modules.dep") || fail "kernel $version has no $module"
    for file in ${line/:/}; do
        install -D "$modules/$file" "$initrd/lib/modules/$version/$file"
    done
done
(cd "$initrd" && find . | busybox cpio -o -H newc 2>/dev/null) >"$scratch/initrd.cpio" ||
    fail "could not pack the initramfs"

timeout=${KESTRELIO_GUEST_TIMEOUT:-180}
started=$EPOCHREALTIME
status=0
timeout -k 5 "$timeout" qemu-system-x86_64 -accel tcg -cpu max -smp 1 -m 1G -machine q35 \
    -nographic -no-reboot -nodefaults -serial "file:$scratch/console.log" \
    -kernel "$unpacked/boot/vmlinuz-$version" -initrd "$scratch/initrd.cpio" \
    -append "console=ttyS0 panic=-1 quiet loglevel=3" \
    -fsdev local,id=host,path=/,security_model=none,readonly=on,multidevs=remap \
    -device virtio-9p-pci,fsdev=host,mount_tag=host \
    -fsdev local,id=results,path="$results",security_model=none \
    -device virtio-9p-pci,fsdev=results,mount_tag=results \
    </dev/null >"$scratch/qemu.log" 2>&1 || status=$?

show() { [[ -s $1 ]] && { echo "--- $2"; tail -n "${3:-60}" "$1"; }; return 0; }
show "$results/output" "output of $1 in the guest" +1
awk -v from="$started" -v to="$EPOCHREALTIME" 'BEGIN { printf "Guest ran for %.1f s\n", to - from }'
if [[ ! -f $results/status ]]; then
    show "$scratch/qemu.log" "QEMU"
    show "$scratch/console.log" "guest console"
    [[ $status -ne 124 && $status -ne 137 ]] || fail "the guest did not finish within $timeout s"
    fail "the guest reported no result (QEMU exited with $status)"
fi
status=$(<"$results/status")
[[ $status == 0 ]] || show "$results/dmesg" "guest kernel log" 20
exit "$status"
