#!/usr/bin/env python3
"""Internal-node states of irreversible characters against PHYLIP mix.

Usage: irrev_states_vs_mix.py VORN

Random 0/1 matrices (no missing cells) and random rooted trees, every
character irreversible with a random given ancestral state 0 or 1. On such
data each internal node has one most parsimonious state: the ancestral state
unless every terminal above it holds the other one. VORN's DescribeTrees
matrix of internal-node states (xout=internal), under ACCTRAN and under
DELTRAN, must equal PHYLIP mix's states at all nodes (Camin-Sokal, ancestors
from its file), and both must equal that rule. Nodes are matched by the
terminals above them. Exit 77 without PHYLIP.
"""
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from stmx_vs_peers import random_tree  # noqa: E402

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
from vorn_run import cpu_limit  # noqa: E402

DATA_SETS = 5
TREES_PER_SET = 4


def mix_states(work, names, rows, trees, ancestor):
    """Per tree, {frozenset of terminals: state string} from mix's table of
    states at all nodes."""
    run = os.path.join(work, "mix")
    os.makedirs(run, exist_ok=True)
    for f in ("outfile", "outtree"):
        if os.path.exists(os.path.join(run, f)):
            os.remove(os.path.join(run, f))
    with open(os.path.join(run, "infile"), "w") as f:
        f.write("%5d%5d\n" % (len(names), len(ancestor)))
        f.writelines("%-10s%s\n" % (n, r) for n, r in zip(names, rows))
    with open(os.path.join(run, "intree"), "w") as f:
        f.write("\n".join(trees) + "\n")
    with open(os.path.join(run, "ancestors"), "w") as f:
        f.write(ancestor + "\n")
    subprocess.run(["phylip", "mix"], input="U\nP\nA\n5\nY\n7\n", capture_output=True, text=True, preexec_fn=cpu_limit(600),
                   cwd=run)
    with open(os.path.join(run, "outfile")) as f:
        text = f.read()
    per_tree = []
    for table in re.findall(r"State at upper node\n.*?\n\n(.*?)\n\n", text, re.S):
        state, children = {"root": ancestor}, {}
        for line in table.splitlines():
            m = re.match(r"\s*(\S+)\s+(\S+)\s+(?:yes|no|maybe)\s+(.*)$", line)
            if not m:
                continue
            parent, child, cells = m.group(1), m.group(2), m.group(3).replace(" ", "")
            # "." is the state of the node below.
            state[child] = "".join(p if c == "." else c for c, p in zip(cells, state[parent]))
            children.setdefault(parent, []).append(child)
        per_tree.append(by_clade(state, children, names))
    return per_tree


def by_clade(state, children, names):
    out = {}

    def tips(node):
        if node in names:
            return frozenset([node])
        below = frozenset().union(*(tips(c) for c in children.get(node, [])))
        out[below] = state[node]
        return below

    for top in children.get("root", []):
        tips(top)
    return out


def vorn_states(vorn, work, names, rows, trees, ancestor, opt):
    nchar = len(ancestor)
    text = "#nexus\nbegin data; dimensions ntax=%d nchar=%d; format symbols=\"01\"; matrix\n" % (len(names), nchar)
    text += "".join("%s %s\n" % (n, r) for n, r in zip(names, rows)) + ";\nend;\n"
    given = ["%s: %s" % (s, " ".join(str(c + 1) for c in range(nchar) if ancestor[c] == s))
             for s in "01" if s in ancestor]
    text += "begin assumptions; ancstates * anc = %s; end;\n" % ", ".join(given)
    text += "begin vorn; ctype irrev: 1-%d; end;\n" % nchar
    text += "begin trees;\n" + "".join("tree t%d = [&R] %s\n" % (i, t) for i, t in enumerate(trees)) + "end;\n"
    text += "pset opt=%s;\ndescribetrees all / plot=none brlens=yes xout=internal;\nquit;\n" % opt
    path = os.path.join(work, "run.nex")
    with open(path, "w") as f:
        f.write(text)
    out = subprocess.run([vorn, "-n", path], capture_output=True, text=True, preexec_fn=cpu_limit(600), cwd=work).stdout
    per_tree = []
    for part in re.split(r"\nTree t\d+:\n", out)[1:]:
        children, state = {}, {}
        for line in part.splitlines():
            m = re.match(r"\s*(\S+)(?: \(\d+\))?\s+(\S+)\s+\d+\s+\d+\s+\d+\s*$", line)
            if m:
                children.setdefault(m.group(2), []).append(m.group(1))
        table = re.search(r"Reconstructed states for internal nodes:\n.*?\n-+\n(.*?)\n\n", part, re.S)
        for line in table.group(1).splitlines() if table else []:
            node, cells = line.split()
            state[node] = cells
        per_tree.append(by_clade(state, children, names))
    return per_tree


def by_rule(names, rows, tree_clades, ancestor):
    out = {}
    for clade in tree_clades:
        at = [names.index(n) for n in clade]
        out[clade] = "".join(
            rows[at[0]][c] if all(rows[i][c] == rows[at[0]][c] for i in at) else ancestor[c]
            for c in range(len(ancestor)))
    return out


def main():
    vorn = os.path.abspath(sys.argv[1])
    if shutil.which("phylip") is None:
        print("PHYLIP is not installed")
        return 77
    rng = random.Random(654)
    failures = compared = derived = 0
    with tempfile.TemporaryDirectory() as work:
        for s in range(DATA_SETS):
            ntax, nchar = rng.randint(5, 12), rng.randint(10, 40)
            names = ["T%d" % i for i in range(ntax)]
            rows = ["".join(rng.choice("0001" if rng.random() < 0.5 else "01") for _ in range(nchar)) for _ in names]
            trees = [random_tree(rng, names) for _ in range(TREES_PER_SET)]
            ancestor = "".join(rng.choice("01") for _ in range(nchar))
            theirs = mix_states(work, names, rows, trees, ancestor)
            for opt in ("acctran", "deltran"):
                ours = vorn_states(vorn, work, names, rows, trees, ancestor, opt)
                if len(ours) != len(trees) or len(theirs) != len(trees):
                    print("set %d %s: %d VORN and %d mix tables for %d trees" %
                          (s, opt, len(ours), len(theirs), len(trees)))
                    failures += 1
                    continue
                for k in range(len(trees)):
                    want = by_rule(names, rows, theirs[k].keys(), ancestor)
                    if len(want) != ntax - 1 or theirs[k] != want:
                        print("set %d tree %d: mix differs from the rule: %s" % (s, k, theirs[k]))
                        failures += 1
                    for clade, states in want.items():
                        compared += 1
                        derived += sum(a != b for a, b in zip(states, ancestor))
                        if ours[k].get(clade) != states:
                            failures += 1
                            print("set %d tree %d %s node %s: VORN %s, mix %s (ancestor %s)" %
                                  (s, k, opt, ",".join(sorted(clade)), ours[k].get(clade), states, ancestor))
    print("irreversible states: %d nodes compared (%d derived cells), %d differ" % (compared, derived, failures))
    # Derived states at internal nodes must have occurred, or the check
    # could not tell a node shown as the ancestor everywhere.
    if derived == 0:
        print("no internal node held a derived state")
        failures += 1
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
