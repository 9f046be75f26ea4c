#!/usr/bin/python3
"""Autopartition on four gene subsets simulated here (numpy): two under JC
at half the rate, two under K80 with kappa 8 at double the rate, 250 sites
each, on one 8-taxon tree. With the six models of modelset j3 (equal rates):
- allSchemes prints 15 schemes (each partition as "1 2|3 4") and fits 15
  block subsets, and chooses
  {1 2} | {3 4} with JC and K80 and K = 27 (13 branch lengths per block,
  one kappa);
- greedy chooses the same after 6 + 3 + 1 joined schemes, with the models
  chosen for every trial block (early) or for the blocks of the scheme
  chosen under GTR (late);
- lset=yes installs the model partition "autopart" with block1 and block2;
- a partition of one subset, with characters excluded, chooses the model
  AutoModel chooses on the same sites, with the same -lnL and BIC;
- iqtree2 -p parts.nex -m TESTMERGEONLY merges the same way (skipped
  without iqtree2).
Skips (status 77) without numpy."""
import math
import os
import re
import shutil
import subprocess
import sys
import tempfile

try:
    import numpy as np
except ImportError:
    print("numpy is not installed")
    sys.exit(77)

NTAX, GENE = 8, 250
TREE = "((t1:0.1,t2:0.15):0.05,(t3:0.12,t4:0.08):0.06,((t5:0.1,t6:0.14):0.07,(t7:0.09,t8:0.11):0.05):0.04);"


def parse(text):
    """Nested lists of [child, length]; leaves are taxon numbers from 0."""
    pos = 0

    def node():
        nonlocal pos
        if text[pos] == "(":
            pos += 1
            kids = [node()]
            while text[pos] == ",":
                pos += 1
                kids.append(node())
            pos += 1
            child = kids
        else:
            m = re.match(r"t(\d+)", text[pos:])
            pos += m.end()
            child = int(m.group(1)) - 1
        length = 0.0
        if pos < len(text) and text[pos] == ":":
            m = re.match(r":([0-9.]+)", text[pos:])
            pos += m.end()
            length = float(m.group(1))
        return [child, length]
    return node()[0]


def k80_p(t, kappa):
    # Rate matrix scaled to one substitution per unit time.
    q = np.ones((4, 4))
    for i, j in ((0, 2), (2, 0), (1, 3), (3, 1)):
        q[i, j] = kappa
    np.fill_diagonal(q, 0)
    q /= q.sum() / 4
    np.fill_diagonal(q, -q.sum(axis=1))
    w, v = np.linalg.eigh(q)
    return (v * np.exp(w * t)) @ v.T


def simulate(tree, n, rate, kappa, rng):
    seqs = {}

    def walk(kids, states):
        for child, length in kids:
            p = k80_p(length * rate, kappa)
            cum = np.cumsum(p[states], axis=1)
            new = (rng.random(n)[:, None] > cum).sum(axis=1).clip(0, 3)
            if isinstance(child, int):
                seqs[child] = new
            else:
                walk(child, new)
    walk(tree, rng.integers(0, 4, n))
    return [seqs[t] for t in range(NTAX)]


def main():
    vorn = sys.argv[1]
    rng = np.random.default_rng(4646)
    tree = parse(TREE)
    genes = [simulate(tree, GENE, r, k, rng) for r, k in ((0.5, 1.0), (0.5, 1.0), (2.0, 8.0), (2.0, 8.0))]
    seqs = ["".join("ACGT"[s] for g in genes for s in g[t]) for t in range(NTAX)]
    nchar = 4 * GENE
    work = tempfile.mkdtemp(prefix="vorn_autopart_")
    failures = 0

    def check(label, ok, detail=""):
        nonlocal failures
        print("%-40s %s %s" % (label, "ok" if ok else "DIFFERS", detail))
        failures += not ok
    try:
        ranges = ["%d-%d" % (g * GENE + 1, (g + 1) * GENE) for g in range(4)]
        with open(os.path.join(work, "run.nex"), "w") as f:
            f.write("#NEXUS\nbegin data;\n dimensions ntax=%d nchar=%d;\n format datatype=dna;\n matrix\n" % (NTAX, nchar))
            for t, s in enumerate(seqs):
                f.write(" t%d %s\n" % (t + 1, s))
            f.write(";\nend;\nbegin sets;\n charpartition genes = %s;\nend;\n" %
                    ", ".join("g%d: %s" % (g + 1, r) for g, r in enumerate(ranges)))
            f.write("begin trees;\n tree t = [&U] %s\nend;\nbegin vorn;\n set criterion=likelihood;\n" % TREE)
            common = "partition=genes modelset=j3 invarSites=no gammaRates=no IplusG=no criterion=BIC"
            f.write(" autopartition %s method=allSchemes showSchemes=yes lset=no;\n" % common)
            f.write(" autopartition %s method=greedy modSel=late lset=no;\n" % common)
            f.write(" autopartition %s method=greedy modSel=early lset=yes;\n showmpartition;\nend;\n" % common)
        out = subprocess.run([vorn, "-n", "run.nex"], cwd=work, capture_output=True, text=True).stdout
        runs = out.split("Searching for optimal partitioning")[1:]
        if len(runs) != 3:
            print(out)
            return 1
        for label, run, count in (("allSchemes", runs[0], 15), ("greedy, late", runs[1], 1 + 6 + 3 + 1),
                                  ("greedy", runs[2], 1 + 6 + 3 + 1)):
            lines = [l for l in run.split("Best scheme found")[0].split("\n") if re.match(r"^ +\d+ +[0-9.]+ +\d+ +[0-9.]+", l)]
            check(label + " schemes scored", len(lines) == count, "%d" % len(lines))
            best = run.split("Best scheme found")[1]
            rows = re.findall(r"^ +(\d+) +(\S+) +[0-9.]+ +\d+ +[0-9.]+ +([0-9 ]+)$", best, re.M)
            got = sorted((m.strip(), model) for _, model, m in rows)
            check(label + " chooses {1 2}|{3 4}, JC and K80", got == [("1 2", "JC"), ("3 4", "K80")], str(got))
            total = re.search(r"Total +[0-9.]+ +(\d+)\*", best)
            check(label + " K = 27", total is not None and total.group(1) == "27", total.group(0) if total else "")
        check("block subsets fitted by allSchemes", "Number of block subsets to be evaluated = 15" in runs[0])

        # showSchemes: every set partition of the four subsets once, each
        # block's subset numbers separated by single blanks, blocks by "|".
        def set_partitions(items):
            if not items:
                yield []
                return
            first, rest = items[0], items[1:]
            for p in set_partitions(rest):
                yield [[first]] + p
                for i in range(len(p)):
                    yield p[:i] + [[first] + p[i]] + p[i + 1:]
        want = sorted("|".join(" ".join(map(str, b)) for b in sorted(p)) for p in set_partitions([1, 2, 3, 4]))
        shown = sorted(re.findall(r"^ +\d+ +[0-9.]+ +\d+ +[0-9.]+    (\d[ |\d]*)$", runs[0], re.M))
        check("allSchemes partitions shown", shown == want, str(shown[:3]))
        shown = re.search(r'model partition "autopart":\s+block1\s+(\S+)\s+block2\s+(\S+)', out)
        check("autopart installed", shown is not None and shown.groups() == ("1-500", "501-1000"),
              shown.groups() if shown else "")

        with open(os.path.join(work, "one.nex"), "w") as f:
            f.write("#NEXUS\nset warnreset=no;\nexecute run.nex;\nbegin sets; charpartition one = all: 1-%d; end;\n"
                    "exclude 1-125 200-210;\nautopartition partition=one modelset=j3 stateFreq=estimate "
                    "lset=no;\nautomodel modelset=j3 AIC=no AICc=no BIC=yes lset=no;\n" % nchar)
        # Without the run's own autopartition commands.
        with open(os.path.join(work, "run.nex")) as f:
            text = f.read()
        with open(os.path.join(work, "run.nex"), "w") as f:
            f.write(text.split(" autopartition")[0] + "end;\n")
        out = subprocess.run([vorn, "-n", "one.nex"], cwd=work, capture_output=True, text=True).stdout
        part = re.search(r"^ +1 +(\S+) +([0-9.]+) +\d+ +([0-9.]+)    1$", out, re.M)
        model = re.search(r"Model selection results for BIC:\n(?:.*\n){4} +\d+ +(\S+) +([0-9.]+) +\d+ +([0-9.]+)", out)
        check("one block = AutoModel", part is not None and model is not None and part.groups() == model.groups(),
              "%s %s" % (part.groups() if part else None, model.groups() if model else None))

        if shutil.which("iqtree2") is None:
            print("iqtree2 is not installed: the peer comparison is skipped")
            return 1 if failures else 0
        with open(os.path.join(work, "a.phy"), "w") as f:
            f.write("%d %d\n" % (NTAX, nchar))
            for t, s in enumerate(seqs):
                f.write("t%d %s\n" % (t + 1, s))
        with open(os.path.join(work, "parts.nex"), "w") as f:
            f.write("#nexus\nbegin sets;\n%s\nend;\n" % "".join(
                " charset g%d = %s;\n" % (g + 1, r) for g, r in enumerate(ranges)))
        with open(os.path.join(work, "t.tre"), "w") as f:
            f.write(TREE + "\n")
        subprocess.run(["iqtree2", "-s", "a.phy", "-p", "parts.nex", "-te", "t.tre", "-m", "TESTMERGEONLY",
                        "-mset", "JC,F81,K2P,HKY,SYM,GTR", "-mrate", "E", "-merit", "BIC", "-nt", "1", "-quiet",
                        "-redo", "-pre", "iq"], cwd=work, capture_output=True, check=True)
        best = open(os.path.join(work, "iq.best_scheme.nex")).read()
        groups = sorted(sorted(re.findall(r"g(\d)", line)) for line in best.split("\n") if "charset" in line)
        check("iqtree2 merges the same way", groups == [["1", "2"], ["3", "4"]], str(groups))
        return 1 if failures else 0
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
