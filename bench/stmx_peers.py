#!/usr/bin/env python3
"""Peer timings beside bench_stmx.cpp, on random data of the same sizes.

Usage: stmx_peers.py [vorn ...]

phangorn's sankoff() on 100 taxa x 10,000 4-state characters with the costs
of BM_StepmatrixFullPass (0-1 and 2-3 one step, the rest two) on a random
tree: the median of 5 calls inside R (system.time), reading excluded. PHYLIP
dollop and mix (Camin-Sokal) scoring 100 random user trees of 50 taxa x 1,000
binary characters: whole processes timed with farm-bench (median of 5). Each
vorn binary given is timed the same way on the same data and trees (PScores,
all Dollo or all irreversible, ancestor 0), start-up and reading included.
"""
import os
import random
import shutil
import subprocess
import sys
import tempfile

R_TIMING = r"""
suppressMessages(library(phangorn))
set.seed(38)
n <- 100; m <- 10000
x <- matrix(sample(c("0","1","2","3"), n * m, TRUE), n, m, dimnames = list(paste0("t", 1:n), NULL))
d <- phyDat(x, type = "USER", levels = c("0","1","2","3"))
cost <- matrix(2, 4, 4); diag(cost) <- 0; cost[1,2] <- cost[2,1] <- cost[3,4] <- cost[4,3] <- 1
dimnames(cost) <- list(c("0","1","2","3"), c("0","1","2","3"))
tree <- rtree(n, tip.label = paste0("t", 1:n), rooted = FALSE)
times <- sapply(1:5, function(i) system.time(sankoff(tree, d, cost = cost))[["elapsed"]])
cat("sankoff median", median(times), "s; all", times, "\n")
"""


def random_tree(rng, names):
    groups = list(names)
    while len(groups) > 1:
        a = groups.pop(rng.randrange(len(groups)))
        b = groups.pop(rng.randrange(len(groups)))
        groups.append("(%s,%s)" % (a, b))
    return groups[0] + ";"


def vorn_nexus(names, rows, trees, ctype):
    nchar = len(rows[0])
    text = "#nexus\nbegin data; dimensions ntax=%d nchar=%d; format symbols=\"01\"; matrix\n" % (len(names), nchar)
    text += "".join("%s %s\n" % (n, r) for n, r in zip(names, rows)) + ";\nend;\n"
    text += "begin assumptions; ancstates * zero = 0: 1-%d; end;\n" % nchar
    text += "begin vorn; ctype %s: 1-%d; end;\n" % (ctype, nchar)
    text += "begin trees;\n" + "".join("tree t%d = [&R] %s\n" % (i, t) for i, t in enumerate(trees)) + "end;\n"
    return text + "pscores all;\nquit;\n"


def main():
    rng = random.Random(39)
    with tempfile.TemporaryDirectory() as work:
        if shutil.which("Rscript"):
            script = os.path.join(work, "t.R")
            with open(script, "w") as f:
                f.write(R_TIMING)
            print(subprocess.run(["Rscript", script], capture_output=True, text=True).stdout.strip())
        if shutil.which("phylip") and shutil.which("farm-bench"):
            names = ["T%d" % i for i in range(50)]
            with open(os.path.join(work, "infile"), "w") as f:
                f.write("%5d%5d\n" % (50, 1000))
                for n in names:
                    f.write("%-10s%s\n" % (n, "".join(rng.choice("01") for _ in range(1000))))
            with open(os.path.join(work, "intree"), "w") as f:
                f.write("\n".join(random_tree(rng, names) for _ in range(100)) + "\n")
            for program, answers in (("dollop", "U\\nY\\n7\\n"), ("mix", "U\\nP\\nY\\n7\\n")):
                cmd = "cd %s && rm -f outfile outtree && printf '%s' | phylip %s >/dev/null" % (work, answers, program)
                out = subprocess.run(["farm-bench", "-n", "5", "--timeout", "600", "--", "sh", "-c", cmd],
                                     capture_output=True, text=True).stdout
                print(program, "\n" + out)
            rows = [line[10:].strip() for line in open(os.path.join(work, "infile")).read().splitlines()[1:]]
            trees = open(os.path.join(work, "intree")).read().split()
            for k, vorn in enumerate(sys.argv[1:]):
                for ctype in ("dollo", "irrev"):
                    path = os.path.join(work, "vorn_%s.nex" % ctype)
                    with open(path, "w") as f:
                        f.write(vorn_nexus(names, rows, trees, ctype))
                    cmd = "%s -n %s >/dev/null" % (os.path.abspath(vorn), path)
                    out = subprocess.run(["farm-bench", "-n", "5", "--timeout", "600", "--", "sh", "-c", cmd],
                                         capture_output=True, text=True).stdout
                    print("vorn %d (%s) %s\n%s" % (k + 1, vorn, ctype, out))


if __name__ == "__main__":
    main()
