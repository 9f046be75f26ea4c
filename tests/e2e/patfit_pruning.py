#!/usr/bin/python3
"""PatFitTest without pooling against pattern probabilities pruned here.

Four taxa under JC with the tree's own branch lengths: each of the 256
pattern probabilities must equal Felsenstein pruning done in this script (to
the 6 printed decimals), the observed counts the script's own counts of the
included characters (a pattern absent from the data 0), the expected counts
N times the probability, and the totals line 1.000000, N and N. The same tree
read rooted, its inner branch split in two at the root, must give the same
table: the root's ancestor is no taxon and the two root edges act as one.

Usage: patfit_pruning.py <vorn>
"""
import itertools
import math
import random
import re
import sys

from vorn_run import run_vorn

NCHAR = 60
BR = {"a": 0.1, "b": 0.2, "c": 0.3, "d": 0.15, "inner": 0.05}
rng = random.Random(4801)
rows = {t: "".join(rng.choice("ACGT") for _ in range(NCHAR)) for t in "abcd"}
# A few copies of one column, so that some counts exceed 1.
for col in range(5):
    for t in "abcd":
        rows[t] = rows[t][:col] + rows[t][5] + rows[t][col + 1:]
excluded = {7, 8, 20}  # 1-based

nexus = """#NEXUS
begin data; dimensions ntax=4 nchar=%d; format datatype=dna;
matrix
%s
;
end;
begin trees; tree one = %s; end;
begin vorn;
  exclude %s;
  lset nst=1 basefreq=equal rates=equal pinvar=0 userbrlens=yes;
  patfittest pool=no;
  quit;
end;
"""
TREES = {
    "unrooted": "[&U] ((a:%g,b:%g):%g,c:%g,d:%g)" % (BR["a"], BR["b"], BR["inner"], BR["c"], BR["d"]),
    "rooted": "[&R] ((a:%g,b:%g):%g,(c:%g,d:%g):%g)" % (BR["a"], BR["b"], 0.3 * BR["inner"], BR["c"], BR["d"],
                                                        0.7 * BR["inner"]),
}


def jc(i, j, t):
    e = math.exp(-4.0 * t / 3.0)
    return 0.25 + 0.75 * e if i == j else 0.25 - 0.25 * e


def prob(pattern):
    """Sum over the states of the two inner nodes u (a, b) and v (c, d)."""
    sa, sb, sc, sd = pattern
    total = 0.0
    for u in range(4):
        left = jc(u, sa, BR["a"]) * jc(u, sb, BR["b"])
        for v in range(4):
            total += 0.25 * left * jc(u, v, BR["inner"]) * jc(v, sc, BR["c"]) * jc(v, sd, BR["d"])
    return total


included = [c for c in range(NCHAR) if c + 1 not in excluded]
counts = {}
for c in included:
    key = "".join(rows[t][c] for t in "abcd")
    counts[key] = counts.get(key, 0) + 1
n = len(included)

faults = []
for form, newick in TREES.items():
    run = run_vorn(sys.argv[1], nexus % (NCHAR, "\n".join("%s %s" % (t, rows[t]) for t in "abcd"), newick,
                                        " ".join(map(str, sorted(excluded)))))
    if run.returncode != 0:
        faults.append(form + ": " + "status %d: %s" % (run.returncode, run.stderr))
    got = {}
    for line in run.stdout.splitlines():
        m = re.match(r"^\s+(\d+)    ([ACGT]{4})\s+(\d+\.\d{6})\s+(\S+)\s+(\d+\.\d{3})$", line)
        if m:
            got[int(m.group(1))] = (m.group(2), float(m.group(3)), float(m.group(4)), float(m.group(5)))
    m = re.search(r"^\s+(\d+\.\d{6})\s+(\d+)\s+(\d+\.\d{3})$", run.stdout, re.M)
    if not m or m.group(1) != "1.000000" or int(m.group(2)) != n or float(m.group(3)) != float(n):
        faults.append(form + ": " + "totals line %s, expected 1.000000 %d %d.000" % (m.group(0) if m else None, n, n))
    for k, states in enumerate(itertools.product(range(4), repeat=4)):
        key = "".join("ACGT"[s] for s in states)
        if k + 1 not in got:
            faults.append(form + ": " + "pattern %d missing" % (k + 1))
            continue
        pat, p, obs, exp = got[k + 1]
        want = prob(states)
        if pat != key:
            faults.append(form + ": " + "row %d is %s, expected %s" % (k + 1, pat, key))
        if abs(p - want) > 5.01e-7:
            faults.append(form + ": " + "%s: probability %.6f, pruning gives %.8f" % (key, p, want))
        if obs != counts.get(key, 0):
            faults.append(form + ": " + "%s: observed %g, counted %d" % (key, obs, counts.get(key, 0)))
        if abs(exp - n * want) > 5.01e-4:
            faults.append(form + ": " + "%s: expected %.3f, should be %.4f" % (key, exp, n * want))

REFUSALS = [
    ("ntax=5", "a ACGT b ACGT c ACGT d ACGT e ACGT", "((a,b),c,(d,e))",
     "Pooling is required unless exactly there are exactly four (non-deleted) taxa."),
    ("ntax=4", "a ACGT b AC?T c ACGT d ACGT", "((a,b),c,d)",
     "Pattern-fit test is not allowed when missing data and/or ambiguities are present."),
    ("ntax=4", "a ACGT b ACGT c ACGT d ACGT", None, "At least one tree must be available for pattern-fit test."),
]
for dims, matrix_text, tree, message in REFUSALS:
    text = "#NEXUS\nbegin data; dimensions %s nchar=4; format datatype=dna missing=?; matrix %s; end;\n" % (
        dims, matrix_text)
    if tree:
        text += "begin trees; tree t = [&U] %s; end;\n" % tree
    text += "begin vorn; patfittest pool=no; end;\n"
    refused = run_vorn(sys.argv[1], text)
    if refused.returncode == 0 or message not in " ".join(refused.stderr.split()) or "Tree number" in refused.stdout:
        faults.append("not refused with %r: status %d, %s" % (message, refused.returncode, refused.stderr))

if faults:
    print(run.stdout[-3000:])
    print("\n".join(faults[:20]))
    sys.exit(1)
print("256 pattern probabilities equal pruning, rooted and unrooted; %d included characters counted" % n)
