#!/usr/bin/env python3
"""Tree lengths, CI and RI against R's phangorn, tree by tree and character by character.

Usage: pars_fit_vs_phangorn.py VORN

For each data set the program runs a command file that reads the data,
reads random unrooted trees, writes their scores with PScores, runs HSearch,
saves the trees it found and scores those too. phangorn then scores the same
two tree files on the same NEXUS file: parsimony(), CI(), RI(), per character
sankoff() lengths, and its per-character bounds lowerBound() and upperBound()
(the star-tree length). Lengths must agree exactly, CI and RI to the six
decimals of the score file; an index that does not exist (0/0 here) must be
NaN there.

One known difference is adjudicated rather than ignored: with partially
ambiguous cells phangorn's lowerBound() picks states greedily, which can
exceed the true least length (G, T, V, W: it takes A first and ends at 2;
{G, T} gives 1). Every character's least length is also found here by trying
every state set; where that is below phangorn's, the exact value is used in
the expected CI and RI (and the character is counted in the report), and
phangorn's own CI() and RI() are checked against its bounds so that no other
difference can hide behind the correction.

Data sets: the DNA examples of Debian's phylip package (when present),
simulated DNA with IUPAC ambiguity codes and N/? cells, DNA made mostly of
ambiguity codes (least lengths that need a hitting-set search), and
simulated 0/1 matrices with missing cells. There are no gaps: phangorn's STANDARD type
takes '-' as a state of its own, where it is missing data here. Ambiguity
codes are uncertainty on both sides (phangorn has no polymorphism); N and ?
are missing on both sides. Exit 77 when Rscript or phangorn is missing.
"""
import itertools
import math
import os
import random
import shutil
import subprocess
import sys
import tempfile

sys.dont_write_bytecode = True  # no cache files in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import pars_lengths_vs_phylip as base  # noqa: E402  (shared readers and simulators)

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
from vorn_run import cpu_limit  # noqa: E402

TREES_PER_SET = 6
INDEX_TOLERANCE = 5.01e-7  # half a unit in the sixth decimal of the score file

# State sets of the cells; a cell absent from its table is missing data.
DNA_BITS = {"A": 1, "C": 2, "G": 4, "T": 8, "U": 8, "R": 5, "Y": 10, "M": 3, "K": 12, "S": 6,
            "W": 9, "B": 14, "D": 13, "H": 11, "V": 7}
BINARY_BITS = {"0": 1, "1": 2}
KINDS = {"dna": (DNA_BITS, 4, "datatype=dna missing=?"),
         "binary": (BINARY_BITS, 2, 'datatype=standard symbols="01" missing=?')}

R_SCRIPT = r"""
suppressMessages(library(phangorn))
args <- commandArgs(TRUE)
raw <- read.nexus.data(args[2])
d <- if (args[1] == "dna") phyDat(raw, type = "DNA") else
     phyDat(raw, type = "USER", levels = c("0", "1"), ambiguity = "?")
idx <- attr(d, "index")
fmt <- function(x) ifelse(is.finite(x), sprintf("%.10f", x), "NaN")
cat("BOUNDS", paste(phangorn:::lowerBound(d)[idx], phangorn:::upperBound(d)[idx], sep = "/"), "\n")
for (f in args[-(1:2)]) {
  trees <- read.tree(f)
  if (inherits(trees, "phylo")) trees <- list(trees)
  for (i in seq_along(trees)) {
    t <- trees[[i]]
    cat("TREE", basename(f), parsimony(t, d), fmt(CI(t, d)), fmt(RI(t, d)),
        sankoff(t, d, site = "site")[idx], "\n")
  }
}
"""


def phangorn_available():
    if not shutil.which("Rscript"):
        return False
    return subprocess.run(["Rscript", "-e", "library(phangorn)"], capture_output=True).returncode == 0


def simulate_binary(rng, ntax, nchar):
    """0/1 characters evolved down a random tree, with about 10% missing cells."""
    seqs = [[rng.choice("01") for _ in range(nchar)]]
    while len(seqs) < ntax:
        parent = seqs.pop(rng.randrange(len(seqs)))
        for _ in range(2):
            seqs.append([("1" if c == "0" else "0") if rng.random() < 0.15 else c for c in parent])
    seqs = seqs[:ntax]
    for s in seqs:
        for c in range(nchar):
            if rng.random() < 0.10:
                s[c] = "?"
    return ["".join(s) for s in seqs]


def simulate_ambiguous(rng, ntax, nchar):
    """DNA where most cells are ambiguity codes and few are single states, so
    that the least length is a real hitting-set problem."""
    codes = [ch for ch, b in DNA_BITS.items() if b & (b - 1)]
    seqs = [[] for _ in range(ntax)]
    for _ in range(nchar):
        singles = rng.sample("ACGT", rng.choice((0, 1, 1, 2)))
        for s in seqs:
            r = rng.random()
            s.append(rng.choice(singles) if singles and r < 0.2 else "N" if r < 0.3 else rng.choice(codes))
    return ["".join(s) for s in seqs]


def exact_min_length(column, bits, nstates):
    """Fewest steps of a character on any tree: the smallest set of states meeting every cell, less one."""
    full = (1 << nstates) - 1
    cells = {bits[ch] for ch in column if ch in bits} - {full}
    if not cells:
        return 0
    for k in range(1, nstates + 1):
        for chosen in itertools.combinations([1 << s for s in range(nstates)], k):
            mask = sum(chosen)
            if all(cell & mask for cell in cells):
                return k - 1
    raise AssertionError("no state set meets every cell")


def write_nexus(path, kind, seqs):
    with open(path, "w") as f:
        f.write("#NEXUS\nbegin data;\ndimensions ntax=%d nchar=%d;\nformat %s;\nmatrix\n"
                % (len(seqs), len(seqs[0]), KINDS[kind][2]))
        for t, s in enumerate(seqs):
            f.write("T%d %s\n" % (t, s))
        f.write(";\nend;\n")


def index_value(text):
    return math.nan if text == "0/0" else float(text)


def read_score_file(path):
    """[(length, ci, ri, [(char length, ci, ri), ...]), ...] in tree order."""
    trees = []
    with open(path) as f:
        next(f)  # column titles
        for line in f:
            cols = line.rstrip("\n").split("\t")
            if cols[0]:
                trees.append((float(cols[1]), index_value(cols[2]), index_value(cols[3]), []))
            else:
                trees[-1][3].append((float(cols[5]), index_value(cols[6]), index_value(cols[7])))
    return trees


def run_ours(vorn, tmp):
    """PScores of the random trees and of the HSearch trees, from the two score files."""
    commands = """#NEXUS
set warnreset=no maxtrees=20 increase=no;
execute data.nex;
gettrees file=random.tre;
pscores / ci ri single=all scorefile=random.txt replace;
hsearch;
savetrees file=hsearch.tre format=newick brlens=no replace;
pscores / ci ri single=all scorefile=hsearch.txt replace;
quit;
"""
    with open(os.path.join(tmp, "run.nex"), "w") as f:
        f.write(commands)
    res = subprocess.run([vorn, "-n", "run.nex"], cwd=tmp, capture_output=True, text=True, preexec_fn=cpu_limit(600))
    if res.returncode != 0 or "Error" in res.stdout:
        raise RuntimeError("vorn failed (%d): %s%s" % (res.returncode, res.stdout[-800:], res.stderr[-800:]))
    return {name: read_score_file(os.path.join(tmp, name + ".txt")) for name in ("random", "hsearch")}


def run_phangorn(tmp, kind):
    """Per-character bounds [(min, max)], and per tree file [(length, CI, RI, [char lengths])]."""
    res = subprocess.run(["Rscript", "-", kind, "data.nex", "random.tre", "hsearch.tre"], input=R_SCRIPT,
                         cwd=tmp, capture_output=True, text=True, preexec_fn=cpu_limit(600))
    if res.returncode != 0:
        raise RuntimeError("phangorn failed: " + res.stderr[-800:])
    bounds, trees = [], {"random": [], "hsearch": []}
    for line in res.stdout.splitlines():
        fields = line.split()
        if fields[0] == "BOUNDS":
            bounds = [tuple(float(x) for x in cell.split("/")) for cell in fields[1:]]
        elif fields[0] == "TREE":
            trees[fields[1][:-len(".tre")]].append(
                (float(fields[2]), float(fields[3]), float(fields[4]), [float(x) for x in fields[5:]]))
    return bounds, trees


def ratio(num, den):
    return num / den if den else math.nan


def expected_scores(trees, bounds, minima):
    """Reference (length, CI, RI, per character) from phangorn's lengths, its star-tree
    lengths and the least lengths given; phangorn's own CI and RI must follow from its bounds."""
    sum_min_ph = sum(m for m, _ in bounds)
    sum_max = sum(g for _, g in bounds)
    sum_min = sum(minima)
    out = []
    for length, ci, ri, chars in trees:
        if sum(chars) != length or len(chars) != len(bounds):
            raise AssertionError("phangorn: character lengths do not add up to the tree length")
        if not same_index(ci, ratio(sum_min_ph, length), 1e-9) or \
                not same_index(ri, ratio(sum_max - length, sum_max - sum_min_ph), 1e-9):
            raise AssertionError("phangorn: CI/RI do not follow from its bounds")
        per_char = [(x, ratio(m, x), ratio(g - x, g - m)) for x, m, (_, g) in zip(chars, minima, bounds)]
        out.append((length, ratio(sum_min, length), ratio(sum_max - length, sum_max - sum_min), per_char))
    return out


def same_index(ours, theirs, tolerance=INDEX_TOLERANCE):
    if math.isnan(ours) or math.isnan(theirs):
        return math.isnan(ours) and math.isnan(theirs)
    return abs(ours - theirs) <= tolerance


def compare(ours, expected):
    """Text of the first difference, or None."""
    if len(ours) != len(expected):
        return "%d trees here, %d in phangorn" % (len(ours), len(expected))
    for k, (a, b) in enumerate(zip(ours, expected), 1):
        if a[0] != b[0] or not same_index(a[1], b[1]) or not same_index(a[2], b[2]):
            return "tree %d: length/CI/RI %s here, %s expected" % (k, a[:3], b[:3])
        if len(a[3]) != len(b[3]):
            return "tree %d: %d characters here, %d in phangorn" % (k, len(a[3]), len(b[3]))
        for c, (x, y) in enumerate(zip(a[3], b[3]), 1):
            if x[0] != y[0] or not same_index(x[1], y[1]) or not same_index(x[2], y[2]):
                return "tree %d character %d: %s here, %s expected" % (k, c, x, y)
    return None


def datasets(rng):
    for name in ("tests/dna.data", "infile"):
        path = os.path.join(base.EXAMPLES, name)
        if os.path.exists(path):
            yield "phylip " + name, "dna", base.read_phylip(path)
    for ntax, nchar in ((10, 200), (25, 500), (40, 1000)):
        yield "simulated DNA %dx%d" % (ntax, nchar), "dna", base.simulate(rng, ntax, nchar)
    yield "ambiguity-heavy DNA 12x300", "dna", simulate_ambiguous(rng, 12, 300)
    for ntax, nchar in ((15, 40), (30, 120)):
        yield "simulated 0/1 %dx%d" % (ntax, nchar), "binary", simulate_binary(rng, ntax, nchar)


def check_dataset(vorn, rng, name, kind, seqs):
    """Number of mismatching tree sources (0 to 2); prints one line per source."""
    bits, nstates, _ = KINDS[kind]
    with tempfile.TemporaryDirectory(prefix="vorn-phangorn-") as tmp:
        write_nexus(os.path.join(tmp, "data.nex"), kind, seqs)
        with open(os.path.join(tmp, "random.tre"), "w") as f:
            for _ in range(TREES_PER_SET):
                f.write(base.named(base.random_tree(rng, len(seqs)), len(seqs)) + "\n")
        ours = run_ours(vorn, tmp)
        bounds, theirs = run_phangorn(tmp, kind)
    minima = [exact_min_length([s[c] for s in seqs], bits, nstates) for c in range(len(seqs[0]))]
    if any(exact > m for exact, (m, _) in zip(minima, bounds)):
        raise AssertionError("%s: a least length above phangorn's bound" % name)
    greedy = sum(exact < m for exact, (m, _) in zip(minima, bounds))
    note = " (%d characters with phangorn's greedy least length above the exact one)" % greedy if greedy else ""
    failures = 0
    for source in ("random", "hsearch"):
        problem = compare(ours[source], expected_scores(theirs[source], bounds, minima))
        if problem:
            failures += 1
            print("MISMATCH %s, %s trees: %s" % (name, source, problem))
        else:
            rows = ours[source]
            print("ok %s, %d %s trees: lengths %s, CI %s, RI %s%s" % (
                name, len(rows), source, " ".join("%g" % t[0] for t in rows),
                " ".join("%.4f" % t[1] for t in rows), " ".join("%.4f" % t[2] for t in rows), note))
    return failures


def main():
    if len(sys.argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    if not phangorn_available():
        print("R or phangorn not installed; skipped")
        return 77
    vorn = os.path.abspath(sys.argv[1])
    rng = random.Random(1871)
    failures = sum(check_dataset(vorn, rng, name, kind, seqs) for name, kind, seqs in datasets(rng))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
