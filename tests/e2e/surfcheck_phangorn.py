#!/usr/bin/python3
"""SurfCheck on a six-taxon JC data set: the best -lnL of the random starts
against phangorn's optim.pml on the same tree (skipped without R/phangorn),
the optima rows of the results file (tree, seed, -lnL, count) summing to
nreps, nreps=0 scoring only the ordinary start, a drawn seed written when
seed=0, and the refusals (tree number, clock)."""
import os
import re
import shutil
import subprocess
import sys
import tempfile
from vorn_run import cpu_limit

SEQS = {
    "A1": "CCGTAATGCCTTAACCTAACAGAGTTTTTCGAACTCGTGTTGTCGAGCGACGGAAGTAGA",
    "B2": "CCGTAATCCCTTTCCGTAACACAGTCTTTCGAGCTCGTGTTTTTGAGTGACGGAGCCAGA",
    "C3": "AGGTAATGCCTAGCCCTGACAGAATAATTCGAACTGGAGTCTTCGAGCGACGGAATTTGA",
    "D4": "CCGTAATGCCATTACCTAACAGAGTTCATGGACCTCGTGTTGTTGAGCGACTGAATTAGA",
    "E5": "CGGTAATGCCTTTTGTTTAAAGAGTTTCTCCACCACATGTAGTCGGGCTACGTGGTTAGA",
    "F6": "CCGTATTGCCCTCCCCTCACACAGTTTCGGGAACTCGTGTTCTCGACCGACGGTATTAGA",
}
TREE = "((A1,B2),(C3,E5),(D4,F6));"
NREPS = 12


def nexus():
    rows = "\n".join("  %s %s" % (k, v) for k, v in SEQS.items())
    return ("#NEXUS\nbegin data; dimensions ntax=6 nchar=60; format datatype=dna;\nmatrix\n%s\n;\nend;\n"
            "begin trees; tree t = [&U] %s end;\n" % (rows, TREE))


def phangorn_score():
    if not shutil.which("Rscript"):
        return None
    with tempfile.TemporaryDirectory() as tmp:
        fasta = os.path.join(tmp, "d.fa")
        with open(fasta, "w") as f:
            for k, v in SEQS.items():
                f.write(">%s\n%s\n" % (k, v))
        script = ("suppressMessages(library(phangorn));"
                  "ph<-read.phyDat('%s',format='fasta',type='DNA');"
                  "t<-read.tree(text='%s');t$edge.length<-rep(0.1,nrow(t$edge));"
                  "o<-optim.pml(pml(t,ph),optEdge=TRUE,control=pml.control(epsilon=1e-12,maxit=1000,trace=0));"
                  "cat(sprintf('%%.6f\\n',-o$logLik))" % (fasta, TREE))
        r = subprocess.run(["Rscript", "-e", script], capture_output=True, text=True, preexec_fn=cpu_limit(120))
        if r.returncode != 0:
            return None
        return float(r.stdout.split()[-1])


def run(vorn, text, names):
    """vorn -n on text in a fresh directory: its output and the named files."""
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "m.nex")
        with open(path, "w") as f:
            f.write(text)
        env = {k: v for k, v in os.environ.items() if k not in ("HOME", "COLUMNS", "LINES")}
        env["HOME"] = tmp
        r = subprocess.run([vorn, "-n", path], cwd=tmp, env=env, stdin=subprocess.DEVNULL,
                           capture_output=True, text=True, preexec_fn=cpu_limit(300))
        files = {}
        for name in names:
            with open(os.path.join(tmp, name)) as f:
                files[name] = f.read().splitlines()
    return r.stdout + r.stderr, files


def check_file(name, lines, seed, reps, failures):
    if lines[0] != "tree\tseed\t-lnL\ttimes found":
        failures.append("%s header %r" % (name, lines[0]))
    cells = [l.split("\t") for l in lines[1:]]
    if not cells or any(len(c) != 4 or c[0] != "1" for c in cells):
        failures.append("%s rows %r" % (name, lines[1:]))
        return
    if sum(int(c[3]) for c in cells) != reps:
        failures.append("%s counts %r do not sum to %d" % (name, [c[3] for c in cells], reps))
    scores = [float(c[2]) for c in cells]
    if scores != sorted(scores) or any(b - a <= 1e-7 for a, b in zip(scores, scores[1:])):
        failures.append("%s optima not sorted apart: %r" % (name, scores))
    seeds = {c[1] for c in cells}
    if seed and seeds != {seed}:
        failures.append("%s seed column %r" % (name, seeds))
    # seed=0 draws one: a positive number, the same on every row.
    if not seed and (len(seeds) != 1 or not min(seeds).isdigit() or min(seeds) == "0"):
        failures.append("%s drawn seed %r" % (name, seeds))


def main():
    vorn = sys.argv[1]
    failures = []
    cmds = nexus() + (
        "begin vorn;\nset criterion=likelihood;\n"
        "lset nst=1 basefreq=equal rates=equal precision=double;\n"
        "surfcheck nreps=0;\n"
        "surfcheck nreps=%d seed=11 file=sc.txt replace;\n"
        "surfcheck nreps=2 file=sc0.txt replace;\n"
        "end;\n" % NREPS)
    out, files = run(vorn, cmds, ("sc.txt", "sc0.txt"))
    summaries = re.findall(r"Best=(\S+) worst=(\S+) \(range = (\S+)\): improvement = (\S+)", out)
    if len(summaries) != 3:
        print(out)
        print("FAIL: expected 3 SurfCheck summaries, found %d" % len(summaries))
        return 1
    best0, worst0, range0, imp0 = map(float, summaries[0])
    if best0 != worst0 or range0 != 0.0 or imp0 != 0.0:
        failures.append("nreps=0: %s" % (summaries[0],))
    rows = re.findall(r"^\s+(\d+)\s+(\d+\.\d+)\s+(\d+|-)$", out, re.M)
    if [x[0] for x in rows] != ["0"] + [str(i) for i in range(NREPS + 1)] + ["0", "1", "2"]:
        failures.append("replicate rows: %r" % [x[0] for x in rows])
    check_file("sc.txt", files["sc.txt"], "11", NREPS, failures)
    check_file("sc0.txt", files["sc0.txt"], None, 2, failures)
    best = float(summaries[1][0])
    peer = phangorn_score()
    if peer is not None and abs(best - peer) > 0.01:
        failures.append("best -lnL %.5f, phangorn optim.pml %.5f" % (best, peer))
    # showparam: every replicate's estimate, replicate 0's equal to LScores'.
    out = run(vorn, nexus() + "begin vorn; lset nst=2 tratio=estimate precision=double;\n"
              "surfcheck nreps=2 seed=4 showparam; lscores; end;\n", ())[0]
    shown = [float(x) for x in re.findall(r"^ {52}ti/tv = (\S+)$", out, re.M)]
    lscores = re.search(r"exp\. ratio\s+(\S+)", out)
    if len(shown) != 3 or not lscores or abs(shown[0] - float(lscores.group(1))) > 1e-5:
        failures.append("showparam ti/tv %r, LScores %r" % (shown, lscores and lscores.group(1)))
    for extra, want in (("surfcheck treenum=2;", "You must specify a tree number between 1 and 1"),
                        ("lset clock=yes; surfcheck;",
                         "Error(#824): Likelihood surface check is not allowed with clock assumption.")):
        err = run(vorn, nexus() + "begin vorn; set criterion=likelihood; %s end;\n" % extra, ())[0]
        if want not in err or "Best=" in err:
            failures.append("%r: expected %r in\n%s" % (extra, want, err))
    print("SurfCheck best %.5f; phangorn %s" % (best, "skipped" if peer is None else "%.5f" % peer))
    for f in failures:
        print("FAIL:", f)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
