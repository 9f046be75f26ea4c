#!/usr/bin/python3
"""Pooled PatFitTest against enumeration of every pattern.

Six taxa under JC with the tree's own branch lengths: every class
probability E[s][U] (s Fitch steps, U the states present) must equal the sum
of the probabilities of all 4^6 patterns of that class, each pruned here, to
the 8 printed decimals; the observed counts must be this script's own Fitch
classes of the data. Run with maxsteps=3 (the last class ">2" pools three
steps and more) and maxsteps=0 (every step count its own class). The tree is
also read rooted, on f's branch: its classes and counts must not change.

Weighted sites count by their weight: the tables equal those of the same
data with the weighted columns written out in full, pooled and, with two
taxa deleted, unpooled (against a file without them), rooted and not.
Under a model partition each site is expected under its own model: the
expected frequencies are the sums of those of each subset alone.

Usage: patfit_pooled.py <vorn>
"""
import itertools
import math
import random
import re
import sys

from vorn_run import pooled_classes, run_vorn

TAXA = "abcdef"
# (((a,b),c),(d,e),f) with lengths; inner nodes are tuples of children.
TREE = ((((("a", 0.1), ("b", 0.2)), 0.05), ("c", 0.3)), 0.07), (((("d", 0.15), ("e", 0.12)), 0.08)), ("f", 0.25)
NEWICK = {
    "unrooted": "[&U] (((a:0.1,b:0.2):0.05,c:0.3):0.07,(d:0.15,e:0.12):0.08,f:0.25)",
    "rooted": "[&R] ((((a:0.1,b:0.2):0.05,c:0.3):0.07,(d:0.15,e:0.12):0.08):0.1,f:0.15)",
}
NCHAR = 40
rng = random.Random(4802)
rows = {t: "".join(rng.choice("ACGT") for _ in range(NCHAR)) for t in TAXA}


def jc(i, j, t):
    e = math.exp(-4.0 * t / 3.0)
    return 0.25 + 0.75 * e if i == j else 0.25 - 0.25 * e


def partial(node, states):
    """Partial likelihoods of a subtree and its Fitch set and steps."""
    if isinstance(node, str):
        s = states[TAXA.index(node)]
        return [1.0 if x == s else 0.0 for x in range(4)], 1 << s, 0
    like, fset, steps = [1.0] * 4, None, 0
    for child, t in node:
        cl, cf, cs = partial(child, states)
        steps += cs
        like = [like[x] * sum(jc(x, y, t) * cl[y] for y in range(4)) for x in range(4)]
        if fset is None:
            fset = cf
        elif fset & cf:
            fset &= cf
        else:
            fset |= cf
            steps += 1
    return like, fset, steps


BASAL = [(TREE[0][0], TREE[0][1]), (TREE[1][0], TREE[1][1]), (TREE[2][0], TREE[2][1])]


def classify(states):
    like, _, steps = partial(BASAL, states)
    return 0.25 * sum(like), steps, sum(1 << s for s in set(states))


expected = {}
for states in itertools.product(range(4), repeat=6):
    p, s, U = classify(states)
    expected[(s, U)] = expected.get((s, U), 0.0) + p
observed = {}
for c in range(NCHAR):
    _, s, U = classify(["ACGT".index(rows[t][c]) for t in TAXA])
    observed[(s, U)] = observed.get((s, U), 0) + 1


faults = []
for form, maxsteps in itertools.product(NEWICK, (3, 0)):
    m = 5 if maxsteps == 0 else maxsteps
    nexus = """#NEXUS
begin data; dimensions ntax=6 nchar=%d; format datatype=dna;
matrix
%s
;
end;
begin trees; tree one = %s; end;
begin vorn;
  lset nst=1 basefreq=equal rates=equal pinvar=0 userbrlens=yes;
  patfittest maxsteps=%d;
  quit;
end;
""" % (NCHAR, "\n".join("%s %s" % (t, rows[t]) for t in TAXA), NEWICK[form], maxsteps)
    run = run_vorn(sys.argv[1], nexus)
    if run.returncode != 0:
        faults.append(form + " maxsteps=%d: status %d: %s" % (maxsteps, run.returncode, run.stderr))
        continue
    got = pooled_classes(run.stdout, m)
    if m == 3 and not any(line.strip().startswith(">2") for line in run.stdout.splitlines()):
        faults.append(form + " maxsteps=3: no class >2")
    want, want_obs = {}, {}
    for (s, U), p in expected.items():
        want[(min(s, m), U)] = want.get((min(s, m), U), 0.0) + p
    for (s, U), n in observed.items():
        want_obs[(min(s, m), U)] = want_obs.get((min(s, m), U), 0) + n
    if set(got) != set(k for k, p in want.items() if p > 0):
        faults.append(form + " maxsteps=%d: classes differ: %s" % (maxsteps, sorted(set(got) ^ set(want))))
    for key, (p, o) in got.items():
        if abs(p - want.get(key, 0.0)) > 5.01e-9:
            faults.append(form + " maxsteps=%d class %s: %.8f, enumeration gives %.10f" % (maxsteps, key, p, want.get(key, 0)))
        if o != want_obs.get(key, 0):
            faults.append(form + " maxsteps=%d class %s: observed %g, counted %d" % (maxsteps, key, o, want_obs.get(key, 0)))
    for s in range(4):
        if s < m and (s, 1) in want and (s == 0) != (want[(s, 1)] > 0):
            faults.append(form + ": constant patterns outside class 0")


def table(stdout):
    """The lines of every PatFitTest table after its -ln L."""
    keep = False
    lines = []
    for line in stdout.splitlines():
        if line.startswith("  -Ln likelihood"):
            keep = True
        elif line.startswith("Time used"):
            keep = False
        if keep:
            lines.append(line)
    return lines


def nexus_of(taxa, cols, body):
    return """#NEXUS
begin data; dimensions ntax=%d nchar=%d; format datatype=dna;
matrix
%s
;
end;
begin vorn;
  %s
  quit;
end;
""" % (len(taxa), len(cols), "\n".join("%s %s" % (t, "".join(rows[t][c] for c in cols)) for t in taxa), body)


LSET = "lset nst=1 basefreq=equal rates=equal pinvar=0 userbrlens=yes;"
REPEAT = {0: 3, 4: 3, 7: 2}  # column: weight
full = [c for c in range(NCHAR) for _ in range(REPEAT.get(c, 1))]
WTS = "wts 3: 1 5, 2: 8;"
cases = [
    ("pooled", TAXA, NEWICK["unrooted"], "", "patfittest maxsteps=0;"),
    ("pooled, rooted", TAXA, NEWICK["rooted"], "", "patfittest maxsteps=0;"),
    ("unpooled, b e deleted", "acdf", "[&U] (a:0.1,c:0.3,(d:0.15,f:0.25):0.08)", "delete b e;",
     "patfittest pool=no;"),
    ("unpooled, rooted, b e deleted", "acdf", "[&R] ((a:0.1,c:0.3):0.05,(d:0.15,f:0.25):0.08)", "delete b e;",
     "patfittest pool=no;"),
]
for label, taxa, tree, delete, cmd in cases:
    weighted = run_vorn(sys.argv[1], nexus_of(TAXA, range(NCHAR), "%s %s begin trees; tree one = %s; end; %s %s" % (
        delete, WTS, tree, LSET, cmd)))
    written = run_vorn(sys.argv[1], nexus_of(taxa, full, "begin trees; tree one = %s; end; %s %s" % (tree, LSET, cmd)))
    if weighted.returncode != 0 or table(weighted.stdout) != table(written.stdout) or not table(written.stdout):
        faults.append("%s: weighted table differs from the columns written out:\n%s\n%s" % (
            label, "\n".join(table(weighted.stdout)[:12]), "\n".join(table(written.stdout)[:12])))


def expected_column(stdout):
    """{(row number in the table): expected frequency} of a pooled table."""
    return [float(r.group(1)) for r in (re.match(r"^.{20}\s+\d+\.\d{8}\s+\d+\.\d{3}\s+(\d+\.\d{3})", line)
                                        for line in table(stdout)) if r]


M1 = "lset nst=1 basefreq=equal rates=equal pinvar=0 userbrlens=yes"
M2 = "lset nst=2 tratio=5 basefreq=equal rates=equal pinvar=0 userbrlens=yes"
body = "begin trees; tree one = %s; end; %%s patfittest maxsteps=0;" % NEWICK["unrooted"]
both = run_vorn(sys.argv[1], nexus_of(TAXA, range(NCHAR), body % (
    "%s model=m1; %s model=m2; modpartition mp = m1: 1-20, m2: 21-40; lset mpartition=mp;" % (M1, M2))))
alone = [run_vorn(sys.argv[1], nexus_of(TAXA, range(NCHAR), body % ("exclude %s; %s;" % (ex, m))))
         for ex, m in (("21-40", M1), ("1-20", M2))]
sums = [a + b for a, b in zip(expected_column(alone[0].stdout), expected_column(alone[1].stdout))]
got = expected_column(both.stdout)
if not got or len(got) != len(sums) or any(abs(a - b) > 0.0021 for a, b in zip(got, sums)):
    faults.append("model partition: expected %s, the subsets alone sum to %s" % (got[:8], sums[:8]))

if faults:
    print(run.stdout[-4000:])
    print("\n".join(faults[:20]))
    sys.exit(1)
print("pooled class probabilities equal enumeration of 4096 patterns (maxsteps 3 and 0, rooted and unrooted);"
      " weighted tables equal those of the columns written out; model-partition tables sum their subsets'")
