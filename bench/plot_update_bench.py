#!/usr/bin/env python3
"""Plots the results that run_update_bench.py --json wrote.

  bench/plot_update_bench.py results.json docs/performance-update.png

Left: the cost curve, wall seconds against the number of renames (100 MB),
for tovupdtr, the same run with no file to update (the loading of the lists),
the difference of the two (the rewrite itself), cp and the perl peer.  Right: each workload's wall time as a
multiple of cp's, per tool.  Needs matplotlib: the Debian package
python3-matplotlib is installed (through scripts/install-deps.sh) when the
system's python3 lacks it, and the script then runs under that python3.
"""
import json
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
SYSTEM_PYTHON = "/usr/bin/python3"


def ensure_matplotlib():
    try:
        import matplotlib  # noqa: F401
        return
    except ImportError:
        pass
    # The Debian package serves the system's python3: install it if need be
    # and run this script again under that python3.
    probe = [SYSTEM_PYTHON, "-c", "import matplotlib"]
    if subprocess.run(probe, stderr=subprocess.DEVNULL).returncode != 0:
        subprocess.run([os.path.join(HERE, "..", "scripts", "install-deps.sh"),
                        "python3-matplotlib"], check=True)
    if os.path.realpath(sys.executable) == os.path.realpath(SYSTEM_PYTHON):
        sys.exit("python3-matplotlib is installed but cannot be imported")
    os.execv(SYSTEM_PYTHON, [SYSTEM_PYTHON] + sys.argv)


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    ensure_matplotlib()
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    with open(sys.argv[1]) as f:
        results = json.load(f)
    tools = ["tovupdtr", "tovupdtr, lists only", "cp", "perl one-pass"]
    fig, (curve, ratios) = plt.subplots(1, 2, figsize=(12, 4.5))

    def walls(tool):
        return dict((r["renames"], r["wall"]) for r in results
                    if r["group"] == "curve" and r["tool"] == tool)

    for tool, marker in zip(tools, "oDs^"):
        points = sorted(walls(tool).items())
        if points:
            curve.plot([p[0] for p in points], [p[1] for p in points],
                       marker=marker, label=tool)
    # The rewrite alone: the whole run less the loading of the lists.
    whole, lists = walls("tovupdtr"), walls("tovupdtr, lists only")
    rewrite = sorted((n, whole[n] - lists[n]) for n in whole
                     if n in lists and whole[n] > lists[n])
    if rewrite:
        curve.plot([p[0] for p in rewrite], [p[1] for p in rewrite],
                   marker="v", linestyle="--",
                   label="tovupdtr rewrite (difference)")
    curve.set_xscale("log")
    curve.set_yscale("log")
    curve.set_xlabel("renames")
    curve.set_ylabel("wall seconds (median)")
    curve.set_title("100 MB netlist-like text")
    curve.grid(True, which="both", alpha=0.3)
    curve.legend()

    workloads = []
    for r in results:
        if r["group"] != "curve" and r["workload"] not in workloads:
            workloads.append(r["workload"])
    shown = [t for t in ["tovupdtr", "cp onto a copy", "perl one-pass",
                         "tovupdtr -nodeByNode"]
             if any(r["tool"] == t for r in results)]
    width = 0.8 / max(len(shown), 1)
    for i, tool in enumerate(shown):
        values = []
        for w in workloads:
            match = [r["ratio_to_cp"] for r in results
                     if r["workload"] == w and r["tool"] == tool]
            values.append(match[0] if match else 0)
        ratios.bar([x + i * width for x in range(len(workloads))], values,
                   width, label=tool)
    ratios.axhline(1, color="black", linewidth=0.8)
    ratios.set_yscale("log")
    ratios.set_xticks([x + width * (len(shown) - 1) / 2
                       for x in range(len(workloads))])
    ratios.set_xticklabels(workloads, rotation=20, ha="right", fontsize=8)
    ratios.set_ylabel("wall time / cp's wall time")
    ratios.set_title("Side by side with cp")
    ratios.legend(fontsize=8)

    fig.tight_layout()
    fig.savefig(sys.argv[2], dpi=110)
    print("wrote", sys.argv[2])


if __name__ == "__main__":
    main()
