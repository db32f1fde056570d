#!/usr/bin/env python3
"""Write the code page 932 samples that run_wine_tests.sh converts.

Usage: make_samples.py DIRECTORY

- sample.c: about 1.5 MB of C source with LF line ends: Japanese prose in
  comments (also over several lines, with quotes in them), narrow, u8, wide
  and raw literals, literals continued by a backslash at the end of a line,
  character literals, digit separators, every mapped double-byte character
  and every half-width katakana inside literals, lines longer than one
  64 KiB block, zero and Ctrl-Z bytes, and a character cut by the first
  block boundary.
- crlf.c: the same kind of text with CR LF line ends, with a CR LF, a lone
  CR and a CR CR LF each cut by a block boundary of the text-mode reader.
- crlf_plain.c: CR LF text in which litconv finds nothing to escape.
- crlf_splice.c: CR LF text with a backslash before CR CR LF, which is no
  splice (the compiler reads the CR), after a comment and in a literal, the
  first cut by a block boundary of the text-mode reader.
"""

import random
import sys
from pathlib import Path

BLOCK = 64 * 1024

WORDS = (
    "吾輩 は 猫 で ある 。 名前 は まだ 無い 。 どこ で 生れた か とんと 見当 が つか ぬ 。 "
    "何でも 薄暗い じめじめ した 所 で ニャーニャー 泣いて いた 事 だけ は 記憶 して いる 。 "
    "設定 ファイル を 読み込めません でした 。 保存先 の ディレクトリ を 確認 して ください 。 "
    "東京都 千代田区 髙橋 﨑山 ① ② ③ ㈱ ≒ ≡ ∵ Ⅰ Ⅱ ⅰ ⅱ ￢ ∀ 〜 ～ − ― ‖ ＼ "
    "全角 ＡＢＣ ０１２ ｱｲｳｴｵ ｶﾞｷﾞ ﾊﾟﾋﾟ 表示 能力 ソース 予定 十 申 ポ 構"
).split()


def sentence(rng, words=12):
    return "".join(rng.choice(WORDS) for _ in range(words))


def all_pairs():
    """Every mapped double-byte character, as bytes."""
    leads = list(range(0x81, 0xA0)) + list(range(0xE0, 0xFD))
    out = bytearray()
    for lead in leads:
        for trail in range(0x40, 0xFD):
            pair = bytes([lead, trail])
            try:
                if len(pair.decode("cp932")) == 1:
                    out += pair
            except UnicodeDecodeError:
                pass
    assert len(out) == 2 * 9604
    return bytes(out)


def program(rng, lines):
    """C source text in code page 932, LF line ends."""
    out = []
    for i in range(lines):
        kind = i % 10
        s = sentence(rng)
        if kind == 0:
            out.append(f"/* {s} */")
        elif kind == 1:
            out.append(f'    puts("{s}");')
        elif kind == 2:
            out.append(f'    printf("%s: %d\\n", "{s}", {i});  // {sentence(rng, 4)}')
        elif kind == 3:
            out.append(f'    wprintf(L"{s}\\n"); fputs(u8"{s}ABC", f);')
        elif kind == 4:
            out.append(f'    char c = \'"\'; char d = \'\\"\'; const char* t = "{s}\\"{s}\\"";')
        elif kind == 5:
            out.append(f'    static const char16_t* w = u"{s}"; auto x = U"{s}";')
        elif kind == 6:
            out.append(f'    log("表示{i:X}", "能力F0", "ｶﾞ9", R"({s})");')
        elif kind == 7:
            out.append(f'    // 「{s}」の"引用"')
        elif kind == 8:
            out.append(f'    s = "{s}" "{sentence(rng, 3)}" "\\x41{s}";')
        else:
            out.append(f'    /* "{s}\n       {sentence(rng, 4)}" */ s = "{s}\\\n{sentence(rng, 3)}";'
                       f' c = \'"\'; n = 1\'000; r = R"x({s}\n{s})x";')
    return "\n".join(out).encode("cp932") + b"\n"


def sample(rng):
    # The first block ends inside a literal, between the two bytes of 漢.
    head = b'const char* first = "'
    head += b"a" * (BLOCK - 1 - len(head)) + "漢字\";\n".encode("cp932")
    assert head[BLOCK - 1:BLOCK + 1] == "漢".encode("cp932")
    parts = [head, program(rng, 6000)]
    pairs = all_pairs()
    katakana = bytes(range(0xA1, 0xE0))
    parts.append(b'const char* every = "' + pairs + b'";\n')  # one line of 19 KiB
    parts.append(b'const char* kana = "' + katakana + b'";\n')
    parts.append(b"/* " + sentence(rng, 20000).encode("cp932") + b" */\n")  # a long comment line
    parts.append(b'const char* long_line = "' + sentence(rng, 30000).encode("cp932") + b'";\n')
    parts.append(b'const char* zero = "\x00\x82\xa0\x00"; /* \x1a Ctrl-Z */ x = "\x82\xa0\x1a\x82\xa2";\n')
    parts.append(b'wchar_t const* wide = L"' + pairs[:4000] + b'";\n')
    parts.append(program(rng, 6000))
    return b"".join(parts)


def crlf_head():
    """ASCII text whose first three 64 KiB blocks, as the text-mode reader
    fills them, end in a CR: of a CR LF, of a lone CR, of a CR CR LF."""
    first = b"/*" + b"a" * (BLOCK - 5) + b"*/"  # CR at 65535, LF at 65536
    text = first + b"\r\n"
    # From here on a translated byte sits one before its raw offset.
    second = b"/*" + b"b" * (2 * BLOCK - 1 - (len(text) - 1) - 4) + b"*/"
    text += second + b"\rx\r\n"  # the lone CR ends the second block
    third = b"/*" + b"c" * (3 * BLOCK - 1 - (len(text) - 2) - 4) + b"*/"
    text += third + b"\r\r\n"  # the first CR of CR CR LF ends the third block
    # Raw offsets of the three; the reader's buffers end at 65535, 131072
    # (one CR LF before it) and 196609 (the held x and one more CR LF).
    assert text[BLOCK - 1:BLOCK + 1] == b"\r\n"
    assert text[2 * BLOCK:2 * BLOCK + 2] == b"\rx"
    assert text[3 * BLOCK + 1:3 * BLOCK + 4] == b"\r\r\n"
    return text


def crlf_splice():
    """A backslash, CR CR LF: text mode hands over backslash, CR LF."""
    tail = "\\\r\r\nconst char *s = \"漢字\";\r\n".encode("cp932")
    text = b"// " + b"a" * (BLOCK - 4) + tail  # the backslash ends the first block
    assert text[BLOCK - 1:BLOCK + 2] == b"\\\r\r"
    text += '// note \\\r\r\nconst char *t = "漢字";\r\n'.encode("cp932")
    text += 'const char *u = "a\\\r\r\nconst char *v = "漢字";\r\n'.encode("cp932")
    return text


def main():
    directory = Path(sys.argv[1])
    directory.mkdir(parents=True, exist_ok=True)
    rng = random.Random(932)
    (directory / "sample.c").write_bytes(sample(rng))
    body = program(rng, 3000).replace(b"\n", b"\r\n")
    (directory / "crlf.c").write_bytes(crlf_head() + body + b"int end;\r")
    plain = "".join(f"/* {sentence(rng)} */ wprintf(L\"{sentence(rng)}\");\r\n" for _ in range(3000))
    (directory / "crlf_plain.c").write_bytes(crlf_head() + plain.encode("cp932") + b"\x1a\x00\rint end;\r")
    (directory / "crlf_splice.c").write_bytes(crlf_splice())


if __name__ == "__main__":
    main()
