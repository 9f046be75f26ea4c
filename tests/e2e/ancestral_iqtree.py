#!/usr/bin/python3
"""Marginal ancestral states against IQ-TREE: the first 200 sites of the
12-taxon example on its tree with the user branch lengths fixed, under JC.
DescribeTrees' "Marginal probabilities of each base assignment" must sum to
1 at each node and site and equal `iqtree2 -te t.nwk -blfix -m JC
--ancestral` (.state) to 1e-4, nodes matched by the taxon sets around them.
Skips (status 77) when iqtree2 is not installed."""
import os
import re
import shutil
import subprocess
import sys
import tempfile

SRC = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "examples")


def parse_newick(text):
    """Children lists and labels of a Newick tree with internal labels."""
    pos = 0
    children, labels = {}, {}

    def node():
        nonlocal pos
        me = len(labels)
        labels[me] = None
        children[me] = []
        if text[pos] == "(":
            pos += 1
            while True:
                children[me].append(node())
                if text[pos] == ",":
                    pos += 1
                    continue
                pos += 1  # ')'
                break
        m = re.match(r"[^,():;]*", text[pos:])
        labels[me] = m.group(0) or None
        pos += len(m.group(0))
        if text[pos] == ":":
            m = re.match(r":[0-9.eE+-]+", text[pos:])
            pos += len(m.group(0))
        return me

    root = node()
    return root, children, labels


def main():
    vorn = sys.argv[1]
    if shutil.which("iqtree2") is None:
        print("iqtree2 is not installed")
        return 77
    work = tempfile.mkdtemp(prefix="vorn_anc_iq_")
    try:
        lines = open(os.path.join(SRC, "lik12.phy")).read().split("\n")
        ntax = int(lines[0].split()[0])
        rows = [(l.split()[0], l.split()[1][:200]) for l in lines[1:1 + ntax]]
        taxa = frozenset(r[0] for r in rows)
        tree = open(os.path.join(SRC, "lik12.nwk")).read().strip()
        with open(os.path.join(work, "a.phy"), "w") as f:
            f.write("%d 200\n" % ntax)
            for name, seq in rows:
                f.write("%s %s\n" % (name, seq))
        shutil.copy(os.path.join(SRC, "lik12.nwk"), os.path.join(work, "t.nwk"))
        with open(os.path.join(work, "run.nex"), "w") as f:
            f.write("#NEXUS\nbegin data;\n dimensions ntax=%d nchar=200;\n format datatype=dna;\n matrix\n" % ntax)
            for name, seq in rows:
                f.write(" %s %s\n" % (name, seq))
            f.write(";\nend;\nbegin trees;\n tree t = [&U] %s\nend;\nbegin vorn;\n set criterion=likelihood;\n"
                    " lset nst=1 basefreq=equal rates=equal allProbs=yes userBrLens=yes;\n"
                    " describetrees 1 / brLens=yes xout=internal plot=none;\nend;\n" % tree)
        out = subprocess.run([vorn, "-n", "run.nex"], cwd=work, capture_output=True, text=True).stdout
        # The display tree from the linkage table: node -> parent.
        parent, tips = {}, {}
        table = out.split("Branch lengths and linkages")[1].split("Sum")[0]
        for line in table.split("\n"):
            m = re.match(r"^(\S+) \((\d+)\)\s+(\S+)\s+[0-9.]+", line)
            if m:
                tips["t%s" % m.group(2)] = m.group(1)
                parent[("tip", m.group(1))] = m.group(3)
                continue
            m = re.match(r"^\s+(\d+)\s+(\S+)\s+[0-9.]+", line)
            if m:
                parent[("node", m.group(1))] = m.group(2)
        kids = {}
        for (kind, name), p in parent.items():
            kids.setdefault(p, []).append((kind, name))

        def clade(key):
            kind, name = key
            if kind == "tip":
                return frozenset([name])
            return frozenset().union(*(clade(k) for k in kids.get(name, [])))

        ours_key = {}
        for (kind, name), p in parent.items():
            if kind != "node":
                continue
            around = [clade(k) for k in kids.get(name, [])] + [taxa - clade((kind, name))]
            if len(around) >= 3:
                ours_key[name] = frozenset(around)
        probs = {}
        site = None
        for line in out.split("Marginal probabilities of each base assignment")[1].split("\n"):
            f = line.split()
            if len(f) == 6 and re.match(r"^\s{0,5}\d", line) and not line.startswith("        "):
                site = int(f[0])
                node, values = f[1], list(map(float, f[2:]))
            elif len(f) == 5 and site is not None:
                node, values = f[0], list(map(float, f[1:]))
            else:
                continue
            probs[(site, node)] = values
        bad_sum = [k for k, v in probs.items() if abs(sum(v) - 1) > 5e-5]
        subprocess.run(["iqtree2", "-s", "a.phy", "-te", "t.nwk", "-blfix", "-m", "JC", "--ancestral", "-nt", "1",
                        "-quiet", "-redo", "-pre", "iq"], cwd=work, capture_output=True, check=True)
        root, children, labels = parse_newick(open(os.path.join(work, "iq.treefile")).read().strip())
        below = {}

        def clade_iq(v):
            below[v] = frozenset([labels[v]]) if not children[v] else frozenset().union(
                *(clade_iq(c) for c in children[v]))
            return below[v]

        clade_iq(root)
        parent_iq = {c: v for v in children for c in children[v]}
        peer_key = {}
        for v in children:
            if not children[v]:
                continue
            around = [below[c] for c in children[v]] + ([taxa - below[v]] if v in parent_iq else [])
            peer_key[frozenset(around)] = labels[v]
        name_of = {k: n for n, k in ours_key.items()}
        peer = {}
        for line in open(os.path.join(work, "iq.state")):
            if line.startswith("#") or line.startswith("Node\t"):
                continue
            f = line.split()
            peer[(f[0], int(f[1]))] = list(map(float, f[3:7]))
        worst, compared = 0.0, 0
        for key, ours_node in name_of.items():
            label = peer_key.get(key)
            if label is None:
                print("node %s has no counterpart" % ours_node)
                return 1
            for s in range(1, 201):
                a, b = probs[(s, ours_node)], peer[(label, s)]
                worst = max(worst, max(abs(x - y) for x, y in zip(a, b)))
                compared += 1
        print("%d node-site rows compared, largest difference %.2e; %d rows not summing to 1"
              % (compared, worst, len(bad_sum)))
        return 0 if worst <= 1e-4 and not bad_sum and compared >= 200 * 9 else 1
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
