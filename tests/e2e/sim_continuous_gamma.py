#!/usr/bin/python3
"""Site rates of a simulation block, continuous and discrete gamma.

Four taxa ((a:0.5,b:0.5):0.01,(c:0.5,d:0.5):0.01) under JC with gamma shape
0.2: the share of sites at which a and b (and c and d) differ is
E[3/4 (1 - exp(-4/3 r))] over the site rates r. With discreteMode=no the
rates come from the continuous gamma distribution (expected share 0.2510),
with discreteMode=yes from its four equal-probability categories at their
mean rates (0.2694); 3 x 50,000 sites put the two 12 standard errors apart.
Each mode must match its own expectation within 4 standard errors and lie
beyond 4 from the other's. The expectations are integrated here with scipy.

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


def observed(vorn, discrete):
    text = """#NEXUS
begin taxa; dimensions ntax=4; taxlabels a b c d; end;
begin trees; tree t = [&R] ((a:0.5,b:0.5):0.01,(c:0.5,d:0.5):0.01); end;
begin dnasim;
  lset nst=1 basefreq=equal rates=gamma shape=%g pinvar=0;
  truetree source=memory treenum=1;
  simdata nchar=%d;
  beginsim nreps=%d seed=11 showModel=no monitor=no discreteMode=%s;
    dset distance=p;
    showdist;
  endsim;
end;
quit;
""" % (SHAPE, NCHAR, NREPS, "yes" if discrete else "no")
    run = run_vorn(vorn, text)
    shares = [float(x) for x in re.findall(r"^2 b\s+(\d\.\d+)", run.stdout, re.M)]
    shares += [float(x) for x in re.findall(r"^4 d\s+\S+\s+\S+\s+(\d\.\d+)", run.stdout, re.M)]
    if len(shares) != 2 * NREPS:
        sys.exit("expected %d distances, found %d:\n%s" % (2 * NREPS, len(shares), run.stdout[-2000:]))
    return sum(shares) / len(shares)


def main():
    vorn = sys.argv[1]
    cont, disc = expected_continuous(), expected_discrete()
    # Pairs (a,b) and (c,d) share each site's rate: count one pair's sites.
    se = math.sqrt(cont * (1.0 - cont) / (NCHAR * NREPS))
    failures = []
    for discrete, mine, other in ((False, cont, disc), (True, disc, cont)):
        got = observed(vorn, discrete)
        label = "discreteMode=%s" % ("yes" if discrete else "no")
        if abs(got - mine) > 4 * se:
            failures.append("%s: share %.4f, expected %.4f (se %.4f)" % (label, got, mine, se))
        if abs(got - other) < 4 * se:
            failures.append("%s: share %.4f cannot be told from %.4f" % (label, got, other))
    if failures:
        print("\n".join(failures))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
