#!/usr/bin/env bash
# Runs the 32-bit Windows test tree $1, for kernels that cannot start Wine's
# 32-bit loader, in a Debian guest under qemu-system-x86_64 (emulated: slow,
# but the real Wine and registry). Prints the suite's output; exits with its
# status, or 125 after "NOT RUN: why".
set -Eeuo pipefail
source "$(dirname "$0")/lib.sh"
tree="$(realpath -- "$1")"
step="finding the guest's package sources" hint=""
trap 'echo "NOT RUN: the guest failed at $step${hint:+; $hint}"; exit 125' ERR
not_run() { echo "NOT RUN: $*"; exit 125; }

# Wine without its recommends, and the libraries of those it needs here.
libraries=(libxrender1 libxrandr2 libxi6 libxcursor1 libxinerama1 libxcomposite1 libxfixes3 libxxf86vm1
           libgnutls30 libdbus-1-3 libfreetype6 libfontconfig1)
packages=(linux-image-amd64 initramfs-tools procps wine wine64 wine32:i386 libwine:i386 xvfb xauth locales
          fonts-ipafont-gothic fonts-wine fonts-liberation cmake "${libraries[@]}" "${libraries[@]/%/:i386}")
cache="${XDG_CACHE_HOME:-${HOME:-$(getent passwd "$(id -u)" | cut -d: -f6)}/.cache}/orrelin_regdel"

# "URI SUITE COMPONENT" lines, the release's own suite first: where apt gets
# the release and its updates and security fixes, or ORRELIN_GUEST_SOURCES's.
if [ -n "${ORRELIN_GUEST_SOURCES:-}" ]; then
    sources="$(sed -n -E 's/^deb[[:space:]]+(\[[^]]*\][[:space:]]+)?//p' "$ORRELIN_GUEST_SOURCES")"
else
    sources="$(LC_ALL=C apt-get indextargets --format '$(REPO_URI) $(RELEASE) $(COMPONENT)' 'Created-By: Packages' |
               awk -v r="$(. /etc/os-release && echo "${VERSION_CODENAME:-}")" '$2 ~ "^" r "(-updates|-security)?$"' |
               sort -u -k2,2 -k1,1 -k3,3)"
fi
[ -n "$sources" ] || not_run "no package sources for the guest in apt's configuration or ORRELIN_GUEST_SOURCES"
eval "$(LC_ALL=C apt-config shell proxy Acquire::http::Proxy)"

# The guest's init runs the job that the host shares in /job.
recipe=(--variant=minbase --format=ext2 --architectures=amd64,i386 --include="${packages[*]}"
        ${proxy:+"--aptopt=Acquire::http::Proxy \"$proxy\""}
        --customize-hook='echo "ja_JP.UTF-8 UTF-8" >>"$1/etc/locale.gen" && chroot "$1" locale-gen'
        --customize-hook='printf "#!/bin/sh\nmount -t proc proc /proc 2>/dev/null; modprobe -a 9pnet_virtio 9p
mkdir -p /job; mount -t 9p -o trans=virtio,version=9p2000.L,msize=262144 job /job; exec bash /job/init\n" \
            >"$1/orrelin-init" && chmod 755 "$1/orrelin-init"'
        "$(awk 'NR == 1 { print $2 }' <<<"$sources")")
dir="$cache/x86-root-$({ printf '%s\n' "${recipe[@]}" "$sources"; } | sha256sum | cut -c1-16)"

step="taking the lock of $dir" hint="check that $cache can be written"
mkdir -p "$cache"
exec {lock}>"$dir.lock"
flock -n "$lock" || { echo "Waiting for another run that uses $dir"; flock "$lock"; }
step="installing qemu and mmdebstrap" hint="ORRELIN_SKIP_32BIT=1 runs the other suites"
ensure_packages qemu-system-x86 mmdebstrap genext2fs e2fsprogs
# A session of its own: on failure mmdebstrap hangs up its process group.
bootstrap=(setsid --wait mmdebstrap --mode=unshare)
[ "$(id -u)" -ne 0 ] && grep -q "^$(id -un):" /etc/subuid 2>/dev/null || bootstrap=(as_root "${bootstrap[@]:0:3}")
building="$dir.building" log="$dir.building/mmdebstrap.log"
build_root() {
    local mirrors; mapfile -t mirrors < <(sed 's/^/deb /' <<<"$1")
    rm -f "$building/root.img"
    "${bootstrap[@]}" "${recipe[@]}" --customize-hook="sync-out /boot $building/boot" "$building/root.img" \
        "${mirrors[@]}" 2>&1 | tee "$log" | sed -un 's/^I: /  /p'
}
if [ ! -f "$dir/root.img" ]; then
    echo "Building the guest's Debian root in $dir (once per machine, a few minutes)"
    step="building the guest's root" hint="mmdebstrap's output is in $log"
    new_tree "$building"
    if ! build_root "$sources"; then
        # mmdebstrap takes no index that fails to download, as from a mirror
        # mid-sync; the offline guest can go without an updates or security
        # suite. The root keeps the full recipe's name, and is kept when it heals.
        sed -n -E 's|^E: Failed to fetch .*/dists/([^/ ]+)/.*|\1|p' "$log" | sort -u | grep -vx "${recipe[-1]}" \
            >"$building/suites-left-out"
        echo "Building it without $(paste -sd' ' "$building/suites-left-out"), whose index could not be fetched:"
        sed -n 's/^E: \(Failed to fetch\)/  \1/p' "$log"
        build_root "$(grep -vwF -f "$building/suites-left-out" <<<"$sources")"
    fi
    as_root chown -R "$(id -u):$(id -g)" "$building"
    remove_tree "$dir"
    mv "$building" "$dir"
    # Roots of earlier recipes go, once no run holds them.
    for old in "$cache"/x86-root-*.lock; do
        exec {other}>"$old"
        if [ "$old" != "$dir.lock" ] && flock -n "$other"; then remove_tree "${old%.lock}"; fi
        exec {other}>&-
    done
elif [ -f "$dir/suites-left-out" ]; then
    echo "The guest's root lacks $(paste -sd' ' "$dir/suites-left-out") (an index was missing); kept while it works."
fi

# Wine's prefix: a disk beside the image, like a tree's prefix made on first use and kept.
step="making the disk for Wine's prefix" hint="check the free space in $cache"
[ -f "$dir/wineprefix.img" ] ||
    { truncate -s 4G "$dir/wineprefix.img"; PATH="$PATH:/usr/sbin:/sbin" mkfs.ext4 -q -F "$dir/wineprefix.img"; }

# The job: the suite, in the tree (shared at its own path) with its prefix (the
# second disk); output and status are kept in /job.
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
mkdir -p "$tree" "$prefix"
mount -t 9p -o trans=virtio,version=9p2000.L,msize=262144,cache=loose tree "$tree"
mount /dev/vdb "$prefix"
cd "$tree" && xvfb-run -a ctest --output-on-failure --no-tests=error --test-dir "$tree" >/job/output.log 2>&1
echo $? >/job/status
wineserver --kill 2>/dev/null; sync; umount "$prefix" "$tree"
echo o >/proc/sysrq-trigger; sleep 60
EOF
} >"$job/init"
: >"$job/output.log"

# Emulated SMAP breaks Wine's return to user mode under qemu 7.2 (the guest
# kernel oopses). Commas in qemu's option values are doubled.
console="$(dirname "$tree")/x86-guest-console.log"
timeout 3000 qemu-system-x86_64 -m 4096 -smp 2 -accel tcg,thread=multi -cpu max,smap=off \
    -nographic -no-reboot -net none -kernel "$dir"/boot/vmlinuz-* -initrd "$dir"/boot/initrd.img-* \
    -append "root=/dev/vda rw console=ttyS0 init=/orrelin-init panic=10 quiet" \
    -drive "file=${dir//,/,,}/root.img,format=raw,if=virtio,snapshot=on" \
    -drive "file=${dir//,/,,}/wineprefix.img,format=raw,if=virtio" \
    -virtfs "local,path=${job//,/,,},mount_tag=job,security_model=none" \
    -virtfs "local,path=${tree//,/,,},mount_tag=tree,security_model=none" \
    </dev/null >"$console" 2>&1 &
tail -n +1 -f --pid=$! "$job/output.log"
wait $! || true
# A prefix the suite did not finish may be half made: the next run makes it anew.
[ -s "$job/status" ] || { rm -f "$dir/wineprefix.img"; not_run "the guest did not finish the suite; see $console"; }
exit "$(cat "$job/status")"
