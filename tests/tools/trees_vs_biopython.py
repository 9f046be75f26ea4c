"""Cross-checks our tree reader and writer with Biopython's Bio.Phylo.

Usage: trees_vs_biopython.py TREEDUMP VORN

Random trees (fixed seed) with branch lengths, comments on some branches and
taxon labels that need quoting:
1. Bio.Phylo writes them as Newick and as NEXUS; treedump reads each through
   our reader and must see the same splits with the same lengths.
2. The program reads Bio.Phylo's Newick file and writes it back with
   SaveTrees in the Nexus (translate), altNexus and Newick formats; Bio.Phylo
   reads ours and must see the same splits and lengths again.

Exit status: 0 agreement, 1 a difference, 77 Biopython is not available.
"""

import os
import re
import random
import subprocess
import sys
import tempfile

sys.dont_write_bytecode = True  # keep the source tree free of caches
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from treedump_support import as_unrooted as _as_unrooted, parse_dump, same_splits as _same_splits, \
    save_trees  # noqa: E402

try:
    from Bio import Phylo
    from Bio.Phylo.Newick import Clade, Tree
except ImportError:
    sys.exit(77)

SEED = 20240612
LABELS = ["Taxon %d" % (i + 1) for i in range(6)] + ["Homo sapiens", "Pan.troglodytes", "Mus musculus-B6"]


def random_tree(rng):
    nodes = [Clade(name=label) for label in LABELS]
    while len(nodes) > 3:
        k = 3 if len(nodes) > 4 and rng.random() < 0.2 else 2
        kids = [nodes.pop(rng.randrange(len(nodes))) for _ in range(k)]
        parent = Clade(clades=kids)
        if rng.random() < 0.3:
            parent.comment = "&support=%d" % rng.randrange(100)
        nodes.append(parent)
    root = Clade(clades=nodes)
    for clade in root.find_clades():
        if clade is not root:
            clade.branch_length = round(rng.uniform(0.001, 3.0), rng.choice([1, 3, 5]))
    return Tree(root=root, rooted=False)


def plain(label):
    """A label with only its letters, digits and dots: Bio.Phylo keeps the
    quotes of translated NEXUS labels and the underscores of Newick blanks,
    and our Newick writer makes labels safe for plain Newick readers."""
    return re.sub(r"[^A-Za-z0-9.]", "", label)


PLAIN = {plain(label): label for label in LABELS}


def splits_of(tree):
    """Split key (sorted labels, '|'-joined) -> summed length, unrooted."""
    out = {}
    everything = {leaf.name for leaf in tree.get_terminals()}
    for clade in tree.find_clades():
        if clade is tree.root:
            continue
        below = {leaf.name for leaf in clade.get_terminals()}
        if LABELS[0] in below:
            below = everything - below
        if below and below != everything:
            key = "|".join(sorted(below))
            out[key] = out.get(key, 0.0) + (clade.branch_length or 0.0)
    return out


def quoted(label):
    return "'%s'" % label.replace("'", "''")


def as_unrooted(splits):
    return _as_unrooted(splits, LABELS)


def same_splits(a, b, tol=1e-6):
    return _same_splits(a, b, tol, ignore_empty=False)


def main():
    with tempfile.TemporaryDirectory(prefix="trees_vs_bio_") as work:
        return run_checks(sys.argv[1], sys.argv[2], work)


def run_checks(treedump, vorn, work):
    rng = random.Random(SEED)
    trees = [random_tree(rng) for _ in range(10)]
    expected = [splits_of(t) for t in trees]
    failures = 0
    data = os.path.join(work, "taxa.nex")
    with open(data, "w") as f:
        f.write("#NEXUS\nbegin taxa;\n dimensions ntax=%d;\n taxlabels\n" % len(LABELS))
        f.write("".join("  %s\n" % quoted(label) for label in LABELS) + " ;\nend;\n")

    def compare(what, got_trees):
        nonlocal failures
        if len(got_trees) != len(trees):
            print("FAIL %s: %d trees, expected %d" % (what, len(got_trees), len(trees)))
            failures += 1
            return
        for i, got in enumerate(got_trees):
            if not same_splits(got, expected[i]):
                print("FAIL %s tree %d: %s vs %s" % (what, i + 1, got, expected[i]))
                failures += 1

    # 1. Bio.Phylo's files read by us.
    for fmt in ("newick", "nexus"):
        path = os.path.join(work, "bio.%s" % fmt)
        Phylo.write(trees, path, fmt, format_branch_length="%.10g")
        if fmt == "nexus":
            # Bio.Phylo's TAXA block leaves labels with blanks unquoted; the
            # taxa come from our own file.
            with open(path) as f:
                text = f.read()
            start, end = text.index("Begin Taxa;"), text.index("End;") + 4
            with open(path, "w") as f:
                f.write(text[:start] + text[end:])
        run = subprocess.run([treedump, data, path], capture_output=True, text=True)
        if run.returncode != 0:
            print("FAIL %s: treedump refused: %s" % (fmt, run.stderr))
            failures += 1
            continue
        compare("Bio.Phylo %s read by us" % fmt, [as_unrooted(t["splits"]) for t in parse_dump(run.stdout)])

    # 2. Our files read by Bio.Phylo.
    outs = {fmt: os.path.join(work, "ours.%s" % fmt) for fmt in ("nexus", "altnexus", "newick")}
    failed = save_trees(vorn, work, "bio", data, os.path.join(work, "bio.newick"),
                        [(path, "format=%s brlens=user maxdecimals=6" % fmt) for fmt, path in outs.items()])
    if failed:
        print("FAIL: the program failed:\n%s" % failed)
        return 1
    for fmt, path in outs.items():
        schema = "nexus" if "nexus" in fmt else "newick"
        try:
            ours = list(Phylo.parse(path, schema))
            for t in ours:
                for leaf in t.get_terminals():
                    leaf.name = PLAIN.get(plain(leaf.name), leaf.name)
        except Exception as e:  # a parse failure is a difference, not a crash
            print("FAIL %s: Bio.Phylo refused our file: %s" % (fmt, e))
            failures += 1
            continue
        compare("our %s read by Bio.Phylo" % fmt, [splits_of(t) for t in ours])
    print("%d difference(s)" % failures)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
