#!/usr/bin/python3
"""AutoModel fits each model from the estimates and branch lengths of a
related model it fitted before; the fits must still reach each model's own
optimum. On the first 200 sites of the 12-taxon example, modelset=j5 with
the four rate variants (40 models, estimated frequencies):
- every AutoModel -lnL against the same model fitted alone from the usual
  starting values by LScores (three starts for +I+G): never worse by more
  than the optimiser's tolerance, and never better by more than a flat
  surface allows (a larger gap means a score went to the wrong model);
- the same table, digit for digit, with two likelihood threads, and with
  up to eight where the process may use them, as with one (left out on one
  processor, where the program refuses more threads).
"""
import os
import re
import subprocess
import sys
import tempfile

from vorn_run import usable_processors

SRC = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "examples")
NSITE = 200
ROWS = [  # name, substitution class, rate classes, unequal frequencies
    ("JC", 0, None, False), ("F81", 0, None, True), ("K80", 1, None, False), ("HKY", 1, None, True),
    ("TrNef", 2, "a b a a c a", False), ("TrN", 2, "a b a a c a", True),
    ("K81", 2, "a b c c b a", False), ("K81uf", 2, "a b c c b a", True),
    ("SYM", 2, "a b c d e f", False), ("GTR", 2, "a b c d e f", True),
]
VARIANTS = ["", "+I", "+G", "+I+G"]
WORSE_TOL = 2e-3   # -lnL the AutoModel fit may stop above the lone fit
BETTER_TOL = 0.05  # -lnL it may reach below it (flat +I+G surfaces)


def lset_for(row, variant):
    _, cls, classes, unequal = row
    words = ["nst=1"] if cls == 0 else ["nst=2 tratio=estimate"] if cls == 1 else \
        ["nst=6 rclass=(%s) rmatrix=estimate" % classes]
    words.append("basefreq=estimate" if unequal else "basefreq=equal")
    words.append("rates=gamma shape=estimate" if "G" in variant else "rates=equal")
    words.append("pinv=estimate" if "I" in variant else "pinv=0")
    return "lset " + " ".join(words) + ";"


def model_table(out):
    table = out.split("Evaluating models for tree 1:")[1].split("Model selection results")[0]
    rows = [l for l in table.split("\n") if re.match(r"\s+\d+\s+\S+\s+[0-9.]+\s", l)]
    return rows, {l.split()[1]: float(l.split()[2]) for l in rows}


def main():
    vorn = sys.argv[1]
    lines = open(os.path.join(SRC, "lik12.phy")).read().split("\n")
    ntax = int(lines[0].split()[0])
    seqs = [l.split() for l in lines[1:1 + ntax]]
    tree = open(os.path.join(SRC, "lik12.nwk")).read().strip()
    head = "#NEXUS\nbegin data;\n dimensions ntax=%d nchar=%d;\n format datatype=dna;\n matrix\n" % (ntax, NSITE)
    head += "".join(" %s %s\n" % (name, s[:NSITE]) for name, s in seqs)
    head += ";\nend;\nbegin trees;\n tree t = [&U] %s\nend;\nbegin vorn;\n set criterion=likelihood;\n" % tree
    failures = 0
    with tempfile.TemporaryDirectory(prefix="vorn_automodel_warm_") as work:
        def run(body):
            with open(os.path.join(work, "run.nex"), "w") as f:
                f.write(head + body + "end;\n")
            return subprocess.run([vorn, "-n", "run.nex"], cwd=work, capture_output=True, text=True).stdout

        names = [r[0] + v for r in ROWS for v in VARIANTS]
        alone = "".join(" %s\n lscores 1;\n" % lset_for(r, v) for r in ROWS for v in VARIANTS)
        out = run(" automodel modelset=j5 lset=no;\n" + alone)
        rows, auto = model_table(out)
        single = [float(x) for x in re.findall(r"^-ln L\s+([0-9.]+)$", out, re.M)]
        if list(auto) != names or len(single) != len(names):
            print("expected %d AutoModel rows and lone fits, got %d and %d" % (len(names), len(auto), len(single)))
            return 1
        for name, cold in zip(names, single):
            warm = auto[name]
            if warm - cold > WORSE_TOL or cold - warm > BETTER_TOL:
                print("%-10s AutoModel %.5f, fitted alone %.5f" % (name, warm, cold))
                failures += 1
        # The program refuses more threads than processors it may use, so
        # the threaded tables are those the process can run.
        usable = usable_processors()
        if usable < 2:
            print("threaded tables skipped: this process may use %d processor" % usable)
        for threads in sorted({2, min(8, usable)}) if usable >= 2 else []:
            threaded, _ = model_table(run(" lset nthreads=%d;\n automodel modelset=j5 lset=no;\n" % threads))
            if threaded != rows:
                print("%d threads give another table:\n%s\n%s" % (threads, "\n".join(rows), "\n".join(threaded)))
                failures += 1
        print("%d models against their lone fits, largest gap %.5f" %
              (len(names), max(auto[n] - c for n, c in zip(names, single))))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
