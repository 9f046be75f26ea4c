"""Compares what our data-block reader reads (through the datadump tool)
with what DendroPy's NEXUS reader reads from the same files: the taxon
labels, the number of characters and the states of every cell.

Usage: nexus_data_vs_dendropy.py DATADUMP EXAMPLES_DIR

Every .nex file of the examples folder that holds a character matrix is
compared, then generated DNA, protein and standard matrices (fixed seed)
written plain and interleaved, with missing data, gaps, IUPAC codes and
polymorphic and uncertain cells.

A cell compares as "-" (gap), "?" (missing) or the sorted upper-case symbols
of its states. DendroPy's missing symbol also stands for the gap; it is "?"
here as in ours. DendroPy's protein alphabet has a stop state "*" that ours
has not (its X includes it): "*" is dropped from its sets.

Exit status: 0 agreement, 1 a difference, 77 DendroPy is not available.
"""

import os
import random
import subprocess
import sys
import tempfile

try:
    import dendropy
except ImportError:
    sys.exit(77)


def ours(tool, path):
    run = subprocess.run([tool, path], capture_output=True, text=True)
    if run.returncode != 0:
        return None, run.stderr
    lines = run.stdout.splitlines()
    ntax = int(lines[0].split("\t")[1])
    nchar = int(lines[1].split("\t")[1])
    rows = [line.split("\t") for line in lines[2:2 + ntax]]
    return (nchar, [(r[0], r[1:]) for r in rows]), ""


def theirs(path, kind):
    cls = {"dna": dendropy.DnaCharacterMatrix, "protein": dendropy.ProteinCharacterMatrix,
           "standard": dendropy.StandardCharacterMatrix}[kind]
    matrix = cls.get(path=path, schema="nexus")
    alphabet = matrix.default_state_alphabet
    missing = {"?"}
    rows = []
    for taxon in matrix.taxon_namespace:
        cells = []
        for state in matrix[taxon]:
            symbol = state.symbol
            if symbol == "-":
                cells.append("-")
            elif symbol in missing:
                cells.append("?")
            else:
                fundamental = sorted({s.symbol.upper() for s in state.fundamental_states
                                      if s.symbol not in ("-", "*")})
                cells.append("".join(fundamental))
        rows.append((taxon.label, cells))
    nchar = len(matrix[matrix.taxon_namespace[0]])
    del alphabet
    return nchar, rows


def kind_of(text):
    low = text.lower()
    if "datatype=dna" in low.replace(" ", ""):
        return "dna"
    if "datatype=protein" in low.replace(" ", ""):
        return "protein"
    return "standard"


def normalise(kind, cells, symbols_order):
    out = []
    for c in cells:
        if c not in ("-", "?"):
            c = "".join(sorted(c, key=symbols_order.index)) if all(
                x in symbols_order for x in c) else "".join(sorted(c))
        out.append(c)
    return out


ORDER = {"dna": "ACGT", "protein": "ARNDCQEGHILKMFPSTWYV", "standard": "0123456789"}


def compare(tool, path):
    text = open(path, encoding="utf-8").read()
    if "matrix" not in text.lower():
        return []
    kind = kind_of(text)
    mine, err = ours(tool, path)
    if mine is None:
        return ["%s: our reader refused it: %s" % (path, err.strip())]
    other = theirs(path, kind)
    problems = []
    if mine[0] != other[0]:
        problems.append("%s: nchar %d, DendroPy %d" % (path, mine[0], other[0]))
    if [r[0] for r in mine[1]] != [r[0] for r in other[1]]:
        problems.append("%s: taxa %s, DendroPy %s" % (path, [r[0] for r in mine[1]],
                                                       [r[0] for r in other[1]]))
    order = ORDER[kind]
    for (label, a), (_, b) in zip(mine[1], other[1]):
        a, b = normalise(kind, a, order), normalise(kind, b, order)
        for i, (x, y) in enumerate(zip(a, b)):
            if x != y:
                problems.append("%s: %s character %d: ours %r, DendroPy %r" % (path, label, i + 1, x, y))
                break
    return problems


CELLS = {
    "dna": ["A", "C", "G", "T", "a", "g", "R", "y", "N", "?", "-", "{AG}", "(CT)", "{A C G}"],
    "protein": ["A", "R", "N", "D", "C", "W", "y", "v", "X", "B", "?", "-", "{DE}", "(KR)"],
    "standard": ["0", "1", "2", "3", "?", "-", "(01)", "{12}", "(0 3)", "{023}"],
}


def generated(rng, kind, interleave):
    ntax, nchar = rng.randint(3, 9), rng.randint(5, 60)
    plain = {"dna": "ACGT", "protein": "ACDEFGHIKLMNPQRSTVWY", "standard": "0123"}[kind]
    rows = [[rng.choice(plain) if rng.random() < 0.7 else rng.choice(CELLS[kind])
             for _ in range(nchar)] for _ in range(ntax)]
    fmt = "datatype=%s gap=- missing=?" % kind
    if kind == "standard":
        fmt += ' symbols="0123"'
    if interleave:
        fmt += " interleave"
    out = ["#NEXUS", "begin data;", " dimensions ntax=%d nchar=%d;" % (ntax, nchar),
           " format %s;" % fmt, "matrix"]
    width = rng.randint(1, 20) if interleave else nchar
    for start in range(0, nchar, width):
        for t, row in enumerate(rows):
            out.append("taxon_%d  %s" % (t, "".join(row[start:start + width])))
        out.append("")
    out += [";", "end;"]
    return "\n".join(out) + "\n"


def main():
    tool, examples = sys.argv[1], sys.argv[2]
    problems = []
    checked = 0
    for name in sorted(os.listdir(examples)):
        if name.endswith(".nex"):
            problems += compare(tool, os.path.join(examples, name))
            checked += 1
    rng = random.Random(20261206)
    with tempfile.TemporaryDirectory() as tmp:
        for n in range(60):
            kind = ("dna", "protein", "standard")[n % 3]
            path = os.path.join(tmp, "gen%d.nex" % n)
            with open(path, "w") as f:
                f.write(generated(rng, kind, n % 2 == 1))
            found = compare(tool, path)
            if found:
                found.append(open(path).read())
            problems += found
            checked += 1
    for p in problems[:20]:
        print(p)
    print("%d files compared, %d differences" % (checked, len(problems)))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
