# Runs a 32-bit Windows test tree where this machine's kernel cannot start
# Wine's 32-bit loader: in a Debian 12 guest under qemu-system-x86_64, whose
# stock kernel can. Software emulation, so no KVM is needed; slow, but Wine
# and the registry are the real ones. Sourced by scripts/test after lib.sh.

GUEST_DIR="$BUILD_ROOT/x86-guest"
GUEST_ROOTFS="$GUEST_DIR/rootfs"
GUEST_MIRROR=http://deb.debian.org/debian
GUEST_HOST_PACKAGES=(qemu-system-x86 debootstrap e2fsprogs)
# Wine without its recommends, and the libraries of those it needs here.
GUEST_PACKAGES=(
    wine wine64 wine32:i386 libwine:i386 xvfb xauth locales fonts-ipafont-gothic
    fonts-wine fonts-liberation cmake
)
for library in libxrender1 libxrandr2 libxi6 libxcursor1 libxinerama1 libxcomposite1 \
    libxfixes3 libxxf86vm1 libgnutls30 libdbus-1-3 libfreetype6 libfontconfig1; do
    GUEST_PACKAGES+=("$library" "$library:i386")
done
unset library

# Commands run inside the guest's root while it is being built.
in_guest_root() {
    as_root chroot "$GUEST_ROOTFS" env DEBIAN_FRONTEND=noninteractive LC_ALL=C "$@"
}

# Builds the guest's root once; later runs reuse it.
make_guest_root() {
    [ -f "$GUEST_ROOTFS/.orrelin-ready" ] && return 0
    as_root rm -rf "$GUEST_ROOTFS"
    mkdir -p "$GUEST_DIR"
    echo "Building the guest's Debian root (once)"
    as_root debootstrap --variant=minbase --arch=amd64 \
        --include=linux-image-amd64,initramfs-tools,procps bookworm "$GUEST_ROOTFS" \
        "$GUEST_MIRROR" >"$GUEST_DIR/debootstrap.log" 2>&1 || return 1
    printf 'deb %s %s main\n' "$GUEST_MIRROR" bookworm "$GUEST_MIRROR" bookworm-updates \
        "${GUEST_MIRROR%/debian}/debian-security" bookworm-security |
        as_root tee "$GUEST_ROOTFS/etc/apt/sources.list" >/dev/null
    (
        # apt's scripts want these; they are let go however this ends.
        for mount in proc sys dev dev/pts; do
            as_root mount --bind "/$mount" "$GUEST_ROOTFS/$mount"
        done
        trap 'for mount in dev/pts dev sys proc; do
                  as_root umount "$GUEST_ROOTFS/$mount" 2>/dev/null || true
              done' EXIT
        in_guest_root dpkg --add-architecture i386 &&
            in_guest_root apt-get update -qq &&
            in_guest_root apt-get install -y -qq --no-install-recommends "${GUEST_PACKAGES[@]}"
    ) >"$GUEST_DIR/packages.log" 2>&1 || return 1
    echo 'ja_JP.UTF-8 UTF-8' | as_root tee -a "$GUEST_ROOTFS/etc/locale.gen" >/dev/null
    in_guest_root locale-gen >/dev/null 2>&1 || return 1
    as_root touch "$GUEST_ROOTFS/.orrelin-ready"
}

# What the guest runs instead of an init: the suite as scripts/test runs it,
# its ctest output and status kept in /orrelin-results, then power off.
write_guest_init() {
    local tree="$1"
    as_root tee "$GUEST_ROOTFS/orrelin-run" >/dev/null <<EOF
#!/bin/bash
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev 2>/dev/null
mkdir -p /dev/pts /dev/shm
mount -t devpts devpts /dev/pts
# /tmp stays on disk: the tree may have come from below it.
for dir in /dev/shm /run; do mount -t tmpfs tmpfs \$dir; done
chmod 1777 /tmp /dev/shm
export PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root
results=/orrelin-results
mkdir -p \$results
exec > >(tee -a \$results/console.log >/dev/ttyS0) 2>&1
export WINEPREFIX="$tree/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
japanese() { env LANG=ja_JP.UTF-8 LC_ALL=ja_JP.UTF-8 "\$@"; }
rm -rf "\$WINEPREFIX"
mkdir -p "\$WINEPREFIX"
japanese wine wineboot --init >/dev/null 2>&1
wineserver --wait
display_file=\$(mktemp)
Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp 3>"\$display_file" </dev/null >/dev/null 2>&1 &
for _ in \$(seq 600); do [ -s "\$display_file" ] && break; sleep 0.2; done
export DISPLAY=":\$(tr -d '\n' <"\$display_file")"
wineserver --persistent </dev/null >/dev/null 2>&1
japanese wine wineboot </dev/null >/dev/null 2>&1
ctest --test-dir "$tree" --output-on-failure --no-tests=error >\$results/ctest.log 2>&1
echo \$? >\$results/status
wineserver --kill
sync
mount -o remount,ro /
echo o >/proc/sysrq-trigger
sleep 60
EOF
    as_root chmod 755 "$GUEST_ROOTFS/orrelin-run"
}

# Runs the ctest tree $1 in the guest and prints its output. Returns the
# suite's status, or 125 when the guest itself could not be made or run.
run_tree_in_guest() {
    local tree="$1" image="$GUEST_DIR/disk.img" kernel initrd
    ensure_packages "${GUEST_HOST_PACKAGES[@]}"
    make_guest_root || {
        echo "The guest's root could not be built; see $GUEST_DIR" >&2
        return 125
    }
    # The tree at its own path, so that ctest's paths hold in the guest.
    as_root rm -rf "$GUEST_ROOTFS$tree" "$GUEST_ROOTFS/orrelin-results"
    as_root mkdir -p "$GUEST_ROOTFS$(dirname "$tree")"
    tar -C / --exclude="${tree#/}/wineprefix" -cf - "${tree#/}" | as_root tar -C "$GUEST_ROOTFS" -xf -
    write_guest_init "$tree"
    kernel="$(ls "$GUEST_ROOTFS"/boot/vmlinuz-* | tail -n 1)"
    initrd="$(ls "$GUEST_ROOTFS"/boot/initrd.img-* | tail -n 1)"
    rm -f "$image"
    truncate -s 8G "$image"
    as_root mkfs.ext4 -q -F -d "$GUEST_ROOTFS" "$image" || return 125
    # Emulated SMAP breaks Wine's return to user mode under this qemu (the
    # guest kernel oopses), so the guest's CPU goes without it.
    timeout 3000 qemu-system-x86_64 -m 4096 -smp 2 -accel tcg,thread=multi -cpu max,smap=off \
        -nographic -no-reboot -net none -kernel "$kernel" -initrd "$initrd" \
        -append "root=/dev/vda rw console=ttyS0 init=/orrelin-run panic=10 quiet" \
        -drive "file=$image,format=raw,if=virtio" </dev/null >"$GUEST_DIR/console.log" 2>&1 || true
    local results="$GUEST_DIR/results"
    rm -rf "$results"
    mkdir -p "$results"
    for file in ctest.log status; do
        debugfs -R "dump /orrelin-results/$file $results/$file" "$image" >/dev/null 2>&1 || true
    done
    rm -f "$image"
    if [ ! -s "$results/status" ]; then
        echo "The guest did not finish the suite; its console is in $GUEST_DIR/console.log" >&2
        return 125
    fi
    cat "$results/ctest.log"
    return "$(cat "$results/status")"
}
