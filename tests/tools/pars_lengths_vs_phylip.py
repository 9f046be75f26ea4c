#!/usr/bin/env python3
"""Tree lengths of DNA data sets under user trees, against PHYLIP dnapars.

Usage: pars_lengths_vs_phylip.py PARSDUMP

The data sets are the examples shipped with Debian's phylip package (when
present) and a few simulated alignments with ambiguity codes and missing
cells; each is scored on random unrooted binary trees by both programs and
the lengths must agree exactly. Exit 77 when dnapars is not installed.
"""
import os
import random
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
from vorn_run import cpu_limit  # noqa: E402

EXAMPLES = "/usr/share/doc/phylip/examples"


def find_dnapars():
    for path in ("/usr/lib/phylip/bin/dnapars", shutil.which("dnapars")):
        if path and os.access(path, os.X_OK):
            return path
    return None


def read_phylip(path):
    """Interleaved or sequential PHYLIP with 10-character names."""
    with open(path) as f:
        lines = [ln.rstrip("\n") for ln in f]
    ntax, nchar = map(int, lines[0].split()[:2])
    seqs = [""] * ntax
    body = [ln for ln in lines[1:] if ln.strip()]
    for i, ln in enumerate(body):
        t = i % ntax
        text = ln[10:] if i < ntax else ln
        seqs[t] += "".join(text.split()).upper()
    if any(len(s) != nchar for s in seqs):
        raise ValueError("%s: sequence lengths differ from %d" % (path, nchar))
    return seqs


def simulate(rng, ntax, nchar):
    """Sequences evolved down a random tree, with some ambiguous and missing cells."""
    root = [rng.choice("ACGT") for _ in range(nchar)]
    seqs = [root]
    while len(seqs) < ntax:
        parent = seqs.pop(rng.randrange(len(seqs)))
        for _ in range(2):
            child = [c if rng.random() > 0.12 else rng.choice("ACGT") for c in parent]
            seqs.append(child)
    seqs = seqs[:ntax]
    for s in seqs:
        for c in range(nchar):
            r = rng.random()
            if r < 0.02:
                s[c] = "N"
            elif r < 0.04:
                s[c] = rng.choice("RYKMSWBDHV")
    return ["".join(s) for s in seqs]


def random_tree(rng, ntax):
    """Unrooted binary tree as Newick over taxon numbers (a basal trichotomy)."""
    groups = [str(t) for t in range(ntax)]
    rng.shuffle(groups)
    while len(groups) > 3:
        a = groups.pop(rng.randrange(len(groups)))
        b = groups.pop(rng.randrange(len(groups)))
        groups.append("(%s,%s)" % (a, b))
    return "(%s);" % ",".join(groups)


def named(tree, ntax):
    out, num = [], ""
    for ch in tree + " ":
        if ch.isdigit():
            num += ch
            continue
        if num:
            out.append("T%d" % int(num))
            num = ""
        out.append(ch)
    return "".join(out).strip()


def dnapars_lengths(dnapars, seqs, trees):
    with tempfile.TemporaryDirectory() as tmp:
        with open(os.path.join(tmp, "infile"), "w") as f:
            f.write("%d %d\n" % (len(seqs), len(seqs[0])))
            for t, s in enumerate(seqs):
                f.write("%-10s%s\n" % ("T%d" % t, s))
        with open(os.path.join(tmp, "intree"), "w") as f:
            for tree in trees:
                f.write(named(tree, len(seqs)) + "\n")
        # Menu: user trees, accept; with several trees it then asks a seed
        # for its tree-comparison test.
        res = subprocess.run([dnapars], input="U\nY\n1993\n", cwd=tmp, capture_output=True, text=True, preexec_fn=cpu_limit(120))
        if res.returncode != 0:
            raise RuntimeError("dnapars failed: " + res.stdout[-500:])
        with open(os.path.join(tmp, "outfile")) as f:
            return [float(ln.split()[-1]) for ln in f if "requires a total of" in ln]


def our_lengths(tool, seqs, trees):
    text = "%d %d\n%s\n%s\n" % (len(seqs), len(seqs[0]), "\n".join(seqs), "\n".join(trees))
    res = subprocess.run([tool], input=text, capture_output=True, text=True, preexec_fn=cpu_limit(120), check=True)
    return [float(ln.split()[1]) for ln in res.stdout.splitlines()]


def main():
    if len(sys.argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    dnapars = find_dnapars()
    if not dnapars:
        print("dnapars not installed; skipped")
        return 77
    rng = random.Random(2024)
    datasets = []
    for name in ("tests/dna.data", "infile"):
        path = os.path.join(EXAMPLES, name)
        if os.path.exists(path):
            datasets.append((name, read_phylip(path)))
    for ntax, nchar in ((6, 40), (12, 300), (25, 500), (40, 1000)):
        datasets.append(("simulated %dx%d" % (ntax, nchar), simulate(rng, ntax, nchar)))
    failures = 0
    for name, seqs in datasets:
        trees = [random_tree(rng, len(seqs)) for _ in range(6)]
        theirs = dnapars_lengths(dnapars, seqs, trees)
        ours = our_lengths(sys.argv[1], seqs, trees)
        if len(theirs) != len(trees) or ours != theirs:
            failures += 1
            print("MISMATCH %s: dnapars %s, ours %s" % (name, theirs, ours))
        else:
            print("ok %s: %s" % (name, " ".join("%g" % x for x in ours)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
