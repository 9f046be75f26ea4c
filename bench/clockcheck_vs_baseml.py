#!/usr/bin/python3
"""ClockChecker against PAML's baseml (Debian package paml) on 20 genes of
16 taxa x 500 sites under JC69, simulated here along one rooted tree (odd
genes with a clock, even genes with tip branches stretched by up to 3x).

vorn: one run of `clockchecker partition=genes` (each gene fitted with and
without the clock, plus the linked total of all genes). baseml: for each
gene clock = 1 on the rooted tree and clock = 0 on its unrooted form (40
runs). Prints the CPU time (user + system of the child processes; medians
of `runs`), the ratio vorn / baseml, and the largest difference of the
per-gene -ln L between the two programs.
Usage: clockcheck_vs_baseml.py path/to/vorn [runs]
"""
import math
import os
import random
import re
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile

NTAX, NGENES, NSITES = 16, 20, 500


def random_tree(rng):
    """A random rooted ultrametric tree of NTAX tips as nested tuples
    (name or children, branch length)."""
    nodes = [("t%d" % (i + 1), 0.0) for i in range(NTAX)]
    heights = [0.0] * NTAX
    h = 0.0
    while len(nodes) > 1:
        h += rng.expovariate(len(nodes)) * 0.15
        i, j = sorted(rng.sample(range(len(nodes)), 2), reverse=True)
        a, ha = nodes.pop(i), heights.pop(i)
        b, hb = nodes.pop(j), heights.pop(j)
        nodes.append(([(a[0], h - ha), (b[0], h - hb)], 0.0))
        heights.append(h)
    return nodes[0][0]


def newick(children, lengths=False):
    parts = []
    for sub, length in children:
        s = sub if isinstance(sub, str) else newick(sub, lengths)
        parts.append("%s:%.6f" % (s, length) if lengths else s)
    return "(" + ",".join(parts) + ")"


def simulate(children, rng, stretch):
    rows = {}

    def down(kids, state):
        for sub, length in kids:
            if isinstance(sub, str):
                length *= stretch.get(sub, 1.0)
            p = 0.75 * (1 - math.exp(-4.0 / 3.0 * length))
            s = state if rng.random() >= p else rng.choice([x for x in "ACGT" if x != state])
            if isinstance(sub, str):
                rows.setdefault(sub, []).append(s)
            else:
                down(sub, s)
    for _ in range(NSITES):
        down(children, rng.choice("ACGT"))
    return {t: "".join(v) for t, v in rows.items()}


def child_cpu(run):
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    result = run()
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime), result


def main():
    vorn = os.path.abspath(sys.argv[1])
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 3
    if shutil.which("baseml") is None:
        print("baseml is not installed (Debian package paml)")
        return 77
    rng = random.Random(2048)
    tree = random_tree(rng)
    taxa = ["t%d" % (i + 1) for i in range(NTAX)]
    genes = []
    for g in range(NGENES):
        stretch = {} if g % 2 == 0 else {t: rng.uniform(0.3, 3.0) for t in taxa}
        genes.append(simulate(tree, rng, stretch))
    rooted = newick(tree)
    # The unrooted form: an internal child of the root opened into a trifurcation.
    (a, la), (b, lb) = tree
    unrooted = newick(a + [(b, lb)] if not isinstance(a, str) else [(a, la)] + b)
    work = tempfile.mkdtemp(prefix="clockcheck-bench-", dir="/dev/shm" if os.path.isdir("/dev/shm") else None)
    try:
        matrix = "".join("  %s %s\n" % (t, "".join(g[t] for g in genes)) for t in taxa)
        ptn = ", ".join("g%d: %d-%d" % (g + 1, g * NSITES + 1, (g + 1) * NSITES) for g in range(NGENES))
        with open(os.path.join(work, "v.nex"), "w") as f:
            f.write("#NEXUS\nbegin data; dimensions ntax=%d nchar=%d; format datatype=dna; matrix\n%s;\nend;\n"
                    "begin trees; tree t = [&R] %s; end;\nbegin vorn; set criterion=likelihood outwidth=200;\n"
                    "lset nst=1 basefreq=equal rates=equal pinvar=0;\ncharpartition genes = %s;\n"
                    "clockchecker partition=genes showPartition=no;\nend;\nquit;\n" %
                    (NTAX, NGENES * NSITES, matrix, rooted, ptn))
        for g, rows in enumerate(genes):
            d = os.path.join(work, "g%d" % (g + 1))
            os.mkdir(d)
            with open(os.path.join(d, "a.phy"), "w") as f:
                f.write("%d %d\n" % (NTAX, NSITES) + "".join("%s  %s\n" % (t, rows[t]) for t in taxa))
            for clock, shape in ((1, rooted), (0, unrooted)):
                with open(os.path.join(d, "t%d.nwk" % clock), "w") as f:
                    f.write("%d 1\n%s;\n" % (NTAX, shape))
                with open(os.path.join(d, "c%d.ctl" % clock), "w") as f:
                    f.write("seqfile = a.phy\ntreefile = t%d.nwk\noutfile = out%d.txt\nnoisy = 0\nverbose = 0\n"
                            "runmode = 0\nmodel = 0\nMgene = 0\nclock = %d\nfix_kappa = 1\nkappa = 2\n"
                            "fix_alpha = 1\nalpha = 0\nMalpha = 0\nncatG = 4\ngetSE = 0\nRateAncestor = 0\n"
                            "Small_Diff = 1e-7\ncleandata = 0\nmethod = 0\n" % (clock, clock, clock))

        def run_vorn():
            env = dict(os.environ, HOME=work)
            return subprocess.run([vorn, "-n", "v.nex"], cwd=work, env=env, stdin=subprocess.DEVNULL,
                                  capture_output=True, text=True, check=True).stdout

        def run_baseml():
            for g in range(NGENES):
                for clock in (1, 0):
                    subprocess.run(["baseml", "c%d.ctl" % clock], cwd=os.path.join(work, "g%d" % (g + 1)),
                                   capture_output=True, check=True)
        ours, theirs, out = [], [], ""
        for _ in range(runs):
            t, out = child_cpu(run_vorn)
            ours.append(t)
            theirs.append(child_cpu(run_baseml)[0])
        worst, rejected = 0.0, 0
        for g in range(NGENES):
            m = re.search(r"^g%d\s+\d+\s+\d+\s+\d+\s+\d+\s+(\d+\.\d+)\s+(\d+\.\d+)\s+\S+\s+(\d\.\d+)" % (g + 1), out,
                          re.M)
            if not m:
                raise SystemExit("no row for gene %d:\n%s" % (g + 1, out[-3000:]))
            rejected += float(m.group(3)) < 0.05
            for k, clock in ((1, 1), (2, 0)):
                with open(os.path.join(work, "g%d" % (g + 1), "out%d.txt" % clock)) as f:
                    peer = -float(re.search(r"lnL\(ntime:\s*\d+\s+np:\s*\d+\):\s*(-?[0-9.]+)", f.read()).group(1))
                worst = max(worst, abs(float(m.group(k)) - peer))
                if abs(float(m.group(k)) - peer) > 0.01:
                    print("gene %d, %s: -lnL %s, baseml %.4f" % (g + 1, "clock" if clock else "no clock",
                                                                m.group(k), peer))
        a, b = statistics.median(ours), statistics.median(theirs)
        print("vorn ClockChecker, %d genes x %d taxa x %d sites: %.2f s CPU (median of %d)" %
              (NGENES, NTAX, NSITES, a, runs))
        print("baseml clock=1 and clock=0 per gene (%d runs): %.2f s CPU (median of %d)" % (2 * NGENES, b, runs))
        print("ratio vorn / baseml: %.3f" % (a / b))
        print("largest per-gene -lnL difference from baseml: %.4f; genes rejecting the clock (P < 0.05): %d" %
              (worst, rejected))
        return 0
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
