#!/usr/bin/python3
"""The Mk model on the partial trees of stepwise addition: on the beetle
matrix (characters that the first taxa placed leave constant) HSearch with
LogIter prints the iterations of every partial tree; each value printed
(the passes, the extra pass, the target and the approximation error) must
be a -ln L, not below 0. The searches, with the taxa added as they come, at
random, and each join fitted whole (no fast stepwise join), must end at AllTrees' score."""
import os
import re
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from vorn_run import run_vorn

HERE = os.path.dirname(os.path.abspath(__file__))
VALUES = re.compile(r"(?:pass \d+|extra pass):(-?[\d.]+)|target=(-?[\d.]+)\)|approximation error=(-?[\d.]+)%")


def main():
    vorn = sys.argv[1]
    data = open(os.path.join(HERE, "..", "..", "examples", "beetles_standard.nex")).read()
    searches = ("hsearch;", "hsearch addseq=random nreps=4 rseed=7;", "lset fastStep=no; hsearch;")
    failures = []
    bests = []
    for search in searches:
        out = run_vorn(vorn, data + "begin vorn;\nset criterion=likelihood;\nlset logiter=yes;\n%s\nend;\n"
                       % search).stdout
        values = [float(next(v for v in m.groups() if v is not None)) for m in VALUES.finditer(out)]
        if len(values) < 20:
            failures.append("%s: only %d iteration values printed" % (search, len(values)))
        negative = [v for v in values if v < 0]
        if negative:
            failures.append("%s: %d values below 0, e.g. %s" % (search, len(negative), negative[:3]))
        best = re.findall(r"^ *Score of best tree(?:\(s\))? found = ([\d.]+)", out, re.M)
        if len(best) != 1:
            failures.append("%s: no best score" % search)
        else:
            bests.append((search, float(best[0])))
    out = run_vorn(vorn, data + "begin vorn;\nset criterion=likelihood;\nalltrees fd=none;\nend;\n").stdout
    exact = re.findall(r"^ *Score of best tree(?:\(s\))? found = ([\d.]+)", out, re.M)
    if len(exact) != 1:
        failures.append("AllTrees: no best score")
    else:
        for search, best in bests:
            if abs(best - float(exact[0])) > 5e-6:
                failures.append("%s ends at %.5f, AllTrees at %s" % (search, best, exact[0]))
    for f in failures:
        print(f)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
