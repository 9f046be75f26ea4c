#!/usr/bin/env python3
"""Bootstrap frequencies beside PHYLIP's seqboot + dnapars + consense, or
with --nj beside seqboot + dnadist (Jukes-Cantor) + neighbor + consense.

Usage: bootstrap_vs_phylip.py VORN [--nj] [NTAX NCHAR NREPS]

A DNA matrix simulated under Jukes-Cantor on a fixed tree whose group
t1-t3 sits on a long branch, the others on short ones. The two pipelines
draw different replicates, so they are compared as statistics: 1,000
replicates give the long-branch group at least 99% in both, and every
other group agrees within 6 percentage points. Exit 77 without PHYLIP.
"""
import math
import os
import random
import re
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
from vorn_run import cpu_limit  # noqa: E402

PHYLIP = "/usr/lib/phylip/bin"


def evolve(rng, seq, t):
    p = 0.75 * (1 - math.exp(-4.0 * t / 3.0))
    return [c if rng.random() >= p else rng.choice("ACGT") for c in seq]


def simulate(rng, ntax, nchar):
    # ((t1,t2,t3) on a 0.4 stem, then a caterpillar of the rest on 0.03 edges.
    root = [rng.choice("ACGT") for _ in range(nchar)]
    seqs = {}
    stem = evolve(rng, root, 0.4)
    seqs[1] = evolve(rng, stem, 0.05)
    mid = evolve(rng, stem, 0.02)
    seqs[2] = evolve(rng, mid, 0.05)
    seqs[3] = evolve(rng, mid, 0.05)
    node = root
    for t in range(4, ntax + 1):
        node = evolve(rng, node, 0.03)
        seqs[t] = evolve(rng, node, 0.06)
    return ["".join(seqs[t]) for t in range(1, ntax + 1)]


def normalize(key):
    return key if key[0] == "." else "".join("." if c == "*" else "*" for c in key)


def vorn_groups(vorn, seqs, nreps, work, nj):
    path = os.path.join(work, "m.nex")
    with open(path, "w") as f:
        f.write("#NEXUS\nbegin data;\ndimensions ntax=%d nchar=%d;\nformat datatype=dna;\nmatrix\n"
                % (len(seqs), len(seqs[0])))
        for i, s in enumerate(seqs):
            f.write("t%d %s\n" % (i + 1, s))
        analysis = "set criterion=distance;\ndset distance=jc;\n" if nj else ""
        search = " search=nj" if nj else ""
        f.write(";\nend;\nbegin vorn;\nset warntree=no;\n%sbootstrap nreps=%d seed=4321 cutoffpct=0%s;\nend;\n"
                % (analysis, nreps, search))
    out = subprocess.run([vorn, "-n", path], capture_output=True, text=True, cwd=work, preexec_fn=cpu_limit(3600)).stdout
    n = len(seqs)
    groups = {}
    for m in re.finditer(r"^([.*]{%d})\s+([\d.]+)(?:\s+([\d.]+)%%?)?\s*$" % n, out, re.M):
        pct = float(m.group(3)) if m.group(3) else float(m.group(2)) * 100.0 / nreps
        groups[normalize(m.group(1))] = pct
    return groups


def phylip(program, work, answers):
    subprocess.run([os.path.join(PHYLIP, program)], input=answers, cwd=work, capture_output=True, text=True,
                   preexec_fn=cpu_limit(3600))


def phylip_groups(seqs, nreps, work, nj):
    for f in os.listdir(work):
        os.remove(os.path.join(work, f))
    with open(os.path.join(work, "infile"), "w") as f:
        f.write("%d %d\n" % (len(seqs), len(seqs[0])))
        for i, s in enumerate(seqs):
            f.write("%-10s%s\n" % ("t%d" % (i + 1), s))
    phylip("seqboot", work, "R\n%d\nY\n4321\n" % nreps)
    os.replace(os.path.join(work, "outfile"), os.path.join(work, "infile"))
    if nj:
        phylip("dnadist", work, "D\nD\nM\nD\n%d\nY\n" % nreps)
        os.replace(os.path.join(work, "outfile"), os.path.join(work, "infile"))
        phylip("neighbor", work, "M\n%d\n4321\nY\n" % nreps)
    else:
        phylip("dnapars", work, "M\nD\n%d\n4321\n1\n3\nY\n" % nreps)
    os.replace(os.path.join(work, "outtree"), os.path.join(work, "intree"))
    os.remove(os.path.join(work, "outfile"))
    phylip("consense", work, "Y\n")
    text = open(os.path.join(work, "outfile")).read()
    n = len(seqs)
    # Set columns follow consense's own species order.
    order = [int(m.group(1)) - 1 for m in re.finditer(r"^\s*\d+\.\s+t(\d+)\s*$", text, re.M)][:n]
    groups = {}
    for m in re.finditer(r"^([.* ]+?) +([\d.]+) *$", text, re.M):
        cols = m.group(1).replace(" ", "")
        if len(cols) == n and set(cols) <= {".", "*"} and len(order) == n:
            key = ["."] * n
            for col, taxon in enumerate(order):
                key[taxon] = cols[col]
            groups[normalize("".join(key))] = float(m.group(2)) * 100.0 / nreps
    return groups


def main():
    vorn = sys.argv[1]
    args = sys.argv[2:]
    nj = "--nj" in args
    args = [a for a in args if a != "--nj"]
    ntax, nchar, nreps = (int(a) for a in args[:3]) if len(args) >= 3 else (10, 300, 1000)
    programs = ("seqboot", "dnadist", "neighbor", "consense") if nj else ("seqboot", "dnapars", "consense")
    if not all(os.path.exists(os.path.join(PHYLIP, p)) for p in programs):
        print("PHYLIP is not installed")
        return 77
    seqs = simulate(random.Random(20261207), ntax, nchar)
    with tempfile.TemporaryDirectory() as work:
        ours = vorn_groups(vorn, seqs, nreps, work, nj)
    with tempfile.TemporaryDirectory() as work:
        peer = phylip_groups(seqs, nreps, work, nj)
    strong = normalize("***" + "." * (ntax - 3))
    failures = 0
    print("group        VORN   PHYLIP")
    for key in sorted(set(ours) | set(peer), key=lambda k: -max(ours.get(k, 0), peer.get(k, 0))):
        a, b = ours.get(key, 0.0), peer.get(key, 0.0)
        bad = abs(a - b) > 6.0 or (key == strong and min(a, b) < 99.0)
        failures += bad
        if max(a, b) >= 1.0 or bad:
            print("%s %6.1f %6.1f%s" % (key, a, b, "  <-- differs" if bad else ""))
    if strong not in ours or strong not in peer:
        print("the strongly supported group is missing")
        failures += 1
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
