#!/usr/bin/python3
"""SVDQuartets node ages and theta on a species tree.

Six species of two lineages each (12 taxa, 20,000 unlinked sites): every
site has its own gene tree drawn by the multispecies coalescent, the two
lineages of a species free to coalesce within it, and its states evolve along
it under JC at 0.12 substitutions per lineage per coalescent unit (theta =
0.24). The species-tree analysis must find every clade of the species tree
with an age near its generating age, and theta near 0.24, from the 15
species quartets.

With one lineage per species (a partition of single taxa) the species
quartets are the taxon quartets, so the ages and theta must be those of the
analysis of taxa on the same data.

Usage: svdq_species_ages.py <vorn>
"""
import os
import random
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from svdq_ages import tables  # noqa: E402
from svdq_assembly import NSITES, simulate  # noqa: E402
from svdq_scores import run  # noqa: E402

SPECIES = ["s%d" % k for k in range(1, 7)]
NODES = {"a": (("s1", "s2"), 0.4), "b": (("a", "s3"), 1.0), "c": (("s4", "s5"), 0.6), "d": (("c", "s6"), 1.2),
         "root": (("b", "d"), 1.8)}
LINEAGES = {s: ["t%d" % (2 * k + 1), "t%d" % (2 * k + 2)] for k, s in enumerate(SPECIES)}
TIPS = [t for s in SPECIES for t in LINEAGES[s]]
# Species clades (by species number) -> generating age.
TRUE_AGES = {"1 2": 0.4, "1 2 3": 1.0, "4 5": 0.6, "4 5 6": 1.2, "1 2 3 4 5 6": 1.8}
THETA = 0.24


def nexus(seqs, sets, commands):
    rows = "\n".join("%s %s" % (t, "".join("ACGT"[x] for x in seqs[i])) for i, t in enumerate(TIPS))
    return ("#NEXUS\nbegin data; dimensions ntax=%d nchar=%d; format datatype=dna;\nmatrix\n%s\n;\nend;\n"
            "begin sets; %s end;\nbegin vorn; %s quit; end;\n" % (len(TIPS), NSITES, rows, sets, commands))


def main():
    vorn = sys.argv[1]
    seqs = simulate(random.Random(613), NODES, LINEAGES, THETA / 2)
    faults = []
    six = "taxpartition six = %s;" % ", ".join("%s: %s" % (s, " ".join(LINEAGES[s])) for s in SPECIES)
    p, _ = run(vorn, nexus(seqs, six, "outgroup t7-t12; svdquartets speciesTree=yes partition=six evalq=all "
                                      "estNodeAges=ML theta=estimate;"))
    found = tables(p.stdout)
    if p.returncode != 0 or len(found) != 1:
        faults.append("species run: status %d, %d tables\n%s" % (p.returncode, len(found), p.stdout[-3000:]))
    else:
        ages, theta = found[0]
        if set(ages) != set(TRUE_AGES):
            faults.append("species clades %s" % sorted(ages))
        for clade, age in TRUE_AGES.items():
            if clade in ages and abs(ages[clade] - age) > 0.2:
                faults.append("ML age of species %s: %g, generated %g" % (clade, ages[clade], age))
        if theta is None or abs(theta - THETA) > 0.03:
            faults.append("ML theta %s, generated %g" % (theta, THETA))
        if "over 15 quartets" not in p.stdout:
            faults.append("not every species quartet used:\n" + p.stdout[-3000:])

    # The first lineage of each species as a species of its own.
    first = [LINEAGES[s][0] for s in SPECIES]
    single = "taxpartition one = %s;" % ", ".join("u%d: %s" % (k + 1, t) for k, t in enumerate(first))
    p, _ = run(vorn, nexus(seqs, single, "delete %s; outgroup %s; "
                                         "svdquartets evalq=all estNodeAges=ML theta=estimate; "
                                         "svdquartets speciesTree=yes partition=one evalq=all "
                                         "estNodeAges=ML theta=estimate;"
                                         % (" ".join(LINEAGES[s][1] for s in SPECIES), " ".join(first[3:]))))
    single_found = tables(p.stdout)
    if p.returncode != 0 or len(single_found) != 2:
        faults.append("singleton runs: status %d, %d tables\n%s" % (p.returncode, len(single_found),
                                                                    p.stdout[-3000:]))
    elif single_found[0] != single_found[1] or set(single_found[0][0]) != set(TRUE_AGES):
        faults.append("one lineage per species: taxa %s, species %s" % single_found)
    if faults:
        print("\n".join(faults))
        sys.exit(1)
    print("species ages %s, theta %g as generated; one lineage per species as taxa: %s"
          % (found[0][0], found[0][1], single_found[0][0]))


if __name__ == "__main__":
    main()
