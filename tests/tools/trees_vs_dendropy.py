"""Cross-checks our tree reader and writer with DendroPy's.

Usage: trees_vs_dendropy.py TREEDUMP VORN

Random trees (fixed seed), rooted and unrooted, with branch lengths, names
and weights, over taxa whose labels hold blanks:
1. DendroPy writes them as a NEXUS file with a Translate table, one without,
   and a plain Newick file; treedump reads each through our reader and must
   see the same splits with the same lengths, names and weights.
2. The program reads DendroPy's NEXUS file and writes it back with SaveTrees
   in the Nexus (translate), altNexus, Newick and Phylip formats; DendroPy
   reads ours and must see the same splits and lengths again.

Exit status: 0 agreement, 1 a difference, 77 DendroPy is not available.
"""

import os
import random
import subprocess
import sys
import tempfile

sys.dont_write_bytecode = True  # keep the source tree free of caches
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from treedump_support import as_unrooted as _as_unrooted, parse_dump, same_splits as _same_splits  # noqa: E402

try:
    import dendropy
except ImportError:
    sys.exit(77)

SEED = 20240611
NTAX = 9
LABELS = ["Taxon %d" % (i + 1) for i in range(NTAX - 2)] + ["Homo sapiens", "Pan.troglodytes"]


def random_tree(rng, ns, rooted):
    nodes = [dendropy.Node(taxon=ns.get_taxon(label)) for label in LABELS]
    rng.shuffle(nodes)
    while len(nodes) > (2 if rooted else 3):
        k = 3 if len(nodes) > 4 and rng.random() < 0.2 else 2
        kids = [nodes.pop(rng.randrange(len(nodes))) for _ in range(k)]
        parent = dendropy.Node()
        for kid in kids:
            parent.add_child(kid)
        nodes.append(parent)
    tree = dendropy.Tree(taxon_namespace=ns)
    for kid in nodes:
        tree.seed_node.add_child(kid)
    for node in tree.postorder_node_iter():
        if node is not tree.seed_node:
            node.edge.length = round(rng.uniform(0.001, 3.0), rng.choice([1, 3, 5]))
    tree.is_rooted = rooted
    return tree


def splits_of(tree):
    """Split key (sorted labels, '|'-joined) -> summed length, as treedump prints."""
    first = LABELS[0]
    out = {}
    seed = tree.seed_node
    all_labels = {leaf.taxon.label for leaf in tree.leaf_node_iter()}
    for node in tree.preorder_node_iter():
        if node is seed:
            continue
        below = {leaf.taxon.label for leaf in node.leaf_iter()}
        if not tree.is_rooted and first in below:
            below = all_labels - below
        if not below or below == all_labels:
            continue
        key = "|".join(sorted(below))
        out[key] = out.get(key, 0.0) + (node.edge.length or 0.0)
    return out


def as_unrooted(splits):
    return _as_unrooted(splits, LABELS)


def same_splits(a, b, tol=1e-6):
    return _same_splits(a, b, tol, ignore_empty=True)


def main():
    treedump, vorn = sys.argv[1], sys.argv[2]
    rng = random.Random(SEED)
    failures = 0
    work = tempfile.mkdtemp(prefix="trees_vs_dp_")
    data = os.path.join(work, "taxa.nex")
    with open(data, "w") as f:
        f.write("#NEXUS\nbegin taxa;\n dimensions ntax=%d;\n taxlabels\n" % NTAX)
        f.write("".join("  '%s'\n" % label for label in LABELS) + " ;\nend;\n")
    for rooted in (False, True):
        ns = dendropy.TaxonNamespace(LABELS)
        trees = dendropy.TreeList(taxon_namespace=ns)
        weights = []
        for i in range(12):
            t = random_tree(rng, ns, rooted)
            t.label = "dp tree %d" % (i + 1)
            weights.append(rng.choice([1, 0.5, 0.25, 2]))
            trees.append(t)
        expected = [splits_of(t) for t in trees]
        kind = "rooted" if rooted else "unrooted"

        # 1. DendroPy-written files read by us.
        files = {
            "nexus_translate": dict(schema="nexus", translate_tree_taxa=True),
            "nexus_labels": dict(schema="nexus", translate_tree_taxa=False),
            "newick": dict(schema="newick"),
        }
        for name, kwargs in files.items():
            path = os.path.join(work, "%s_%s.tre" % (kind, name))
            text = trees.as_string(suppress_taxa_blocks=True, **kwargs) if kwargs["schema"] == "nexus" \
                else trees.as_string(**kwargs)
            if kwargs["schema"] == "nexus":
                # Weights as our weight comment, ahead of the description.
                lines, i = [], 0
                for line in text.splitlines(True):
                    if line.lstrip().upper().startswith("TREE "):
                        line = line.replace(" = ", " = [&W %s] " % weights[i], 1)
                        i += 1
                    lines.append(line)
                text = "".join(lines)
            with open(path, "w") as f:
                f.write(text)
            run = subprocess.run([treedump, data, path], capture_output=True, text=True)
            if run.returncode != 0:
                print("FAIL %s %s: treedump refused: %s" % (kind, name, run.stderr))
                failures += 1
                continue
            got = parse_dump(run.stdout)
            if len(got) != len(trees):
                print("FAIL %s %s: %d trees, expected %d" % (kind, name, len(got), len(trees)))
                failures += 1
                continue
            for i, g in enumerate(got):
                want_rooted = rooted if name != "newick" else rooted or g["rooted"]
                problems = []
                if g["rooted"] and not rooted:
                    g["splits"] = as_unrooted(g["splits"])
                if not same_splits(g["splits"], expected[i]):
                    problems.append("splits %s vs %s" % (g["splits"], expected[i]))
                if g["rooted"] != want_rooted:
                    problems.append("rootedness")
                if name != "newick":
                    if g["name"] != trees[i].label:
                        problems.append("name %r" % g["name"])
                    if abs(g["weight"] - weights[i]) > 1e-12:
                        problems.append("weight %g" % g["weight"])
                if problems:
                    print("FAIL %s %s tree %d: %s" % (kind, name, i + 1, "; ".join(problems)))
                    failures += 1

        # 2. Our files read by DendroPy.
        source = os.path.join(work, "%s_nexus_translate.tre" % kind)
        cmds = os.path.join(work, "%s_cmds.nex" % kind)
        outs = {fmt: os.path.join(work, "%s_ours.%s" % (kind, fmt)) for fmt in ("nexus", "altnexus", "newick", "phylip")}
        with open(cmds, "w") as f:
            f.write("#NEXUS\nexecute '%s';\ngettrees file='%s';\n" % (data, source))
            for fmt, path in outs.items():
                f.write("savetrees file='%s' format=%s brlens=user maxdecimals=6 replace;\n" % (path, fmt))
            f.write("quit;\n")
        run = subprocess.run([vorn, "-n", cmds], capture_output=True, text=True, cwd=work)
        if run.returncode != 0:
            print("FAIL %s: the program failed:\n%s%s" % (kind, run.stdout, run.stderr))
            failures += 1
            continue
        for fmt, path in outs.items():
            schema = "nexus" if "nexus" in fmt else "newick"
            ours = dendropy.TreeList.get(path=path, schema=schema, taxon_namespace=dendropy.TaxonNamespace(),
                                         rooting="force-rooted" if rooted else "force-unrooted")
            if len(ours) != len(trees):
                print("FAIL %s %s: DendroPy read %d trees" % (kind, fmt, len(ours)))
                failures += 1
                continue
            for i, t in enumerate(ours):
                if fmt == "phylip":  # ten-character names
                    short = {l.replace(" ", "_")[:10].replace("_", " "): l for l in LABELS}
                    for leaf in t.leaf_node_iter():
                        leaf.taxon.label = short.get(leaf.taxon.label, leaf.taxon.label)
                got = splits_of(t)
                if not same_splits(got, expected[i]):
                    print("FAIL %s %s tree %d: %s vs %s" % (kind, fmt, i + 1, got, expected[i]))
                    failures += 1
    print("%d difference(s)" % failures)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
