#!/usr/bin/python3
"""Protein maximum-likelihood distances and scores against IQ-TREE and
phangorn, on an 8-taxon alignment simulated here with every amino acid
present at skewed frequencies, so that states taken in any order other than
the matrices' own (A R N D C Q E G H I L K M F P S T W Y V) show.

Distances: WAG and LG with empirical frequencies against IQ-TREE's .mldist
(WAG+F, LG+F) and WAG with its own frequencies against IQ-TREE's WAG .mldist,
relative 1e-4 (distances under a gamma shape integrate the rate out, where
IQ-TREE's use its discrete categories: tools/mldist_gamma_vs_scipy.py checks
those), each at the default single precision and in double (the distance
must reach the same optimum whatever the precision); WAG also against phangorn's dist.ml(model="WAG"),
relative 5e-3 (its search stops early on the longest distances; states in
the wrong order move them by several per cent).
Scores: -ln L with branch lengths optimised, WAG+F and WAG+F+G4 (shape 0.5),
on the neighbour-joining tree, once in the run that computed the distances
and once in a fresh run that reads the tree back from a file, against
`iqtree2 -te`; the two runs must agree to 1e-4 and each with IQ-TREE to 1e-3.
The empirical frequencies printed (5 decimals) must be each amino acid's
share of the cells.
Skips (status 77) without iqtree2; the phangorn comparison is left out
where R or phangorn is not installed."""
import itertools
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile

AAS = "ARNDCQEGHILKMFPSTWYV"
NTAX, NCHAR = 8, 150


def simulate():
    """Sequences by independent replacement from one root, frequencies far
    from uniform and far from any matrix's own."""
    rnd = random.Random(5)
    weights = [1 + (i * 7) % 11 for i in range(len(AAS))]
    root = rnd.choices(AAS, weights=weights, k=NCHAR)
    rows = []
    for t in range(NTAX):
        p = 0.15 + 0.07 * t
        seq = [rnd.choices(AAS, weights=weights)[0] if rnd.random() < p else c for c in root]
        rows.append(("t%d" % (t + 1), "".join(seq)))
    assert set("".join(s for _, s in rows)) == set(AAS)
    return rows


def write_inputs(work, rows):
    with open(os.path.join(work, "x.phy"), "w") as f:
        f.write("%d %d\n" % (NTAX, NCHAR))
        for name, seq in rows:
            f.write("%s %s\n" % (name, seq))
    with open(os.path.join(work, "x.nex"), "w") as f:
        f.write("#NEXUS\nbegin data;\n dimensions ntax=%d nchar=%d;\n" % (NTAX, NCHAR))
        f.write(" format datatype=protein missing=? gap=-;\n matrix\n")
        for name, seq in rows:
            f.write(" %s %s\n" % (name, seq))
        f.write(";\nend;\n")


def run_vorn(vorn, work, name, body):
    with open(os.path.join(work, name), "w") as f:
        f.write("#NEXUS\nexecute x.nex;\nbegin vorn;\n" + body + "end;\n")
    return subprocess.run([vorn, "-n", name], cwd=work, capture_output=True, text=True).stdout


def read_phylip_matrix(path):
    lines = open(path).read().split("\n")
    n = int(lines[0].split()[0])
    rows = {}
    for line in lines[1:1 + n]:
        parts = line.split()
        rows[parts[0]] = [float(v) for v in parts[1:]]
    names = sorted(rows, key=lambda s: int(s[1:]))
    return {(a, b): rows[a][names.index(b)] for a in names for b in names}


def iqtree(work, pre, model, tree=None):
    cmd = ["iqtree2", "-s", "x.phy", "-st", "AA", "-m", model, "-nt", "1", "-redo", "-quiet", "-pre", pre]
    cmd += ["-te", tree] if tree else ["-fast"]
    subprocess.run(cmd, cwd=work, capture_output=True, check=True)
    if tree:
        report = open(os.path.join(work, pre + ".iqtree")).read()
        return -float(re.search(r"Log-likelihood of the tree: (-?[0-9.]+)", report).group(1))
    return read_phylip_matrix(os.path.join(work, pre + ".mldist"))


def phangorn_wag(work):
    if shutil.which("Rscript") is None:
        return None
    script = ('suppressMessages(library(phangorn)); x <- read.phyDat("x.phy", format="phylip", type="AA");'
              'm <- as.matrix(dist.ml(x, model="WAG")); write.table(format(m, digits=12), quote=FALSE)')
    r = subprocess.run(["Rscript", "-e", script], cwd=work, capture_output=True, text=True)
    if r.returncode != 0:
        return None
    lines = r.stdout.split("\n")
    names = lines[0].split()
    out = {}
    for line in lines[1:]:
        parts = line.split()
        if parts:
            out.update({(parts[0], b): float(v) for b, v in zip(names, parts[1:])})
    return out


def compare(label, ours, peer, rel, absolute=0.0):
    ok = ours is not None and abs(ours - peer) <= max(rel * abs(peer), absolute)
    print("%-34s vorn %s peer %.6f %s" % (label, "%.6f" % ours if ours is not None else "none", peer,
                                            "ok" if ok else "DIFFERS"))
    return 0 if ok else 1


def compare_matrices(label, ours, peer, rel):
    failures = 0
    for (a, b), v in sorted(peer.items()):
        # IQ-TREE caps a distance at 9; beyond it there is nothing to compare.
        if int(a[1:]) < int(b[1:]) and v < 8.99:
            failures += compare("%s %s-%s" % (label, b, a), ours.get((a, b)), v, rel)
    return failures


def scores(out):
    return [float(m) for m in re.findall(r"^-ln L +([0-9.]+)", out, re.M)]


def main():
    vorn = sys.argv[1]
    if shutil.which("iqtree2") is None:
        print("iqtree2 is not installed")
        return 77
    work = tempfile.mkdtemp(prefix="vorn_protein_ml_")
    try:
        rows = simulate()
        write_inputs(work, rows)
        failures = 0

        cases = (("WAG", "empirical", "rates=equal", "WAG+F"), ("LG", "empirical", "rates=equal", "LG+F"),
                 ("WAG", "intrinsic", "rates=equal", "WAG"))
        peers = {}
        for (matrix, freq, rates, peer_model), precision in itertools.product(cases, ("", " precision=double")):
            tag = "%s-%s%s%s" % (matrix, freq, "-G" if "gamma" in rates else "", "-double" if precision else "")
            run_vorn(vorn, work, "d.nex",
                     "set criterion=likelihood;\nlset aaRMatrix=%s aaFreq=%s %s%s;\n"
                     "dset distance=ml;\nsavedist format=phylip triangle=both ndecimals=8 file=%s.phy;\n"
                     % (matrix, freq, rates, precision, tag))
            path = os.path.join(work, tag + ".phy")
            if not os.path.exists(path):
                print("%s: no distances written" % tag)
                return 1
            ours = read_phylip_matrix(path)
            if peer_model not in peers:
                peers[peer_model] = iqtree(work, "d", peer_model)
            failures += compare_matrices(tag + " vs iqtree", ours, peers[peer_model], 1e-4)
            if (matrix, freq, rates) == ("WAG", "intrinsic", "rates=equal"):
                peer = phangorn_wag(work)
                if peer is None:
                    print("phangorn is not available: dist.ml comparison left out")
                else:
                    failures += compare_matrices(tag + " vs phangorn", ours, peer, 5e-3)

        # The scores right after distances were computed in the same run,
        # then in a run that has never computed one.
        cases = (("WAG+F", "rates=equal", "WAG+F"), ("WAG+F+G4", "rates=gamma shape=0.5 ncat=4", "WAG+F+G4{0.5}"))
        body = "set criterion=likelihood;\ndset distance=ml;\nnj;\n"
        body += "savetrees file=nj.tre format=newick brlens=yes replace=yes;\n"
        for _, lset, _ in cases:
            body += "lset aaRMatrix=WAG aaFreq=empirical precision=double userBrLens=no %s;\nlscores 1;\n" % lset
        after_nj_out = run_vorn(vorn, work, "nj.nex", body)
        after_nj = scores(after_nj_out)
        body = "set criterion=likelihood;\ngettrees file=nj.tre;\n"
        for _, lset, _ in cases:
            body += "lset aaRMatrix=WAG aaFreq=empirical precision=double userBrLens=no %s;\nlscores 1;\n" % lset
        fresh = scores(run_vorn(vorn, work, "fresh.nex", body))
        if len(after_nj) != len(cases) or len(fresh) != len(cases):
            print("expected %d scores per run, got %d and %d" % (len(cases), len(after_nj), len(fresh)))
            return 1
        for (label, _, model), a, f in zip(cases, after_nj, fresh):
            peer = iqtree(work, "s", model, "nj.tre")
            failures += compare(label + " after nj", a, peer, 1e-3)
            failures += compare(label + " fresh", f, peer, 1e-3)
            failures += compare(label + " after nj vs fresh", a, f, 1e-4)

        # The frequencies printed under each label are that amino acid's share.
        text = re.search(r"State frequencies = empirical:(.*?)\n *Proportion", after_nj_out, re.S)
        printed = dict(re.findall(r"([A-Z])=([0-9.]+)", text.group(1))) if text else {}
        cells = "".join(s for _, s in rows)
        for aa in AAS:
            share = cells.count(aa) / len(cells)
            value = float(printed[aa]) if aa in printed else None
            failures += compare("frequency of " + aa, value, share, 0.0, 5.1e-6)
        return 1 if failures else 0
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
