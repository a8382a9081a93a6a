#!/usr/bin/env bash
# Runs the 32-bit Windows test tree $1 where this machine's kernel cannot
# start Wine's 32-bit loader: in a Debian guest under qemu-system-x86_64
# (software emulation: slow, but Wine and the registry are the real ones).
# Prints the suite's output; exits with its status, or 125 after "NOT RUN: why".
# The guest's root is built once per machine by mmdebstrap, from this
# machine's package sources, straight into a disk image in the user's cache
# (nothing is mounted there), named after what goes into it (a suite left out
# for a missing index is recorded beside it).
set -Eeuo pipefail
source "$(dirname "$0")/lib.sh"
tree="$(realpath -- "$1")"
step="finding the guest's package sources" hint=""
trap 'echo "NOT RUN: the guest failed at $step${hint:+; $hint}"; exit 125' ERR
not_run() { echo "NOT RUN: $*"; exit 125; }

# Wine without its recommends, and the libraries of those it needs here.
packages=(linux-image-amd64 initramfs-tools procps wine wine64 wine32:i386 libwine:i386 xvfb
          xauth locales fonts-ipafont-gothic fonts-wine fonts-liberation cmake)
for library in libxrender1 libxrandr2 libxi6 libxcursor1 libxinerama1 libxcomposite1 \
    libxfixes3 libxxf86vm1 libgnutls30 libdbus-1-3 libfreetype6 libfontconfig1; do
    packages+=("$library" "$library:i386")
done
# The user's cache folder, also where HOME is not set (as under some CI).
cache="${XDG_CACHE_HOME:-${HOME:-$(getent passwd "$(id -u)" | cut -d: -f6)}/.cache}/orrelin_regdel"

# "URI SUITE COMPONENT" lines, the release's own suite first: where this
# machine's apt gets its release, updates and security fixes (sources.list
# and the .sources files alike), or the "deb ..." lines of the file that
# ORRELIN_GUEST_SOURCES names.
if [ -n "${ORRELIN_GUEST_SOURCES:-}" ]; then
    sources="$(sed -n -E 's/^deb[[:space:]]+(\[[^]]*\][[:space:]]+)?//p' "$ORRELIN_GUEST_SOURCES")"
else
    release="$(. /etc/os-release && echo "${VERSION_CODENAME:-}")"
    sources="$(LC_ALL=C apt-get indextargets --format '$(REPO_URI) $(RELEASE) $(COMPONENT)' \
                   'Created-By: Packages' |
               awk -v r="$release" '$2 == r || $2 == r "-updates" || $2 == r "-security"' |
               sort -u -k2,2 -k1,1 -k3,3)"
fi
[ -n "$sources" ] || not_run "no Debian package sources for the guest, in apt's configuration" \
    "or in ORRELIN_GUEST_SOURCES"
proxy=""
eval "$(LC_ALL=C apt-config shell proxy Acquire::http::Proxy)"

# What the guest runs instead of an init: the script that the host shares
# in the folder /job with the run's job.
init='#!/bin/sh
mount -t proc proc /proc 2>/dev/null
modprobe -a 9pnet_virtio 9p
mkdir -p /job
mount -t 9p -o trans=virtio,version=9p2000.L,msize=262144 job /job
exec /bin/bash /job/init'
recipe=(--variant=minbase --format=ext2 --architectures=amd64,i386 --include="${packages[*]}"
        ${proxy:+"--aptopt=Acquire::http::Proxy \"$proxy\""}
        --customize-hook='echo "ja_JP.UTF-8 UTF-8" >>"$1/etc/locale.gen" && chroot "$1" locale-gen'
        "$(awk 'NR == 1 { print $2 }' <<<"$sources")")
dir="$cache/x86-root-$({ printf '%s\n' "${recipe[@]}" "$init" "$sources"; } | sha256sum | cut -c1-16)"

# One run at a time uses (or builds) an image; the lock comes first.
step="taking the lock of $dir" hint="check that $cache can be written"
mkdir -p "$cache"
exec {lock}>"$dir.lock"
flock -n "$lock" || { echo "Waiting for another run that uses $dir"; flock "$lock"; }
step="installing qemu and mmdebstrap" hint="ORRELIN_SKIP_32BIT=1 runs the other suites"
ensure_packages qemu-system-x86 mmdebstrap genext2fs e2fsprogs
# In the user's namespaces where subordinate ids are set up, else as root;
# in a session of its own, as on failure it hangs up its process group.
bootstrap=(as_root setsid --wait mmdebstrap)
[ "$(id -u)" -eq 0 ] || ! grep -q "^$(id -un):" /etc/subuid 2>/dev/null ||
    bootstrap=(setsid --wait mmdebstrap --mode=unshare)
build_root() {
    local mirrors
    mapfile -t mirrors < <(sed 's/^/deb /' <<<"$1")
    rm -f "$dir.building/root.img"
    "${bootstrap[@]}" "${recipe[@]}" \
        --customize-hook="upload $dir.building/orrelin-init /orrelin-init" \
        --customize-hook='chmod 755 "$1/orrelin-init"' \
        --customize-hook="sync-out /boot $dir.building/boot" \
        "$dir.building/root.img" "${mirrors[@]}" 2>&1 | tee "$dir.building/mmdebstrap.log" |
        sed -un 's/^I: /  /p'
}
if [ ! -f "$dir/root.img" ]; then
    echo "Building the guest's Debian root in $dir (once per machine, a few minutes)"
    step="building the guest's root" hint="mmdebstrap's output is in $dir.building/mmdebstrap.log"
    new_tree "$dir.building"
    printf '%s\n' "$init" >"$dir.building/orrelin-init"
    if ! build_root "$sources"; then
        # mmdebstrap accepts no index that fails to download, and a mirror
        # caught mid-sync often fails one. The guest has no network and only
        # runs the suites, so an updates or security suite can go; the root
        # keeps the full recipe's name, and is kept when the mirror heals.
        left_out="$(sed -n -E 's|^E: Failed to fetch .*/dists/([^/ ]+)/.*|\1|p' \
                        "$dir.building/mmdebstrap.log" | sort -u | grep -vx "${recipe[-1]}")"
        [ -n "$left_out" ]
        echo "Building it without $(echo $left_out), whose index could not be fetched:"
        grep '^E: Failed to fetch' "$dir.building/mmdebstrap.log" | sed 's/^E: /  /'
        printf '%s\n' "$left_out" >"$dir.building/suites-left-out"
        build_root "$(grep -vwF -f <(echo "$left_out") <<<"$sources")"
    fi
    as_root chown -R "$(id -u):$(id -g)" "$dir.building"
    cat "$dir.building"/boot/vmlinuz-* >"$dir.building/vmlinuz"
    cat "$dir.building"/boot/initrd.img-* >"$dir.building/initrd.img"
    rm -rf "$dir.building/boot"
    remove_tree "$dir"
    mv "$dir.building" "$dir"
    # Roots of earlier recipes are of no more use, once no run holds them.
    for old in "$cache"/x86-root-*.lock; do
        exec {other}>"$old"
        if [ "$old" != "$dir.lock" ] && flock -n "$other"; then remove_tree "${old%.lock}"; fi
        exec {other}>&-
    done
elif [ -f "$dir/suites-left-out" ]; then
    echo "The guest's root was built without $(tr '\n' ' ' <"$dir/suites-left-out")(an index was" \
        "missing then); it is kept while it works."
fi

# Wine's prefix lives on a disk of its own beside the image and, like a
# tree's own prefix, is made on first use and kept.
step="making the disk for Wine's prefix" hint="check the free space in $cache"
if [ ! -f "$dir/wineprefix.img" ]; then
    truncate -s 4G "$dir/wineprefix.img"
    PATH="$PATH:/usr/sbin:/sbin" mkfs.ext4 -q -F "$dir/wineprefix.img"
fi

# The job: the tree at its own path (shared too), Wine's prefix on the
# guest's second disk where the tree expects it, the suite; its output and
# status are kept in /job, then the guest powers off.
step="writing the guest's job" hint="check TMPDIR (${TMPDIR:-/tmp})"
job="$(mktemp -d "${TMPDIR:-/tmp}/orrelin-guest.XXXXXX")"
trap 'rm -rf -- "$job"' EXIT
prefix="$(sed -n 's/^ORRELIN_WINEPREFIX:PATH=//p' "$tree/CMakeCache.txt")"
{ printf 'tree=%q prefix=%q\n' "$tree" "${prefix:-$tree/wineprefix}"
  cat <<'EOF'
export PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root
# The initramfs has mounted /proc, /sys and /dev.
mkdir -p /dev/pts /dev/shm
mount -t devpts devpts /dev/pts
for dir in /dev/shm /run /tmp; do mount -t tmpfs tmpfs $dir; done
chmod 1777 /tmp /dev/shm
mkdir -p "$tree" "$prefix"
mount -t 9p -o trans=virtio,version=9p2000.L,msize=262144,cache=loose tree "$tree"
mount /dev/vdb "$prefix"
cd "$tree" && xvfb-run -a ctest --output-on-failure --no-tests=error --test-dir "$tree" \
    >/job/output.log 2>&1
echo $? >/job/status
wineserver --kill 2>/dev/null
sync
umount "$prefix" "$tree"
echo o >/proc/sysrq-trigger
sleep 60
EOF
} >"$job/init"
: >"$job/output.log"

# Emulated SMAP breaks Wine's return to user mode under qemu 7.2 (the guest
# kernel oopses), so the guest's CPU goes without it. Commas in qemu's option
# values are doubled. The suite's output shows as it comes.
console="$(dirname "$tree")/x86-guest-console.log"
timeout 3000 qemu-system-x86_64 -m 4096 -smp 2 -accel tcg,thread=multi -cpu max,smap=off \
    -nographic -no-reboot -net none -kernel "$dir/vmlinuz" -initrd "$dir/initrd.img" \
    -append "root=/dev/vda rw console=ttyS0 init=/orrelin-init panic=10 quiet" \
    -drive "file=${dir//,/,,}/root.img,format=raw,if=virtio,snapshot=on" \
    -drive "file=${dir//,/,,}/wineprefix.img,format=raw,if=virtio" \
    -virtfs "local,path=${job//,/,,},mount_tag=job,security_model=none" \
    -virtfs "local,path=${tree//,/,,},mount_tag=tree,security_model=none" \
    </dev/null >"$console" 2>&1 &
tail -n +1 -f --pid=$! "$job/output.log"
wait $! || true
if [ ! -s "$job/status" ]; then
    # Its prefix may be half made: the next run makes it anew.
    rm -f "$dir/wineprefix.img"
    not_run "the guest did not finish the suite; its console is in $console"
fi
exit "$(cat "$job/status")"
