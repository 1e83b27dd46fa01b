#!/usr/bin/env python3
"""Times tovupdtr beside cp, a perl one-pass peer and the node-by-node path.

For each scenario a netlist-like tree is generated (bench/gen_workload.py),
or built from real netlists (--corpus), then every tool runs on a fresh copy
of it, the tools taking turns so that a busy moment of the machine does not
fall on one tool alone.  Reported per tool: the median wall time of --repeat
runs, the CPU time (user + system) of the same runs, MB/s and the ratio to
cp, and the peak memory (resident set) of the process.  The files that tovupdtr wrote are compared byte for byte with those of
the node-by-node path (where it runs) and of the perl peer.

  bench/run_update_bench.py --build build-release [--only goal,curve,corpus]
                            [--quick] [--json results.json]

Groups of scenarios (--only):
  goal    100 MB with 10,000 renames; a tree of 10,000 files of 10 KB with
          5,000 renames
  curve   the same 100 MB text shape with 10 to 100,000 renames
  dense   100 MB where every word is a cell name, a third of them renamed
          (10,000 renames); 64 MB where every line is `ab`, renamed `abc`
  large   1 GB with 10,000 renames (not run unless asked for)
  check   10 MB with 100 and 1,000 renames, beside the node-by-node path
  corpus  the real netlists of --corpus (default ../shared/corpus/netlists)
          with their most frequent cell names renamed
"""
import argparse
import collections
import filecmp
import json
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

# group, name, files, bytes per file, renames, run the node-by-node path[,
# shape of the text (bench/gen_workload.py --shape)]
SCENARIOS = [
    ("goal", "100 MB, 10,000 renames", 1, 10**8, 10000, False),
    ("goal", "10,000 files of 10 KB, 5,000 renames", 10000, 10**4, 5000,
     False),
    ("curve", "100 MB, 10 renames", 1, 10**8, 10, False),
    ("curve", "100 MB, 100 renames", 1, 10**8, 100, False),
    ("curve", "100 MB, 1,000 renames", 1, 10**8, 1000, False),
    ("curve", "100 MB, 10,000 renames", 1, 10**8, 10000, False),
    ("curve", "100 MB, 100,000 renames", 1, 10**8, 100000, False),
    ("dense", "100 MB, every word a cell, 10,000 renames", 1, 10**8, 10000,
     False, "dense"),
    ("dense", "64 MB, every line ab -> abc", 1, 64 * 10**6, 1, True,
     "everyline"),
    ("large", "1 GB, 10,000 renames", 1, 10**9, 10000, False),
    ("check", "10 MB, 100 renames", 1, 10**7, 100, True),
    ("check", "10 MB, 1,000 renames", 1, 10**7, 1000, True),
]
QUICK = [
    ("quick", "1 MB, 100 renames", 1, 10**6, 100, True),
    ("quick", "1 MB, 1,000 renames", 1, 10**6, 1000, True),
    ("quick", "100 files of 10 KB, 500 renames", 100, 10**4, 500, True),
]
# Lines of a gate-level netlist that instantiate a cell: its name, the
# instance name and an opening parenthesis.
INSTANCE = re.compile(rb"^\s*([A-Za-z_][A-Za-z0-9_$]*)\s+\\?[^\s(]+\s*\(",
                      re.M)
KEYWORDS = {b"module", b"input", b"output", b"inout", b"wire", b"reg",
            b"assign", b"endmodule", b"supply0", b"supply1"}


def prepare_nothing(w):
    """A file that holds no name, and a list that names it alone."""
    folder = os.path.join(w, "lib", "nothing", "netlist")
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "nothing.v"), "w") as f:
        f.write("\n")
    with open(os.path.join(w, "nothing.list"), "w") as f:
        f.write("benchLib.nothing:netlist/nothing.v\n")


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


def corpus_tree(corpus, out, top):
    """A tree of the netlists under `corpus`, each a cell of benchLib, with
    a from-to list that renames the `top` most frequent cell names."""
    counts = collections.Counter()
    sources = []
    for d, _, files in os.walk(corpus):
        for name in sorted(files):
            if name.endswith(".v"):
                sources.append(os.path.join(d, name))
    sources.sort()
    os.makedirs(os.path.join(out, "lib"))
    with open(os.path.join(out, "update.list"), "w") as ul:
        for i, src in enumerate(sources):
            with open(src, "rb") as f:
                text = f.read()
            for m in INSTANCE.finditer(text):
                if m.group(1) not in KEYWORDS:
                    counts[m.group(1)] += 1
            d = os.path.join(out, "lib", "net%d" % i, "netlist")
            os.makedirs(d)
            shutil.copyfile(src, os.path.join(d, os.path.basename(src)))
            ul.write("benchLib.net%d:netlist/%s\n" %
                     (i, os.path.basename(src)))
    with open(os.path.join(out, "lib.defs"), "w") as f:
        f.write("library benchLib lib\n")
    names = [n.decode() for n, _ in counts.most_common(top)]
    with open(os.path.join(out, "rename.ftl"), "w") as f:
        for n in names:
            f.write("benchLib.%s/. benchLib.%s_v2/.\n" % (n, n))
    return len(sources), len(names)


def timed(cmd, cwd):
    """Wall and CPU seconds and peak memory (MB) of one run of `cmd`."""
    # The messages go to a file: a pipe nobody reads while the tool runs
    # could fill up and stop it.
    with tempfile.TemporaryFile() as err:
        start = time.perf_counter()
        proc = subprocess.Popen(cmd, cwd=cwd, stdout=subprocess.DEVNULL,
                                stderr=err)
        _, status, usage = os.wait4(proc.pid, 0)
        elapsed = time.perf_counter() - start
        proc.returncode = os.waitstatus_to_exitcode(status)
        if proc.returncode != 0:
            err.seek(0)
            sys.exit("failed: %s\n%s" % (" ".join(cmd),
                                          err.read().decode()[-2000:]))
    return elapsed, usage.ru_utime + usage.ru_stime, usage.ru_maxrss / 1024


def same_files(a_tree, b_tree):
    for a, b in zip(listed_files(a_tree), listed_files(b_tree)):
        if not filecmp.cmp(a, b, shallow=False):
            return False
    return True


def run_scenario(tools, pristine, work_root, repeat):
    """Runs every tool `repeat` times on fresh copies, taking turns; returns
    {tool: (median wall, median cpu, peak MB, tree of its last run)}."""
    walls = collections.defaultdict(list)
    cpus = collections.defaultdict(list)
    peaks = collections.defaultdict(list)
    last = {}
    for i in range(repeat):
        for k, (tool, make, once, *prepare) in enumerate(tools):
            if once and i > 0:
                continue
            work = os.path.join(work_root, "t%d-%d" % (k, i))
            shutil.copytree(pristine, work, symlinks=True)
            for step in prepare:
                step(work)
            subprocess.run(["sync"], check=True)
            wall, cpu, peak = timed(make(work), work)
            walls[tool].append(wall)
            cpus[tool].append(cpu)
            peaks[tool].append(peak)
            if tool in last:
                shutil.rmtree(last[tool])
            last[tool] = work
    return {t: (statistics.median(walls[t]), statistics.median(cpus[t]),
                max(peaks[t]), last[t]) for t in walls}


def main():
    ap = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawTextHelpFormatter)
    ap.add_argument("--build", default="build-release")
    ap.add_argument("--repeat", type=int, default=5)
    ap.add_argument("--quick", action="store_true")
    ap.add_argument("--only", default="goal,dense,curve,check,corpus",
                    help="groups to run, comma-separated")
    ap.add_argument("--corpus",
                    default=os.path.join(ROOT, "..", "shared", "corpus",
                                         "netlists"))
    ap.add_argument("--corpus-renames", type=int, default=100,
                    help="how many of the most frequent cell names")
    ap.add_argument("--tmp", default=None, help="folder for the trees")
    ap.add_argument("--json", default=None, help="write the results here")
    args = ap.parse_args()
    exe = os.path.abspath(os.path.join(args.build, "cli", "tovupdtr"))
    if not os.path.exists(exe):
        sys.exit("no %s: build first" % exe)
    groups = set(args.only.split(","))

    scenarios = QUICK if args.quick else [
        s for s in SCENARIOS if s[0] in groups]
    if not args.quick and "corpus" in groups:
        if os.path.isdir(args.corpus):
            scenarios.append(("corpus", None, 0, 0, args.corpus_renames,
                              True))
        else:
            print("(no corpus at %s: its scenario is left out)" % args.corpus)

    tmp = tempfile.mkdtemp(prefix="tovbench", dir=args.tmp)
    results = []
    print("| workload | tool | wall s | CPU s | MB/s | wall ratio to cp | "
          "peak MB | same output |")
    print("| --- | --- | ---: | ---: | ---: | ---: | ---: | --- |")
    try:
        for group, name, files, size, renames, node_by_node, *shape in \
                scenarios:
            pristine = os.path.join(tmp, "pristine")
            if group == "corpus":
                nfiles, nnames = corpus_tree(args.corpus, pristine, renames)
                name = "real netlists (%d files), %d renames" % (nfiles,
                                                                 nnames)
            else:
                subprocess.run(
                    [sys.executable, os.path.join(HERE, "gen_workload.py"),
                     pristine, "--renames", str(renames), "--files",
                     str(files), "--file-size", str(size), "--shape",
                     shape[0] if shape else "netlist"], check=True)
            mb = tree_bytes(os.path.join(pristine, "lib")) / 1e6
            work_root = os.path.join(tmp, "work")
            os.makedirs(work_root)
            updater = ["-fromToList", "rename.ftl", "-updateFileList",
                       "update.list", "-murlib", "lib.defs", "-reason",
                       "rename"]
            # tool, command for a tree, run once only[, what to prepare
            # in the tree before the timed run]
            tools = [
                ("cp", lambda w: ["cp", "-R", os.path.join(w, "lib"),
                                  os.path.join(w, "lib.copy")], False),
                ("tovupdtr", lambda w: [exe] + updater, False),
                ("perl one-pass", lambda w: ["perl", os.path.join(
                    HERE, "peer_perl.pl"), "rename.ftl"] + listed_files(w),
                 False),
            ]
            if group in ("goal", "dense", "large"):
                # cp onto a copy that is already there: like the update,
                # it replaces files that are on the disk, and so pays for
                # releasing their blocks.
                tools.insert(1, (
                    "cp onto a copy", lambda w: [
                        "cp", "-R", os.path.join(w, "lib") + "/.",
                        os.path.join(w, "lib.copy")], False,
                    lambda w: shutil.copytree(os.path.join(w, "lib"),
                                              os.path.join(w, "lib.copy"))))
            if group == "curve":
                # The same run with no file to update: what loading the
                # from-to list and making its expressions costs, so that
                # the rewrite's own cost is the difference.
                # (The program wants a list that names a file: it names a
                # file of its own that holds no name.)
                tools.append(("tovupdtr, lists only", lambda w: [
                    exe, "-fromToList", "rename.ftl", "-updateFileList",
                    "nothing.list", "-murlib", "lib.defs"], False,
                    prepare_nothing))
            if node_by_node:
                tools.append(("tovupdtr -nodeByNode",
                              lambda w: [exe, "-nodeByNode"] + updater, True))
            timings = run_scenario(tools, pristine, work_root, args.repeat)
            cp_wall = timings["cp"][0]
            ours = timings["tovupdtr"][3]
            for tool, (wall, cpu, peak, tree) in timings.items():
                same = ""
                if tool not in ("cp", "cp onto a copy", "tovupdtr",
                                "tovupdtr, lists only"):
                    same = "yes" if same_files(tree, ours) else "NO"
                print("| %s | %s | %.3f | %.3f | %.0f | %.2f | %.0f | %s |" %
                      (name, tool, wall, cpu, mb / wall, wall / cp_wall,
                       peak, same))
                sys.stdout.flush()
                results.append({"group": group, "workload": name,
                                "renames": renames, "megabytes": mb,
                                "tool": tool, "wall": wall, "cpu": cpu,
                                "ratio_to_cp": wall / cp_wall,
                                "peak_mb": peak,
                                "same_output": same})
            shutil.rmtree(work_root)
            shutil.rmtree(pristine)
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
    if args.json:
        with open(args.json, "w") as f:
            json.dump(results, f, indent=1)


if __name__ == "__main__":
    main()
