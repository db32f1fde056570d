#!/usr/bin/env bash
# Runs the Windows build of litconv and txtconv under Wine and checks it
# against the Linux build: the same bytes for valid input (litconv's text
# mode writing CR LF), the same messages and exit statuses, the safe output
# file, and the places where Windows' own conversion answers differently.
# A test build of txtconv (CODEPAGE_TEST_HOOKS, made here) holds runs at
# known points and makes the replacement of [out] fail.
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

# The test build: only the hooks of codepage/windows/test_hooks.hpp differ.
hooks_build=$work/test-hooks
{ cmake -S "$source_dir" -B "$hooks_build" -DCMAKE_TOOLCHAIN_FILE="$source_dir/cmake/mingw-w64-x86_64.cmake" \
    -DCMAKE_CXX_FLAGS=-DCODEPAGE_TEST_HOOKS && cmake --build "$hooks_build" --target txtconv -j2; } \
    >"$work/test-hooks.log" 2>&1 || { cat "$work/test-hooks.log"; exit 1; }

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
# Where standard output is [in] or [out] (> out.c, >> f.c), the message
# goes to standard error instead of into the file.
"$wine" "$windows_build/litconv.exe" missing.c redirected.c >redirected.c 2>"$work/win.err"
check "standard output is [out]: status 1" test $? = 1
check "standard output is [out]: nothing in it" test ! -s redirected.c
check "standard output is [out]: the message on standard error" cmp -s "$work/win.err" \
    <(printf 'ファイル"missing.c"が開けません。\r\n' | iconv -f UTF-8 -t CP932)
printf '\xe6\x97\xa5\r\n' >appended.c
"$wine" "$windows_build/txtconv.exe" appended.c appended.c >>appended.c 2>"$work/win.err"
check "standard output is the file in place: status 1" test $? = 1
check "standard output is the file in place: kept as it was" test "$(hex appended.c)" = e697a50d0a
check "standard output is the file in place: the message on standard error" cmp -s "$work/win.err" \
    <(printf 'ファイル"appended.c"はすでにUTF-8です。\r\n' | iconv -f UTF-8 -t CP932)

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
# which the shell sees the low byte. Wine turns SIGINT into Ctrl-C. Wine
# reads a FIFO without a writer as empty: the writer is open before the
# program starts.
mkfifo fifo
exec 3<>fifo
echo old >interrupted.c
touch "$work/mark"
"$wine" "$windows_build/txtconv.exe" fifo interrupted.c >"$work/win.out" &
program=$!
printf 'int x;\n' >&3
for _ in {1..100}; do
    [[ -n $(find . -maxdepth 1 -name '.interrupted.c.*' -print -quit) ]] && break
    sleep 0.1
done
kill -INT "$program"
wait "$program"
check "Ctrl-C: status of an interrupted process" test $? = $((0x3A))
check "Ctrl-C: the existing output keeps its content" grep -qx old interrupted.c
check "Ctrl-C: no temporary file left" no_leftovers
# Ctrl-C in the first milliseconds, while Wine is still starting the
# program: the handler is installed as the program is loaded, so that the
# run never ends with the status 0 of Wine's own handler. It ends as
# interrupted, or by SIGINT itself before Wine handles signals; a signal
# that Wine's start loses leaves the run waiting on the FIFO, and another
# follows each second. Job control gives the background runs SIGINT's
# default action, as a terminal's Ctrl-C finds it.
echo old >interrupted.c
touch "$work/mark"
succeeded_anyway=$(
    set -m
    for delay in $(seq 0 0.005 0.1); do
        "$wine" "$windows_build/txtconv.exe" fifo interrupted.c >/dev/null 2>&1 &
        program=$!
        sleep "$delay"
        kill -INT "$program"
        for tick in {1..100}; do
            sleep 0.1
            [[ $(cut -d' ' -f3 "/proc/$program/stat" 2>/dev/null) == [RSD] ]] || break
            ((tick % 10)) || kill -INT "$program"
        done
        wait "$program"
        status=$?
        ((status != 0)) || printf ' %ss' "$delay"
    done 2>/dev/null
)
check "Ctrl-C while starting: never status 0 (at:$succeeded_anyway)" test -z "$succeeded_anyway"
check "Ctrl-C while starting: the existing output keeps its content" grep -qx old interrupted.c
check "Ctrl-C while starting: no temporary file left" no_leftovers

# ---- Runs held at a known point
#
# held POINT ACTION PROGRAM ARGS...: runs the test build's PROGRAM, which
# stops at POINT (input: [in] just opened; replace: the new text written,
# before it replaces [out]) while ACTION runs, as another program would
# act; then the run goes on. ACTION "interrupt" sends Ctrl-C instead, and
# the run never goes on by itself. Status in $win_status, messages in
# win.out. ACTION may run win itself.
held() {
    local point=$1 action=$2 program=$3 pid line=
    shift 3
    rm -f "$work/go" "$work/paused"
    mkfifo "$work/go" "$work/paused"
    CODEPAGE_TEST_PAUSE=$point "$wine" "$hooks_build/$program.exe" "$@" \
        <"$work/go" >"$work/held.out" 2>"$work/paused" &
    pid=$!
    # Open for reading here too, the go-ahead never meets a closed pipe.
    exec 4<>"$work/go" 5<"$work/paused"
    read -r line <&5
    if [[ $line == paused && $action == interrupt ]]; then
        kill -INT "$pid"
    else
        [[ $line == paused ]] && eval "$action"
        echo >&4
    fi
    wait "$pid"
    win_status=$?
    exec 4>&- 5<&-
    mv "$work/held.out" "$work/win.out"
}

# An interrupt ends a run as interrupted from its start: before any
# temporary file exists (into NUL, a new file, or in place, where it is
# made at the first difference) and once one exists.
while read -r point in out; do
    cp hello.c same.c
    echo old >old.c
    rm -f new.c
    touch "$work/mark"
    held "$point" interrupt txtconv "$in" "$out"
    check "Ctrl-C at $point, $in $out: status of an interrupted process" test "$win_status" = $((0x3A))
    check "Ctrl-C at $point, $in $out: nothing written" \
        test ! -e new.c -a "$(cat old.c)" = old -a "$(hex same.c)" = "$(hex hello.c)"
    check "Ctrl-C at $point, $in $out: no temporary file left" no_leftovers
done <<'EOF'
input   fifo   NUL
input   fifo   new.c
input   same.c same.c
replace hello.c old.c
replace same.c same.c
EOF
exec 3>&-

# While it is read, [in] is open without FILE_SHARE_WRITE: another Windows
# program may read it, not write it.
other_programs() {
    win txtconv hello.c same.c
    writer_status=$win_status
    cp "$work/win.out" "$work/writer.out"
    win txtconv same.c read.c
    reader_status=$win_status
}
cp hello.c same.c
writer_status='' reader_status=''
held input other_programs txtconv same.c new.c
check "[in] held: the run converts it" test "$win_status" = 0 -a "$(hex new.c)" = "$(hex lin-txt-hello.c)"
check "[in] held: another program's write refused" \
    test "$writer_status" = 1 -a "$(hex same.c)" = "$(hex hello.c)"
check "[in] held: the writer told so" cmp -s "$work/writer.out" \
    <(printf 'ファイル"same.c"が開けません。\r\n' | iconv -f UTF-8 -t CP932)
check "[in] held: another program reads it" \
    test "$reader_status" = 0 -a "$(hex read.c)" = "$(hex lin-txt-hello.c)"

# [out] is replaced only while it is the file it was, unchanged; a file
# gone from the name is written anew. Each line: what another program does
# while the run is held before the replacement, [in] and [out], the status,
# and a command that prints what [out] holds at the end.
while IFS='|' read -r action in out status result; do
    cp hello.c same.c
    echo old >old.c
    echo bait >bait.c
    touch "$work/mark"
    held replace "$action" txtconv "$in" "$out"
    description="held before the replacement, '$action'"
    check "$description: status $status" test "$win_status" = "$status"
    check "$description: [out] holds '$result'" cmp -s "$out" <(eval "$result")
    if ((status == 1)); then
        check "$description: the write message" message_is "ファイル\"$out\"に書き込めません。"
    fi
    check "$description: no temporary file left" no_leftovers
done <<'EOF'
mv bait.c old.c|hello.c|old.c|1|echo bait
echo more >>old.c|hello.c|old.c|1|printf 'old\nmore\n'
touch -d 2001-01-01 old.c|hello.c|old.c|1|echo old
rm old.c|hello.c|old.c|0|cat lin-txt-hello.c
mv bait.c same.c|same.c|same.c|1|echo bait
echo more >>same.c|same.c|same.c|1|cat hello.c; echo more
EOF

# A replacement that fails once ReplaceFileW moved the target aside keeps
# the new text: the temporary file stays, and the message says where. The
# test build fails as told (test_hooks.hpp): with the error code, the name
# then taken by a directory or free. Each line: the code, taken or free,
# the status, and what stands under [out]'s name at the end.
while read -r code name status result; do
    rm -rf fault.c fault.c~ .fault.c.*
    cp hello.c fault.c
    taken=
    [[ $name == taken ]] && taken=1
    CODEPAGE_TEST_REPLACE_FAULT=$code CODEPAGE_TEST_REPLACE_TAKEN=$taken \
        "$wine" "$hooks_build/txtconv.exe" fault.c fault.c >"$work/win.out"
    win_status=$?
    description="replacement failing with $code, the name $name"
    check "$description: status $status" test "$win_status" = "$status"
    kept=$(find . -maxdepth 1 -name '.fault.c.*' -printf '%f')
    case $result in
    converted) check "$description: [out] converted" cmp -s fault.c lin-txt-hello.c ;;
    old) check "$description: [out] kept" cmp -s fault.c hello.c ;;
    directory) check "$description: the directory stands" test -d fault.c ;;
    esac
    if [[ $result == directory ]]; then
        check "$description: the new text kept" cmp -s "$kept" lin-txt-hello.c
        where='\\?\Z:'${PWD//\//\\}\\$kept
        check "$description: the message says where" \
            message_is "$(printf 'ファイル"fault.c"に書き込めません。\n変換した内容は"%s"にあります。' "$where")"
    else
        check "$description: no temporary file left" test -z "$kept"
    fi
done <<'EOF'
1176 taken 1 directory
1176 free  0 converted
1177 taken 1 directory
1175 free  1 old
EOF

# ---- Names
#
# A name with a stream part is refused at once: its temporary file would be
# a stream of a new file. Wine has no streams and would make a file of that
# name. A drive's colon is no stream. Each line: [out], the status, and the
# files the run makes.
while IFS='|' read -r out status made; do
    touch "$work/mark"
    win txtconv hello.c "$out"
    check "txtconv hello.c '$out': status $status" test "$win_status" = "$status"
    if ((status == 1)); then
        check "txtconv hello.c '$out': the open message" message_is "ファイル\"$out\"が開けません。"
    fi
    made=$(eval echo "$made")
    check "txtconv hello.c '$out': makes '$made'" \
        test "$(find . "$WINEPREFIX/drive_c" -maxdepth 1 -type f -newer "$work/mark" | sort | xargs)" = "$made"
    find . "$WINEPREFIX/drive_c" -maxdepth 1 -type f -newer "$work/mark" -delete
done <<'EOF'
a.c:s|1|
hello.c::$DATA|1|
C:drive.c|0|$WINEPREFIX/drive_c/drive.c
NUL:|0|
EOF

# ---- In place: only what changes is touched
#
# A file that would come out the same keeps its inode and times: no
# temporary file, no ReplaceFileW, no flush. Each line: the program, the
# file, what becomes of it (untouched, converted, refused as UTF-8 or as
# UTF-16, refused for a byte that is no character of code page 932 on a
# line).
{ cat crlf_plain.c; printf 'const char *s = "\x8a\xbf\x8e\x9a";\r\n'; } >later.c
printf 's = "\x82";\r\nt = "\x85\x40";\r\n' >invalid.c
printf 'a\r\nb\r\n\x85\x40\r\n' >not932.txt
printf '\xef\xbb\xbfint x;\r\n' >bom.c
printf 'puts("\xe6\x97\xa5\xe6\x9c\xac");\r\n' >utf8.c
# UTF-16 as Visual Studio's resource editor writes it: in UTF-16LE the
# bytes of 日 (E5 65) inside the quotes read as a pair of code page 932.
printf '\xff\xfe' >mark16.h
{ printf '\xff\xfe'; printf 'puts("日本");\r\n' | iconv -f UTF-8 -t UTF-16LE; } >utf16le.rc
{ printf '\xfe\xff'; printf '#define X 1\r\n' | iconv -f UTF-8 -t UTF-16BE; } >utf16be.h
printf 'x\r\n/* \xff\xfe */\r\n' >fffe.c
strace -f -o /dev/null true 2>/dev/null && traced=1 || traced=
# expected PROGRAM FILE: what the Windows build writes for FILE.
expected() {
    if [[ $1 == litconv ]]; then
        perl -pe 's/\r\n/\n/g' "$2" >"$work/lf.c"
        lin litconv "$work/lf.c" "$work/expected"
        with_crlf "$work/expected"
    else
        lin txtconv "$2" "$work/expected"
        cat "$work/expected"
    fi
}
while IFS='|' read -r program file result; do
    description="in place, $program $file"
    cp "$file" ip.c
    expected "$program" "$file" >"$work/expected.out"
    before=$(stat -c '%i %y %z' ip.c)
    touch "$work/mark"
    if [[ -n $traced ]]; then
        strace -f -e trace=fsync,fdatasync,rename,renameat,renameat2 -o "$work/strace.out" \
            "$wine" "$windows_build/$program.exe" ip.c ip.c >"$work/win.out" 2>"$work/win.err"
    else
        "$wine" "$windows_build/$program.exe" ip.c ip.c >"$work/win.out" 2>"$work/win.err"
    fi
    win_status=$?
    check "$description: no temporary file left" no_leftovers
    if [[ $result == converted ]]; then
        check "$description: status 0" test "$win_status" = 0
        check "$description: converted" cmp -s ip.c "$work/expected.out"
        continue
    fi
    check "$description: the file as it was" cmp -s ip.c "$file"
    check "$description: its inode and times kept" test "$(stat -c '%i %y %z' ip.c)" = "$before"
    if [[ -n $traced ]]; then
        check "$description: neither renamed nor flushed" test "$(grep -c 'sync(\|rename' "$work/strace.out")" = 0
    fi
    case $result in
    untouched) check "$description: status 0" test "$win_status" = 0 ;;
    utf8)
        check "$description: status 1" test "$win_status" = 1
        check "$description: the message" message_is 'ファイル"ip.c"はすでにUTF-8です。'
        ;;
    utf16)
        check "$description: status 1" test "$win_status" = 1
        check "$description: the message" message_is 'ファイル"ip.c"はUTF-16です。'
        ;;
    line*)
        check "$description: status 1" test "$win_status" = 1
        check "$description: the message" \
            message_is "ファイル\"ip.c\"の${result#line }行目に、コードページ932の文字ではないバイトがあります。"
        ;;
    esac
done <<'EOF'
litconv|crlf_plain.c|untouched
litconv|later.c|converted
litconv|hello.c|converted
litconv|invalid.c|converted
litconv|not932.txt|untouched
litconv|bom.c|utf8
litconv|utf8.c|utf8
txtconv|hello.c|converted
txtconv|bom.c|untouched
txtconv|utf8.c|utf8
txtconv|not932.txt|line 3
litconv|mark16.h|utf16
litconv|utf16le.rc|utf16
litconv|utf16be.h|utf16
litconv|fffe.c|untouched
txtconv|mark16.h|utf16
txtconv|utf16le.rc|utf16
txtconv|utf16be.h|utf16
txtconv|fffe.c|converted
EOF
# Into another file [out] is always written, even when it holds the same
# bytes: make relies on its new time.
cp crlf_plain.c copy.c
before=$(stat -c '%i %y %z' copy.c)
win litconv crlf_plain.c copy.c
check "litconv into a file that holds the same bytes: status 0" test "$win_status" = 0
check "litconv into a file that holds the same bytes: replaced" \
    test "$(stat -c '%i %y %z' copy.c)" != "$before" -a "$(hex copy.c)" = "$(hex crlf_plain.c)"

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
