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
import re
import subprocess
import sys
import tempfile

sys.dont_write_bytecode = True  # keep the source tree free of caches
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from treedump_support import as_unrooted as _as_unrooted, parse_dump, same_splits as _same_splits, \
    save_trees  # noqa: E402

try:
    import dendropy
except ImportError:
    sys.exit(77)

SEED = 20240611
NTAX = 9
LABELS = ["Taxon %d" % (i + 1) for i in range(NTAX - 2)] + ["Homo sapiens", "Pan.troglodytes"]


def random_tree(rng, ns, rooted, labels=None, polytomies=True, digits=(1, 3, 5)):
    """A random tree over labels (LABELS by default), with branch lengths
    rounded to one of digits decimals."""
    nodes = [dendropy.Node(taxon=ns.get_taxon(label)) for label in (labels or LABELS)]
    rng.shuffle(nodes)
    while len(nodes) > (2 if rooted else 3):
        k = 3 if polytomies and len(nodes) > 4 and rng.random() < 0.2 else 2
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
            node.edge.length = round(rng.uniform(0.001, 3.0), rng.choice(digits))
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
        outs = {fmt: os.path.join(work, "%s_ours.%s" % (kind, fmt)) for fmt in ("nexus", "altnexus", "newick", "phylip")}
        failed = save_trees(vorn, work, kind, data, source,
                            [(path, "format=%s brlens=user maxdecimals=6" % fmt) for fmt, path in outs.items()])
        if failed:
            print("FAIL %s: the program failed:\n%s" % (kind, failed))
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
    failures += awkward_labels_round_trip(treedump, vorn, rng, work)
    failures += lengths_from_data(vorn, rng, work)
    print("%d difference(s)" % failures)
    return 1 if failures else 0


# Labels that Newick and PHYLIP words cannot hold as they are: quotes,
# brackets, colons, "=", the punctuation the label rule drops, blanks next to
# underscores, digits only, names that only differ in what is dropped and
# names that share their first ten characters.
AWKWARD = ["O'Brien sp.", "Homo sapiens", "a_b", "a b", "x(1);y,z", "x1yz", "1234", "3", "Gor:illa",
           "[bracketed]", "eq=ual", "Drosophila melanogaster", "Drosophila simulans", "Drosophila", "semi;colon",
           "com,ma"]


def plain_word(label, cut=None):
    """The label rule of plain tree files: cut to its first characters when
    asked, then punctuation and quote-like characters dropped, blanks as
    underscores."""
    return "".join("_" if c == " " else c for c in label[:cut] if c not in ",;()'[]:=")


def expected_word(label, fmt):
    """Newick keeps a label that holds Newick punctuation or a quote whole,
    in quotes; otherwise the format's label rule applies."""
    if fmt == "newick" and any(c in label for c in "(),;:[]'="):
        return label
    return plain_word(label, 10 if fmt == "phylip" else None)


def splits_by_label(tree, labels):
    first = labels[0]
    out = set()
    all_labels = {leaf.taxon.label for leaf in tree.leaf_node_iter()}
    for node in tree.preorder_node_iter():
        below = {leaf.taxon.label for leaf in node.leaf_iter()}
        if first in below:
            below = all_labels - below
        if below and below != all_labels and len(below) < len(all_labels) - 1:
            out.add("|".join(sorted(below)))
    return out


def awkward_labels_round_trip(treedump, vorn, rng, work):
    """Every tree file we write is read back by our reader to the same
    trees, and DendroPy reads the Newick and PHYLIP files as one distinct
    word per taxon."""
    failures = 0
    data = os.path.join(work, "awkward.nex")
    quoted = ["'%s'" % label.replace("'", "''") for label in AWKWARD]
    with open(data, "w") as f:
        f.write("#NEXUS\nbegin taxa;\n dimensions ntax=%d;\n taxlabels %s;\nend;\n" % (len(AWKWARD), " ".join(quoted)))
    ns = dendropy.TaxonNamespace(AWKWARD)
    trees = dendropy.TreeList(taxon_namespace=ns)
    for i in range(6):
        trees.append(random_tree(rng, ns, False, AWKWARD, digits=(2,)))
    source = os.path.join(work, "awkward_source.tre")
    with open(source, "w") as f:
        f.write(trees.as_string(schema="nexus", suppress_taxa_blocks=True, unquoted_underscores=False))
    expected = [splits_of_labels(t) for t in trees]
    outs = {fmt: os.path.join(work, "awkward_ours.%s" % fmt) for fmt in ("nexus", "altnexus", "newick", "phylip")}
    failed = save_trees(vorn, work, "awkward", data, source,
                        [(path, "format=%s brlens=user root=no" % fmt) for fmt, path in outs.items()])
    if failed:
        print("FAIL awkward labels: the program failed:\n%s" % failed)
        return 1
    for fmt, path in outs.items():
        run = subprocess.run([treedump, data, path], capture_output=True, text=True)
        if run.returncode != 0:
            print("FAIL awkward labels %s: our reader refused our file: %s%s" % (fmt, run.stdout, run.stderr))
            failures += 1
            continue
        got = parse_dump(run.stdout)
        for i, g in enumerate(got):
            splits = _as_unrooted(g["splits"], AWKWARD) if g["rooted"] else g["splits"]
            if set(k for k in splits if k and k.count("|") < len(AWKWARD) - 2) != expected[i]:
                print("FAIL awkward labels %s tree %d: read back as %s" % (fmt, i + 1, sorted(splits)))
                failures += 1
        if len(got) != len(trees):
            print("FAIL awkward labels %s: %d trees read back" % (fmt, len(got)))
            failures += 1
        if fmt in ("newick", "phylip"):
            failures += check_plain_words(path, fmt)
    return failures


def splits_of_labels(tree):
    """Splits (the side without AWKWARD[0]) of a tree over AWKWARD."""
    return splits_by_label(tree, AWKWARD)


def check_plain_words(path, fmt):
    """DendroPy sees one distinct word per taxon; a label no other taxon
    competes with keeps its expected word (PHYLIP: its first ten characters;
    Newick: the whole label where it needs quotes)."""
    failures = 0
    try:
        ours = dendropy.TreeList.get(path=path, schema="newick", preserve_underscores=True)
    except Exception as e:  # a parse error is the fault looked for
        print("FAIL awkward labels %s: DendroPy cannot read it: %s" % (fmt, e))
        return 1
    words = [expected_word(label, fmt) for label in AWKWARD]
    plain = {w for w in words if words.count(w) == 1 and w.replace("_", " ").lower() not in
             {l.lower() for l in AWKWARD if l != w.replace("_", " ")}}
    for i, t in enumerate(ours):
        seen = [leaf.taxon.label for leaf in t.leaf_node_iter()]
        if len(seen) != len(AWKWARD) or len(set(seen)) != len(seen):
            print("FAIL awkward labels %s tree %d: words %s" % (fmt, i + 1, seen))
            failures += 1
        if fmt == "phylip" and any(len(w) > 10 for w in seen):
            print("FAIL awkward labels phylip tree %d: a word longer than 10 characters" % (i + 1))
            failures += 1
        missing = plain - set(seen)
        if missing:
            print("FAIL awkward labels %s tree %d: expected words %s missing" % (fmt, i + 1, sorted(missing)))
            failures += 1
    try:
        from Bio import Phylo
    except ImportError:
        return failures
    # Bio.Phylo reads an apostrophe inside a word as the start of a quote,
    # and does not read a doubled quote inside a quoted word as one quote.
    readable = {w for w in plain if "'" not in w}
    for i, t in enumerate(Phylo.parse(path, "newick")):
        names = [leaf.name for leaf in t.get_terminals()]
        if len(names) != len(AWKWARD) or len(set(names)) != len(names) or not readable <= set(names):
            print("FAIL awkward labels %s tree %d: Bio.Phylo reads %s" % (fmt, i + 1, names))
            failures += 1
    return failures



def lengths_from_data(vorn, rng, work):
    """Trees saved with lengths from the data: each tree's lengths add up to
    its parsimony score as DendroPy counts it, unrooted or rooted on the
    outgroup; written with as many decimals as asked. User lengths are cut
    to that many decimals too."""
    failures = 0
    labels = ["t%d" % (i + 1) for i in range(8)]
    seqs = {label: "".join(rng.choice("ACGT") for _ in range(40)) for label in labels}
    data = os.path.join(work, "dna.nex")
    with open(data, "w") as f:
        f.write("#NEXUS\nbegin data;\n dimensions ntax=%d nchar=40;\n format datatype=dna;\n matrix\n" % len(labels))
        f.write("".join("  %s %s\n" % (label, seqs[label]) for label in labels) + " ;\nend;\n")
    ns = dendropy.TaxonNamespace(labels)
    source = dendropy.TreeList(taxon_namespace=ns)
    for i in range(5):
        source.append(random_tree(rng, ns, False, labels, polytomies=False, digits=(4,)))
    source_path = os.path.join(work, "dna_source.tre")
    with open(source_path, "w") as f:
        f.write(source.as_string(schema="nexus", suppress_taxa_blocks=True))
    outs = {
        "unrooted": ("format=newick brlens=yes root=no maxdecimals=3", 3),
        "rooted": ("format=nexus brlens=yes root=yes maxdecimals=2", 2),
        "user": ("format=newick brlens=user root=no maxdecimals=1", 1),
    }
    failed = save_trees(vorn, work, "dna", data, source_path,
                        [(os.path.join(work, "dna_%s.tre" % kind), options) for kind, (options, _) in outs.items()])
    if failed:
        print("FAIL lengths from data: the program failed:\n%s" % failed)
        return 1
    chars = dendropy.DnaCharacterMatrix.get(path=data, schema="nexus", taxon_namespace=ns)
    from dendropy.calculate import treescore
    want_splits = [splits_by_label(t, labels) for t in source]
    for kind, (_, decimals) in outs.items():
        path = os.path.join(work, "dna_%s.tre" % kind)
        with open(path) as f:
            text = f.read()
        descriptions = "".join(line for line in text.splitlines(True) if line.lstrip().startswith(("tree ", "(")))
        lengths = re.findall(r":(-?[0-9.]+)", descriptions)
        if not lengths or any(len(x.partition(".")[2]) != decimals for x in lengths if kind != "user") or \
                any(len(x.partition(".")[2]) > decimals for x in lengths):
            print("FAIL lengths %s: decimals of %s, expected %d" % (kind, sorted(set(lengths))[:6], decimals))
            failures += 1
        ours = dendropy.TreeList.get(path=path, schema="nexus" if kind == "rooted" else "newick", taxon_namespace=ns,
                                     rooting="default-unrooted")
        if len(ours) != len(source):
            print("FAIL lengths %s: %d trees" % (kind, len(ours)))
            failures += 1
            continue
        for i, t in enumerate(ours):
            if splits_by_label(t, labels) != want_splits[i]:
                print("FAIL lengths %s tree %d: another topology" % (kind, i + 1))
                failures += 1
            total = sum(e.length or 0.0 for e in t.postorder_edge_iter() if e.tail_node is not None)
            if kind == "user":
                expected = sum(round(e.length, 1) for e in source[i].postorder_edge_iter() if e.tail_node is not None)
                if abs(total - expected) > 0.051 * len(labels) * 2:
                    print("FAIL lengths user tree %d: sum %g, the tree's lengths sum to %g" % (i + 1, total, expected))
                    failures += 1
                continue
            score = treescore.parsimony_score(t, chars, gaps_as_missing=True)
            if abs(total - score) > 0.5 * 10 ** -decimals * len(labels) * 2:
                print("FAIL lengths %s tree %d: lengths sum to %g, parsimony score %g" % (kind, i + 1, total, score))
                failures += 1
            if kind == "rooted":
                kids = t.seed_node.child_nodes()
                if not t.is_rooted or len(kids) != 2 or not any(k.taxon and k.taxon.label == labels[0] for k in kids):
                    print("FAIL lengths rooted tree %d: not rooted on the edge of %s" % (i + 1, labels[0]))
                    failures += 1
    return failures


if __name__ == "__main__":
    sys.exit(main())
