#!/usr/bin/env python3
"""Evolves DNA sequences along a Newick tree under GTR+I+G (discrete gamma,
equal-weight categories by median-free mean rates computed by quadrature),
for the peer comparisons of the likelihood tests. Pure Python: no numpy.

Usage: simulate_dna.py TREE SITES SEED rAC,rAG,rAT,rCG,rCT,rGT piA,piC,piG,piT PINV SHAPE NCAT > a.phy
SHAPE 0 means equal rates.
"""
import math
import random
import re
import sys


def parse(text):
    pos = 0

    def node():
        nonlocal pos
        kids = []
        name = ""
        if text[pos] == "(":
            pos += 1
            while True:
                kids.append(node())
                c = text[pos]
                pos += 1
                if c == ")":
                    break
        m = re.match(r"[^:,();]*", text[pos:])
        name = m.group(0)
        pos += len(name)
        length = 0.0
        if pos < len(text) and text[pos] == ":":
            m = re.match(r":([0-9.eE+-]+)", text[pos:])
            length = float(m.group(1))
            pos += len(m.group(0))
        return (name, length, kids)

    return node()


def matmul(a, b):
    return [[sum(a[i][k] * b[k][j] for k in range(4)) for j in range(4)] for i in range(4)]


def expm(q, t):
    # scaling and squaring with a Taylor series
    s = 0
    norm = max(sum(abs(x) for x in row) for row in q) * t
    while norm > 0.01:
        norm /= 2
        s += 1
    a = [[q[i][j] * t / (2 ** s) for j in range(4)] for i in range(4)]
    result = [[1.0 if i == j else 0.0 for j in range(4)] for i in range(4)]
    term = [row[:] for row in result]
    for k in range(1, 20):
        term = matmul(term, a)
        term = [[x / k for x in row] for row in term]
        result = [[result[i][j] + term[i][j] for j in range(4)] for i in range(4)]
    for _ in range(s):
        result = matmul(result, result)
    return result


def gamma_rates(shape, ncat):
    # mean rate of each equal-probability category by midpoint quadrature
    # on the inverse CDF, computed from the regularised incomplete gamma
    def cdf(x):
        # series for the regularised lower incomplete gamma P(shape, x*shape)
        y = x * shape
        if y <= 0:
            return 0.0
        term = 1.0 / shape
        total = term
        for n in range(1, 2000):
            term *= y / (shape + n)
            total += term
            if term < total * 1e-15:
                break
        return total * math.exp(-y + shape * math.log(y) - math.lgamma(shape))

    def quantile(p):
        lo, hi = 0.0, 1.0
        while cdf(hi) < p:
            hi *= 2
        for _ in range(200):
            mid = (lo + hi) / 2
            if cdf(mid) < p:
                lo = mid
            else:
                hi = mid
        return (lo + hi) / 2

    steps = 4000
    rates = []
    for c in range(ncat):
        acc = 0.0
        for k in range(steps):
            p = (c + (k + 0.5) / steps) / ncat
            acc += quantile(p)
        rates.append(acc / steps)
    mean = sum(rates) / ncat
    return [r / mean for r in rates]


def main():
    tree = parse(open(sys.argv[1]).read().strip().rstrip(";"))
    sites, seed = int(sys.argv[2]), int(sys.argv[3])
    r = [float(x) for x in sys.argv[4].split(",")]
    pi = [float(x) for x in sys.argv[5].split(",")]
    pinv, shape, ncat = float(sys.argv[6]), float(sys.argv[7]), int(sys.argv[8])
    rng = random.Random(seed)
    idx = {(0, 1): 0, (0, 2): 1, (0, 3): 2, (1, 2): 3, (1, 3): 4, (2, 3): 5}
    q = [[0.0] * 4 for _ in range(4)]
    for (i, j), k in idx.items():
        q[i][j] = r[k] * pi[j]
        q[j][i] = r[k] * pi[i]
    for i in range(4):
        q[i][i] = -sum(q[i][j] for j in range(4) if j != i)
    scale = -sum(pi[i] * q[i][i] for i in range(4))
    q = [[x / scale for x in row] for row in q]
    rates = gamma_rates(shape, ncat) if shape > 0 else [1.0]
    rates = [x / (1 - pinv) for x in rates]
    cache = {}

    def P(t):
        if t not in cache:
            cache[t] = expm(q, t)
        return cache[t]

    def draw(p):
        x = rng.random()
        for i in range(3):
            x -= p[i]
            if x < 0:
                return i
        return 3

    seqs = {}

    def evolve(n, state, rate):
        name, length, kids = n
        if not kids:
            seqs.setdefault(name, []).append("ACGT"[state])
        for k in kids:
            s = draw(P(round(k[1] * rate, 12))[state])
            evolve(k, s, rate)

    for _ in range(sites):
        invariable = rng.random() < pinv
        rate = 0.0 if invariable else rates[rng.randrange(len(rates))]
        evolve(tree, draw(pi), rate)
    names = sorted(seqs, key=lambda s: int(s[1:]) if s[1:].isdigit() else s)
    print(len(names), sites)
    for nm in names:
        print(nm.ljust(10), "".join(seqs[nm]))


main()
