#!/usr/bin/env python3
"""Dollo, irreversible and stepmatrix lengths of user trees against peers.

Usage: stmx_vs_peers.py VORN

Random 0/1 matrices and random rooted trees, ancestral state 0 for every
character, a few missing cells: VORN's PScores lengths with every character irreversible must equal
PHYLIP mix's (Camin-Sokal), and with every character Dollo they must equal
PHYLIP dollop's plus one gain for each character that shows state 1 (dollop
counts losses only). Random symmetric 4-state stepmatrices (closed under the
triangle inequality, as the UserType command leaves them) on random 0-3
matrices and unrooted trees: VORN's lengths (stepmatrix=allStates) must equal
phangorn's sankoff() with the same costs. Each peer part is skipped when its
program is missing; exit 77 when every one is.
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

DATA_SETS = 6
TREES_PER_SET = 8


def random_tree(rng, names):
    groups = list(names)
    while len(groups) > 1:
        a = groups.pop(rng.randrange(len(groups)))
        b = groups.pop(rng.randrange(len(groups)))
        groups.append("(%s,%s)" % (a, b))
    return groups[0] + ";"


def vorn_lengths(vorn, work, nexus):
    path = os.path.join(work, "run.nex")
    with open(path, "w") as f:
        f.write(nexus)
    out = subprocess.run([vorn, "-n", path], capture_output=True, text=True, preexec_fn=cpu_limit(600), cwd=work).stdout
    lengths = []
    for line in out.splitlines():
        if re.match(r"Length\s+[0-9]", line):
            lengths += [float(x) for x in line.split()[1:]]
    return lengths


def binary_nexus(names, rows, trees, ctype):
    nchar = len(rows[0])
    text = "#nexus\nbegin data; dimensions ntax=%d nchar=%d; format symbols=\"01\" missing=?; matrix\n" % (
        len(names), nchar)
    text += "".join("%s %s\n" % (n, r) for n, r in zip(names, rows)) + ";\nend;\n"
    text += "begin assumptions; ancstates * zero = 0: 1-%d; end;\n" % nchar
    text += "begin vorn; ctype %s: 1-%d; end;\n" % (ctype, nchar)
    text += "begin trees;\n" + "".join("tree t%d = [&R] %s\n" % (i, t) for i, t in enumerate(trees)) + "end;\n"
    return text + "pscores all;\nquit;\n"


def phylip_lengths(program, work, names, rows, trees, answers):
    run = os.path.join(work, program)
    os.makedirs(run, exist_ok=True)
    for f in ("outfile", "outtree"):
        if os.path.exists(os.path.join(run, f)):
            os.remove(os.path.join(run, f))
    with open(os.path.join(run, "infile"), "w") as f:
        f.write("%5d%5d\n" % (len(names), len(rows[0])))
        f.writelines("%-10s%s\n" % (n, r) for n, r in zip(names, rows))
    with open(os.path.join(run, "intree"), "w") as f:
        f.write("\n".join(trees) + "\n")
    subprocess.run(["phylip", program], input=answers, capture_output=True, text=True, preexec_fn=cpu_limit(600), cwd=run)
    with open(os.path.join(run, "outfile")) as f:
        return [float(x) for x in re.findall(r"requires a total of\s+([0-9.]+)", f.read())]


def check_phylip(vorn, work, rng):
    failures = compared = 0
    for s in range(DATA_SETS):
        ntax, nchar = rng.randint(5, 12), rng.randint(10, 40)
        names = ["T%d" % i for i in range(ntax)]
        rows = ["".join("?" if rng.random() < 0.05 else rng.choice("0001") if rng.random() < 0.5 else rng.choice("01")
                        for _ in range(nchar)) for _ in names]
        trees = [random_tree(rng, names) for _ in range(TREES_PER_SET)]
        showing_one = sum(1 for c in range(nchar) if any(r[c] == "1" for r in rows))
        mix = phylip_lengths("mix", work, names, rows, trees, "U\nP\nY\n7\n")
        dollop = phylip_lengths("dollop", work, names, rows, trees, "U\nY\n7\n")
        irrev = vorn_lengths(vorn, work, binary_nexus(names, rows, trees, "irrev.up"))
        dollo = vorn_lengths(vorn, work, binary_nexus(names, rows, trees, "Dollo.up"))
        if len(mix) != len(trees) or len(dollop) != len(trees) or len(irrev) != len(trees) or len(dollo) != len(trees):
            print("set %d: expected %d lengths, got mix %d dollop %d vorn %d/%d" %
                  (s, len(trees), len(mix), len(dollop), len(irrev), len(dollo)))
            failures += 1
            continue
        for k in range(len(trees)):
            compared += 2
            if irrev[k] != mix[k]:
                failures += 1
                print("set %d tree %d: irreversible %g, mix %g" % (s, k, irrev[k], mix[k]))
            if dollo[k] != dollop[k] + showing_one:
                failures += 1
                print("set %d tree %d: Dollo %g, dollop %g + %d" % (s, k, dollo[k], dollop[k], showing_one))
    print("PHYLIP mix and dollop: %d lengths compared, %d differ" % (compared, failures))
    return failures


R_SANKOFF = r"""
suppressMessages(library(phangorn))
args <- commandArgs(TRUE)
raw <- read.nexus.data(args[1])
d <- phyDat(raw, type = "USER", levels = c("0", "1", "2", "3"))
cost <- as.matrix(read.table(args[2]))
dimnames(cost) <- list(c("0", "1", "2", "3"), c("0", "1", "2", "3"))
trees <- read.tree(args[3])
for (t in trees) cat(sankoff(t, d, cost = cost), "\n")
"""


def check_phangorn(vorn, work, rng):
    failures = compared = 0
    script = os.path.join(work, "sankoff.R")
    with open(script, "w") as f:
        f.write(R_SANKOFF)
    for s in range(DATA_SETS):
        ntax, nchar = rng.randint(5, 14), rng.randint(5, 30)
        names = ["T%d" % i for i in range(ntax)]
        rows = ["".join(rng.choice("0123") for _ in range(nchar)) for _ in names]
        c = [[0 if i == j else rng.randint(1, 5) for j in range(4)] for i in range(4)]
        for i in range(4):
            for j in range(i):
                c[i][j] = c[j][i]
        for k in range(4):
            for i in range(4):
                for j in range(4):
                    c[i][j] = min(c[i][j], c[i][k] + c[k][j])
        trees = [random_tree(rng, names) for _ in range(TREES_PER_SET)]
        data = os.path.join(work, "sankoff.nex")
        with open(data, "w") as f:
            f.write("#nexus\nbegin data; dimensions ntax=%d nchar=%d; format symbols=\"0123\"; matrix\n" %
                    (ntax, nchar))
            f.writelines("%s %s\n" % (n, r) for n, r in zip(names, rows))
            f.write(";\nend;\n")
        with open(os.path.join(work, "cost.txt"), "w") as f:
            f.writelines(" ".join(map(str, row)) + "\n" for row in c)
        with open(os.path.join(work, "trees.tre"), "w") as f:
            f.write("\n".join(trees) + "\n")
        r = subprocess.run(["Rscript", script, data, os.path.join(work, "cost.txt"), os.path.join(work, "trees.tre")],
                           capture_output=True, text=True, preexec_fn=cpu_limit(600))
        peer = [float(x) for x in r.stdout.split()]
        matrix = " ".join(" ".join("." if i == j else str(c[i][j]) for j in range(4)) for i in range(4))
        nexus = open(data).read()
        nexus += "begin assumptions; usertype costs (stepmatrix) = 4 0123 %s; end;\n" % matrix
        nexus += "begin vorn; ctype costs: 1-%d; pset stepmatrix=allStates; end;\n" % nchar
        nexus += "begin trees;\n" + "".join("tree t%d = [&U] %s\n" % (i, t) for i, t in enumerate(trees))
        nexus += "end;\npscores all;\nquit;\n"
        ours = vorn_lengths(vorn, work, nexus)
        if len(peer) != len(trees) or len(ours) != len(trees):
            print("set %d: expected %d lengths, phangorn %d, vorn %d (%s)" % (s, len(trees), len(peer), len(ours),
                                                                          r.stderr.strip()[-200:]))
            failures += 1
            continue
        for k in range(len(trees)):
            compared += 1
            if ours[k] != peer[k]:
                failures += 1
                print("set %d tree %d: stepmatrix %g, phangorn sankoff %g" % (s, k, ours[k], peer[k]))
    print("phangorn sankoff(): %d lengths compared, %d differ" % (compared, failures))
    return failures


def main():
    vorn = os.path.abspath(sys.argv[1])
    rng = random.Random(38)
    have_phylip = shutil.which("phylip") is not None
    have_r = shutil.which("Rscript") is not None and subprocess.run(
        ["Rscript", "-e", "library(phangorn)"], capture_output=True).returncode == 0
    if not have_phylip and not have_r:
        print("neither PHYLIP nor R with phangorn is installed")
        return 77
    failures = 0
    with tempfile.TemporaryDirectory() as work:
        if have_phylip:
            failures += check_phylip(vorn, work, rng)
        if have_r:
            failures += check_phangorn(vorn, work, rng)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
