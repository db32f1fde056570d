#!/usr/bin/env python3
"""Compare the string literals of a Windows program before and after litconv,
as the mingw-w64 compiler's own windows.h and tchar.h make them.

Usage: sdk_literals.py LITCONV COMPILER DIRECTORY

Writes a program in code page 932 that uses TEXT(), _T() and literals joined
to wide ones, converts it with LITCONV, preprocesses both with COMPILER
(-E -finput-charset=CP932), with UNICODE and _UNICODE and without, joins
adjacent literals as the compiler does and compares their values: UTF-16
code units for a wide literal, bytes for a narrow one, whose characters the
original build writes in UTF-8. Exits 1 on the first difference.
"""

import re
import subprocess
import sys
from pathlib import Path

PROGRAM = r"""#include <windows.h>
#include <tchar.h>
#include <stdio.h>

#define MESSAGE _T("設定ファイルを読み込めません。")
#define WINDOW_TITLE TEXT("メモ帳")

static const TCHAR *const menu[] = {
    TEXT("ファイル(&F)"), TEXT("編集(&E)"), _T("表示(&V)"), _TEXT("ヘルプ(&H)"),
};

int main(void)
{
    MessageBox(NULL, TEXT("保存しますか？"), WINDOW_TITLE, MB_YESNO);
    MessageBox(NULL, MESSAGE, TEXT("エラー") TEXT("：") _T("ｶﾀｶﾅ"), MB_OK);
    _tprintf(_T("%s は %d 行です。\n"), TEXT("表示"), 3);
    _tprintf(TEXT("a" "漢字")
             TEXT(/* 注釈 */ "表"));
    _tprintf(TEXT
             ("次の行"));
    wprintf(L"幅" "漢字" L"\n");
    wprintf(L"能力: " "ソ" "表" "\n");
    wprintf(_CRT_WIDE("ファイル") L"\n");
    MessageBoxW(NULL, "前置き" L"幅", R"(生の"文字列")" L"", MB_OK);
    MessageBoxA(NULL, "狭い文字列", "表示", MB_OK);
    printf("%s\n", u8"UTF-8 の文字列");
    puts("漢字" "表");
    return 0;
}
"""

TOKEN = re.compile(
    r'(?P<prefix>u8|[LuU])?(?:R"(?P<delimiter>[^()\\\s]{0,16})\((?P<raw>.*?)\)(?P=delimiter)"'
    r'|"(?P<body>(?:[^"\\\n]|\\.)*)")'
    r"|(?P<character>'(?:[^'\\\n]|\\.)*')",
    re.S,
)
SIMPLE_ESCAPES = {"n": 10, "t": 9, "r": 13, "a": 7, "b": 8, "f": 12, "v": 11, "\\": 92, '"': 34, "'": 39, "?": 63}


def units(body, wide):
    """The code units of a literal's body: bytes of UTF-8, or UTF-16 units."""
    out = []

    def text(s):
        out.extend(s.encode("utf-16-le" if wide else "utf-8"))

    i = 0
    while i < len(body):
        c = body[i]
        if c != "\\":
            text(c)
            i += 1
            continue
        e = body[i + 1]
        if e in SIMPLE_ESCAPES:
            out.append(("u", SIMPLE_ESCAPES[e]))
            i += 2
        elif e == "x":
            m = re.match(r"[0-9A-Fa-f]+", body[i + 2:])
            out.append(("u", int(m.group(), 16)))
            i += 2 + len(m.group())
        elif e in "uU":
            n = 4 if e == "u" else 8
            text(chr(int(body[i + 2:i + 2 + n], 16)))
            i += 2 + n
        else:
            m = re.match(r"[0-7]{1,3}", body[i + 1:])
            out.append(("u", int(m.group(), 8)))
            i += 1 + len(m.group())
    # Bytes of an encoded text, paired into UTF-16 units where wide.
    result, pending = [], []
    for item in out:
        if isinstance(item, tuple):
            result.append(item[1])
        else:
            pending.append(item)
            if not wide or len(pending) == 2:
                result.append(pending[0] | (pending[1] << 8) if wide else pending[0])
                pending = []
    return result


def literal_values(preprocessed):
    """The values of the joined literals of a preprocessed file, in order."""
    text = "\n".join(line for line in preprocessed.splitlines() if not line.startswith("#"))
    values, chain = [], []

    def end_chain():
        if chain:
            wide = any(prefix in ("L", "u", "U") for prefix, _ in chain)
            values.append(("wide" if wide else "narrow", [u for _, body in chain for u in units(body, wide)]))
            chain.clear()

    end = 0
    for m in TOKEN.finditer(text):
        prefix = m.group("prefix") or ""
        if text[end:m.start()].strip():  # another token in between
            end_chain()
        if m.start() > 0 and (text[m.start() - 1].isalnum() or text[m.start() - 1] == "_"):  # xL"a"
            end_chain()
            prefix = ""
        end = m.end()
        if m.group("character") is not None:
            end_chain()
        else:
            chain.append((prefix, m.group("raw") if m.group("raw") is not None else m.group("body")))
    end_chain()
    return values


def main():
    litconv, compiler, directory = sys.argv[1], sys.argv[2], Path(sys.argv[3])
    directory.mkdir(parents=True, exist_ok=True)
    original, converted = directory / "program.c", directory / "converted.c"
    original.write_bytes(PROGRAM.encode("cp932"))
    subprocess.run([litconv, str(original), str(converted)], check=True)
    for options in (["-DUNICODE", "-D_UNICODE"], []):
        def preprocess(source):
            command = [compiler, "-E", "-P", "-x", "c++", "-std=c++17", "-finput-charset=CP932", *options, str(source)]
            return subprocess.run(command, check=True, capture_output=True).stdout.decode("utf-8")

        before, after = literal_values(preprocess(original)), literal_values(preprocess(converted))
        build = "UNICODE" if options else "MBCS"
        wide = sum(kind == "wide" for kind, _ in before)
        if before != after:
            for b, a in zip(before, after):
                if b != a:
                    print(f"{build}: {b} became {a}", file=sys.stderr)
                    break
            print(f"{build}: {len(before)} literals, {len(after)} after litconv", file=sys.stderr)
            return 1
        if wide == 0 or (options and wide < 10):
            print(f"{build}: only {wide} wide literals: the headers did not widen TEXT()", file=sys.stderr)
            return 1
        print(f"{build}: {len(before)} joined literals, {wide} wide, the same after litconv")
    return 0


if __name__ == "__main__":
    sys.exit(main())
