#!/usr/bin/env bash
# scripts/release as users meet it: releases from two clones (the other one in
# another folder, time zone and umask, signed, naming a distributor), --signed
# and --check. The kit is left in X64_TREE/release-kit/ for the test that runs it.
#   reproducible_release.sh SOURCE_DIR X64_TREE X86_TREE
set -euo pipefail
export LC_ALL=C  # as the tools read here answer; --check is also run under Japanese
src="$(realpath "$1")"
source "$src/scripts/lib.sh"
declare -A trees=([x64]="$(realpath -m "$2")" [x86]="$(realpath -m "$3")")
work="$(mktemp -d "${TMPDIR:-/tmp}/orrelin-release-test.XXXXXX")"
trap 'rm -rf --one-file-system "$work"' EXIT
# The dates come from the commit; only the runs below sign and name a distributor: one with
# characters that the shell, sed and CMake take for their own, longer in bytes than in columns.
unset SOURCE_DATE_EPOCH ORRELIN_SIGN_PFX ORRELIN_SIGN_PASSWORD ORRELIN_SIGN_PASSWORD_FILE \
    ORRELIN_SIGN_TIMESTAMP_URL ORRELIN_PUBLISHER ORRELIN_PUBLISHER_URL ORRELIN_PUBLISHER_EMAIL
publisher='Orrelin 配布係 & "Co." \ ; $HOME ${x} 株式会社オレリン・ソフトウェア配布部'
publisher_url='https://example.invalid/orrelin?a=1&b=$x;c' email='orrelin+release@example.invalid'
named="$publisher, $publisher_url, $email" status=0
fail() { echo "FAILED: $*" >&2; status=1; }
echo "With $(osslsigncode --version 2>&1 | head -n 1 | cut -d, -f1) ($(command -v osslsigncode))"

# The checkout as it is, new files not ignored, committed with its last commit's date: a clone
# of that is what a user gets. The other clone is at another depth, so a path left in a file shows.
epoch="$(git -C "$src" log -1 --format=%ct)"
first="$work/a/src" second="$work/second-build-elsewhere/deeper/src"
mkdir -p "$first" "$(dirname "$second")"
git -C "$src" ls-files -z --cached --others --exclude-standard |
    tar -C "$src" --null -T - --ignore-failed-read -cf - 2>/dev/null | tar -C "$first" -xf -
(cd "$first" && export GIT_CONFIG_GLOBAL=/dev/null GIT_CONFIG_NOSYSTEM=1 GIT_AUTHOR_DATE="$epoch +0000" \
    GIT_COMMITTER_DATE="$epoch +0000" && git init -q -b main && git add -A &&
    git -c user.name=test -c user.email=test@invalid commit -q -m snapshot)
(umask 027 && git clone -q "$first" "$second")
other_user() { (umask 027 && TZ=JST-9 "$@"); }  # as the other clone's user

echo "== Unsigned"
"$first/scripts/release" --out "$work/dist"
cd "$work/dist"
zips=(orrelin_regdel-*-x86.zip orrelin_regdel-*-x64.zip)
version="${zips[0]#orrelin_regdel-}" version="${version%-x86.zip}" kit="orrelin_regdel-$version-tests"
[ "$(ls)" = "$(printf '%s\n' SHA256SUMS "$kit.zip" "${zips[1]}" "${zips[0]}" to-sign)" ] ||
    fail "the release should be the two zips, the test kit, SHA256SUMS and to-sign/, not: $(ls)"
sha256sum --strict -c SHA256SUMS && [ "$(wc -l <SHA256SUMS)" -eq 2 ] || fail "SHA256SUMS should list and check the two zips"
# Every entry rw-r--r--, dated with the commit in UTC (DOS's two seconds, rounded up), no extra fields.
date="$(TZ=UTC date -d "@$(((epoch + 1) / 2 * 2))" +%Y%m%d.%H%M%S)"
texts=(readme.txt LICENSE.txt THIRD-PARTY-NOTICES.txt)
for zip in "${zips[@]}" "$kit.zip"; do
    ! TZ=UTC zipinfo -T "$zip" | awk -v d="$date" 'NF == 8 && ($1 != "-rw-r--r--" || $7 != d)' | grep . ||
        fail "$zip should hold files rw-r--r--, dated $date"
    ! zipinfo -v "$zip" | grep -E 'length of extra field: +[1-9]' || fail "$zip has extra fields"
    [ "$zip" = "$kit.zip" ] || [ "$(zipinfo -1 "$zip" | paste -sd ' ')" = "orrelin_regdel.exe ${texts[*]}" ] ||
        fail "$zip should hold orrelin_regdel.exe ${texts[*]}, in that order"
done

# Release $1 (in $work/$1) unpacked into $work/$1-x86, -x64 and -kit: the zips holding the programs
# in $2/x86 and $2/x64 if given, the kit in one folder with the zips' own, else the first release's.
unpack() {
    local arch
    unzip -q -d "$work/$1-kit" "$work/$1/$kit.zip" && [ "$(ls "$work/$1-kit")" = "$kit" ] || fail "the kit of $1 is not in $kit/"
    for arch in x86 x64; do
        unzip -q -d "$work/$1-$arch" "$work/$1/orrelin_regdel-$version-$arch.zip"
        [ -z "${2:-}" ] || cmp "$work/$1-$arch/orrelin_regdel.exe" "$2/$arch/orrelin_regdel.exe" ||
            fail "the $arch zip of $1 should hold $2/$arch's"
        cmp "$work/$1-kit/$kit/$arch/orrelin_regdel.exe" "$work/$1-$arch/orrelin_regdel.exe" ||
            fail "the kit of $1 should hold its $arch zip's program"
    done
    [ "$1" = dist ] || diff -r -x orrelin_regdel.exe "$work/dist-kit" "$work/$1-kit" || fail "the kit of $1 differs"
}
unpack dist "$work/dist/to-sign"
for arch in x86 x64; do  # the program its suite tested, its tree brought up to date
    [ -f "${trees[$arch]}/CMakeCache.txt" ] && cmake --build "${trees[$arch]}" --target orrelin_regdel >/dev/null &&
        cmp "${trees[$arch]}/removal/orrelin_regdel.exe" "$work/dist-$arch/orrelin_regdel.exe" ||
        fail "the $arch tree ${trees[$arch]} does not build the released $arch program (docs/building.md)"
done
mkdir -p "${trees[x64]}/release-kit" && cp "$kit.zip" "${trees[x64]}/release-kit/"

echo "== Signed with a throwaway certificate, in the other clone"
password="$(od -An -N12 -tx1 /dev/urandom | tr -d ' \n')" && (umask 077 && echo "$password" >"$work/password")
for who in "test:orrelin_regdel test" "other:someone else entirely" "elsewhere:orrelin_regdel elsewhere"; do
    openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=${who#*:}" -addext extendedKeyUsage=codeSigning \
        -keyout "$work/${who%%:*}.key" -out "$work/${who%%:*}.pem" 2>/dev/null
done
openssl pkcs12 -export -inkey "$work/test.key" -in "$work/test.pem" -out "$work/test.pfx" -passout "pass:$password"
ORRELIN_SIGN_PFX="$work/test.pfx" ORRELIN_SIGN_PASSWORD_FILE="$work/password" ORRELIN_PUBLISHER="$publisher" \
    ORRELIN_PUBLISHER_URL="$publisher_url" ORRELIN_PUBLISHER_EMAIL="$email" \
    other_user "$second/scripts/release" --out "$work/signed"
unpack signed

# Text $1 as CMake writes it: the version filled in, readme.txt's lines for distributor $2 at $3 with
# e-mail $4 (or none); with CRLF and, but for cmd.exe's batch file, Notepad's byte order mark.
expected() {
    V="$version" N="${2:-}" U="${3:-}" M="${4:-}" perl -ne 'BEGIN { print "\xef\xbb\xbf" unless $ARGV[0] =~ /\.cmd$/ }
        next if s/^\@IF_PUBLISHER\@// && $ENV{N} eq "" or s/^\@IF_NO_PUBLISHER\@// && $ENV{N} ne ""
            or s/^\@IF_EMAIL\@// && $ENV{M} eq "";
        s/\@VERSION\@/$ENV{V}/g; s/\@ORRELIN_PUBLISHER\@/$ENV{N}/g; s/\@ORRELIN_PUBLISHER_URL\@/$ENV{U}/g;
        s/\@ORRELIN_PUBLISHER_EMAIL\@/$ENV{M}/g; s/\n/\r\n/; print' "$src/$1"
}
for file in "$work"/{dist,signed}-x{86,64}/*.txt "$work/dist-kit/$kit/run-tests.cmd"; do
    source="release/${file##*/}" distributor=()
    [[ "$file" != */LICENSE.txt ]] || source=LICENSE
    [[ "$file" != */signed-*/readme.txt ]] || distributor=("$publisher" "$publisher_url" "$email")
    cmp "$file" <(expected "$source" "${distributor[@]}") ||
        fail "$file should be $source with the version filled in, naming ${distributor[0]:-no distributor}"
    [[ "$file" = *.cmd ]] || { iconv -f UTF-8 -t UTF-8 "$file" >/dev/null && ! grep -n '@[A-Z_]*@' "$file" &&
        [ -z "$(wider_than 80 <"$file" | tee /dev/stderr)" ]; } ||
        fail "$file should be UTF-8 within 80 columns, no placeholder left"
done
[ "$(grep -cxF -e "  $publisher"$'\r' -e "  $publisher_url"$'\r' -e "  $email"$'\r' "$work/signed-x64/readme.txt")" -eq 3 ] ||
    fail "the signed release's readme.txt should name the distributor of ORRELIN_PUBLISHER(_URL, _EMAIL)"

echo "== Signed elsewhere, then adopted"
# The first release's programs signed by another tool, as with a key on a token; or the x86 one changed first.
sign() { osslsigncode sign -certs "$work/$1.pem" -key "$work/$1.key" -h sha256 -in "$2" -out "$2.new" >/dev/null &&
    mv "$2.new" "$2"; }
flip() { perl -e 'open F, "+<:raw", $ARGV[0] or die; seek F, $ARGV[1], 0; read F, $c, 1; seek F, $ARGV[1], 0;
                  print F chr(ord($c) ^ 255); close F or die' "$@"; }
cp -r "$work/dist/to-sign" "$work/elsewhere" && cp -r "$work/dist/to-sign" "$work/changed"
flip "$work/changed/x86/orrelin_regdel.exe" 1280
for exe in "$work"/{elsewhere,changed}/x{86,64}/orrelin_regdel.exe; do sign elsewhere "$exe"; done
"$first/scripts/release" --signed "$work/elsewhere" --out "$work/adopted" | tee "$work/adopted.log" &&
    grep -qF "x64 program is signed by: /CN=orrelin_regdel elsewhere" "$work/adopted.log" &&
    (cd "$work/adopted" && sha256sum --strict -c SHA256SUMS) || fail "--signed should adopt them, naming their signer"
unpack adopted "$work/elsewhere"
! "$first/scripts/release" --signed "$work/changed" --out "$work/refused" 2>&1 | tee "$work/refused.log" && [ ! -e "$work/refused" ] &&
    grep -qF "The signed x86 program $work/changed/x86/orrelin_regdel.exe is not released: without its signature, it is not the program built" \
    "$work/refused.log" || fail "--signed should refuse the program changed before it was signed, say why, and write nothing"

echo "== --check, in the other clone"
# Each case: the zip of release-arch $2 unpacked, changed there by command $3 and zipped as the releases
# are, so that only the change can differ (or the zip itself, copied by theirs); what --check must say of it.
theirs() { cp "$work/${from%-*}/orrelin_regdel-$version-${from#*-}.zip" "../$name.zip"; }
mkdir "$work/cases" && cd "$work/cases"
good=() bad=() cases=()
while IFS='|' read -r name from change said; do
    cp -r "$work/$from" "$name" && (cd "$name" && eval "$change" && { [ -e "../$name.zip" ] || { chmod 644 ./* &&
        touch -d "@$epoch" ./* && TZ=UTC zip -q -X -D -9 "../$name.zip" orrelin_regdel.exe "${texts[@]}"; }; }) ||
        fail "the case $name cannot be made"
    [[ "$said" = identical* ]] && good+=("$PWD/$name.zip") || bad+=("$PWD/$name.zip")
    cases+=("$name.zip: $said")
done <<'EOF'
unsigned-x86|dist-x86|theirs|identical to the x86 build|readme.txt names no distributor
signed-x86|signed-x86|theirs|identical to the x86 build|signed by: /CN=orrelin_regdel test; the signature is intact|names as distributor: $named
adopted-x86|adopted-x86|theirs|identical to the x86 build|signed by: /CN=orrelin_regdel elsewhere; the signature is intact
unsigned|dist-x64|theirs|identical to the x64 build|readme.txt names no distributor
signed|signed-x64|theirs|identical to the x64 build|signed by: /CN=orrelin_regdel test; the signature is intact|names as distributor: $named
adopted|adopted-x64|theirs|identical to the x64 build|signed by: /CN=orrelin_regdel elsewhere; the signature is intact
foreign|dist-x64|sign other orrelin_regdel.exe|identical to the x64 build|signed by: /CN=someone else entirely; the signature is intact|whether to trust the signer cannot be judged here
unsigned-code|dist-x64|flip orrelin_regdel.exe 1280|DIFFERENT: orrelin_regdel.exe (x64) differs from the rebuild: the first difference at byte 1281
signed-code|signed-x64|flip orrelin_regdel.exe 1280|BAD SIGNATURE: its signature does not verify: the signed digest does not match the file
foreign-code|dist-x64|flip orrelin_regdel.exe 1280 && sign other orrelin_regdel.exe|DIFFERENT: orrelin_regdel.exe (x64, signature removed) differs
broken-signature|signed-x64|flip orrelin_regdel.exe $(($(stat -c %s orrelin_regdel.exe) - 100))|BAD SIGNATURE: its signature does not verify: signature failure
renamed-signer|signed-x64|perl -0777 -pi -e 's/orrelin_regdel test/orrelin_regdel Tost/g' orrelin_regdel.exe|BAD SIGNATURE: its signature does not verify: the certificate of /CN=orrelin_regdel Tost has been altered
unsigned-date|dist-x64|theirs && flip "../$name.zip" 10|DIFFERENT: the files match but the archive does not (dates, order, permissions or extra fields): the first difference at byte 11
signed-data|signed-x64|theirs && flip "../$name.zip" 5000|DIFFERENT: damaged
altered-readme|signed-x64|perl -pi -e 's/配布元とダウンロード ページ/作者とダウンロード ページ/' readme.txt|DIFFERENT: readme.txt differs from the rebuild
added-distributor|dist-x64|perl -0777 -pi -e 's{(■ 配布元・連絡先\r\n\r\n)}{$1  Someone\r\n  https://example.invalid/\r\n\r\n}' readme.txt|DIFFERENT: readme.txt differs from the rebuild
http-distributor|signed-x64|perl -pi -e 's{^  https://}{  http://}' readme.txt|DIFFERENT: readme.txt names a distributor that no release can name: ORRELIN_PUBLISHER_URL must be
wide-distributor|signed-x64|perl -pi -e 's{^  Orrelin 配布係.*}{"  " . "名前が長すぎる配布元" x 4 . "\r"}e' readme.txt|DIFFERENT: readme.txt names a distributor that no release can name: ORRELIN_PUBLISHER must fit its line
EOF
# The zips as released under the Japanese locale too (objdump answers in it); altered ones apart, failing.
locale -a | grep -ix 'ja_JP.utf-\?8' >/dev/null || fail "the ja_JP.UTF-8 locale is missing, so --check cannot be tried under it"
LANG=ja_JP.UTF-8 LC_ALL=ja_JP.UTF-8 other_user "$second/scripts/release" --check "${good[@]}" >"$work/good.log" ||
    fail "--check refused zips as released"
! other_user "$second/scripts/release" --check "${bad[@]}" >"$work/bad.log" || fail "--check accepted altered zips"
cat "$work/good.log" "$work/bad.log"
for case in "${cases[@]}"; do  # each thing said, in the lines of its zip
    said="$(awk -v z="${case%%: *}: " 'index($0, z) == 1 { p = 1; print; next } !/^  / { p = 0 } p' "$work"/{good,bad}.log)"
    IFS='|' read -ra parts <<<"${case#*: }"
    for part in "${parts[@]//'$named'/"$named"}"; do
        [[ "$said" == *"$part"* ]] || fail "--check should say of ${case%%: *}: $part"
    done
done
exit "$status"
