#!/usr/bin/env bash
# scripts/release as a user who rebuilds a release meets it. Two clones of
# the same sources, in other folders and under another time zone and umask,
# must give the same zips, and their programs must be those of the trees the
# suites test. A release signed with a throwaway certificate must verify and
# unsign to the unsigned program, and --check must accept these zips, name
# their signer, and refuse altered ones and broken signatures. The notices
# check must refuse the link maps once any one notice is missing.
#   reproducible_release.sh SOURCE_DIR [BUILD_DIR BUILT_EXE X86_BUILD_DIR]
set -euo pipefail
# The tools read here answer in the C locale; the one run under Japanese is
# the --check below.
export LC_ALL=C

source_dir="$(cd "$1" && pwd)"
tree="${2:-}"
built="${3:-}"
x86_tree="${4:-}"
work="$(mktemp -d "${TMPDIR:-/tmp}/orrelin-release-test.XXXXXX")"
trap 'rm -rf --one-file-system "$work"' EXIT

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

# The version as the build put it (1.2.0 is released as 1.02).
version="$(cat "$work/a/build/release/x86/release/version")"
zips=("orrelin_regdel-$version-x86.zip" "orrelin_regdel-$version-x64.zip")
for file in "${zips[@]}" SHA256SUMS; do
    cmp "$work/a/dist/$file" "$work/b/dist/$file" || fail "$file differs between the clones"
done
(cd "$work/a/dist" && sha256sum --strict -c SHA256SUMS) || fail "SHA256SUMS does not check"
[ "$(wc -l <"$work/a/dist/SHA256SUMS")" -eq 2 ] || fail "SHA256SUMS should list the two zips"

# The archives: exactly the program and the three texts, in that order, dated
# with the commit in UTC (rounded up to DOS's two seconds), rw-r--r--, and
# without extra fields, which would carry the builder's user and group ids.
dates="$(TZ=UTC date -d "@$epoch" +%Y%m%d.%H%M%S) $(TZ=UTC date -d "@$((epoch + 1))" +%Y%m%d.%H%M%S)"
for zip in "${zips[@]}"; do
    listing="$(TZ=UTC zipinfo -T "$work/a/dist/$zip" | awk 'NF == 8 { print $1, $7, $8 }')"
    echo "$zip:"
    echo "$listing"
    entries="orrelin_regdel.exe readme.txt LICENSE.txt THIRD-PARTY-NOTICES.txt"
    [ "$(awk '{ print $3 }' <<<"$listing" | paste -sd ' ')" = "$entries" ] ||
        fail "$zip should hold $entries, in that order"
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
for text in readme.txt LICENSE.txt THIRD-PARTY-NOTICES.txt; do
    file="$work/unpacked/x86/$text"
    [ "$(head -c 3 "$file" | od -An -tx1 | tr -d ' ')" = efbbbf ] || fail "$text has no BOM"
    [ "$(grep -c $'\r$' "$file")" -eq "$(wc -l <"$file")" ] ||
        fail "$text has lines not ending in CRLF"
    iconv -f UTF-8 -t UTF-8 "$file" >/dev/null || fail "$text is not UTF-8"
    ! grep -n '@[A-Z_]*@' "$file" || fail "$text holds a placeholder"
    cmp -s "$file" "$work/unpacked/x64/$text" || fail "$text differs between the zips"
done

# Each program must be the one its suite tested: the x64 tree's (this one)
# and the windows-x86 tree's, each brought up to date first.
compare_tree() {
    local arch="$1" dir="$2" exe="$2/removal/orrelin_regdel.exe"
    echo "== The $arch tree's program, brought up to date"
    if [ ! -f "$dir/CMakeCache.txt" ]; then
        fail "the $arch tree $dir is not configured: build it first"
        return
    fi
    cmake --build "$dir" --target orrelin_regdel >/dev/null
    cmp "$exe" "$work/unpacked/$arch/orrelin_regdel.exe" ||
        fail "the $arch tree's program is not the released $arch one"
}
if [ -n "$tree" ]; then
    [ "$built" = "$tree/removal/orrelin_regdel.exe" ] || fail "unexpected program path $built"
    compare_tree x64 "$tree"
fi
if [ -n "$x86_tree" ]; then
    compare_tree x86 "$x86_tree"
fi

# The release refused to go out without the notices; it must also refuse
# once any one of them is missing (each program's own link map, kept in its
# build folder).
echo "== Notices against the link maps"
notices="$source_dir/release/THIRD-PARTY-NOTICES.txt"
for arch in x86 x64; do
    map="$work/a/build/release/$arch/removal/orrelin_regdel.map"
    covered="$(perl "$source_dir/cmake/link_notices.pl" "$map" "$notices")" ||
        fail "the $arch link map is not covered by the notices"
    ! grep -F 'Notices for code not linked' <<<"$covered" ||
        fail "the notices hold entries for code the $arch program does not link"
    # The entries the checker found the program to need, each removed in turn.
    mapfile -t headings < <(sed -n 's/^The notices cover every library in the link map: //p' \
        <<<"$covered" | sed 's/; /\n/g')
    [ "${#headings[@]}" -ge 4 ] || fail "the $arch program needs ${#headings[@]} notices, not at least 4"
    for heading in "${headings[@]}"; do
        grep -vxF -- "$heading" "$notices" >"$work/fewer-notices.txt"
        if perl "$source_dir/cmake/link_notices.pl" "$map" "$work/fewer-notices.txt" \
                >/dev/null 2>"$work/notices.log"; then
            fail "the $arch link map passed without the notice \"$heading\""
        elif ! grep -qF "the notice \"$heading\" is missing" "$work/notices.log"; then
            cat "$work/notices.log"
            fail "without \"$heading\" the check should name it"
        fi
    done
done
echo "each of the ${#headings[@]} notices is needed by both link maps: ${headings[*]}"

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
# Zips folder $1's program and texts into $2 as the release does, so that
# only what the case changes can differ.
texts=(readme.txt LICENSE.txt THIRD-PARTY-NOTICES.txt)
rezip() {
    (cd "$1" && chmod 644 orrelin_regdel.exe "${texts[@]}" &&
        touch -d "@$epoch" orrelin_regdel.exe "${texts[@]}" &&
        TZ=UTC zip -q -X -D -9 "$2" orrelin_regdel.exe "${texts[@]}")
}
# A case's folder: the x64 zip's texts and the program $2, as $1.
case_dir() {
    mkdir -p "$altered/$1"
    cp "$work/unpacked/x64/"{readme.txt,LICENSE.txt,THIRD-PARTY-NOTICES.txt} "$altered/$1/"
    cp "$2" "$altered/$1/orrelin_regdel.exe"
}
# One byte of the program's code; signed, it is a byte the signature covers.
case_dir unsigned-code "$work/unpacked/x64/orrelin_regdel.exe"
case_dir signed-code "$work/unpacked/signed-x64/orrelin_regdel.exe"
for kind in unsigned-code signed-code; do
    flip "$altered/$kind/orrelin_regdel.exe" 1280
    rezip "$altered/$kind" "$altered/$kind.zip"
done
# Signed with another throwaway certificate: intact, but not the
# distributor's, so --check must name that signer. Once the program as
# released, once with a byte of its code changed before signing.
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=someone else entirely" \
    -addext "extendedKeyUsage=codeSigning" -keyout "$cert/other-key.pem" \
    -out "$cert/other-cert.pem" 2>/dev/null
openssl pkcs12 -export -inkey "$cert/other-key.pem" -in "$cert/other-cert.pem" \
    -out "$cert/other.pfx" -passout "pass:$password"
for kind in foreign foreign-code; do
    program="$work/unpacked/x64/orrelin_regdel.exe"
    [ "$kind" = foreign ] || program="$altered/unsigned-code/orrelin_regdel.exe"
    case_dir "$kind" "$program"
    rm "$altered/$kind/orrelin_regdel.exe"
    osslsigncode sign -pkcs12 "$cert/other.pfx" -pass "$password" -h sha256 \
        -in "$program" -out "$altered/$kind/orrelin_regdel.exe" >/dev/null
    rezip "$altered/$kind" "$altered/$kind.zip"
done
# One byte flipped inside the signature itself (in its last part, the
# signature value; the file ends in at most 7 bytes of padding).
case_dir broken-signature "$work/unpacked/signed-x64/orrelin_regdel.exe"
flip "$altered/broken-signature/orrelin_regdel.exe" \
    $(($(stat -c %s "$altered/broken-signature/orrelin_regdel.exe") - 100))
osslsigncode verify -CAfile "$cert/cert.pem" -in "$altered/broken-signature/orrelin_regdel.exe" \
    >/dev/null 2>&1 && fail "osslsigncode accepts the signature with a byte flipped"
rezip "$altered/broken-signature" "$altered/broken-signature.zip"
# One byte of the archive itself: the first entry's date in its local
# header, which leaves the files intact, and one of the compressed data.
cp "$work/a/dist/orrelin_regdel-$version-x64.zip" "$altered/unsigned-date.zip"
flip "$altered/unsigned-date.zip" 10
cp "$work/signed/orrelin_regdel-$version-x64.zip" "$altered/signed-data.zip"
flip "$altered/signed-data.zip" 5000

# From the other clone, as someone checking a download against their own,
# and as a Japanese developer would, under the Japanese locale (where
# objdump and others answer in Japanese).
if ! locale -a 2>/dev/null | grep -qix 'ja_JP.utf-\?8'; then
    fail "the ja_JP.UTF-8 locale is missing, so --check cannot be tried under it"
fi
good_x86=("$work/a/dist/orrelin_regdel-$version-x86.zip" "$work/signed/orrelin_regdel-$version-x86.zip")
if LANG=ja_JP.UTF-8 LC_ALL=ja_JP.UTF-8 release "$second" --check "${good_x86[@]}" \
        >"$work/check.log"; then
    cat "$work/check.log"
else
    cat "$work/check.log"
    fail "--check refused the x86 zips under the Japanese locale"
fi
[ "$(grep -c ': identical to the x86 build' "$work/check.log")" -eq 2 ] ||
    fail "--check should call both x86 zips identical"
grep -qF "signed by: /CN=orrelin_regdel test; the signature is intact" "$work/check.log" ||
    fail "--check should name the signer of the signed x86 zip"

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
expect foreign.zip "identical to the x64 build"
grep -qF "signed by: /CN=someone else entirely; the signature is intact" "$work/check.log" ||
    fail "--check should name the other signer"
grep -qF "whether to trust the signer cannot be judged here" "$work/check.log" ||
    fail "--check should say that it cannot judge a throwaway certificate's trust"
expect foreign-code.zip "DIFFERENT: orrelin_regdel.exe (x64, signature removed) differs"
expect unsigned-code.zip "DIFFERENT: orrelin_regdel.exe (x64) differs"
expect signed-code.zip "BAD SIGNATURE: its signature does not verify: the signed digest does not match the file"
expect broken-signature.zip "BAD SIGNATURE: its signature does not verify"
expect unsigned-date.zip "DIFFERENT: the files match but the archive does not"
expect signed-data.zip "DIFFERENT: damaged"

exit "$status"
