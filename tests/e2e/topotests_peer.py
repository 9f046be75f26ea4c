#!/usr/bin/python3
"""The KH, SH and AU tests of LScores against references computed here.

Data: 8 taxa x 500 sites simulated under JC on a fixed tree; six trees with
fixed branch lengths (the true one, two NNI neighbours, two distant trees and
a copy of the true tree) scored under JC with the user's lengths.
- KH normal: each s.d., t and P equal a paired t-test on the site lnL
  differences computed here by pruning (P to 4 decimals); one tail halves P;
  the copy of the best tree has s.d. 0, t 0 and P 1.
- SH within 0.02 and AU within 0.03 of a numpy implementation of the same
  procedure (RELL, centring, ten scales, ties split, weighted least squares,
  the "~0"/"~1" markers), B = 10000.
- SH within 0.03 of iqtree2 -z -au and the same AU decision at 0.05
  (skipped without iqtree2); the same seed gives the same table, and
  fitting every replicate again (RELL=no) gives RELL's table when nothing
  is left to fit.
- With the first 50 sites weighted 3, or 3.001, the bootstrap KH and SH P
  are those of the data with those columns written out three times, within
  the resampling error (whole weights or not, `wts` proportional draws units
  of weight).
Skips (status 77) without numpy."""
import math
import os
import re
import shutil
import subprocess
import sys
import tempfile

# A threaded BLAS splits the replicate products differently from one row to
# the next, so two equal trees could get sums that differ in the last bit;
# one thread keeps the reference the same on every machine.
for _var in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ[_var] = "1"

try:
    import numpy as np
except ImportError:
    print("numpy is not installed")
    sys.exit(77)

NTAX, NSITE, B = 8, 500, 10000
TAXA = ["t%d" % i for i in range(NTAX)]
# Trees as nested lists of [child, length]; leaves are taxon indices.
def pair(a, la, b, lb):
    return [[a, la], [b, lb]]


TRUE = [[pair(0, .05, 1, .08), .004], [pair(2, .06, 3, .05), .003],
        [[[pair(4, .07, 5, .04), .006], [pair(6, .05, 7, .09), .005]], .002]]


def nni(a, b):
    """The true tree with taxa a and b swapped."""
    def swap(node):
        if isinstance(node, int):
            return b if node == a else a if node == b else node
        return [[swap(c), l] for c, l in node]
    return swap(TRUE)


TREES = [TRUE, nni(1, 2), nni(3, 4), nni(0, 6), nni(1, 7), TRUE]


def newick(node):
    if isinstance(node, int):
        return TAXA[node]
    return "(" + ",".join("%s:%g" % (newick(c), l) for c, l in node) + ")"


def jc_p(t):
    e = math.exp(-4.0 * t / 3.0)
    return np.full((4, 4), 0.25 - 0.25 * e) + np.eye(4) * e


def simulate(rng):
    seqs = {}

    def walk(node, states):
        for child, length in node:
            p = jc_p(length)
            u = rng.random(NSITE)
            cum = np.cumsum(p[states], axis=1)
            nxt = (u[:, None] > cum).sum(axis=1)
            if isinstance(child, int):
                seqs[child] = nxt
            else:
                walk(child, nxt)
    walk(TRUE, rng.integers(0, 4, NSITE))
    return ["".join("ACGT"[s] for s in seqs[t]) for t in range(NTAX)]


def site_lnl(tree, tips):
    """Per-site log-likelihood by pruning under JC with the tree's lengths."""
    def partial(node):
        if isinstance(node, int):
            return tips[node]
        out = np.ones((NSITE, 4))
        for child, length in node:
            out *= partial(child) @ jc_p(length).T
        return out
    return np.log(partial(tree) @ np.full(4, 0.25))


def student_two_tailed(df, t):
    """P(|T| > |t|) through the regularised incomplete beta function."""
    x, a, b = df / (df + t * t), df / 2.0, 0.5

    def cf(x, a, b):
        tiny, c, d = 1e-300, 1.0, 1.0 - (a + b) * x / (a + 1.0)
        d = 1.0 / (d if abs(d) > tiny else tiny)
        h = d
        for m in range(1, 300):
            for num in (m * (b - m) * x / ((a + 2 * m - 1) * (a + 2 * m)),
                        -(a + m) * (a + b + m) * x / ((a + 2 * m) * (a + 2 * m + 1))):
                d = 1.0 + num * d
                d = 1.0 / (d if abs(d) > tiny else tiny)
                c = 1.0 + num / c
                c = c if abs(c) > tiny else tiny
                h *= d * c
        return h
    front = math.exp(math.lgamma(a + b) - math.lgamma(a) - math.lgamma(b) + a * math.log(x) + b * math.log(1 - x))
    return front * cf(x, a, b) / a if x < (a + 1) / (a + b + 2) else 1.0 - front * cf(1 - x, b, a) / b


def normal_cdf(x):
    return 0.5 * math.erfc(-x / math.sqrt(2))


def normal_quantile(p):
    lo, hi = -40.0, 40.0
    for _ in range(200):
        mid = (lo + hi) / 2
        lo, hi = (mid, hi) if normal_cdf(mid) < p else (lo, mid)
    return (lo + hi) / 2


def reference_sh_au(L, rng):
    """SH and AU P of every tree, as the procedure defines them."""
    T, N = L.shape
    distinct, same = np.unique(L, axis=0, return_inverse=True)
    same = same.reshape(-1)
    scores = -L.sum(axis=1)
    best = int(np.argmin(scores))
    scales = [1.0, 0.5, 0.6, 0.7, 0.8, 0.9, 1.1, 1.2, 1.3, 1.4]
    bp, s_used, R = np.zeros((len(scales), T)), [], None
    for r, scale in enumerate(scales):
        n = int(math.floor(N * scale + 0.5))
        s_used.append(n / N)
        counts = rng.multinomial(n, np.full(N, 1.0 / N), size=B)
        # Equal trees (the same site log-likelihoods) share one column of
        # sums, so they tie in every replicate as they do in the program,
        # which sums every tree in the same order: a last-bit difference
        # from the matrix product would part them.
        rep = -(counts @ distinct.T)[:, same]
        if r == 0:
            R = rep.T.copy()
        m = rep.min(axis=1, keepdims=True)
        ties = np.isclose(rep, m, rtol=1e-8, atol=0)
        bp[r] = (ties / ties.sum(axis=1, keepdims=True)).sum(axis=0) / B
    C = R - R.mean(axis=1, keepdims=True)
    sh = np.zeros(T)
    m = C.min(axis=0)
    for i in range(T):
        if i != best:
            sh[i] = np.mean((C[i] - m) - (scores[i] - scores[best]) > 2.220446049250313e-16)
            # A tree tied with the best cannot be rejected: P = 1, where the
            # strict count gives the share of replicates it loses.
            if scores[i] - scores[best] <= 2.220446049250313e-16:
                sh[i] = 1.0
    au = np.zeros(T)
    for k in range(T):
        rows, skipped_small, skipped_large, degenerate = [], 0, 0, False
        for r, scale in enumerate(scales):
            p = bp[r, k]
            if 1e-10 < p < 0.9999999999:
                q = normal_quantile(p)
                w = B * (math.exp(-q * q / 2) / math.sqrt(2 * math.pi)) ** 2 / (p * (1 - p))
                rows.append((s_used[r], normal_quantile(1 - p), w))
            elif scale == 1.0:
                degenerate = True
            elif scale < 1.0:
                skipped_small += 1
            else:
                skipped_large += 1
        if degenerate or skipped_small > 1 or skipped_large > 1:
            au[k] = 2.0 if bp[0, k] > 0.5 else -2.0
            continue
        X = np.array([[math.sqrt(s), 1 / math.sqrt(s)] for s, _, _ in rows])
        z = np.array([z for _, z, _ in rows])
        w = np.sqrt(np.array([w for _, _, w in rows]))
        d, c = np.linalg.lstsq(X * w[:, None], z * w, rcond=None)[0]
        au[k] = 1 - normal_cdf(d - c)
    return scores, best, sh, au


def parse_table(out):
    rows = {}
    part = out.split("Diff -ln L")[-1]
    for line in part.split("\n"):
        f = line.split()
        if len(f) >= 3 and f[0].isdigit() and re.match(r"^[0-9.]+$", f[1]):
            rows[int(f[0])] = f[1:]
    return rows


def pval(text):
    text = text.rstrip("*")
    return {"~0": -2.0, "~1": 2.0, "<0.0001": 0.0}.get(text, None) if text in ("~0", "~1", "<0.0001") else float(text)


def main():
    vorn = sys.argv[1]
    rng = np.random.default_rng(46)
    seqs = simulate(rng)
    tips = [np.eye(4)[["ACGT".index(ch) for ch in s]] for s in seqs]
    L = np.array([site_lnl(t, tips) for t in TREES])
    work = tempfile.mkdtemp(prefix="vorn_topo_")
    failures = 0

    def check(label, ok, detail):
        nonlocal failures
        print("%-34s %s %s" % (label, "ok" if ok else "DIFFERS", detail))
        failures += not ok
    try:
        def tables(name, data, commands):
            """The test tables of LScores commands on the data and the trees."""
            with open(os.path.join(work, name), "w") as f:
                f.write("#NEXUS\nbegin data;\n dimensions ntax=%d nchar=%d;\n format datatype=dna;\n matrix\n" % (
                    NTAX, len(data[0])))
                for taxon, seq in zip(TAXA, data):
                    f.write(" %s %s\n" % (taxon, seq))
                f.write(";\nend;\nbegin trees;\n")
                for i, t in enumerate(TREES):
                    f.write(" tree t%d = [&U] %s;\n" % (i + 1, newick(t)))
                f.write("end;\nbegin vorn;\n set criterion=likelihood;\n"
                        " lset nst=1 basefreq=equal rates=equal userBrLens=yes precision=double;\n")
                f.writelines(" %s\n" % c for c in commands)
                f.write("end;\n")
            out = subprocess.run([vorn, "-n", name], cwd=work, capture_output=True, text=True).stdout
            return out, [parse_table(r) for r in out.split("Test(s) for significance of likelihood-score differences:")[1:]]

        commands = ["lscores all / KHTest=normal tailKH=%d;" % tail for tail in (2, 1)]
        commands += ["lscores all / KHTest=none SHTest AUTest bootReps=%d seed=4646;" % B] * 2
        # With the lengths and the model fixed, fitting each replicate
        # again gives back the site log-likelihoods: RELL's answer.
        commands += ["lscores all / KHTest=bootstrap SHTest AUTest=no RELL=%s bootReps=300 seed=99;" % rell
                     for rell in ("yes", "no")]
        out, runs = tables("run.nex", seqs, commands)
        if len(runs) != 6:
            print(out)
            print("expected six test tables")
            return 1
        two, one, sh_au, again, rell, refit = runs
        check("same seed, same table", sh_au == again, "")
        check("RELL=no on fixed lengths, RELL's table", rell == refit and len(rell) == len(TREES), "")

        # Weighted columns against the same columns written out.
        # Weighted columns against the same columns written out.
        test = "lscores all / KHTest=bootstrap SHTest AUTest=no bootReps=%d seed=5;" % B
        _, written = tables("full.nex", [s_[:50] * 3 + s_[50:] for s_ in seqs], [test])
        _, weighted = tables("wts.nex", seqs, ["wts 3: 1-50;", test, "wts 3.001: 1-50;", test])
        check("weighted tables", len(written) == 1 and len(weighted) == 2, "")
        for i in range(len(TREES)):
            if len(written) != 1 or len(weighted) != 2 or len(written[0].get(i + 1, [])) < 5:
                continue
            want = [pval(written[0][i + 1][k]) for k in (2, 4)]
            for label, table in (("3", weighted[0]), ("3.001", weighted[1])):
                got = [pval(table[i + 1][k]) for k in (2, 4)]
                check("KH, SH tree %d weight %s" % (i + 1, label),
                      all(abs(a - b) <= 0.015 for a, b in zip(got, want)), "%s vs written out %s" % (got, want))

        # KH normal against the paired t-test on the site differences.
        scores = -L.sum(axis=1)
        best = int(np.argmin(scores))
        for i in range(len(TREES)):
            row = two[i + 1]
            check("tree %d -ln L" % (i + 1), abs(float(row[0]) - scores[i]) < 1e-4, "%s %.5f" % (row[0], scores[i]))
            if i == best:
                continue
            d = L[best] - L[i]
            sd = d.std(ddof=1) if d.std() > 0 else 0.0
            if sd > 0:
                t = d.mean() / (sd / math.sqrt(NSITE))
                p = student_two_tailed(NSITE - 1, t)
                ref = (sd * math.sqrt(NSITE), t, p)
            else:
                ref = (0.0, 0.0, 1.0)
            got = (float(row[2]), float(row[3]), pval(row[4]))
            check("KH tree %d s.d., t, P" % (i + 1),
                  abs(got[0] - ref[0]) < 6e-4 and abs(got[1] - ref[1]) < 6e-4 and abs(got[2] - ref[2]) < 6e-5,
                  "%s vs %.3f %.3f %.4f" % (got, *ref))
            got1, want1 = pval(one[i + 1][4]), ref[2] / 2 if ref[0] > 0 else 1.0
            check("KH one tail tree %d" % (i + 1), abs(got1 - want1) < 6e-5, "%.4f vs %.4f" % (got1, want1))

        # SH and AU against the reference procedure.
        _, _, sh, au = reference_sh_au(L, np.random.default_rng(7))
        ours = {}
        for i in range(len(TREES)):
            if i == best:
                continue
            row = sh_au[i + 1]
            ours[i] = (pval(row[2]), pval(row[4]))
            check("SH tree %d" % (i + 1), abs(ours[i][0] - sh[i]) <= 0.02, "%.4f vs numpy %.4f" % (ours[i][0], sh[i]))
            check("AU tree %d" % (i + 1), abs(ours[i][1] - au[i]) <= 0.03, "%.4f vs numpy %.4f" % (ours[i][1], au[i]))

        if shutil.which("iqtree2") is None:
            print("iqtree2 is not installed: the peer comparison is skipped")
            return 1 if failures else 0
        with open(os.path.join(work, "a.phy"), "w") as f:
            f.write("%d %d\n" % (NTAX, NSITE))
            for name, seq in zip(TAXA, seqs):
                f.write("%s %s\n" % (name, seq))
        with open(os.path.join(work, "trees.tre"), "w") as f:
            for t in TREES:
                f.write(newick(t) + ";\n")
        subprocess.run(["iqtree2", "-s", "a.phy", "-m", "JC", "-z", "trees.tre", "-te", "trees.tre", "-blfix", "-n", "0",
                        "-zb", str(B), "-au", "-nt", "1", "-seed", "46", "-quiet", "-redo", "-pre", "iq"],
                       cwd=work, capture_output=True, check=True)
        report = open(os.path.join(work, "iq.iqtree")).read()
        table = report.split("USER TREES")[1]
        for line in table.split("\n"):
            f = line.split()
            if len(f) >= 12 and f[0].isdigit():
                i = int(f[0]) - 1
                if i == best or i not in ours:
                    continue
                lnl, p_sh, p_au = -float(f[1]), float(f[7]), float(f[-2])
                check("tree %d -ln L vs iqtree2" % (i + 1), abs(lnl - scores[i]) < 1e-3, "%.4f vs %.4f" % (scores[i], lnl))
                # iqtree2 counts strictly, so it gives a copy of the best tree
                # the share of replicates that copy does not win.
                if scores[i] - scores[best] > 2.220446049250313e-16:
                    check("SH tree %d vs iqtree2" % (i + 1), abs(ours[i][0] - p_sh) <= 0.03,
                          "%.4f vs %.4f" % (ours[i][0], p_sh))
                check("AU decision tree %d vs iqtree2" % (i + 1), (ours[i][1] < 0.05) == (p_au < 0.05),
                      "%.4f vs %.4f" % (ours[i][1], p_au))
        return 1 if failures else 0
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
