#!/usr/bin/python3
"""LScores under GTR+G4 (rates and shape estimated, empirical frequencies)
beside RAxML's `raxmlHPC -f e -m GTRGAMMA` on the same fixed tree: the
20-taxon data set simulated for the likelihood search case (tests/e2e/
hsearch_likelihood.nex) on its true tree. VORN's optimised -ln L must be at
least as good as RAxML's (within 0.01); both wall times are shown.

Usage: likelihood_vs_raxml.py VORN_BINARY (a Release build: the Debian
raxmlHPC takes minutes here, too long for the test suite). Exit status 77
without raxmlHPC."""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

CASE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e", "hsearch_likelihood.nex")


def main():
    vorn = sys.argv[1]
    if shutil.which("raxmlHPC") is None:
        print("raxmlHPC is not installed")
        return 77
    text = open(CASE).read()
    # The comment lists the two sides of the root; joined they are the tree.
    tree = "(" + re.search(r"True tree: (\(.*\))[.;]?\]", text).group(1) + ");"
    matrix = re.search(r"matrix\n(.*?)\n;", text, re.S).group(1)
    rows = [line.split() for line in matrix.strip().split("\n")]
    nchar = len(rows[0][1])
    work = tempfile.mkdtemp(prefix="vorn_lsc_raxml_")
    try:
        with open(os.path.join(work, "a.phy"), "w") as f:
            f.write("%d %d\n" % (len(rows), nchar))
            for name, seq in rows:
                f.write("%s %s\n" % (name, seq))
        with open(os.path.join(work, "t.nwk"), "w") as f:
            f.write(tree + "\n")
        with open(os.path.join(work, "run.nex"), "w") as f:
            f.write("#NEXUS\nbegin data;\n dimensions ntax=%d nchar=%d;\n format datatype=dna;\n matrix\n"
                    % (len(rows), nchar))
            for name, seq in rows:
                f.write(" %s %s\n" % (name, seq))
            f.write(";\nend;\nbegin trees;\n tree t = [&U] %s\nend;\nbegin vorn;\n" % tree)
            f.write(" lset precision=double nst=6 rmatrix=estimate basefreq=empirical rates=gamma ncat=4"
                    " shape=estimate;\n lscores;\nend;\n")
        start = time.perf_counter()
        out = subprocess.run([vorn, "-n", "run.nex"], cwd=work, capture_output=True, text=True).stdout
        vorn_wall = time.perf_counter() - start
        m = re.search(r"^-ln L +([0-9.]+)", out, re.M)
        if not m:
            print(out)
            print("no -ln L row")
            return 1
        ours = float(m.group(1))
        start = time.perf_counter()
        subprocess.run(["raxmlHPC", "-f", "e", "-t", "t.nwk", "-m", "GTRGAMMA", "-s", "a.phy", "-n", "x"],
                       cwd=work, capture_output=True, check=True)
        peer_wall = time.perf_counter() - start
        info = open(os.path.join(work, "RAxML_info.x")).read()
        peer = -float(re.search(r"Final GAMMA\s+likelihood: (-?[0-9.]+)", info).group(1))
        ok = ours <= peer + 0.01
        print("GTR+G4 -ln L: vorn %.5f raxmlHPC %.5f %s" % (ours, peer, "ok" if ok else "WORSE"))
        print("wall seconds: vorn %.2f raxmlHPC %.2f, ratio %.3f" % (vorn_wall, peer_wall, vorn_wall / peer_wall))
        return 0 if ok else 1
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
