#!/usr/bin/env python3
"""Bootstrap and jackknife end to end.

Usage: bootjack_checks.py VORN

On p5: the messages, the replicate tree file (one comment per replicate,
tree heads with their weights, weights of a replicate summing to 1), the
group frequencies printed beside the weighted split frequencies recomputed
from the file with DendroPy (skipped without it), the same file from the
same seed, the consensus named by TreeInfo and written with its support
values by SaveTrees. On an 11-character matrix: the jackknife deletion
line, tree lengths before and after (weights restored), the repeatCnt note
and the refusals.
"""
import os
import re
import subprocess
import sys
import tempfile
from fractions import Fraction

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

M11 = """#NEXUS
begin data;
  dimensions ntax=6 nchar=11;
  format symbols="012";
  matrix
  A 00001000110
  B 00111010101
  C 11010101100
  D 11100211011
  E 10110211001
  F 01011011111
  ;
end;
"""

failures = []


def check(ok, what):
    if not ok:
        failures.append(what)
        print("FAIL:", what)


def run(vorn, work, data, commands):
    with open(os.path.join(work, "data.nex"), "w") as f:
        f.write(data)
    path = os.path.join(work, "cmds.nex")
    with open(path, "w") as f:
        f.write("#NEXUS\nbegin vorn;\nset warntree=no warnreset=no;\nexecute data.nex;\n%s\nend;\n" % commands)
    return subprocess.run([vorn, "-n", path], capture_output=True, text=True, cwd=work, timeout=600).stdout


def replicate_trees(path):
    """(replicate, weight, newick) of every tree statement of the file."""
    trees = []
    for line in open(path):
        m = re.match(r"\s*tree B_(\d+)\.(\d+) = \[&U\] \[&W 1(?:/(\d+))?\] (.*);$", line)
        if m:
            w = Fraction(1, int(m.group(3))) if m.group(3) else Fraction(1)
            trees.append((int(m.group(1)), w, m.group(4)))
    return trees


def printed_groups(out):
    groups = {}
    for m in re.finditer(r"^([.*]{5})\s+([\d.]+)", out, re.M):
        groups[m.group(1)] = float(m.group(2))
    return groups


def dendropy_groups(path):
    import dendropy
    trees = dendropy.TreeList.get(path=path, schema="nexus", preserve_underscores=True, store_tree_weights=True,
                                  rooting="force-unrooted")
    ns = list(trees.taxon_namespace)
    labels = sorted(t.label for t in ns)
    freq = {}
    for t in trees:
        w = float(t.weight) if t.weight is not None else 1.0
        keys = set()
        for bp in t.encode_bipartitions():
            leaves = {tx.label for i, tx in enumerate(ns) if (bp.leafset_bitmask >> i) & 1}
            if not 1 < len(leaves) < len(labels) - 1:
                continue
            # The side without the first taxon, as VORN prints it.
            side = leaves if labels[0] not in leaves else set(labels) - leaves
            keys.add("".join("*" if l in side else "." for l in labels))
        for key in keys:
            freq[key] = freq.get(key, 0.0) + w
    return freq


def main():
    vorn = sys.argv[1]
    with tempfile.TemporaryDirectory() as work:
        out = run(vorn, work, P5, "bootstrap nreps=100 seed=12345 search=bandb treefile=bs.tre;\n"
                  "treeinfo;\nsavetrees file=con.tre supportValues=both;")
        check("100 bootstrap replicates completed" in out, "completion line")
        check("Trees for each replicate written to treefile: bs.tre" in out or
              re.search(r"Trees for each replicate written to treefile: \S*bs\.tre", out), "tree file line")
        text = open(os.path.join(work, "bs.tre")).read()
        comments = re.findall(r"\[Trees found in bootstrap replicate #(\d+)\]", text)
        check([int(c) for c in comments] == list(range(1, 101)), "one comment per replicate")
        trees = replicate_trees(os.path.join(work, "bs.tre"))
        check(len(trees) >= 100, "tree statements read")
        sums = {}
        for rep, w, _ in trees:
            sums[rep] = sums.get(rep, 0) + w
        check(sorted(sums) == list(range(1, 101)) and all(s == 1 for s in sums.values()),
              "weights of each replicate sum to 1")
        check("Source of trees: bootstrap consensus" in out, "TreeInfo names the bootstrap consensus")
        con = open(os.path.join(work, "con.tre")).read()
        check(re.search(r"\)\d+(\.\d+)?:\d+", con) is not None, "SaveTrees writes support values")
        shown = printed_groups(out)
        try:
            peer = dendropy_groups(os.path.join(work, "bs.tre"))
        except ImportError:
            peer = None
            print("DendroPy not available: group frequencies not recomputed")
        if peer is not None:
            # The table leaves out groups below 5%.
            for key, pct in shown.items():
                check(abs(peer.get(key, 0.0) - pct) < 0.006, "group %s: %s printed, %s from the file"
                      % (key, pct, peer.get(key)))
            for key, pct in peer.items():
                if pct >= 5.0:
                    check(key in shown, "group %s (%.2f%%) printed" % (key, pct))
        run(vorn, work, P5, "bootstrap nreps=100 seed=12345 search=bandb treefile=bs2.tre;")
        check(replicate_trees(os.path.join(work, "bs2.tre")) == trees, "same seed, same trees")
        run(vorn, work, P5, "bootstrap nreps=100 seed=999 search=bandb treefile=bs3.tre;")
        check(replicate_trees(os.path.join(work, "bs3.tre")) != trees, "another seed, other draws")

        out = run(vorn, work, M11, "hsearch;\npscores 1;\njackknife nreps=20 seed=7 pctdelete=50;\n"
                  "hsearch;\npscores 1;")
        check("Nominal deletion percentage = 50% (6 of 11 characters are deleted in each replicate; actual "
              "deletion percentage = 54.545%)" in re.sub(r"\n\s+", " ", out), "jackknife deletion line")
        lengths = re.findall(r"^Length\s+(\d+)", out, re.M)
        check(len(lengths) == 2 and lengths[0] == lengths[1], "lengths before and after: %s" % lengths)
        check("20 jackknife replicates completed" in out, "jackknife completion")

        # Weight 2 on three characters: a proportional jackknife deletes
        # weight units, and may drive a weight to 0 for one replicate only.
        out = run(vorn, work, M11, "weights 2:1-3;\nhsearch;\npscores 1;\n"
                  "jackknife nreps=30 seed=5 pctdelete=60;\nhsearch;\npscores 1;")
        lengths = re.findall(r"^Length\s+(\d+)", out, re.M)
        check(len(lengths) == 2 and lengths[0] == lengths[1], "weighted lengths before and after: %s" % lengths)
        check("(8 of 14 weighted characters are deleted" in re.sub(r"\n\s+", " ", out), "weighted deletion line")

        out = run(vorn, work, M11, "bootstrap wts=repeatCnt nreps=5 seed=3;")
        check("'repeatCnt' has been deprecated" in re.sub(r"\n\s+", " ", out), "repeatCnt note")
        check("5 bootstrap replicates completed" in out, "repeatCnt runs as proportional")

        for code, cmd in ((510, "jackknife conlevel=40;"), (522, "bootstrap nchar=0;"),
                          (525, "jackknife pctdelete=100;"), (529, "bootstrap wts=ignore;"),
                          (530, "weights 2:1-3;\nbootstrap wts=simple nchar=5;"),
                          (527, "weights 1.5:1;\njackknife;")):
            out = run(vorn, work, M11, cmd)
            check("Error(#%d)" % code in out, "error %d" % code)
            check("replicates completed" not in out, "error %d stops the run" % code)
    if failures:
        print("%d failure(s)" % len(failures))
        return 1
    print("all bootstrap/jackknife checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
