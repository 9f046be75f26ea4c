#!/usr/bin/python3
"""SVDQuartets with an enforced constraint, species trees scored in memory,
and bootstraps after any tree inference, on the simulated eight-taxon data
of svdq_assembly.py.

Constraint (t3,t4,t5), which the data contradict: the quartet file holds
exactly the unconstrained run's quartets that agree with the group (ab|cd
disagrees when the group holds one of a, b and one of c, d); the best split
alone leaves a tree that does not contradict it, reciprocal weights resolve
it. A backbone over t1..t6 leaves quartets with t7 or t8 alone.

Bootstraps under midpoint and Lundberg rooting: the consensus is rooted by
the outgroup, and the setting is kept.

Species trees: partition swap names the species of sp5 but moves t3 and t8,
so by hand each of its five species quartets (weight 1) splits against the
tree (s1,s2,(s3,(s4,s5))) in memory: 5 inconsistent, 0 consistent.

Usage: svdq_options.py <vorn>
"""
import os
import random
import re
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from svdq_assembly import TIPS, nexus, simulate, splits_of_newick  # noqa: E402
from svdq_scores import run  # noqa: E402

SETS = ("begin sets; taxpartition sp5 = s1: t1 t2, s2: t3, s3: t4 t5, s4: t6 t7, s5: t8;"
        " taxpartition swap = s1: t1 t2, s2: t8, s3: t4 t5, s4: t6 t7, s5: t3; end;\n"
        "constraints c345 = ((t3,t4,t5)); constraints bb (backbone) = ((t1,t2,t3),t4,t5,t6);\n")


def agrees(line, groups, free=()):
    """Whether quartet a,b|c,d[:w] (1-based) agrees with every group."""
    a, b, c, d = (int(x) for x in re.split(r"[,|]", line.split(":")[0]))
    return bool({a, b, c, d} & set(free)) or \
        not any(((a in g) != (b in g)) and ((c in g) != (d in g)) for g in groups)


def wt(line):
    return float(line.split(":")[1])


def all_split_sets(tips):
    """Each unrooted binary tree of the tips as its set of non-trivial splits
    (the sides without the first tip), by inserting tips on every edge."""
    def rooted(rest):
        if len(rest) == 1:
            yield rest[0]
            return
        def insert(t, tip):
            yield (t, tip)
            if isinstance(t, tuple):
                for left in insert(t[0], tip):
                    yield (left, t[1])
                for right in insert(t[1], tip):
                    yield (t[0], right)
        for t in rooted(rest[:-1]):
            yield from insert(t, rest[-1])
    def clusters(t, out):
        if not isinstance(t, tuple):
            return frozenset([t])
        c = clusters(t[0], out) | clusters(t[1], out)
        out.append(c)
        return c
    for t in rooted(tips[1:]):
        out = []
        whole = clusters(t, out)
        yield {c for c in out if c != whole}


def main():
    vorn = sys.argv[1]
    seqs = simulate(random.Random(520))[:, :4000]
    faults = []
    p, files = run(vorn, nexus(seqs, "svdquartets evalq=all treeInf=none qfile=all.dat; "
                                     "svdquartets treeInf=QFM enforce constraints=c345 qfile=kept.dat; "
                                     "savetrees file=t.tre format=newick brlens=no; "
                                     "svdquartets treeInf=none constraints=bb qfile=bb.dat; "
                                     "svdquartets treeInf=QFM qweights=reciprocal constraints=c345 qfile=w.dat; "
                                     "savetrees file=w.tre format=newick brlens=no;", SETS),
                   ["all.dat", "kept.dat", "t.tre", "bb.dat", "w.dat", "w.tre"])
    if p.returncode != 0 or None in files.values():
        sys.exit("status %d\n%s" % (p.returncode, (p.stdout + p.stderr)[-3000:]))
    everything = files["all.dat"].split()
    want = [q for q in everything if agrees(q, [{3, 4, 5}])]
    if files["kept.dat"].split() != want or len(want) == len(everything):
        faults.append("kept %s, expected the %d of %d that agree: %s" % (files["kept.dat"].split(), len(want),
                                                                         len(everything), want))
    if files["bb.dat"].split() != [q for q in everything if agrees(q, [{1, 2, 3}], free=(7, 8))]:
        faults.append("backbone kept %s" % files["bb.dat"].split())
    if any(wt(x) != 0.0 for x in files["w.dat"].split() if not agrees(x, [{3, 4, 5}])):
        faults.append("weighted: a forbidden split kept weight")
    names = {"t3", "t4", "t5"}
    for split in splits_of_newick(files["t.tre"]):
        if all((split & names, split - names, names - split, set(TIPS) - split - names)):
            faults.append("tree %s contradicts the group" % files["t.tre"])
    if frozenset(names) not in splits_of_newick(files["w.tre"]):
        faults.append("weighted tree %s lacks the group" % files["w.tre"])
    if 'Forcing tree to be compatible with constraint-tree "c345"' not in p.stdout:
        faults.append("the settings do not name the constraint")

    # Species trees in memory; then bootstraps after treeInf=none and curTrees.
    p, files = run(vorn, nexus(seqs[:, :2000], "svdquartets speciesTree=yes partition=sp5 enforce=no; "
                               "svdquartets partition=swap treeInf=curTrees qfile=sw.dat; "
                               "svdquartets partition=sp5 treeInf=none bootstrap=standard nreps=4 seed=3 "
                               "treefile=b.tre; savetrees file=s.tre format=newick brlens=no; "
                               "svdquartets speciesTree=no treeInf=QFM bootstrap=no; "
                               "svdquartets treeInf=curTrees bootstrap=standard nreps=3 seed=3; "
                               "savetrees file=t.tre format=newick brlens=no;", SETS),
                   ["sw.dat", "b.tre", "s.tre", "t.tre"])
    got = [tuple(map(float, m)) for m in re.findall(r"^\s+1\s+([\d.]+)\s+\([\d.]+%\)\s+([\d.]+)\s+\(", p.stdout, re.M)]
    tree = [{4, 5}, {3, 4, 5}]
    lines = (files["sw.dat"] or "").split()
    from_file = (sum(wt(x) for x in lines if not agrees(x, tree)), sum(wt(x) for x in lines if agrees(x, tree)))
    if len(got) != 2 or max(abs(got[0][0] - 5), got[0][1], abs(got[0][0] - from_file[0]),
                            abs(got[0][1] - from_file[1])) > 1e-5:
        faults.append("species scores %s, by hand (5, 0), from the file %s\n%s" % (got, from_file, p.stdout[-3000:]))
    if len(re.findall(r"tree SVDQ_\d+ = \[&U\] \(1,2,\(3,\(4,5\)\)\);", files["b.tre"] or "")) != 4 or \
            re.sub(r"\[.*?\]", "", files["s.tre"] or "").strip() != "(s1,s2,(s3,(s4,s5)));":
        faults.append("species bootstrap: %s %s" % (files["b.tre"], files["s.tre"]))
    if p.stdout.count("Bootstrap consensus tree stored to tree buffer") != 2 or \
            splits_of_newick(files["t.tre"] or "();") != splits_of_newick("((((t1,t2),t3),(t4,t5)),((t6,t7),t8));"):
        faults.append("bootstrap after curTrees: %s" % files["t.tre"])
    # Midpoint and Lundberg rooting give way to the outgroup while the
    # bootstrap runs (its consensus has no lengths to place such a root by)
    # and are the setting again after it.
    for method in ("midpoint", "lundberg"):
        p, _ = run(vorn, nexus(seqs[:, :2000], "set rootmethod=%s outroot=monophyl; outgroup t6 t7 t8; "
                               "svdquartets evalq=all nthreads=1 bootstrap=standard nreps=3 seed=1; "
                               "set errorstop=no; set ?;" % method))
        if p.returncode != 0 or "Bootstrap consensus tree stored to tree buffer" not in p.stdout or \
                not re.search(r"^rootMethod\s.*\s%s$" % method, p.stdout, re.M):
            faults.append("bootstrap under %s rooting: status %d\n%s" % (method, p.returncode, p.stdout[-1500:]))
    # Six taxa have 15 quartets, and 32 threads asked for give 15; node ages
    # asked for without a tree to put them on leave the run to go on.
    p, _ = run(vorn, nexus(seqs[:, :2000], "delete t7 t8; svdquartets evalq=all nthreads=32 treeInf=none "
                                           "estNodeAges=moments theta=0.1;"))
    if p.returncode != 0 or "Using 15 parallel threads" not in p.stdout:
        faults.append("32 threads on 15 quartets without a tree: status %d\n%s" % (p.returncode, p.stdout[-1500:]))
    # Constraints the data forbid outright: every quartet that tells t1 from
    # its partner gets its best split thrown out, and the tree returned (and
    # each bootstrap replicate) must still hold the group. Four taxa leave a
    # single quartet, whose only split has no weight left.
    for cmds, group in (("delete t5-t8; constraints c13 = ((t1,t3));", {"t1", "t3"}),
                        ("constraints c16 = ((t1,t6));", {"t1", "t6"})):
        p, files = run(vorn, nexus(seqs[:, :2000], cmds + " svdquartets evalq=all enforce qfile=q.dat; "
                                   "savetrees file=e.tre format=newick brlens=no; "
                                   "svdquartets bootstrap=standard nreps=3 seed=2; "
                                   "savetrees file=b.tre format=newick brlens=no;"), ["q.dat", "e.tre", "b.tre"])
        tips = set(TIPS[:4] if "delete" in cmds else TIPS)
        side = frozenset(tips - group if "t1" in group else group)
        if p.returncode != 0 or None in files.values():
            faults.append("forbidden %s: status %d\n%s" % (sorted(group), p.returncode, p.stdout[-2000:]))
            continue
        if len(tips) == 4 and files["q.dat"].split():
            faults.append("forbidden %s: the data did not favour a forbidden split: %s" % (sorted(group), files["q.dat"]))
        if side not in splits_of_newick(files["e.tre"]):
            faults.append("forbidden %s: tree %s lacks the group" % (sorted(group), files["e.tre"]))
        # A replicate may leave the group unresolved, never contradict it.
        for split in splits_of_newick(files["b.tre"]):
            if all((split & side, split - side, side - split, tips - split - side)):
                faults.append("forbidden %s: consensus %s contradicts the group" % (sorted(group), files["b.tre"]))
    # Constraint (t1,t5,t8) on trees whose splits it breaks: the assembled
    # tree loses them, and the tree returned must be as good as the best of
    # the 10,395 trees holding the group, scored on the quartets kept.
    p, files = run(vorn, nexus(seqs[:, :2000], "constraints c158 = ((t1,t5,t8)); svdquartets evalq=all nthreads=1 "
                               "enforce constraints=c158 qfile=q.dat; savetrees file=e.tre format=newick brlens=no;"),
                   ["q.dat", "e.tre"])
    side = frozenset(set(TIPS) - {"t1", "t5", "t8"})
    quartets = [[TIPS[int(x) - 1] for x in re.split(r"[,|]", q)] for q in (files["q.dat"] or "").split()]
    def support(splits):
        return sum(any({a, b} <= s and not {c, d} & s or {c, d} <= s and not {a, b} & s for s in splits)
                   for a, b, c, d in quartets)
    best = max(support(t) for t in all_split_sets(TIPS) if side in t)
    got = re.findall(r"Total weight of incompatible quartets = (\d+) ", p.stdout)
    tree = splits_of_newick(files["e.tre"] or "();")
    if got != [str(70 - best)] or len(tree) != 5 or side not in tree or support(tree) != best:
        faults.append("enforced (t1,t5,t8): incompatible %s, tree %s; brute force best %d" %
                      (got, files["e.tre"], 70 - best))
    if faults:
        print("\n".join(faults))
        sys.exit(1)
    print("constraint filter as brute force, species trees scored as by hand, bootstraps after none and curTrees")


if __name__ == "__main__":
    main()
