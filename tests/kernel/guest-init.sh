#!/bin/busybox sh
# The guest's first process: runs the command in /results/command chrooted
# into this machine's root, leaves its status in /results/status, powers off.
/bin/busybox --install -s /bin
export PATH=/bin
stop() {
    echo "guest: $*" >/dev/console
    poweroff -f
    sleep 60
}
kernel_fs() { mount -t proc proc "$1/proc" && mount -t sysfs sysfs "$1/sys" && mount -t devtmpfs devtmpfs "$1/dev"; }
nine_p() { mount -t 9p -o "trans=virtio,version=9p2000.L,msize=262144$3" "$1" "$2"; }

kernel_fs ""
# shellcheck disable=SC2046 # one module a word
modprobe -a $(cat /modules) || stop "could not load $(cat /modules)"
nine_p results /results || stop "could not mount the results directory"
nine_p host /host ,cache=loose,ro || stop "could not mount the host's root"

# Nothing the command does lands on the host: all it may write is in memory,
# but for what it needs from this machine's /tmp or /run.
kernel_fs /host || stop "could not mount /proc, /sys and /dev"
mkdir -p /host/dev/pts /host/dev/shm /kept
mount -t devpts devpts /host/dev/pts
mount -t tmpfs tmpfs /host/dev/shm
keep=$(cat /results/keep)
[ -z "$keep" ] || mount -o bind "/host$keep" /kept || stop "could not keep $keep"
mount -t tmpfs tmpfs /host/tmp
mount -t tmpfs tmpfs /host/run
if [ -n "$keep" ]; then
    mkdir -p "/host$keep"
    mount -o bind /kept "/host$keep" || stop "could not keep $keep"
fi
mkdir -p /host/tmp/home/.config /host/tmp/run
chmod 700 /host/tmp/run
ip link set lo up || stop "could not bring up the loopback interface"

set --
while IFS= read -r argument; do set -- "$@" "$argument"; done </results/command
chroot /host /usr/bin/env -C /tmp -i PATH=/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin \
    HOME=/tmp/home XDG_CONFIG_HOME=/tmp/home/.config XDG_RUNTIME_DIR=/tmp/run LANG=C.UTF-8 \
    "$@" >/results/output 2>&1
echo $? >/results/status.new
dmesg >/results/dmesg
mv /results/status.new /results/status
sync
umount /results
stop "done"
