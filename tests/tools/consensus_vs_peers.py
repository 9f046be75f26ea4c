#!/usr/bin/env python3
"""Group frequencies and consensus trees of ConTree against DendroPy and PHYLIP.

Usage: consensus_vs_peers.py VORN

Sets of unrooted trees are made with fixed seeds (a base tree whose taxon
labels are partly permuted tree by tree, so that groups occur at every
frequency), written to a NEXUS file, and summarised by `contree`. The
frequencies of every bipartition in the group-frequency table must equal
DendroPy's bipartition counts (weighted by tree weights where given), and
the majority-rule trees at 50 to 100 percent (with and without LE50, with
tree weights) must hold exactly the groups selected from those counts.
PHYLIP consense must give the same strict, majority-rule (MR) and extended
(MRe, for LE50) groups with the same counts. Exit 77 when neither peer is
installed; a peer that is absent is skipped.
"""
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
from vorn_run import cpu_limit  # noqa: E402

try:
    import dendropy
except ImportError:
    dendropy = None


def find_consense():
    for path in ("/usr/lib/phylip/bin/consense", shutil.which("consense")):
        if path and os.access(path, os.X_OK):
            return path
    return None


def random_base(rng, names):
    parts = list(names)
    while len(parts) > 3:
        a, b = rng.sample(range(len(parts)), 2)
        joined = "(%s,%s)" % (parts[a], parts[b])
        parts = [p for i, p in enumerate(parts) if i not in (a, b)] + [joined]
    return "(%s);" % ",".join(parts)


def tree_set(seed, ntax, ntrees):
    rng = random.Random(seed)
    names = ["t%d" % (i + 1) for i in range(ntax)]
    base = random_base(rng, names)
    trees = []
    for _ in range(ntrees):
        k = rng.choice([0, 0, 2, 2, 3, 4])
        chosen = rng.sample(names, k)
        moved = chosen[1:] + chosen[:1]
        mapping = dict(zip(chosen, moved))
        trees.append(re.sub(r"t\d+", lambda m: mapping.get(m.group(0), m.group(0)), base))
    return names, trees


def split_key(leaves, names):
    """A bipartition as the side without the first taxon (a frozenset)."""
    side = frozenset(leaves)
    if names[0] in side:
        side = frozenset(names) - side
    return side


def dendropy_counts(path, names, weights):
    tl = dendropy.TreeList.get(path=path, schema="nexus")
    counts = {}
    for i, tree in enumerate(tl):
        tree.encode_bipartitions()
        w = weights[i] if weights else 1.0
        for bip in tree.bipartition_encoding:
            leaves = [t.label for t in bip.leafset_taxa(tl.taxon_namespace)]
            if 2 <= len(leaves) <= len(names) - 2:
                key = split_key(leaves, names)
                counts[key] = counts.get(key, 0.0) + w
    return counts


def select(counts, total, percent, le50):
    """The consensus groups by the usual rules: more than half (or at least
    percent), then compatible groups in decreasing frequency for LE50."""
    order = sorted(counts.items(), key=lambda kv: -kv[1])
    chosen = []
    for key, c in order:
        passes = c > total * 0.5 + 1e-9 if percent == 50 else c >= total * percent / 100.0 - 1e-9
        if passes:
            chosen.append(key)
        elif le50 and all(key <= o or o <= key or not (key & o) for o in chosen):
            chosen.append(key)
        elif not le50:
            break
    return set(chosen)


def run_vorn(vorn, work, nexus, command):
    path = os.path.join(work, "cmd.nex")
    with open(path, "w") as f:
        f.write("#NEXUS\nexecute %s;\n%s\nquit;\n" % (nexus, command))
    out = subprocess.run([vorn, "-n", path], cwd=work, capture_output=True, text=True, preexec_fn=cpu_limit(600),
                         stdin=subprocess.DEVNULL)
    if out.returncode != 0:
        raise RuntimeError("vorn failed (%d):\n%s" % (out.returncode, out.stdout[-3000:]))
    return out.stdout


def dot_plot(text, names):
    """Bipartition -> frequency from the group-frequency table."""
    rows = {}
    for m in re.finditer(r"^([.*]{%d})\s+(\S+)\s+\S+%%$" % len(names), text, re.M):
        leaves = [names[i] for i, c in enumerate(m.group(1)) if c == "*"]
        rows[split_key(leaves, names)] = float(m.group(2))
    return rows


def newick_groups(newick, names, with_values):
    """Groups of a Newick tree with the number after each ')' (label or length)."""
    groups = {}
    stack = []
    pos = 0
    while pos < len(newick):
        c = newick[pos]
        if c == "(":
            stack.append([])
            pos += 1
        elif c == ")":
            members = stack.pop()
            pos += 1
            m = re.match(r"[:]?([0-9.eE+-]+)", newick[pos:])
            value = float(m.group(1)) if m else None
            if m:
                pos += m.end()
            if stack:
                stack[-1].extend(members)
                if 2 <= len(members) <= len(names) - 2:
                    groups[split_key(members, names)] = value
        elif c in ",;":
            pos += 1
        else:
            m = re.match(r"([A-Za-z0-9_]+)(:[0-9.eE+-]+)?", newick[pos:])
            if stack:
                stack[-1].append(m.group(1))
            pos += m.end()
    return groups if with_values else set(groups)


def majrule_from_file(path, names):
    with open(path) as f:
        text = f.read()
    m = re.search(r"tree MajRule = \[&U\] (.*;)", text)
    return newick_groups(m.group(1), names, True)


def run_consense(consense, work, trees, menu):
    d = tempfile.mkdtemp(dir=work)
    with open(os.path.join(d, "intree"), "w") as f:
        f.write("\n".join(trees) + "\n")
    subprocess.run([consense], cwd=d, input=menu, capture_output=True, text=True, preexec_fn=cpu_limit(600))
    with open(os.path.join(d, "outtree")) as f:
        return "".join(f.read().split())


def main():
    vorn = sys.argv[1]
    consense = find_consense()
    if dendropy is None and consense is None:
        print("neither DendroPy nor PHYLIP consense is installed")
        return 77
    failures = 0
    checked = 0
    with tempfile.TemporaryDirectory() as work:
        for seed, ntax, ntrees, weighted in ((1, 9, 1000, False), (2, 14, 300, True), (3, 6, 40, False)):
            names, trees = tree_set(seed, ntax, ntrees)
            rng = random.Random(seed * 7)
            weights = [rng.choice([0.5, 1.0, 2.0, 3.0]) for _ in trees] if weighted else None
            nexus = "set%d.nex" % seed
            with open(os.path.join(work, nexus), "w") as f:
                f.write("#NEXUS\nbegin taxa;\n  dimensions ntax=%d;\n  taxlabels %s;\nend;\nbegin trees;\n"
                        % (ntax, " ".join(names)))
                for i, t in enumerate(trees):
                    w = "[&W %g] " % weights[i] if weighted else ""
                    f.write("  tree r%d = [&U] %s%s\n" % (i + 1, w, t))
                f.write("end;\n")
            total = sum(weights) if weighted else float(len(trees))
            wts = " usetreewts" if weighted else ""
            if dendropy is not None:
                counts = dendropy_counts(os.path.join(work, nexus), names, weights)
                for percent in (50, 60, 75, 90, 100):
                    for le50 in ((False, True) if percent == 50 else (False,)):
                        cmd = ("contree all / strict=no majrule percent=%d%s%s showtree=no treefile=out.tre replace;"
                               % (percent, " le50" if le50 else "", wts))
                        text = run_vorn(vorn, work, nexus, cmd)
                        checked += 1
                        freq = dot_plot(text, names)
                        if set(freq) != set(counts) or any(abs(freq[k] - counts[k]) > 1e-6 for k in counts):
                            failures += 1
                            print("seed %d: group frequencies differ from DendroPy's" % seed)
                        groups = majrule_from_file(os.path.join(work, "out.tre"), names)
                        expected = select(counts, total, percent, le50)
                        if set(groups) != expected:
                            failures += 1
                            print("seed %d %d%%%s: groups differ: extra %s missing %s"
                                  % (seed, percent, " le50" if le50 else "", set(groups) - expected,
                                     expected - set(groups)))
                        for key, value in groups.items():
                            if abs(value - 100.0 * counts[key] / total) > 1e-3:
                                failures += 1
                                print("seed %d: support of %s is %s" % (seed, sorted(key), value))
            if consense is not None and not weighted:
                for menu, cmd in (("C\nY\n", "contree all / strict showtree=no treefile=out.tre replace;"),
                                  ("C\nC\nY\n", "contree all / strict=no majrule showtree=no treefile=out.tre "
                                                "replace;"),
                                  ("Y\n", "contree all / strict=no majrule le50 showtree=no treefile=out.tre "
                                          "replace;")):
                    peer = newick_groups(run_consense(consense, work, trees, menu), names, True)
                    text = run_vorn(vorn, work, nexus, cmd)
                    checked += 1
                    with open(os.path.join(work, "out.tre")) as f:
                        ours_text = f.read()
                    m = re.search(r"tree (Strict|MajRule) = \[&U\] (.*;)", ours_text)
                    ours = newick_groups(m.group(2), names, True)
                    if set(ours) != set(peer):
                        failures += 1
                        print("seed %d (consense %r): groups differ: ours only %s, consense only %s"
                              % (seed, menu, [sorted(k) for k in set(ours) - set(peer)],
                                 [sorted(k) for k in set(peer) - set(ours)]))
                    elif m.group(1) == "MajRule":
                        for key, value in ours.items():
                            if abs(value / 100.0 * len(trees) - peer[key]) > 1e-6:
                                failures += 1
                                print("seed %d: count of %s: ours %s, consense %s"
                                      % (seed, sorted(key), value, peer[key]))
    print("%d comparisons, %d failures" % (checked, failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
