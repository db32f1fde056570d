#!/usr/bin/env python3
"""Time txtconv and litconv where a run costs more than its conversion: one
small file, an empty file, and a whole source tree converted file by file.

Usage: bench/small_files.py BUILD_DIR CORPUS_DIR [--rounds N] [--runs N]
                            [--file-runs N] [--in-place] [--out DIR]
                            [--also NAME=DIR]

CORPUS_DIR is what bench/make_corpora.py made; its tree/ is the source tree.

One file: hyperfine (without a shell) runs each program on the file of the tree
nearest 4 KB and on an empty file, iconv and cp on the same file, and two
empty C programs, one linked statically, one against the shared C library:
what starting a process costs at all.

The tree: hyperfine times the same bash loop over the tree's files
for every tool, each converting file by file into a tree of its own under
--out (default CORPUS_DIR/out), whose directories exist beforehand. With
--in-place every file is converted onto itself instead, in a fresh copy of
the tree made before each timed run (cp cannot copy a file onto itself and
is left out). Two more rows run each of our programs under `xargs -0 -P 2`,
both processors at once, as the README's commands do.

Each table pools --rounds hyperfine runs of all its commands, each round
starting with another command, so that a drift in the machine's load falls
on all of them alike. --also adds the programs of another build (an earlier version, say) to the
same runs, as txtconv@NAME and litconv@NAME. hyperfine and a C compiler with
the static C library (libc6-dev) are needed; hyperfine is installed with
apt-get when missing.
"""

import argparse
import json
import os
import shlex
import shutil
import statistics
import subprocess
import sys
import tempfile

PROGRAMS = ["litconv", "txtconv"]

# (numerator, denominator, the most their ratio of medians may be), converting
# into a second tree.
TREE_TARGETS = [("litconv", "iconv", 0.7), ("txtconv", "iconv", 0.7), ("litconv", "cp", 0.8),
                ("txtconv", "cp", 0.8)]
# On an empty file, the most a program may take beyond the static empty
# program, in seconds.
EMPTY_MARGIN = 0.3e-3


def ensure_hyperfine():
    if shutil.which("hyperfine"):
        return
    env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
    subprocess.run(["apt-get", "update"], check=True, env=env)
    subprocess.run(["apt-get", "install", "-y", "--no-install-recommends", "hyperfine"], check=True, env=env)


def medians(cmds, runs, rounds, warmup, extra=()):
    """Name -> median seconds of each command over `rounds` hyperfine runs of
    `runs` each. hyperfine times one command after the other; on a shared
    machine the load drifts meanwhile, so each round starts with another
    command and the times of all rounds are pooled. Only the first round
    warms up: the page cache stays warm."""
    names = list(cmds)
    times = {name: [] for name in names}
    for r in range(rounds):
        order = names[r % len(names):] + names[:r % len(names)]
        with tempfile.NamedTemporaryFile(suffix=".json") as export:
            argv = ["hyperfine", "--warmup", str(warmup if r == 0 else 0), "--runs", str(runs), "--style", "none",
                    "--export-json", export.name, *extra]
            for name in order:
                argv += ["--command-name", name, cmds[name]]
            subprocess.run(argv, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            with open(export.name) as f:
                for result in json.load(f)["results"]:
                    times[result["command"]] += result["times"]
    return {name: statistics.median(times[name]) for name in names}


def tree_files(tree):
    """The tree's files, relative to it, in a fixed order."""
    return sorted(os.path.relpath(os.path.join(root, name), tree)
                  for root, _, names in os.walk(tree) for name in names)


def empty_programs(scratch):
    """Two builds of `int main(void) { return 0; }`: static and shared."""
    source = os.path.join(scratch, "empty.c")
    with open(source, "w") as f:
        f.write("int main(void) { return 0; }\n")
    programs = {}
    for kind, flags in (("static", ["-static"]), ("shared", [])):
        programs[kind] = os.path.join(scratch, f"empty-{kind}")
        subprocess.run(["cc", "-O2", *flags, source, "-o", programs[kind]], check=True)
    return programs


def one_file(builds, sample, scratch, runs, rounds):
    q = shlex.quote
    empty_input = os.path.join(scratch, "empty-input")
    open(empty_input, "w").close()
    out = os.path.join(scratch, "one")
    os.makedirs(out, exist_ok=True)
    cmds = {}
    for suffix, build in builds:
        for program in PROGRAMS:
            path = q(os.path.join(build, program))
            cmds[program + suffix] = f"{path} {q(sample)} {q(out)}/{program}{suffix}"
            cmds[f"{program}{suffix}, empty file"] = f"{path} {q(empty_input)} {q(out)}/{program}{suffix}-empty"
    cmds["iconv"] = f"iconv -f CP932 -t UTF-8 -o {q(out)}/iconv {q(sample)}"
    cmds["cp"] = f"cp {q(sample)} {q(out)}/cp"
    programs = empty_programs(scratch)
    cmds["empty program, static"] = q(programs["static"])
    cmds["empty program, shared C library"] = q(programs["shared"])
    times = medians(cmds, runs, rounds, warmup=20, extra=["-N"])

    base = times["empty program, static"]
    print(f"### One file ({os.path.getsize(sample):,} bytes) and an empty file\n")
    print(f"Medians of {rounds} x {runs} runs (hyperfine without a shell).\n")
    print("| command | median ms | / iconv | / cp | - static empty program, ms |")
    print("|---|---:|---:|---:|---:|")
    for name, t in times.items():
        print(f"| {name} | {t * 1e3:.2f} | {t / times['iconv']:.2f} | {t / times['cp']:.2f} "
              f"| {(t - base) * 1e3:+.2f} |")
    print()
    failed = []
    for program in PROGRAMS:
        margin = times[f"{program}, empty file"] - base
        met = margin <= EMPTY_MARGIN
        print(f"- {program} on an empty file: {margin * 1e3:+.2f} ms beyond the static empty program "
              f"(target <= {EMPTY_MARGIN * 1e3:.1f} ms): {'met' if met else 'NOT met'}")
        if not met:
            failed.append(f"{program} empty file")
    print()
    return failed


def tree_loop(tree, listing, tool, output):
    """A bash loop that runs `tool` (with "$f" and "$o") on every file."""
    q = shlex.quote
    return (f"cd {q(tree)} && while IFS= read -r -d '' f; do o={output}; {tool}; done < {q(listing)}")


def whole_tree(builds, tree, out, runs, rounds, in_place):
    q = shlex.quote
    files = tree_files(tree)
    listing = os.path.join(out, "files")
    with open(listing, "wb") as f:
        f.write(b"".join(os.fsencode(name) + b"\0" for name in files))
    tools = {}
    for suffix, build in builds:
        for program in PROGRAMS:
            tools[program + suffix] = f'{q(os.path.join(build, program))} "$f" "$o"'
    tools["iconv"] = 'iconv -f CP932 -t UTF-8 -o "$o" "$f"'
    if not in_place:
        tools["cp"] = 'cp "$f" "$o"'

    cmds = {}
    extra = ["--shell", "bash"]
    if in_place:
        work = os.path.join(out, "in-place")
        extra += ["--prepare", f"rm -rf {q(work)} && cp -a {q(tree)} {q(work)}"]
        for name, tool in tools.items():
            cmds[name] = tree_loop(work, listing, tool, '"$f"')
        for program in PROGRAMS:
            cmds[f"{program}, xargs -P 2"] = (f"cd {q(work)} && xargs -0 -P 2 -I{{}} "
                                              f"{q(os.path.join(builds[0][1], program))} {{}} {{}} < {q(listing)}")
    else:
        for name, tool in list(tools.items()) + [(f"{p}, xargs -P 2", None) for p in PROGRAMS]:
            target = os.path.join(out, "tree", name.replace(", ", "-").replace(" ", "-"))
            for directory in {os.path.dirname(f) for f in files}:
                os.makedirs(os.path.join(target, directory), exist_ok=True)
            if tool is None:
                program = os.path.join(builds[0][1], name.split(",")[0])
                cmds[name] = (f"cd {q(tree)} && xargs -0 -P 2 -I{{}} {q(program)} {{}} {q(target)}/{{}} "
                              f"< {q(listing)}")
            else:
                cmds[name] = tree_loop(tree, listing, tool, f'{q(target)}/"$f"')
    times = medians(cmds, runs, rounds, warmup=1, extra=extra)

    sizes = sorted(os.path.getsize(os.path.join(tree, name)) for name in files)
    where = "each file onto itself, in a fresh copy of the tree" if in_place else "into a second tree"
    print(f"### The tree, {where}\n")
    print(f"{len(files)} files, {sum(sizes):,} bytes (median {sizes[len(sizes) // 2]:,}); "
          f"medians of {rounds} x {runs} runs.\n")
    print("| command | median s | per file ms | / iconv |" + ("" if in_place else " / cp |"))
    print("|---|---:|---:|---:|" + ("" if in_place else "---:|"))
    for name, t in times.items():
        row = f"| {name} | {t:.3f} | {t / len(files) * 1e3:.2f} | {t / times['iconv']:.2f} |"
        print(row + ("" if in_place else f" {t / times['cp']:.2f} |"))
    print()
    failed = []
    if not in_place:
        for a, b, limit in TREE_TARGETS:
            ratio = times[a] / times[b]
            met = ratio <= limit
            print(f"- {a}/{b} = {ratio:.2f} (target <= {limit}): {'met' if met else 'NOT met'}")
            if not met:
                failed.append(f"tree {a}/{b}")
        print()
    return failed


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("build")
    parser.add_argument("corpora")
    parser.add_argument("--runs", type=int, default=5, help="timed runs over the tree per command and round")
    parser.add_argument("--file-runs", type=int, default=100, help="timed runs on one file per command and round")
    parser.add_argument("--rounds", type=int, default=3, help="hyperfine runs, each command starting one")
    parser.add_argument("--in-place", action="store_true", help="convert the tree's files onto themselves")
    parser.add_argument("--out", help="directory for the outputs")
    parser.add_argument("--also", action="append", default=[], metavar="NAME=DIR",
                        help="time the programs in DIR too, as txtconv@NAME and litconv@NAME")
    args = parser.parse_args()
    out = os.path.abspath(args.out or os.path.join(args.corpora, "out"))
    os.makedirs(out, exist_ok=True)
    builds = [("", os.path.abspath(args.build))]
    builds += [("@" + a.split("=", 1)[0], os.path.abspath(a.split("=", 1)[1])) for a in args.also]
    tree = os.path.abspath(os.path.join(args.corpora, "tree"))
    ensure_hyperfine()

    print(f"Load average before: {open('/proc/loadavg').read().split()[0]}\n")
    sample = min((os.path.join(tree, name) for name in tree_files(tree)),
                 key=lambda path: abs(os.path.getsize(path) - 4096))
    with tempfile.TemporaryDirectory(dir=out) as scratch:
        failed = one_file(builds, sample, scratch, args.file_runs, args.rounds)
    failed += whole_tree(builds, tree, out, args.runs, args.rounds, args.in_place)
    print("All targets met." if not failed else f"Targets not met: {', '.join(failed)}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
