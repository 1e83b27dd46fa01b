#!/usr/bin/env python3
"""Cell renames in a large GDSII layout, against a model and a copy.

Writes, in a temporary folder, a library `hd` whose layout view holds one
stream of about --mb megabytes: standard-cell-like structures (boxes, pin
labels, a property naming the cell) and blocks that place them by SREF and
AREF, with labels naming instances.  Then renames --renames of the cells
(sky130_fd_sc_hd__X -> sky130_fd_sc_hdll__X, two bytes longer) with

  tovupdtr -fromToList renames.ftl -updateFileList update.txt -murlib lib.defs

and checks:
  - the result byte for byte against a model written here (records walked
    with struct, strings renamed with Python's re, lengths recomputed);
  - when KLayout (`klayout`) or gdspy (`python3-gdspy`) is installed, on a
    smaller stream of the same kind (--check-mb): the renamed layout, read by
    that reader, has the cells of the original under their new names, the
    same hierarchy (each cell's placed cells, renamed, and how often) and the
    same shapes (count, layers and bounding box per cell);
  - the time of the update against `cp` onto an existing copy of the same
    file (medians of --repeat runs, taking turns).

  bench/layout.py --build build-release [--mb 100] [--renames 20]
                  [--repeat 5] [--check-mb 5]
"""
import argparse
import os
import random
import re
import shutil
import statistics
import struct
import subprocess
import sys
import tempfile
import time

PREFIX = "sky130_fd_sc_hd__"
NEW_PREFIX = "sky130_fd_sc_hdll__"
BASES = ["inv", "buf", "nand2", "nand3", "nor2", "nor3", "and2", "or2",
         "xor2", "xnor2", "a21oi", "o21ai", "mux2", "dfxtp", "dfrtp", "clkbuf",
         "einvp", "a22o", "o22a", "maj3"]
DRIVES = [1, 2, 4, 8, 12, 16]


def rec(rtype, kind, data=b""):
    return struct.pack(">HBB", 4 + len(data), rtype, kind) + data


def text(rtype, s):
    b = s.encode()
    if len(b) % 2:
        b += b"\0"
    return rec(rtype, 6, b)


def ints2(rtype, *values):
    return rec(rtype, 2, struct.pack(">%dh" % len(values), *values))


def xy(*values):
    return rec(0x10, 3, struct.pack(">%di" % len(values), *values))


def write_stream(path, megabytes, seed=1):
    """A layout of about `megabytes` MB; returns its cell names."""
    rng = random.Random(seed)
    cells = [PREFIX + "%s_%d" % (b, d) for b in BASES for d in DRIVES]
    with open(path, "wb") as f:
        f.write(ints2(0x00, 600) + ints2(0x01, *range(12)) + text(0x02, "hd") +
                rec(0x03, 5, struct.pack(">2d", 1e-3, 1e-9)))
        for i, cell in enumerate(cells):
            out = [ints2(0x05, *range(12)), text(0x06, cell)]
            for k in range(12):
                x, y = 10 * k, 5 * (i % 7)
                out += [rec(0x08, 0), ints2(0x0d, k % 5 + 1),
                        ints2(0x0e, 0),
                        xy(x, y, x + 8, y, x + 8, y + 30, x, y + 30, x, y),
                        rec(0x11, 0)]
            for pin in ("A", "Y"):
                out += [rec(0x0c, 0), ints2(0x0d, 5), ints2(0x16, 0),
                        xy(3, 7), text(0x19, pin), rec(0x11, 0)]
            out += [rec(0x07, 0)]
            f.write(b"".join(out))
        block = 0
        while f.tell() < megabytes * 1000000:
            out = [ints2(0x05, *range(12)), text(0x06, "block_%d" % block)]
            for k in range(2000):
                cell = rng.choice(cells)
                if k % 50 == 0:
                    out += [rec(0x0b, 0), text(0x12, cell), ints2(0x13, 4, 2),
                            xy(0, 0, 400, 0, 0, 200), rec(0x11, 0)]
                elif k % 10 == 0:
                    out += [rec(0x0c, 0), ints2(0x0d, 10), ints2(0x16, 0),
                            xy(k, k), text(0x19, "u%d/%s" % (k, cell)),
                            rec(0x11, 0)]
                else:
                    out += [rec(0x0a, 0), text(0x12, cell), xy(k * 10, block),
                            ints2(0x2b, 1), text(0x2c, "inst %s" % cell),
                            rec(0x11, 0)]
            out += [rec(0x07, 0)]
            f.write(b"".join(out))
            block += 1
        f.write(rec(0x04, 0))
    return cells


def model(data, renames):
    """The stream `data` with every whole word of `renames` replaced in its
    string records."""
    pattern = re.compile(
        rb"(?<![A-Za-z0-9_])(" +
        b"|".join(re.escape(o.encode()) for o in
                  sorted(renames, key=len, reverse=True)) +
        rb")(?![A-Za-z0-9_])")
    table = {o.encode(): n.encode() for o, n in renames.items()}
    out = []
    at = 0
    while at < len(data):
        length, rtype, kind = struct.unpack_from(">HBB", data, at)
        if kind == 6:
            s = data[at + 4:at + length].rstrip(b"\0")
            t = pattern.sub(lambda m: table[m.group(1)], s)
            if t != s:
                if len(t) % 2:
                    t += b"\0"
                out.append(struct.pack(">HBB", 4 + len(t), rtype, kind) + t)
                at += length
                continue
        out.append(data[at:at + length])
        at += length
        if rtype == 0x04:
            out.append(data[at:])
            break
    return b"".join(out)


def summary_gdspy(path, renames):
    import warnings
    import gdspy  # noqa: E402 (optional)
    with warnings.catch_warnings():
        # It does not read properties, and says so for every one.
        warnings.simplefilter("ignore")
        lib = gdspy.GdsLibrary(infile=path)
    cells = {}
    cells_of = getattr(lib, "cells", None) or lib.cell_dict
    for name, cell in cells_of.items():
        name = renames.get(name, name)
        children = {}
        for ref in cell.references:
            child = ref.ref_cell if isinstance(ref.ref_cell, str) \
                else ref.ref_cell.name
            child = renames.get(child, child)
            children[child] = children.get(child, 0) + 1
        polygons = cell.get_polygons(by_spec=True, depth=0)
        # At depth 0, gdspy keys the placed cells' polygons by their names.
        shapes = sorted((renames.get(spec, spec) if isinstance(spec, str)
                         else spec, len(p)) for spec, p in polygons.items())
        box = cell.get_bounding_box()
        cells[name] = (sorted(children.items()), shapes,
                       None if box is None else box.tolist(),
                       len(cell.labels))
    return cells


KLAYOUT_SCRIPT = r"""
import pya, sys, json
layout = pya.Layout()
layout.read(src)
cells = {}
for cell in layout.each_cell():
    children = {}
    for inst in cell.each_inst():
        name = inst.cell.name
        children[name] = children.get(name, 0) + inst.size()
    shapes = []
    for li in layout.layer_indexes():
        n = cell.shapes(li).size()
        if n:
            info = layout.get_info(li)
            shapes.append([info.layer, info.datatype, n])
    cells[cell.name] = [sorted(children.items()), sorted(shapes),
                        str(cell.bbox())]
open(dst, "w").write(json.dumps(cells))
"""


def summary_klayout(path, renames, work):
    import json
    script = os.path.join(work, "summary.py")
    out = os.path.join(work, "summary.json")
    with open(script, "w") as f:
        f.write(KLAYOUT_SCRIPT)
    subprocess.run(["klayout", "-b", "-rd", "src=" + path, "-rd", "dst=" + out,
                    "-r", script], check=True, stdout=subprocess.DEVNULL)
    with open(out) as f:
        raw = json.load(f)
    cells = {}
    for name, (children, shapes, box) in raw.items():
        mapped = sorted((renames.get(c, c), n) for c, n in children)
        cells[renames.get(name, name)] = (mapped, shapes, box)
    return cells


def reader_check(tovupdtr, work, megabytes, renames):
    """The renamed layout, read by KLayout or gdspy, against the original
    read the same way with its names mapped; None when neither is here."""
    readers = []
    if shutil.which("klayout"):
        readers.append(("KLayout", lambda p, r: summary_klayout(p, r, work)))
    try:
        import gdspy  # noqa: F401
        readers.append(("gdspy", summary_gdspy))
    except ImportError:
        pass
    if not readers:
        return None
    tree = os.path.join(work, "check")
    gds = make_tree(tree, megabytes)
    write_renames(tree, renames)
    original = os.path.join(work, "original-check.gds")
    shutil.copyfile(gds, original)
    run_update(tovupdtr, tree)
    results = []
    for name, summary in readers:
        before = summary(original, renames)
        after = summary(gds, {})
        renamed = [c for c in after if c.startswith(NEW_PREFIX)]
        same = before == after and len(renamed) == len(renames)
        results.append("%s: %d cells, %d renamed, %s" % (
            name, len(after), len(renamed),
            "hierarchy and shapes the same" if same else "DIFFERENT"))
        if not same:
            missing = set(before) ^ set(after)
            print("  cells in one only:", sorted(missing)[:10])
            for c in before:
                if c in after and before[c] != after[c]:
                    print("  differs:", c, before[c], after[c])
                    break
            return results, False
    return results, True


def make_tree(tree, megabytes):
    view = os.path.join(tree, "hd", "top", "layout")
    os.makedirs(view, exist_ok=True)
    with open(os.path.join(tree, "lib.defs"), "w") as f:
        f.write("library hd hd\n")
    with open(os.path.join(tree, "update.txt"), "w") as f:
        f.write("hd.top:layout/layout.gds\n")
    gds = os.path.join(view, "layout.gds")
    write_stream(gds, megabytes)
    return gds


def write_renames(tree, renames):
    with open(os.path.join(tree, "renames.ftl"), "w") as f:
        for old, new in renames.items():
            f.write("%s/. %s/.\n" % (old, new))


def run_update(tovupdtr, tree):
    r = subprocess.run([tovupdtr, "-fromToList", "renames.ftl",
                        "-updateFileList", "update.txt", "-murlib", "lib.defs",
                        "-quiet"], cwd=tree, capture_output=True, text=True)
    if r.returncode != 0:
        sys.exit("tovupdtr failed (%d): %s" % (r.returncode, r.stderr))


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--build", required=True)
    p.add_argument("--mb", type=int, default=100)
    p.add_argument("--renames", type=int, default=20)
    p.add_argument("--repeat", type=int, default=5)
    p.add_argument("--check-mb", type=int, default=5)
    args = p.parse_args()
    tovupdtr = os.path.abspath(os.path.join(args.build, "cli", "tovupdtr"))
    work = tempfile.mkdtemp(prefix="tov-layout-")
    try:
        tree = os.path.join(work, "tree")
        gds = make_tree(tree, args.mb)
        cells = [PREFIX + "%s_%d" % (b, d) for b in BASES for d in DRIVES]
        chosen = random.Random(2).sample(cells, args.renames)
        renames = {c: NEW_PREFIX + c[len(PREFIX):] for c in chosen}
        write_renames(tree, renames)
        original = os.path.join(work, "original.gds")
        shutil.copyfile(gds, original)
        with open(original, "rb") as f:
            expected = model(f.read(), renames)
        size = os.path.getsize(original)

        # The real update, checked against the model.
        run_update(tovupdtr, tree)
        with open(gds, "rb") as f:
            result = f.read()
        same = result == expected
        print("%s: %.1f MB, %d cells renamed: %s the model (%d bytes)" % (
            "layout.gds", size / 1e6, len(renames),
            "byte for byte" if same else "DIFFERS from", len(result)))
        if not same:
            sys.exit(1)

        # Times, taking turns, each on a fresh copy of the original.
        copy_target = os.path.join(work, "copy.gds")
        shutil.copyfile(original, copy_target)
        cp, job = [], []
        for _ in range(args.repeat):
            start = time.monotonic()
            subprocess.run(["cp", original, copy_target], check=True)
            cp.append(time.monotonic() - start)
            shutil.copyfile(original, gds)
            start = time.monotonic()
            run_update(tovupdtr, tree)
            job.append(time.monotonic() - start)
        print("cp onto a copy: median %.3f s; tovupdtr: median %.3f s (%.1fx)"
              % (statistics.median(cp), statistics.median(job),
                 statistics.median(job) / statistics.median(cp)))

        check = reader_check(tovupdtr, work, args.check_mb, renames)
        if check is None:
            print("no layout reader installed (klayout, python3-gdspy): "
                  "the reader check is skipped")
        else:
            lines, ok = check
            for line in lines:
                print(line)
            if not ok:
                sys.exit(1)
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
