#!/usr/bin/python3
"""A bootstrap support tree saved with "root", read by DendroPy: under
outgroup rooting the written tree must hang the ingroup from its root, and its
set of (split, support) pairs, from branch lengths and from node labels alike,
must equal the unrooted form's; the nontrivial ones must match the program's
own bipartition table. Midpoint rooting, which a consensus tree has no lengths
for, is refused (the question's default answer) and writes no file.

Usage: support_rooting_dendropy.py <vorn>   (exit 77 without DendroPy)
"""
import os
import re
import subprocess
import sys
import tempfile
from vorn_run import cpu_limit

try:
    import dendropy
except ImportError:
    sys.exit(77)

TAXA = "ABCDEFGH"
# Nested characters with a few in conflict, so that the replicates disagree
# and the splits get different support.
MATRIX = """\
A 000000000000000000000000
B 100000000010000000000010
C 110000011011000000010001
D 111000011011100000110011
E 111100110111110001110111
F 111110110111111011110111
G 111111110111111111100111
H 111111111111111111101111
"""

ROOTINGS = [
    ("outgroup D", "set rootmethod=outgroup; outgroup D / only;", {"D"}),
    ("outgroup A B", "set rootmethod=outgroup; outgroup A B / only;", {"A", "B"}),
    ("outgroup G H", "set rootmethod=outgroup; outgroup G H / only;", {"G", "H"}),
]
MIDPOINT_REFUSED = ("Midpoint rooting is not allowed for bootstrap or jackknife consensus trees.  Do you want to "
                    "change")


def fail(msg):
    print("FAIL:", msg)
    sys.exit(1)


def split_key(leaves):
    # The side without the first taxon names the bipartition.
    leaves = frozenset(leaves)
    return leaves if TAXA[0] not in leaves else frozenset(TAXA) - leaves


def support_pairs(tree, from_labels):
    pairs = set()
    for node in tree.preorder_node_iter():
        if node.parent_node is None:
            continue
        split = split_key(l.taxon.label for l in node.leaf_iter())
        if from_labels:
            # A tip edge, or a root half whose other half is a tip, has no
            # label in the unrooted form.
            if not 1 < len(split) < len(TAXA) - 1:
                continue
            value = float(node.label)
        else:
            value = node.edge.length
        pairs.add((split, value))
    return pairs


def check_one_per_split(name, pairs):
    seen = {}
    for split, value in pairs:
        if split in seen and seen[split] != value:
            fail("%s: split %s written with supports %g and %g" % (name, sorted(split), seen[split], value))
        seen[split] = value


def read(path, schema, rooting):
    return dendropy.Tree.get(path=path, schema=schema, rooting=rooting, preserve_underscores=True)


def main():
    vorn = sys.argv[1]
    with tempfile.TemporaryDirectory() as tmp:
        saves = ["savetrees file=unrooted.tre format=newick supportvalues=both replace;"]
        for i, (_, setting, _) in enumerate(ROOTINGS):
            saves.append(setting)
            saves.append("savetrees file=r%d.tre root format=newick supportvalues=both replace;" % i)
            saves.append("savetrees file=r%d.nex root format=nexus supportvalues=brlens replace;" % i)
        def run_batch(name, commands):
            batch = os.path.join(tmp, name)
            with open(batch, "w") as f:
                f.write("#NEXUS\nbegin data; dimensions ntax=%d nchar=24; format datatype=standard symbols=\"01\";\n"
                        "matrix\n%s;\nend;\nbegin vorn;\nset warnreset=no increase=auto;\n"
                        "bootstrap nreps=40 seed=7;\n%s\nquit;\nend;\n" % (len(TAXA), MATRIX, "\n".join(commands)))
            return subprocess.run([vorn, "-n", batch], cwd=tmp, capture_output=True, text=True,
                                  preexec_fn=cpu_limit(300))

        refused = run_batch("midpoint.nex", ["set rootmethod=midpoint;",
                                             "savetrees file=mid.tre root format=newick replace;"])
        if refused.returncode == 0 or MIDPOINT_REFUSED not in refused.stdout.replace("\n", " "):
            fail("midpoint rooting of the consensus tree was not refused\n%s" % refused.stdout)
        if os.path.exists(os.path.join(tmp, "mid.tre")):
            fail("a refused midpoint rooting wrote mid.tre")
        run = run_batch("run.nex", saves)
        if run.returncode != 0:
            fail("vorn exited %d\n%s%s" % (run.returncode, run.stdout, run.stderr))

        table = {}
        for line in run.stdout.splitlines():
            m = re.match(r"^([.*]{%d})\s+[\d.]+\s+([\d.]+)%%$" % len(TAXA), line.strip())
            if m:
                table[split_key(TAXA[i] for i, c in enumerate(m.group(1)) if c == "*")] = float(m.group(2))
        if not table:
            fail("no bipartition table in the output\n" + run.stdout)

        unrooted = read(os.path.join(tmp, "unrooted.tre"), "newick", "force-unrooted")
        expected = support_pairs(unrooted, False)
        check_one_per_split("unrooted", expected)
        for split, value in expected:
            if 1 < len(split) < len(TAXA) - 1 and abs(table.get(split, -1.0) - value) > 0.01:
                fail("unrooted: split %s has support %g, the table says %s" % (sorted(split), value,
                                                                             table.get(split)))
        if len({v for _, v in expected}) < 3:
            fail("too few distinct support values to tell splits apart: %s" % sorted(expected))
        expected_labels = support_pairs(unrooted, True)

        for i, (name, _, outgroup) in enumerate(ROOTINGS):
            for path, schema, labels_too in (("r%d.tre" % i, "newick", True), ("r%d.nex" % i, "nexus", False)):
                tree = read(os.path.join(tmp, path), schema, "force-rooted" if schema == "newick" else None)
                if schema == "nexus" and not tree.is_rooted:
                    fail("%s: %s is not marked rooted" % (name, path))
                root_children = tree.seed_node.child_nodes()
                if outgroup is not None:
                    ingroup = frozenset(TAXA) - outgroup
                    sides = [frozenset(l.taxon.label for l in c.leaf_iter()) for c in root_children]
                    if ingroup not in sides:
                        fail("%s: %s does not hang the ingroup from its root: %s" % (name, path, sides))
                elif len(root_children) != 2:
                    fail("%s: %s has %d edges at its root" % (name, path, len(root_children)))
                got = support_pairs(tree, False)
                check_one_per_split("%s %s" % (name, path), got)
                if got != expected:
                    fail("%s: %s splits and supports differ from the unrooted form:\n%s\n%s"
                         % (name, path, sorted(map(str, got - expected)), sorted(map(str, expected - got))))
                if labels_too:
                    got = support_pairs(tree, True)
                    check_one_per_split("%s %s labels" % (name, path), got)
                    if got != expected_labels:
                        fail("%s: %s node labels differ from the unrooted form:\n%s\n%s"
                             % (name, path, sorted(map(str, got)), sorted(map(str, expected_labels))))
    print("support values stay on their splits under %d rootings" % len(ROOTINGS))


if __name__ == "__main__":
    main()
