#!/usr/bin/python3
"""ClockChecker and OrthoFilter, and the clock fits of Reconstruct, PatFitTest
and Autopartition, refuse what they cannot do, with the reason,
and leave the data as they were (the run stops with status 32).
Usage: screen_errors.py <vorn>
"""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from vorn_run import run_vorn  # noqa: E402

HEAD = """#NEXUS
begin data; dimensions ntax=5 nchar=12; format datatype=dna; matrix
  a ACGTACGTACGT
  b ACGTACGTACGA
  c ACGAACGTACCT
  d TCGTACGAACGT
  e TCGTACGAAGGT
;
end;
begin vorn;
set criterion=likelihood;
charpartition genes = one: 1-6, two: 7-12;
constraints ab = ((a,b));
"""
ROOTED = "begin trees; tree r1 = [&R] (((a,b),c),(d,e)); tree r2 = [&R] ((a,b),(c,(d,e))); end;\nbegin vorn;\n"
UNROOTED = "begin trees; tree u = [&U] ((a,b),c,(d,e)); end;\nbegin vorn;\n"

CASES = [
    ("clockchecker;", "You must either request the 'upgma' option, or select one or more trees from trees already "
                      "in memory."),
    ("end;\n" + UNROOTED + "clockchecker;", "Tree(s) must be rooted for clock checking, but trees in memory are "
                                            "unrooted."),
    ("end;\n" + ROOTED + "clockchecker exclude=lrt;",
     "Excluding subsets based on LRT/AIC/BIC scores is only allowed when a character partition is used."),
    ("end;\n" + ROOTED + "clockchecker partition=genes exclude=aic tree=(1 2);",
     "A single tree must be requested if partition subsets are being excluded based on LRT, AIC(c), or BIC"),
    ("delete c d e; clockchecker upgma=yes;",
     "Clock-model comparison is not allowed when there are fewer than 3 nondeleted taxa."),
    ("orthofilter partition=genes;", "No constraint-tree name has been specified."),
    ("orthofilter constraints=ab;", "No character-partition has been specified."),
    ("delete c d e; orthofilter partition=genes constraints=ab maxParaRem=0;",
     "Orthology filtering is not allowed when there are fewer than 3 nondeleted taxa."),
    ("constraints all = ((a,b,c,d,e)); orthofilter partition=genes constraints=all maxParaRem=0;",
     "Constraint tree 'all' is uninformative (compatible with all possible trees)."),
] + [
    # Every command that fits a clock to an unrooted tree gives LScores' error
    # and its advice.
    ("end;\n" + UNROOTED + "lset clock=yes; " + command, "Error(#849): Clock assumption requires rooted trees. "
     "You must either turn off the clock assumption or root the trees using the \"RootTrees\" command.")
    for command in ("reconstruct 1;", "patfittest;", "autopartition partition=genes;")
]


def main():
    vorn = sys.argv[1]
    failures = []
    for command, message in CASES:
        done = run_vorn(vorn, HEAD + command + "\nend;\nquit;\n")
        text = " ".join((done.stdout + done.stderr).split())
        if done.returncode != 32 or " ".join(message.split()) not in text:
            failures.append("%r: status %d, expected %r\n%s" % (command, done.returncode, message,
                                                                done.stdout[-800:]))
    for f in failures:
        print("FAIL:", f)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
