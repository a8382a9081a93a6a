#!/usr/bin/env bash
# scripts/release as a user who rebuilds a release meets it. Two clones of
# the same sources, in other folders and under another time zone and umask,
# must give the same zips, and their programs must be those of the trees the
# suites test. A release signed with a throwaway certificate must unsign to
# the unsigned programs, and --check must accept these zips, name their
# signer, and refuse altered ones and broken signatures. The signed release
# names a distributor in its readme.txt, which --check must read back. The
# programs an unsigned release leaves to sign, signed elsewhere, must be
# adopted by --signed, and one changed before it was signed refused. The
# test kit must carry the zips' very programs, signed or not; it is left in
# X64_TREE/release-kit/ for the test that runs it.
#   reproducible_release.sh SOURCE_DIR X64_TREE X86_TREE
set -euo pipefail
export LC_ALL=C  # as the tools read here answer; --check is also run under Japanese
src="$(realpath "$1")"
declare -A trees=([x64]="$(realpath -m "$2")" [x86]="$(realpath -m "$3")")
work="$(mktemp -d "${TMPDIR:-/tmp}/orrelin-release-test.XXXXXX")"
trap 'rm -rf --one-file-system "$work"' EXIT
# Whatever the caller's environment holds, the dates come from the commit and
# only the run below signs and names a distributor: one with characters that
# the shell, sed and CMake would take for their own.
unset SOURCE_DATE_EPOCH ORRELIN_SIGN_PFX ORRELIN_SIGN_PASSWORD ORRELIN_SIGN_PASSWORD_FILE \
    ORRELIN_SIGN_TIMESTAMP_URL ORRELIN_PUBLISHER ORRELIN_PUBLISHER_URL ORRELIN_PUBLISHER_EMAIL
# The name is longer in bytes than the line is wide, as Japanese names are.
publisher='Orrelin 配布係 & "Co." \ ; $HOME ${x} 株式会社オレリン・ソフトウェア配布部'
publisher_url='https://example.invalid/orrelin?a=1&b=$x;c' email='orrelin+release@example.invalid'
status=0
fail() { echo "FAILED: $*" >&2; status=1; }
echo "With $(osslsigncode --version 2>&1 | head -n 1 | cut -d, -f1) ($(command -v osslsigncode))"

# The checkout as it is (tracked files as they are now, new ones not
# ignored), committed with its last commit's date: a clone of that is what
# a user gets. The other clone is at another depth and name, so that a path
# left in a file would show.
epoch="$(git -C "$src" log -1 --format=%ct)"
first="$work/a/src" second="$work/second-build-elsewhere/deeper/src"
mkdir -p "$first" "$(dirname "$second")"
git -C "$src" ls-files -z --cached --others --exclude-standard |
    tar -C "$src" --null -T - --ignore-failed-read -cf - 2>/dev/null | tar -C "$first" -xf -
git=(git -C "$first" -c user.name=test -c user.email=test@invalid -c commit.gpgsign=false
     -c core.hooksPath=/dev/null -c init.defaultBranch=main)
"${git[@]}" init -q && "${git[@]}" add -A
GIT_AUTHOR_DATE="$epoch +0000" GIT_COMMITTER_DATE="$epoch +0000" "${git[@]}" commit -q -m snapshot
(umask 027 && git clone -q "$first" "$second")

echo "== Release from two clones"
"$first/scripts/release" --out "$work/dist"
(umask 027 && TZ=JST-9 "$second/scripts/release" --out "$work/dist-b")
cd "$work/dist"
zips=(orrelin_regdel-*-x86.zip orrelin_regdel-*-x64.zip)
version="${zips[0]#orrelin_regdel-}" version="${version%-x86.zip}"
kit="orrelin_regdel-$version-tests.zip"
[ "$(ls)" = "$(printf '%s\n' SHA256SUMS "$kit" "${zips[1]}" "${zips[0]}" to-sign)" ] ||
    fail "the release should be the two zips, the test kit, SHA256SUMS and to-sign/, not: $(ls)"
for file in "${zips[@]}" "$kit" SHA256SUMS; do
    cmp "$file" "../dist-b/$file" || fail "$file differs between the clones"
done
sha256sum --strict -c SHA256SUMS && [ "$(wc -l <SHA256SUMS)" -eq 2 ] ||
    fail "SHA256SUMS should list and check the two zips"

# The archives: exactly the program and the three texts, in that order, dated
# with the commit in UTC (rounded up to DOS's two seconds), rw-r--r--, and
# without extra fields, which would carry the builder's user and group ids.
texts=(readme.txt LICENSE.txt THIRD-PARTY-NOTICES.txt)
dates=" $(TZ=UTC date -d "@$epoch" +%Y%m%d.%H%M%S) $(TZ=UTC date -d "@$((epoch + 1))" +%Y%m%d.%H%M%S) "
for zip in "${zips[@]}"; do
    listing="$(TZ=UTC zipinfo -T "$zip" | awk 'NF == 8 { print $1, $7, $8 }')"
    printf '%s:\n%s\n' "$zip" "$listing"
    date="${listing#* }" date="${date%% *}"
    [[ "$dates" == *" $date "* ]] || fail "$zip is dated $date, not with the commit ($dates)"
    [ "$listing" = "$(printf -- "-rw-r--r-- $date %s\n" orrelin_regdel.exe "${texts[@]}")" ] ||
        fail "$zip should hold orrelin_regdel.exe ${texts[*]}, in that order, rw-r--r--, of one date"
    ! zipinfo -v "$zip" | grep -E 'length of extra field: +[1-9]' || fail "$zip has extra fields"
    unzip -q -d "$work/${zip: -7:3}" "$zip"
    cmp "$work/${zip: -7:3}/orrelin_regdel.exe" "to-sign/${zip: -7:3}/orrelin_regdel.exe" ||
        fail "to-sign/ should hold the program of $zip"
done

# Text $1 as CMake writes it from its source: the version filled in, and the
# lines of readme.txt for a release naming distributor $2 at address $3 with
# e-mail address $4, or naming none.
expected() {
    V="$version" N="${2:-}" U="${3:-}" M="${4:-}" perl -ne '
        if (s/^\@IF_PUBLISHER\@//) { next if $ENV{N} eq "" }
        elsif (s/^\@IF_NO_PUBLISHER\@//) { next if $ENV{N} ne "" }
        elsif (s/^\@IF_EMAIL\@//) { next if $ENV{M} eq "" }
        s/\@VERSION\@/$ENV{V}/g; s/\@ORRELIN_PUBLISHER\@/$ENV{N}/g; s/\@ORRELIN_PUBLISHER_URL\@/$ENV{U}/g;
        s/\@ORRELIN_PUBLISHER_EMAIL\@/$ENV{M}/g;
        print' "$src/$1"
}
# Lines of file $1 wider than Notepad's 80 columns, East Asian wide and
# ambiguous characters (as Japanese fonts draw them) counting two.
wide() {
    perl -CSD -ne 's/^\x{feff}//; s/\r?\n\z//; my $w = length() + (() = /[\p{Ea=W}\p{Ea=F}\p{Ea=A}]/g);
                   print "$.: $w columns: $_\n" if $w > 80' "$1"
}

# Notepad on every Windows needs the byte order mark to read UTF-8; CRLF to
# break lines on those before Windows 10 1809. The words are the sources'.
for text in "${texts[@]}"; do
    file="$work/x86/$text" source="$src/release/$text"
    [ "$text" != LICENSE.txt ] || source="$src/LICENSE"
    [ "$(head -c 3 "$file")" = $'\xef\xbb\xbf' ] || fail "$text has no byte order mark"
    [ "$(grep -c $'\r$' "$file")" -eq "$(wc -l <"$file")" ] || fail "$text has lines not ending in CRLF"
    iconv -f UTF-8 -t UTF-8 "$file" >/dev/null || fail "$text is not UTF-8"
    ! grep -n '@[A-Z_]*@' "$file" || fail "$text holds a placeholder"
    tail -c +4 "$file" | sed 's/\r$//' | cmp -s - <(expected "${source#"$src/"}") ||
        fail "$text is not ${source#"$src/"} (with the version filled in, naming no distributor)"
    cmp -s "$file" "$work/x64/$text" || fail "$text differs between the zips"
done

# Each program must be the one its suite tested, its tree brought up to date.
for arch in x64 x86; do
    tree="${trees[$arch]}"
    echo "== The $arch tree's program, brought up to date"
    [ -f "$tree/CMakeCache.txt" ] && cmake --build "$tree" --target orrelin_regdel >/dev/null &&
        cmp "$tree/removal/orrelin_regdel.exe" "$work/$arch/orrelin_regdel.exe" ||
        fail "the $arch tree $tree does not build the released $arch program (docs/building.md)"
done

# The kit's programs are the zips' own, signed or not, and its entry point
# is a batch file that cmd.exe reads: CRLF, no byte order mark.
kit_holds_programs() {
    local arch top="$work/kit/${kit%.zip}"
    rm -rf "$work/kit" && unzip -q -d "$work/kit" "$1/$kit" || { fail "$1/$kit does not unzip"; return; }
    [ "$(ls "$work/kit")" = "${kit%.zip}" ] || fail "the kit in $1 should hold the one folder ${kit%.zip}"
    for arch in x86 x64; do
        cmp "$top/$arch/orrelin_regdel.exe" "$2$arch/orrelin_regdel.exe" ||
            fail "the kit in $1 does not carry the $arch zip's program"
    done
    [ "$(head -c 2 "$top/run-tests.cmd")" = "@e" ] &&
        [ "$(grep -c $'\r$' "$top/run-tests.cmd")" -eq "$(wc -l <"$top/run-tests.cmd")" ] ||
        fail "run-tests.cmd should start with @echo and end every line in CRLF"
}
kit_holds_programs "$work/dist" "$work/"
mkdir -p "${trees[x64]}/release-kit" && cp "$kit" "${trees[x64]}/release-kit/"

flip() {  # flips the byte at offset $2 of file $1
    perl -e 'open my $f, "+<:raw", $ARGV[0] or die; seek $f, $ARGV[1], 0; read $f, my $c, 1;
             seek $f, $ARGV[1], 0; print {$f} chr(ord($c) ^ 0xff); close $f or die' "$1" "$2"
}

echo "== Signed with a throwaway certificate"
password="$(od -An -N12 -tx1 /dev/urandom | tr -d ' \n')"
(umask 077 && echo "$password" >"$work/password")
for cert in "test:orrelin_regdel test" "other:someone else entirely" "elsewhere:orrelin_regdel elsewhere"; do
    openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=${cert#*:}" -addext \
        extendedKeyUsage=codeSigning -keyout "$work/${cert%%:*}.key" -out "$work/${cert%%:*}.pem" 2>/dev/null
    openssl pkcs12 -export -inkey "$work/${cert%%:*}.key" -in "$work/${cert%%:*}.pem" \
        -out "$work/${cert%%:*}.pfx" -passout "pass:$password"
done
ORRELIN_SIGN_PFX="$work/test.pfx" ORRELIN_SIGN_PASSWORD_FILE="$work/password" ORRELIN_PUBLISHER="$publisher" \
    ORRELIN_PUBLISHER_URL="$publisher_url" ORRELIN_PUBLISHER_EMAIL="$email" "$first/scripts/release" --out "$work/signed"
for arch in x86 x64; do
    signed="$work/signed-$arch/orrelin_regdel.exe"
    unzip -q -d "$work/signed-$arch" "$work/signed/orrelin_regdel-$version-$arch.zip"
    osslsigncode verify -CAfile "$work/test.pem" -in "$signed" >"$work/verify.log" 2>&1 || {
        cat "$work/verify.log"; fail "the signed $arch program does not verify"; }
    osslsigncode remove-signature -in "$signed" -out "$work/unsigned-$arch.exe" >/dev/null
    cmp "$work/unsigned-$arch.exe" "$work/$arch/orrelin_regdel.exe" ||
        fail "the signed $arch program does not unsign to the unsigned one"
done
kit_holds_programs "$work/signed" "$work/signed-"
named="$work/signed-x64/readme.txt"
tail -c +4 "$named" | sed 's/\r$//' | cmp -s - <(expected release/readme.txt "$publisher" "$publisher_url" "$email") &&
    grep -qxF -- "  $publisher"$'\r' "$named" && grep -qxF -- "  $publisher_url"$'\r' "$named" &&
    grep -qxF -- "  $email"$'\r' "$named" &&
    cmp -s "$named" "$work/signed-x86/readme.txt" ||
    fail "readme.txt should be release/readme.txt naming the distributor of ORRELIN_PUBLISHER(_URL, _EMAIL)"
for file in "$work/x86/readme.txt" "$named"; do
    [ -z "$(wide "$file")" ] || fail "lines of $file are wider than 80 columns: $(wide "$file")"
done

echo "== Signed elsewhere, then adopted"
# As a distributor whose key never leaves its token: the programs that the
# unsigned release left to sign, signed by another tool, and once with the
# x86 one changed before it was signed, which must be refused.
mkdir "$work/changed"
cp -r "$work/dist/to-sign" "$work/changed/to-sign"
flip "$work/changed/to-sign/x86/orrelin_regdel.exe" 1280
for from in dist changed; do
    for arch in x86 x64; do
        mkdir -p "$work/$from/elsewhere/$arch"
        osslsigncode sign -pkcs12 "$work/elsewhere.pfx" -pass "$password" -h sha256 \
            -in "$work/$from/to-sign/$arch/orrelin_regdel.exe" -out "$work/$from/elsewhere/$arch/orrelin_regdel.exe" >/dev/null
    done
done
"$first/scripts/release" --signed "$work/dist/elsewhere" --out "$work/adopted" >"$work/adopted.log" ||
    fail "--signed refused the programs signed elsewhere"
grep -F "x64 program is signed by: /CN=orrelin_regdel elsewhere" "$work/adopted.log" ||
    fail "--signed should name the signer"
(cd "$work/adopted" && sha256sum --strict -c SHA256SUMS) || fail "the adopted release's SHA256SUMS does not check"
for arch in x86 x64; do
    unzip -q -d "$work/adopted-$arch" "$work/adopted/orrelin_regdel-$version-$arch.zip"
    cmp "$work/adopted-$arch/orrelin_regdel.exe" "$work/dist/elsewhere/$arch/orrelin_regdel.exe" ||
        fail "the adopted $arch zip should hold the program signed elsewhere"
done
kit_holds_programs "$work/adopted" "$work/adopted-"
! "$first/scripts/release" --signed "$work/changed/elsewhere" --out "$work/refused" 2>"$work/refused.log" ||
    fail "--signed adopted a program changed before it was signed"
cat "$work/refused.log"
grep -qF "The signed x86 program $work/changed/elsewhere/x86/orrelin_regdel.exe is not released: without its signature, it is not the program built" \
    "$work/refused.log" && [ ! -e "$work/refused" ] || fail "--signed should refuse the changed program, and write nothing"

echo "== --check"
# A case: program $2 with the x64 zip's texts in folder $1, zipped below as
# the release zips, so that only what the case changes can differ.
cases="$work/cases"
case_dir() { mkdir -p "$cases/$1" && cp "$work/x64/"*.txt "$cases/$1/" && cp "$2" "$cases/$1/orrelin_regdel.exe"; }
# One byte of the program's code; signed, it is a byte the signature covers.
case_dir unsigned-code "$work/x64/orrelin_regdel.exe"
case_dir signed-code "$work/signed-x64/orrelin_regdel.exe"
flip "$cases/unsigned-code/orrelin_regdel.exe" 1280
flip "$cases/signed-code/orrelin_regdel.exe" 1280
# Signed by someone else: intact, but not the distributor's, so --check must
# name that signer. Once the program as released, once changed before signing.
for kind in foreign:x64 foreign-code:cases/unsigned-code; do
    osslsigncode sign -pkcs12 "$work/other.pfx" -pass "$password" -h sha256 \
        -in "$work/${kind#*:}/orrelin_regdel.exe" -out "$work/${kind%:*}.exe" >/dev/null
    case_dir "${kind%:*}" "$work/${kind%:*}.exe"
done
# A byte of the signature value (at the end; the file ends in at most 7 bytes
# of padding); and the signer's name altered wherever it stands, which leaves
# the signature over the digest intact but not the certificate's own.
case_dir broken-signature "$work/signed-x64/orrelin_regdel.exe"
flip "$cases/broken-signature/orrelin_regdel.exe" $(($(stat -c %s "$cases/signed-code/orrelin_regdel.exe") - 100))
case_dir renamed-signer "$work/signed-x64/orrelin_regdel.exe"
perl -0777 -pi -e 's/orrelin_regdel test/orrelin_regdel Tost/g' "$cases/renamed-signer/orrelin_regdel.exe"
# readme.txt: naming the distributor, with its words changed (the distributor
# called the author) or an address no release may name; naming none, with a
# distributor added under the heading.
for kind in altered-readme http-distributor wide-distributor added-distributor; do
    case_dir "$kind" "$work/x64/orrelin_regdel.exe"
    [ "$kind" = added-distributor ] || cp "$named" "$cases/$kind/"
done
perl -pi -e 's/配布元とダウンロード ページ/作者とダウンロード ページ/' "$cases/altered-readme/readme.txt"
perl -pi -e 's{^  https://}{  http://}' "$cases/http-distributor/readme.txt"
P="$publisher" perl -pi -e 's{^  \Q$ENV{P}\E\r$}{"  " . "名前が長すぎる配布元" x 4 . "\r"}e' "$cases/wide-distributor/readme.txt"
perl -0777 -pi -e 's{(■ 配布元・連絡先\r\n\r\n)}{$1  Someone\r\n  https://example.invalid/\r\n\r\n}' \
    "$cases/added-distributor/readme.txt"
for dir in "$cases"/*/; do
    (cd "$dir" && chmod 644 ./* && touch -d "@$epoch" ./* &&
     TZ=UTC zip -q -X -D -9 "${dir%/}.zip" orrelin_regdel.exe "${texts[@]}")
done
# A byte of the archive itself: the first entry's date in its local header,
# which leaves the files intact, and one of the compressed data.
cp "${zips[1]}" "$cases/unsigned-date.zip"
flip "$cases/unsigned-date.zip" 10
cp "$work/signed/${zips[1]}" "$cases/signed-data.zip"
flip "$cases/signed-data.zip" 5000

# From the other clone, as someone checking a download against their own; the
# x86 zips under the Japanese locale too, where objdump and others answer in
# Japanese.
locale -a | grep -ix 'ja_JP.utf-\?8' >/dev/null ||
    fail "the ja_JP.UTF-8 locale is missing, so --check cannot be tried under it"
LANG=ja_JP.UTF-8 LC_ALL=ja_JP.UTF-8 "$second/scripts/release" --check \
    "${zips[0]}" "$work/signed/${zips[0]}" "$work/adopted/${zips[0]}" >"$work/x86.log" || fail "--check refused the x86 zips"
cp "$work/signed/${zips[1]}" "$work/signed.zip"
cp "$work/adopted/${zips[1]}" "$work/adopted.zip"
! "$second/scripts/release" --check "${zips[1]}" "$work/signed.zip" "$work/adopted.zip" "$cases"/*.zip >"$work/x64.log" ||
    fail "--check accepted altered zips"
cat "$work/x86.log" "$work/x64.log"
[ "$(grep -c "^${zips[0]}: identical to the x86 build" "$work/x86.log")" -eq 3 ] ||
    fail "--check should call the three x86 zips identical"
while IFS= read -r said; do
    grep -qF -- "${said#* }" "$work/${said%% *}.log" || fail "--check should say \"${said#* }\""
done <<EOF
x86 signed by: /CN=orrelin_regdel test; the signature is intact
x86 signed by: /CN=orrelin_regdel elsewhere; the signature is intact
x64 adopted.zip: identical to the x64 build
x64 signed by: /CN=orrelin_regdel elsewhere; the signature is intact
x64 ${zips[1]}: identical to the x64 build
x64 signed.zip: identical to the x64 build
x64 foreign.zip: identical to the x64 build
x64 signed by: /CN=someone else entirely; the signature is intact
x64 whether to trust the signer cannot be judged here
x64 foreign-code.zip: DIFFERENT: orrelin_regdel.exe (x64, signature removed) differs
x64 unsigned-code.zip: DIFFERENT: orrelin_regdel.exe (x64) differs
x64 signed-code.zip: BAD SIGNATURE: its signature does not verify: the signed digest does not match the file
x64 broken-signature.zip: BAD SIGNATURE: its signature does not verify: signature failure
x64 renamed-signer.zip: BAD SIGNATURE: its signature does not verify: the certificate of /CN=orrelin_regdel Tost has been altered
x64 unsigned-date.zip: DIFFERENT: the files match but the archive does not
x64 signed-data.zip: DIFFERENT: damaged
x64 altered-readme.zip: DIFFERENT: readme.txt differs from the rebuild
x64 added-distributor.zip: DIFFERENT: readme.txt differs from the rebuild
x64 http-distributor.zip: DIFFERENT: readme.txt names a distributor that no release can name: ORRELIN_PUBLISHER_URL must be
x64 wide-distributor.zip: DIFFERENT: readme.txt names a distributor that no release can name: ORRELIN_PUBLISHER must fit its line
x86 readme.txt names no distributor
x86 readme.txt names as distributor: $publisher, $publisher_url, $email
x64 readme.txt names as distributor: $publisher, $publisher_url, $email
EOF
exit "$status"
