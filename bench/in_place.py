#!/usr/bin/env python3
"""Time the README's in-place recipe over a source tree like a real code
base, run once and then again, beside an empty statically linked program
run the same way.

Usage: bench/in_place.py BUILD_DIR [--files N] [--literals FRACTION]
                         [--runs N] [--out DIR] [--also NAME=DIR]

The tree (made afresh under --out, default /tmp/in-place-bench): --files C
and C++ files in code page 932 (default 3,000; sizes log-normal, median
near 3.5 KB), in 40 directories, a fifth of them with Japanese comments and
--literals of them (default 0.02) with a Japanese string literal too; some
suffixes in capitals, which the recipe's -iname finds.

Every command is the README's recipe, find piped into xargs -0 -P 2 -I{}
PROGRAM {} {}, over a tree of its own:

- "first run": litconv or txtconv on a fresh copy of the tree (made by
  before every timed run, not timed);
- "rerun": the same program over a tree it converted once before the
  timing, as after an interrupted or repeated run;
- "empty program": int main(void) {}, linked with -static-pie like the
  programs, given the same arguments.

--also adds the programs of another build (an earlier version, say) to the
same runs, as litconv@NAME and txtconv@NAME; their reruns start from a
fresh copy of the tree they converted once, since an earlier txtconv
converts its own output again.

On a shared machine the load drifts from second to second, so the commands
are interleaved: each of --runs rounds runs every command once, in an order
of its own, each after its preparation (not timed). Each command's time is
the median of its rounds, and each ratio to the empty program the median of
the ratios within a round, where both met the same load. Goal: a rerun
costs at most 1.3 times the empty program.
"""

import argparse
import os
import random
import shlex
import shutil
import statistics
import subprocess
import sys
import time

SUFFIXES = [".c", ".c", ".c", ".h", ".h", ".cpp", ".hpp", ".cc", ".cxx", ".hxx", ".inl", ".C", ".CPP", ".H"]
PATTERNS = ["*.c", "*.h", "*.cpp", "*.hpp", "*.cc", "*.cxx", "*.hxx", "*.inl"]
PHRASES = ["設定ファイルを読み込む", "エラーが発生しました", "表示する文字列", "初期化に失敗", "ﾃｽﾄ用の半角ｶﾅ",
           "値が範囲外です", "接続を閉じる", "ソースコードの説明"]
GOAL = 1.3


def c_file(rng, size, comments, literal):
    """C code of about `size` bytes in code page 932."""
    lines = ["#include <stdio.h>", "#include <string.h>", ""]
    total, k = 0, 0
    while total < size:
        body = [f"static int function_{k}(int value, const char *name)", "{"]
        if comments:
            body.append(f"    /* {rng.choice(PHRASES)} */")
        body += [f"    int result = value * {rng.randint(2, 99)} + (int)strlen(name);",
                 f"    if (result > {rng.randint(100, 999)}) {{",
                 f"        printf(\"%s: %d\\n\", name, result);  // {'値' if comments else 'value'}",
                 "        return -1;", "    }", "    return result;", "}", ""]
        lines += body
        total += sum(len(line) + 1 for line in body)
        k += 1
    if literal:
        lines.insert(3, f"static const char message[] = \"{rng.choice(PHRASES)}\";")
    return ("\n".join(lines) + "\n").encode("cp932")


def make_tree(directory, files, literals):
    rng = random.Random(17)
    shutil.rmtree(directory, ignore_errors=True)
    with_literal = set(rng.sample(range(files), max(1, round(files * literals))))
    for k in range(files):
        sub = os.path.join(directory, f"module_{k % 8}", f"part_{k % 5}")
        os.makedirs(sub, exist_ok=True)
        size = min(int(rng.lognormvariate(8.15, 0.8)), 60_000)
        with open(os.path.join(sub, f"file_{k}{rng.choice(SUFFIXES)}"), "wb") as f:
            f.write(c_file(rng, size, comments=k % 5 == 0, literal=k in with_literal))
    return len(with_literal)


def recipe(tree, program):
    """The README's in-place recipe over `tree` with `program`."""
    names = " -o ".join(f"-iname {shlex.quote(p)}" for p in PATTERNS)
    return (f"find {shlex.quote(tree)} -type f \\( {names} \\) -print0 | "
            f"xargs -0 -P 2 -I{{}} {shlex.quote(program)} {{}} {{}}")


def empty_program(directory):
    source = os.path.join(directory, "empty.c")
    with open(source, "w") as f:
        f.write("int main(void) { return 0; }\n")
    program = os.path.join(directory, "empty-static-pie")
    subprocess.run(["cc", "-O2", "-static-pie", source, "-o", program], check=True)
    return program


def timed_rounds(cmds, runs):
    """Name -> the seconds of each round; cmds maps a name to (command,
    preparation). A first round warms the caches and is not kept."""
    rng = random.Random(5)
    times = {name: [] for name in cmds}
    for r in range(runs + 1):
        names = list(cmds)
        rng.shuffle(names)
        for name in names:
            command, prepare = cmds[name]
            subprocess.run(["bash", "-c", prepare], check=True)
            start = time.perf_counter()
            subprocess.run(["bash", "-c", command], check=True)
            if r > 0:
                times[name].append(time.perf_counter() - start)
    return times


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("build")
    parser.add_argument("--files", type=int, default=3000)
    parser.add_argument("--literals", type=float, default=0.02)
    parser.add_argument("--runs", type=int, default=15, help="rounds, each running every command once")
    parser.add_argument("--out", default="/tmp/in-place-bench")
    parser.add_argument("--also", action="append", default=[], metavar="NAME=DIR",
                        help="time the programs in DIR too, as litconv@NAME and txtconv@NAME")
    args = parser.parse_args()
    builds = [("", os.path.abspath(args.build))]
    builds += [("@" + a.split("=", 1)[0], os.path.abspath(a.split("=", 1)[1])) for a in args.also]
    out = os.path.abspath(args.out)
    os.makedirs(out, exist_ok=True)
    tree = os.path.join(out, "tree")
    literal_files = make_tree(tree, args.files, args.literals)
    sizes = sorted(os.path.getsize(os.path.join(root, name)) for root, _, names in os.walk(tree) for name in names)
    q = shlex.quote

    cmds = {}
    for suffix, build in builds:
        for program in ("litconv", "txtconv"):
            name = program + suffix
            path = os.path.join(build, program)
            fresh = os.path.join(out, f"{name}-first")
            cmds[f"{name}, first run"] = (recipe(fresh, path), f"rm -rf {q(fresh)} && cp -a {q(tree)} {q(fresh)}")
            again = os.path.join(out, f"{name}-rerun")
            shutil.rmtree(again, ignore_errors=True)
            shutil.copytree(tree, again, symlinks=True)
            subprocess.run(["bash", "-c", recipe(again, path)], check=True)
            prepare = "true"
            if suffix:
                # An earlier build may change its own output again: each
                # round starts from the tree converted once.
                converted = os.path.join(out, f"{name}-converted")
                shutil.rmtree(converted, ignore_errors=True)
                shutil.copytree(again, converted, symlinks=True)
                prepare = f"rm -rf {q(again)} && cp -a {q(converted)} {q(again)}"
            cmds[f"{name}, rerun"] = (recipe(again, path), prepare)
    empty_tree = os.path.join(out, "empty-program")
    shutil.rmtree(empty_tree, ignore_errors=True)
    shutil.copytree(tree, empty_tree, symlinks=True)
    cmds["empty program"] = (recipe(empty_tree, empty_program(out)), "true")

    print(f"Load average before: {open('/proc/loadavg').read().split()[0]}\n")
    times = timed_rounds(cmds, args.runs)
    print(f"Load average after: {open('/proc/loadavg').read().split()[0]}\n")
    base = times["empty program"]
    ratios = {name: statistics.median(t / b for t, b in zip(runs, base)) for name, runs in times.items()}
    print(f"{len(sizes)} files, {sum(sizes):,} bytes (median {sizes[len(sizes) // 2]:,}), "
          f"{literal_files} with a Japanese string literal; xargs -P 2; medians of {args.runs} rounds.\n")
    print("| command | median s | per file ms | / empty program |")
    print("|---|---:|---:|---:|")
    for name, runs in times.items():
        t = statistics.median(runs)
        print(f"| {name} | {t:.3f} | {t / len(sizes) * 1e3:.3f} | {ratios[name]:.2f} |")
    print()
    failed = []
    for program in ("litconv", "txtconv"):
        ratio = ratios[f"{program}, rerun"]
        met = ratio <= GOAL
        print(f"- {program} rerun / empty program = {ratio:.2f} (goal <= {GOAL}): {'met' if met else 'NOT met'}")
        if not met:
            failed.append(program)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
