#!/usr/bin/env python3
"""Kills tovupdtr at random moments and races two of them on one file.

Two trials on a netlist-like file (bench/gen_workload.py), each on both write
paths: the new file renamed over the old one, and the rewrite in place (the
file has a second name, a hard link, which must keep sharing it).

  kill    tovupdtr is started and killed with SIGKILL after a random delay
          within the time a whole run takes.  The file must then hold its
          old or its new text, or its journal must be there; the next run
          must leave it holding the new text, with nothing else beside it.
  race    two tovupdtr runs start together on the file, one renaming the
          first half of the cells, the other the second half.  Each either
          succeeds or fails the file naming the other's lock: the file must
          hold exactly the renames of the runs that succeeded.

  bench/crash_and_race.py --build build-release [--size-mb 50] [--tries 100]

Prints one line per trial and path with the outcomes counted, and exits 1 if
any file was lost, mixed or left with a stray file beside it.
"""
import argparse
import collections
import os
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))


def run(exe, work, ftl, wait=None):
    args = [exe, "-fromToList", ftl, "-updateFileList", "update.list",
            "-murlib", "lib.defs", "-reason", "rename", "-quiet"]
    if wait is not None:
        args += ["-lockWait", str(wait)]
    return subprocess.Popen(args, cwd=work, stdout=subprocess.DEVNULL,
                            stderr=subprocess.PIPE)


def read(path):
    with open(path, "rb") as f:
        return f.read()


class Tree:
    """The generated tree, its file restored before every try."""

    def __init__(self, work, size, linked):
        self.work = work
        self.view = os.path.join(work, "lib", "top0", "netlist")
        self.path = os.path.join(self.view, "top.v")
        self.other = os.path.join(work, "other.v")
        self.original = os.path.join(work, "original.v")
        self.linked = linked

    def restore(self):
        for p in (self.path, self.other):
            if os.path.exists(p):
                os.remove(p)
        shutil.copyfile(self.original, self.path)
        if self.linked:
            os.link(self.path, self.other)

    def strays(self):
        return sorted(n for n in os.listdir(self.view) if n != "top.v")


def expected_text(exe, tree, ftl):
    tree.restore()
    p = run(exe, tree.work, ftl)
    p.communicate()
    assert p.returncode == 0, "a plain run failed"
    return read(tree.path)


def kill_trial(exe, tree, texts, tries, rng):
    counts = collections.Counter()
    # How long a whole run takes, to kill within it.
    tree.restore()
    start = time.monotonic()
    run(exe, tree.work, "all.ftl").communicate()
    duration = time.monotonic() - start
    bad = 0
    for _ in range(tries):
        tree.restore()
        p = run(exe, tree.work, "all.ftl")
        time.sleep(rng.uniform(0, duration))
        p.send_signal(signal.SIGKILL)
        p.communicate()
        now = read(tree.path)
        journal = os.path.exists(os.path.join(tree.view, ".top.v.tovjournal"))
        if now == texts["old"]:
            state = "old"
        elif now == texts["all"]:
            state = "new"
        elif journal:
            state = "mixed, journal kept"
        else:
            state = "LOST"
        counts[state] += 1
        again = run(exe, tree.work, "all.ftl")
        err = again.communicate()[1].decode()
        if (state == "LOST" or again.returncode != 0 or
                read(tree.path) != texts["all"] or tree.strays() or
                (tree.linked and read(tree.other) != texts["all"])):
            if not bad:
                print("first failure: %s, the next run exited %d: %s%s" % (
                    state, again.returncode, err, tree.strays()),
                    file=sys.stderr)
            bad += 1
            counts["NOT REPAIRED"] += 1
    return counts, bad


def race_trial(exe, tree, texts, tries):
    counts = collections.Counter()
    bad = 0
    for _ in range(tries):
        tree.restore()
        a = run(exe, tree.work, "a.ftl", wait=0 if _ % 2 else None)
        b = run(exe, tree.work, "b.ftl", wait=0 if _ % 2 else None)
        a_err = a.communicate()[1].decode()
        b_err = b.communicate()[1].decode()
        now = read(tree.path)
        done = (a.returncode == 0, b.returncode == 0)
        want = {(True, True): "both", (True, False): "a",
                (False, True): "b"}.get(done)
        locked = all(ok or "is being updated by process" in err
                     for ok, err in ((done[0], a_err), (done[1], b_err)))
        if want is None or now != texts[want] or not locked or tree.strays():
            bad += 1
            counts["LOST OR MIXED"] += 1
        else:
            counts["both applied" if want == "both" else
                   "one waited out, failed naming the holder"] += 1
    return counts, bad


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--build", default="build-release")
    ap.add_argument("--size-mb", type=int, default=50)
    ap.add_argument("--tries", type=int, default=100)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--trials", default="kill,race")
    args = ap.parse_args()
    exe = os.path.abspath(os.path.join(args.build, "cli", "tovupdtr"))
    rng = random.Random(args.seed)
    total_bad = 0
    with tempfile.TemporaryDirectory(prefix="tov-crash-") as work:
        subprocess.run([sys.executable, os.path.join(HERE, "gen_workload.py"),
                        work, "--renames", "2000", "--files", "1",
                        "--file-size", str(args.size_mb * 10**6)], check=True)
        with open(os.path.join(work, "rename.ftl")) as f:
            lines = f.readlines()
        for name, part in (("all.ftl", lines), ("a.ftl", lines[::2]),
                           ("b.ftl", lines[1::2])):
            with open(os.path.join(work, name), "w") as f:
                f.writelines(part)
        for linked in (False, True):
            tree = Tree(work, args.size_mb, linked)
            if not os.path.exists(tree.original):
                shutil.copyfile(tree.path, tree.original)
            texts = {"old": read(tree.original),
                     "all": expected_text(exe, tree, "all.ftl"),
                     "a": expected_text(exe, tree, "a.ftl"),
                     "b": expected_text(exe, tree, "b.ftl")}
            texts["both"] = texts["all"]
            label = "in place" if linked else "new file"
            for trial, fn in (("kill", lambda: kill_trial(
                    exe, tree, texts, args.tries, rng)),
                    ("race", lambda: race_trial(exe, tree, texts,
                                                args.tries))):
                if trial not in args.trials.split(","):
                    continue
                counts, bad = fn()
                total_bad += bad
                print(flush=True)
                print("%s, %s, %d MB, %d tries: %s" % (
                    trial, label, args.size_mb, args.tries,
                    ", ".join("%s %d" % kv for kv in sorted(counts.items()))))
    return 1 if total_bad else 0


if __name__ == "__main__":
    sys.exit(main())
