#!/usr/bin/env python3
"""Heuristic parsimony search: VORN's HSearch beside PHYLIP dnapars.

Usage: hsearch_vs_dnapars.py [VORN] [--ntax N] [--nchar N] [--seed N] [--reps N]

Simulates a DNA matrix (100 taxa x 2,000 sites by default) on a random tree
with a fixed seed, writes it as NEXUS for VORN and as PHYLIP for dnapars,
runs VORN's HSearch (TBR, random addition, 10 replicates) and dnapars (10
jumbled addition orders) on it, and prints the best length, the wall and CPU
time of each, and VORN's rearrangements evaluated per second. VORN defaults
to build/src/vorn. dnapars missing: VORN alone is run and the exit status is
77.
"""
import argparse
import math
import os
import random
import re
import resource
import shutil
import subprocess
import sys
import tempfile
import time

BASES = "ACGT"


def random_tree(rng, ntax):
    """A random rooted binary tree (random joining of lineages) as nested
    lists of (child, branch length); leaves are taxon numbers."""
    nodes = [(t, rng.uniform(0.01, 0.08)) for t in range(ntax)]
    while len(nodes) > 1:
        a = nodes.pop(rng.randrange(len(nodes)))
        b = nodes.pop(rng.randrange(len(nodes)))
        nodes.append(([a, b], rng.uniform(0.005, 0.05)))
    return nodes[0][0]


def simulate(rng, ntax, nchar):
    """Jukes-Cantor evolution with gamma-distributed site rates (shape 0.8)
    down a random tree: moderate rates, so the matrix has a clear signal
    but enough homoplasy for the search to have work to do."""
    rates = [rng.gammavariate(0.8, 1.0 / 0.8) for _ in range(nchar)]
    root = [rng.randrange(4) for _ in range(nchar)]
    seqs = [None] * ntax
    stack = [(random_tree(rng, ntax), root)]
    while stack:
        node, parent = stack.pop()
        for child, length in node:
            seq = list(parent)
            for c in range(nchar):
                p = 0.75 * (1.0 - math.exp(-4.0 / 3.0 * rates[c] * length))
                if rng.random() < p:
                    seq[c] = (seq[c] + rng.randrange(1, 4)) % 4
            if isinstance(child, int):
                seqs[child] = "".join(BASES[x] for x in seq)
            else:
                stack.append((child, seq))
    return seqs


def write_nexus(path, seqs):
    with open(path, "w") as f:
        f.write("#NEXUS\nbegin data;\n")
        f.write("  dimensions ntax=%d nchar=%d;\n" % (len(seqs), len(seqs[0])))
        f.write("  format datatype=dna missing=? gap=-;\n  matrix\n")
        for t, s in enumerate(seqs):
            f.write("    T%-4d %s\n" % (t + 1, s))
        f.write("  ;\nend;\n")


def write_phylip(path, seqs):
    with open(path, "w") as f:
        f.write("%d %d\n" % (len(seqs), len(seqs[0])))
        for t, s in enumerate(seqs):
            f.write("%-10s%s\n" % ("T%d" % (t + 1), s))


def timed(cmd, **kw):
    """Runs cmd; returns (result, wall seconds, CPU seconds of the child)."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    t0 = time.perf_counter()
    res = subprocess.run(cmd, capture_output=True, text=True, **kw)
    wall = time.perf_counter() - t0
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    return res, wall, cpu


def run_vorn(vorn, tmp, nreps, seed):
    cmds = os.path.join(tmp, "search.nex")
    with open(cmds, "w") as f:
        f.write("#NEXUS\nexecute matrix.nex;\n")
        f.write("hsearch swap=tbr addseq=random nreps=%d rseed=%d;\n" % (nreps, seed))
        f.write("savetrees file=vorn.tre format=phylip replace;\nquit;\n")
    res, wall, cpu = timed([vorn, "-n", cmds], cwd=tmp, timeout=3600)
    out = res.stdout.replace("\b", "")
    best = re.search(r"Score of best tree\(s\) found = *([0-9.]+)", out)
    rearr = re.search(r"Total number of rearrangements tried = *([0-9.e+]+)", out)
    kept = re.search(r"Number of trees retained = *(\d+)", out)
    if res.returncode != 0 or not best or not rearr:
        sys.stderr.write(out[-3000:] + res.stderr[-2000:])
        raise RuntimeError("vorn failed (status %d)" % res.returncode)
    return {"length": float(best.group(1)), "wall": wall, "cpu": cpu,
            "rearr": float(rearr.group(1)), "trees": int(kept.group(1)) if kept else 0}


def find_dnapars():
    for path in ("/usr/lib/phylip/bin/dnapars", shutil.which("dnapars")):
        if path and os.access(path, os.X_OK):
            return path
    return None


def run_dnapars(dnapars, tmp, nreps, seed):
    work = os.path.join(tmp, "dnapars")
    os.mkdir(work)
    shutil.copy(os.path.join(tmp, "infile"), os.path.join(work, "infile"))
    # Menu: jumble with an odd seed and the number of orders, no progress
    # report, accept.
    menu = "J\n%d\n%d\n2\nY\n" % (seed | 1, nreps)
    res, wall, cpu = timed([dnapars], input=menu, cwd=work, timeout=7200)
    outfile = os.path.join(work, "outfile")
    if res.returncode != 0 or not os.path.exists(outfile):
        sys.stderr.write(res.stdout[-3000:])
        raise RuntimeError("dnapars failed (status %d)" % res.returncode)
    with open(outfile) as f:
        text = f.read()
    lengths = [float(x) for x in re.findall(r"requires a total of +([0-9.]+)", text)]
    found = re.search(r"(One|\d+) (?:most parsimonious|trees in all found)", text)
    ntrees = 0
    m = re.search(r"(\d+) trees in all found", text)
    if m:
        ntrees = int(m.group(1))
    elif found:
        ntrees = 1
    return {"length": min(lengths), "wall": wall, "cpu": cpu, "trees": ntrees}


def dnapars_length_of(dnapars, tmp, tree_file):
    """dnapars's own length of the first tree VORN saved: a check that the
    length VORN reports is the length of a tree it found."""
    work = os.path.join(tmp, "check")
    os.mkdir(work)
    shutil.copy(os.path.join(tmp, "infile"), os.path.join(work, "infile"))
    with open(tree_file) as f:
        first = f.read().split(";")[0].strip() + ";\n"
    with open(os.path.join(work, "intree"), "w") as f:
        f.write(first)
    res = subprocess.run([dnapars], input="U\nY\n", cwd=work, capture_output=True, text=True, timeout=600)
    with open(os.path.join(work, "outfile")) as f:
        m = re.search(r"requires a total of +([0-9.]+)", f.read())
    if res.returncode != 0 or not m:
        raise RuntimeError("dnapars could not score VORN's tree")
    return float(m.group(1))


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("vorn", nargs="?", default="build/src/vorn")
    ap.add_argument("--ntax", type=int, default=100)
    ap.add_argument("--nchar", type=int, default=2000)
    ap.add_argument("--seed", type=int, default=20240611)
    ap.add_argument("--reps", type=int, default=10)
    ap.add_argument("--keep", help="directory to keep the matrix files in")
    args = ap.parse_args()
    vorn = os.path.abspath(args.vorn)
    if not os.access(vorn, os.X_OK):
        sys.exit("no VORN program at %s (run `make release` first)" % vorn)

    rng = random.Random(args.seed)
    seqs = simulate(rng, args.ntax, args.nchar)
    tmp = args.keep or tempfile.mkdtemp(prefix="hsbench.")
    os.makedirs(tmp, exist_ok=True)
    write_nexus(os.path.join(tmp, "matrix.nex"), seqs)
    write_phylip(os.path.join(tmp, "infile"), seqs)
    variable = sum(1 for c in range(args.nchar) if len({s[c] for s in seqs}) > 1)
    print("Matrix: %d taxa x %d sites (%d variable), simulation seed %d" %
          (args.ntax, args.nchar, variable, args.seed))
    print("Search: TBR branch swapping, %d random-addition replicates, addition seed %d\n" %
          (args.reps, args.seed % 100000 | 1))

    try:
        ours = run_vorn(vorn, tmp, args.reps, args.seed % 100000 | 1)
        dnapars = find_dnapars()
        theirs = run_dnapars(dnapars, tmp, args.reps, args.seed % 100000 | 1) if dnapars else None
        checked = dnapars_length_of(dnapars, tmp, os.path.join(tmp, "vorn.tre")) if dnapars else None
    finally:
        if not args.keep:
            shutil.rmtree(tmp, ignore_errors=True)

    print("%-10s %12s %10s %10s %8s %16s" % ("program", "best length", "wall (s)", "CPU (s)", "trees",
                                             "rearrangements/s"))
    print("%-10s %12g %10.2f %10.2f %8d %16.0f" % ("VORN", ours["length"], ours["wall"], ours["cpu"],
                                                   ours["trees"], ours["rearr"] / max(ours["cpu"], 1e-9)))
    if not theirs:
        print("dnapars    not installed")
        return 77
    print("%-10s %12g %10.2f %10.2f %8d %16s" % ("dnapars", theirs["length"], theirs["wall"], theirs["cpu"],
                                                 theirs["trees"], "-"))
    print("\nVORN evaluated %.0f rearrangements; dnapars scores VORN's best tree at %g." % (ours["rearr"], checked))
    if checked != ours["length"]:
        print("MISMATCH: VORN reported %g for that tree" % ours["length"])
        return 1
    shorter = ours["length"] <= theirs["length"]
    faster = ours["wall"] < theirs["wall"]
    print("VORN length %s dnapars's (%+g); wall time %.3g times dnapars's (%.3g times %s)." %
          ("equal to or shorter than" if shorter else "LONGER than", ours["length"] - theirs["length"],
           ours["wall"] / theirs["wall"], max(theirs["wall"], ours["wall"]) / min(theirs["wall"], ours["wall"]),
           "faster" if faster else "SLOWER"))
    return 0 if shorter and faster else 1


if __name__ == "__main__":
    sys.exit(main())
