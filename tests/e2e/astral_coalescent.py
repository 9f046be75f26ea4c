#!/usr/bin/python3
"""Astral on gene trees simulated here under the multispecies coalescent.

300 gene trees are drawn on an 8-taxon species tree whose internal branches
last 0.3-1 coalescent units. The species tree the program returns must be the
true one and must have the largest quartet support of all 10,395 unrooted
binary trees of 8 taxa (enumerated here); after the command the buffer must
hold that tree alone; QScores must give, for it, the true tree and two trees
one interchange away, the consistent and inconsistent quartet sums counted
here from the gene trees.

Usage: astral_coalescent.py VORN
"""
import itertools
import os
import random
import re
import subprocess
import sys
import tempfile
from vorn_run import cpu_limit

NTAX = 8
CASES = [(7, 15, seed) for seed in range(12)] + [(8, 15, seed) for seed in range(4)]
GENES = 300
TAXA = list(range(NTAX))

# ((((0,1),2),3),((4,5),(6,7))) with a length on each branch below the root.
SPECIES = ((((0, 1), 2), 3), ((4, 5), (6, 7)))
ALTERNATIVES = [
    ((((0, 2), 1), 3), ((4, 5), (6, 7))),   # 1 and 2 interchanged
    ((((0, 1), 2), 3), ((4, 6), (5, 7))),   # 5 and 6 interchanged
]


def gene_tree(rng, node, lengths):
    """Lineages leaving the branch above node, merged at rate k(k-1)/2."""
    if isinstance(node, int):
        lineages = [node]
    else:
        lineages = gene_tree(rng, node[0], lengths) + gene_tree(rng, node[1], lengths)
    limit = lengths.get(node, float("inf"))
    t = 0.0
    while len(lineages) > 1:
        k = len(lineages)
        t += rng.expovariate(k * (k - 1) / 2.0)
        if t > limit:
            break
        a = lineages.pop(rng.randrange(k))
        b = lineages.pop(rng.randrange(k - 1))
        lineages.append((a, b))
    return lineages


def leaves(node):
    return frozenset([node]) if isinstance(node, int) else frozenset().union(*(leaves(c) for c in node))


def splits(tree):
    """Nontrivial bipartitions, each as the side without taxon 0."""
    out = set()
    everything = leaves(tree)

    def walk(node):
        if isinstance(node, int):
            return
        side = leaves(node)
        if 2 <= len(side) <= len(everything) - 2:
            out.add(side if 0 not in side else everything - side)
        for c in node:
            walk(c)

    walk(tree)
    return out


def topology(tree_splits, q):
    """0 for q0q1|q2q3, 1 for q0q2|q1q3, 2 for q0q3|q1q2, None unresolved."""
    w, x, y, z = q
    for k, (p1, p2) in enumerate((((w, x), (y, z)), ((w, y), (x, z)), ((w, z), (x, y)))):
        for s in tree_splits:
            if (p1[0] in s) == (p1[1] in s) and (p2[0] in s) == (p2[1] in s) and (p1[0] in s) != (p2[0] in s):
                return k
    return None


def support(tree_splits, weights):
    return sum(weights[q][topology(tree_splits, q)] for q in weights)


def all_trees(ntax=NTAX):
    """Split sets of every unrooted binary tree of ntax taxa."""
    def grow(tree, nxt):
        if nxt == ntax:
            yield tree
            return
        # Graft the next taxon onto each edge, the edges given as subtrees.
        def graft(node):
            yield (node, nxt)
            if not isinstance(node, int):
                for i, c in enumerate(node):
                    for g in graft(c):
                        yield tuple(g if j == i else d for j, d in enumerate(node))
        for t in graft(tree):
            yield from grow(t, nxt + 1)
    # Trees held as the part beyond taxon 0: every edge is then the edge
    # above one subtree, the whole being the edge to taxon 0.
    for t in grow((1, 2), 3):
        yield splits((t, 0))


def newick(node):
    return "T%d" % (node + 1) if isinstance(node, int) else "(" + ",".join(newick(c) for c in node) + ")"


def parse_newick(text):
    tokens = re.findall(r"[(),]|[^(),;\s]+", text)
    pos = 0

    def node():
        nonlocal pos
        if tokens[pos] == "(":
            pos += 1
            kids = [node()]
            while tokens[pos] == ",":
                pos += 1
                kids.append(node())
            pos += 1
            return tuple(kids)
        name = tokens[pos]
        pos += 1
        return int(name.lstrip("Tt")) - 1
    return node()


def qscores_rows(block):
    return [(float(m.group(1)), float(m.group(2)))
            for m in re.finditer(r"^\s+\d+(?: \S+)?\s+([\d.]+)\s+\([\d.]+%\)\s+([\d.]+)\s+\([\d.]+%\)$", block, re.M)]


def main():
    vorn = os.path.abspath(sys.argv[1])
    rng = random.Random(2026)
    lengths = {}
    for node in [n for n in _internal(SPECIES) if n != SPECIES]:
        lengths[node] = rng.uniform(0.3, 1.0)
    genes = []
    for _ in range(GENES):
        g = gene_tree(rng, SPECIES, lengths)
        assert len(g) == 1
        genes.append(g[0])

    weights = {q: [0, 0, 0, 0] for q in itertools.combinations(TAXA, 4)}  # last slot: unresolved
    for g in genes:
        s = splits(g)
        for q in weights:
            t = topology(s, q)
            weights[q][3 if t is None else t] += 1
    total = sum(sum(w[:3]) for w in weights.values())

    failures = []
    best, count, ties = -1, 0, 0
    for s in all_trees():
        count += 1
        v = support(s, weights)
        if v > best:
            best, ties = v, 1
        elif v == best:
            ties += 1
    if count != 10395:
        failures.append("enumerated %d trees" % count)

    with tempfile.TemporaryDirectory(prefix="vorn-astral-") as work:
        with open(os.path.join(work, "genes.nex"), "w") as f:
            f.write("#NEXUS\nbegin taxa;\ndimensions ntax=%d;\ntaxlabels %s;\nend;\n"
                    % (NTAX, " ".join("T%d" % (t + 1) for t in TAXA)))
            f.write("begin vorn;\nset maxtrees=%d;\nend;\nbegin trees;\n" % GENES)
            for i, g in enumerate(genes):
                f.write("tree g%d = [&R] %s;\n" % (i + 1, newick(g)))
            f.write("end;\nbegin vorn;\nastral;\nqscores;\n"
                    "savetrees file=species.tre format=newick brlens=no replace;\nend;\n")
            f.write("begin trees;\n")
            for i, t in enumerate([SPECIES] + ALTERNATIVES):
                f.write("tree t%d = [&U] %s;\n" % (i + 1, newick(t)))
            f.write("end;\nbegin vorn;\nqscores;\nquit;\nend;\n")
        run = subprocess.run([vorn, "-n", "genes.nex"], cwd=work, capture_output=True, text=True, preexec_fn=cpu_limit(300))
        out = run.stdout
        if run.returncode != 0:
            failures.append("vorn exited with %d: %s" % (run.returncode, run.stderr))
        with open(os.path.join(work, "species.tre")) as f:
            found = parse_newick(f.read().strip())

    tables = out.split("Quartet consistency scores for trees currently in memory")[1:]
    if len(tables) != 2:
        return print("expected two QScores tables:\n" + out) or 1
    first = qscores_rows(tables[0])
    found_support = support(splits(found), weights)
    if splits(found) != splits(SPECIES):
        failures.append("Astral returned %s, not the true species tree" % (found,))
    if found_support != best or ties != 1:
        failures.append("Astral tree support %d; largest of all trees %d (held by %d)" % (found_support, best, ties))
    # The buffer holds the species tree alone, scored against the gene trees.
    if first != [(total - found_support, found_support)]:
        failures.append("QScores after Astral gave %s; expected one row %s"
                        % (first, (total - found_support, found_support)))
    expected = [(total - support(splits(t), weights), support(splits(t), weights)) for t in [SPECIES] + ALTERNATIVES]
    if qscores_rows(tables[1]) != expected:
        failures.append("QScores gave %s; counted %s" % (qscores_rows(tables[1]), expected))
    if not failures:
        print("Astral tree = true species tree, support %d of %d (largest of %d trees); QScores %s"
              % (found_support, total, count, expected))
    failures += check_incomplete_genes(vorn, rng, genes[:60])
    failures += check_bs_optimum(vorn)
    for f in failures:
        print("FAIL:", f)
    return 1 if failures else 0


def random_rooted(rng, taxa):
    nodes = list(taxa)
    while len(nodes) > 1:
        a = nodes.pop(rng.randrange(len(nodes)))
        b = nodes.pop(rng.randrange(len(nodes)))
        nodes.append((a, b))
    return nodes[0]


def check_bs_optimum(vorn):
    """The Bryant-Steel search on few random gene trees, whose quartet
    weights tie often: its candidate clusters must still hold the tree of
    largest support, found here over every tree of 7 and of 8 taxa."""
    failures = []
    rng = random.Random(89)
    cases = CASES
    for ntax, ngenes, seed in cases:
        rng.seed(seed * 100 + ntax)
        taxa = list(range(ntax))
        genes = [random_rooted(rng, taxa) for _ in range(ngenes)]
        weights = {q: [0, 0, 0, 0] for q in itertools.combinations(taxa, 4)}
        for g in genes:
            s = splits(g)
            for q in weights:
                t = topology(s, q)
                weights[q][3 if t is None else t] += 1
        best = max(support(s, weights) for s in all_trees(ntax))
        with tempfile.TemporaryDirectory(prefix="vorn-astral-") as work:
            with open(os.path.join(work, "genes.nex"), "w") as f:
                f.write("#NEXUS\nbegin taxa;\ndimensions ntax=%d;\ntaxlabels %s;\nend;\nbegin trees;\n"
                        % (ntax, " ".join("T%d" % (t + 1) for t in taxa)))
                f.write("".join("tree g%d = [&R] %s;\n" % (i + 1, newick(g)) for i, g in enumerate(genes)))
                f.write("end;\nbegin vorn;\ndefaults qsearch method=bs;\nastral;\n"
                        "savetrees file=species.tre format=newick brlens=no replace;\nquit;\nend;\n")
            run = subprocess.run([vorn, "-n", "genes.nex"], cwd=work, capture_output=True, text=True,
                                 preexec_fn=cpu_limit(120))
            if run.returncode != 0:
                failures.append("BS case %d/%d: vorn exited with %d" % (ntax, seed, run.returncode))
                continue
            with open(os.path.join(work, "species.tre")) as f:
                found = support(splits(parse_newick(f.read().strip())), weights)
        if found != best:
            failures.append("BS on %d taxa (seed %d): support %d, largest of all trees %d" % (ntax, seed, found, best))
    if not failures:
        print("BS: the largest quartet support in all %d cases" % len(cases))
    return failures


def prune(node, drop):
    """The tree without the taxa in drop; nodes left with one child vanish."""
    if isinstance(node, int):
        return None if node in drop else node
    kids = [k for k in (prune(c, drop) for c in node) if k is not None]
    return None if not kids else kids[0] if len(kids) == 1 else tuple(kids)


def collapse(node, target):
    """The tree with the inner node target merged into its parent."""
    if isinstance(node, int):
        return node
    kids = []
    for c in node:
        kids.extend(collapse(c, target) if c == target else [collapse(c, target)])
    return tuple(kids)


def check_incomplete_genes(vorn, rng, genes):
    """Gene trees that lack taxa or hold polytomies, written unrooted: each
    adds only the quartets it resolves among its own taxa."""
    trees = []
    for i, g in enumerate(genes):
        if i % 3 == 1:
            g = prune(g, set(rng.sample(TAXA, rng.choice([1, 2, 3]))))
        elif i % 3 == 2:
            g = collapse(g, rng.choice([n for n in _internal(g) if n != g and not isinstance(n, int)]))
        trees.append(g)
    weights = {q: [0, 0, 0] for q in itertools.combinations(TAXA, 4)}
    for g in trees:
        s, held = splits(g), leaves(g)
        for q in weights:
            t = topology(s, q) if set(q) <= held else None
            if t is not None:
                weights[q][t] += 1
    total = sum(sum(w) for w in weights.values())
    expected = [(total - support(splits(t), weights), support(splits(t), weights)) for t in [SPECIES] + ALTERNATIVES]
    with tempfile.TemporaryDirectory(prefix="vorn-astral-") as work:
        with open(os.path.join(work, "genes.nex"), "w") as f:
            f.write("#NEXUS\nbegin taxa;\ndimensions ntax=%d;\ntaxlabels %s;\nend;\nbegin trees;\n"
                    % (NTAX, " ".join("T%d" % (t + 1) for t in TAXA)))
            f.write("".join("tree g%d = [&U] %s;\n" % (i + 1, newick(g)) for i, g in enumerate(trees)))
            f.write("end;\nbegin vorn;\nastral;\nend;\nbegin trees;\n")
            f.write("".join("tree t%d = [&U] %s;\n" % (i + 1, newick(t)) for i, t in enumerate([SPECIES] + ALTERNATIVES)))
            f.write("end;\nbegin vorn;\nqscores;\nquit;\nend;\n")
        run = subprocess.run([vorn, "-n", "genes.nex"], cwd=work, capture_output=True, text=True, preexec_fn=cpu_limit(300))
    tables = run.stdout.split("Quartet consistency scores for trees currently in memory")[1:]
    got = qscores_rows(tables[0]) if len(tables) == 1 and run.returncode == 0 else run.stdout + run.stderr
    if got != expected:
        return ["incomplete gene trees: QScores gave %s; counted %s" % (got, expected)]
    print("Incomplete and unresolved gene trees: QScores %s" % (expected,))
    return []


def _internal(node):
    if isinstance(node, int):
        return []
    return [node] + _internal(node[0]) + _internal(node[1])


if __name__ == "__main__":
    sys.exit(main())
