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
  `iqtree2 -s a.phy -te t.nwk -m GTR+F+G4 -nt 1`;
- the likelihood set-up, BM_InitializeML, against a whole
  `iqtree2 -s a.phy -te t.nwk -blfix -m GTR+G4{0.6} -nt 1` run;
- protein: a 50-taxon x 2,000-site alignment simulated here on a random
  tree, whole-tree evaluations per second under LG+G4 with fixed lengths,
  by the same formula on both sides: 99 / (time of 100 trees - time of 1
  tree), VORN's LScores (userBrLens=yes, on 1 and --threads threads)
  against `iqtree2 -z`;
- the threads at 20,000 sites: BM_WholeTreeLikelihood on 1 and --threads
  threads;
- with --threads 2, the gain of the second thread measured in one process
  (BM_WholeTreeThreadGain at 2,000 and 20,000 sites, and at 2,000 sites on
  two processors with a busy loop on the second: blocks of passes on one
  thread and on two, side by side), which a machine whose speed swings from
  one run to the next does not blur as it blurs the ratio of separate runs.

Prints the medians over the rounds and the ratios. Times are wall-clock on a
shared machine: read the ratios, which pair runs made side by side. Without
iqtree2 the exit status is 77.
"""
import argparse
import json
import math
import os
import random
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


def simulate_protein(workdir, ntax=50, nchar=2000):
    """A random tree with lengths and sequences evolved down it (a crude
    process: any data serve a timing), as aln.phy, a.nex and the tree files
    for 1 and 100 copies (Newick and NEXUS)."""
    rnd = random.Random(5)
    aas = "ARNDCQEGHILKMFPSTWYV"
    subtrees = [("t%d" % i, None) for i in range(ntax)]

    def newick(n):
        return n[0] if n[1] is None else "(" + ",".join("%s:%.4f" % (newick(k), b) for k, b in n[1]) + ")"

    while len(subtrees) > 3:
        rnd.shuffle(subtrees)
        a, b = subtrees.pop(), subtrees.pop()
        subtrees.append(("", [(a, rnd.uniform(0.02, 0.2)), (b, rnd.uniform(0.02, 0.2))]))
    root = ("", [(k, rnd.uniform(0.02, 0.2)) for k in subtrees])
    seqs = {}

    def walk(n, seq):
        if n[1] is None:
            seqs[n[0]] = "".join(seq)
            return
        for kid, length in n[1]:
            p = 1.0 - math.exp(-1.5 * length)
            walk(kid, [rnd.choice(aas) if rnd.random() < p else c for c in seq])

    walk(root, [rnd.choice(aas) for _ in range(nchar)])
    names = ["t%d" % i for i in range(ntax)]
    tree = newick(root) + ";\n"
    with open(os.path.join(workdir, "aln.phy"), "w") as f:
        f.write("%d %d\n" % (ntax, nchar) + "".join("%s %s\n" % (n, seqs[n]) for n in names))
    with open(os.path.join(workdir, "aa.nex"), "w") as f:
        f.write("#NEXUS\nbegin data;\n dimensions ntax=%d nchar=%d;\n format datatype=protein;\n matrix\n"
                % (ntax, nchar))
        f.write("".join("%s %s\n" % (n, seqs[n]) for n in names) + ";\nend;\n")
    for n in (1, 100):
        with open(os.path.join(workdir, "aa%d.nwk" % n), "w") as f:
            f.write(tree * n)
        with open(os.path.join(workdir, "aa%d.nex" % n), "w") as f:
            f.write("#NEXUS\nbegin trees;\n" + "".join(" tree t%d = [&U] %s" % (i, tree) for i in range(n)) + "end;\n")


def vorn_lscores_seconds(vorn, workdir, ntrees, threads):
    with open(os.path.join(workdir, "run.nex"), "w") as f:
        f.write("#NEXUS\nexecute aa.nex;\nexecute aa%d.nex;\nbegin vorn;\n lset aaRMatrix=LG aaFreq=intrinsic "
                "rates=gamma shape=0.6 ncat=4 pinvar=0 userBrLens=yes nthreads=%d;\n lscores;\nend;\n"
                % (ntrees, threads))
    start = time.perf_counter()
    subprocess.run([vorn, "-n", "run.nex"], cwd=workdir, capture_output=True)
    return time.perf_counter() - start


def seconds(b):
    scale = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}[b["time_unit"]]
    return b["real_time"] * scale


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("bench", nargs="?", default="build-bench/bench/vorn_bench")
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--threads", type=int, default=2)
    ap.add_argument("--vorn", default=os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "build-bench",
                                                   "src", "vorn"))
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
    big_names = {
        "1 thread": "BM_WholeTreeLikelihood/150/20000/1/1/real_time",
        "%d threads" % a.threads: "BM_WholeTreeLikelihood/150/20000/%d/1/real_time" % a.threads,
    }
    vorn_big = {k: [] for k in big_names}
    paired_gain = {2000: [], 20000: []}
    busy_gain = []
    vorn_init, iq_init = [], []
    aa_rate = {"IQ-TREE 2, 1 thread": [], "VORN, 1 thread": [], "VORN, %d threads" % a.threads: []}
    aa_work = os.path.join(workdir, "aa")
    os.mkdir(aa_work)
    simulate_protein(aa_work)
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
        res = run_vorn(a.bench, "BM_InitializeML/150/2000", workdir)
        vorn_init.append(seconds(res["BM_InitializeML/150/2000"]))
        t, _ = run_iqtree(workdir, ["-blfix", "-m", "GTR+G4{0.6}", "-nt", "1"], "init")
        iq_init.append(t)
        res = run_vorn(a.bench, "BM_WholeTreeLikelihood/150/20000/(1|%d)/" % a.threads, workdir)
        for k, name in big_names.items():
            vorn_big[k].append(res[name]["trees_per_s"])
        if a.threads == 2:
            res = run_vorn(a.bench, "BM_WholeTreeThreadGain/150/", workdir)
            for sites in paired_gain:
                paired_gain[sites].append(res["BM_WholeTreeThreadGain/150/%d/2/0/iterations:60/real_time" % sites]["gain"])
            busy_gain.append(res["BM_WholeTreeThreadGain/150/2000/2/1/iterations:60/real_time"]["gain"])
        for label, threads in (("VORN, 1 thread", 1), ("VORN, %d threads" % a.threads, a.threads)):
            t1 = vorn_lscores_seconds(a.vorn, aa_work, 1, threads)
            t100 = vorn_lscores_seconds(a.vorn, aa_work, 100, threads)
            aa_rate[label].append(99.0 / (t100 - t1))
        times = []
        for n in (1, 100):
            start = time.perf_counter()
            subprocess.run(["iqtree2", "-s", "aln.phy", "-te", "aa1.nwk", "-z", "aa%d.nwk" % n, "-blfix", "-n", "0",
                            "-m", "LG+G4{0.6}", "-nt", "1", "-quiet", "-redo", "-pre", "z%d" % n],
                           cwd=aa_work, check=True, capture_output=True)
            times.append(time.perf_counter() - start)
        aa_rate["IQ-TREE 2, 1 thread"].append(99.0 / (times[1] - times[0]))
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
    print("Likelihood set-up, 150 x 2,000 DNA (seconds, wall)")
    print("  IQ-TREE 2 whole -blfix GTR+G4{0.6} run: %.3f" % med(iq_init))
    print("  VORN initializeML:                      %.3f   time ratio to IQ-TREE %.3f"
          % (med(vorn_init), med(vorn_init) / med(iq_init)))
    print("Whole-tree evaluations per second at fixed lengths, LG+G4, 50 x 2,000 protein (99 / (100 trees - 1))")
    iq = med(aa_rate["IQ-TREE 2, 1 thread"])
    for k, v in aa_rate.items():
        print("  %-22s %8.1f   ratio to IQ-TREE %.2f" % (k + ":", med(v), med(v) / iq))
    print("Whole-tree evaluations per second, GTR+G4, 150 x 20,000 DNA")
    for k, v in vorn_big.items():
        print("  VORN %-12s %8.1f" % (k + ":", med(v)))
    print("  %d threads / 1 thread: %.2f" % (a.threads, med(vorn_big["%d threads" % a.threads]) / med(vorn_big["1 thread"])))
    if a.threads == 2:
        print("Two threads against one, passes side by side in one process (BM_WholeTreeThreadGain)")
        for sites, v in paired_gain.items():
            print("  GTR+G4, 150 x {:,} DNA: {:.2f}".format(sites, med(v)))
        print("  GTR+G4, 150 x 2,000 DNA, the second processor kept busy: {:.2f}".format(med(busy_gain)))
    print("Load average at the end: %.1f %.1f %.1f on %d processors" % (*os.getloadavg(), os.cpu_count()))
    shutil.rmtree(workdir, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
