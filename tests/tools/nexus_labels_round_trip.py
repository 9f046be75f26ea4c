"""NEXUS tree files over taxa whose labels are one name under NEXUS rules.

Usage: nexus_labels_round_trip.py VORN

The data name taxa 'a b', a_b and A_B (one name to a NEXUS reader: blanks
and underscores alike, case ignored), beside plain and quoted labels. The
trees a search finds are saved in the Nexus and altNexus formats, with and
without a TAXA block, and as raw Newick for reference. Each NEXUS file must
read back into the program to the same trees (saved again as Newick, the
text is the reference's), and DendroPy must read it with one taxon per label
and the reference's splits.

Exit status: 0 agreement, 1 a difference, 77 DendroPy is not available.
"""

import os
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
from vorn_run import cpu_limit  # noqa: E402

try:
    import dendropy
except ImportError:
    sys.exit(77)

DATA = """#NEXUS
begin data;
  dimensions ntax=8 nchar=12;
  format datatype=dna;
  matrix
    'a b'     ACGTACGTAACG
    a_b       ACGTTCGTAACC
    A_B       ACTTTCGAAACC
    c         AGGTACGACTCG
    d         TCGTACCTCTGG
    'e''f'    TCGAACGTCTGA
    'g (h)'   TCGAACCTGTGA
    i         ACGAACGTGTCA
  ;
end;
"""

FORMS = {
    "nexus": "format=nexus taxablk=no",
    "altnexus": "format=altnexus taxablk=no",
    "nexus_taxa": "format=nexus taxablk=yes",
    "altnexus_taxa": "format=altnexus taxablk=yes",
}


def normalized(label):
    """A taxon word as a NEXUS reader compares it, less the characters the
    Newick words of the reference drop."""
    kept = "".join(c for c in label if c not in ",;()'[]:=")
    return " ".join(kept.replace("_", " ").lower().split())


def splits(tree):
    """The splits of a tree by normalized label, each named by the side
    without the first label in sort order."""
    labels = sorted(normalized(leaf.taxon.label) for leaf in tree.leaf_node_iter())
    out = set()
    for node in tree.postorder_node_iter():
        below = {normalized(leaf.taxon.label) for leaf in node.leaf_iter()}
        if labels[0] in below:
            below = set(labels) - below
        if 1 < len(below) < len(labels) - 1:
            out.add("|".join(sorted(below)))
    return out


def main():
    vorn = os.path.abspath(sys.argv[1])
    failures = []
    with tempfile.TemporaryDirectory(prefix="vorn-nexus-labels-") as work:
        commands = DATA + "hsearch;\nsavetrees file=ref.tre format=newick replace;\n"
        for name, options in FORMS.items():
            commands += "savetrees file=%s.tre %s replace;\n" % (name, options)
        for name in FORMS:
            commands += "gettrees file=%s.tre;\nsavetrees file=back_%s.tre format=newick replace;\n" % (name, name)
        commands += "quit;\n"
        with open(os.path.join(work, "run.nex"), "w") as f:
            f.write(commands)
        run = subprocess.run([vorn, "-n", "run.nex"], cwd=work, capture_output=True, text=True,
                             env=dict(os.environ, HOME=work), preexec_fn=cpu_limit(120))
        if run.returncode != 0:
            failures.append("the program failed (status %d):\n%s" % (run.returncode, run.stdout[-1500:]))
        reference = open(os.path.join(work, "ref.tre")).read()
        ref_trees = dendropy.TreeList.get(path=os.path.join(work, "ref.tre"), schema="newick")
        for name in FORMS:
            back = os.path.join(work, "back_%s.tre" % name)
            if not os.path.exists(back) or open(back).read() != reference:
                failures.append("%s: not read back to the same trees" % name)
            try:
                trees = dendropy.TreeList.get(path=os.path.join(work, "%s.tre" % name), schema="nexus")
            except Exception as e:  # a parse error is the fault looked for
                failures.append("%s: DendroPy cannot read it: %s" % (name, e))
                continue
            if len(trees) != len(ref_trees):
                failures.append("%s: DendroPy reads %d trees, expected %d" % (name, len(trees), len(ref_trees)))
            for k, (ours, ref) in enumerate(zip(trees, ref_trees)):
                leaves = [normalized(leaf.taxon.label) for leaf in ours.leaf_node_iter()]
                if len(set(leaves)) != 8:
                    failures.append("%s tree %d: DendroPy sees taxa %s" % (name, k + 1, leaves))
                elif splits(ours) != splits(ref):
                    failures.append("%s tree %d: splits %s, expected %s" % (name, k + 1, splits(ours),
                                                                           splits(ref)))
    if failures:
        print("\n".join(failures))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
