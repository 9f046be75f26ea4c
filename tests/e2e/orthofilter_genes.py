#!/usr/bin/python3
"""OrthoFilter on genes simulated here for six taxa A-F, constraint ((A,B,C)):
- g1: A, B, C and D, E, F in two distant groups (compatible: kept as is);
- g2: F a near copy of B (its UPGMA tree puts F inside ABC; removing F
  satisfies the constraint: kept, F's cells of g2 alone set to missing);
- g3: only A and B hold data (too few taxa: excluded);
- g4: E and F both near copies of A (no single removal helps; with
  maxParaRem=2 the pair is removed, with 1 the gene is excluded).
The exported matrix shows exactly which cells became missing; the summary
counts and the excluded characters follow the rows. With compact storage
paralog removal is refused and nothing changes.
Usage: orthofilter_genes.py <vorn>
"""
import os
import random
import re
import sys
import tempfile
import subprocess
from vorn_run import cpu_limit

N = 60
TAXA = "ABCDEF"


def mutate(rng, s, p):
    return "".join(c if rng.random() > p else rng.choice("ACGT") for c in s)


def genes():
    rng = random.Random(7)

    def two_groups():
        root = "".join(rng.choice("ACGT") for _ in range(N))
        x, y = mutate(rng, root, 0.3), mutate(rng, root, 0.3)
        return {"A": mutate(rng, x, 0.05), "B": mutate(rng, x, 0.05), "C": mutate(rng, x, 0.08),
                "D": mutate(rng, y, 0.05), "E": mutate(rng, y, 0.05), "F": mutate(rng, y, 0.08)}
    g1 = two_groups()
    g2 = two_groups()
    g2["F"] = mutate(rng, g2["B"], 0.02)
    g3 = {t: "?" * N for t in TAXA}
    root = "".join(rng.choice("ACGT") for _ in range(N))
    g3["A"], g3["B"] = mutate(rng, root, 0.1), mutate(rng, root, 0.1)
    g4 = two_groups()
    g4["E"], g4["F"] = mutate(rng, g4["A"], 0.02), mutate(rng, g4["A"], 0.03)
    return [g1, g2, g3, g4]


def run(vorn, storage, options):
    gs = genes()
    matrix = "".join("  %s %s\n" % (t, "".join(g[t] for g in gs)) for t in TAXA)
    text = ("#NEXUS\nset datastorage=%s;\nbegin data; dimensions ntax=6 nchar=%d; format datatype=dna missing=?;\n"
            "matrix\n%s;\nend;\nbegin vorn;\n"
            "charpartition genes = g1: 1-60, g2: 61-120, g3: 121-180, g4: 181-240;\n"
            "constraints abc = ((A,B,C));\ndset distance=jc;\n"
            "orthofilter partition=genes constraints=abc %s;\n"
            "include all;\nexport file=after.nex format=nexus replace;\nend;\nquit;\n" % (storage, 4 * N, matrix, options))
    with tempfile.TemporaryDirectory(prefix="vorn-oflt-") as tmp:
        with open(os.path.join(tmp, "m.nex"), "w") as f:
            f.write(text)
        env = {k: v for k, v in os.environ.items() if k not in ("HOME", "COLUMNS", "LINES")}
        env["HOME"] = tmp
        with open(os.devnull) as devnull:
            done = subprocess.run([vorn, "-n", "m.nex"], cwd=tmp, env=env, stdin=devnull, capture_output=True,
                                  text=True, preexec_fn=cpu_limit(120))
        after = None
        if os.path.exists(os.path.join(tmp, "after.nex")):
            with open(os.path.join(tmp, "after.nex")) as f:
                after = f.read()
    return gs, done, after


def exported_rows(text):
    """Rows of the exported matrix; a row's continuation lines are indented."""
    rows, last = {}, None
    body = text[text.lower().index("matrix"):]
    for line in body.splitlines()[1:]:
        m = re.match(r"^'?([A-F])'?\s+([ACGT?\-]+)\s*$", line)
        if m:
            last = m.group(1)
            rows[last] = m.group(2)
        elif last and re.match(r"^\s+[ACGT?\-]+\s*$", line):
            rows[last] += line.strip()
    return rows


def table(out):
    rows = {}
    for line in out.splitlines():
        m = re.match(r"^(g\d)\s+(\d+)\s+(\d+)(.*)$", line)
        if m:
            rows[m.group(1)] = (int(m.group(2)), int(m.group(3)), m.group(4).split())
    return rows


def main():
    vorn = sys.argv[1]
    failures = []

    def check(ok, what):
        if not ok:
            failures.append(what)

    for para, g4_row, kept, excluded_genes in ((1, ["Y", "Y"], 1, ["g3", "g4"]), (2, ["Y", "2"], 2, ["g3"])):
        gs, done, after = run(vorn, "full", "maxParaRem=%d" % para)
        out = done.stdout
        rows = table(out)
        want = {"g1": (60, 6, []), "g2": (60, 6, ["Y", "1"]), "g3": (60, 2, ["Y", "Y"]), "g4": (60, 6, g4_row)}
        check(rows == want, "maxParaRem=%d rows %s, expected %s\n%s" % (para, rows, want, out[-2500:]))
        summary = ["Partition 'genes' has 4 subsets", "2 partition subset(s) incompatible with constraints:",
                   "%d partition subset(s) kept after setting data for inferred paralogs to \"missing\"" % kept,
                   "1 partition subset(s) excluded due to having too few non-missing taxa",
                   "%d total character(s) excluded" % (60 * len(excluded_genes)),
                   "%d sites remain included" % (240 - 60 * len(excluded_genes))]
        for line in summary:
            check(line in out, "maxParaRem=%d: no line %r" % (para, line))
        check(after is not None, "no exported matrix")
        if after is None:
            continue
        got = exported_rows(after)
        # F alone leaves g2, and only there; in g4 the two taxa drawn among
        # the pairs that satisfy the constraint (none under maxParaRem=1).
        gone = {t for t in TAXA if got.get(t, "")[3 * N:] == "?" * N}
        expect = {t: gs[0][t] + ("?" * N if t == "F" else gs[1][t]) + gs[2][t] +
                  ("?" * N if t in gone else gs[3][t]) for t in TAXA}
        check(got == expect, "maxParaRem=%d: exported matrix differs at %s" %
              (para, [(t, i) for t in TAXA for i in range(4 * N) if got.get(t, "")[i:i + 1] != expect[t][i]][:10]))
        check(len(gone) == (2 if para == 2 else 0), "maxParaRem=%d: g4 lost %s" % (para, sorted(gone)))

    # Compact storage cannot take paralogs out: refused before any change.
    gs, done, after = run(vorn, "compact", "maxParaRem=1")
    check("Removal of inferred paralogs (maxParaRem > 0) is not allowed when using compact data storage." in
          done.stdout + done.stderr, "compact storage not refused:\n" + done.stdout[-1500:])
    check("Results of orthology filtering" not in done.stdout, "compact storage ran the filter")

    for f in failures:
        print("FAIL:", f)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
