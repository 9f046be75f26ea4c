#!/usr/bin/python3
"""SVDQuartets node ages and theta on data simulated under the multispecies
coalescent (the eight-species tree of svdq_assembly, 20,000 unlinked sites,
JC at 0.12 substitutions per lineage per coalescent unit, so theta = 0.24).

With theta estimated by maximum likelihood, every clade of the species tree
gets an age near its generating age and theta is near 0.24; theta is
estimated when no theta was given; with theta fixed the ages are the same
under ML and moments, and the same again on the assembled tree evaluated
from memory (treeInf=curTrees).

Usage: svdq_ages.py <vorn>
"""
import os
import random
import re
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from svdq_assembly import nexus, simulate  # noqa: E402
from svdq_scores import run  # noqa: E402

# Units in clade -> generating age (coalescent units).
TRUE_AGES = {"1 2": 0.4, "1 2 3": 0.9, "4 5": 0.6, "1 2 3 4 5": 1.5, "6 7": 0.5, "6 7 8": 1.1,
             "1 2 3 4 5 6 7 8": 2.0}
THETA = 0.24


def tables(stdout):
    """[({clade: age}, theta)] of every node-age table in the output."""
    out = []
    for block in stdout.split("Node ages (coalescent units) estimated by")[1:]:
        ages = {m.group(3).strip(): float(m.group(1))
                for m in re.finditer(r"^\s+(-?[\d.]+)\s+(\d+)\s+([\d ]+)$", block, re.M)}
        theta = re.search(r"Theta = ([\d.eE+-]+)", block)
        out.append((ages, float(theta.group(1)) if theta else None))
    return out


def main():
    vorn = sys.argv[1]
    seqs = simulate(random.Random(520))
    faults = []
    p, _ = run(vorn, nexus(seqs, "outgroup t6-t8; svdquartets evalq=all estNodeAges=ML; "
                                 "svdquartets evalq=all estNodeAges=ML theta=estimate; "
                                 "svdquartets evalq=all estNodeAges=ML theta=0.24; "
                                 "svdquartets evalq=all estNodeAges=moments theta=0.24; "
                                 "svdquartets evalq=all treeInf=curTrees estNodeAges=moments;"))
    found = tables(p.stdout)
    if p.returncode != 0 or len(found) != 5:
        faults.append("runs: status %d, %d tables\n%s" % (p.returncode, len(found), p.stdout[-3000:]))
    else:
        if found[0] != found[1]:
            faults.append("no theta given: %s, theta=estimate: %s" % (found[0], found[1]))
        if found[4] != found[2] or "Tree 1:" not in p.stdout:
            faults.append("tree in memory: %s, assembled: %s" % (found[4], found[2]))
        found = found[1:4]
        ages, theta = found[0]
        if set(ages) != set(TRUE_AGES):
            faults.append("clades %s" % sorted(ages))
        for clade, age in TRUE_AGES.items():
            if clade in ages and abs(ages[clade] - age) > 0.25:
                faults.append("ML age of %s: %g, generated %g" % (clade, ages[clade], age))
        if theta is None or abs(theta - THETA) > 0.03:
            faults.append("ML theta %s, generated %g" % (theta, THETA))
        if found[1] != found[2]:
            faults.append("fixed theta: ML %s, moments %s" % (found[1], found[2]))
        if "70 quartets" not in p.stdout.split("Node ages", 1)[-1].splitlines()[0]:
            faults.append("not every quartet used:\n" + p.stdout[-3000:])
    if faults:
        print("\n".join(faults))
        sys.exit(1)
    print("ages and theta as generated; %s" % found[0][0])


if __name__ == "__main__":
    main()
