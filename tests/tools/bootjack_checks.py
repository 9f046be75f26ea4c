#!/usr/bin/env python3
"""Bootstrap and jackknife end to end.

Usage: bootjack_checks.py VORN

On p5: the messages, the replicate tree file (one comment per replicate,
tree heads with their weights, weights of a replicate summing to 1), the
group frequencies printed beside the weighted split frequencies recomputed
from the file with DendroPy (skipped without it), the same file from the
same seed, the consensus named by TreeInfo and written with its support
values by SaveTrees. On noisy 12-taxon DNA: jackknife groups that vary
between replicates, the NJ start of distance replicates, enforced
constraints kept by every replicate tree, and likelihood replicates drawn
over the site patterns with the data's own weights afterwards. On an 11-character matrix: the jackknife deletion
line, tree lengths before and after (weights restored), the repeatCnt note
and the refusals.
"""
import os
import re
import subprocess
import sys
import tempfile
from fractions import Fraction

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
from vorn_run import cpu_limit  # noqa: E402

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


def noisy12():
    """12 taxa of noisy DNA: a weak split t1-t6 | t7-t12 under much noise."""
    import random
    r = random.Random(65)
    root = [r.choice("ACGT") for _ in range(60)]
    rows = []
    for t in range(12):
        s = list(root)
        for i in range(60):
            if i < 10 and t < 6:
                s[i] = "T" if root[i] != "T" else "G"
            if r.random() < 0.45:
                s[i] = r.choice("ACGT")
        rows.append("t%d %s" % (t + 1, "".join(s)))
    return ("#NEXUS\nbegin data;\ndimensions ntax=12 nchar=60;\nformat datatype=dna;\nmatrix\n%s\n;\nend;\n"
            % "\n".join(rows))


def clades(newick, names):
    """The leaf sets of the parenthesised groups of a tree description."""
    stack, found = [], []
    for tok in re.findall(r"[(),]|[^(),:\s]+(?::[^(),\s]+)?", newick):
        if tok == "(":
            stack.append(set())
        elif tok == ")":
            done = stack.pop()
            found.append(frozenset(done))
            if stack:
                stack[-1] |= done
        elif tok != ",":
            if stack:
                stack[-1].add(names.get(tok.split(":")[0], tok.split(":")[0]))
    return found


def translate_table(path):
    text = open(path).read()
    m = re.search(r"translate(.*?);", text, re.S | re.I)
    if not m:
        return {}
    return {k: v for k, v in re.findall(r"(\S+)\s+([^,\s]+)\s*,?", m.group(1))}


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
    return subprocess.run([vorn, "-n", path], capture_output=True, text=True, cwd=work, preexec_fn=cpu_limit(600)).stdout


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

        # Noisy data: every replicate deletes other characters, so the
        # groups vary from replicate to replicate, with both deletion schemes.
        for jac in ("", " resample=jac"):
            out = run(vorn, work, noisy12(), "jackknife nreps=40 pctdelete=50 seed=3 treefile=jk.tre replace%s;"
                      % jac)
            pct = [float(m) for m in re.findall(r"^[.*]{12}\s+[\d.]+\s+([\d.]+)%", out, re.M)]
            check(len(pct) > 5 and max(pct) < 90.0, "noisy jackknife%s: group frequencies %s" % (jac, pct[:5]))
            reps = {}
            for rep, _, tree in replicate_trees(os.path.join(work, "jk.tre")):
                reps.setdefault(rep, set()).add(tree)
            check(len({frozenset(t) for t in reps.values()}) > 20, "noisy jackknife%s: replicates differ" % jac)

        # Under the distance criterion a heuristic replicate starts from the
        # NJ tree unless told otherwise, whatever an earlier HSearch used.
        out = run(vorn, work, noisy12(), "hsearch;\nset criterion=distance;\nbootstrap nreps=2 seed=1;\n"
                  "jackknife nreps=2 seed=1 / swap=nni;\nbootstrap nreps=2 seed=1 / start=stepwise;")
        starts = re.findall(r"Starting tree\(s\) obtained via (\S+)", out)
        check(starts == ["stepwise", "neighbor-joining", "neighbor-joining", "stepwise"],
              "starts under distance: %s" % starts)

        # Enforced constraints: every tree of every replicate keeps the
        # group, under the heuristic and the branch-and-bound search; converse
        # constraints are refused before any replicate.
        group = frozenset("t%d" % i for i in range(1, 7))
        other = frozenset("t%d" % i for i in range(7, 13))
        for cmd in ("bootstrap nreps=20 seed=4 treefile=c.tre replace / enforce constraints=c1;",
                    "jackknife nreps=20 seed=4 treefile=c.tre replace / enforce constraints=c1 swap=spr;",
                    "bootstrap nreps=10 seed=4 search=bandb treefile=c.tre replace / enforce constraints=c1;"):
            out = run(vorn, work, noisy12(), "set maxtrees=2000 increase=auto;\n"
                      "constraints c1 = ((t1,t2,t3,t4,t5,t6));\n" + cmd)
            path = os.path.join(work, "c.tre")
            names = translate_table(path)
            trees = replicate_trees(path)
            kept = sum(1 for _, _, t in trees if group in clades(t, names) or other in clades(t, names))
            check(len({r for r, _, _ in trees}) == int(re.search(r"nreps=(\d+)", cmd).group(1)) and
                  kept == len(trees), "%s: %d of %d trees keep the group" % (cmd, kept, len(trees)))
            check(re.search(r"^\.{6}\*{6}\s+[\d.]+\s+100\.00%", out, re.M) is not None,
                  "%s: the enforced group at 100%%" % cmd)
        # Under likelihood the replicates redraw the site patterns' weights
        # in place: the replicates differ, and afterwards a tree scores as
        # it did before.
        six = re.sub(r"\nt([7-9]|1[0-2]) [ACGT]+", "", noisy12()).replace("ntax=12", "ntax=6")
        out = run(vorn, work, six, "set criterion=likelihood;\nlset nst=2 basefreq=empirical rates=equal;\n"
                  "hsearch;\nlscores 1;\nsavetrees file=best.tre replace;\n"
                  "bootstrap nreps=8 seed=2 treefile=lk.tre replace grpfreq=no / swap=nni;\n"
                  "jackknife nreps=8 seed=2 grpfreq=no / swap=nni;\n"
                  "gettrees file=best.tre;\nlscores 1;")
        scores = re.findall(r"^-ln L\s+([\d.]+)", out, re.M)
        check(len(scores) == 2 and scores[0] == scores[1], "likelihood scores before and after: %s" % scores)
        check("8 bootstrap replicates completed" in out and "8 jackknife replicates completed" in out,
              "likelihood replicates completed")
        reps = {}
        for rep, _, tree in replicate_trees(os.path.join(work, "lk.tre")):
            reps.setdefault(rep, set()).add(tree)
        check(len({frozenset(t) for t in reps.values()}) > 1, "likelihood replicates differ")

        out = run(vorn, work, noisy12(), "constraints c1 = ((t1,t2,t3,t4,t5,t6));\n"
                  "bootstrap nreps=5 / enforce converse constraints=c1;")
        check("Error(#549)" in out and "replicates completed" not in out, "converse constraints refused")
    if failures:
        print("%d failure(s)" % len(failures))
        return 1
    print("all bootstrap/jackknife checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
