#!/usr/bin/env python3
"""Checks that bench/README.md's table of benchmarks and the benchmark
programs agree: every bench/bench_*.cpp has a row (its name, in backquotes,
in the first cell) and every row names a program that exists.

The build and scripts/bench find the programs by the same pattern, so the
README's table is the one list kept by hand.  Prints every mismatch and
exits 1 when there is one.
"""
import os
import re
import sys

ROW = re.compile(r"^\|\s*`(bench_[A-Za-z0-9_]+)`\s*\|")


def programs(bench):
    return {name[:-len(".cpp")] for name in os.listdir(bench)
            if name.startswith("bench_") and name.endswith(".cpp")}


def rows(readme):
    names = set()
    with open(readme, encoding="utf-8") as f:
        for line in f:
            m = ROW.match(line)
            if m:
                names.add(m.group(1))
    return names


def main(root):
    bench = os.path.join(root, "bench")
    readme = os.path.join(bench, "README.md")
    have, listed = programs(bench), rows(readme)
    bad = [f"bench/{p}.cpp: no row in bench/README.md's table" for p in sorted(have - listed)]
    bad += [f"bench/README.md: a row for {p}, which has no bench/{p}.cpp" for p in sorted(listed - have)]
    if not have:
        bad.append("bench/: no bench_*.cpp found")
    for line in bad:
        print(line)
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..")))
