#!/usr/bin/python3
"""PatternFreq counts what the matrix holds.

A random DNA matrix with missing cells, gaps, ambiguities and repeated
columns, some characters excluded and the last taxon deleted, is run
through PatternFreq; every table row must be a distinct column of the
included characters over the remaining taxa with the number of included
characters that show it and count/N, and the totals line N and 1.
The counts are made here from the matrix itself.

Usage: patternfreq_counts.py <vorn>
"""
import collections
import random
import re
import sys

from vorn_run import run_vorn

NTAX, NCHAR = 6, 120
rng = random.Random(48)
# Few distinct columns, so that many repeat; '?', '-' and 'R' all show '-'.
pool = ["".join(rng.choice("AACCGGTT?-R") for _ in range(NTAX)) for _ in range(25)]
columns = [rng.choice(pool) for _ in range(NCHAR)]
excluded = set(rng.sample(range(NCHAR), 30))

rows = ["".join(col[t] for col in columns) for t in range(NTAX)]
matrix = "\n".join("t%d %s" % (t + 1, rows[t]) for t in range(NTAX))
nexus = """#NEXUS
begin data; dimensions ntax=%d nchar=%d; format datatype=dna missing=? gap=-;
matrix
%s
;
end;
begin vorn; exclude %s; delete t%d; patternfreq; quit; end;
""" % (NTAX, NCHAR, matrix, " ".join(str(c + 1) for c in sorted(excluded)), NTAX)

def shown(col):
    return "".join(ch if ch in "ACGT" else "-" for ch in col[:NTAX - 1])

expected = collections.Counter(shown(columns[c]) for c in range(NCHAR) if c not in excluded)
n = sum(expected.values())

run = run_vorn(sys.argv[1], nexus)

faults = []
if run.returncode != 0:
    faults.append("status %d: %s" % (run.returncode, run.stderr))
got = {}
totals = None
for line in run.stdout.splitlines():
    m = re.match(r"^\s+(\d+)    ([ACGT-]{%d})\s+(\d+)\s+(\d+\.\d{8})$" % (NTAX - 1), line)
    if m:
        # Distinct stored columns may print alike ('?', '-' and 'R').
        count, freq = got.get(m.group(2), (0, 0.0))
        got[m.group(2)] = (count + int(m.group(3)), freq + float(m.group(4)))
    m = re.match(r"^\s+totals\s+(\d+)\s+(\d+\.\d{8})$", line)
    if m:
        totals = (int(m.group(1)), float(m.group(2)))
if set(got) != set(expected):
    faults.append("patterns differ: %s" % sorted(set(got) ^ set(expected)))
for pat, count in expected.items():
    if pat in got and got[pat][0] != count:
        faults.append("%s: count %d, expected %d" % (pat, got[pat][0], count))
    if pat in got and abs(got[pat][1] - count / n) > 2e-8:
        faults.append("%s: frequency %.8f, expected %.8f" % (pat, got[pat][1], count / n))
if totals is None or totals[0] != n or abs(totals[1] - 1.0) > 1e-8:
    faults.append("totals %s, expected %d and 1" % (totals, n))
if faults:
    print(run.stdout)
    print("\n".join(faults))
    sys.exit(1)
print("%d patterns of %d included characters as counted" % (len(got), n))
