#!/usr/bin/python3
"""GammaPlot against an independent computation: every histogram row's bar
against round(w*f(x)/fmax) from the gamma density computed here, the row the
plot ends at, and the cut-points and category rates (mean and median) against
R's qgamma/pgamma (that part skips when Rscript is not installed)."""
import math
import os
import shutil
import subprocess
import sys
import tempfile

CASES = [(0.5, 4, "mean"), (0.5, 4, "median"), (2.0, 3, "mean"), (0.2, 6, "median"),
         (0.9, 5, "mean"), (50.0, 8, "mean"), (7.25, 2, "median")]
LINE = 100  # the output line length of a program reading a file
WIDTH = LINE - 6


def density(x, a):
    # x^(a-1) a^a e^(-a x) / Gamma(a), by another route than the program's
    return a ** a * x ** (a - 1) * math.exp(-a * x) / math.gamma(a)


def check_plot(block, a, failures):
    xs = [(i + 1) * 0.05 for i in range(100)]
    f = [density(x, a) for x in xs]
    fmax = max(f)
    last = next((i for i in range(38, 100, 2) if f[i] / fmax < 0.02), 99)
    lines = block.split("\n")
    top = next(n for n, l in enumerate(lines) if l.startswith("0.00 +"))
    rows = lines[top + 1:top + 2 + last]
    for i, row in enumerate(rows):
        head = ("%4.2f +" % xs[i]) if i % 2 else "     |"
        want = head + "#" * int(math.floor(WIDTH * f[i] / fmax + 0.5))
        if row != want:
            failures.append("shape %g row %d: %r, expected %r" % (a, i, row, want))
    bottom = lines[top + 2 + last]
    if not bottom.startswith("%4.2f +-" % ((last + 2) * 0.05)):
        failures.append("shape %g: plot ends with %r, expected x = %.2f" % (a, bottom, (last + 2) * 0.05))
    legend = lines[top - 1]
    if legend != "     0.0" + " " * (LINE - 8 - len("%.2f" % fmax)) + "%.2f" % fmax:
        failures.append("shape %g: legend %r" % (a, legend))
    return lines[top + 2 + last:]


def table(lines):
    cuts, rates = [], []
    start = lines.index("-" * 49)
    for l in lines[start + 1:]:
        w = l.split()
        if len(w) != 4:
            break
        cuts.append(float(w[1]))
        rates.append(float(w[3]))
    return cuts[1:], rates


def r_values(a, k, rep):
    expr = ("a<-%r;k<-%d;cp<-qgamma((1:(k-1))/k,a,a);"
            "r<-if(%s){m<-qgamma((2*(1:k)-1)/(2*k),a,a);m/mean(m)}"
            "else k*diff(pgamma(c(0,cp,Inf)*a,a+1));"
            "cat(sprintf('%%.12f',c(cp,r)))" % (a, k, "TRUE" if rep == "median" else "FALSE"))
    out = subprocess.run(["Rscript", "-e", expr], capture_output=True, text=True, check=True).stdout
    v = [float(t) for t in out.split()]
    return v[:k - 1], v[k - 1:]


def main():
    vorn = os.path.abspath(sys.argv[1])
    failures = []
    with tempfile.TemporaryDirectory(prefix="vorn_gammaplot_") as work:
        with open(os.path.join(work, "run.nex"), "w") as f:
            f.write("#NEXUS\nbegin vorn;\n")
            for a, k, rep in CASES:
                f.write(" gammaplot shape=%g ncat=%d repRate=%s;\n" % (a, k, rep))
            f.write("end;\n")
        out = subprocess.run([vorn, "-n", "run.nex"], cwd=work, capture_output=True, text=True,
                             check=False).stdout
    blocks = out.split("Gamma distribution with shape parameter (alpha) = ")[1:]
    if len(blocks) != len(CASES):
        print(out)
        print("expected %d plots, found %d" % (len(CASES), len(blocks)))
        return 1
    have_r = shutil.which("Rscript") is not None
    worst = 0.0
    for (a, k, rep), block in zip(CASES, blocks):
        rest = check_plot(block, a, failures)
        cuts, rates = table(rest)
        if len(rates) != k:
            failures.append("shape %g: %d category rates, expected %d" % (a, len(rates), k))
            continue
        if have_r:
            rc, rr = r_values(a, k, rep)
            for got, want in zip(cuts + rates, rc + rr):
                worst = max(worst, abs(got - want))
                if abs(got - want) > 1e-8 * max(1.0, abs(want)):
                    failures.append("shape %g ncat %d %s: %.8f, R gives %.10f" % (a, k, rep, got, want))
    for m in failures:
        print(m)
    if have_r:
        print("cut-points and rates: largest difference from R %.2e" % worst)
    else:
        print("Rscript is not installed: the rate tables were not compared")
    return 1 if failures else (0 if have_r else 77)


if __name__ == "__main__":
    sys.exit(main())
