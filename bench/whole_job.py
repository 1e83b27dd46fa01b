#!/usr/bin/env python3
"""The whole job of a library copy on real data, against a model of it.

Builds, in a temporary folder, a design tree from ../shared/corpus: the
library `hd` made of the sky130_fd_sc_hd standard-cell slice (one cell
directory per cell or drive-strength variant, one view directory per kind of
file) and the library `design` made of the gate-level netlists that
instantiate its cells.  Then one command copies `hd` as `hdll`, renames the
cells that the netlists use most, adds `hdll` to the definitions and updates
both libraries:

  tovupdtr -fromToList copy.ftl -murlib lib.defs -reason copy \\
    -copyLibrary hd hdll hdll -updateLibrary design

The tree it leaves is compared byte for byte with the one that a model
written here makes (the same copy and directory renames done with shutil,
the names replaced with Python's re, whole words of letters, digits and
'_'), each renamed cell's Verilog model is elaborated under its new name
with iverilog when it is installed, and the job is timed against `cp -R` of
the library (medians).

  bench/whole_job.py --build build-release [--corpus DIR] [--renames N]
                     [--repeat N]
"""
import argparse
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
PREFIX = "sky130_fd_sc_hd__"
VIEWS = {".cdl": "cdl", ".lef": "lef", ".spice": "spice", ".v": "verilog",
         ".json": "json"}


def view_of(name):
    for ext, view in VIEWS.items():
        if name.endswith(ext):
            return view
    return "other"


def build_tree(corpus, out):
    """The library hd and the library design under `out`."""
    cells = os.path.join(corpus, "stdcells", "sky130_fd_sc_hd")
    for group in ("cells", "models"):
        for base in sorted(os.listdir(os.path.join(cells, group))):
            folder = os.path.join(cells, group, base)
            for name in sorted(os.listdir(folder)):
                stem = name.split(".")[0]
                cell = stem if stem.startswith(PREFIX) else PREFIX + base
                dest = os.path.join(out, "hd", cell, view_of(name))
                os.makedirs(dest, exist_ok=True)
                shutil.copyfile(os.path.join(folder, name),
                                os.path.join(dest, name))
    netlists = os.path.join(corpus, "netlists")
    for group in sorted(os.listdir(netlists)):
        for name in sorted(os.listdir(os.path.join(netlists, group))):
            stem = name.split(".")[0]
            dest = os.path.join(out, "design", stem, "verilog")
            os.makedirs(dest, exist_ok=True)
            shutil.copyfile(os.path.join(netlists, group, name),
                            os.path.join(dest, name))
    with open(os.path.join(out, "lib.defs"), "w") as f:
        f.write("# the standard cells and the design that uses them\n"
                "library hd hd\nlibrary design design\n")


def chosen_cells(tree, count):
    """The `count` cells of hd that the netlists instantiate most."""
    uses = {}
    design = os.path.join(tree, "design")
    for folder, _, files in os.walk(design):
        for name in files:
            with open(os.path.join(folder, name), "rb") as f:
                for word in re.findall(rb"\b" + PREFIX.encode() + rb"\w+",
                                       f.read()):
                    uses[word.decode()] = uses.get(word.decode(), 0) + 1
    have = set(os.listdir(os.path.join(tree, "hd")))
    ranked = sorted((n for n in uses if n in have), key=lambda n: -uses[n])
    return ranked[:count]


def model(tree, renames):
    """What the job must make of `tree`, made here."""
    shutil.copytree(os.path.join(tree, "hd"), os.path.join(tree, "hdll"),
                    symlinks=True)
    for old, new in renames.items():
        os.rename(os.path.join(tree, "hdll", old),
                  os.path.join(tree, "hdll", new))
    with open(os.path.join(tree, "lib.defs"), "a") as f:
        f.write("library hdll hdll\n")
    names = dict(renames)
    names["hd"] = "hdll"
    word = re.compile(rb"(?<![A-Za-z0-9_])(" +
                      b"|".join(re.escape(n.encode()) for n in
                                sorted(names, key=len, reverse=True)) +
                      rb")(?![A-Za-z0-9_])")
    table = {k.encode(): v.encode() for k, v in names.items()}
    for lib in ("hdll", "design"):
        for folder, _, files in os.walk(os.path.join(tree, lib)):
            for name in files:
                path = os.path.join(folder, name)
                with open(path, "rb") as f:
                    text = f.read()
                if b"\0" in text[:4096]:
                    continue
                new = word.sub(lambda m: table[m.group(1)], text)
                if new != text:
                    with open(path, "wb") as f:
                        f.write(new)


def snapshot(tree):
    files = {}
    for folder, _, names in os.walk(tree):
        for name in names:
            path = os.path.join(folder, name)
            rel = os.path.relpath(path, tree)
            if rel in ("copy.ftl",):
                continue
            with open(path, "rb") as f:
                files[rel] = f.read()
    return files


def elaborate(tree, renames):
    """When iverilog is installed: each renamed cell's Verilog model still
    elaborates in a real tool, as its new top-level module."""
    iverilog = shutil.which("iverilog")
    if iverilog is None:
        print("iverilog: not installed, no elaboration check")
        return
    hdll = os.path.join(tree, "hdll")
    # The cells include the models by their place in the original layout
    # (../../models/NAME/FILE): that layout is made for them beside the
    # tree, from the copy's own model cells.
    layout = os.path.join(os.path.dirname(tree), "layout")
    shutil.rmtree(layout, ignore_errors=True)
    for cell in sorted(os.listdir(hdll)):
        verilog = os.path.join(hdll, cell, "verilog")
        if cell.startswith(PREFIX) and os.path.isdir(verilog):
            shutil.copytree(verilog, os.path.join(layout, "models",
                                                  cell[len(PREFIX):]))
    os.makedirs(os.path.join(layout, "cells", "any"))
    includes = ["-I" + os.path.join(layout, "cells", "any")]
    for cell in sorted(os.listdir(hdll)):
        verilog = os.path.join(hdll, cell, "verilog")
        if os.path.isdir(verilog):
            includes.append("-I" + verilog)
    checked = 0
    for old, new in renames.items():
        source = os.path.join(hdll, new, "verilog", old + ".v")
        if not os.path.exists(source):
            continue
        run = subprocess.run(
            [iverilog, "-g2012", "-DFUNCTIONAL", "-o", os.devnull, "-s", new]
            + includes + [source], capture_output=True, text=True)
        if run.returncode != 0:
            sys.exit("iverilog cannot elaborate %s: %s" % (new, run.stderr))
        checked += 1
    print("iverilog: %d renamed cells elaborate under their new names"
          % checked)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--build", default=os.path.join(ROOT, "build-release"))
    ap.add_argument("--corpus",
                    default=os.path.join(ROOT, "..", "shared", "corpus"))
    ap.add_argument("--renames", type=int, default=20)
    ap.add_argument("--repeat", type=int, default=5)
    args = ap.parse_args()
    program = os.path.abspath(os.path.join(args.build, "cli", "tovupdtr"))
    work = tempfile.mkdtemp(prefix="whole_job.")
    try:
        base = os.path.join(work, "base")
        build_tree(args.corpus, base)
        cells = chosen_cells(base, args.renames)
        renames = {c: "hdll__" + c[len(PREFIX):] for c in cells}
        with open(os.path.join(base, "copy.ftl"), "w") as f:
            for old, new in renames.items():
                f.write("hd.%s/. hdll.%s/.\n" % (old, new))
        count = sum(len(n) for _, _, n in os.walk(os.path.join(base, "hd")))
        print("library hd: %d files, %d cells renamed; library design: %d "
              "files" % (count, len(cells),
                         sum(len(n) for _, _, n in
                             os.walk(os.path.join(base, "design")))))

        expected_tree = os.path.join(work, "model")
        shutil.copytree(base, expected_tree, symlinks=True)
        model(expected_tree, renames)
        expected = snapshot(expected_tree)

        job, cp = [], []
        for i in range(args.repeat):
            tree = os.path.join(work, "run")
            shutil.rmtree(tree, ignore_errors=True)
            shutil.copytree(base, tree, symlinks=True)
            subprocess.run(["sync"])
            start = time.monotonic()
            subprocess.run(["cp", "-R", os.path.join(tree, "hd"),
                            os.path.join(work, "cp-copy")], check=True)
            cp.append(time.monotonic() - start)
            shutil.rmtree(os.path.join(work, "cp-copy"))
            start = time.monotonic()
            run = subprocess.run(
                [program, "-fromToList", "copy.ftl", "-murlib", "lib.defs",
                 "-reason", "copy", "-copyLibrary", "hd", "hdll", "hdll",
                 "-updateLibrary", "design", "-quiet"],
                cwd=tree, capture_output=True, text=True)
            job.append(time.monotonic() - start)
            if run.returncode != 0:
                sys.exit("tovupdtr failed (%d): %s" % (run.returncode,
                                                       run.stderr))
            got = snapshot(tree)
            if got != expected:
                diff = sorted(k for k in set(got) | set(expected)
                              if got.get(k) != expected.get(k))
                sys.exit("the tree differs from the model in %d files, "
                         "first %s" % (len(diff), diff[:5]))
            if i == 0:
                print(run.stdout.strip())
        print("same tree as the model: yes (%d files)" % len(expected))
        elaborate(tree, renames)
        print("cp -R of hd: median %.3f s; the whole job: median %.3f s "
              "(%.1fx)" % (statistics.median(cp), statistics.median(job),
                           statistics.median(job) / statistics.median(cp)))
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
