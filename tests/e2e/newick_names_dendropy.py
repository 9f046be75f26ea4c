#!/usr/bin/python3
"""Taxon names in a Newick tree file against DendroPy: random labels rich in
quotes, brackets, commas, colons, blanks and non-ASCII letters are written as
a NEXUS file; DendroPy reads its taxa, the program saves a tree in Newick and
DendroPy must find the same names in the tree with the same splits, while the
program's own reader must read the tree back onto the same taxa. A strict
PHYLIP export of the same data must be valid UTF-8 with name fields of 10
characters whose names fit in 10 bytes, so that readers counting characters
(Biopython) and readers counting bytes (PHYLIP) both find the sequence.

Usage: newick_names_dendropy.py <vorn>   (exit 77 without DendroPy)
"""
import os
import random
import subprocess
import sys
import tempfile
from vorn_run import cpu_limit

try:
    import dendropy
except ImportError:
    sys.exit(77)

# No "_" at random: in a plain Newick or NEXUS word it stands for a blank,
# which is the label rule both formats share; the last trial mixes the two.
ALPHABET = "ab (),;:'[]=éÖ"


def nexus_word(label):
    return "'" + label.replace("'", "''") + "'"


def random_labels(rng, n):
    labels, seen = [], set()
    while len(labels) < n:
        text = "".join(rng.choice(ALPHABET) for _ in range(rng.randint(2, 14))).strip()
        key = text.lower().replace("_", " ")
        # DendroPy takes a quoted word of one punctuation character, such as
        # ',', for the punctuation itself, so every label has two or more.
        if len(text) > 1 and key not in seen:
            seen.add(key)
            labels.append(text)
    return labels


def splits(tree):
    out = set()
    for node in tree.postorder_node_iter():
        leaves = frozenset(l.taxon.label for l in node.leaf_iter())
        if 1 < len(leaves) < len(tree.taxon_namespace) - 1:
            other = frozenset(t.label for t in tree.taxon_namespace) - leaves
            out.add(min(leaves, other, key=sorted))
    return out


# The tree of the data file adds one taxon at a time to the first two, so its
# splits are the first k taxa against the rest.
def caterpillar_splits(labels):
    out = set()
    for k in range(2, len(labels) - 1):
        leaves, other = frozenset(labels[:k]), frozenset(labels[k:])
        out.add(min(leaves, other, key=sorted))
    return out


def run(vorn, tmp, text):
    with open(os.path.join(tmp, "run.nex"), "w", encoding="utf-8") as f:
        f.write(text)
    env = dict(os.environ, HOME=tmp)
    return subprocess.run([vorn, "-n", "run.nex"], cwd=tmp, env=env, stdin=subprocess.DEVNULL,
                          capture_output=True, preexec_fn=cpu_limit(120)).stdout.decode("utf-8", "replace")


def main():
    vorn = os.path.abspath(sys.argv[1])
    rng = random.Random(4711)
    failures = []
    for trial in range(21):
        if trial < 20:
            n = rng.randint(4, 9)
            labels = random_labels(rng, n)
        else:
            # Blanks beside underscores: unquoted, a reader cannot tell the
            # blanks (written "_") from the label's own underscores.
            labels = ["Hyla arborea_CZ", "Hyla_orientalis CZ", "Rana temporaria", "Bufo bufo", "Bombina x_y z"]
            n = len(labels)
        rows = "\n".join("%s %s" % (nexus_word(l), "".join(rng.choice("ACGT") for _ in range(12)))
                         for l in labels)
        newick = "(" + ",".join(nexus_word(l) for l in labels[:2]) + ")"
        for l in labels[2:]:
            newick = "(" + newick + "," + nexus_word(l) + ")"
        with tempfile.TemporaryDirectory(prefix="vorn-names-") as tmp:
            with open(os.path.join(tmp, "d.nex"), "w", encoding="utf-8") as f:
                f.write("#NEXUS\nbegin data; dimensions ntax=%d nchar=12; format datatype=dna; matrix\n%s\n;end;\n"
                        "begin trees; tree t = [&U] %s;\nend;\n" % (n, rows, newick))
            out = run(vorn, tmp, "#NEXUS\nExecute d.nex;\nSaveTrees format=Newick file=t.tre;\n"
                                 "Export format=PHYLIP file=s.phy interleaved=no charsPerLine=All;\n"
                                 "GetTrees file=t.tre;\nSaveTrees format=Newick file=again.tre;\n")
            if "Error" in out:
                failures.append("trial %d:\n%s" % (trial, out))
                continue
            taxa = dendropy.TaxonNamespace()
            dendropy.DnaCharacterMatrix.get(path=os.path.join(tmp, "d.nex"), schema="nexus", taxon_namespace=taxa)
            try:
                saved = dendropy.Tree.get(path=os.path.join(tmp, "t.tre"), schema="newick", taxon_namespace=taxa)
            except Exception as e:  # noqa: BLE001 - any parse failure is the finding
                failures.append("trial %d: DendroPy cannot read the tree: %s" % (trial, e))
                continue
            with open(os.path.join(tmp, "t.tre"), encoding="utf-8") as f:
                written = f.read()
            names = sorted(l.taxon.label if l.taxon else "" for l in saved.leaf_node_iter())
            if names != sorted(labels) or len(taxa) != n:
                failures.append("trial %d: names %r, expected %r in\n%s" % (trial, names, sorted(labels), written))
            elif splits(saved) != caterpillar_splits(labels):
                failures.append("trial %d: the saved tree has other splits" % trial)
            # Our own reader puts the tree back on the same taxa: written
            # again, it is the same text.
            with open(os.path.join(tmp, "t.tre"), "rb") as a, open(os.path.join(tmp, "again.tre"), "rb") as b:
                if a.read() != b.read():
                    failures.append("trial %d: the tree read back is written differently" % trial)
            with open(os.path.join(tmp, "s.phy"), "rb") as f:
                phy = f.read()
            try:
                phy.decode("utf-8")
            except UnicodeDecodeError:
                failures.append("trial %d: the PHYLIP file is not valid UTF-8" % trial)
            for line in phy.splitlines()[1:]:
                text = line.decode("utf-8", "replace")
                if (len(text) != 22 or text[10:11] not in ("A", "C", "G", "T")
                        or len(text[:10].rstrip(" ").encode("utf-8")) > 10):
                    failures.append("trial %d: PHYLIP row %r has no name field of 10 characters "
                                    "holding at most 10 bytes" % (trial, line))
    for f in failures:
        print(f)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
