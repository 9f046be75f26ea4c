#!/usr/bin/python3
"""AllTrees and BandB under the likelihood criterion against every tree
scored alone: GenerateTrees lists the 105 unrooted trees of six taxa and
LScores scores each; the exhaustive search must evaluate 105 trees and
report the smallest and largest -ln L of that list, and branch and bound
(bounding by partial trees) and HSearch must end on the smallest."""
import os
import re
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from vorn_run import run_vorn

HERE = os.path.dirname(os.path.abspath(__file__))


def main():
    vorn = sys.argv[1]
    source = open(os.path.join(HERE, "criterion_constraints.nex")).read()
    rows = re.findall(r"^(t[1-6]) ([ACGT]+)$", source, re.M)
    text = "#NEXUS\nbegin data;\ndimensions ntax=6 nchar=%d;\nformat datatype=dna;\nmatrix\n" % len(rows[0][1])
    text += "".join("%s %s\n" % r for r in rows) + ";\nend;\nbegin vorn;\n"
    text += ("set criterion=likelihood; lset nst=2 tratio=3 basefreq=empirical precision=double;\n"
             "generatetrees all; lscores all;\n"
             "alltrees fd=none; bandb; hsearch;\nend;\n")
    out = run_vorn(vorn, text).stdout
    scores = [float(x) for line in re.findall(r"^-ln L +(.*)$", out, re.M) for x in line.split()]
    evaluated = re.findall(r"^Number of trees evaluated = (\d+)", out, re.M)
    best = [float(x) for x in re.findall(r"^ *Score of best tree(?:\(s\))? found = ([\d.]+)", out, re.M)]
    worst = [float(x) for x in re.findall(r"^Score of worst tree found = ([\d.]+)", out, re.M)]
    failures = []
    if len(scores) != 105:
        failures.append("LScores gave %d scores, not 105" % len(scores))
    if evaluated != ["105"]:
        failures.append("AllTrees evaluated %s trees" % evaluated)
    if len(best) != 3 or len(worst) != 1:
        failures.append("reports missing: best %s worst %s" % (best, worst))
    elif scores:
        # Scores print with 5 decimals.
        for label, got in zip(("AllTrees", "BandB", "HSearch"), best):
            if abs(got - min(scores)) > 2e-5:
                failures.append("%s best %.5f, smallest -ln L of all trees %.5f" % (label, got, min(scores)))
        if abs(worst[0] - max(scores)) > 2e-5:
            failures.append("AllTrees worst %.5f, largest -ln L %.5f" % (worst[0], max(scores)))
    if failures:
        print(out)
        print("\n".join(failures))
        return 1
    print("105 trees; best %.5f, worst %.5f" % (min(scores), max(scores)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
