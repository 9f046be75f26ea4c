#!/usr/bin/python3
"""ClockChecker against PAML's baseml (Debian package paml) under JC69.

Six taxa, two genes of 300 sites simulated here: gene "clocky" along an
ultrametric tree, gene "wild" along the same topology with tip branches far
from a clock. On the rooted tree ((((a,b),c),(d,e)),f):
- the clock and non-clock -ln L of all sites and of each gene equal baseml
  (clock = 1 on the rooted tree, clock = 0 on its unrooted form) within 0.01;
- times 5, brlens 9, P the chi-square(4) upper tail of 2 x diff, and the
  AIC, AICc and BIC differences recomputed from the printed -ln L;
- a basal trichotomy keeps every branch (times 4, brlens 9) and the same
  non-clock fit;
- exclude=LRT excludes exactly the genes printed with P < 0.05, says how many
  sites, and the exclusion holds afterwards;
- under upgma=yes the unlinked total sums the gene rows and multiplies the
  parameter counts by 2, its P is the chi-square(8) tail.
Skips (77) without baseml.
Usage: clockcheck_baseml.py <vorn>
"""
import math
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from vorn_run import cpu_limit, run_vorn  # noqa: E402

TAXA = "abcdef"
NSITES = 300
CLOCK_TREE = "((((a:0.05,b:0.05):0.1,c:0.15):0.15,(d:0.12,e:0.12):0.18):0.05,f:0.35)"
WILD_TREE = "((((a:0.6,b:0.02):0.1,c:0.01):0.15,(d:0.5,e:0.01):0.18):0.05,f:0.02)"
ROOTED = "((((a,b),c),(d,e)),f)"
UNROOTED = "(((a,b),c),(d,e),f)"
NUM = r"(-?\d+\.\d{4})"


def parse(text):
    pos = 0

    def node():
        nonlocal pos
        children, name = [], None
        if text[pos] == "(":
            pos += 1
            children.append(node())
            while text[pos] == ",":
                pos += 1
                children.append(node())
            pos += 1
        else:
            name = text[pos]
            pos += 1
        length = 0.0
        if pos < len(text) and text[pos] == ":":
            m = re.match(r":([0-9.]+)", text[pos:])
            length = float(m.group(1))
            pos += len(m.group(0))
        return name, length, children
    return node()


def simulate(tree, n, rng):
    rows = {t: [] for t in TAXA}

    def down(node, state):
        name, _, children = node
        for child in children:
            p = 0.75 * (1 - math.exp(-4.0 / 3.0 * child[1]))
            s = state if rng.random() >= p else rng.choice([x for x in "ACGT" if x != state])
            down(child, s)
        if name:
            rows[name].append(state)
    for _ in range(n):
        down(tree, rng.choice("ACGT"))
    return {t: "".join(v) for t, v in rows.items()}


def baseml(rows, clock):
    tmp = tempfile.mkdtemp(prefix="vorn-baseml-")
    try:
        with open(os.path.join(tmp, "a.phy"), "w") as f:
            f.write("%d %d\n" % (len(rows), len(rows["a"])))
            for t in TAXA:
                f.write("%s  %s\n" % (t, rows[t]))
        with open(os.path.join(tmp, "t.nwk"), "w") as f:
            f.write("6 1\n%s;\n" % (ROOTED if clock else UNROOTED))
        with open(os.path.join(tmp, "baseml.ctl"), "w") as f:
            f.write("seqfile = a.phy\ntreefile = t.nwk\noutfile = out.txt\nnoisy = 0\nverbose = 0\nrunmode = 0\n"
                    "model = 0\nMgene = 0\nclock = %d\nfix_kappa = 1\nkappa = 2\nfix_alpha = 1\nalpha = 0\n"
                    "Malpha = 0\nncatG = 4\ngetSE = 0\nRateAncestor = 0\nSmall_Diff = 1e-7\ncleandata = 0\n"
                    "method = 0\n" % (1 if clock else 0))
        subprocess.run(["baseml", "baseml.ctl"], cwd=tmp, capture_output=True, preexec_fn=cpu_limit(120), check=True)
        with open(os.path.join(tmp, "out.txt")) as f:
            m = re.search(r"lnL\(ntime:\s*\d+\s+np:\s*\d+\):\s*(-?[0-9.]+)", f.read())
        return -float(m.group(1))
    finally:
        shutil.rmtree(tmp)


def chi2_sf(x, df):
    """Upper tail of chi-square with an even df, in closed form."""
    h = x / 2.0
    return math.exp(-h) * sum(h ** i / math.factorial(i) for i in range(df // 2))


def nexus(rows, tree, commands):
    matrix = "".join("  %s %s\n" % (t, rows[t]) for t in TAXA)
    return ("#NEXUS\nbegin data; dimensions ntax=6 nchar=%d; format datatype=dna; matrix\n%s;\nend;\n"
            "begin trees; tree t1 = [&R] %s; end;\n"
            "begin vorn; set criterion=likelihood outwidth=200; lset nst=1 basefreq=equal rates=equal pinvar=0;\n"
            "charpartition genes = clocky: 1-%d, wild: %d-%d;\n%s\nend;\n" %
            (len(rows["a"]), matrix, tree, NSITES, NSITES + 1, 2 * NSITES, commands))


def subset_rows(out):
    """{label: (sites, taxa, times, brlens, clock, free, diff, P, excluded)}"""
    rows = {}
    for line in out.splitlines():
        m = re.match(r"^(\S.{15}|\S+)\s+(\d+)\s+(\d+)\s+(\d+)\s+(\d+)\s+%s\s+%s\s+%s\s+(\d\.\d{5})(.*)$" %
                     (NUM, NUM, NUM), line)
        if m:
            rows[m.group(1).strip()] = tuple(int(m.group(k)) for k in range(2, 6)) + tuple(
                float(m.group(k)) for k in range(6, 10)) + ("Y" in m.group(10),)
    return rows


def main():
    vorn = sys.argv[1]
    if shutil.which("baseml") is None:
        print("baseml is not installed")
        return 77
    rng = random.Random(4321)
    clocky = simulate(parse(CLOCK_TREE), NSITES, rng)
    wild = simulate(parse(WILD_TREE), NSITES, rng)
    whole = {t: clocky[t] + wild[t] for t in TAXA}
    failures = []

    def check(ok, what):
        if not ok:
            failures.append(what)

    # The whole data set on one tree: one row, then the information criteria.
    done = run_vorn(vorn, nexus(whole, ROOTED, "clockchecker aic aicc bic;\nquit;"))
    out = done.stdout
    m = re.search(r"^\s+1\s+(\d+)\s+(\d+)\s+-lnL\s+%s\s+%s\s+%s\s+(\d\.\d{5})$" % (NUM, NUM, NUM), out, re.M)
    check(m is not None, "no -lnL row:\n" + out[-3000:])
    if m:
        times, brlens, lc, ln, diff, p = int(m.group(1)), int(m.group(2)), *map(float, m.group(3, 4, 5, 6))
        check((times, brlens) == (5, 9), "times/brlens %d/%d, expected 5/9" % (times, brlens))
        for label, mine, peer in (("clock", lc, baseml(whole, True)), ("non-clock", ln, baseml(whole, False))):
            check(abs(mine - peer) < 0.01, "%s -lnL %.4f, baseml %.4f" % (label, mine, peer))
        check(abs(p - chi2_sf(max(0.0, 2 * (lc - ln)), 4)) < 2e-5, "P %.5f against chi2(4)" % p)
        n = 2 * NSITES
        for name, f in (("AIC", lambda k, L: 2 * k + 2 * L),
                        ("AICc", lambda k, L: 2 * k + 2 * L + 2 * k * (k + 1) / (n - k - 1)),
                        ("BIC", lambda k, L: k * math.log(n) + 2 * L)):
            r = re.search(r"^\s+%s\s+%s\s+%s\s+%s$" % (name, NUM, NUM, NUM), out, re.M)
            check(r is not None, "no %s row" % name)
            if r:
                want = f(5, lc) - f(9, ln)
                check(abs(float(r.group(3)) - want) < 2e-3, "%s diff %s, expected %.4f" % (name, r.group(3), want))

    # A basal trichotomy: one time fewer, no branch lost, the same free fit.
    done = run_vorn(vorn, nexus(whole, "(((a,b),c),(d,e),f)", "clockchecker aic=no aicc=no bic=no;\nquit;"))
    t = re.search(r"^\s+1\s+(\d+)\s+(\d+)\s+-lnL\s+%s\s+%s" % (NUM, NUM), done.stdout, re.M)
    check(t is not None and (int(t.group(1)), int(t.group(2))) == (4, 9), "trichotomy counts: %s" %
          (t.group(0) if t else done.stdout[-2000:]))
    if m and t:
        check(abs(float(t.group(4)) - ln) < 0.01, "trichotomy non-clock %s against %.4f" % (t.group(4), ln))

    # Two genes: the clock-violating one is excluded, and the exclusion stays.
    done = run_vorn(vorn, nexus(whole, ROOTED, "clockchecker partition=genes exclude=lrt;\n"
                                "lscores 1;\nquit;"))
    out = done.stdout
    rows = subset_rows(out)
    check({"clocky", "wild", "total (linked)", "total (unlinked)"} <= set(rows), "rows: %s\n%s" % (rows, out[-3000:]))
    if "clocky" in rows and "wild" in rows:
        for gene, data in (("clocky", clocky), ("wild", wild)):
            row = rows[gene]
            check(abs(row[4] - baseml(data, True)) < 0.01 and abs(row[5] - baseml(data, False)) < 0.01,
                  "%s -lnL %.4f/%.4f against baseml" % (gene, row[4], row[5]))
            check(row[8] == (row[7] < 0.05), "%s: P %.5f but excluded=%s" % (gene, row[7], row[8]))
        check(rows["wild"][8] and not rows["clocky"][8], "the wild gene alone must be excluded: %s" % rows)
        excluded = sum(rows[g][0] for g in ("clocky", "wild") if rows[g][8])
        check("\n%d sites excluded due to P < 0.05 (likelihood-ratio test)\n" % excluded in out,
              "exclusion line for %d sites missing" % excluded)
        check("%d sites remain included" % (2 * NSITES - excluded) in out, "remaining sites")
        # The LScores after the command scores the clock-like gene alone.
        s = re.findall(r"^-ln L\s+(\d+\.\d+)", out, re.M)
        check(bool(s) and abs(float(s[-1]) - rows["clocky"][5]) < 0.01,
              "after the exclusion -ln L %s, clocky non-clock %.4f" % (s, rows["clocky"][5]))

    # UPGMA trees per gene: the unlinked total adds the rows, counts double.
    done = run_vorn(vorn, nexus(whole, ROOTED, "clockchecker partition=genes upgma=yes;\nquit;"))
    rows = subset_rows(done.stdout)
    have = all(k in rows for k in ("clocky", "wild", "total (unlinked)"))
    check(have, "upgma rows: %s" % rows)
    if have:
        u = rows["total (unlinked)"]
        check(u[2:4] == (rows["clocky"][2] + rows["wild"][2], rows["clocky"][3] + rows["wild"][3]) == (10, 18),
              "unlinked counts %s" % (u,))
        check(abs(u[4] - rows["clocky"][4] - rows["wild"][4]) < 2e-4, "unlinked clock sum")
        check(abs(u[5] - rows["clocky"][5] - rows["wild"][5]) < 2e-4, "unlinked non-clock sum")
        check(abs(u[7] - chi2_sf(max(0.0, 2 * (u[4] - u[5])), 8)) < 2e-5, "unlinked P %.5f" % u[7])

    for f in failures:
        print("FAIL:", f)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
