#!/usr/bin/python3
"""Simulated data against PAML's evolver (Debian package paml).

Both programs simulate 4 taxa x 10^5 sites under HKY+G4 (kappa 4, shape
0.5, frequencies A 0.3 C 0.2 G 0.2 T 0.3) on one tree; the counts of the
256 site patterns are compared by a two-sample chi-square test (cells with
fewer than 10 expected pooled). The test must not separate them at the 0.1%
level. Skipped (77) when evolver is not installed.
Usage: seqsim_evolver.py <vorn>
"""
import math
import os
import shutil
import subprocess
import sys
import tempfile

NSITES = 100000
TREE = "((a:0.1,b:0.2):0.05,(c:0.15,d:0.3):0.1)"
PI = {"A": 0.3, "C": 0.2, "G": 0.2, "T": 0.3}
KAPPA = 4.0

MCBASE = """ 0     * sequences in paml format (mc.paml)
 4321  * random number seed (odd number)

4 %d 1  * <# seqs>  <# nucleotide sites>  <# replicates>
-1         * <tree length, use -1 if tree below has absolute branch lengths>

%s;

4          * model: 0:JC69, 1:K80, 2:F81, 3:F84, 4:HKY85, 5:T92, 6:TN93, 7:REV
%g          * kappa or rate parameters in model
0.5  4     * <alpha>  <#categories for discrete gamma>

%g %g %g %g    * base frequencies
  T        C        A        G
""" % (NSITES, TREE, KAPPA, PI["T"], PI["C"], PI["A"], PI["G"])


def vorn_input():
    # The transition/transversion ratio of HKY with this kappa.
    pr, py = PI["A"] + PI["G"], PI["C"] + PI["T"]
    tratio = KAPPA * (PI["A"] * PI["G"] + PI["C"] * PI["T"]) / (pr * py)
    return """#NEXUS
begin taxa; dimensions ntax=4; taxlabels a b c d; end;
begin trees; tree t = [&R] %s; end;
begin vorn;
  lset nst=2 tratio=%.12g basefreq=(%g %g %g) rates=gamma shape=0.5 ncat=4 pinvar=0;
end;
begin dnasim;
  truetree source=memory treenum=1;
  simdata nchar=%d;
  beginsim nreps=1 seed=777 showModel=no;
    export file=sim.fas format=fasta replace;
  endsim;
end;
quit;
""" % (TREE, tratio, PI["A"], PI["C"], PI["G"], NSITES)


def patterns(rows):
    counts = {}
    for column in zip(*(rows[name] for name in "abcd")):
        key = "".join(column)
        counts[key] = counts.get(key, 0) + 1
    return counts


def read_fasta(path):
    rows, name = {}, None
    with open(path) as f:
        for line in f:
            line = line.strip()
            if line.startswith(">"):
                name = line[1:].split()[0]
                rows[name] = []
            elif line:
                rows[name].append(line.upper())
    return {k: "".join(v) for k, v in rows.items()}


def read_paml(path):
    rows = {}
    with open(path) as f:
        lines = [l.split() for l in f if l.strip()]
    for parts in lines[1:]:
        rows[parts[0]] = "".join(parts[1:]).upper()
    return rows


def chi2_upper(x, df):
    """Upper tail by the Wilson-Hilferty normal approximation."""
    z = ((x / df) ** (1.0 / 3) - (1 - 2.0 / (9 * df))) / math.sqrt(2.0 / (9 * df))
    return 0.5 * math.erfc(z / math.sqrt(2))


def main():
    vorn = os.path.abspath(sys.argv[1])
    evolver = shutil.which("paml-evolver")
    if not evolver:
        print("paml-evolver is not installed")
        return 77
    work = tempfile.mkdtemp(prefix="seqsim-peer-")
    try:
        with open(os.path.join(work, "MCbase.dat"), "w") as f:
            f.write(MCBASE)
        subprocess.run([evolver, "5", "MCbase.dat"], cwd=work, check=True, capture_output=True)
        with open(os.path.join(work, "sim.nex"), "w") as f:
            f.write(vorn_input())
        done = subprocess.run([vorn, "-n", "sim.nex"], cwd=work, capture_output=True, stdin=subprocess.DEVNULL)
        if done.returncode != 0:
            print(done.stdout.decode()[-2000:], done.stderr.decode())
            return 1
        ours = patterns(read_fasta(os.path.join(work, "sim.fas")))
        theirs = patterns(read_paml(os.path.join(work, "mc.paml")))
        n1, n2 = sum(ours.values()), sum(theirs.values())
        if n1 != NSITES or n2 != NSITES:
            print("site counts %d and %d, expected %d" % (n1, n2, NSITES))
            return 1
        chi2, cells, pooled = 0.0, 0, [0, 0]
        for key in sorted(set(ours) | set(theirs)):
            a, b = ours.get(key, 0), theirs.get(key, 0)
            if (a + b) / 2.0 < 10:
                pooled[0] += a
                pooled[1] += b
                continue
            e = (a + b) / 2.0
            chi2 += (a - e) ** 2 / e + (b - e) ** 2 / e
            cells += 1
        if sum(pooled) > 0:
            e = sum(pooled) / 2.0
            chi2 += (pooled[0] - e) ** 2 / e + (pooled[1] - e) ** 2 / e
            cells += 1
        p = chi2_upper(chi2, cells - 1)
        constant = sum(v for k, v in ours.items() if len(set(k)) == 1) / NSITES
        constant_peer = sum(v for k, v in theirs.items() if len(set(k)) == 1) / NSITES
        print("chi-square %.1f on %d df, p = %.3g; constant sites %.4f (evolver %.4f)"
              % (chi2, cells - 1, p, constant, constant_peer))
        return 0 if p > 0.001 else 1
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
