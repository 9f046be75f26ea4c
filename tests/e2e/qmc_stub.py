#!/usr/bin/python3
"""QSearch method=QMC against a stand-in program: the quartet file in the
order the program expects (last taxon outermost, the three topologies of
each quartet in turn), weights with ten decimals and " weights=on" only for
weighted data, the tree the program writes stored, the temporary directory
kept after success and failure, a failing program's return code, and the
same program serving Astral and SVDQuartets with method=QMC."""
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile

from vorn_run import cpu_limit, splits

TAXA = "begin taxa; dimensions ntax=6; taxlabels A B C D E F; end;\n"
# Quartets as (a, b, c, d, weight) meaning ab|cd, taxa counted from 1.
WEIGHTED = [(1, 2, 3, 4, 1.0), (1, 3, 2, 4, 0.5), (1, 4, 2, 3, 0.25), (2, 6, 3, 5, 2.0), (1, 2, 5, 6, 1.5),
            (3, 4, 5, 6, 0.125), (1, 5, 2, 6, 3.0)]
STUB = """#!/bin/sh
echo "$@" > "$QMC_STUB_OUT/args"
pwd > "$QMC_STUB_OUT/dir"
cp vorndata.txt "$QMC_STUB_OUT/" || exit 8
echo "((1,2),3,(4,(5,6)));" > qmctree.txt
echo "stand-in done"
"""
FAIL_STUB = """#!/bin/sh
pwd > "$QMC_STUB_OUT/dir"
exit 3
"""


def expected_lines(quartets, weighted):
    """The file as the program reads it, computed from the topology of each
    quartet rather than from the program's loops."""
    def topology(a, b, c, d):
        q = sorted((a, b, c, d))
        pair = {frozenset((a, b)), frozenset((c, d))}
        for k, (x, y) in enumerate(((q[1], q[0]), (q[2], q[0]), (q[3], q[0]))):
            if frozenset((x, y)) in pair:
                return tuple(q), k
    cells = {}
    for a, b, c, d, w in quartets:
        q, k = topology(a, b, c, d)
        cells.setdefault(q, [0.0, 0.0, 0.0])[k] = w
    lines = []
    for q in sorted(cells, key=lambda q: (q[3], q[2], q[1], q[0])):
        a, b, c, d = q
        for k, text in enumerate(("%d,%d|%d,%d" % (a, b, c, d), "%d,%d|%d,%d" % (a, c, b, d),
                                  "%d,%d|%d,%d" % (a, d, b, c))):
            if cells[q][k]:
                lines.append(text + (":%.10f" % cells[q][k] if weighted else ""))
    return lines


def kept_directory(tmp, name="vorndata.txt"):
    """The program's working directory is still there with the file in it;
    removed here so that the next run is judged alone."""
    path = read(tmp, "dir").strip()
    kept = path.startswith("/tmp/vorn.") and os.path.isfile(os.path.join(path, name))
    if path.startswith("/tmp/vorn."):
        shutil.rmtree(path, ignore_errors=True)
    return kept


def svdq_matrix():
    """Six DNA sequences, 300 sites, A-F as taxa."""
    r = random.Random(9)
    seqs = {t: [r.choice("ACGT") for _ in range(300)] for t in "ABCDEF"}
    return ("begin data; dimensions ntax=6 nchar=300; format datatype=dna; matrix\n%s\n; end;\n"
            % "\n".join("%s %s" % (t, "".join(s)) for t, s in seqs.items()))


def run(vorn, tmp, text):
    path = os.path.join(tmp, "m.nex")
    with open(path, "w") as f:
        f.write(text)
    env = {k: v for k, v in os.environ.items() if k not in ("HOME", "COLUMNS", "LINES")}
    env["HOME"] = tmp
    env["QMC_STUB_OUT"] = os.path.join(tmp, "got")
    r = subprocess.run([vorn, "-n", path], cwd=tmp, env=env, stdin=subprocess.DEVNULL, capture_output=True,
                       text=True, preexec_fn=cpu_limit(120))
    return r.stdout + r.stderr


def read(tmp, name):
    with open(os.path.join(tmp, "got", name)) as f:
        return f.read()


def main():
    vorn = sys.argv[1]
    failures = []
    with tempfile.TemporaryDirectory() as tmp:
        os.mkdir(os.path.join(tmp, "got"))
        os.mkdir(os.path.join(tmp, "bin"))
        for name, text in (("bin/qmcstub", STUB), ("bin/qmcfail", FAIL_STUB)):
            with open(os.path.join(tmp, name), "w") as f:
                f.write(text)
            os.chmod(os.path.join(tmp, name), 0o755)
        for weighted in (True, False):
            qlist = " ".join("%d,%d|%d,%d" % q[:4] + (":%g" % q[4] if weighted else "") for q in WEIGHTED)
            out = run(vorn, tmp, "#NEXUS\n" + TAXA + "begin quartets; qlist %s; end;\n" % qlist +
                      "begin vorn; qsearch method=QMC startQMC=bin/qmcstub localSearch=none;\n"
                      "savetrees file=q.tre format=newick replace; end;\n")
            if "| stand-in done" not in out or "Tree from QMC quartet assembly:" not in out:
                print(out)
                failures.append("weighted=%s: no QMC run and tree" % weighted)
                continue
            got = read(tmp, "vorndata.txt").splitlines()
            want = expected_lines(WEIGHTED, weighted)
            if got != want:
                failures.append("weighted=%s quartet file:\n%s\nexpected:\n%s" % (weighted, got, want))
            args = read(tmp, "args").split()
            want_args = ["qrtt=vorndata.txt", "otre=qmctree.txt"] + (["weights=on"] if weighted else [])
            if args != want_args:
                failures.append("weighted=%s arguments %r" % (weighted, args))
            if not kept_directory(tmp):
                failures.append("temporary directory not kept")
            with open(os.path.join(tmp, "q.tre")) as f:
                tree = set(splits(f.read()))
            # ((1,2),3,(4,(5,6))): each group as the side without A
            want_tree = {frozenset("CDEF"), frozenset("EF"), frozenset("DEF")}
            if {s for s in tree if 1 < len(s) < 5} != want_tree:
                failures.append("stored tree %r" % tree)

        out = run(vorn, tmp, "#NEXUS\n" + TAXA + "begin quartets; qlist 1,2|3,4 1,2|5,6; end;\n"
                  "begin vorn; qsearch method=QMC startQMC=bin/qmcfail; end;\n")
        if "QMC search failed, return code = 3" not in out or not kept_directory(tmp, "vorndata.txt"):
            failures.append("failing program:\n%s" % out)

        # Astral and SVDQuartets hand their quartets to the same program and
        # keep the tree it writes.
        genes = "".join("tree g%d = [&U] %s;\n" % (i, t) for i, t in enumerate(
            ("((A,B),(C,D),(E,F));", "((A,B),C,(D,(E,F)));", "((A,C),B,(D,(E,F)));")))
        dna = svdq_matrix()
        for label, text in (("Astral", TAXA + "begin trees;\n" + genes + "end;\nbegin vorn; defaults qsearch "
                             "method=QMC startQMC=bin/qmcstub; astral; savetrees file=q.tre format=newick "
                             "replace; end;\n"),
                            ("SVDQuartets", dna + "begin vorn; defaults qsearch method=QMC startQMC=bin/qmcstub; "
                             "svdquartets evalQuartets=all; savetrees file=q.tre format=newick replace; end;\n")):
            os.remove(os.path.join(tmp, "got", "vorndata.txt"))
            out = run(vorn, tmp, "#NEXUS\n" + text)
            lines = read(tmp, "vorndata.txt").splitlines()
            with open(os.path.join(tmp, "q.tre")) as f:
                tree = {s for s in splits(f.read()) if 1 < len(s) < 5}
            if ("| stand-in done" not in out or "not available" in out or not lines or
                    tree != {frozenset("CDEF"), frozenset("EF"), frozenset("DEF")} or
                    not kept_directory(tmp, "qmctree.txt")):
                failures.append("%s with QMC: %d quartet lines, tree %r\n%s" % (label, len(lines), tree, out))
        out = run(vorn, tmp, "#NEXUS\n" + TAXA + "begin quartets; qlist 1,2|3,4 1,2|5,6; end;\n"
                  "begin vorn; qsearch method=QMC; end;\n")
        if "The program for QSearch was not found (tried \"qmc\")." not in " ".join(out.split()):
            failures.append("missing program:\n%s" % out)
    for f in failures:
        print("FAIL:", f)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
