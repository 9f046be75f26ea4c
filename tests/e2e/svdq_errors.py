#!/usr/bin/python3
"""Refusals of SVDQuartets, each in the system's words and before any file
is written, and the file options that are written only when named.

Usage: svdq_errors.py <vorn>
"""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from svdq_scores import run  # noqa: E402

DNA = """#NEXUS
begin data; dimensions ntax=6 nchar=24; format datatype=dna missing=? gap=-;
matrix
a ACGTACGTAACCGGTTACGTACGT
b ACGTACGTAACCGGTTACGTACGA
c ACGAACGTAACCGGTAACGTACGA
d ACGAACGTCCCCGGTAACGTTCGA
e TCGAACGTCCGGGGTAACGTTCGA
f TCGAACGACCGGGGTAACGTTCGA
;
end;
"""
STANDARD = """#NEXUS
begin data; dimensions ntax=5 nchar=4; format datatype=standard symbols="01234";
matrix
a 0123
b 1234
c 2340
d 3401
e 4012
;
end;
"""
SETS = "begin sets; taxpartition three = x: a b, y: c d, z: e f; taxpartition gap = w: a b, x: c, y: d e, z: f;" \
       " taxpartition four = w: a b, x: c, y: d e, z: f; taxpartition single = w: a, x: b, y: c, z: d e f;" \
       " charpartition loci = one: 1-12, two: 13-24; end;\n"

# (label, text, what the output must hold)
CASES = [
    ("five states", STANDARD + "begin vorn; svdquartets; end;",
     "SVDQuartets is currently only supported for 4 or fewer character states."),
    ("no trees to evaluate", DNA + "begin vorn; svdquartets treeInf=curTrees; end;",
     "Evaluation of trees currently in memory was requested, but there are no trees in memory."),
    ("zero quartets", DNA + "begin vorn; svdquartets nquartets=0 preferAllQ=no; end;",
     "The number of quartets evaluated cannot be zero."),
    ("too many quartets", DNA + "begin vorn; svdquartets nquartets=5e9 preferAllQ=no; end;",
     "Number of quartets to be sampled (5e+09) exceeds the limit of 4294967295."),
    ("multilocus without loci", DNA + "begin vorn; svdquartets bootstrap=multilocus; end;",
     "For multilocus bootstrapping, you must specify a character partition that defines the loci."),
    ("bad nthreads", DNA + "begin vorn; svdquartets nthreads=many; end;",
     "Invalid number specified for the number of threads."),
    ("species without partition", DNA + "begin vorn; svdquartets speciesTree=yes; end;",
     "You must supply the name of a previously defined TaxPartition ('partition' option of the SVDQuartets"),
    ("unknown partition", DNA + "begin vorn; svdquartets speciesTree=yes partition=none; end;",
     "No taxon partition matching the name 'none' has been defined."),
    ("three species", DNA + SETS + "begin vorn; svdquartets speciesTree=yes partition=three; end;",
     "\"Species-tree\" estimation with SVDQuartets is permitted only with taxon partitions containing four"),
    ("deleted species", DNA + SETS + "begin vorn; delete c; svdquartets speciesTree=yes partition=gap "
                                     "treeInf=none; end;",
     "Subset 'x' of partition 'gap' has no members."),
    ("enforce in species mode", DNA + SETS + "begin vorn; svdquartets speciesTree=yes partition=four enforce; end;",
     "SVDQuartets does not currently allow constraint trees in \"species-tree\" mode."),
    ("convexity constraint", DNA + SETS + "begin vorn; constraints cv (convexity) = three; svdquartets "
                                          "enforce constraints=cv; end;",
     "SVDQuartets can enforce only monophyly and backbone constraints."),
    ("lineage trees against species quartets", DNA + SETS + "begin trees; tree t = (a,b,(c,d),(e,f)); end; "
                                                           "begin vorn; svdquartets speciesTree=yes partition=four "
                                                           "treeInf=curTrees; end;",
     "The trees in memory are not trees of the species of partition 'four'."),
    ("species trees against lineage quartets", DNA + SETS + "begin vorn; svdquartets speciesTree=yes partition=four "
                                                           "forceRank=1; svdquartets speciesTree=no treeInf=curTrees "
                                                           "forceRank=1; end;",
     "The trees in memory are species trees; quartets of lineages cannot score them."),
    ("QScores of species trees", DNA + SETS + "begin vorn; svdquartets speciesTree=yes partition=four forceRank=1; "
                                              "svdquartets speciesTree=no forceRank=1 treeInf=none; qscores; end;",
     "The trees in memory are species trees; quartets of lineages cannot score them."),
    ("enforce without constraints", DNA + "begin vorn; svdquartets enforce; end;",
     "'Enforce constraints' option requested but no constraints have been defined."),
    ("node ages, fixed theta 0", DNA + "begin vorn; svdquartets estNodeAges=ML theta=0; end;",
     "Theta must be greater than zero for the estimation of node ages."),
    ("node ages, theta 0", DNA + "begin vorn; svdquartets estNodeAges=moments theta=0; end;",
     "Theta must be greater than zero for the estimation of node ages."),
    # Opened with the other files, before any quartet is evaluated.
    ("bootstrap tree file", DNA + "begin vorn; svdquartets evalq=all bootstrap nreps=3 mrpfile=quartets_mrp.nex "
                                  "treefile=no-such-dir/b.tre; end;", "could not be opened"),
]


def main():
    vorn = sys.argv[1]
    faults = []
    for label, text, want in CASES:
        p, files = run(vorn, text, ["quartets.dat", "quartets_mrp.nex"])
        out = p.stdout + p.stderr
        if " ".join(want.split()) not in " ".join(out.split()) or p.returncode == 0:
            faults.append("%s: status %d, expected %r in\n%s" % (label, p.returncode, want, out[-1500:]))
        if any(v is not None for v in files.values()):
            faults.append("%s: a file was written" % label)
        if label == "bootstrap tree file" and "Tree from SVDQuartets analysis" in out:
            faults.append("%s: quartets were evaluated" % label)
    # Species mode: 4 species of one lineage each count 1 quartet.
    p, _ = run(vorn, DNA + SETS + "begin vorn; delete e f; svdquartets speciesTree=yes partition=single treeInf=none; end;")
    if "exhaustive (1 quartet)" not in p.stdout:
        faults.append("4 species x 1 lineage:\n" + p.stdout[-1500:])
    # A file option left out of the next command is not written again, yet
    # its name stays the option's value.
    p, files = run(vorn, DNA + "begin vorn; svdquartets evalq=all treeInf=none qfile=first.dat forceRank=1; "
                               "svdquartets evalq=all treeInf=none mrpfile=m.nex forceRank=1; end;",
                   ["first.dat", "m.nex"])
    if not files["first.dat"] or p.stdout.count("to file: first.dat") != 1 or not files["m.nex"]:
        faults.append("file options:\n" + p.stdout[-2500:])
    if faults:
        print("\n".join(faults))
        sys.exit(1)
    print("%d refusals as expected" % len(CASES))


if __name__ == "__main__":
    main()
