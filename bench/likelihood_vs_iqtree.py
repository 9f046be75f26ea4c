#!/usr/bin/env python3
"""Likelihood speed: VORN's benchmarks beside IQ-TREE 2 on the same data.

Usage: likelihood_vs_iqtree.py [VORN_BENCH] [--rounds N] [--threads N]

VORN_BENCH defaults to build-bench/bench/vorn_bench. Its likelihood
benchmarks simulate a 150-taxon x 2,000-site DNA matrix on a random tree and
write the matrix and the tree with its lengths (a.phy, t.nwk) for the peer.
In each round, one after the other:

- whole-tree evaluations at fixed lengths under GTR+G4: VORN's
  BM_WholeTreeLikelihood (single precision with vector kernels, double
  precision, and on --threads threads) against IQ-TREE's rate, 99 / (time of
  `iqtree2 -s a.phy -te t.nwk -z trees.nwk -blfix -n 0 -m GTR+F+G4 -nt 1` on
  100 trees - on 1 tree);
- the whole GTR+G4 scoring of the fixed tree (every branch length, the rates
  and the shape estimated): BM_GTRGammaOnFixedTree against
  `iqtree2 -s a.phy -te t.nwk -m GTR+F+G4 -nt 1`.

Prints the medians over the rounds and the ratios. Times are wall-clock on a
shared machine: read the ratios, which pair runs made side by side. Without
iqtree2 the exit status is 77.
"""
import argparse
import json
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time


def run_vorn(bench, filt, workdir):
    env = dict(os.environ, VORN_BENCH_WRITE=workdir)
    out = subprocess.run([bench, "--benchmark_filter=" + filt, "--benchmark_format=json"], env=env,
                         check=True, capture_output=True, text=True).stdout
    return {b["name"]: b for b in json.loads(out)["benchmarks"]}


def run_iqtree(workdir, args, tag):
    """Wall seconds of one iqtree2 run and the log-likelihood it reports."""
    prefix = os.path.join(workdir, tag)
    start = time.perf_counter()
    subprocess.run(["iqtree2", "-s", "a.phy", "-te", "t.nwk", *args, "-pre", prefix, "-redo", "-quiet"],
                   cwd=workdir, check=True, capture_output=True)
    wall = time.perf_counter() - start
    lnl = None
    with open(prefix + ".iqtree") as f:
        m = re.search(r"Log-likelihood of the tree: (-?[0-9.]+)", f.read())
        if m:
            lnl = float(m.group(1))
    return wall, lnl


def seconds(b):
    scale = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}[b["time_unit"]]
    return b["real_time"] * scale


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("bench", nargs="?", default="build-bench/bench/vorn_bench")
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--threads", type=int, default=2)
    a = ap.parse_args()
    if shutil.which("iqtree2") is None:
        print("iqtree2 not found")
        return 77
    workdir = tempfile.mkdtemp(prefix="lik_vs_iqtree_")
    eval_names = {
        "single+vector": "BM_WholeTreeLikelihood/150/2000/1/1/real_time",
        "double": "BM_WholeTreeLikelihood/150/2000/1/0/real_time",
        "single+vector, %d threads" % a.threads: "BM_WholeTreeLikelihood/150/2000/%d/1/real_time" % a.threads,
    }
    fixed_names = {
        "1 thread": "BM_GTRGammaOnFixedTree/150/2000/1/iterations:1/real_time",
        "2 threads": "BM_GTRGammaOnFixedTree/150/2000/2/iterations:1/real_time",
    }
    vorn_eval = {k: [] for k in eval_names}
    vorn_fixed = {k: [] for k in fixed_names}
    iq_rate, iq_fixed = [], []
    vorn_lnl = iq_lnl = None
    for r in range(a.rounds):
        res = run_vorn(a.bench, "BM_WholeTreeLikelihood/150/2000/(1|%d)/" % a.threads, workdir)
        for k, name in eval_names.items():
            vorn_eval[k].append(res[name]["trees_per_s"])
        if r == 0:
            with open(os.path.join(workdir, "t.nwk")) as f:
                tree = f.read()
            for n in (1, 100):
                with open(os.path.join(workdir, "trees%d.nwk" % n), "w") as f:
                    f.write(tree * n)
        t1, _ = run_iqtree(workdir, ["-z", "trees1.nwk", "-blfix", "-n", "0", "-m", "GTR+F+G4", "-nt", "1"], "z1")
        t100, _ = run_iqtree(workdir, ["-z", "trees100.nwk", "-blfix", "-n", "0", "-m", "GTR+F+G4", "-nt", "1"],
                             "z100")
        iq_rate.append(99.0 / (t100 - t1) if t100 > t1 else float("nan"))
        res = run_vorn(a.bench, "BM_GTRGammaOnFixedTree/150/2000/", workdir)
        for k, name in fixed_names.items():
            vorn_fixed[k].append(seconds(res[name]))
        vorn_lnl = res[fixed_names["1 thread"]]["lnL_plus_167000"] - 167000.0
        t, iq_lnl = run_iqtree(workdir, ["-m", "GTR+F+G4", "-nt", "1"], "fixed")
        iq_fixed.append(t)
    med = statistics.median
    print("Whole-tree evaluations per second at fixed lengths, GTR+G4, 150 x 2,000 DNA (median of %d rounds)"
          % a.rounds)
    print("  IQ-TREE 2, 1 thread: %8.1f" % med(iq_rate))
    for k, v in vorn_eval.items():
        print("  VORN %-22s %8.1f   ratio to IQ-TREE %.2f" % (k + ":", med(v), med(v) / med(iq_rate)))
    print("  VORN single+vector / double: %.2f" % (med(vorn_eval["single+vector"]) / med(vorn_eval["double"])))
    print("GTR+G4 with every length and parameter estimated on the fixed tree (seconds, wall)")
    print("  IQ-TREE 2, 1 thread: %7.2f  lnL %.4f" % (med(iq_fixed), iq_lnl))
    for k, v in vorn_fixed.items():
        print("  VORN %-10s       %7.2f  time ratio to IQ-TREE %.2f" % (k + ":", med(v), med(v) / med(iq_fixed)))
    print("  VORN lnL %.4f" % vorn_lnl)
    shutil.rmtree(workdir, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
