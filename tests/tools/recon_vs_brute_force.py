#!/usr/bin/env python3
"""DescribeTrees' branch lengths against every most parsimonious
reconstruction, with and without a deleted taxon.

Usage: recon_vs_brute_force.py VORN

Random matrices of states 0-3 with missing and uncertain cells ({02}, {13}),
on every tree of 5 to 7 taxa and random trees of 8 and 9:
  - unordered characters under MinF on unrooted trees;
  - ordered characters under AccTran, DelTran and MinF on unrooted trees;
  - irreversible characters (ancestor 0) under AccTran on rooted trees;
  - unordered characters on rooted trees with MinF asked for (a batch run
    takes AccTran).
Each run is made once on the taxa alone and once with one more taxon in the
matrix, deleted before the trees are read. The tree is read back from the
branch-length table (each node and the node it is connected to), every
assignment of states to its nodes is tried (depth first, bounded by the
least length), and the table must agree: the tree length is the least
length, the assigned lengths add up to it, and each row's minimum and
maximum are the fewest and most steps its branch takes over the most
parsimonious assignments, the assigned length between them. Ordered and
irreversible characters read an uncertain cell as every state between its
ends, as their lengths do.
"""
import itertools
import os
import random
import re
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from stmx_vs_peers import random_tree  # noqa: E402

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
from vorn_run import cpu_limit  # noqa: E402

CELLS = "0123012301230123?xy"
UNCERTAIN = {"x": "{02}", "y": "{13}"}
RANDOM_TREES = 12


def all_trees(names):
    """Every rooted binary tree over names, as Newick text."""
    trees = [names[0]]
    for name in names[1:]:
        grown = []
        for t in trees:
            # Every subtree: a name or a bracketed group.
            spans, stack = [], []
            i = 0
            while i < len(t):
                if t[i] == "(":
                    stack.append(i)
                    i += 1
                elif t[i] == ")":
                    spans.append((stack.pop(), i + 1))
                    i += 1
                elif t[i] == ",":
                    i += 1
                else:
                    j = i
                    while j < len(t) and t[j] not in "(),":
                        j += 1
                    spans.append((i, j))
                    i = j
            grown += [t[:a] + "(" + t[a:b] + "," + name + ")" + t[b:] for a, b in spans]
        trees = grown
    return trees


def unrooted(tree):
    """The same tree with a basal trifurcation."""
    inner = tree[1:-1]
    depth = 0
    for i, ch in enumerate(inner):
        depth += ch == "("
        depth -= ch == ")"
        if ch == "," and depth == 0:
            left, right = inner[:i], inner[i + 1:]
            if right.startswith("("):
                return "(%s,%s)" % (left, right[1:-1])
            return "(%s,%s)" % (right, left[1:-1]) if left.startswith("(") else tree
    return tree


def cell_states(cell, widen):
    if cell == "?":
        return [0, 1, 2, 3]
    if cell in UNCERTAIN:
        states = [0, 2] if cell == "x" else [1, 3]
        return list(range(states[0], states[1] + 1)) if widen else states
    return [int(cell)]


def cost_fn(kind):
    if kind == "unord":
        return lambda a, b: 0 if a == b else 1
    if kind == "ord":
        return lambda a, b: abs(a - b)
    return lambda a, b: b - a if b >= a else 10 ** 6


def reference(edges, tips, rows, kind, ancestor):
    """Least length and per child (min, max) steps over all most
    parsimonious assignments, summed over characters. edges: child ->
    parent; tips: label -> taxon name; the ancestor "root" of a rooted table
    is held at `ancestor` (None: free)."""
    nodes = ["root"]
    children = {}
    for child, parent in edges.items():
        children.setdefault(parent, []).append(child)
    i = 0
    while i < len(nodes):
        nodes += children.get(nodes[i], [])
        i += 1
    cost = cost_fn(kind)
    total, lo, hi = 0, {c: 0 for c in edges}, {c: 0 for c in edges}
    for c in range(len(next(iter(rows.values())))):
        cells = [rows[tips[n]][c] for n in nodes if n in tips]
        seen = set()
        for cell in cells:
            if cell != "?":
                seen.update(cell_states(cell, kind != "unord"))
        span = sorted(seen) or [0]
        if kind != "unord":
            span = list(range(span[0], span[-1] + 1))
        choices = []
        for n in nodes:
            if n in tips:
                choices.append(cell_states(rows[tips[n]][c], kind != "unord"))
            elif n == "root" and ancestor is not None:
                choices.append([ancestor])
            else:
                choices.append(span)
        index = {n: k for k, n in enumerate(nodes)}
        parent_of = [index[edges[n]] if n in edges else -1 for n in nodes]
        state = [0] * len(nodes)
        best = [10 ** 9]
        ranges = {}

        def walk(k, length, collect):
            if length > best[0]:
                return
            if k == len(nodes):
                if not collect:
                    best[0] = length
                    return
                for j in range(1, len(nodes)):
                    step = cost(state[parent_of[j]], state[j])
                    a, b = ranges.get(j, (10 ** 9, 0))
                    ranges[j] = (min(a, step), max(b, step))
                return
            for s in choices[k]:
                state[k] = s
                walk(k + 1, length + (cost(state[parent_of[k]], s) if k else 0), collect)

        walk(0, 0, False)
        walk(0, 0, True)
        total += best[0]
        for j, (a, b) in ranges.items():
            lo[nodes[j]] += a
            hi[nodes[j]] += b
    return total, lo, hi


ROW = re.compile(r"^(\S.*?|\s+\d+)\s{2,}(\S+)\s+(\d+)\s+(\d+)\s+(\d+)$")


def tables(out):
    """Per tree: (tree length, {child: (parent, assigned, min, max)}, sum)."""
    found = []
    for block in re.findall(r"-{20,}\n(.*?)\n-{20,}\nSum\s+(\d+)\n.*?Tree length = (\d+)", out, re.S):
        rows = {}
        for line in block[0].splitlines():
            m = ROW.match(line)
            if not m:
                raise ValueError("unreadable row: %r" % line)
            label = m.group(1).strip()
            rows[label] = (m.group(2), int(m.group(3)), int(m.group(4)), int(m.group(5)))
        found.append((int(block[2]), rows, int(block[1])))
    return found


def run(vorn, work, names, rows, deleted, trees, kind, opt, rooted):
    matrix = "".join("%s %s\n" % (n, "".join(UNCERTAIN.get(x, x) for x in rows[n])) for n in names)
    nchar = len(rows[names[0]])
    ctype = {"unord": "unord", "ord": "ord", "irrev": "irrev.up"}[kind]
    text = "#nexus\nbegin data; dimensions ntax=%d nchar=%d; format symbols=\"0123\" missing=?; matrix\n%s;\nend;\n" % (
        len(names), nchar, matrix)
    text += "begin assumptions; ancstates * zero = 0: 1-%d; end;\n" % nchar if kind == "irrev" else ""
    text += "begin vorn; set warnreset=no warntree=no; ctype %s: all;\n" % ctype
    if deleted:
        text += "delete %s;\n" % deleted
    text += "end;\nbegin trees;\n"
    text += "".join("tree t%d = [&%s] %s;\n" % (k + 1, "R" if rooted else "U", t) for k, t in enumerate(trees))
    text += "end;\nbegin vorn; pset opt=%s;\ndescribetrees all / plot=none brlens;\nend;\n" % opt
    path = os.path.join(work, "run.nex")
    with open(path, "w") as f:
        f.write(text)
    return subprocess.run([vorn, "-n", path], capture_output=True, text=True, preexec_fn=cpu_limit(600),
                          cwd=work).stdout


def check(vorn, work, rng, ntax, kind, opt, rooted, delete):
    names = ["t%d" % (k + 1) for k in range(ntax + (1 if delete else 0))]
    rows = {n: "".join(rng.choice(CELLS) for _ in range(2)) for n in names}
    deleted = names[rng.randrange(len(names))] if delete else None
    kept = [n for n in names if n != deleted]
    if ntax > 7:
        shapes = [random_tree(rng, kept).rstrip(";") for _ in range(RANDOM_TREES)]
    elif rooted:
        shapes = all_trees(kept)
        if len(shapes) > 945:
            shapes = rng.sample(shapes, 200)
    else:
        # With the first taxon beside the rest, every unrooted tree.
        shapes = ["(%s,%s)" % (kept[0], t) for t in all_trees(kept[1:])]
    trees = shapes if rooted else [unrooted(t) for t in shapes]
    out = run(vorn, work, names, rows, deleted, trees, kind, opt, rooted)
    described = tables(out)
    what = "%d taxa%s, %s, %s, %s" % (ntax, " + %s deleted" % deleted if deleted else "", kind, opt,
                                      "rooted" if rooted else "unrooted")
    if len(described) != len(trees):
        return len(trees), ["%s: %d trees described of %d" % (what, len(described), len(trees))]
    faults = []
    for tree, (length, table, total) in zip(trees, described):
        edges = {child: row[0] for child, row in table.items()}
        tips = {label: label.split(" ")[0] for label in table if " (" in label}
        best, lo, hi = reference(edges, tips, rows, kind, 0 if kind == "irrev" else None)
        wrong = []
        if length != best or total != best:
            wrong.append("length %d, sum %d, least %d" % (length, total, best))
        for child, (_, assigned, mn, mx) in table.items():
            if (mn, mx) != (lo[child], hi[child]) or not mn <= assigned <= mx:
                wrong.append("%s: %d in %d-%d, expected %d-%d" % (child, assigned, mn, mx, lo[child], hi[child]))
        if wrong:
            faults.append("%s, %s: %s" % (what, tree, "; ".join(wrong)))
    return len(trees), faults


def main():
    vorn = sys.argv[1]
    rng = random.Random(96)
    cases = [("unord", "minf", False, range(5, 10)), ("ord", "acctran", False, range(5, 8)),
             ("ord", "deltran", False, range(5, 8)), ("ord", "minf", False, range(5, 10)),
             ("irrev", "acctran", True, range(5, 8)), ("unord", "minf", True, range(5, 8))]
    faults, trees = [], 0
    with tempfile.TemporaryDirectory() as work:
        for kind, opt, rooted, sizes in cases:
            for ntax, delete in itertools.product(sizes, (False, True)):
                n, found = check(vorn, work, rng, ntax, kind, opt, rooted, delete)
                trees += n
                faults += found
    for f in faults[:20]:
        print(f)
    print("%d trees, %d faults" % (trees, len(faults)))
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
