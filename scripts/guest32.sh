# Runs a 32-bit Windows test tree where this machine's kernel cannot start
# Wine's 32-bit loader: in a Debian guest under qemu-system-x86_64, whose
# stock kernel can. Software emulation, so no KVM is needed; slow, but Wine
# and the registry are the real ones. Sourced by scripts/test after lib.sh.
#
# The guest's root is built once per machine, from the machine's own Debian
# package sources, and kept as a disk image in the user's cache folder under
# a name that changes with what goes into it. Each run boots that image with
# its writes thrown away, and sees the tree at its own path through a shared
# folder.

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
# The user's cache folder, also where HOME is not set (as under some CI).
GUEST_CACHE="${XDG_CACHE_HOME:-${HOME:-$(getent passwd "$(id -u)" | cut -d: -f6)}/.cache}/orrelin_regdel"

# "URI SUITE COMPONENT" lines, the release's own suite first: where this
# machine's apt gets its release, updates and security fixes (sources.list
# and the .sources files alike), or the "deb ..." lines of the file that
# ORRELIN_GUEST_SOURCES names.
guest_sources() {
    if [ -n "${ORRELIN_GUEST_SOURCES:-}" ]; then
        sed -n -E 's/^deb[[:space:]]+(\[[^]]*\][[:space:]]+)?//p' "$ORRELIN_GUEST_SOURCES"
        return
    fi
    local release
    release="$(. /etc/os-release && echo "${VERSION_CODENAME:-}")"
    LC_ALL=C apt-get indextargets --format '$(REPO_URI) $(RELEASE) $(COMPONENT)' \
        'Created-By: Packages' |
        awk -v r="$release" '$2 == r || $2 == r "-updates" || $2 == r "-security"' |
        sort -u -k2,2 -k1,1 -k3,3
}

in_guest_root() {
    local rootfs="$1"
    shift
    as_root chroot "$rootfs" env DEBIAN_FRONTEND=noninteractive LC_ALL=C "$@"
}

# Builds the guest's disk image, kernel and initrd in the folder $1 from
# the sources $2.
make_guest_image() {
    local dir="$1" sources="$2" rootfs="$1/rootfs" mirror suite proxy="" size
    read -r mirror suite _ <<<"$sources"
    eval "$(LC_ALL=C apt-config shell proxy Acquire::http::Proxy)"
    mkdir -p "$rootfs"
    as_root env ${proxy:+http_proxy="$proxy"} debootstrap --variant=minbase --arch=amd64 \
        --include=linux-image-amd64,initramfs-tools,procps "$suite" "$rootfs" "$mirror" \
        >"$dir/debootstrap.log" 2>&1 || return 1
    sed 's/^/deb /' <<<"$sources" | as_root tee "$rootfs/etc/apt/sources.list" >/dev/null
    if [ -n "$proxy" ]; then
        printf 'Acquire::http::Proxy "%s";\n' "$proxy" |
            as_root tee "$rootfs/etc/apt/apt.conf.d/01proxy" >/dev/null
    fi
    (
        # apt's scripts want these; they are let go however this ends.
        for mount in proc sys dev dev/pts; do
            as_root mount --bind "/$mount" "$rootfs/$mount"
        done
        trap 'for mount in dev/pts dev sys proc; do
                  as_root umount "$rootfs/$mount" 2>/dev/null || true
              done' EXIT
        in_guest_root "$rootfs" dpkg --add-architecture i386 &&
            in_guest_root "$rootfs" apt-get update -qq &&
            in_guest_root "$rootfs" apt-get install -y -qq --no-install-recommends \
                "${GUEST_PACKAGES[@]}"
    ) >"$dir/packages.log" 2>&1 || return 1
    echo 'ja_JP.UTF-8 UTF-8' | as_root tee -a "$rootfs/etc/locale.gen" >/dev/null
    in_guest_root "$rootfs" locale-gen >/dev/null 2>&1 || return 1
    write_guest_init "$rootfs/orrelin-init"
    as_root cat "$rootfs"/boot/vmlinuz-* >"$dir/vmlinuz"
    as_root cat "$rootfs"/boot/initrd.img-* >"$dir/initrd.img"
    # The root and a quarter more; the guest's writes go to a throwaway overlay.
    size="$(as_root du -sm "$rootfs" | cut -f1)"
    truncate -s "$((size + size / 4 + 256))M" "$dir/root.img"
    as_root mkfs.ext4 -q -F -d "$rootfs" "$dir/root.img" || return 1
    remove_tree "$rootfs"
}

# What the guest runs instead of an init: the script that the host shares
# in the folder /job with the run's job.
write_guest_init() {
    as_root tee "$1" >/dev/null <<'EOF'
#!/bin/sh
mount -t proc proc /proc 2>/dev/null
modprobe -a 9pnet_virtio 9p
mkdir -p /job
mount -t 9p -o trans=virtio,version=9p2000.L,msize=262144 job /job
exec /bin/bash /job/init
EOF
    as_root chmod 755 "$1"
}

# The job: the tree at its own path (shared too), Wine's prefix on the
# guest's second disk, the command to run there; its output and status are
# kept in /job, then the guest powers off.
write_guest_job() {
    { printf 'tree=%q\ncommand=(%s)\n' "$2" \
          "$(printf '%q ' "${WINDOWS_SUITE[@]}" --test-dir "$2")"
      cat <<'EOF'
export PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root
# The initramfs has mounted /proc, /sys and /dev.
mkdir -p /dev/pts /dev/shm
mount -t devpts devpts /dev/pts
for dir in /dev/shm /run /tmp; do mount -t tmpfs tmpfs $dir; done
chmod 1777 /tmp /dev/shm
mkdir -p "$tree"
mount -t 9p -o trans=virtio,version=9p2000.L,msize=262144,cache=loose tree "$tree"
mkdir -p "$tree/wineprefix" && mount /dev/vdb "$tree/wineprefix"
(cd "$tree" && "${command[@]}") >/job/output.log 2>&1
echo $? >/job/status
wineserver --kill 2>/dev/null
sync
umount "$tree/wineprefix" "$tree"
echo o >/proc/sysrq-trigger
sleep 60
EOF
    } >"$1/init"
}

# The folder of the guest's image for these sources: named after the suite,
# the packages and this recipe, so that a change to any builds it anew.
guest_image_dir() {
    local key
    key="$({ awk 'NR == 1 { print $2 }' <<<"$1"
             printf '%s\n' "${GUEST_PACKAGES[@]}"
             declare -f make_guest_image write_guest_init; } | sha256sum | cut -c1-16)"
    echo "$GUEST_CACHE/x86-guest-$key"
}

# Runs the 32-bit suite of the tree $1 in the guest and prints its output.
# Returns the suite's status, or 125 when the guest could not be made or
# run, after a line "NOT RUN: why".
run_tree_in_guest() {
    local tree="$1" sources dir job status=0 old lock
    sources="$(guest_sources)"
    if [ -z "$sources" ]; then
        echo "NOT RUN: no Debian package sources for the guest, in apt's configuration" \
            "or in ORRELIN_GUEST_SOURCES"
        return 125
    fi
    dir="$(guest_image_dir "$sources")"
    if [ ! -f "$dir/root.img" ] || ! command -v qemu-system-x86_64 >/dev/null; then
        if [ "$(id -u)" -ne 0 ] && ! command -v sudo >/dev/null; then
            echo "NOT RUN: the 32-bit suite needs root or sudo here, to build its guest;" \
                "ORRELIN_SKIP_32BIT=1 runs the other suites without it"
            return 125
        fi
        ensure_packages "${GUEST_HOST_PACKAGES[@]}"
    fi
    if [ ! -f "$dir/root.img" ]; then
        echo "Building the guest's Debian root in $dir (once per machine, a few minutes)"
        remove_tree "$dir.building"
        mkdir -p "$dir.building"
        if ! make_guest_image "$dir.building" "$sources"; then
            echo "NOT RUN: the guest's root could not be built; see $dir.building"
            return 125
        fi
        # Roots of earlier recipes are of no more use.
        for old in "$GUEST_CACHE"/x86-guest-*; do
            [ "$old" = "$dir.building" ] || remove_tree "$old"
        done
        mv "$dir.building" "$dir"
    fi

    # Wine's prefix lives on a disk of its own beside the image and, like a
    # tree's own prefix, is made on first use and kept; one run at a time.
    exec {lock}>"$dir/lock"
    flock "$lock"
    if [ ! -f "$dir/wineprefix.img" ]; then
        truncate -s 4G "$dir/wineprefix.img"
        PATH="$PATH:/usr/sbin:/sbin" mkfs.ext4 -q -F "$dir/wineprefix.img"
    fi
    job="$(mktemp -d "${TMPDIR:-/tmp}/orrelin-guest.XXXXXX")"
    write_guest_job "$job" "$tree"
    # Emulated SMAP breaks Wine's return to user mode under qemu 7.2 (the
    # guest kernel oopses), so the guest's CPU goes without it. Commas in
    # qemu's option values are doubled.
    timeout 3000 qemu-system-x86_64 -m 4096 -smp 2 -accel tcg,thread=multi -cpu max,smap=off \
        -nographic -no-reboot -net none -kernel "$dir/vmlinuz" -initrd "$dir/initrd.img" \
        -append "root=/dev/vda rw console=ttyS0 init=/orrelin-init panic=10 quiet" \
        -drive "file=${dir//,/,,}/root.img,format=raw,if=virtio,snapshot=on" \
        -drive "file=${dir//,/,,}/wineprefix.img,format=raw,if=virtio" \
        -virtfs "local,path=${job//,/,,},mount_tag=job,security_model=none" \
        -virtfs "local,path=${tree//,/,,},mount_tag=tree,security_model=none" \
        </dev/null >"$BUILD_ROOT/x86-guest-console.log" 2>&1 || true
    if [ -s "$job/status" ]; then
        cat "$job/output.log"
        status="$(cat "$job/status")"
    else
        echo "NOT RUN: the guest did not finish the suite; its console is in" \
            "$BUILD_ROOT/x86-guest-console.log"
        status=125
        # Its prefix may be half made: the next run makes it anew.
        rm -f "$dir/wineprefix.img"
    fi
    exec {lock}>&-
    remove_tree "$job"
    return "$status"
}
