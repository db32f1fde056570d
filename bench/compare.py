#!/usr/bin/env python3
"""Time txtconv and litconv against iconv, uconv, nkf and cp on the corpora.

Usage: bench/compare.py BUILD_DIR CORPUS_DIR [--runs N] [--out DIR] [--also NAME=DIR]

CORPUS_DIR is what bench/make_corpora.py made. For each corpus one hyperfine
run times every command on the same input, with outputs written to files in
--out (default CORPUS_DIR/out, on the same disk as the inputs), and the
table gives the medians. Every command overwrites its output of the run
before, as converting a tree again would. Peak RSS comes from
/usr/bin/time -v on the 10 MB and the 100 MB input. --also adds the
programs of another build (an earlier version, say) to the same runs. A
build made with -DCP932TOOLS_BENCHMARKS=ON adds io_floor: the input copied through the
programs' own file handling, with nothing converted; "io_floor <program>-sized"
does the same with a file of that program's output's size, and the column
"/ io_floor" divides each of our programs by it. "cp <program>-sized"
copies a file as large as that program's output: our programs write more
bytes than they read (UTF-8 and escapes are longer), and no program can
write them faster than cp copies them.

hyperfine, nkf, uconv (icu-devtools) and GNU time are installed with apt-get
when missing.
"""

import argparse
import json
import os
import platform
import shlex
import shutil
import subprocess
import sys
import tempfile

PACKAGES = {"hyperfine": "hyperfine", "nkf": "nkf", "uconv": "icu-devtools", "/usr/bin/time": "time"}

CORPORA = [  # (file, its 10 MB head, which of our programs convert it)
    ("prose.txt", "prose-10m.txt", ["txtconv"]),
    ("csource.c", "csource-10m.c", ["txtconv", "litconv"]),
    ("wide.c", "wide-10m.c", ["txtconv", "litconv"]),
    ("ascii.c", "ascii-10m.c", ["txtconv", "litconv"]),
]

# Ratios of medians the programs should stay within, per corpus.
TARGETS = {
    "prose.txt": [("txtconv", "iconv", 0.30), ("txtconv", "cp", 1.8)],
    "csource.c": [("txtconv", "iconv", 0.25), ("txtconv", "cp", 1.5), ("litconv", "cp", 1.5)],
    "wide.c": [("txtconv", "iconv", 0.25), ("txtconv", "cp", 1.5), ("litconv", "cp", 1.5)],
    "ascii.c": [("txtconv", "cp", 1.3), ("litconv", "cp", 1.5)],
}
RSS_LIMIT_KIB = 16 * 1024


def ensure_tools():
    missing = sorted({package for tool, package in PACKAGES.items()
                      if not (os.path.exists(tool) if tool.startswith("/") else shutil.which(tool))})
    if missing:
        env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
        subprocess.run(["apt-get", "update"], check=True, env=env)
        subprocess.run(["apt-get", "install", "-y", "--no-install-recommends", *missing], check=True, env=env)


def commands(builds, ours, source, out):
    """Name -> shell command converting `source` into a file under `out`."""
    q = shlex.quote
    result = {}
    for suffix, build in builds:
        for program in ours:
            name = program + suffix
            result[name] = f"{q(os.path.join(build, program))} {q(source)} {q(os.path.join(out, name + '.out'))}"
    floor = os.path.join(builds[0][1], "bench", "io_floor")
    if os.path.exists(floor):  # built with -DCP932TOOLS_BENCHMARKS=ON
        result["io_floor"] = f"{q(floor)} {q(source)} {q(out)}/io_floor.out"
        for program in ours:  # the file handling of a file of that program's output's size
            sized = os.path.join(out, program + ".sized")
            result[f"io_floor {program}-sized"] = f"{q(floor)} {q(sized)} {q(out)}/io_floor-sized.out"
    result["iconv"] = f"iconv -f CP932 -t UTF-8 {q(source)} > {q(out)}/iconv.out"
    result["uconv"] = f"uconv -f windows-932 -t UTF-8 {q(source)} > {q(out)}/uconv.out"
    result["nkf"] = f"nkf --ic=CP932 --oc=UTF-8 {q(source)} > {q(out)}/nkf.out"
    result["cp"] = f"cp {q(source)} {q(out)}/cp.out"
    for program in ours:
        sized = os.path.join(out, program + ".sized")
        result[f"cp {program}-sized"] = f"cp {q(sized)} {q(out)}/cp-sized.out"
    return result


def make_sized_copies(build, ours, source, out):
    """The output of each of our programs for `source`, for cp to copy."""
    for program in ours:
        subprocess.run([os.path.join(build, program), source, os.path.join(out, program + ".sized")], check=True)


def medians(cmds, runs):
    with tempfile.NamedTemporaryFile(suffix=".json") as export:
        argv = ["hyperfine", "--warmup", "2", "--runs", str(runs), "--style", "none", "--export-json", export.name]
        for name, cmd in cmds.items():
            argv += ["--command-name", name, cmd]
        subprocess.run(argv, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        with open(export.name) as f:
            results = json.load(f)["results"]
    return {r["command"]: r["median"] for r in results}


def peak_rss_kib(cmd):
    run = subprocess.run(["/usr/bin/time", "-v", "sh", "-c", f"exec {cmd}"], capture_output=True, text=True,
                         check=True)
    for line in run.stderr.splitlines():
        if "Maximum resident set size" in line:
            return int(line.split(":")[1])
    raise RuntimeError(f"no peak RSS from /usr/bin/time for {cmd}")


def machine(directory):
    model = next((line.split(":", 1)[1].strip() for line in open("/proc/cpuinfo")
                  if line.startswith("model name")), platform.processor())
    # A file system mounted twice (/dev/shm often is) is listed twice.
    mount = (subprocess.run(["findmnt", "-no", "SOURCE,FSTYPE,OPTIONS", "-T", directory], capture_output=True,
                            text=True).stdout.splitlines() or [""])[0].split()
    disk = f"{mount[0]} ({mount[1]}, {mount[2]})" if len(mount) == 3 else "unknown"
    return f"{os.cpu_count()} CPUs, {model}, Linux {platform.release()}; disk {disk}"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("build")
    parser.add_argument("corpora")
    parser.add_argument("--runs", type=int, default=10, help="timed runs per command (at least 5)")
    parser.add_argument("--out", help="directory for the outputs")
    parser.add_argument("--also", action="append", default=[], metavar="NAME=DIR",
                        help="time the programs in DIR too, as txtconv@NAME and litconv@NAME")
    args = parser.parse_args()
    runs = max(args.runs, 5)
    out = args.out or os.path.join(args.corpora, "out")
    os.makedirs(out, exist_ok=True)
    builds = [("", args.build)] + [("@" + a.split("=", 1)[0], a.split("=", 1)[1]) for a in args.also]
    ensure_tools()

    print(f"Machine: {machine(out)}")
    print(f"Medians of {runs} runs, all commands of a corpus in one hyperfine run (warm page cache); "
          f"load average before: {open('/proc/loadavg').read().split()[0]}\n")
    failed = []
    for corpus, head, ours in CORPORA:
        source = os.path.join(args.corpora, corpus)
        size = os.path.getsize(source)
        cmds = commands(builds, ours, source, out)
        make_sized_copies(args.build, ours, source, out)
        times = medians(cmds, runs)
        small = commands(builds, ours, os.path.join(args.corpora, head), out)
        make_sized_copies(args.build, ours, os.path.join(args.corpora, head), out)
        rss = {name: (peak_rss_kib(small[name]), peak_rss_kib(cmds[name])) for name in cmds}

        print(f"### {corpus} ({size / 1e6:.0f} MB)\n")
        def floor(name):  # our programs against the file handling of their output's size
            program = name.split("@")[0]
            return times.get(f"io_floor {program}-sized" if program in ours else "io_floor")
        print("| command | median s | MB/s | / cp | / iconv | / io_floor | peak RSS, 10 MB in | peak RSS, 100 MB in |")
        print("|---|---:|---:|---:|---:|---:|---:|---:|")
        for name in cmds:
            t = times[name]
            print(f"| {name} | {t:.3f} | {size / 1e6 / t:.0f} | {t / times['cp']:.2f} | {t / times['iconv']:.2f} "
                  f"| {t / floor(name) if floor(name) else float('nan'):.2f} "
                  f"| {rss[name][0] / 1024:.1f} MiB | {rss[name][1] / 1024:.1f} MiB |")
        print()
        for a, b, limit in TARGETS[corpus]:
            ratio = times[a] / times[b]
            met = ratio <= limit
            print(f"- {a}/{b} = {ratio:.2f} (target <= {limit}): {'met' if met else 'NOT met'}")
            if not met:
                failed.append(f"{corpus} {a}/{b}")
                if b == "cp":
                    print(f"  (cp {a}-sized / cp = {times[f'cp {a}-sized'] / times['cp']:.2f})")
        for program in ours:
            small_kib, large_kib = rss[program]
            met = max(small_kib, large_kib) < RSS_LIMIT_KIB and abs(large_kib - small_kib) <= 256
            print(f"- {program} peak RSS {small_kib} KiB on 10 MB, {large_kib} KiB on 100 MB "
                  f"(target < 16 MiB, the same on both): {'met' if met else 'NOT met'}")
            if not met:
                failed.append(f"{corpus} {program} RSS")
        print()
    print("All targets met." if not failed else f"Targets not met: {', '.join(failed)}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
