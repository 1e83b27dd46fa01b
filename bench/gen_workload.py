#!/usr/bin/env python3
"""Generates a netlist-like design tree for the update benchmarks.

One library, `benchLib`, whose cells were renamed: a from-to list renames
`--renames` cells, and the files to update instantiate cells of a pool of
about three times as many names, so that a few percent of their words are
hit.  The text looks like a gate-level netlist: instance lines with a cell
name, an instance name and pin connections to nets.

Two denser shapes (--shape): `dense`, lines of eight cell names of the
pool, so that a third of all words are renamed; `everyline`, every line the
word `ab`, renamed to `abc` (the from-to list then has that one line).

Writes into OUT: lib.defs, rename.ftl, update.list and lib/ with the files.
"""
import argparse
import os
import random


def cell_name(k):
    return "cell%d_X%d" % (k, 1 + k % 4)


def netlist(size, pool, rng):
    """About `size` bytes of netlist-like text instantiating cells of `pool`."""
    parts = ["// generated netlist\nmodule top (clk, rst, d, q);\n"]
    total = len(parts[0])
    n = 0
    while total < size:
        cell = pool[rng.randrange(len(pool))]
        pins = "".join(
            "    .%s(n%d),\n" % (pin, rng.randrange(1000000))
            for pin in ("A", "B", "Y")[: 1 + rng.randrange(3)])
        line = "  %s _%05d_ (\n%s  );\n" % (cell, n, pins)
        parts.append(line)
        total += len(line)
        n += 1
    parts.append("endmodule\n")
    return "".join(parts)


def dense(size, pool, rng):
    """About `size` bytes of lines of eight cell names of `pool`."""
    parts = []
    total = 0
    while total < size:
        line = " ".join(pool[rng.randrange(len(pool))] for _ in range(8))
        parts.append(line + "\n")
        total += len(line) + 1
    return "".join(parts)


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("out")
    ap.add_argument("--renames", type=int, default=10000)
    ap.add_argument("--files", type=int, default=1, help="number of files")
    ap.add_argument("--file-size", type=int, default=10**7,
                    help="bytes per file")
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--shape", choices=("netlist", "dense", "everyline"),
                    default="netlist")
    args = ap.parse_args()

    rng = random.Random(args.seed)
    pool_size = max(3 * args.renames, 1000)
    pool = [cell_name(k) for k in range(pool_size)]
    os.makedirs(os.path.join(args.out, "lib"), exist_ok=True)
    with open(os.path.join(args.out, "lib.defs"), "w") as f:
        f.write("library benchLib lib\n")
    # The renamed cells: every third name of the pool.
    with open(os.path.join(args.out, "rename.ftl"), "w") as f:
        if args.shape == "everyline":
            f.write("benchLib.ab/. benchLib.abc/.\n")
        for k in range(args.renames if args.shape != "everyline" else 0):
            old = pool[3 * k]
            f.write("benchLib.%s/. benchLib.%s_new/.\n" % (old, old))
    with open(os.path.join(args.out, "update.list"), "w") as f:
        for i in range(args.files):
            f.write("benchLib.top%d:netlist/top.v\n" % i)
    for i in range(args.files):
        d = os.path.join(args.out, "lib", "top%d" % i, "netlist")
        os.makedirs(d, exist_ok=True)
        with open(os.path.join(d, "top.v"), "w") as f:
            if args.shape == "everyline":
                f.write("ab\n" * (args.file_size // 3))
            elif args.shape == "dense":
                f.write(dense(args.file_size, pool, rng))
            else:
                f.write(netlist(args.file_size, pool, rng))


if __name__ == "__main__":
    main()
