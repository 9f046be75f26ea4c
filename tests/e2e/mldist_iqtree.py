#!/usr/bin/python3
"""Maximum-likelihood distances on the first 200 sites of the 12-taxon
example: under JC each pair equals -3/4 ln(1 - 4p/3) (1e-6); under HKY with
kappa 4 and fixed frequencies each pair equals IQ-TREE's .mldist (2e-5; its
file has 7 decimals). The IQ-TREE part skips when iqtree2 is not installed."""
import math
import os
import shutil
import subprocess
import sys
import tempfile

SRC = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "examples")


def vorn_distances(vorn, work, rows, lset):
    with open(os.path.join(work, "run.nex"), "w") as f:
        f.write("#NEXUS\nbegin data;\n dimensions ntax=%d nchar=200;\n format datatype=dna;\n matrix\n" % len(rows))
        for name, seq in rows:
            f.write(" %s %s\n" % (name, seq))
        f.write(";\nend;\nbegin vorn;\n lset %s;\n dset distance=ml;\n"
                " savedist file=d.txt format=oneColumn replace;\nend;\n" % lset)
    subprocess.run([vorn, "-n", "run.nex"], cwd=work, capture_output=True, check=False)
    out = {}
    for line in open(os.path.join(work, "d.txt")):
        a, b, v = line.split()
        out[(a, b)] = out[(b, a)] = float(v)
    return out


def main():
    vorn = sys.argv[1]
    work = tempfile.mkdtemp(prefix="vorn_mldist_")
    failures = 0
    try:
        lines = open(os.path.join(SRC, "lik12.phy")).read().split("\n")
        ntax = int(lines[0].split()[0])
        rows = [(l.split()[0], l.split()[1][:200]) for l in lines[1:1 + ntax]]
        jc = vorn_distances(vorn, work, rows, "nst=1 basefreq=equal rates=equal")
        worst = 0.0
        for i, (a, sa) in enumerate(rows):
            for b, sb in rows[:i]:
                p = sum(x != y for x, y in zip(sa, sb)) / 200.0
                worst = max(worst, abs(jc[(a, b)] + 0.75 * math.log(1 - 4 * p / 3)))
        print("JC: largest difference from the closed form %.2e" % worst)
        failures += worst > 1e-6
        if shutil.which("iqtree2") is None:
            print("iqtree2 is not installed: HKY part skipped")
            return 1 if failures else 0
        # kappa 4 under these frequencies is the ti/tv ratio 1.92.
        hky = vorn_distances(vorn, work, rows, "nst=2 tratio=1.92 basefreq=(0.3 0.2 0.2) rates=equal")
        with open(os.path.join(work, "a.phy"), "w") as f:
            f.write("%d 200\n" % ntax)
            for name, seq in rows:
                f.write("%s %s\n" % (name, seq))
        subprocess.run(["iqtree2", "-s", "a.phy", "-m", "HKY{4}+F{0.3,0.2,0.2,0.3}", "-t", "BIONJ", "-nt", "1",
                        "-quiet", "-redo", "-pre", "iq"], cwd=work, capture_output=True, check=True)
        peer = open(os.path.join(work, "iq.mldist")).read().split("\n")
        n = int(peer[0])
        names = [l.split()[0] for l in peer[1:1 + n]]
        values = [list(map(float, l.split()[1:])) for l in peer[1:1 + n]]
        worst = max(abs(hky[(names[i], names[j])] - values[i][j]) for i in range(n) for j in range(i))
        print("HKY: largest difference from IQ-TREE %.2e" % worst)
        failures += worst > 2e-5
        return 1 if failures else 0
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
