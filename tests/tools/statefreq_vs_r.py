#!/usr/bin/python3
"""StateFreq's chi-square test of homogeneity against R's chisq.test.

Random DNA matrices (3-12 taxa, 20-300 sites) with missing cells, gaps, an
occasional all-missing taxon and ambiguity codes (N among them: a cell of any
base, shared like the others). The expected cell counts
are worked out here (each ambiguous cell shared among its bases by the
taxon's frequencies until they settle); R's chisq.test, without continuity
correction, gives the statistic and P from them over the taxa that have
counted cells and the states that were seen. The program's printed
statistic, df and P must agree. Skipped (77) without Rscript.
"""
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile

IUPAC = {'A': 'A', 'C': 'C', 'G': 'G', 'T': 'T', 'R': 'AG', 'Y': 'CT', 'M': 'AC', 'K': 'GT',
         'S': 'CG', 'W': 'AT', 'N': 'ACGT'}


def taxon_counts(row):
    """Expected counts of A, C, G, T for one taxon (None when nothing counts)."""
    cells = [IUPAC[c] for c in row if c in IUPAC]
    if not cells:
        return None
    f = {b: 0.25 for b in 'ACGT'}
    for _ in range(2000):
        counts = {b: 0.0 for b in 'ACGT'}
        for bases in cells:
            share = sum(f[b] for b in bases)
            for b in bases:
                counts[b] += f[b] / share
        total = sum(counts.values())
        new = {b: counts[b] / total for b in 'ACGT'}
        change = sum(abs(new[b] - f[b]) for b in 'ACGT')
        f = new
        if change < 1e-13:
            break
    return [counts[b] for b in 'ACGT']


def random_matrix(rng):
    ntax, nchar = rng.randint(3, 12), rng.randint(20, 300)
    rows = []
    for t in range(ntax):
        bias = [rng.random() + 0.2 for _ in range(4)]
        row = ''.join(rng.choices('ACGT', weights=bias, k=nchar))
        row = ''.join(rng.choice('??-RYMKSWN') if rng.random() < 0.08 else c for c in row)
        rows.append(row)
    if rng.random() < 0.3:
        rows[rng.randrange(ntax)] = '?' * nchar
    return rows


def main():
    if len(sys.argv) != 2:
        sys.exit('usage: statefreq_vs_r.py <vorn>')
    rscript = shutil.which('Rscript')
    if not rscript:
        print('Rscript not found: skipped')
        return 77
    rng = random.Random(145)
    matrices = [random_matrix(rng) for _ in range(40)]
    with tempfile.TemporaryDirectory() as work:
        nexus = ['#nexus']
        for rows in matrices:
            nexus.append('begin data; dimensions ntax=%d nchar=%d; format datatype=dna gap=-; matrix'
                         % (len(rows), len(rows[0])))
            nexus += ['t%d %s' % (i + 1, r) for i, r in enumerate(rows)]
            nexus += [';', 'end;', 'statefreq;']
        path = os.path.join(work, 'm.nex')
        with open(path, 'w') as f:
            f.write('\n'.join(nexus) + '\n')
        out = subprocess.run([sys.argv[1], '-n', path], capture_output=True, text=True, cwd=work).stdout
        ours = re.findall(r'Chi-square = (\S+) \(df=(\d+)\), P = (\S+)', out)
        if len(ours) != len(matrices):
            print('expected %d test results, found %d' % (len(matrices), len(ours)))
            return 1

        script = ['options(digits=17)']
        for rows in matrices:
            table = [c for c in (taxon_counts(r) for r in rows) if c is not None]
            seen = [k for k in range(4) if sum(c[k] for c in table) > 0]
            values = ','.join(repr(c[k]) for c in table for k in seen)
            script.append('r <- suppressWarnings(chisq.test(matrix(c(%s), nrow=%d, byrow=TRUE), correct=FALSE))'
                          % (values, len(table)))
            script.append('cat(r$statistic, r$parameter, r$p.value, "\\n")')
        rpath = os.path.join(work, 'chisq.R')
        with open(rpath, 'w') as f:
            f.write('\n'.join(script) + '\n')
        peer = subprocess.run([rscript, rpath], capture_output=True, text=True, check=True).stdout.split('\n')

    failures = 0
    for i, ((stat, df, p), line) in enumerate(zip(ours, peer)):
        rstat, rdf, rp = (float(x) for x in line.split())
        ok = (int(df) == int(rdf) and abs(float(stat) - rstat) <= 1e-5 * max(1.0, rstat) + 1e-6
              and abs(float(p) - rp) <= 2e-7)
        if not ok:
            failures += 1
            print('matrix %d: ours %s (df=%s) P=%s, R %.6f (df=%d) P=%.8f' % (i, stat, df, p, rstat, int(rdf), rp))
    print('%d matrices, %d disagreements with R chisq.test' % (len(matrices), failures))
    return 1 if failures else 0


if __name__ == '__main__':
    sys.exit(main())
