#!/usr/bin/python3
"""SVDQuartets on data simulated under the multispecies coalescent.

Eight species, one lineage each, 20,000 unlinked sites: every site has its
own gene tree drawn by the coalescent within the species tree and its states
evolve along it under JC. Exhaustive evaluation must say "exhaustive (70
quartets)", keep for every quartet the split numpy's singular values choose,
and QFM must return the species tree. The same run with 1, 2, 3 and 8
threads, random sampling with one seed, and species-tree sampling must write
byte-identical quartet files; the MRP file must be NEXUS that Biopython
reads, one column per kept quartet.

Usage: svdq_assembly.py <vorn>
"""
import itertools
import math
import os
import random
import re
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from svdq_scores import run  # noqa: E402

import numpy as np  # noqa: E402

# Species tree in coalescent units: (node, children, age); tips have age 0.
SPECIES = "((((t1,t2),t3),(t4,t5)),((t6,t7),t8))"
NODES = {"a": (("t1", "t2"), 0.4), "b": (("a", "t3"), 0.9), "c": (("t4", "t5"), 0.6), "d": (("b", "c"), 1.5),
         "e": (("t6", "t7"), 0.5), "f": (("e", "t8"), 1.1), "root": (("d", "f"), 2.0)}
TIPS = ["t%d" % i for i in range(1, 9)]
SUBS_PER_UNIT = 0.12
NSITES = 20000


def gene_tree(rng, nodes=NODES, samples=None):
    """Parent links and lengths of one coalescent gene tree: {node: (parent, length)}.

    samples maps each tip population to its sampled lineages (one per species,
    named as the species, by default)."""
    samples = samples or {t: [t] for t in TIPS}
    ages = {t: 0.0 for t in samples}
    ages.update({k: v[1] for k, v in nodes.items()})
    lineages = {t: [(x, 0.0) for x in xs] for t, xs in samples.items()}  # population -> [(gene node, its age)]
    links, counter = {}, [0]
    def coalesce(pop, start, end):
        t, lins = start, lineages[pop]
        while len(lins) > 1:
            k = len(lins)
            t += rng.expovariate(k * (k - 1) / 2)
            if end is not None and t >= end:
                break
            i, j = sorted(rng.sample(range(k), 2), reverse=True)
            (x, ax), (y, ay) = lins.pop(i), lins.pop(j)
            counter[0] += 1
            node = "g%d" % counter[0]
            links[x] = (node, t - ax)
            links[y] = (node, t - ay)
            lins.append((node, t))
    parent = {c: k for k, (cs, _) in nodes.items() for c in cs}
    for pop in sorted(ages, key=lambda p: ages[p]):
        if pop in nodes:
            lineages[pop] = lineages[nodes[pop][0][0]] + lineages[nodes[pop][0][1]]
        end = ages[parent[pop]] if pop in parent else None
        coalesce(pop, ages[pop], end)
    return links


def simulate(rng, nodes=NODES, samples=None, subs_per_unit=SUBS_PER_UNIT):
    """States (rows in the order of the samples' lineages) of NSITES sites."""
    tips = [x for xs in samples.values() for x in xs] if samples else TIPS
    seqs = np.zeros((len(tips), NSITES), dtype=np.int64)
    for s in range(NSITES):
        links = gene_tree(rng, nodes, samples)
        state = {}
        def state_of(node):
            if node not in state:
                if node not in links:
                    state[node] = rng.randrange(4)
                else:
                    up, length = links[node]
                    x = state_of(up)
                    t = length * subs_per_unit
                    if rng.random() < 1 - math.exp(-4 * t / 3):
                        x = rng.randrange(4)  # a JC event: any of the four states
                    state[node] = x
            return state[node]
        for i, t in enumerate(tips):
            seqs[i, s] = state_of(t)
    return seqs


def choice(seqs, q):
    idx = seqs[q[0]] * 64 + seqs[q[1]] * 16 + seqs[q[2]] * 4 + seqs[q[3]]
    counts = np.bincount(idx, minlength=256).reshape(4, 4, 4, 4).astype(float)
    scores = []
    for m in (counts.reshape(16, 16), counts.transpose(0, 2, 1, 3).reshape(16, 16),
              counts.transpose(0, 3, 1, 2).reshape(16, 16)):
        m = m[(m != 0).any(axis=1)][:, (m != 0).any(axis=0)]
        sv = np.linalg.svd(m / m.sum(), compute_uv=False)
        scores.append(float(np.sqrt((sv[10:] ** 2).sum())))
    a, b, c, d = (x + 1 for x in q)
    splits = ["%d,%d|%d,%d" % (a, b, c, d), "%d,%d|%d,%d" % (a, c, b, d), "%d,%d|%d,%d" % (a, d, b, c)]
    best = 2 if scores[2] <= min(scores[:2]) else 1 if scores[1] <= scores[0] else 0
    return splits[best]


def splits_of_newick(text):
    """Non-trivial splits (frozensets of tip names not holding t1) of a Newick tree."""
    text = re.sub(r"\[.*?\]", "", text)
    text = text[text.index("("):text.rindex(";")]
    stack, out = [[]], []
    for tok in re.findall(r"\(|\)|,|[^(),:\s]+(?::[\d.eE+-]+)?", text):
        if tok == "(":
            stack.append([])
        elif tok == ")":
            group = stack.pop()
            out.append(frozenset(group))
            stack[-1].extend(group)
        elif tok != ",":
            name = tok.split(":")[0]
            if not name.replace(".", "").replace("e", "").replace("E", "").isdigit() or name in TIPS:
                stack[-1].append(name)
    everything = frozenset(TIPS)
    norm = set()
    for g in out:
        s = g if "t1" not in g else everything - g
        if 1 < len(s) < 7:
            norm.add(s)
    return norm


def nexus(seqs, commands, extra=""):
    nsites = seqs.shape[1]
    rows = "\n".join("%s %s" % (t, "".join("ACGT"[x] for x in seqs[i])) for i, t in enumerate(TIPS))
    return ("#NEXUS\nbegin data; dimensions ntax=8 nchar=%d; format datatype=dna;\nmatrix\n%s\n;\nend;\n%s"
            "begin vorn; %s quit; end;\n" % (nsites, rows, extra, commands))


def main():
    vorn = sys.argv[1]
    seqs = simulate(random.Random(520))
    faults = []

    # The same data as five species, two of them of two lineages: the species
    # tree is the one the lineages' tree implies.
    five = "begin sets; taxpartition sp5 = s1: t1 t2, s2: t3, s3: t4 t5, s4: t6 t7, s5: t8; end;\n"
    p, files = run(vorn, nexus(seqs, "svdquartets evalq=all qfile=q.dat mrpfile=mrp.nex nthreads=1; "
                                     "savetrees file=t.tre format=newick brlens=no; "
                                     "svdquartets speciesTree=yes partition=sp5 evalq=all; "
                                     "savetrees file=s.tre format=newick brlens=no; "
                                     "qscores; qsearch; savetrees file=qs.tre format=newick brlens=no; "
                                     "outgroup t5; roottrees; savetrees file=r.tre format=newick brlens=no; "
                                     "hsearch; savetrees file=h.tre format=newick brlens=no;", five),
                   ["q.dat", "mrp.nex", "t.tre", "s.tre", "qs.tre", "r.tre", "h.tre"])
    # Trees stored after the species trees are named by taxa again.
    hsearch_names = set(re.findall(r"[st]\d", re.sub(r"\[.*?\]", "", files["h.tre"] or "")))
    if hsearch_names != set(TIPS):
        faults.append("a search after the species tree names its tips %s" % sorted(hsearch_names))
    # Lineage t5 puts its species s3 in the outgroup.
    rooted = re.sub(r"\[.*?\]", "", files["r.tre"] or "").strip()
    if rooted not in ("(((s1,s2),(s4,s5)),s3);", "(((s4,s5),(s1,s2)),s3);", "(s3,((s1,s2),(s4,s5)));"):
        faults.append("species tree rooted by t5's species: %r" % rooted)
    species_tree = re.sub(r"\[.*?\]", "", files["s.tre"] or "").strip()
    if species_tree not in ("(s1,s2,(s3,(s4,s5)));", "(s1,s2,((s4,s5),s3));"):
        faults.append("species tree %r, expected (s1,s2,(s3,(s4,s5)))" % species_tree)
    # The species quartets stay stored: QScores scores the species tree
    # against them and QSearch assembles the same species tree from them.
    if p.stdout.count("Quartet consistency scores for trees currently in memory") != 1:
        faults.append("QScores after the species-tree run printed no score table:\n" + p.stdout[-3000:])
    if re.sub(r"\[.*?\]", "", files["qs.tre"] or "").strip() != species_tree:
        faults.append("QSearch on the species quartets gave %r, not %r" % (files["qs.tre"], species_tree))
    if "Quartet sampling = exhaustive (70 quartets)" not in p.stdout:
        faults.append("no 'exhaustive (70 quartets)' line:\n" + p.stdout[-3000:])
    want = [choice(seqs, q) for q in itertools.combinations(range(8), 4)]
    got = (files["q.dat"] or "").split()
    if got != want:
        faults.append("kept quartets differ from numpy's choice:\n%s\n%s" % (got, want))
    true_splits = splits_of_newick(SPECIES + ";")
    tree_splits = splits_of_newick(files["t.tre"] or "();")
    if tree_splits != true_splits:
        faults.append("tree %s is not the species tree" % (files["t.tre"],))
    try:
        from Bio.Nexus import Nexus
        import io
        mrp = Nexus.Nexus()
        mrp.read(io.StringIO(files["mrp.nex"]).read())
        if mrp.nchar != len(got) or sorted(mrp.taxlabels) != sorted(TIPS):
            faults.append("MRP file: %d characters for %d quartets, taxa %s" % (mrp.nchar, len(got), mrp.taxlabels))
        else:
            for k, line in enumerate(got):
                a, b, c, d = (int(x) for x in re.split(r"[,|]", line))
                # Standard data come back as {'t': 'std', 'd': [symbols]}.
                cells = {t: mrp.matrix[t][k] for t in TIPS}
                col = {t: "".join(v["d"]) if isinstance(v, dict) else str(v) for t, v in cells.items()}
                if col["t%d" % a] != "1" or col["t%d" % b] != "1" or col["t%d" % c] != "0" or col["t%d" % d] != "0":
                    faults.append("MRP column %d %s does not code %s" % (k, col, line))
    except ImportError:
        print("Biopython missing: MRP file not read")

    # Thread counts leave every quartet file as it was (fewer sites will do).
    seqs = seqs[:, :2000]
    species = ("begin sets; taxpartition sp = s1: t1 t2, s2: t3 t4, s3: t5 t6, s4: t7 t8; end;\n")
    runs = {
        "exhaustive": ("svdquartets evalq=all treeInf=none qfile=q.dat nthreads=%d;", ""),
        "random": ("svdquartets evalq=random nquartets=45 preferAllQ=no seed=11 treeInf=none qfile=q.dat "
                   "nthreads=%d;", ""),
        "species random": ("svdquartets speciestree=yes partition=sp nquartets=30 preferAllQ=no seed=5 "
                           "treeInf=none qfile=q.dat nthreads=%d;", species),
        "species all": ("svdquartets speciestree=yes partition=sp evalq=all treeInf=none qfile=q.dat "
                        "nthreads=%d;", species),
    }
    for name, (cmd, extra) in runs.items():
        # One run, one command per thread count, each with its own file.
        cmds = " ".join(cmd.replace("q.dat", "q%d.dat" % n) % n for n in (1, 2, 3, 8))
        p, files = run(vorn, nexus(seqs, cmds, extra), ["q%d.dat" % n for n in (1, 2, 3, 8)])
        first = files["q1.dat"]
        if p.returncode != 0 or not first:
            faults.append("%s: status %d\n%s" % (name, p.returncode, p.stdout[-1500:]))
            continue
        for n in (2, 3, 8):
            if files["q%d.dat" % n] != first:
                faults.append("%s: the quartet file with %d threads differs from one thread's" % (name, n))
        if name == "species all" and p.stdout.count("exhaustive (16 quartets)") != 4:
            faults.append("4 species x 2 lineages do not count 16 quartets")
    # Bootstraps: the tree file holds one tree per replicate, the same seed
    # gives the same trees on any thread count, and the consensus is stored.
    # The file's outgroup names its own taxa: t5 and t8, or their species.
    loci = "begin sets; charpartition loci = g1: 1-500, g2: 501-1000, g3: 1001-1500, g4: 1501-2000; end;\n"
    for kind in ("standard", "multilocus loci=loci", "standard speciesTree=yes partition=sp5"):
        cmds = "outgroup t5 t8; " + " ".join(
            "svdquartets evalq=all bootstrap=%s nreps=5 seed=9 nthreads=%d treefile=b%d.tre; "
            "savetrees file=c%d.tre format=newick brlens=no;" % (kind, n, n, n) for n in (1, 3))
        p, files = run(vorn, nexus(seqs, cmds, loci + five), ["b1.tre", "b3.tre", "c1.tre", "c3.tre"])
        strip = lambda t: re.sub(r"\[Treefile saved [^]]*\]", "", t or "")
        trees = re.findall(r"^\s*tree SVDQ_\d+ = ", files["b1.tre"] or "", re.M)
        if p.returncode != 0 or len(trees) != 5 or strip(files["b1.tre"]) != strip(files["b3.tre"]):
            faults.append("bootstrap %s: status %d, %d replicate trees, files alike: %s\n%s" % (
                kind, p.returncode, len(trees), strip(files["b1.tre"]) == strip(files["b3.tre"]), p.stdout[-2000:]))
        if p.stdout.count("Bootstrap consensus tree stored to tree buffer") != 2 or not files["c1.tre"] or \
                splits_of_newick(files["c1.tre"]) != splits_of_newick(files["c3.tre"] or "();"):
            faults.append("bootstrap %s: consensus not stored alike" % kind)
        outgroup = re.findall(r"^\s*outgroup ([^;]*);", files["b1.tre"] or "", re.M)
        if outgroup != (["s3 s5"] if "species" in kind else ["t5 t8"]):
            faults.append("bootstrap %s: the tree file's outgroup commands are %s" % (kind, outgroup))
        names = set(re.findall(r"[st]\d", re.sub(r"\[.*?\]", "", files["c1.tre"] or "")))
        if names != ({"s1", "s2", "s3", "s4", "s5"} if "species" in kind else set(TIPS)):
            faults.append("bootstrap %s: consensus over %s" % (kind, sorted(names)))
    if faults:
        print("\n".join(faults))
        sys.exit(1)
    print("70 quartets as numpy chooses them, the species tree, the same quartet files on 1, 2, 3, 8 threads, "
          "and bootstraps repeated alike")


if __name__ == "__main__":
    main()
