#!/usr/bin/env python3
"""The replicate tree file of Bootstrap and Jackknife, read back.

Usage: repfile_checks.py VORN

Branch lengths (brLens=yes): a jackknife replicate that deletes nothing
(Jac resampling at a vanishing percentage) holds the data as they are, so
its tree must carry the lengths the program gives that tree outside a
resampling run: SaveTrees brLens=yes of the tree read back under parsimony,
distance and likelihood, the NJ and UPGMA commands' own tree files for
clustering replicates, and under parsimony a Fitch length computed here.
Lengths are written on every edge of real bootstrap replicates too, without
changing the trees the run finds. Hennig86 and FreqPars files: read here
after their layouts, they hold the trees of the NEXUS file of the same seed,
and ToNEXUS converts the Hennig86 file back to the same trees.
"""
import os
import random
import re
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
from vorn_run import cpu_limit  # noqa: E402

TAXA = ["t%d" % (i + 1) for i in range(8)]


def data_block():
    r = random.Random(17)
    root = [r.choice("ACGT") for _ in range(40)]
    rows = []
    for t in range(8):
        s = list(root)
        for i in range(40):
            if (i < 8 and t < 4) or (8 <= i < 14 and t in (4, 5)):
                s[i] = "T" if root[i] != "T" else "G"
            if r.random() < 0.2:
                s[i] = r.choice("ACGT")
        rows.append(s)
    text = "\n".join("%s %s" % (TAXA[t], "".join(rows[t])) for t in range(8))
    return ("#NEXUS\nbegin data;\ndimensions ntax=8 nchar=40;\nformat datatype=dna;\nmatrix\n%s\n;\nend;\n" % text,
            rows)


FAILED = []


def check(ok, what):
    print(("ok    " if ok else "FAIL  ") + what)
    if not ok:
        FAILED.append(what)


def run(vorn, work, commands):
    path = os.path.join(work, "cmds.nex")
    with open(path, "w") as f:
        f.write("#NEXUS\nbegin vorn;\nset warntree=no warnreset=no;\nexecute data.nex;\n%s\nend;\n" % commands)
    out = subprocess.run([vorn, "-n", path], capture_output=True, text=True, cwd=work, preexec_fn=cpu_limit(600)).stdout
    if "Error" in out:
        print(out)
    return out


def parse_newick(text):
    """(clade -> length) of a tree description with labels; a clade is the
    frozenset of its leaves, the whole tree's excluded."""
    tokens = re.findall(r"\(|\)|,|:[-0-9.eE+]+|[^(),:;\s]+", text)
    lengths, stack, last = {}, [], None
    for tok in tokens:
        if tok == "(":
            stack.append(set())
        elif tok == ")":
            last = frozenset(stack.pop())
            if stack:
                stack[-1] |= last
                lengths[last] = None
        elif tok == ",":
            continue
        elif tok.startswith(":"):
            lengths[last] = float(tok[1:])
        else:
            last = frozenset([tok])
            lengths[last] = None
            if stack:
                stack[-1] |= last
    return lengths


def unrooted_key(clade):
    """A clade of an unrooted tree named by the side without the first taxon."""
    return clade if TAXA[0] not in clade else frozenset(TAXA) - clade


def nexus_trees(path):
    """The tree descriptions of a file written with labels (altNexus)."""
    trees = []
    for line in open(path):
        m = re.match(r"\s*tree \S+ = (?:\[[^\]]*\]\s*)*(\(.*\));\s*$", line)
        if m:
            trees.append(m.group(1))
    return trees


def splits(newick):
    """The nontrivial groups of an unrooted tree."""
    return {unrooted_key(c) for c in parse_newick(newick) if 1 < len(unrooted_key(c)) < len(TAXA) - 1}


def fitch_length(newick, rows):
    """Unweighted Fitch length of a tree description over the matrix."""
    tokens = re.findall(r"\(|\)|,|:[-0-9.eE+]+|[^(),:;\s]+", newick)
    total = 0
    for col in range(len(rows[0])):
        stack = [[]]
        steps = 0
        for tok in tokens:
            if tok == "(":
                stack.append([])
            elif tok == ")":
                # Fitch's rule for any number of children: the states most
                # children hold, at one step for each child without them.
                kids = stack.pop()
                counts = {}
                for kid in kids:
                    for x in kid:
                        counts[x] = counts.get(x, 0) + 1
                most = max(counts.values())
                steps += len(kids) - most
                stack[-1].append({x for x, c in counts.items() if c == most})
            elif tok in TAXA:
                stack[-1].append({rows[TAXA.index(tok)][col]})
        total += steps
    return total


def same_lengths(a, b, rooted, tol):
    la, lb = parse_newick(a), parse_newick(b)
    if not rooted:
        # An unrooted tree's basal edges may be split differently; compare
        # every edge below the basal fork by its clade.
        la = {unrooted_key(k): v for k, v in la.items() if 1 < len(unrooted_key(k)) or len(k) == 1}
        lb = {unrooted_key(k): v for k, v in lb.items() if 1 < len(unrooted_key(k)) or len(k) == 1}
    common = set(la) & set(lb)
    return (len(common) >= len(TAXA) and all(la[k] is not None and lb[k] is not None and abs(la[k] - lb[k]) <= tol
                                             for k in common)), la, lb


NO_DELETION = "jackknife nreps=1 seed=7 resample=jac pctdelete=0.000001 grpfreq=no replace"


def check_lengths(vorn, work, rows):
    # Parsimony, distance and likelihood: the replicate's lengths are those
    # SaveTrees gives the same tree on the same data.
    for crit, setup, tol in (("parsimony", "set criterion=parsimony; pset collapse=no;", 0.0),
                             ("distance", "set criterion=distance;", 2e-6),
                             ("likelihood", "set criterion=likelihood; lset nst=1 basefreq=equal;", 2e-5)):
        run(vorn, work, "%s %s search=heuristic treefile=rep.tre format=altnexus brlens=yes;"
                        " gettrees file=rep.tre; savetrees file=saved.tre format=altnexus brlens=yes replace;"
            % (setup, NO_DELETION))
        rep, saved = nexus_trees(os.path.join(work, "rep.tre")), nexus_trees(os.path.join(work, "saved.tre"))
        check(len(rep) >= 1 and len(rep) == len(saved), "%s: the replicate's trees read back" % crit)
        for a, b in zip(rep, saved):
            ok, la, _ = same_lengths(a, b, False, tol)
            check(ok, "%s: replicate lengths equal those SaveTrees gives the tree: %s / %s" % (crit, a, b))
            # A likelihood search contracts an edge fitted to the least
            # length, so its tree may have fewer edges; each still has one.
            edges = len(la) == 2 * len(TAXA) - 3 or (crit == "likelihood" and len(TAXA) <= len(la) < 2 * len(TAXA) - 3)
            check(edges and None not in la.values(), "%s: every edge has a length: %s" % (crit, a))
            if crit == "parsimony":
                check(abs(sum(v or 0 for v in parse_newick(a).values()) - fitch_length(a, rows)) < 1e-9,
                      "parsimony: the lengths sum to the tree's Fitch length: %s" % a)
    # Clustering replicates take their joins' lengths, as UPGMA does (whose
    # file rounds them to the distance decimals); the NJ command fits its
    # tree's lengths under the criterion, on the same tree.
    for method, rooted in (("nj", False), ("upgma", True)):
        run(vorn, work, "set criterion=distance; %s search=%s treefile=rep.tre format=altnexus brlens=yes;"
                        " %s treefile=own.tre replace;" % (NO_DELETION, method, method))
        rep, own = nexus_trees(os.path.join(work, "rep.tre")), nexus_trees(os.path.join(work, "own.tre"))
        check(len(rep) == 1 and len(own) == 1, "%s: one tree each" % method)
        if rep and own and method == "nj":
            check(splits(rep[0]) == splits(own[0]),
                  "nj: the replicate's tree is the command's: %s / %s" % (rep[0], own[0]))
        elif rep and own:
            check(same_lengths(rep[0], own[0], rooted, 1e-5)[0],
                  "%s: replicate lengths equal the command's: %s / %s" % (method, rep[0], own[0]))
    # Real replicates: lengths on every edge, integers under parsimony
    # (whole weights), and the same trees as a run without lengths.
    run(vorn, work, "set criterion=parsimony; pset collapse=no; bootstrap nreps=4 seed=21 grpfreq=no"
                    " search=heuristic treefile=with.tre format=altnexus brlens=yes replace;"
                    " bootstrap nreps=4 seed=21 grpfreq=no treefile=without.tre brlens=no replace;")
    with_l, without = nexus_trees(os.path.join(work, "with.tre")), nexus_trees(os.path.join(work, "without.tre"))
    check(len(with_l) >= 4 and len(with_l) == len(without), "bootstrap: as many trees with lengths as without")
    for a, b in zip(with_l, without):
        la = parse_newick(a)
        check(len(la) == 2 * len(TAXA) - 3 and all(v is not None and v == int(v) for v in la.values()),
              "bootstrap: whole parsimony lengths on every edge: %s" % a)
        check(splits(a) == splits(b), "bootstrap: lengths leave the replicate's tree as it was: %s / %s" % (a, b))


def hennig_trees(path):
    """The trees of a Hennig86 tread list, checked against its layout."""
    text = open(path).read()
    m = re.match(r"tread\n'Trees found during (bootstrap|jackknife) analysis "
                 r"[A-Z][a-z]{2} [A-Z][a-z]{2} [ \d]\d \d\d:\d\d:\d\d \d{4}'\n(.*?);\n\nprocedure /;\n$", text, re.S)
    if not m:
        return None
    body = m.group(2)
    return [t.strip() for t in body.split("*\n")]


def freqpars_splits(line):
    """The groups of a FreqPars ancestor list: node i's ancestor is entry i,
    tips first (taxon order), the last taxon's entry naming the top fork."""
    anc = [int(x) - 1 for x in line.split()]
    n = len(TAXA)
    total = len(anc) + 1
    below = {i: set() for i in range(total)}
    for tip in range(n):
        node = tip
        seen = 0
        while node != total - 1 and seen <= total:
            node = anc[node]
            below[node].add(TAXA[tip])
            seen += 1
    out = set()
    for node in range(n, total - 1):
        k = unrooted_key(frozenset(below[node]))
        if 1 < len(k) < n - 1:
            out.add(k)
    return out


def check_other_formats(vorn, work):
    out = run(vorn, work, "set criterion=parsimony; pset collapse=no; bootstrap nreps=5 seed=33 grpfreq=no"
                          " search=heuristic brlens=no treefile=ref.tre format=altnexus replace;"
                          " bootstrap nreps=5 seed=33 grpfreq=no treefile=h.tre format=hennig replace;"
                          " bootstrap nreps=5 seed=33 grpfreq=no treefile=f.tre format=freqpars replace;"
                          " tonexus fromfile=h.tre tofile=h.nex format=hennig86 replace;")
    check("cannot be written" not in out, "Hennig86 and FreqPars files are written")
    ref = nexus_trees(os.path.join(work, "ref.tre"))
    hen = hennig_trees(os.path.join(work, "h.tre"))
    check(hen is not None, "the Hennig86 file has the tread layout, ';' on its last tree")
    if hen is not None:
        check(len(hen) == len(ref) and all(splits(a) == splits(b) for a, b in zip(hen, ref)),
              "the Hennig86 trees are the NEXUS file's: %s" % hen)
    conv = nexus_trees(os.path.join(work, "h.nex")) if os.path.exists(os.path.join(work, "h.nex")) else []
    check(len(conv) == len(ref) and all(splits(a) == splits(b) for a, b in zip(conv, ref)),
          "ToNEXUS reads the Hennig86 file back to the same trees")
    lines = [l for l in open(os.path.join(work, "f.tre")).read().splitlines() if l.strip()]
    check(len(lines) == len(ref) and all(freqpars_splits(a) == splits(b) for a, b in zip(lines, ref)),
          "the FreqPars ancestor lists are the NEXUS file's trees")


def main():
    vorn = sys.argv[1]
    data, rows = data_block()
    with tempfile.TemporaryDirectory() as work:
        with open(os.path.join(work, "data.nex"), "w") as f:
            f.write(data)
        check_lengths(vorn, work, rows)
        check_other_formats(vorn, work)
    if FAILED:
        print("%d check(s) failed" % len(FAILED))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
