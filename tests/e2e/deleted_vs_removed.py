#!/usr/bin/python3
"""Every analysis run once on data with its last taxon deleted, its last
character excluded and one character weighted must print what the same
analysis prints on the file with that taxon and that character left out and
the weighted column written out as often as its weight: the same numbers,
lists and tables. Tables sized for all taxa, counts that ignore weights and
lists numbered by file position show here.

Usage: deleted_vs_removed.py <vorn> [group ...]
"""
import difflib
import os
import random
import re
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from vorn_run import cpu_limit  # noqa: E402

NTAX, NCHAR = 8, 40


def sequences(seed):
    rng = random.Random(seed)
    base = [rng.choice("ACGT") for _ in range(NCHAR)]
    rows = []
    for _ in range(NTAX):
        rows.append("".join(rng.choice("ACGT") if rng.random() < 0.35 else b for b in base))
    return rows


def weighted_files(group, seed):
    """Character 3 weighted 2, and the same data with column 3 written out a
    second time at the end (so that every other character keeps its
    number)."""
    rows = sequences(seed)
    names = ["t%d" % (i + 1) for i in range(NTAX)]
    tree = "((t1,t2),(t3,(t4,t5)),(t6,(t7,t8)))"

    def data(cols):
        body = "\n".join("  %s %s" % (names[i], "".join(rows[i][c] for c in cols)) for i in range(NTAX))
        return ("begin data; dimensions ntax=%d nchar=%d; format datatype=dna; matrix\n%s\n;\nend;\n"
                % (NTAX, len(cols), body))

    head = "set warnreset=no warntree=no;\n"
    trees = "begin trees; tree t1 = [&U] %s; end;\n" % tree
    a = "#NEXUS\n" + data(range(NCHAR)) + head + "wts 2: 3;\n" + trees + group
    b = "#NEXUS\n" + data(list(range(NCHAR)) + [2]) + head + trees + group
    return a, b


def files(group, seed, gone=NTAX):
    """The command file with taxon `gone` deleted and the last character
    excluded, and the one with them left out of the file."""
    rows = sequences(seed)
    names = ["t%d" % (i + 1) for i in range(NTAX)]
    tree_a = "((t1,t2),(t3,(t4,t5)),(t6,(t7,t8)))"
    tree_b = {NTAX: "((t1,t2),(t3,(t4,t5)),(t6,t7))", 3: "((t1,t2),(t4,t5),(t6,(t7,t8)))"}[gone]

    def data(keep_rows, cols):
        body = "\n".join("  %s %s" % (names[i], "".join(rows[i][c] for c in cols)) for i in keep_rows)
        return ("begin data; dimensions ntax=%d nchar=%d; format datatype=dna; matrix\n%s\n;\nend;\n"
                % (len(keep_rows), len(cols), body))

    full = data(range(NTAX), range(NCHAR))
    a = ("#NEXUS\n" + full + "set warnreset=no warntree=no;\ndelete t%d; exclude %d;\n"
         "begin trees; tree t1 = [&U] %s; end;\n%s" % (gone, NCHAR, tree_a, group))
    # Column 3 written twice stands for its weight 2: appended at the end so
    # that every other character keeps its number.
    cols = list(range(NCHAR - 1))
    b = ("#NEXUS\n" + data([i for i in range(NTAX) if i != gone - 1], cols) + "set warnreset=no warntree=no;\n"
         "begin trees; tree t1 = [&U] %s; end;\n%s" % (tree_b, group))
    return a, b


GROUPS = {
    "pscores": "pscores 1 / ci ri rc hi gfit;\n",
    "describe": "describetrees 1 / plot=none brlens chglist apolist patristic fvalue homoplasy;\n",
    "describe-xout": "describetrees 1 / plot=phylogram xout=internal;\n",
    "mprsets": "mprsets 1;\nreconstruct 1;\n",
    "cstatus": "cstatus full;\n",
    "hsearch": "hsearch;\npscores all;\ncontree all / strict majrule;\n",
    "alltrees": "alltrees fd=barchart;\n",
    "bandb": "bandb;\ncontree all / adams;\n",
    "treedist": "generatetrees random ntrees=4 seed=3;\ntreedist;\n",
    "bootstrap": "bootstrap nreps=10 seed=5 grpfreq=yes;\n",
    "jackknife": "jackknife nreps=10 seed=5 grpfreq=yes;\n",
    "showdist": "set criterion=distance;\ndset distance=k2p;\nshowdist;\n",
    "nj": "set criterion=distance;\ndset distance=k2p;\nnj brlens;\ndscores 1;\n",
    "upgma": "set criterion=distance;\nupgma brlens;\n",
    "dsearch": "set criterion=distance;\nhsearch;\ndscores all;\n",
    "lscores": "set criterion=likelihood;\nlset nst=2 tratio=estimate rates=gamma shape=estimate;\nlscores 1;\n",
    "lik-describe": "set criterion=likelihood;\ndescribetrees 1 / plot=none brlens xout=internal;\n",
    "lik-sites": "set criterion=likelihood;\nlscores 1 / sitelikes;\n",
    "lik-search": "set criterion=likelihood;\nhsearch start=nj swap=nni;\nlscores all;\n",
    "automodel": "set criterion=likelihood;\nautomodel modelset=j3 AIC=yes AICc=no BIC=no lset=no;\n",
    "patfit": "set criterion=likelihood;\npatfittest 1;\n",
    "topotests": "set criterion=likelihood;\ngeneratetrees random ntrees=3 seed=3;\nlscores all / khtest=bootstrap shtest=yes bootreps=200 seed=2;\n",
    "puzzle": "puzzle npuzzles=50 seed=3;\n",
    "qscores": "svdquartets evalq=all seed=1;\n",
    "condense": "hsearch;\ncondense;\n",
    "permute": "permute nreps=10 pseed=2;\n",
    "agree": "generatetrees random ntrees=3 seed=3;\nagree all;\n",
    "reweight": "hsearch;\nreweight;\npscores 1;\n",
}

DROP_BLOCKS = ("Taxon-deletion status changed:", "Character-exclusion status changed:",
               "Character-weight status changed:")
DROP_LINES = re.compile(r"^([A-Z][a-z]{2} [A-Z][a-z]{2} [ \d]\d \d\d:\d\d:\d\d \d{4}$|Processing of (input )?file|Data matrix has|Note: Deleted taxa in tree descriptions"
                        r"|\s*1 character is excluded|.*[Tt]ime used|\s*Time used|Execution terminated|"
                        r".*deleted\)?$|\s*No characters are excluded|%d\s.* X )" % NCHAR)
SUBST = [
    (re.compile(r"\(included\) "), ""),
    (re.compile(r"first nondeleted taxon"), "first taxon"),
    (re.compile(r"Of the remaining (\d+) included characters"), r"Of \1 total characters"),
    (re.compile(r"\d+\.\d+ sec"), "<t> sec"),
]


def normal(text):
    out, skip = [], False
    for line in text.split("\n"):
        if line.startswith(DROP_BLOCKS):
            skip = True
        if skip:
            skip = line.strip() != ""
            continue
        if DROP_LINES.match(line):
            continue
        for pattern, repl in SUBST:
            line = pattern.sub(repl, line)
        if line.strip() or (out and out[-1].strip()):
            out.append(line)
    return out


def run(vorn, tmp, text):
    path = os.path.join(tmp, "c.nex")
    with open(path, "w") as f:
        f.write(text + "quit;\n")
    done = subprocess.run([vorn, "-n", "c.nex"], cwd=tmp, env=dict(os.environ, HOME=tmp),
                          stdin=subprocess.DEVNULL, capture_output=True, preexec_fn=cpu_limit(300))
    return done.returncode, done.stdout.decode("utf-8", "replace")


def compare(vorn, name, group, seed=11):
    a, b = files(group, seed)
    with tempfile.TemporaryDirectory(prefix="vorn-dvr-") as tmp:
        rca, outa = run(vorn, tmp, a)
        rcb, outb = run(vorn, tmp, b)
    na, nb = normal(outa), normal(outb)
    if rca == rcb and na == nb:
        return []
    diff = "\n".join(difflib.unified_diff(nb, na, "removed from the file", "deleted/excluded", n=1, lineterm=""))
    return ["%s: status %d with the taxon deleted, %d with it removed\n%s" % (name, rca, rcb, diff[:3000])]


# The scores that weights must give as the columns written out do.
SCORES = re.compile(r"(Tree length|Length|-ln L|-Ln likelihood|Score of best|SS|Sum|G-fit|f value)\b.*")


def compare_scores(vorn, label, files_ab, names):
    """The scores of the two runs held against each other; `names` says
    what the two files are, the first of them the edited one."""
    a, b = files_ab
    with tempfile.TemporaryDirectory(prefix="vorn-dvr-") as tmp:
        rca, outa = run(vorn, tmp, a)
        rcb, outb = run(vorn, tmp, b)
    sa = [m.group(0).strip() for m in SCORES.finditer(outa)]
    sb = [m.group(0).strip() for m in SCORES.finditer(outb)]
    if rca == rcb and sa == sb:
        return []
    diff = "\n".join(difflib.unified_diff(sb, sa, names[1], names[0], n=1, lineterm=""))
    return ["%s: status %d %s, %d %s\n%s" % (label, rca, names[0], rcb, names[1], diff[:3000])]


def compare_weighted(vorn, name, group, seed=11):
    return compare_scores(vorn, name + " (weights)", weighted_files(group, seed), ("weight 2", "column written twice"))


def compare_middle(vorn, name, group, seed=11):
    """A taxon deleted from the middle of the list: the taxa are numbered
    otherwise than in the file without it, so only the scores are held
    against each other."""
    return compare_scores(vorn, name + " (middle taxon)", files(group, seed, gone=3), ("deleted", "removed"))


def main():
    vorn = os.path.abspath(sys.argv[1])
    only = sys.argv[2:]
    failures = []
    for name, group in GROUPS.items():
        if not only or name in only:
            failures += compare(vorn, name, group)
            failures += compare_middle(vorn, name, group)
            # Reweight replaces the weights it finds, so a weight and a
            # column written twice are reweighted differently.
            if name != "reweight":
                failures += compare_weighted(vorn, name, group)
    for f in failures:
        print(f)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
