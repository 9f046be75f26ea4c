#!/usr/bin/python3
"""ML distances under a gamma shape against a continuous-gamma fit in scipy.

Each pair's distance maximises the two-sequence likelihood with P(t) =
U diag(M(lambda t)) U^-1, M the moment-generating function of a gamma rate
of mean 1, (1 - x/alpha)^(-alpha), and invariable sites apart. The rate
matrix is built and eigen-decomposed here from the settings given to the
program: JC (also against its closed form 0.75 alpha ((1 - 4p/3)^(-1/alpha)
- 1)), HKY with a ti/tv ratio and user frequencies, GTR with user rates and
frequencies, with and without invariable sites, and WAG protein with the
matrix's own frequencies (read from PAML's wag.dat; those rows are skipped
when it is absent). Exit 77 without numpy and scipy.
"""
import os
import random
import re
import subprocess
import sys
import tempfile

try:
    import numpy as np
    from scipy.optimize import minimize_scalar
except ImportError:
    sys.exit(77)

DNA = "ACGT"
WAG_FILE = "/usr/lib/paml/data/dat/wag.dat"
PAML_AA = "ARNDCQEGHILKMFPSTWYV"


def rate_matrix(exch, pi):
    """Reversible Q with exchangeabilities exch[i][j], mean rate 1."""
    n = len(pi)
    Q = np.array([[exch[i][j] * pi[j] if i != j else 0.0 for j in range(n)] for i in range(n)])
    np.fill_diagonal(Q, -Q.sum(axis=1))
    return Q / -np.dot(pi, np.diag(Q))


def pair_lnl(t, Q, pi, alpha, pinv, counts):
    s = np.sqrt(pi)
    lam, V = np.linalg.eigh(Q * s[:, None] / s[None, :])
    scaled = t / (1.0 - pinv)
    base = 1.0 - lam * scaled / alpha
    mgf = np.where(base > 0, base ** (-alpha), 0.0)
    P = (V * mgf) @ V.T / s[:, None] * s[None, :]
    P = (1.0 - pinv) * P + pinv * np.eye(len(pi))
    F = pi[:, None] * P
    return sum(c * np.log(max(F[a, b], 1e-300)) for (a, b), c in counts.items())


def ml_distance(Q, pi, alpha, pinv, x, y, alphabet):
    counts = {}
    for a, b in zip(x, y):
        key = (alphabet.index(a), alphabet.index(b))
        counts[key] = counts.get(key, 0) + 1
    r = minimize_scalar(lambda lt: -pair_lnl(np.exp(lt), Q, pi, alpha, pinv, counts),
                        bounds=(np.log(1e-8), np.log(50.0)), method="bounded",
                        options={"xatol": 1e-12})
    return float(np.exp(r.x))


def evolve(rng, seq, Q, t, alpha, alphabet):
    """A descendant of seq along t with a gamma rate per site."""
    out = []
    for a in seq:
        rate = rng.gammavariate(alpha, 1.0 / alpha)
        s = alphabet.index(a)
        time = 0.0
        while True:
            out_rate = -Q[s, s] * rate
            time += rng.expovariate(out_rate)
            if time > t:
                break
            weights = [Q[s, j] if j != s else 0.0 for j in range(len(alphabet))]
            s = rng.choices(range(len(alphabet)), weights=weights)[0]
        out.append(alphabet[s])
    return "".join(out)


def run_showdist(vorn, datatype, seqs, lset):
    names = ["t%d" % i for i in range(len(seqs))]
    rows = "\n".join("%s %s" % (n, s) for n, s in zip(names, seqs))
    text = ("#NEXUS\nbegin data; dimensions ntax=%d nchar=%d; format datatype=%s; matrix\n%s\n;end;\n"
            "set criterion=likelihood; lset %s; dset distance=ml; showdist; quit;\n"
            % (len(seqs), len(seqs[0]), datatype, rows, lset))
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "d.nex")
        with open(path, "w") as f:
            f.write(text)
        out = subprocess.run([vorn, "-n", path], capture_output=True, text=True, timeout=300).stdout
    found = {}
    for line in out.splitlines():
        m = re.match(r"^\s*(\d+) t\d+\s+(.*)$", line)
        if m:
            i = int(m.group(1)) - 1
            for j, v in enumerate(m.group(2).split()):
                if v != "-":
                    found[(i, j)] = float(v)
    if len(found) != len(seqs) * (len(seqs) - 1) // 2:
        raise SystemExit("unreadable distance matrix for lset %s:\n%s" % (lset, out))
    return found


def read_wag():
    with open(WAG_FILE) as f:
        numbers = [float(v) for v in f.read().split("//")[0].split()]
    exch = np.zeros((20, 20))
    k = 0
    for i in range(1, 20):
        for j in range(i):
            exch[i, j] = exch[j, i] = numbers[k]
            k += 1
    return exch, np.array(numbers[k:k + 20]) / sum(numbers[k:k + 20])


def cases():
    """(name, datatype, alphabet, Q, pi, alpha, pinv, lset) rows."""
    eq = np.full(4, 0.25)
    one = np.ones((4, 4))
    out = [("JC", "dna", DNA, rate_matrix(one, eq), eq, 0.5, 0.0, "nst=1 basefreq=equal rates=gamma shape=0.5"),
           ("JC a=2", "dna", DNA, rate_matrix(one, eq), eq, 2.0, 0.0, "nst=1 basefreq=equal rates=gamma shape=2")]
    pi = np.array([0.1, 0.2, 0.3, 0.4])
    kappa = 4.0
    tratio = kappa * (pi[0] * pi[2] + pi[1] * pi[3]) / ((pi[0] + pi[2]) * (pi[1] + pi[3]))
    hky = np.ones((4, 4))
    hky[0, 2] = hky[2, 0] = hky[1, 3] = hky[3, 1] = kappa
    freqs = "basefreq=(0.1 0.2 0.3)"
    out.append(("HKY", "dna", DNA, rate_matrix(hky, pi), pi, 0.3, 0.0,
                "nst=2 tratio=%.10f %s rates=gamma shape=0.3" % (tratio, freqs)))
    r = [1.5, 4.0, 0.7, 1.2, 6.0, 1.0]
    gtr = np.ones((4, 4))
    for (i, j), v in zip([(0, 1), (0, 2), (0, 3), (1, 2), (1, 3), (2, 3)], r):
        gtr[i, j] = gtr[j, i] = v
    rm = "rmatrix=(%s)" % " ".join(str(v) for v in r[:5])
    out.append(("GTR", "dna", DNA, rate_matrix(gtr, pi), pi, 0.8, 0.0, "nst=6 %s %s rates=gamma shape=0.8" % (rm, freqs)))
    out.append(("GTR+I", "dna", DNA, rate_matrix(gtr, pi), pi, 0.8, 0.25,
                "nst=6 %s %s rates=gamma shape=0.8 pinvar=0.25" % (rm, freqs)))
    if os.path.exists(WAG_FILE):
        exch, wpi = read_wag()
        out.append(("WAG", "protein", PAML_AA, rate_matrix(exch, wpi), wpi, 0.6, 0.0,
                    "aarmatrix=WAG aafreq=intrinsic rates=gamma shape=0.6"))
    return out


def main():
    if len(sys.argv) != 2:
        raise SystemExit("usage: mldist_gamma_vs_scipy.py VORN")
    vorn = sys.argv[1]
    rng = random.Random(7)
    failures = checked = 0
    for name, datatype, alphabet, Q, pi, alpha, pinv, lset in cases():
        nchar = 300 if datatype == "dna" else 200
        root = "".join(rng.choices(alphabet, weights=list(pi), k=nchar))
        seqs = [root] + [evolve(rng, root, Q, t, alpha, alphabet) for t in (0.05, 0.3, 0.8)]
        got = run_showdist(vorn, datatype, seqs, lset)
        for (i, j), value in sorted(got.items()):
            want = ml_distance(Q, pi, alpha, pinv, seqs[i], seqs[j], alphabet)
            if name.startswith("JC"):
                p = sum(a != b for a, b in zip(seqs[i], seqs[j])) / nchar
                closed = 0.75 * alpha * ((1 - 4 * p / 3) ** (-1 / alpha) - 1)
                if abs(closed - want) > 1e-6 * max(1.0, closed):
                    print("%s %d-%d: scipy %.6f, closed form %.6f" % (name, i, j, want, closed))
                    failures += 1
            checked += 1
            if abs(value - want) > 2e-5 + 1e-5 * want:
                print("%s %d-%d: vorn %.5f, continuous gamma %.6f" % (name, i, j, value, want))
                failures += 1
    print("%d distances checked, %d differ" % (checked, failures))
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
