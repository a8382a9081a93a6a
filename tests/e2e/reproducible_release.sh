#!/usr/bin/env bash
# scripts/release as a user who rebuilds a release meets it. Two clones of
# the same sources, in other folders and under another time zone and umask,
# must give the same zips, and their x64 program must be this tree's. A
# release signed with a throwaway certificate must verify and unsign to the
# unsigned program, and --check must accept these zips and refuse altered
# ones.
#   reproducible_release.sh SOURCE_DIR [BUILD_DIR BUILT_EXE]
set -euo pipefail

source_dir="$(cd "$1" && pwd)"
tree="${2:-}"
built="${3:-}"
work="$(mktemp -d "${TMPDIR:-/tmp}/orrelin-release-test.XXXXXX")"
trap 'rm -rf "$work"' EXIT

# Whatever the caller's environment holds, the dates come from the commit and
# only the one run below signs.
unset SOURCE_DATE_EPOCH ORRELIN_SIGN_PFX ORRELIN_SIGN_PASSWORD ORRELIN_SIGN_TIMESTAMP_URL

status=0
fail() {
    echo "FAILED: $*" >&2
    status=1
}

# The checkout as it is (tracked files as they are now, new ones not
# ignored), committed with the date of its last commit: a clone of that is
# what a user gets.
epoch="$(git -C "$source_dir" log -1 --format=%ct 2>/dev/null || date +%s)"
first="$work/a/src"
mkdir -p "$first"
(cd "$source_dir" && git ls-files -z --cached --others --exclude-standard) |
    while IFS= read -r -d '' file; do
        [ -e "$source_dir/$file" ] || continue
        mkdir -p "$first/$(dirname "$file")"
        cp -p "$source_dir/$file" "$first/$file"
    done
git_quiet=(-c user.name=test -c user.email=test@invalid -c commit.gpgsign=false
           -c core.hooksPath=/dev/null -c init.defaultBranch=main)
git "${git_quiet[@]}" -C "$first" init -q
git "${git_quiet[@]}" -C "$first" add -A
GIT_AUTHOR_DATE="$epoch +0000" GIT_COMMITTER_DATE="$epoch +0000" \
    git "${git_quiet[@]}" -C "$first" commit -q -m snapshot
# Another depth and name, so that a path left in a file would show.
second="$work/second-build-elsewhere/deeper/src"
mkdir -p "$(dirname "$second")"
(umask 027 && git clone -q "$first" "$second")

release() {
    local checkout="$1"
    shift
    ORRELIN_BUILD_DIR="$checkout/../build" "$checkout/scripts/release" "$@"
}

echo "== Release from two clones"
release "$first" --out "$work/a/dist"
(umask 027 && TZ=JST-9 release "$second" --out "$work/b/dist")

# Version 1.2.0 is released as 1.02.
version="$(sed -n 's/^project(orrelin_regdel VERSION \([0-9]*\)\.\([0-9]*\).*/\1 \2/p' \
           "$source_dir/CMakeLists.txt")"
version="$(printf '%d.%02d' $version)"
zips=("orrelin_regdel-$version-x86.zip" "orrelin_regdel-$version-x64.zip")
for file in "${zips[@]}" SHA256SUMS; do
    cmp "$work/a/dist/$file" "$work/b/dist/$file" || fail "$file differs between the clones"
done
(cd "$work/a/dist" && sha256sum --strict -c SHA256SUMS) || fail "SHA256SUMS does not check"
[ "$(wc -l <"$work/a/dist/SHA256SUMS")" -eq 2 ] || fail "SHA256SUMS should list the two zips"

# The archives: exactly the program and the readme, in that order, dated
# with the commit in UTC (rounded up to DOS's two seconds), rw-r--r--, and
# without extra fields, which would carry the builder's user and group ids.
dates="$(TZ=UTC date -d "@$epoch" +%Y%m%d.%H%M%S) $(TZ=UTC date -d "@$((epoch + 1))" +%Y%m%d.%H%M%S)"
for zip in "${zips[@]}"; do
    listing="$(TZ=UTC zipinfo -T "$work/a/dist/$zip" | awk 'NF == 8 { print $1, $7, $8 }')"
    echo "$zip:"
    echo "$listing"
    [ "$(awk '{ print $3 }' <<<"$listing" | paste -sd ' ')" = "orrelin_regdel.exe readme.txt" ] ||
        fail "$zip should hold orrelin_regdel.exe and readme.txt, in that order"
    while read -r mode date name; do
        [ "$mode" = "-rw-r--r--" ] || fail "$zip: $name has mode $mode"
        [[ " $dates " == *" $date "* ]] || fail "$zip: $name dated $date, not the commit's ($dates)"
    done <<<"$listing"
    ! zipinfo -v "$work/a/dist/$zip" | grep -E 'length of extra field: +[1-9]' ||
        fail "$zip has extra fields"
done

mkdir -p "$work/unpacked"
for arch in x86 x64; do
    mkdir -p "$work/unpacked/$arch" "$work/unpacked/signed-$arch"
    (cd "$work/unpacked/$arch" && unzip -q "$work/a/dist/orrelin_regdel-$version-$arch.zip")
done

# Notepad on every Windows needs the byte order mark to read UTF-8; CRLF to
# break lines on those before Windows 10 1809.
readme="$work/unpacked/x86/readme.txt"
[ "$(head -c 3 "$readme" | od -An -tx1 | tr -d ' ')" = efbbbf ] || fail "readme.txt has no BOM"
[ "$(grep -c $'\r$' "$readme")" -eq "$(wc -l <"$readme")" ] ||
    fail "readme.txt has lines not ending in CRLF"
iconv -f UTF-8 -t UTF-8 "$readme" >/dev/null || fail "readme.txt is not UTF-8"
! grep -n '@[A-Z_]*@' "$readme" || fail "readme.txt holds a placeholder"

if [ -n "$tree" ]; then
    echo "== The tree's program, brought up to date"
    cmake --build "$tree" --target orrelin_regdel >/dev/null
    cmp "$built" "$work/unpacked/x64/orrelin_regdel.exe" ||
        fail "the tree's program is not the released x64 one"
fi

echo "== Signed with a throwaway certificate"
cert="$work/certificate"
mkdir -p "$cert"
password="$(od -An -N12 -tx1 /dev/urandom | tr -d ' \n')"
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=orrelin_regdel test" \
    -addext "extendedKeyUsage=codeSigning" -keyout "$cert/key.pem" -out "$cert/cert.pem" \
    2>/dev/null
openssl pkcs12 -export -inkey "$cert/key.pem" -in "$cert/cert.pem" -out "$cert/test.pfx" \
    -passout "pass:$password"
ORRELIN_SIGN_PFX="$cert/test.pfx" ORRELIN_SIGN_PASSWORD="$password" \
    release "$first" --out "$work/signed"
for arch in x86 x64; do
    signed="$work/unpacked/signed-$arch/orrelin_regdel.exe"
    (cd "$(dirname "$signed")" && unzip -q "$work/signed/orrelin_regdel-$version-$arch.zip")
    osslsigncode verify -CAfile "$cert/cert.pem" -in "$signed" >"$work/verify.log" 2>&1 || {
        cat "$work/verify.log"
        fail "the signed $arch program does not verify"
    }
    osslsigncode remove-signature -in "$signed" -out "$work/unsigned-$arch.exe" >/dev/null
    cmp "$work/unsigned-$arch.exe" "$work/unpacked/$arch/orrelin_regdel.exe" ||
        fail "the signed $arch program does not unsign to the unsigned one"
done

# The build's padding and checksum step, on a file that needs both: signing
# and unsigning must give its output back.
odd="$work/odd.exe"
cp "$work/unpacked/x64/orrelin_regdel.exe" "$odd"
checksum_at=$(($(od -An -tu4 -j60 -N4 "$odd" | tr -d ' ') + 24 + 64))
printf '\0\0\0\0' | dd of="$odd" bs=1 seek="$checksum_at" conv=notrunc status=none
printf 'abc' >>"$odd"
perl "$source_dir/cmake/pe_release_bytes.pl" "$odd"
[ $(($(stat -c %s "$odd") % 8)) -eq 0 ] || fail "the padded program is not a multiple of 8 bytes"
osslsigncode sign -pkcs12 "$cert/test.pfx" -pass "$password" -h sha256 \
    -in "$odd" -out "$odd.signed" >/dev/null
osslsigncode remove-signature -in "$odd.signed" -out "$odd.back" >/dev/null
cmp "$odd" "$odd.back" || fail "a padded, checksummed file does not survive signing"

echo "== --check"
altered="$work/altered"
mkdir -p "$altered"
flip() {  # flips the byte at offset $2 of file $1
    perl -e 'open my $f, "+<:raw", $ARGV[0] or die; seek $f, $ARGV[1], 0; read $f, my $c, 1;
             seek $f, $ARGV[1], 0; print {$f} chr(ord($c) ^ 0xff); close $f or die' "$1" "$2"
}
# One byte of the program's code, zipped again; signed, it is a byte the
# signature covers.
for kind in unsigned signed; do
    dir="$work/unpacked/x64"
    [ "$kind" = unsigned ] || dir="$work/unpacked/signed-x64"
    mkdir -p "$altered/$kind"
    cp "$dir/orrelin_regdel.exe" "$dir/readme.txt" "$altered/$kind/"
    flip "$altered/$kind/orrelin_regdel.exe" 1280
    (cd "$altered/$kind" && zip -q -X "$altered/$kind-code.zip" orrelin_regdel.exe readme.txt)
done
# One byte of the archive itself: the first entry's date in its local
# header, which leaves the files intact, and one of the compressed data.
cp "$work/a/dist/orrelin_regdel-$version-x64.zip" "$altered/unsigned-date.zip"
flip "$altered/unsigned-date.zip" 10
cp "$work/signed/orrelin_regdel-$version-x64.zip" "$altered/signed-data.zip"
flip "$altered/signed-data.zip" 5000

# From the other clone, as someone checking a download against their own.
good_x86=("$work/a/dist/orrelin_regdel-$version-x86.zip" "$work/signed/orrelin_regdel-$version-x86.zip")
if release "$second" --check "${good_x86[@]}" >"$work/check.log"; then
    cat "$work/check.log"
else
    cat "$work/check.log"
    fail "--check refused the x86 zips"
fi
[ "$(grep -c ': identical to the x86 build' "$work/check.log")" -eq 2 ] ||
    fail "--check should call both x86 zips identical"

mkdir -p "$work/signed-renamed"
cp "$work/signed/orrelin_regdel-$version-x64.zip" "$work/signed-renamed/signed.zip"
if release "$second" --check "$work/a/dist/orrelin_regdel-$version-x64.zip" \
        "$work/signed-renamed/signed.zip" "$altered"/*.zip >"$work/check.log"; then
    cat "$work/check.log"
    fail "--check accepted altered zips"
else
    cat "$work/check.log"
fi
expect() {
    grep -qF "$1: $2" "$work/check.log" || fail "--check should say \"$1: $2\""
}
expect orrelin_regdel-$version-x64.zip "identical to the x64 build"
expect signed.zip "identical to the x64 build"
expect unsigned-code.zip "DIFFERENT: orrelin_regdel.exe (x64) differs"
expect signed-code.zip "DIFFERENT: orrelin_regdel.exe (x64, signature removed) differs"
expect unsigned-date.zip "DIFFERENT: the files match but the archive does not"
expect signed-data.zip "DIFFERENT: damaged"

exit "$status"
