#!/usr/bin/python3
"""LScores on a 700-taxon caterpillar whose site likelihoods lie far below
1e-300 (random bases, every branch 0.3): -ln L in single precision with the
vector kernels (the factory setting) and in double precision, under JC and
K2P, equals a computation in log space here (partials normalised at every
node, the logarithms of the factors summed) to 1e-6 relative; without
rescaling (clRescale=0) the score is infinite: "Inf" in the table and
"infinity" in the scores file."""
import math
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile

NTAX, NCHAR, BRLEN = 700, 30, 0.3
TRATIO = 2.0  # K2P: kappa = 2 x the ti/tv ratio under equal frequencies


def caterpillar():
    """Newick text of ((..((t0,t1),t2)..),t699), every branch BRLEN."""
    tree = "(t0:%g,t1:%g" % (BRLEN, BRLEN)
    for i in range(2, NTAX - 1):
        tree = "(%s):%g,t%d:%g" % (tree, BRLEN, i, BRLEN)
    return "(%s):%g,t%d:%g);" % (tree, BRLEN, NTAX - 1, BRLEN)


def k2p_matrix(t, kappa):
    """P(t) of K2P with unit mean rate; states A C G T."""
    beta = 1.0 / (kappa + 2.0)
    e1 = math.exp(-4.0 * beta * t)
    e2 = math.exp(-2.0 * beta * (kappa + 1.0) * t)
    same, ts, tv = 0.25 + 0.25 * e1 + 0.5 * e2, 0.25 + 0.25 * e1 - 0.5 * e2, 0.25 - 0.25 * e1
    transition = {(0, 2), (2, 0), (1, 3), (3, 1)}
    return [[same if i == j else ts if (i, j) in transition else tv for j in range(4)] for i in range(4)]


def log_space_lnl(seqs, kappa):
    """-ln L on the caterpillar, each site's partials kept as a vector with
    its largest value 1 and the logarithm of the scale."""
    P = k2p_matrix(BRLEN, kappa)
    total = 0.0
    for c in range(NCHAR):
        def tip(t):
            return [1.0 if "ACGT"[i] == seqs[t][c] else 0.0 for i in range(4)]

        def through(x):
            return [sum(P[i][j] * x[j] for j in range(4)) for i in range(4)]

        def join(a, b, log_scale):
            x = [u * v for u, v in zip(through(a), through(b))]
            top = max(x)
            return [v / top for v in x], log_scale + math.log(top)

        x, scale = join(tip(0), tip(1), 0.0)
        for t in range(2, NTAX):
            x, scale = join(x, tip(t), scale)
        total -= math.log(0.25 * sum(x)) + scale
    return total


def main():
    vorn = sys.argv[1]
    rnd = random.Random(3)
    seqs = ["".join(rnd.choice("ACGT") for _ in range(NCHAR)) for _ in range(NTAX)]
    work = tempfile.mkdtemp(prefix="vorn_caterpillar_")
    try:
        with open(os.path.join(work, "run.nex"), "w") as f:
            f.write("#NEXUS\nbegin data;\n dimensions ntax=%d nchar=%d;\n format datatype=dna;\n matrix\n"
                    % (NTAX, NCHAR))
            for t, s in enumerate(seqs):
                f.write(" t%d %s\n" % (t, s))
            f.write(";\nend;\nbegin trees;\n tree c = [&U] %s\nend;\nbegin vorn;\n" % caterpillar())
            for nst in ("nst=1", "nst=2 tratio=%g" % TRATIO):
                f.write(" lset %s basefreq=equal rates=equal userBrLens=yes;\n lscores;\n" % nst)
                f.write(" lset precision=double;\n lscores;\n lset precision=single;\n")
            f.write(" lset clRescale=0;\n lscores / scoreFile=scores.txt replace;\nend;\n")
        out = subprocess.run([vorn, "-n", "run.nex"], cwd=work, capture_output=True, text=True).stdout
        scores = re.findall(r"^-ln L +(\S+)", out, re.M)
        if len(scores) != 5:
            print(out)
            print("expected 5 scores, found %d" % len(scores))
            return 1
        failures = 0
        for i, (label, kappa) in enumerate((("JC", 1.0), ("K2P", 2.0 * TRATIO))):
            ref = log_space_lnl(seqs, kappa)
            for precision, text in zip(("single+vector", "double"), scores[2 * i:2 * i + 2]):
                ok = abs(float(text) - ref) <= 1e-6 * ref
                print("%-4s %-14s vorn %s log space %.5f %s" % (label, precision, text, ref,
                                                                 "ok" if ok else "DIFFERS"))
                failures += not ok
        row = open(os.path.join(work, "scores.txt")).read()
        ok = scores[4] == "Inf" and re.search(r"^1\tinfinity", row, re.M) is not None
        print("no rescaling: table %s, scores file %s" % (scores[4], "infinity" if ok else repr(row)))
        failures += not ok
        return 1 if failures else 0
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
