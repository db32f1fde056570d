#!/usr/bin/env python3
"""Make the benchmark corpora, deterministically, into a directory.

Usage: bench/make_corpora.py DIR [--size MB]

Writes, each about SIZE megabytes (default 100, 1 MB = 10^6 bytes) and as a
10 MB head cut at a line end:

  prose.txt      Japanese prose in code page 932: the roff sources of Debian's
                 manpages-ja, re-encoded and repeated to size (~44% non-ASCII)
  csource.c      C source in code page 932 with Japanese in narrow string
                 literals, wide literals and comments (~11% non-ASCII)
  wide.c         the same with every message a wide literal: Japanese in
                 wide literals and comments only
  ascii.c        C source of the same shape in plain ASCII
  *-10m.*        the first 10 MB of each

and small adversarial inputs under DIR/adversarial (random bytes, stray lead
bytes, characters cut at the 64 KiB block boundaries) for the byte-identity
check in bench/check_identical.sh.

DIR/tree is a source tree of 600 C and C++ files in code page 932 for
bench/small_files.py: sizes as in a real code base (median about 4 KB, one
in sixteen over 20 KB, the largest about 140 KB), in nested directories, a
few of them with blanks, quotes and Japanese characters in their names.

manpages-ja is installed with apt-get when it is missing.
"""

import argparse
import gzip
import os
import random
import re
import shutil
import subprocess
import sys

MB = 1000 * 1000
BLOCK = 64 * 1024
SEED = 932


def ensure_package(package):
    status = subprocess.run(["dpkg-query", "-W", "-f=${Status}", package],
                            capture_output=True, text=True).stdout
    if "install ok installed" in status:
        return
    env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
    subprocess.run(["apt-get", "update"], check=True, env=env)
    subprocess.run(["apt-get", "install", "-y", "--no-install-recommends", package],
                   check=True, env=env)


def manpage_files():
    listing = subprocess.run(["dpkg", "-L", "manpages-ja"], capture_output=True, text=True,
                             check=True).stdout.split("\n")
    return sorted(p for p in listing if p.startswith("/usr/share/man/ja/") and p.endswith(".gz")
                  and os.path.isfile(p))


# Code points that Python's cp932 codec writes as bytes other converters
# reject (80, A0, FD-FF): replaced like every character code page 932 lacks.
UNSAFE = {0x80: "?", 0xF8F0: "?", 0xF8F1: "?", 0xF8F2: "?", 0xF8F3: "?"}


def to_cp932(text):
    return text.translate(UNSAFE).encode("cp932", errors="replace")


def prose_texts():
    """The manual pages as text, one string per page, in a fixed order."""
    texts = []
    for path in manpage_files():
        with gzip.open(path) as f:
            texts.append(f.read().decode("utf-8", errors="replace"))
    return texts


def repeat_to_size(unit, size):
    """`unit` repeated and cut at the last line end before `size`."""
    data = unit * (size // len(unit) + 1)
    return cut_at_line(data, size)


def cut_at_line(data, size):
    if len(data) <= size:
        return data
    end = data.rfind(b"\n", 0, size)
    return data[:end + 1]


ROFF_FONT = re.compile(r"\\f(\[[^\]]*\]|\(..|.)")
ROFF_OTHER = re.compile(r"\\[,/&:|^%]")


def plain_line(line):
    """A roff line without its markup, or '' for requests and comments."""
    if line.startswith((".\\\"", "'\\\"")):
        return line[3:].strip() if line.isascii() else ""
    if line.startswith("."):
        line = line.split(" ", 1)[1] if " " in line else ""
    line = ROFF_FONT.sub("", line)
    line = ROFF_OTHER.sub("", line).replace("\\-", "-").replace("\\e", "")
    return line.replace("\\", "").strip().strip('"')


def sentence_pools(texts):
    """Japanese lines and plain English lines from the manual pages."""
    japanese, english = [], []
    for text in texts:
        for line in text.split("\n"):
            line = plain_line(line)
            if len(line) < 4:
                continue
            if line.isascii():
                if len(line) >= 20 and " " in line:
                    english.append(line)
            elif sum(1 for c in line if ord(c) >= 0x3000) >= 3:
                japanese.append(line)
    return japanese, english


def c_literal(text, printf):
    text = text.replace("\\", "\\\\").replace('"', '\\"')
    return text.replace("%", "%%") if printf else text


def c_comment(text):
    return text.replace("*/", "* /")


class CWriter:
    """C source of a plausible shape: functions with loops, calls, comments
    and messages. Messages and comments come from `pool`."""

    def __init__(self, pool, rng, wide=False):
        self.pool = pool
        self.rng = rng
        self.counter = 0
        self.prefix = "L" if wide else ""

    def words(self):
        return self.rng.choice(self.pool)

    def short(self):
        text = self.words()
        n = self.rng.randint(4, 16)
        return text[:n]

    def long(self):
        phrases = [self.words() for _ in range(self.rng.randint(2, 5))]
        return " ".join(phrases)

    def name(self):
        stems = ["buffer", "count", "index", "table", "entry", "value", "result", "offset",
                 "length", "status", "node", "item", "flags", "width", "height", "limit"]
        self.counter += 1
        return f"{self.rng.choice(stems)}_{self.counter % 997}"

    def statement(self, indent):
        r = self.rng.random()
        a, b = self.name(), self.name()
        if r < 0.25:
            return f"{indent}{a} = {b} * {self.rng.randint(2, 64)} + ({a} >> {self.rng.randint(1, 7)});"
        if r < 0.40:
            return f"{indent}if ({a} > {b}) {{ {a} = {b}; }}"
        if r < 0.55:
            return f"{indent}memcpy(&{a}, &{b}, sizeof({a}));"
        if r < 0.70:
            return f"{indent}{a} += table[{b} & 0x{self.rng.randint(0, 255):02X}] ^ '\\x5C';"
        if r < 0.85:
            return f"{indent}result = compute_{self.counter % 31}({a}, {b}, {self.rng.randint(0, 999)});"
        return f"{indent}assert({a} != NULL && {b} >= 0);"

    def message(self, indent):
        r = self.rng.random()
        if r < 0.35:
            return f'{indent}printf({self.prefix}"{c_literal(self.short(), True)}: %d\\n", {self.name()});'
        if r < 0.60:
            return f'{indent}puts({self.prefix}"{c_literal(self.short(), False)}");'
        if r < 0.80:
            return f'{indent}fprintf(stderr, {self.prefix}"%s: {c_literal(self.long(), True)}\\n", name);'
        if r < 0.90:
            return f'{indent}wprintf(L"{c_literal(self.short(), True)}\\n");'
        return f'{indent}{self.name()} = {self.prefix}"{c_literal(self.short(), False)}";'

    def function(self, statements_per_message):
        rng = self.rng
        lines = [f"/* {c_comment(self.words())} */",
                 f"static int function_{self.counter}(const char *name, int {self.name()})", "{"]
        for _ in range(rng.randint(2, 5)):
            for _ in range(rng.randint(1, 2 * statements_per_message)):
                lines.append(self.statement("    "))
            if rng.random() < 0.3:
                lines.append(f"    // {c_comment(self.short())}")
            if rng.random() < 0.3:
                lines.append(f"    for (int i = 0; i < {self.name()}; ++i) {{")
                lines.append(self.statement("        "))
                lines.append(self.message("        "))
                lines.append("    }")
            else:
                lines.append(self.message("    "))
        lines += ["    return result;", "}", ""]
        return "\n".join(lines) + "\n"


def c_source(pool, size, statements_per_message, encode, seed=SEED, wide=False):
    rng = random.Random(seed)
    writer = CWriter(pool, rng, wide)
    head = ("#include <assert.h>\n#include <stdio.h>\n#include <string.h>\n#include <wchar.h>\n\n"
            "static int table[256];\nstatic int result;\n\n")
    pieces = [encode(head)]
    total = len(pieces[0])
    while total < size:
        piece = encode(writer.function(statements_per_message))
        pieces.append(piece)
        total += len(piece)
    return cut_at_line(b"".join(pieces), size)


TREE_FILES = 600
# Names that a loop over the tree must quote: blanks, Japanese, a quote.
ODD_NAMES = ["表示 処理.c", "文字列 table.h", "it's here.cpp", "設定.c", " leading blank.c"]
ODD_DIRECTORIES = ["日本語 モジュール", "old code"]


def source_tree(directory, pool):
    """TREE_FILES C and C++ files of code page 932 in nested directories."""
    rng = random.Random(SEED)
    shutil.rmtree(directory, ignore_errors=True)
    modules = [f"module_{k}" for k in range(12)] + ODD_DIRECTORIES
    for k in range(TREE_FILES):
        # Log-normal sizes: the median near 4 KB, a long tail of large files.
        size = min(int(rng.lognormvariate(8.3, 1.1)), 300_000)
        module = modules[k % len(modules)]
        sub = os.path.join("src", module, "detail" if k % 5 == 0 else "")
        if k < len(ODD_NAMES):
            name = ODD_NAMES[k]
        else:
            name = f"{module}_{k}" + rng.choice([".c", ".c", ".cpp", ".h"])
        path = os.path.join(directory, sub, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(c_source(pool, max(size, 200), 5, to_cp932, seed=SEED + k))


def adversarial(directory):
    """Small inputs that probe the corners of the decoder and the scanner."""
    rng = random.Random(SEED)
    os.makedirs(directory, exist_ok=True)
    files = {}
    files["empty"] = b""
    files["random"] = rng.randbytes(3 * MB)
    # Tokens that matter to the scanner and the decoder, in random order.
    tokens = [b'"', b"\\", b"'", b"L", b"u", b"U", b"8", b"\n", b"\r\n", b"A", b"f", b"0", b" ",
              b"\x95\x5C", b"\x8A\xBF", b"\x81\x4C", b"\xB1", b"\x80", b"\xA0", b"\xFD", b"\xFF",
              b"\x81", b"\x85\x40", b"\xEF\x40", b"\xF0\x40", b"\xFC\xFC", b"\x81\n", b"\x81\"",
              b"\x00", b"x", b"(", b"u8\"", b"L\"", b"'\"'", b"'\\\"'"]
    files["tokens"] = b"".join(rng.choice(tokens) for _ in range(1_500_000))
    # Japanese text in runs of every length, with two-byte UTF-8 forms (Greek,
    # Cyrillic, the degree sign) and the odd katakana or stray lead byte, so
    # that characters fall across every position of a 64-byte window.
    kana = [bytes([0x82, t]) for t in range(0x9F, 0xF2)] + [bytes([0x83, t]) for t in range(0x40, 0x97) if t != 0x7F]
    two_byte = [b"\x83\x9F", b"\x83\xBF", b"\x84\x40", b"\x84\x70", b"\x81\x8B", b"\x81\x7E"]
    rare = [b"\xB1", b"\x85\x40", b"\x81", b"\xA0", b"\xFD"]
    runs = []
    while sum(map(len, runs)) < 2 * MB:
        runs.append(b"".join(rng.choice(kana if rng.random() < 0.8 else two_byte) for _ in range(rng.randint(0, 40))))
        runs.append(bytes(rng.choice(b"abc \n\"\\") for _ in range(rng.randint(0, 20))))
        if rng.random() < 0.05:
            runs.append(rng.choice(rare))
    files["japanese-runs"] = b"".join(runs)
    # Every byte pair once.
    files["all-pairs"] = bytes(b for lead in range(256) for trail in range(256) for b in (lead, trail))
    # Characters cut at every block boundary: an odd prefix puts lead bytes last.
    pair_line = '"漢字表示ｱｲｳ" 能力 L"ソ表" /* 予定 */\n'.encode("cp932")
    for shift in range(4):
        body = b"x" * shift + pair_line * (4 * BLOCK // len(pair_line) + 1)
        files[f"boundary-{shift}"] = body
    files["lead-at-end"] = b'"' + b"\x8A\xBF" * (BLOCK // 2 - 1) + b"\x81"
    files["lead-runs"] = (b"\x81" * (BLOCK + 1) + b'"\x81\x81\x81"\n') * 3
    files["long-literal"] = b'puts("' + "漢字ABC表\\\"".encode("cp932") * (3 * BLOCK // 10) + b'");\n'
    for name, data in files.items():
        with open(os.path.join(directory, name), "wb") as f:
            f.write(data)


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)
    non_ascii = sum(data.count(bytes([b])) for b in range(0x80, 0x100))
    print(f"{path}: {len(data):,} bytes, {100 * non_ascii / max(len(data), 1):.1f}% non-ASCII")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("directory")
    parser.add_argument("--size", type=int, default=100, help="megabytes per corpus")
    args = parser.parse_args()
    size = args.size * MB
    os.makedirs(args.directory, exist_ok=True)

    ensure_package("manpages-ja")
    texts = prose_texts()
    prose = repeat_to_size(to_cp932("".join(texts)), size)
    japanese, english = sentence_pools(texts)
    csource = c_source(japanese, size, 5, to_cp932)
    wide = c_source(japanese, size, 5, to_cp932, wide=True)
    ascii_c = c_source(english, size, 5, lambda s: s.encode("ascii"))

    for name, data in (("prose.txt", prose), ("csource.c", csource), ("wide.c", wide), ("ascii.c", ascii_c)):
        stem, ext = os.path.splitext(name)
        write(os.path.join(args.directory, name), data)
        write(os.path.join(args.directory, f"{stem}-10m{ext}"), cut_at_line(data, 10 * MB))
    adversarial(os.path.join(args.directory, "adversarial"))
    print(f"{args.directory}/adversarial: {len(os.listdir(os.path.join(args.directory, 'adversarial')))} files")
    source_tree(os.path.join(args.directory, "tree"), japanese)
    sizes = sorted(os.path.getsize(os.path.join(root, f))
                   for root, _, files in os.walk(os.path.join(args.directory, "tree")) for f in files)
    print(f"{args.directory}/tree: {len(sizes)} files, {sum(sizes):,} bytes, median {sizes[len(sizes) // 2]:,}, "
          f"largest {sizes[-1]:,}")


if __name__ == "__main__":
    sys.exit(main())
