#!/usr/bin/python3
"""AutoModel against IQ-TREE's model test on a fixed tree: the first 120
sites of the 12-taxon example, modelset=j3 with the four rate variants and
empirical frequencies, against
iqtree2 -m TESTONLY -mset JC,F81,K2P,HKY,SYM,GTR -mrate E,I,G,I+G.
- 24 rows numbered 1-24 in table order, K equal to IQ-TREE's df;
- each -lnL within 0.05 of IQ-TREE's; a +I+G row within 0.05 of the best of
  IQ-TREE's +I, +G and +I+G fits, or better than it (IQ-TREE's +I+G fits
  sometimes stop above its +G fit);
- AIC, AICc and BIC as IQ-TREE's criteria of the same fits;
- the same BIC winner, applied with its LSet line and shown by ShowModels;
- all of it with the tree read unrooted and read rooted (a non-clock model
  estimates one length for the two root branches: the same K);
- with a second tree in memory (t0 and t7 swapped), "trees=2" fits that
  tree, as IQ-TREE does given it, and the next call without the option
  fits it again.
Skips (status 77) when iqtree2 is not installed."""
import math
import os
import re
import shutil
import subprocess
import sys
import tempfile

SRC = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "examples")
NSITE = 120
PEER_NAME = {"K80": "K2P", "F81": "F81+F", "HKY": "HKY+F", "GTR": "GTR+F"}


def peer_name(ours):
    base, _, rest = ours.partition("+")
    name = PEER_NAME.get(base, base)
    for part in rest.split("+") if rest else []:
        name += "+G4" if part == "G" else "+" + part
    return name


def main():
    vorn = sys.argv[1]
    if shutil.which("iqtree2") is None:
        print("iqtree2 is not installed")
        return 77
    work = tempfile.mkdtemp(prefix="vorn_automodel_")
    failures = 0

    def check(label, ok, detail=""):
        nonlocal failures
        if not ok:
            print("%-28s DIFFERS %s" % (label, detail))
        failures += not ok
    try:
        lines = open(os.path.join(SRC, "lik12.phy")).read().split("\n")
        ntax = int(lines[0].split()[0])
        rows = [l.split() for l in lines[1:1 + ntax]]
        tree = open(os.path.join(SRC, "lik12.nwk")).read().strip()
        with open(os.path.join(work, "a.phy"), "w") as f:
            f.write("%d %d\n" % (ntax, NSITE))
            for name, seq in rows:
                f.write("%s %s\n" % (name, seq[:NSITE]))
        shutil.copy(os.path.join(SRC, "lik12.nwk"), os.path.join(work, "t.tre"))
        def peer_fits(tree_file, prefix):
            subprocess.run(["iqtree2", "-s", "a.phy", "-te", tree_file, "-m", "TESTONLY", "-mset",
                            "JC,F81,K2P,HKY,SYM,GTR", "-mrate", "E,I,G,I+G", "-nt", "1", "-quiet", "-redo", "-pre",
                            prefix], cwd=work, capture_output=True, check=True)
            fits = {}
            for line in open(os.path.join(work, prefix + ".log")):
                f = line.split()
                if len(f) == 7 and f[0].isdigit():
                    fits[f[1]] = [float(x) for x in f[2:]]  # -lnL, df, AIC, AICc, BIC
            return fits

        def run_vorn(trees, commands):
            with open(os.path.join(work, "run.nex"), "w") as f:
                f.write("#NEXUS\nbegin data;\n dimensions ntax=%d nchar=%d;\n format datatype=dna;\n matrix\n" % (ntax, NSITE))
                for name, seq in rows:
                    f.write(" %s %s\n" % (name, seq[:NSITE]))
                f.write(";\nend;\nbegin trees;\n%s\nend;\nbegin vorn;\n set criterion=likelihood;\n%s\nend;\n"
                        % (trees, commands))
            return subprocess.run([vorn, "-n", "run.nex"], cwd=work, capture_output=True, text=True).stdout

        def check_table(label, table, peer):
            ours = []
            for line in table.split("\n"):
                f = line.split()
                if len(f) == 8 and f[0].isdigit():
                    ours.append((int(f[0]), f[1], [float(x) for x in f[2:]]))  # -lnL, subst, total, AIC, AICc, BIC
            # Models fitted again are shown again below the table: their
            # later row is their score.
            check(label + " 24 rows numbered 1-24", [n for n, _, _ in ours[:24]] == list(range(1, 25)), str(len(ours)))
            ours = sorted({n: (n, name, v) for n, name, v in ours}.values())
            for number, name, (lnl, _, k, aic, aicc, bic) in ours:
                ref = peer.get(peer_name(name))
                if ref is None:
                    check(name, False, "no IQ-TREE row %s" % peer_name(name))
                    continue
                if name.endswith("+I+G"):
                    base = peer_name(name)[:-len("+I+G4")]
                    best = min(peer[base + s][0] for s in ("+I", "+G4", "+I+G4"))
                    check(label + name + " -lnL", lnl <= best + 0.05, "%.4f vs best %.4f" % (lnl, best))
                else:
                    check(label + name + " -lnL", abs(lnl - ref[0]) <= 0.05, "%.4f vs %.4f" % (lnl, ref[0]))
                check(label + name + " K", k == ref[1], "%d vs %d" % (k, ref[1]))
                # The criteria of our own fit, computed as IQ-TREE does.
                n = NSITE
                want = (2 * lnl + 2 * k, 2 * lnl + 2 * k + 2 * k * (k + 1) / (n - k - 1), 2 * lnl + k * math.log(n))
                for crit, got, w in zip(("AIC", "AICc", "BIC"), (aic, aicc, bic), want):
                    check("%s%s %s" % (label, name, crit), abs(got - w) < 2e-4, "%.5f vs %.5f" % (got, w))
            return ours

        peer = peer_fits("t.tre", "iq")
        for reading in ("[&U]", "[&R]"):
            out = run_vorn(" tree t = %s %s" % (reading, tree),
                           " automodel modelset=j3 stateFreq=empirical AIC AICc BIC lset=BIC;\n showmodels;")
            table = out.split("Evaluating models for tree 1:")[1].split("Model selection results")[0]
            ours = check_table(reading, table, peer)
            best_ours = min(ours, key=lambda r: r[2][5])[1]
            best_peer = min(peer, key=lambda m: peer[m][4])
            check("BIC winner", peer_name(best_ours) == best_peer, "%s vs %s" % (best_ours, best_peer))
            applied = re.search(r"Applying command to set (\S+) model chosen by BIC:\n\s+(LSet[^;]*;)", out)
            check("LSet applied", applied is not None and applied.group(1) == best_ours)
            shown = out.split("Currently defined models:")[-1]
            check("ShowModels shows it", "Model correspondence = " + best_ours.split("+")[0].replace("K80", "K80 (=K2P)")
                  in shown, shown[:400])
            print("%d rows checked against iqtree2, BIC winner %s" % (len(ours), best_ours))

        swapped = tree.replace("t0:", "tX:").replace("t7:", "t0:").replace("tX:", "t7:")
        with open(os.path.join(work, "u.tre"), "w") as f:
            f.write(swapped + "\n")
        peer = peer_fits("u.tre", "iqu")
        out = run_vorn(" tree t = [&U] %s\n tree u = [&U] %s" % (tree, swapped),
                       " automodel trees=2 modelset=j3 stateFreq=empirical AIC AICc BIC lset=no;\n automodel;")
        runs = out.split("Evaluating models for tree ")[1:]
        check("trees=2 kept for the next call", [r.split(":")[0] for r in runs] == ["2", "2"],
              str([r.split(":")[0] for r in runs]))
        ours = check_table("tree 2 ", runs[0].split("Model selection results")[0], peer) if runs else []
        print("%d rows of tree 2 checked against iqtree2" % len(ours))
        return 1 if failures else 0
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
