#!/usr/bin/python3
"""Puzzle with exact likelihoods under JC against TREE-PUZZLE (Debian's
tree-puzzle) on 8 taxa x 800 sites simulated here with short internal
branches (0.01 to 0.03): the same consensus groups, support values within
10 points, and the numbers of quartets with one, two and three best
topologies within 2% of the quartets. Skips (status 77) without
tree-puzzle.

Usage: puzzle_treepuzzle.py <vorn>
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from puzzle_checks import data_block, simulate_jc  # noqa: E402
from vorn_run import cpu_limit

NAMES = ["t%d" % i for i in range(1, 9)]
DATA_SETS = [(5, (0.01, 0.02, 0.015, 0.03, 0.02, 0.025)), (8, (0.03, 0.01, 0.02, 0.01, 0.03, 0.015))]


def side(taxa):
    """A split as the sorted taxa on the side without t1."""
    rest = set(NAMES) - set(taxa)
    return tuple(sorted(rest if "t1" in taxa else taxa, key=lambda s: int(s[1:])))


def newick_splits(text):
    """{split: support} of the labelled inner groups of a Newick tree."""
    text = re.sub(r"\[[^]]*\]", "", text).strip().rstrip(";")
    out, stack, i = {}, [], 0
    while i < len(text):
        ch = text[i]
        if ch == "(":
            stack.append([])
            i += 1
        elif ch == ")":
            taxa = stack.pop()
            m = re.match(r"\)([\d.]*)(:[\d.eE+-]+)?", text[i:])
            if m.group(1) and 1 < len(taxa) < len(NAMES) - 1:
                out[side(taxa)] = float(m.group(1))
            if stack:
                stack[-1].extend(taxa)
            i += len(m.group(0))
        elif ch in ",":
            i += 1
        else:
            m = re.match(r"([A-Za-z0-9_]+)(:[\d.eE+-]+)?", text[i:])
            stack[-1].append(m.group(1))
            i += len(m.group(0))
    return out


def vorn_splits(out):
    """{split: percent} of Puzzle's frequency table above 50%."""
    got = {}
    for m in re.finditer(r"^([.*]{8})\s+\d+\s+([\d.]+)%", out, re.M):
        if float(m.group(2)) > 50.0:
            got[side([NAMES[k] for k, c in enumerate(m.group(1)) if c == "*"])] = float(m.group(2))
    return got


def main():
    vorn = os.path.abspath(sys.argv[1])
    peer = shutil.which("tree-puzzle")
    if not peer:
        print("tree-puzzle not installed")
        return 77
    failures = []
    for seed, internal in DATA_SETS:
        rows = simulate_jc(seed, 800, internal, 0.1)
        with tempfile.TemporaryDirectory(prefix="vorn-tp-") as tmp:
            with open(os.path.join(tmp, "infile"), "w") as f:
                f.write("8 800\n" + "".join("%-10s%s\n" % (n, rows[n]) for n in NAMES))
            subprocess.run([peer, "infile"], cwd=tmp, input="v\nt\n0.5\nf\n25\n25\n25\ny\n", text=True,
                           capture_output=True, preexec_fn=cpu_limit(600), check=True)
            report = open(os.path.join(tmp, "infile.puzzle")).read()
            theirs = newick_splits(open(os.path.join(tmp, "infile.tree")).read())
            their_counts = [int(re.search(r"%s quartets:\s+(\d+)" % k, report).group(1))
                            for k in ("Fully resolved", "Partly resolved", "Unresolved")]

            with open(os.path.join(tmp, "run.nex"), "w") as f:
                f.write(data_block(rows) + "begin vorn; set criterion=likelihood;\n"
                        "lset nst=1 basefreq=equal rates=equal;\n"
                        "puzzle useApproxLim=no seed=%d showTree=no cutoffPct=0; end;\n" % seed)
            env = dict(os.environ, HOME=tmp, VORN_PUZZLE_MASK_COUNTS=os.path.join(tmp, "counts"))
            done = subprocess.run([vorn, "-n", "run.nex"], cwd=tmp, env=env, stdin=subprocess.DEVNULL,
                                  capture_output=True, text=True, preexec_fn=cpu_limit(600))
            ours = vorn_splits(done.stdout)
            our_counts = [int(x) for x in open(os.path.join(tmp, "counts")).read().split()]
        label = "seed %d" % seed
        if set(ours) != set(theirs):
            failures.append("%s: consensus groups %s, TREE-PUZZLE %s" % (label, sorted(ours), sorted(theirs)))
        for split in set(ours) & set(theirs):
            if abs(ours[split] - theirs[split]) > 10.0:
                failures.append("%s: support of %s %.1f, TREE-PUZZLE %.1f" % (label, split, ours[split],
                                                                               theirs[split]))
        for kind, a, b in zip(("fully", "partly", "un"), our_counts, their_counts):
            if abs(a - b) > 0.02 * 70:
                failures.append("%s: %sresolved quartets %d, TREE-PUZZLE %d" % (label, kind, a, b))
        print("%s: groups %s; TREE-PUZZLE %s; quartets %s vs %s" % (label, ours, theirs, our_counts, their_counts))
    for f in failures:
        print("FAIL", f)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
