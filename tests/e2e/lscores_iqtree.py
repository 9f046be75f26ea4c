#!/usr/bin/python3
"""LScores against IQ-TREE on a fixed tree: the first 200 sites of the
12-taxon example under JC, HKY+G and GTR+I+G. The optimised -ln L must agree
within 0.01 and kappa, the shape and P_inv within 2% (P_inv as a difference
of 0.01 near zero). Skips (status 77) when iqtree2 is not installed."""
import os
import re
import shutil
import subprocess
import sys
import tempfile

SRC = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "examples")
MODELS = [
    ("JC", "nst=1 basefreq=equal rates=equal"),
    ("HKY+F+G4", "nst=2 tratio=estimate basefreq=empirical rates=gamma ncat=4 shape=estimate"),
    ("GTR+FO+I+G4", "nst=6 rmatrix=estimate basefreq=estimate rates=gamma ncat=4 shape=estimate pinvar=estimate"),
]


def main():
    vorn = sys.argv[1]
    if shutil.which("iqtree2") is None:
        print("iqtree2 is not installed")
        return 77
    work = tempfile.mkdtemp(prefix="vorn_lsc_iq_")
    try:
        lines = open(os.path.join(SRC, "lik12.phy")).read().split("\n")
        ntax = int(lines[0].split()[0])
        rows = [l.split() for l in lines[1:1 + ntax]]
        with open(os.path.join(work, "a.phy"), "w") as f:
            f.write("%d 200\n" % ntax)
            for name, seq in rows:
                f.write("%s %s\n" % (name, seq[:200]))
        tree = open(os.path.join(SRC, "lik12.nwk")).read().strip()
        shutil.copy(os.path.join(SRC, "lik12.nwk"), os.path.join(work, "t.nwk"))
        with open(os.path.join(work, "run.nex"), "w") as f:
            f.write("#NEXUS\nbegin data;\n dimensions ntax=%d nchar=200;\n format datatype=dna;\n matrix\n" % ntax)
            for name, seq in rows:
                f.write(" %s %s\n" % (name, seq[:200]))
            f.write(";\nend;\nbegin trees;\n tree t = [&U] %s\nend;\nbegin vorn;\n" % tree)
            for _, settings in MODELS:
                f.write(" lset %s;\n lscores;\n" % settings)
            f.write("end;\n")
        out = subprocess.run([vorn, "-n", "run.nex"], cwd=work, capture_output=True, text=True).stdout
        tables = out.split("Likelihood scores of tree(s) in memory:")[1:]
        if len(tables) != len(MODELS):
            print(out)
            print("expected %d tables" % len(MODELS))
            return 1
        failures = 0
        for (model, _), table in zip(MODELS, tables):
            subprocess.run(["iqtree2", "-s", "a.phy", "-te", "t.nwk", "-m", model, "-nt", "1", "-quiet", "-redo",
                            "--epsilon", "0.0001", "-pre", "iq"], cwd=work, capture_output=True, check=True)
            report = open(os.path.join(work, "iq.iqtree")).read()
            peer = {"lnL": -float(re.search(r"Log-likelihood of the tree: (-?[0-9.]+)", report).group(1))}
            m = re.search(r"A-G: ([0-9.]+)", report)
            if model.startswith("HKY") and m:
                peer["kappa"] = float(m.group(1))
            m = re.search(r"Gamma shape alpha: ([0-9.eE+-]+)", report)
            if m:
                peer["Shape"] = float(m.group(1))
            m = re.search(r"Proportion of invariable sites: ([0-9.eE+-]+)", report)
            if m:
                peer["P_inv"] = float(m.group(1))
            ours = {"lnL": float(re.search(r"^-ln L +([0-9.]+)", table, re.M).group(1))}
            for label in ("kappa", "Shape", "P_inv"):
                m = re.search(r"^ *%s +([0-9.]+)" % label, table, re.M)
                if m:
                    ours[label] = float(m.group(1))
            for key, value in peer.items():
                if key not in ours:
                    print("%s: no %s row" % (model, key))
                    failures += 1
                    continue
                tol = 0.01 if key in ("lnL", "P_inv") else 0.02 * value
                ok = abs(ours[key] - value) <= tol
                print("%-12s %-6s vorn %.6f iqtree %.6f %s" % (model, key, ours[key], value, "ok" if ok else "DIFFERS"))
                failures += not ok
        return 1 if failures else 0
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
