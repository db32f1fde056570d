#!/usr/bin/env bash
# Runs the Windows build of litconv and txtconv under Wine and checks it
# against the Linux build: the same bytes for valid input (litconv's text
# mode writing CR LF), the same messages and exit statuses, the safe output
# file, and the places where Windows' own conversion answers differently.
#
# Usage: tests/windows/run_wine_tests.sh WINDOWS_BUILD_DIR LINUX_BUILD_DIR
#
# Needs wine64 (Debian's package puts it in /usr/lib/wine), python3, iconv
# and the ja_JP.UTF-8 locale, which is generated when it is missing (root
# and the locales package): only with it does Wine take code page 932 as
# the ANSI code page.
set -uo pipefail

if (($# != 2)); then
    echo "usage: $0 WINDOWS_BUILD_DIR LINUX_BUILD_DIR" >&2
    exit 2
fi
here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/../.." && pwd)
windows_build=$(cd "$1" && pwd)
linux_build=$(cd "$2" && pwd)

# ---- Wine in a Japanese locale

if ! locale -a 2>/dev/null | grep -qix 'ja_JP\.utf-\?8'; then
    echo "generating the ja_JP.UTF-8 locale"
    localedef -i ja_JP -f UTF-8 ja_JP.UTF-8 || {
        echo "cannot generate ja_JP.UTF-8 (needs root and the locales package)" >&2
        exit 1
    }
fi
find_tool() {
    local name
    for name in "$@"; do
        if command -v "$name" >/dev/null; then command -v "$name"; return; fi
        if [[ -x /usr/lib/wine/$name ]]; then echo "/usr/lib/wine/$name"; return; fi
    done
    echo "cannot find $1" >&2
    exit 1
}
wine=$(find_tool wine64 wine) || exit 1
wineserver=$(find_tool wineserver) || exit 1

work=$(mktemp -d)
# A prefix of our own, without the .NET and HTML engines it would offer to fetch.
export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES='mscoree=;mshtml=' LANG=ja_JP.UTF-8
unset LC_ALL LC_CTYPE LC_MESSAGES LANGUAGE DISPLAY
mkdir -p "$WINEPREFIX"
# One wineserver for all the runs: after the prefix is made (some seconds),
# each start costs a fraction of a second.
"$wineserver" -p
trap '"$wineserver" -k 2>/dev/null; "$wineserver" -w; umount "$work/full" 2>/dev/null; rm -rf "$work"' EXIT
"$wine" wineboot --init >"$work/wineboot.log" 2>&1

run=$work/run
mkdir -p "$run"
python3 "$here/make_samples.py" "$run" || exit 1
cp "$source_dir/examples/hello.c" "$run/hello.c"
cd "$run" || exit 1

# ---- Running and checking

passed=0
failed=0
skipped=0
check() {  # check DESCRIPTION COMMAND...
    local description=$1
    shift
    if "$@"; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        echo "FAILED: $description"
    fi
}

# win PROGRAM ARGS...: the .exe under Wine; its output in win.out, status in $win_status.
win() {
    "$wine" "$windows_build/$1.exe" "${@:2}" >"$work/win.out" 2>"$work/win.err"
    win_status=$?
}
# lin PROGRAM ARGS...: the Linux build; its output in lin.out, status in $lin_status.
lin() {
    "$linux_build/$1" "${@:2}" >"$work/lin.out" 2>"$work/lin.err"
    lin_status=$?
}
# Messages: Windows writes code page 932 with CR LF, Linux UTF-8 with LF.
messages_agree() {
    iconv -f CP932 -t UTF-8 "$work/win.out" | sed 's/\r$//' | cmp -s - "$work/lin.out"
}
utf8_messages_agree() {
    sed 's/\r$//' "$work/win.out" | cmp -s - "$work/lin.out"
}
with_crlf() { perl -pe 's/\n/\r\n/g' "$1"; }
hex() { od -An -tx1 -v "$@" | tr -d ' \n'; }
# shellcheck disable=SC2001 # sed turns every pair of digits into an escape
bytes() { printf '%b' "$(sed 's/../\\x&/g' <<<"$1")"; }  # bytes 8240 writes the bytes 82 40
statuses() { [[ $win_status == "$1" && $lin_status == "$1" ]]; }
message_is() { iconv -f CP932 -t UTF-8 "$work/win.out" | sed 's/\r$//' | cmp -s - <(printf '%s\n' "$1"); }
no_leftovers() { [[ -z $(find . -maxdepth 1 -name '.*.*' -newer "$work/mark" -print -quit) ]]; }

# ---- Valid input: the same bytes as the Linux build
#
# The files are code page 932 whatever the system's ANSI code page: Wine
# takes 932 in a Japanese locale and 1252 in an English one.

english=en_US.UTF-8
for file in hello.c sample.c crlf.c crlf_plain.c crlf_splice.c; do
    lin txtconv "$file" "lin-txt-$file"
    lin litconv "$file" "lin-lit-$file"
    for locale in "$LANG" "$english"; do
        LANG=$locale win txtconv "$file" "win-txt-$file"
        check "txtconv $file, $locale: status 0" statuses 0
        check "txtconv $file, $locale: same bytes as Linux" cmp -s "win-txt-$file" "lin-txt-$file"

        LANG=$locale win litconv "$file" "win-lit-$file"
        check "litconv $file, $locale: status 0" statuses 0
        if [[ $file == crlf* ]]; then
            # Every LF of these has its CR: text mode gives the bytes back as they are.
            check "litconv $file, $locale: same bytes as Linux" cmp -s "win-lit-$file" "lin-lit-$file"
        else
            check "litconv $file, $locale: Linux's bytes with CR LF line ends" \
                cmp -s "win-lit-$file" <(with_crlf "lin-lit-$file")
        fi
    done
done
check "litconv crlf_plain.c: a CR LF file without literals to escape comes through unchanged" \
    cmp -s win-lit-crlf_plain.c crlf_plain.c
wide=$(printf 'wprintf(L"\x83\x8f\x83\x43\x83\x68\x95\xb6\x8e\x9a\x97\xf1\\n");')
check "litconv hello.c: the wide literal is left alone" grep -qF "$wide" win-lit-hello.c

# Non-ASCII names reach wmain whole.
cp hello.c 入力.c
win txtconv 入力.c 出力.c
check "txtconv with Japanese file names" cmp -s 出力.c lin-txt-hello.c
# [in] and [out] may be the same file.
cp hello.c same.c
touch "$work/mark"
win litconv same.c same.c
check "litconv same.c same.c: status 0" test "$win_status" = 0
check "litconv same.c same.c: converted in place" cmp -s same.c win-lit-hello.c
check "litconv same.c same.c: no temporary file left" no_leftovers
win txtconv hello.c NUL
check "txtconv to the NUL device: status 0" test "$win_status" = 0

# Paths past MAX_PATH (260) characters: both programs declare themselves
# long-path aware, and a long path works as input, new output, existing
# output and in place.
for program in litconv txtconv; do
    check "$program.exe embeds the long-path manifest" grep -q '<ws2:longPathAware>true<' "$windows_build/$program.exe"
done
long=$(printf 'directory-%.0s' {1..10})
long=$PWD/$long/$long/$long
mkdir -p "$long"
cp hello.c "$long/in.c"
echo old >"$long/existing.c"
cp hello.c "$long/same.c"
touch "$work/mark"
for output in new.c existing.c; do
    win txtconv "$long/in.c" "$long/$output"
    check "${#long}-character path, $output: status 0" test "$win_status" = 0
    check "${#long}-character path, $output: converted" cmp -s "$long/$output" lin-txt-hello.c
done
win litconv "$long/same.c" "$long/same.c"
check "${#long}-character path in place: status 0" test "$win_status" = 0
check "${#long}-character path in place: converted" cmp -s "$long/same.c" <(with_crlf lin-lit-hello.c)
check "${#long}-character path: no temporary file left" test -z "$(find "$long" -name '.*.*' -newer "$work/mark")"

# ---- Usage and exit statuses

for program in litconv txtconv; do
    for arguments in "" "hello.c" "hello.c a b"; do
        # shellcheck disable=SC2086 # the arguments are split on purpose
        win $program $arguments
        # shellcheck disable=SC2086
        lin $program $arguments
        check "$program with arguments '$arguments': status 2" statuses 2
        check "$program with arguments '$arguments': Linux's usage text" messages_agree
    done
done
LANG=C win litconv
LANG=C lin litconv
check "usage in the C locale: status 2" statuses 2
check "usage in the C locale: UTF-8, as on Linux" utf8_messages_agree

# On a console the message goes out through WriteConsoleW, whole whatever
# the code page; Wine hands it to the terminal in UTF-8.
script -qec "'$wine' '$windows_build/txtconv.exe' missing.c out.c" /dev/null </dev/null >"$work/console.out" 2>&1
check "console: status 1" test $? = 1
check "console: the message arrives whole" grep -qF 'ファイル"missing.c"が開けません。' "$work/console.out"

# ---- Failures: one message, status 1

mkdir -p directory
failure() {  # failure DESCRIPTION PROGRAM IN OUT [utf8]
    win "$2" "$3" "$4"
    lin "$2" "$3" "$4"
    check "$1: status 1" statuses 1
    if [[ ${5:-} == utf8 ]]; then
        check "$1: Linux's message, in UTF-8" utf8_messages_agree
    else
        check "$1: Linux's message" messages_agree
    fi
}
failure "missing input" litconv missing.c out.c
failure "missing input with a Japanese name" txtconv 存在しない.c out.c
failure "missing input whose name code page 932 cannot hold" txtconv 한국어.c out.c utf8
# Code page 932 would put these only approximately ("\.c", "s.c", "cafe.c"):
# the message is in UTF-8 instead, with the name exact.
for name in ¥.c ß.c café.c ¥円.c; do
    failure "missing input $name" litconv "$name" out.c utf8
done
failure "input is a directory" txtconv directory out.c
failure "output in a missing directory" litconv hello.c missing/out.c
failure "output is a directory" txtconv hello.c directory

# ---- The safe output file

echo old >kept.c
touch "$work/mark"
win litconv directory kept.c
check "failed read: status 1" test "$win_status" = 1
check "failed read: the existing output keeps its content" grep -qx old kept.c
check "failed read: no temporary file left" no_leftovers
echo old >replaced.c
win txtconv hello.c replaced.c
check "an existing output is replaced" cmp -s replaced.c lin-txt-hello.c
# Write errors are caught: on a device, and on a full disk where root may
# mount a small one.
failure "output is /dev/full" txtconv sample.c /dev/full
mkdir "$work/full"
if mount -t tmpfs -o size=64k tmpfs "$work/full" 2>/dev/null; then
    echo old >"$work/full/out.c"
    touch "$work/mark"
    win litconv sample.c "$work/full/out.c"
    check "full disk: status 1" test "$win_status" = 1
    check "full disk: the existing output keeps its content" grep -qx old "$work/full/out.c"
    check "full disk: no temporary file left" test "$(ls -A "$work/full")" = out.c
    umount "$work/full"
else
    skipped=$((skipped + 1))
    echo "skipped: full disk (cannot mount a small tmpfs)"
fi

# An output that cannot be written is refused before any byte is read: the
# input, a directory, would fail to read. Wine run by root may open a
# read-only file for writing; the attribute still refuses it.
echo old >readonly.c
chmod a-w readonly.c
ln -s readonly.c readonly_link.c
for output in readonly.c readonly_link.c ""; do
    win txtconv directory "$output"
    check "unwritable output '$output': status 1" test "$win_status" = 1
    check "unwritable output '$output': refused at once" message_is "ファイル\"$output\"が開けません。"
done
check "read-only output: kept" grep -qx old readonly.c

# A symbolic link as the output keeps pointing to its target, which is
# replaced; in place as well.
mkdir -p linked
ln -s linked/target.c link.c
ln -s link.c chain.c
ln -s "$PWD/linked/target.c" absolute.c
touch "$work/mark"
for output in link.c chain.c absolute.c; do
    echo old >linked/target.c
    destination=$(readlink "$output")
    win txtconv hello.c "$output"
    check "output the symbolic link $output: status 0" test "$win_status" = 0
    check "output the symbolic link $output: still the same link" test "$(readlink "$output")" = "$destination"
    check "output the symbolic link $output: the target replaced" cmp -s linked/target.c lin-txt-hello.c
done
cp hello.c linked/target.c
win litconv chain.c link.c
check "in place through symbolic links: status 0" test "$win_status" = 0
check "in place through symbolic links: links kept" test -L link.c -a -L chain.c
check "in place through symbolic links: the target converted" cmp -s linked/target.c <(with_crlf lin-lit-hello.c)
check "symbolic links: no temporary file left" test -z "$(find . linked -maxdepth 1 -name '.*.*' -newer "$work/mark")"

# In place the new text reaches the disk before it replaces the old one,
# and only in place: Wine flushes a file with fsync.
if strace -f -o /dev/null true 2>/dev/null; then
    ln -s same.c same_link.c
    while read -r in out flushes; do
        rm -f same.c same_hard.c new.c
        cp hello.c same.c
        ln same.c same_hard.c
        echo old >other.c
        strace -f -e trace=fsync,fdatasync -o "$work/strace.out" "$wine" "$windows_build/litconv.exe" "$in" "$out"
        check "litconv $in $out: status 0" test $? = 0
        check "litconv $in $out: $flushes flush" test "$(grep -c 'fsync(\|fdatasync(' "$work/strace.out")" = "$flushes"
    done <<'EOF'
same.c same.c 1
same.c ./same.c 1
same.c same_link.c 1
same_link.c same_hard.c 1
same.c other.c 0
same.c new.c 0
EOF
else
    skipped=$((skipped + 1))
    echo "skipped: flush in place (strace missing or not allowed)"
fi

# Ctrl-C while the input blocks removes the temporary file, keeps the old
# output and ends the process with STATUS_CONTROL_C_EXIT (C000013A), of
# which the shell sees the low byte. Wine turns SIGINT into Ctrl-C.
mkfifo fifo
echo old >interrupted.c
touch "$work/mark"
"$wine" "$windows_build/txtconv.exe" fifo interrupted.c >"$work/win.out" &
program=$!
exec 3>fifo
printf 'int x;\n' >&3
for _ in {1..100}; do
    [[ -n $(find . -maxdepth 1 -name '.interrupted.c.*' -print -quit) ]] && break
    sleep 0.1
done
kill -INT "$program"
wait "$program"
check "Ctrl-C: status of an interrupted process" test $? = $((0x3A))
exec 3>&-
check "Ctrl-C: the existing output keeps its content" grep -qx old interrupted.c
check "Ctrl-C: no temporary file left" no_leftovers

# ---- Bytes that are not valid code page 932
#
# txtconv keeps Windows' own answers; each line: input, Windows' UTF-8 (after
# the byte-order mark), Linux's UTF-8.
while read -r input windows linux; do
    bytes "$input" >bad.txt
    win txtconv bad.txt win-bad.txt
    lin txtconv bad.txt lin-bad.txt
    check "txtconv $input: Windows gives $windows" test "$(hex win-bad.txt)" = "efbbbf$windows"
    LANG=$english win txtconv bad.txt win-bad.txt
    check "txtconv $input: Windows gives $windows in $english too" \
        test "$(hex win-bad.txt)" = "efbbbf$windows"
    check "txtconv $input: Linux gives $linux" test "$(hex lin-bad.txt)" = "efbbbf$linux"
done <<'EOF'
8222   e383bb       efbfbd22
820a   e383bb       efbfbd0a
820041 e383bb0041   efbfbd0041
8540   e383bb       efbfbd40
8585   e383bb       efbfbd
827f   e383bb       efbfbd7f
82fd   e383bb       efbfbd
4182   41e383bb     41efbfbd
80a0fdfeff c280efa3b0efa3b1efa3b2efa3b3 c280efa3b0efa3b1efa3b2efa3b3
EOF
# A lead byte cut off by the first block is decoded with what follows it,
# as if the file had not been cut: after the byte-order mark and 65,535
# bytes "a" come Windows' UTF-8 for the last bytes.
head -c 65535 /dev/zero | tr '\0' a >a.txt
while read -r input windows; do
    { cat a.txt; bytes "$input"; } >cut.txt
    win txtconv cut.txt win-cut.txt
    check "txtconv $input across a block boundary: the block's text intact" \
        cmp -s <(head -c 65538 win-cut.txt | tail -c +4) a.txt
    check "txtconv $input across a block boundary: decoded whole" \
        test "$(tail -c +65539 win-cut.txt | hex)" = "$windows"
done <<'EOF'
82a0   e38182
820a   e383bb
820041 e383bb0041
EOF
# litconv copies such bytes on both systems.
printf 's = "\x82"; t = "\x85\x40\x80\xa0\xfd\xfe\xff"; u = "\x82\x00"; "\xe3\x82"\n"\x82' >bad.c
win litconv bad.c win-bad.c
lin litconv bad.c lin-bad.c
check "litconv copies invalid bytes as Linux does" cmp -s win-bad.c <(with_crlf lin-bad.c)
LANG=$english win litconv bad.c win-bad.c
check "litconv copies invalid bytes as Linux does in $english too" cmp -s win-bad.c <(with_crlf lin-bad.c)

echo "wine: $passed passed, $failed failed, $skipped skipped"
((failed == 0))
