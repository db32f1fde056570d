#!/usr/bin/env python3
"""litconv against io_floor, the three commands interleaved run by run.

Usage: bench/interleaved_floor.py CORPORA NEW_BUILD OLD_BUILD [--runs N]

NEW_BUILD and OLD_BUILD are build directories made with
-DCP932TOOLS_BENCHMARKS=ON (NEW_BUILD must have bench/io_floor; OLD_BUILD
may be one of an earlier version). For csource.c and wide.c of CORPORA
(bench/make_corpora.py) it runs litconv of both builds and io_floor on a
file of the new litconv's output's size, alternating their order from run
to run, so that a busy moment of the machine falls on all three alike, and
prints the medians and each litconv's ratio to io_floor. The outputs go to
a scratch directory beside CORPORA, on the same file system.

Each run replaces an output of 100 to 150 MB, whose write-back the rename
starts and the next runs share the processors with (on ext4 the block
device's completions all land on one of the two processors here). With --settle each command
waits for a sync first, so that no run pays for an earlier one's
write-back: the figures are then those of a single conversion on a machine
with nothing left to write.
"""

import argparse
import os
import statistics
import subprocess
import tempfile
import time


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("corpora")
    parser.add_argument("new_build")
    parser.add_argument("old_build")
    parser.add_argument("--runs", type=int, default=21)
    parser.add_argument("--settle", action="store_true", help="sync before every command")
    args = parser.parse_args()
    new = os.path.join(args.new_build, "litconv")
    old = os.path.join(args.old_build, "litconv")
    floor = os.path.join(args.new_build, "bench", "io_floor")
    with tempfile.TemporaryDirectory(dir=os.path.dirname(os.path.abspath(args.corpora))) as out:
        for corpus in ["csource.c", "wide.c"]:
            source = os.path.join(args.corpora, corpus)
            sized = os.path.join(out, corpus + ".sized")
            subprocess.run([new, source, sized], check=True)
            commands = {
                "before": [old, source, os.path.join(out, "old.out")],
                "after": [new, source, os.path.join(out, "new.out")],
                "io_floor": [floor, sized, os.path.join(out, "floor.out")],
            }
            times = {name: [] for name in commands}
            for run in range(args.runs):
                order = list(commands.items())
                for name, command in order if run % 2 == 0 else reversed(order):
                    if args.settle:
                        subprocess.run(["sync"], check=True)
                    start = time.perf_counter()
                    subprocess.run(command, check=True)
                    times[name].append(time.perf_counter() - start)
            medians = {name: statistics.median(t) for name, t in times.items()}
            print(f"{corpus}: " + ", ".join(f"{name} {m * 1000:.1f} ms" for name, m in medians.items()) +
                  f"; before / io_floor {medians['before'] / medians['io_floor']:.2f}, "
                  f"after / io_floor {medians['after'] / medians['io_floor']:.2f}")


if __name__ == "__main__":
    main()
