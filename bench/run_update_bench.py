#!/usr/bin/env python3
"""Times tovupdtr beside cp, a perl one-pass peer and the node-by-node path.

For each scenario a netlist-like tree is generated (bench/gen_workload.py),
then every tool runs on a fresh copy of it; the median wall time of
--repeat runs is reported, with MB/s and the ratio to cp.  The outputs of
tovupdtr, the node-by-node path and the perl peer are compared byte for byte.

  bench/run_update_bench.py --build build-release [--quick] [--corpus DIR]
"""
import argparse
import filecmp
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))

# name, files, bytes per file, renames, run the node-by-node path
SCENARIOS = [
    ("10 MB, 100 renames", 1, 10**7, 100, True),
    ("10 MB, 10,000 renames", 1, 10**7, 10000, True),
    ("100 MB, 10,000 renames", 1, 10**8, 10000, False),
    ("10,000 files of 10 KB, 5,000 renames", 10000, 10**4, 5000, False),
]
QUICK = [
    ("1 MB, 100 renames", 1, 10**6, 100, True),
    ("1 MB, 1,000 renames", 1, 10**6, 1000, True),
]


def tree_bytes(root):
    total = 0
    for d, _, files in os.walk(root):
        for f in files:
            total += os.path.getsize(os.path.join(d, f))
    return total


def listed_files(tree):
    files = []
    with open(os.path.join(tree, "update.list")) as f:
        for line in f:
            lib_cell, rest = line.strip().split(":", 1)
            view, name = rest.split("/", 1)
            cell = lib_cell.split(".", 1)[1]
            files.append(os.path.join(tree, "lib", cell, view, name))
    return files


def timed(cmd, cwd):
    start = time.perf_counter()
    r = subprocess.run(cmd, cwd=cwd, stdout=subprocess.DEVNULL,
                       stderr=subprocess.PIPE)
    elapsed = time.perf_counter() - start
    if r.returncode != 0:
        sys.exit("failed: %s\n%s" % (" ".join(cmd), r.stderr.decode()[-2000:]))
    return elapsed


def run_tool(name, pristine, work_root, repeat, make_cmd):
    """Median time of `repeat` runs, each on a fresh copy; returns (time,
    tree of the last run)."""
    times = []
    for i in range(repeat):
        work = os.path.join(work_root, "%s-%d" % (name, i))
        shutil.copytree(pristine, work, symlinks=True)
        cmd = make_cmd(work)
        times.append(timed(cmd, work))
        if i + 1 < repeat:
            shutil.rmtree(work)
    return statistics.median(times), work


def same_files(a_tree, b_tree):
    for a, b in zip(listed_files(a_tree), listed_files(b_tree)):
        if not filecmp.cmp(a, b, shallow=False):
            return False
    return True


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--build", default="build-release")
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--quick", action="store_true")
    ap.add_argument("--tmp", default=None, help="folder for the trees")
    args = ap.parse_args()
    exe = os.path.abspath(os.path.join(args.build, "cli", "tovupdtr"))
    if not os.path.exists(exe):
        sys.exit("no %s: build first" % exe)

    tmp = tempfile.mkdtemp(prefix="tovbench", dir=args.tmp)
    print("| workload | tool | seconds | MB/s | ratio to cp | same output |")
    print("| --- | --- | ---: | ---: | ---: | --- |")
    try:
        for name, files, size, renames, node_by_node in (
                QUICK if args.quick else SCENARIOS):
            pristine = os.path.join(tmp, "pristine")
            subprocess.run([sys.executable, os.path.join(HERE, "gen_workload.py"),
                            pristine, "--renames", str(renames), "--files",
                            str(files), "--file-size", str(size)], check=True)
            mb = tree_bytes(os.path.join(pristine, "lib")) / 1e6
            work_root = os.path.join(tmp, "work")
            os.makedirs(work_root)
            updater = ["-fromToList", "rename.ftl", "-updateFileList",
                       "update.list", "-murlib", "lib.defs", "-reason",
                       "rename"]
            tools = [
                ("cp", lambda w: ["cp", "-R", os.path.join(w, "lib"),
                                  os.path.join(w, "lib.copy")]),
                ("tovupdtr", lambda w: [exe] + updater),
                ("perl one-pass", lambda w: ["perl", os.path.join(
                    HERE, "peer_perl.pl"), "rename.ftl"] + listed_files(w)),
            ]
            if node_by_node:
                tools.append(("tovupdtr -nodeByNode",
                              lambda w: [exe, "-nodeByNode"] + updater))
            results = {}
            for tool, make in tools:
                results[tool] = run_tool(tool.split()[0] + str(len(results)),
                                         pristine, work_root,
                                         1 if "nodeByNode" in tool else
                                         args.repeat, make)
            cp_time = results["cp"][0]
            for tool, (t, tree) in results.items():
                same = ""
                if tool != "cp":
                    same = "yes" if same_files(tree, results["tovupdtr"][1]) \
                        else "NO"
                print("| %s | %s | %.3f | %.0f | %.2f | %s |" %
                      (name, tool, t, mb / t, t / cp_time, same))
                sys.stdout.flush()
            shutil.rmtree(work_root)
            shutil.rmtree(pristine)
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main()
