#!/usr/bin/python3
"""SVDQuartets scores, singular values, weights and files against numpy.

The reference vectors in svdq_reference.json were made by this script with
`--write` from the definitions of the method (numpy only):
  * per site and quartet a b c d (sorted), the site weight goes to the cell
    of the four states; a site with R or Y spreads its weight evenly over the
    state combinations (ambigs=distribute) or is left out (ambigs=missing);
    a site with a gap or '?' in one of the four is left out;
  * the three flattening matrices are 12|34 (row xa*4+xb, column xc*4+xd),
    13|24 and 14|23;
  * plain: the non-empty rows and columns, divided by their total; plus2:
    once by column sums (columns summing to 2 or less dropped), once by row
    sums likewise, the score the mean of the two (the singular values shown
    are those of the row-normalised matrix);
  * the score is the Frobenius norm of the singular values beyond the rank r;
  * with lakeInvar, the score is minus Lake's invariants of the unnormalised
    matrix (no singular values).
The run checks that the stored vectors still follow from the definitions,
then that `showScores=yes showSV=yes` prints them to 6 decimals for every
quartet of the 6-taxon matrix and setting, that the quartet file holds the
chosen splits and the 'reciprocal' and 'exponential' weights, and that the
Frobenius file holds the tail norms of every scorable split.

Usage: svdq_scores.py <vorn> | svdq_scores.py --write
"""
import itertools
import json
import math
import os
import random
import re
import subprocess
import sys
import tempfile
from vorn_run import cpu_limit

HERE = os.path.dirname(os.path.abspath(__file__))
REFERENCE = os.path.join(HERE, "svdq_reference.json")
STATES = {"A": [0], "C": [1], "G": [2], "T": [3], "R": [0, 2], "Y": [1, 3]}

# name: (vorn options, rank, plus2, ambiguity codes distributed)
SETTINGS = {
    "mscoalescent": ("", 10, False, True),
    "shared": ("treemodel=shared", 4, False, True),
    "forceRank": ("forceRank=6", 6, False, True),
    "plus2": ("plus2=yes", 10, True, True),
    "ambigsMissing": ("ambigs=missing", 10, False, False),
    "lake": ("lakeInvar=yes", None, False, True),
}


def lake_score(m):
    """Lake's invariants on the unnormalised flattening: rows and columns
    are state pairs (A C G T = 0 1 2 3)."""
    pair = lambda p: "ACGT".index(p[0]) * 4 + "ACGT".index(p[1])
    total = lambda cells: sum(m[pair(r), pair(c)] for r, c in cells)
    p1 = [("AA", "CC"), ("AA", "TT"), ("CC", "AA"), ("CC", "GG"), ("GG", "CC"), ("GG", "TT"), ("TT", "AA"), ("TT", "GG")]
    p2 = [("AG", "CT"), ("AG", "TC"), ("CT", "AG"), ("CT", "GA"), ("GA", "CT"), ("GA", "TC"), ("TC", "AG"), ("TC", "GA")]
    n1 = [("AG", "CC"), ("AG", "TT"), ("CT", "AA"), ("CT", "GG"), ("GA", "CC"), ("GA", "TT"), ("TC", "AA"), ("TC", "GG")]
    n2 = [("AA", "CT"), ("AA", "TC"), ("CC", "AG"), ("CC", "GA"), ("GG", "CT"), ("GG", "TC"), ("TT", "AG"), ("TT", "GA")]
    return float(-(total(p1) + total(p2) - total(n1) - total(n2)))


def make_matrix():
    """Six sequences evolved along ((1,2),(3,(4,(5,6)))) with many changes,
    then sprinkled with '?', '-', R and Y."""
    rng = random.Random(52)
    nchar = 400
    def evolve(seq, p):
        return [rng.choice("ACGT") if rng.random() < p else c for c in seq]
    root = [rng.choice("ACGT") for _ in range(nchar)]
    a = evolve(root, 0.3)
    b = evolve(root, 0.3)
    t1, t2 = evolve(a, 0.25), evolve(a, 0.25)
    t3 = evolve(b, 0.3)
    c = evolve(b, 0.2)
    t4 = evolve(c, 0.3)
    d = evolve(c, 0.2)
    t5, t6 = evolve(d, 0.25), evolve(d, 0.25)
    rows = []
    for seq in (t1, t2, t3, t4, t5, t6):
        out = []
        for ch in seq:
            u = rng.random()
            if u < 0.04:
                ch = "?"
            elif u < 0.06:
                ch = "-"
            elif u < 0.10:
                ch = "R" if ch in "AG" else "Y"
            out.append(ch)
        rows.append("".join(out))
    return rows


def flattenings(rows, quartet, distribute):
    import numpy as np
    counts = np.zeros((4, 4, 4, 4))
    for site in range(len(rows[0])):
        codes = [rows[t][site] for t in quartet]
        if any(c not in STATES for c in codes):
            continue
        if not distribute and any(len(STATES[c]) > 1 for c in codes):
            continue
        lists = [STATES[c] for c in codes]
        share = 1.0 / math.prod(len(l) for l in lists)
        for xs in itertools.product(*lists):
            counts[xs] += share
    m0 = counts.reshape(16, 16)
    m1 = counts.transpose(0, 2, 1, 3).reshape(16, 16)
    m2 = counts.transpose(0, 3, 1, 2).reshape(16, 16)
    return [m0, m1, m2]


def svd_values(m, mode):
    """Singular values (16, zero-padded) of the normalised kept matrix and
    its row and column counts."""
    import numpy as np
    cols = np.flatnonzero((m != 0).any(axis=0))
    rows = np.flatnonzero((m != 0).any(axis=1))
    if mode == "cols":
        cols = [j for j in cols if m[:, j].sum() > 2.0]
    elif mode == "rows":
        rows = [i for i in rows if m[i, :].sum() > 2.0]
    k = m[np.ix_(rows, cols)] if len(rows) and len(cols) else np.zeros((0, 0))
    if mode == "cols":
        k = k / k.sum(axis=0, keepdims=True)
    elif mode == "rows":
        k = k / k.sum(axis=1, keepdims=True)
    elif k.size:
        k = k / k.sum()
    values = np.zeros(16)
    if k.size:
        sv = np.linalg.svd(k, compute_uv=False)
        values[:len(sv)] = sv
    return values, len(rows), len(cols)


def tail(values, r, q):
    if r >= q:
        return 0.0
    return float(math.sqrt(sum(v * v for v in values[r:q])))


def reference(rows):
    ref = {"matrix": rows, "settings": {}}
    for name, (_, rank, plus2, distribute) in SETTINGS.items():
        out = []
        for quartet in itertools.combinations(range(6), 4):
            splits = []
            for m in flattenings(rows, quartet, distribute):
                if rank is None:
                    splits.append({"score": lake_score(m), "sv": [0.0] * 16})
                    continue
                if plus2:
                    vc, rc, kc = svd_values(m, "cols")
                    vr, rr, kr = svd_values(m, "rows")
                    score = 0.5 * (tail(vc, rank, min(rc, kc)) + tail(vr, rank, min(rr, kr)))
                    values = vr
                else:
                    values, r, k = svd_values(m, "plain")
                    score = tail(values, rank, min(r, k))
                splits.append({"score": score, "sv": [float(v) for v in values]})
            out.append({"quartet": [t + 1 for t in quartet], "splits": splits})
        ref["settings"][name] = out
    # Frobenius lines of the default setting: every split whose kept matrix
    # has more rows and columns than the rank.
    frob = []
    for quartet in itertools.combinations(range(6), 4):
        for k, m in enumerate(flattenings(rows, quartet, True)):
            values, r, c = svd_values(m, "plain")
            if r > 10 and c > 10:
                q = min(r, c)
                frob.append([["12|34", "13|24", "14|23"][k]] + [tail(values, i, q) for i in range(16)])
    ref["frobenius"] = frob
    return ref


def nexus(rows, commands):
    body = "\n".join("t%d %s" % (i + 1, r) for i, r in enumerate(rows))
    return ("#NEXUS\nbegin data; dimensions ntax=6 nchar=%d; format datatype=dna missing=? gap=-;\n"
            "matrix\n%s\n;\nend;\nbegin vorn; %s quit; end;\n" % (len(rows[0]), body, commands))


def run(vorn, text, files=()):
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "m.nex")
        with open(path, "w") as f:
            f.write(text)
        env = {k: v for k, v in os.environ.items() if k not in ("HOME", "COLUMNS", "LINES")}
        env["HOME"] = tmp
        p = subprocess.run([vorn, "-n", path], cwd=tmp, env=env, stdin=subprocess.DEVNULL, capture_output=True,
                           text=True, preexec_fn=cpu_limit(300))
        contents = {}
        for name in files:
            fp = os.path.join(tmp, name)
            contents[name] = open(fp).read() if os.path.exists(fp) else None
        return p, contents


def parse_table(stdout):
    """[(a, b, c, d, score, [values])] in printed order."""
    lines = stdout.split("SVD scores for each quartet", 1)[-1].splitlines()
    out = []
    for line in lines:
        m = re.match(r"^\s*(?:\d+)?\s+(\d+)\s+(\d+) \|\s*(\d+)\s+(\d+)\s+(-?\d+\.\d+)((?:\s+-?\d+\.\d+)*)(?: \(rejected\))?\s*$",
                     line)
        if m:
            out.append([int(m.group(i)) for i in range(1, 5)] + [float(m.group(5)),
                                                                  [float(x) for x in m.group(6).split()]])
        elif out and re.match(r"^\s+(-?\d+\.\d+\s*)+(\(rejected\))?\s*$", line):
            out[-1][5].extend(float(x) for x in line.replace("(rejected)", "").split())
        elif out and not line.strip():
            break
    return out


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "--write":
        with open(REFERENCE, "w") as f:
            json.dump(reference(make_matrix()), f, indent=1)
        return
    vorn = sys.argv[1]
    ref = json.load(open(REFERENCE))
    rows = ref["matrix"]
    faults = []
    try:
        fresh = reference(rows)
        for name in SETTINGS:
            for a, b in zip(ref["settings"][name], fresh["settings"][name]):
                for sa, sb in zip(a["splits"], b["splits"]):
                    if abs(sa["score"] - sb["score"]) > 1e-9 or max(abs(x - y) for x, y in zip(sa["sv"], sb["sv"])) > 1e-9:
                        faults.append("stored vector of %s %s no longer follows the definitions" % (name, a["quartet"]))
    except ImportError:
        print("numpy missing: stored vectors not recomputed")

    splits_of = lambda q: [(q[0], q[1], q[2], q[3]), (q[0], q[2], q[1], q[3]), (q[0], q[3], q[1], q[2])]
    for name, (options, rank, plus2, distribute) in SETTINGS.items():
        p, _ = run(vorn, nexus(rows, "svdquartets showScores=yes showSV=yes treeInf=none %s;" % options))
        table = parse_table(p.stdout)
        expected = ref["settings"][name]
        if p.returncode != 0 or len(table) != 3 * len(expected):
            faults.append("%s: status %d, %d table lines\n%s" % (name, p.returncode, len(table), p.stdout[-2000:]))
            continue
        for i, q in enumerate(expected):
            for k, split in enumerate(q["splits"]):
                got = table[3 * i + k]
                if tuple(got[:4]) != splits_of(q["quartet"])[k]:
                    faults.append("%s: line %d names %s" % (name, 3 * i + k, got[:4]))
                if abs(got[4] - split["score"]) > 6e-7:
                    faults.append("%s %s split %d: score %.6f, numpy %.8f" % (name, q["quartet"], k, got[4], split["score"]))
                if len(got[5]) != 16 or max(abs(x - y) for x, y in zip(got[5], split["sv"])) > 6e-7:
                    faults.append("%s %s split %d: singular values %s, numpy %s" % (name, q["quartet"], k, got[5],
                                                                                  split["sv"]))

    # Chosen splits and weights of the default setting, and the Frobenius file.
    quartets = ref["settings"]["mscoalescent"]
    def decisive(scores):
        return max(scores) - min(scores) >= 1e-12 and sorted(scores)[1] - min(scores) >= 1e-12
    want_plain, want_recip, want_exp = [], [], []
    for q in quartets:
        s = [sp["score"] for sp in q["splits"]]
        a = splits_of(q["quartet"])
        if decisive(s):
            best = 2 if s[2] <= s[0] and s[2] <= s[1] else 1 if s[1] <= s[0] else 0
            want_plain.append("%d,%d|%d,%d" % a[best])
        # Weighted quartets need only the three scores not all equal.
        if max(s) - min(s) < 1e-12:
            continue
        zeros = sum(x == 0 for x in s)
        if zeros == 0:
            inv = [1 / x for x in s]
            want_recip += ["%d,%d|%d,%d:%.10f" % (a[k] + (inv[k] / sum(inv),)) for k in range(3)]
        elif zeros == 1:
            want_recip += ["%d,%d|%d,%d:%.10f" % (a[k] + (1.0 if s[k] == 0 else 0.0,)) for k in range(3)]
        e = [math.exp(-1000 * (x - min(s))) for x in s]
        want_exp += ["%d,%d|%d,%d:%.10f" % (a[k] + (e[k] / sum(e),)) for k in range(3)]
    for options, want in (("", want_plain), ("qweights=reciprocal", want_recip),
                          ("qweights=exponential", want_exp)):
        p, files = run(vorn, nexus(rows, "svdquartets treeInf=none evalQuartets=all qfile=q.dat "
                                         "frobDFile=f.txt mrpFile=mrp.nex %s;" % options), ["q.dat", "f.txt", "mrp.nex"])
        got = (files["q.dat"] or "").split()
        # The MRP file carries a weights block, one weight per column, only
        # when the quartets are weighted.
        block = re.search(r"begin vorn;\s+wts vector\s+([^;]*);", files["mrp.nex"] or "")
        mrp_wts = [float(x) for x in block.group(1).split()] if block else []
        if bool(block) != bool(options) or (block and (len(mrp_wts) != len(got) or any(
                abs(x - float(g.split(":")[1])) > 1e-7 for x, g in zip(mrp_wts, got)))):
            faults.append("MRP weights block of %r: %s" % (options, block.group(0)[:200] if block else None))
        if len(got) != len(want):
            faults.append("qfile %s: %d lines, expected %d" % (options, len(got), len(want)))
            continue
        for g, w in zip(got, want):
            gq, wq = g.split(":")[0], w.split(":")[0]
            if gq != wq or (":" in w and abs(float(g.split(":")[1]) - float(w.split(":")[1])) > 2e-6):
                faults.append("qfile %s: %s, expected %s" % (options, g, w))
        if options == "":
            lines = (files["f.txt"] or "").splitlines()
            if not lines or lines[0] != "tree\tnsites\t" + "\t".join(str(i) for i in range(16)):
                faults.append("Frobenius header: %r" % lines[:1])
            body = [l.split("\t") for l in lines[1:]]
            if len(body) != len(ref["frobenius"]):
                faults.append("Frobenius file: %d lines, expected %d" % (len(body), len(ref["frobenius"])))
            for g, w in zip(body, ref["frobenius"]):
                if g[0] != w[0] or g[1] != str(len(rows[0])) or \
                        max(abs(float(x) - y) for x, y in zip(g[2:], w[1:])) > 1e-8:
                    faults.append("Frobenius line %s, expected %s" % (g, w))
    if faults:
        print("\n".join(faults[:40]))
        sys.exit(1)
    print("scores, singular values, quartet weights and Frobenius lines equal numpy's")


if __name__ == "__main__":
    main()
