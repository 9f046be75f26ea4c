#!/usr/bin/python3
"""LScores at fixed branch lengths and fixed model parameters against
`iqtree2 -te t.nwk -blfix` with the same model written out in full.

DNA: the first 300 sites of the 12-taxon example, and a copy of it with IUPAC
ambiguity codes, gaps and missing cells, under JC, K2P, F81, HKY, F84 (as the
GTR rates IQ-TREE needs for it, from the ti/tv ratio), GTR, gamma with mean
and median rates and 6 categories, +I and +I+G; empirical and estimated base
frequencies; two likelihood threads; site rates from a rate set, checked as two IQ-TREE runs on the
two site classes with the tree's lengths scaled by each class's rate.
Protein: a 10-taxon alignment simulated here with B, Z and X cells, under LG
with its own frequencies and +G4. Every -ln L runs in double precision and
must agree to 1e-6 relative; with frequencies estimated on both sides, to
0.01 (two optimisers). Skips (status 77) without iqtree2."""
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile

from vorn_run import usable_processors

SRC = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "examples")
FREQS = (0.1, 0.2, 0.3, 0.4)
TRATIO = 1.5
PI_R, PI_Y = FREQS[0] + FREQS[2], FREQS[1] + FREQS[3]
S = FREQS[0] * FREQS[2] + FREQS[1] * FREQS[3]
# The ti/tv ratio as HKY's kappa, and as the F84 K turned into the two
# transition exchangeabilities of a TN93-shaped GTR.
KAPPA = TRATIO * PI_R * PI_Y / S
F84_K = (TRATIO * PI_R * PI_Y - S) / (FREQS[0] * FREQS[2] / PI_R + FREQS[1] * FREQS[3] / PI_Y)
F84_AG, F84_CT = 1 + F84_K / PI_R, 1 + F84_K / PI_Y

USER_F = "basefreq=(0.1 0.2 0.3)"
IQ_F = "+F{0.1,0.2,0.3,0.4}"
GTR = "nst=6 rmatrix=(1 2 1 1 3) " + USER_F
IQ_GTR = "GTR{1,2,1,1,3}" + IQ_F
# (label, data set, LSet settings, IQ-TREE model and options)
DNA_CASES = [
    ("JC", "dna", "nst=1 basefreq=equal rates=equal", ["JC"]),
    ("K2P", "dna", "nst=2 tratio=1.5 basefreq=equal rates=equal", ["K80{3}"]),
    ("F81", "dna", "nst=1 rates=equal " + USER_F, ["F81" + IQ_F]),
    ("HKY", "dna", "nst=2 tratio=1.5 rates=equal " + USER_F, ["HKY{%.12g}%s" % (KAPPA, IQ_F)]),
    ("F84", "dna", "nst=2 variant=F84 tratio=1.5 rates=equal " + USER_F,
     ["GTR{1,%.12g,1,1,%.12g}%s" % (F84_AG, F84_CT, IQ_F)]),
    ("GTR", "dna", GTR + " variant=HKY rates=equal", [IQ_GTR]),
    ("GTR+F", "dna", "nst=6 rmatrix=(1 2 1 1 3) basefreq=empirical rates=equal", ["GTR{1,2,1,1,3}+F"]),
    ("GTR+G mean", "dna", GTR + " rates=gamma shape=0.5 ncat=4 repRate=mean", [IQ_GTR + "+G4{0.5}"]),
    ("GTR+G median", "dna", GTR + " rates=gamma shape=0.5 ncat=4 repRate=median",
     [IQ_GTR + "+G4{0.5}", "--gamma-median"]),
    ("GTR+G6", "dna", GTR + " rates=gamma shape=0.5 ncat=6 repRate=mean", [IQ_GTR + "+G6{0.5}"]),
    ("GTR+I", "dna", GTR + " rates=equal pinvar=0.2", [IQ_GTR + "+I{0.2}"]),
    ("GTR+I+G", "dna", GTR + " rates=gamma shape=0.5 ncat=4 pinvar=0.2", [IQ_GTR + "+I{0.2}+G4{0.5}"]),
    ("GTR+I+G iupac", "amb", GTR + " rates=gamma shape=0.5 ncat=4 pinvar=0.2", [IQ_GTR + "+I{0.2}+G4{0.5}"]),
    ("HKY iupac", "amb", "nst=2 tratio=1.5 rates=equal pinvar=0 " + USER_F,
     ["HKY{%.12g}%s" % (KAPPA, IQ_F)]),
    ("GTR+FO", "dna", "nst=6 rmatrix=(1 2 1 1 3) basefreq=estimate rates=equal", ["GTR{1,2,1,1,3}+FO"]),
    ("GTR+I+G 2 threads", "dna", GTR + " rates=gamma shape=0.5 ncat=4 pinvar=0.2 nthreads=2",
     [IQ_GTR + "+I{0.2}+G4{0.5}"]),
    ("GTR+FO+I", "dna", "nst=6 rmatrix=(1 2 1 1 3) basefreq=estimate pinvar=0.2", ["GTR{1,2,1,1,3}+FO+I{0.2}"]),
]
SITE_RATES = (2.0, 0.5)  # sites 1-150 and 151-300, scaled to a mean of 1


def write_phy(path, rows):
    with open(path, "w") as f:
        f.write("%d %d\n" % (len(rows), len(rows[0][1])))
        for name, seq in rows:
            f.write("%s %s\n" % (name, seq))


def ambiguous(rows):
    """The same rows with about one cell in 25 an ambiguity code, a gap or a
    missing cell."""
    rnd = random.Random(7)
    out = []
    for name, seq in rows:
        cells = list(seq)
        for i in range(len(cells)):
            if rnd.random() < 0.04:
                cells[i] = rnd.choice("RYKMSWBDHVN-?")
        out.append((name, "".join(cells)))
    return out


def simulate_protein(tree_text, ntax, nchar):
    """Sequences evolved down the example's tree shape (a crude substitution
    process; any data serve a comparison at fixed parameters), with B, Z and
    X cells sprinkled in."""
    rnd = random.Random(11)
    aas = "ARNDCQEGHILKMFPSTWYV"
    lengths = [float(x) for x in re.findall(r":([0-9.]+)", tree_text)]
    root = [rnd.choice(aas) for _ in range(nchar)]
    rows = []
    for t in range(ntax):
        p = min(0.9, 2.0 * lengths[t % len(lengths)] + 0.05 * (t % 4))
        seq = [rnd.choice(aas) if rnd.random() < p else c for c in root]
        for i in range(nchar):
            if rnd.random() < 0.02:
                seq[i] = rnd.choice("BZX")
        rows.append(("t%d" % t, "".join(seq)))
    return rows


def vorn_scores(vorn, work, datatype, rows, tree, settings, block=""):
    """-ln L of each LScores run, one per LSet line; `block` (a rate set)
    goes after the data."""
    with open(os.path.join(work, "run.nex"), "w") as f:
        f.write("#NEXUS\nbegin data;\n dimensions ntax=%d nchar=%d;\n" % (len(rows), len(rows[0][1])))
        f.write(" format datatype=%s missing=? gap=-;\n matrix\n" % datatype)
        for name, seq in rows:
            f.write(" %s %s\n" % (name, seq))
        f.write(";\nend;\n%sbegin trees;\n tree t = [&U] %s\nend;\nbegin vorn;\n" % (block, tree))
        for s in settings:
            # Every run states what it needs; the rest goes back to
            # no invariable sites and equal rates.
            f.write(" lset userBrLens=yes precision=double pinvar=0 rates=equal %s;\n lscores;\n" % s)
        f.write("end;\n")
    out = subprocess.run([vorn, "-n", "run.nex"], cwd=work, capture_output=True, text=True).stdout
    scores = [float(m) for m in re.findall(r"^-ln L +([0-9.]+)", out, re.M)]
    if len(scores) != len(settings):
        print(out)
    return scores


def iqtree_score(work, phy, tree_file, args, seqtype=None):
    cmd = ["iqtree2", "-s", phy, "-te", tree_file, "-blfix", "-nt", "1", "-quiet", "-redo", "-pre", "iq", "-m"]
    cmd += args
    if seqtype:
        cmd += ["-st", seqtype]
    subprocess.run(cmd, cwd=work, capture_output=True, check=True)
    report = open(os.path.join(work, "iq.iqtree")).read()
    return -float(re.search(r"Log-likelihood of the tree: (-?[0-9.]+)", report).group(1))


def scaled(tree, factor):
    return re.sub(r":([0-9.]+)", lambda m: ":%.12g" % (float(m.group(1)) * factor), tree)


def compare(label, ours, peer, rel):
    ok = abs(ours - peer) <= rel * peer
    print("%-18s vorn %.6f iqtree %.6f %s" % (label, ours, peer, "ok" if ok else "DIFFERS"))
    return 0 if ok else 1


def main():
    vorn = sys.argv[1]
    if shutil.which("iqtree2") is None:
        print("iqtree2 is not installed")
        return 77
    work = tempfile.mkdtemp(prefix="vorn_lsfix_iq_")
    try:
        lines = open(os.path.join(SRC, "lik12.phy")).read().split("\n")
        ntax = int(lines[0].split()[0])
        rows = [(l.split()[0], l.split()[1][:300]) for l in lines[1:1 + ntax]]
        data = {"dna": rows, "amb": ambiguous(rows)}
        tree = open(os.path.join(SRC, "lik12.nwk")).read().strip()
        for key, r in data.items():
            write_phy(os.path.join(work, key + ".phy"), r)
        shutil.copy(os.path.join(SRC, "lik12.nwk"), os.path.join(work, "t.nwk"))

        failures = 0
        # The program refuses more likelihood threads than processors it may
        # use, so a threaded case is left out where they are too few.
        usable = usable_processors()
        runnable = []
        for case in DNA_CASES:
            threads = int((re.findall(r"nthreads=(\d+)", case[2]) or ["1"])[0])
            if threads <= usable:
                runnable.append(case)
            else:
                print("%-18s skipped: needs %d processors, this process may use %d" % (case[0], threads, usable))
        for key in data:
            cases = [c for c in runnable if c[1] == key]
            ours = vorn_scores(vorn, work, "dna", data[key], tree, [c[2] for c in cases])
            if len(ours) != len(cases):
                print("%s: %d scores for %d runs" % (key, len(ours), len(cases)))
                return 1
            for (label, _, _, iq), score in zip(cases, ours):
                rel = 1e-2 / score if "+FO" in iq[0] else 1e-6
                failures += compare(label, score, iqtree_score(work, key + ".phy", "t.nwk", iq), rel)

        # Site rates: a rate set of 2 on the first half and 0.5 on the
        # second, scaled to average 1 over the sites (1.6 and 0.4), is the
        # sum of the halves' scores on trees scaled by those rates.
        rs = "begin assumptions;\n rateset halves = %g: 1-150, %g: 151-300;\nend;\n" % SITE_RATES
        ours = vorn_scores(vorn, work, "dna", rows, tree, ["nst=1 basefreq=equal rates=siteSpec siteRates=rateset:halves"],
                           rs)
        ours = ours[0] if ours else None
        peer = 0.0
        mean = sum(SITE_RATES) / len(SITE_RATES)
        for half, rate in enumerate(r / mean for r in SITE_RATES):
            write_phy(os.path.join(work, "h.phy"), [(n, s[150 * half:150 * half + 150]) for n, s in rows])
            with open(os.path.join(work, "h.nwk"), "w") as f:
                f.write(scaled(tree, rate) + "\n")
            peer += iqtree_score(work, "h.phy", "h.nwk", ["JC"])
        failures += compare("JC site rates", ours, peer, 1e-6) if ours is not None else 1

        prot = simulate_protein(tree, ntax, 200)
        write_phy(os.path.join(work, "aa.phy"), prot)
        ours = vorn_scores(vorn, work, "protein", prot, tree,
                           ["aaRMatrix=LG aaFreq=intrinsic rates=gamma shape=0.6 ncat=4 pinvar=0"])
        if len(ours) != 1:
            return 1
        failures += compare("LG+G4", ours[0], iqtree_score(work, "aa.phy", "t.nwk", ["LG+G4{0.6}"], "AA"), 1e-6)
        return 1 if failures else 0
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
