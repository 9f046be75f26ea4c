"""What the tree cross-checks share: reading treedump's output, comparing
the splits of trees, and running the program to save trees."""

import os
import subprocess


def parse_dump(text):
    """treedump's lines: TREE name weight R|U, then one split per line."""
    trees = []
    for line in text.splitlines():
        parts = line.split("\t")
        if parts[0] == "TREE":
            trees.append({"name": parts[1], "weight": float(parts[2]), "rooted": parts[3] == "R", "splits": {}})
        else:
            trees[-1]["splits"][parts[0]] = float(parts[1])
    return trees


def as_unrooted(splits, labels):
    """Clades of a tree read as rooted, as the splits of the unrooted tree
    (each split named by the side without labels[0])."""
    out = {}
    for key, length in splits.items():
        below = set(key.split("|"))
        if labels[0] in below:
            below = set(labels) - below
        if below:
            k = "|".join(sorted(below))
            out[k] = out.get(k, 0.0) + length
    return out


def same_splits(a, b, tol=1e-6, ignore_empty=False):
    if ignore_empty:
        a = {k: v for k, v in a.items() if k}
        b = {k: v for k, v in b.items() if k}
    return a.keys() == b.keys() and all(abs(a[k] - b[k]) <= tol * max(1.0, abs(a[k])) for k in a)


def save_trees(vorn, work, name, data, source, saves):
    """Runs the program on the data file, reads the source tree file and
    saves it once per (path, SaveTrees options) pair. None when it ran, else
    its output."""
    cmds = os.path.join(work, "%s_cmds.nex" % name)
    with open(cmds, "w") as f:
        f.write("#NEXUS\nexecute '%s';\ngettrees file='%s';\n" % (data, source))
        for path, options in saves:
            f.write("savetrees file='%s' %s replace;\n" % (path, options))
        f.write("quit;\n")
    run = subprocess.run([vorn, "-n", cmds], capture_output=True, text=True, cwd=work)
    return None if run.returncode == 0 else run.stdout + run.stderr
