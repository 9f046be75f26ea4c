#!/usr/bin/python3
"""Site rates of a simulation block come from the discrete gamma categories.

Four taxa ((a:0.5,b:0.5):0.01,(c:0.5,d:0.5):0.01) under JC with gamma shape
0.2: the share of sites at which a and b (and c and d) differ is
E[3/4 (1 - exp(-4/3 r))] over the site rates r: 0.2694 over the four
equal-probability categories at their mean rates, 0.2510 over the continuous
gamma distribution; 3 x 50,000 sites put the two 12 standard errors apart.
Whether discreteMode is left out, given as yes or given as its default no,
the share must match the categories within 4 standard errors and lie beyond
4 from the continuous distribution; and giving discreteMode=no must simulate
exactly the data of leaving it out. The expectations are integrated here
with scipy.

Usage: sim_continuous_gamma.py <vorn>
"""
import math
import re
import sys

from scipy import integrate, stats

from vorn_run import run_vorn

SHAPE, PATH, NCHAR, NREPS = 0.2, 1.0, 50000, 3


def differs(r):
    return 0.75 * (1.0 - math.exp(-4.0 / 3.0 * r * PATH))


def expected_continuous():
    pdf = stats.gamma(SHAPE, scale=1.0 / SHAPE).pdf
    return integrate.quad(lambda r: differs(r) * pdf(r), 0, math.inf, limit=400)[0]


def expected_discrete(k=4):
    cuts = stats.gamma(SHAPE, scale=1.0 / SHAPE).ppf([i / k for i in range(k + 1)])
    upper = stats.gamma(SHAPE + 1.0)  # the mean rate of a category from the incomplete gamma of shape + 1
    means = [k * (upper.cdf(cuts[i + 1] * SHAPE) - upper.cdf(cuts[i] * SHAPE)) for i in range(k)]
    return sum(differs(r) for r in means) / k


def observed(vorn, mode):
    text = """#NEXUS
begin taxa; dimensions ntax=4; taxlabels a b c d; end;
begin trees; tree t = [&R] ((a:0.5,b:0.5):0.01,(c:0.5,d:0.5):0.01); end;
begin dnasim;
  lset nst=1 basefreq=equal rates=gamma shape=%g pinvar=0;
  truetree source=memory treenum=1;
  simdata nchar=%d;
  beginsim nreps=%d seed=11 showModel=no%s;
    dset distance=p;
    showdist;
  endsim;
end;
quit;
""" % (SHAPE, NCHAR, NREPS, "" if mode is None else " discreteMode=" + mode)
    run = run_vorn(vorn, text)
    shares = [float(x) for x in re.findall(r"^2 b\s+(\d\.\d+)", run.stdout, re.M)]
    shares += [float(x) for x in re.findall(r"^4 d\s+\S+\s+\S+\s+(\d\.\d+)", run.stdout, re.M)]
    if len(shares) != 2 * NREPS:
        sys.exit("expected %d distances, found %d:\n%s" % (2 * NREPS, len(shares), run.stdout[-2000:]))
    return sum(shares) / len(shares), shares


def main():
    vorn = sys.argv[1]
    cont, disc = expected_continuous(), expected_discrete()
    # Pairs (a,b) and (c,d) share each site's rate: count one pair's sites.
    se = math.sqrt(cont * (1.0 - cont) / (NCHAR * NREPS))
    failures, seen = [], {}
    for mode in (None, "yes", "no"):
        got, shares = observed(vorn, mode)
        seen[mode] = shares
        label = "discreteMode %s" % ("not given" if mode is None else "=" + mode)
        if abs(got - disc) > 4 * se:
            failures.append("%s: share %.4f, expected %.4f (se %.4f)" % (label, got, disc, se))
        if abs(got - cont) < 4 * se:
            failures.append("%s: share %.4f cannot be told from the continuous %.4f" % (label, got, cont))
    if seen["no"] != seen[None]:
        failures.append("discreteMode=no simulated other data than leaving it out")
    if failures:
        print("\n".join(failures))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
