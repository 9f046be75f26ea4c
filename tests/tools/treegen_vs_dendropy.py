#!/usr/bin/env python3
"""GenerateTrees end to end, the tree sets checked with DendroPy.

Usage: treegen_vs_dendropy.py VORN

All trees of 5 taxa (15 unrooted, 26 of any resolution, 105 rooted) are
distinct topologies with every taxon once; under the constraint ((A,B)) the
3 trees all hold the group and the 12 of the converse none; random trees
under the constraint (equiprobable and Markovian) never break it; the
TREES-block "all" command gives the same set as GenerateTrees; the refusals
765 and 766 stop at the right taxon counts. Exit 77 without DendroPy.
"""
import os
import re
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
from vorn_run import cpu_limit  # noqa: E402

P5 = """#NEXUS
begin data;
  dimensions ntax=5 nchar=6;
  format symbols="012";
  matrix
  A 000010
  B 001110
  C 110101
  D 111002
  E 101102
  ;
end;
"""

failures = []


def check(ok, what):
    if not ok:
        failures.append(what)
        print("FAIL:", what)


def taxa_data(n):
    rows = "\n".join("  T%d %s" % (i + 1, format(i, "06b")) for i in range(n))
    return "#NEXUS\nbegin data;\n  dimensions ntax=%d nchar=6;\n  format symbols=\"01\";\n  matrix\n%s\n  ;\nend;\n" % (
        n, rows)


def run(vorn, work, data, commands):
    with open(os.path.join(work, "data.nex"), "w") as f:
        f.write(data)
    path = os.path.join(work, "cmds.nex")
    with open(path, "w") as f:
        f.write("#NEXUS\nbegin vorn;\nset warntree=no warnreset=no increase=auto;\nexecute data.nex;\n%s\nend;\n"
                % commands)
    return subprocess.run([vorn, "-n", path], capture_output=True, text=True, cwd=work, preexec_fn=cpu_limit(600)).stdout


def read_trees(path, rooted):
    import dendropy
    ns = dendropy.TaxonNamespace()
    return dendropy.TreeList.get(path=path, schema="newick", taxon_namespace=ns,
                                 rooting="force-rooted" if rooted else "force-unrooted")


def topology_keys(trees):
    """One key per tree: its set of bipartitions (clades when rooted)."""
    keys = []
    for t in trees:
        t.encode_bipartitions()
        keys.append(frozenset(b.split_bitmask for b in t.bipartition_encoding))
    return keys


def has_group(tree, names):
    """Whether the taxa `names` form a split of the (unrooted) tree."""
    tree.encode_bipartitions()
    ns = tree.taxon_namespace
    mask = 0
    for n in names:
        mask |= ns.taxon_bitmask(ns.get_taxon(n))
    full = ns.all_taxa_bitmask()
    for b in tree.bipartition_encoding:
        m = b.split_bitmask
        if m == mask or (full ^ m) == mask:
            return True
    return False


def check_all(vorn, work, options, rooted, expected, label):
    out = run(vorn, work, P5, "generatetrees all %s;\nsavetrees file=g.tre format=newick replace;" % options)
    check("%d trees stored in tree buffer" % expected in out, "%s: %d stored" % (label, expected))
    trees = read_trees(os.path.join(work, "g.tre"), rooted)
    check(len(trees) == expected, "%s: %d trees in file (got %d)" % (label, expected, len(trees)))
    keys = topology_keys(trees)
    check(len(set(keys)) == expected, "%s: all distinct (%d distinct)" % (label, len(set(keys))))
    check(all(sorted(t.taxon.label for t in tr.leaf_node_iter()) == list("ABCDE") for tr in trees),
          "%s: every taxon once" % label)
    return trees


P7 = """#NEXUS
begin data; dimensions ntax=7 nchar=1; format symbols="01"; matrix A 0 B 0 C 1 D 1 E 0 F 1 G 0; end;
begin sets; taxpartition p3 = 1: A G, 2: B C, 3: D E F; end;
"""


def fitch_length(tree, state):
    """Fitch length of one character (taxon label -> state) on a tree."""
    length = 0
    sets = {}
    for node in tree.postorder_node_iter():
        if node.is_leaf():
            sets[node] = {state[node.taxon.label]}
            continue
        common = None
        union = set()
        for child in node.child_node_iter():
            s = sets[child]
            union |= s
            common = set(s) if common is None else common & s
        # A multifurcating node: states shared by the most children.
        counts = {x: sum(x in sets[c] for c in node.child_node_iter()) for x in union}
        best = max(counts.values())
        sets[node] = {x for x, k in counts.items() if k == best}
        length += len(node.child_nodes()) - best
    return length


def check_constraints_with_deleted_taxon(vorn, work):
    """With G deleted, generation under the convexity partition {A G}, {B C},
    {D E F} counts the trees whose partition character takes at most 2 +
    looseness steps, over the brute-force set of all 105 trees of the other six
    taxa, at the looseness of the current settings; Markovian random trees
    under a convexity constraint and a backbone that names G keep them."""
    run(vorn, work, P7, "delete G;\ngeneratetrees all;\nsavetrees file=all.tre format=newick replace;")
    state = {"A": 0, "B": 1, "C": 1, "D": 2, "E": 2, "F": 2}
    lengths = [fitch_length(t, state) for t in read_trees(os.path.join(work, "all.tre"), False)]
    check(len(lengths) == 105, "brute force: 105 trees of 6 taxa")
    cv = "constraints cv3 (convexity) = p3;\ndelete G;\n"
    for loose, search in ((0, "hsearch looseconvex=2 enforce constraints=cv3;\nhsearch looseconvex=0;"),
                          (1, "hsearch looseconvex=1;")):
        out = run(vorn, work, P7, cv + search + "\ngeneratetrees all constraints=cv3;")
        want = sum(1 for n in lengths if n <= 2 + loose)
        got = re.findall(r"(\d+) trees stored in tree buffer", out)
        check(got and int(got[-1]) == want, "convexity looseness %d: %d trees (got %s)" % (loose, want, got))
    for name, definition, groups in (("cv3", "", ("BC", "DEF")),
                                     ("bb", "constraints bb backbone = ((A,G),(B,C),(D,E));\n", ("BC", "DE"))):
        out = run(vorn, work, P7, cv + definition + "generatetrees random model=markovian ntrees=50 seed=3 "
                  "constraints=%s;\nsavetrees file=m.tre format=newick replace;" % name)
        trees = read_trees(os.path.join(work, "m.tre"), False) if "50 trees stored" in out else []
        check(len(trees) == 50 and all(has_group(t, g) for t in trees for g in groups),
              "Markovian trees under %s with G deleted keep %s" % (name, groups))


def main():
    if len(sys.argv) != 2:
        print(__doc__)
        return 2
    try:
        import dendropy  # noqa: F401
    except ImportError:
        print("DendroPy not available; skipped")
        return 77
    vorn = sys.argv[1]
    with tempfile.TemporaryDirectory() as work:
        bins = check_all(vorn, work, "", False, 15, "unrooted")
        check(all(len(list(t.internal_nodes())) == 3 for t in bins), "unrooted trees are binary")
        check_all(vorn, work, "nonbinary", False, 26, "nonbinary")
        check_all(vorn, work, "rooted", True, 105, "rooted")

        con = "constraints c1 = ((A,B));\n"
        out = run(vorn, work, P5, con + "generatetrees all constraints=c1;\nsavetrees file=g.tre format=newick replace;")
        trees = read_trees(os.path.join(work, "g.tre"), False)
        check(len(trees) == 3 and all(has_group(t, "AB") for t in trees), "constraint: 3 trees with (A,B)")
        out = run(vorn, work, P5, con + "generatetrees all constraints=c1 converse;\n"
                  "savetrees file=g.tre format=newick replace;")
        trees = read_trees(os.path.join(work, "g.tre"), False)
        check(len(trees) == 12 and not any(has_group(t, "AB") for t in trees), "converse: 12 trees without (A,B)")
        check("NOT compatible with" in out, "converse heading")

        for model in ("equiprobable", "markovian"):
            out = run(vorn, work, P5, con + "generatetrees random ntrees=200 seed=11 model=%s constraints=c1;\n"
                      "savetrees file=g.tre format=newick replace;" % model)
            trees = read_trees(os.path.join(work, "g.tre"), False)
            check(len(trees) == 200, "%s constrained: 200 trees" % model)
            check(all(has_group(t, "AB") for t in trees), "%s constrained: never violated" % model)
            check(len(set(topology_keys(trees))) == 3, "%s constrained: all 3 compatible trees drawn" % model)

        check_constraints_with_deleted_taxon(vorn, work)

        # The TREES-block command makes the same set.
        run(vorn, work, P5, "generatetrees all rooted=no nonbinary=no;\nsavetrees file=a.tre format=newick replace;")
        run(vorn, work, P5, "begin trees; all unrooted; end;\nsavetrees file=b.tre format=newick replace;")
        a = set(topology_keys(read_trees(os.path.join(work, "a.tre"), False)))
        b = set(topology_keys(read_trees(os.path.join(work, "b.tre"), False)))
        check(len(a) == 15 and a == b, "TREES-block all equals GenerateTrees all")

        for code, cmd in ((759, "generatetrees;"), (760, "generatetrees all random;"),
                          (761, "generatetrees random ntrees=0;"),
                          (762, "constraints c1 = ((A,B));\ngeneratetrees random constraints=c1 converse;"),
                          (767, "begin trees; random seed=1; end;")):
            out = run(vorn, work, P5, cmd + "\nshowtrees;")
            check("Error(#%d)" % code in out, "error %d" % code)
            check("stored in tree buffer" not in out, "error %d stores nothing" % code)
        # Random starting trees for HSearch: their lengths are lengths of
        # five-taxon trees of p5 (9 to 13), and swapping still finds 9.
        out = run(vorn, work, P5, "hsearch addseq=random nreps=20 randomize=trees rseed=5 rstatus swap=none;")
        starts = [int(x) for x in re.findall(r"score of random starting tree = (\d+)", out)]
        check(len(starts) == 20 and set(starts) <= set(range(9, 14)) and len(set(starts)) > 2,
              "random starting trees: 20 lengths within 9..13 (%s)" % starts)
        out = run(vorn, work, P5, "hsearch addseq=random nreps=5 randomize=trees rseed=5;")
        check("Score of best tree(s) found = 9" in out, "random starting trees swapped to 9")
        out = run(vorn, work, P5, "constraints c1 = ((A,B));\n"
                  "hsearch addseq=random randomize=trees enforce constraints=c1;")
        check("Error(#544)" in out, "random starting trees refused under constraints")
        # RandTrees on p5: its 15 trees have lengths 9 once, 10 twice, 11 once,
        # 12 eight times and 13 three times.
        out = run(vorn, work, P5, "randtrees nreps=1000 fdType=barChart seed=17 scoreFile=sc.txt;")
        bars = {int(m.group(1)): int(m.group(2)) for m in re.finditer(r"^\s*(\d+) \|#* \((\d+)\)", out, re.M)}
        expected = {9: 1, 10: 2, 11: 1, 12: 8, 13: 3}
        check(sum(bars.values()) == 1000 and set(k for k, v in bars.items() if v) <= set(expected),
              "RandTrees: 1000 lengths within 9..13 (%s)" % bars)
        chi2 = sum((bars.get(k, 0) - 1000 * v / 15) ** 2 / (1000 * v / 15) for k, v in expected.items())
        check(chi2 < 18.47, "RandTrees: lengths follow the distribution of all trees (chi2 = %.2f)" % chi2)
        lines = open(os.path.join(work, "sc.txt")).read().splitlines()
        check(len(lines) == 1000 and all(re.fullmatch(r"%d\t(9|1[0-3])" % (i + 1), l) for i, l in enumerate(lines)),
              "RandTrees: score file of i<TAB>score lines")
        scores = [int(l.split("\t")[1]) for l in lines]
        check(all(scores.count(k) == bars.get(k, 0) for k in expected), "RandTrees: score file matches the chart")
        out = run(vorn, work, P5, "randtrees fdClasses=1;")
        check("Error(#539)" in out, "RandTrees: histogram of one class refused")
        out = run(vorn, work, P5, "randtrees fdClasses=1 fdType=barChart nreps=10;")
        check("Frequency distribution of lengths of 10 random trees" in out, "RandTrees: bar chart takes fdClasses=1")

        # Refusals of the character-state plots.
        tree = "begin trees; tree one = [&U] ((A,B),(C,(D,E))); end;\n"
        for code, cmd in ((415, "reconstruct;"), (416, "exclude 2;\nreconstruct 2;"), (416, "exclude 2;\nmprsets 2;"),
                          (752, "set criterion=distance;\nreconstruct 1;"),
                          (753, "set criterion=likelihood;\nmprsets 1;")):
            out = run(vorn, work, P5, tree + cmd)
            check("Error(#%d)" % code in out and "Estimated states" not in out and "MPR-sets) for" not in out,
                  "plot refusal %d" % code)

        out = run(vorn, work, taxa_data(13), "generatetrees all;")
        check("Error(#766)" in out and "(=13749310575)" in out, "13 unrooted taxa: error 766")
        out = run(vorn, work, taxa_data(21), "generatetrees all;")
        check("Error(#765)" in out, "21 unrooted taxa: error 765")
        out = run(vorn, work, taxa_data(20), "generatetrees all rooted;")
        check("Error(#765)" in out, "20 rooted taxa: error 765")
    if failures:
        print("%d failure(s)" % len(failures))
        return 1
    print("all tree-generation checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
