#!/usr/bin/python3
"""A likelihood tree search from the data beside IQ-TREE 2 and RAxML 8.

Usage: mlsearch_vs_iqtree.py VORN CASE [--rounds N] [--vorn-extra 'HSEARCH OPTIONS']

CASE is one of
- hky30: 30 taxa x 1,000 sites simulated under HKY+I+G (mlsearch_data.py,
  seed 3); every parameter estimated: VORN `lset nst=2 tratio=estimate
  basefreq=estimate rates=gamma shape=estimate pinvar=estimate`, IQ-TREE
  `-m HKY+I+G4 -nt 1`, RAxML `-m GTRGAMMAI --HKY85` (the pthreads build, -T 2, the fewest it takes);
- gtr150: 150 taxa x 2,000 sites under GTR+G; VORN `lset nst=6
  rmatrix=estimate basefreq=empirical rates=gamma shape=estimate`, IQ-TREE
  `-m GTR+G4 -nt 1`, RAxML `-m GTRGAMMA`;
- gtr150fixed: the same data with the rates and the shape fixed at their
  true values in both programs (IQ-TREE `-m GTR{...}+G4{0.7}`).
The programs run one after the other, round after round; each run's CPU
(user + system of the finished child) and wall seconds are taken from the
operating system. Each program's tree is then scored by one yardstick,
`iqtree2 -te TREE -m MODEL -nt 1`, and the medians, the ratios to IQ-TREE
and the yardstick -ln L are printed with the load. Exit status 77 without
iqtree2.
"""
import argparse
import os
import re
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
GTR_RATES = "1.2,3.5,0.8,1.1,4.2,1.0"

CASES = {
    "hky30": dict(data=["--ntax", "30", "--nchar", "1000", "--model", "hky", "--pinv", "0.2", "--shape", "0.6",
                        "--seed", "3"],
                  lset="lset nst=2 tratio=estimate basefreq=estimate rates=gamma shape=estimate pinvar=estimate nthreads=1;",
                  iq="HKY+I+G4", raxml=["-m", "GTRGAMMAI", "--HKY85"], yard="HKY+F+I+G4"),
    "gtr150": dict(data=["--ntax", "150", "--nchar", "2000", "--model", "gtr", "--shape", "0.7", "--seed", "5"],
                   lset="lset nst=6 rmatrix=estimate basefreq=empirical rates=gamma shape=estimate nthreads=1;",
                   iq="GTR+G4", raxml=["-m", "GTRGAMMA"], yard="GTR+F+G4"),
    "gtr150fixed": dict(data=["--ntax", "150", "--nchar", "2000", "--model", "gtr", "--shape", "0.7", "--seed", "5"],
                        lset="lset nst=6 rmatrix=(1.2 3.5 0.8 1.1 4.2) basefreq=empirical rates=gamma shape=0.7 nthreads=1;",
                        iq="GTR{%s}+F+G4{0.7}" % GTR_RATES, raxml=None, yard="GTR+F+G4"),
}


def timed(cmd, cwd, log):
    """CPU and wall seconds of one finished child."""
    start = time.monotonic()
    with open(log, "w") as out:
        proc = subprocess.Popen(cmd, cwd=cwd, stdout=out, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
        _, status, usage = os.wait4(proc.pid, 0)
    wall = time.monotonic() - start
    # A search ended by its time limit exits with status 1 and keeps its trees.
    if status != 0:
        print("%s exited with status %d, see %s" % (os.path.basename(cmd[0]), status, log))
    return usage.ru_utime + usage.ru_stime, wall


def yardstick(work, tree, model, tag):
    pre = os.path.join(work, "yard_" + tag)
    subprocess.run(["iqtree2", "-s", "a.phy", "-te", tree, "-m", model, "-nt", "1", "-quiet", "-redo", "-pre", pre],
                   cwd=work, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    text = open(pre + ".iqtree").read()
    return float(re.search(r"Log-likelihood of the tree: (-?[0-9.]+)", text).group(1))


def vorn_tree(work):
    """The first tree VORN saved, as Newick with the data's names."""
    text = open(os.path.join(work, "vorn.tre")).read()
    block = re.split(r"translate", text, maxsplit=1, flags=re.I)
    trans = dict(re.findall(r"(\d+)\s+([^,;\s]+)\s*[,;]", block[1].split(";", 1)[0] + ";")) if len(block) > 1 else {}
    tree = re.search(r"tree\s+\S+\s*=\s*(?:\[&[UR]\]\s*)?(\(.*?;)", text).group(1)
    if trans:
        tree = re.sub(r"(?<=[(,])(\d+)(?=[:,)])", lambda m: trans[m.group(1)], tree)
    path = os.path.join(work, "vorn.nwk")
    open(path, "w").write(tree + "\n")
    return path


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("vorn")
    ap.add_argument("case", choices=sorted(CASES))
    ap.add_argument("--rounds", type=int, default=1)
    ap.add_argument("--vorn-extra", default="")
    ap.add_argument("--no-raxml", action="store_true")
    a = ap.parse_args()
    if shutil.which("iqtree2") is None:
        print("iqtree2 is not installed")
        return 77
    case = CASES[a.case]
    vorn = os.path.abspath(a.vorn)
    work = tempfile.mkdtemp(prefix="vorn_mlsearch_")
    subprocess.run(["/usr/bin/python3", os.path.join(HERE, "mlsearch_data.py"), work] + case["data"], check=True)
    with open(os.path.join(work, "run.nex"), "w") as f:
        f.write("#NEXUS\nbegin vorn;\n  set criterion=likelihood dstatus=60 warnReset=no;\n  execute a.nex;\n  %s\n"
                "  hsearch %s;\n  savetrees file=vorn.tre format=nexus brlens=no replace=yes;\nend;\n"
                % (case["lset"], a.vorn_extra))
    progs = [("vorn", [vorn, "-n", "run.nex"]),
             ("iqtree", ["iqtree2", "-s", "a.phy", "-m", case["iq"], "-nt", "1", "-seed", "1", "-redo", "-pre",
                         "iq"])]
    if case["raxml"] and not a.no_raxml and shutil.which("raxmlHPC"):
        progs.append(("raxml", ["sh", "-c", "rm -f RAxML_*.rx; exec raxmlHPC-PTHREADS-AVX -T 2 -s a.phy -n rx -p 12345 "
                                + " ".join(case["raxml"])]))
    cpu = {p: [] for p, _ in progs}
    wall = {p: [] for p, _ in progs}
    loads = []
    for r in range(a.rounds):
        for name, cmd in progs:
            loads.append(os.getloadavg()[0])
            c, w = timed(cmd, work, os.path.join(work, name + ".log"))
            cpu[name].append(c)
            wall[name].append(w)
            print("round %d %-6s cpu %8.2f s  wall %8.2f s  load %.1f" % (r + 1, name, c, w, loads[-1]), flush=True)
    trees = {"vorn": vorn_tree(work), "iqtree": os.path.join(work, "iq.treefile")}
    if "raxml" in cpu:
        trees["raxml"] = os.path.join(work, "RAxML_bestTree.rx")
    print("\ncase %s, %d round(s), load %.1f-%.1f, work %s" % (a.case, a.rounds, min(loads), max(loads), work))
    base = statistics.median(cpu["iqtree"])
    for name in cpu:
        lnl = yardstick(work, trees[name], case["yard"], name)
        print("%-6s cpu %8.2f s (%.2fx IQ-TREE)  wall %8.2f s  yardstick %s -lnL %.4f" %
              (name, statistics.median(cpu[name]), statistics.median(cpu[name]) / base,
               statistics.median(wall[name]), case["yard"], -lnl))
    return 0


if __name__ == "__main__":
    sys.exit(main())
