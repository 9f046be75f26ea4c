#!/usr/bin/python3
"""Pooled PatFitTest classes on random trees under HKY, against enumeration.

For random unrooted binary trees of 4 to 7 taxa with random branch lengths
and an HKY model with unequal base frequencies, every printed class
probability (maxsteps=0: every step count its own class) must equal the sum
over all 4^n patterns of the pattern probability (P from the rate matrix by
scipy's expm) of the patterns in that class, to the 8 printed decimals.

Usage: patfit_property.py <vorn>
"""
import itertools
import random
import sys

import numpy as np
from scipy.linalg import expm

from vorn_run import pooled_classes, run_vorn

PI = np.array([0.1, 0.2, 0.3, 0.4])
TRATIO = 2.0
# The ts/tv ratio as kappa, the rate ratio of transitions to transversions.
KAPPA = TRATIO * (PI[0] + PI[2]) * (PI[1] + PI[3]) / (PI[0] * PI[2] + PI[1] * PI[3])
Q = np.zeros((4, 4))
for i in range(4):
    for j in range(4):
        if i != j:
            Q[i, j] = PI[j] * (KAPPA if {i, j} in ({0, 2}, {1, 3}) else 1.0)
    Q[i, i] = -Q[i].sum()
Q /= -np.dot(PI, np.diag(Q))


def random_tree(rng, taxa):
    """An unrooted binary tree as (newick, basal list of (subtree, length))."""
    nodes = [(t, round(rng.uniform(0.02, 0.4), 4)) for t in taxa]
    while len(nodes) > 3:
        a = nodes.pop(rng.randrange(len(nodes)))
        b = nodes.pop(rng.randrange(len(nodes)))
        nodes.append(([a, b], round(rng.uniform(0.02, 0.3), 4)))

    def newick(node):
        sub, t = node
        return "%s:%.4f" % (sub if isinstance(sub, str) else "(%s)" % ",".join(newick(c) for c in sub), t)

    return "(%s)" % ",".join(newick(n) for n in nodes), nodes


P_OF = {}


def transition(t):
    if t not in P_OF:
        P_OF[t] = expm(Q * t)
    return P_OF[t]


def partial(children, states, taxa):
    like, fset, steps = np.ones(4), None, 0
    for sub, t in children:
        if isinstance(sub, str):
            s = states[taxa.index(sub)]
            cl, cf, cs = np.eye(4)[s], 1 << s, 0
        else:
            cl, cf, cs = partial(sub, states, taxa)
        steps += cs
        like = like * (transition(t) @ cl)
        if fset is None:
            fset = cf
        elif fset & cf:
            fset &= cf
        else:
            fset |= cf
            steps += 1
    return like, fset, steps


faults = []
rng = random.Random(4803)
for ntax in (4, 5, 6, 7):
    taxa = ["t%d" % (k + 1) for k in range(ntax)]
    newick, basal = random_tree(rng, taxa)

    want = {}
    for states in itertools.product(range(4), repeat=ntax):
        like, _, steps = partial(basal, states, taxa)
        key = (steps, sum(1 << s for s in set(states)))
        want[key] = want.get(key, 0.0) + float(PI @ like)
    # The data are not scored; they hold all four bases, as likelihood asks.
    matrix = "\n".join("%s %s" % (t, "".join(rng.sample("ACGT", 4))) for t in taxa)
    nexus = """#NEXUS
begin data; dimensions ntax=%d nchar=4; format datatype=dna; matrix
%s
;
end;
begin trees; tree one = [&U] %s; end;
begin vorn;
  lset nst=2 tratio=%g basefreq=(%g %g %g) rates=equal pinvar=0 userbrlens=yes;
  patfittest maxsteps=0;
  quit;
end;
""" % (ntax, matrix, newick, TRATIO, PI[0], PI[1], PI[2])
    run = run_vorn(sys.argv[1], nexus)
    if run.returncode != 0:
        faults.append("%d taxa: status %d: %s" % (ntax, run.returncode, run.stderr))
        continue
    got = {key: p for key, (p, _) in pooled_classes(run.stdout, ntax - 1).items()}
    if set(got) != set(k for k, p in want.items() if p > 5e-9) and set(got) != set(want):
        faults.append("%d taxa: classes differ: %s" % (ntax, sorted(set(got) ^ set(want))))
    for key, p in got.items():
        if abs(p - want.get(key, 0.0)) > 5.01e-9:
            faults.append("%d taxa %s class %s: %.8f, enumeration gives %.10f" % (ntax, newick, key, p,
                                                                                  want.get(key, 0.0)))
if faults:
    print(run.stdout[-3000:])
    print("\n".join(faults[:20]))
    sys.exit(1)
print("pooled classes equal enumeration on random 4-7 taxon trees under HKY")
