#!/usr/bin/env python3
"""AutoModel reports each model's best fit, never worse than a nested model.

Usage: automodel_vs_refit.py VORN

On short alignments (6 taxa x 40 sites given, and random 5-8 taxa x 40
sites) the likelihood surface has several optima, and a fit started from a
related model's values can stop in a poorer one. AutoModel (the j3 set) is
run on a fixed tree and its table checked: no model scores worse than one
nested in it (JC in F81 and K80, those in HKY, K80 in SYM, HKY and SYM in
GTR; equal rates in +I and +G, those in +I+G); GTR, GTR+G and SYM score no
worse than LScores fitting the same model on the same tree; and, where
IQ-TREE is installed, GTR+G no worse than its fit with estimated
frequencies (`-te -m GTR+FO+G`).
"""
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
from vorn_run import cpu_limit  # noqa: E402

# A fit's tolerance, and the rounding of the printed scores.
TOL = 2e-4
# LScores fits from its own start, AutoModel from related fits: the two may
# stop apart by a little more than either fit's tolerance on these surfaces.
REFIT_TOL = 0.01
SIX = {"a": "GGATCACAGTCTACACTGCTCACTCCAACCCCGGCCCCTG", "b": "AGTCCGAGGAGAGGGTGCTTCAGAGTATGTATACCACTGG",
       "c": "GTAGGATACGGCGGAGGGCACGTCAATACGGTTCAATGCC", "d": "CTACTGCATGCTCTTGTGGTTCATCTGCATGGAGAGGGTG",
       "e": "GGCATGGGTGGGGGTGCTGGCCCGTGATCTGGACCTCCCA", "f": "TCCACAGCTCATTGTACCGAGTGTAGAGAGGGGCTTGTCC"}
ROWS = {"JC": (0, False), "F81": (0, True), "K80": (1, False), "HKY": (1, True), "SYM": (2, False), "GTR": (2, True)}
REFITS = {"GTR": "nst=6 rmatrix=estimate basefreq=estimate rates=equal pinvar=0",
          "GTR+G": "nst=6 rmatrix=estimate basefreq=estimate rates=gamma shape=estimate pinvar=0",
          "SYM": "nst=6 rmatrix=estimate basefreq=equal rates=equal pinvar=0"}


def nests(outer, inner):
    """Whether model `outer` (a name such as HKY+G) can take every value of `inner`."""
    (ro, *vo), (ri, *vi) = outer.split("+"), inner.split("+")
    (co, fo), (ci, fi) = ROWS[ro], ROWS[ri]
    rates = co == ci or ci == 0 or (ci == 1 and co == 2)
    return outer != inner and set(vi) <= set(vo) and rates and (fo or not fi)


def random_set(seed):
    rng = random.Random(seed)
    names = ["t%d" % i for i in range(rng.randint(5, 8))]
    seqs = {k: "".join(rng.choice("ACGT") for _ in range(40)) for k in names}
    nodes = names[:]
    while len(nodes) > 3:
        a, b = (nodes.pop(rng.randrange(len(nodes))) for _ in range(2))
        nodes.append("(%s,%s)" % (a, b))
    return seqs, "(" + ",".join(nodes) + ")"


def run(vorn, work, seqs, tree, commands):
    path = os.path.join(work, "in.nex")
    with open(path, "w") as f:
        f.write("#NEXUS\nbegin data; dimensions ntax=%d nchar=40; format datatype=dna; matrix\n%s;\nend;\n"
                "begin trees; tree t = [&U] %s; end;\nbegin vorn; set criterion=likelihood; %s end;\n"
                % (len(seqs), "\n".join("%s %s" % kv for kv in seqs.items()), tree, commands))
    out = subprocess.run([vorn, "-n", path], capture_output=True, text=True, preexec_fn=cpu_limit(300),
                         cwd=work).stdout
    return out


def iqtree_gtr_g(iq, work, seqs, tree):
    with open(os.path.join(work, "a.phy"), "w") as f:
        f.write("%d 40\n" % len(seqs) + "".join("%s  %s\n" % kv for kv in seqs.items()))
    with open(os.path.join(work, "a.tre"), "w") as f:
        f.write(tree + ";\n")
    subprocess.run([iq, "-s", "a.phy", "-te", "a.tre", "-m", "GTR+FO+G", "-nt", "1", "-redo", "-quiet", "-pre",
                    "iq"], capture_output=True, cwd=work)
    with open(os.path.join(work, "iq.iqtree")) as f:
        return -float(re.search(r"Log-likelihood of the tree: (\S+)", f.read()).group(1))


def main():
    vorn = os.path.abspath(sys.argv[1])
    iq = shutil.which("iqtree2") or shutil.which("iqtree")
    sets = [(SIX, "((a,b),c,(d,(e,f)))")] + [random_set(seed) for seed in (1, 9, 19)]
    faults = []
    with tempfile.TemporaryDirectory() as work:
        for n, (seqs, tree) in enumerate(sets):
            out = run(vorn, work, seqs, tree, "automodel modelset=j3 AIC=yes AICc=no BIC=no lset=no;")
            table = dict(re.findall(r"^\s+\d+\s+(\S+)\s+(\d+\.\d+)\s+\d+\s+\d+\s+\S+$", out, re.M))
            fits = {name: float(v) for name, v in table.items()}
            if len(fits) != 24:
                faults.append("set %d: AutoModel table has %d rows" % (n, len(fits)))
                continue
            for outer in fits:
                for inner in fits:
                    if nests(outer, inner) and fits[outer] > fits[inner] + TOL:
                        faults.append("set %d: %s %.5f worse than nested %s %.5f"
                                      % (n, outer, fits[outer], inner, fits[inner]))
            refit = run(vorn, work, seqs, tree, " ".join("lset %s; lscores 1;" % c for c in REFITS.values()))
            for name, score in zip(REFITS, re.findall(r"-ln L\s+(\S+)", refit)):
                if fits[name] > float(score) + REFIT_TOL:
                    faults.append("set %d: AutoModel %s %.5f, LScores %s" % (n, name, fits[name], score))
            if iq:
                peer = iqtree_gtr_g(iq, work, seqs, tree)
                print("set %d: GTR+G AutoModel %.5f IQ-TREE %.5f" % (n, fits["GTR+G"], peer))
                if n == 0 and fits["GTR+G"] > peer + 0.01:
                    faults.append("set 0: GTR+G %.5f, IQ-TREE %.5f" % (fits["GTR+G"], peer))
    for fault in faults:
        print(fault)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
