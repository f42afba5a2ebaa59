#!/usr/bin/env bash
# Installs the package as a user would, into a fresh Debian 12 root: apt-get
# pulls its dependencies, the program starts headless, and a purge leaves
# nothing behind. The root is made once with debootstrap and kept in
# $KESTRELIO_TEST_CACHE (default /var/cache/kestrelio-tests); each run works
# on a throw-away overlay of it, inside a mount namespace of its own.
set -euo pipefail
fail() { echo "FAIL: $*" >&2; exit 1; }

deb=$(realpath "${1:?usage: install_in_fresh_root.sh PACKAGE.deb}")
[[ -f $deb ]] || fail "no package at $deb"
version=$(dpkg-deb -f "$deb" Version)
[[ $(id -u) -eq 0 ]] || fail "needs root for debootstrap, chroot and mounts"
command -v debootstrap >/dev/null || fail "debootstrap is missing (./scripts/install-deps.sh --tests)"

cache=${KESTRELIO_TEST_CACHE:-/var/cache/kestrelio-tests}
base=$cache/bookworm-minbase
mkdir -p "$cache/apt-archives/partial"
# Several checkouts on one machine share the cache.
exec 9>"$cache/lock"
flock -w 900 9 || fail "the cache at $cache stayed locked"

# The Debian mirror this machine's own apt uses (one-line or deb822 sources).
suite_uri() {
    local sources=()
    for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
        [[ -f $f ]] && sources+=("$f")
    done
    awk -v suite="$1" '
        /^deb /   { for (i = 2; i < NF; i++) if ($i ~ /^[a-z]+:\/\//) { if ($(i + 1) == suite) { print $i; exit } break } }
        /^URIs:/  { uris = $2 }
        /^Suites:/ { for (i = 2; i <= NF; i++) if ($i == suite) { print uris; exit } }
        /^$/      { uris = "" }' "${sources[@]}" </dev/null
}
mirror=$(suite_uri bookworm)
security=$(suite_uri bookworm-security)
[[ -n $mirror ]] || fail "no Debian bookworm mirror in /etc/apt/sources.list(.d)"

if [[ ! -d $base ]]; then
    echo "Making a fresh Debian 12 root from $mirror (once)"
    rm -rf "$base.new"
    debootstrap --variant=minbase bookworm "$base.new" "$mirror" >"$cache/debootstrap.log" 2>&1 ||
        fail "debootstrap failed; see $cache/debootstrap.log"
    {
        echo "deb $mirror bookworm main"
        echo "deb $mirror bookworm-updates main"
        [[ -z $security ]] || echo "deb $security bookworm-security main"
    } >"$base.new/etc/apt/sources.list"
    mv "$base.new" "$base"
fi

scratch=$(mktemp -d /var/tmp/kestrelio-root.XXXXXX)
trap 'rm -rf "$scratch"' EXIT
cp "$deb" "$scratch/"

# Everything below runs in a private mount namespace: its mounts vanish with it.
unshare -m --propagation private bash -euo pipefail -s "$base" "$scratch" "$cache" "$version" <<'INNER'
fail() { echo "FAIL: $*" >&2; exit 1; }
base=$1 scratch=$2 cache=$3 version=$4
root=$scratch/root
mount_system() {
    mount -t proc proc "$1/proc"
    mount --rbind /dev "$1/dev"
    mount --bind "$cache/apt-archives" "$1/var/cache/apt/archives"
    cp -L /etc/resolv.conf "$1/etc/resolv.conf"
}
in_root() { env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 \
    DEBIAN_FRONTEND=noninteractive chroot "$root" "$@"; }

# Package lists are fetched into the cached root once a day, not on every run.
# (apt dates the lists by the mirror's clock, so a stamp of our own tells their age.)
stamp=$cache/lists-updated
if [[ -z $(find "$stamp" -mmin -1440 2>/dev/null) ]]; then
    mount_system "$base"
    root=$base in_root apt-get update -qq || fail "apt-get update failed"
    umount -R "$base/proc" "$base/dev" "$base/var/cache/apt/archives"
    touch "$stamp"
fi

mkdir -p "$scratch/upper" "$scratch/work" "$root"
mount -t overlay overlay -o "lowerdir=$base,upperdir=$scratch/upper,workdir=$scratch/work" "$root"
mount_system "$root"
cp "$scratch"/*.deb "$root/tmp/"
# A udevadm that logs its calls and fails: the maintainer scripts may call it
# only where udev runs, and must never fail for it.
printf '#!/bin/sh\necho "$*" >>/tmp/udevadm.log\nexit 1\n' >"$root/usr/sbin/udevadm"
chmod 755 "$root/usr/sbin/udevadm"

in_root apt-get install -y -qq --no-install-recommends -o Dpkg::Options::=--force-unsafe-io "./tmp/$(basename "$scratch"/*.deb)" \
    >"$scratch/install.log" 2>&1 || { cat "$scratch/install.log"; fail "apt-get install failed"; }
in_root dpkg -L kestrelio >"$scratch/files"
grep -qx /usr/lib/udev/rules.d/70-kestrelio-uinput.rules "$scratch/files" || fail "no active udev rule"
[[ ! -e $root/tmp/udevadm.log ]] || fail "udevadm called without a running udev: $(cat "$root/tmp/udevadm.log")"
[[ $(in_root kestrelio --version) == "kestrelio $version" ]] || fail "kestrelio --version: $(in_root kestrelio --version)"
# The user's guide and the protocol come with the package, readable where it is installed.
for doc in README.md protocol.md; do
    text=$(in_root zcat "/usr/share/doc/kestrelio/$doc.gz") && [[ $text == "# Kestrelio"* ]] ||
        fail "no readable /usr/share/doc/kestrelio/$doc.gz"
done

# Without a network (a namespace of its own), so port 3330 is free.
unshare -n env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 chroot "$root" kestrelio --headless \
    >"$scratch/run.log" 2>&1 &
program=$!
for _ in $(seq 100); do
    grep -q "Server ready on port 3330$" "$scratch/run.log" && break
    kill -0 "$program" 2>/dev/null || break
    sleep 0.1
done
kill "$program" 2>/dev/null || true
wait "$program" || true
grep -q "Server ready on port 3330$" "$scratch/run.log" || { cat "$scratch/run.log"; fail "headless start"; }

# Where udev runs, the rule is applied at once and forgotten on removal.
mkdir -p "$root/run/udev"
perl -MSocket -e 'socket(S, AF_UNIX, SOCK_STREAM, 0) and bind(S, pack_sockaddr_un($ARGV[0])) or die "$!\n"' \
    "$root/run/udev/control"
in_root /var/lib/dpkg/info/kestrelio.postinst configure >"$scratch/postinst.log" 2>&1 ||
    { cat "$scratch/postinst.log"; fail "postinst with udev running"; }
[[ ! -s $scratch/postinst.log ]] || { cat "$scratch/postinst.log"; fail "postinst is not quiet"; }
in_root apt-get purge -y -qq kestrelio >>"$scratch/install.log" 2>&1 || { cat "$scratch/install.log"; fail "purge"; }
calls=$(cat "$root/tmp/udevadm.log")
[[ $calls == $'control --reload-rules\ntrigger --subsystem-match=misc --sysname-match=uinput --action=change\ncontrol --reload-rules' ]] ||
    fail "udevadm calls: $calls"
left=()
while read -r path; do
    [[ -e $root$path && ! -e $base$path ]] && left+=("$path")
done <"$scratch/files"
[[ ${#left[@]} -eq 0 ]] || fail "left behind after purge: ${left[*]}"
echo "installed, started headless and purged kestrelio $version in a fresh Debian 12 root"
INNER
