#!/usr/bin/env python3
"""Patristic distances and f values of DescribeTrees against R's phangorn.

Usage: patristic_vs_phangorn.py VORN

For random 0/1 matrices (no missing cells) and random unrooted trees the
program describes each tree, rooted at its first taxon, under AccTran with
the patristic matrix and the f value. phangorn's acctran() on the same tree
rooted at the same taxon gives branch lengths whose path sums (cophenetic())
must equal the printed patristic distances exactly: where the root's state
is ambiguous phangorn splits the change between the two root branches, which
leaves every path through the root unchanged. The observed distances below
the diagonal must be the plain count of differing cells, and the f value the
sum of patristic minus observed over all pairs. Exit 77 when Rscript or
phangorn is missing.
"""
import os
import random
import re
import subprocess
import sys
import tempfile

sys.dont_write_bytecode = True  # no cache files in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from pars_fit_vs_phangorn import phangorn_available  # noqa: E402

CASES = 40

R_SCRIPT = r"""
suppressMessages(library(phangorn))
args <- commandArgs(TRUE)
for (stem in args) {
  raw <- read.nexus.data(paste0(stem, ".nex"))
  d <- phyDat(raw, type = "USER", levels = c("0", "1"))
  tr <- root(read.tree(paste0(stem, ".tre")), "t1", resolve.root = TRUE)
  cp <- cophenetic(acctran(tr, d))
  lab <- paste0("t", seq_along(raw))
  write.table(cp[lab, lab], file = paste0(stem, ".cp"), row.names = FALSE, col.names = FALSE)
}
"""


def random_tree(taxa, rng):
    groups = list(taxa)
    while len(groups) > 3:
        rng.shuffle(groups)
        a, b = groups.pop(), groups.pop()
        groups.append("(%s,%s)" % (a, b))
    return "(%s);" % ",".join(groups)


def printed_matrix(out, n):
    """The two triangles of the patristic matrix as printed, taxon-indexed."""
    section = out[out.index("Patristic distance matrix"):]
    cells = [[None] * n for _ in range(n)]
    for line in section.splitlines():
        m = re.match(r"\s*(\d+) t\d+\s+(.*)$", line)
        if m:
            i = int(m.group(1)) - 1
            for j, text in enumerate(m.group(2).split()):
                if text != "-":
                    cells[i][j] = float(text)
    return cells


def main():
    if len(sys.argv) != 2 or not phangorn_available():
        print(__doc__ if len(sys.argv) != 2 else "R or phangorn not installed; skipped")
        return 2 if len(sys.argv) != 2 else 77
    vorn = os.path.abspath(sys.argv[1])
    rng = random.Random(2026)
    failures = 0
    with tempfile.TemporaryDirectory(prefix="vorn-patristic-") as tmp:
        cases = []
        for k in range(CASES):
            n, nchar = rng.randint(4, 10), rng.randint(3, 20)
            taxa = ["t%d" % (i + 1) for i in range(n)]
            rows = ["".join(rng.choice("01") for _ in range(nchar)) for _ in taxa]
            tree = random_tree(taxa, rng)
            stem = os.path.join(tmp, "case%d" % k)
            with open(stem + ".nex", "w") as f:
                f.write("#NEXUS\nbegin data; dimensions ntax=%d nchar=%d; format symbols=\"01\";\nmatrix\n"
                        % (n, nchar))
                f.writelines("%s %s\n" % (t, r) for t, r in zip(taxa, rows))
                f.write(";\nend;\n")
            with open(stem + ".tre", "w") as f:
                f.write(tree + "\n")
            with open(stem + ".cmd", "w") as f:
                f.write("#NEXUS\nexecute %s.nex;\nbegin trees; tree a = [&U] %s\nend;\n" % (stem, tree))
                f.write("describetrees 1 / plot=none patristic fvalue;\nquit;\n")
            cases.append((stem, n, rows, tree))
        script = os.path.join(tmp, "acctran.R")
        with open(script, "w") as f:
            f.write(R_SCRIPT)
        r = subprocess.run(["Rscript", script] + [c[0] for c in cases], capture_output=True, text=True)
        if r.returncode != 0:
            print(r.stderr)
            return 1
        for stem, n, rows, tree in cases:
            out = subprocess.run([vorn, "-n", stem + ".cmd"], capture_output=True, text=True, cwd=tmp).stdout
            printed = printed_matrix(out, n)
            with open(stem + ".cp") as f:
                reference = [[float(x) for x in line.split()] for line in f]
            f_value = 0.0
            for i in range(n):
                for j in range(i + 1, n):
                    observed = sum(a != b for a, b in zip(rows[i], rows[j]))
                    if printed[j][i] != observed or printed[i][j] != reference[i][j]:
                        failures += 1
                        print("%s: taxa %d and %d: observed %s (expected %d), patristic %s (phangorn %g); tree %s"
                              % (os.path.basename(stem), i + 1, j + 1, printed[j][i], observed, printed[i][j],
                                 reference[i][j], tree))
                    f_value += reference[i][j] - observed
            m = re.search(r"^f value = (\S+)$", out, re.M)
            if not m or float(m.group(1)) != f_value:
                failures += 1
                print("%s: f value %s, expected %g" % (os.path.basename(stem), m and m.group(1), f_value))
    print("%d cases, %d disagreements" % (CASES, failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
