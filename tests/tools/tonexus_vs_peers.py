#!/usr/bin/python3
"""ToNEXUS against Biopython and DendroPy.

Alignments (DNA and protein, fixed seeds) with gaps, missing data, IUPAC
codes and awkward names are written as PHYLIP (strict, sequential, relaxed),
FASTA and NBRF/PIR by Biopython and by hand; each file is converted with
`vorn` ToNEXUS and the converted file is read by our data-block reader
(datadump). The taxa and cells must be those Biopython (AlignIO.read /
SeqIO.parse) and DendroPy read from the foreign file; DendroPy also reads the
converted NEXUS file, and the TREES block of a PHYLIP file with trees.
Usage: tonexus_vs_peers.py path/to/vorn path/to/datadump
"""
import os
import random
import subprocess
import sys
import tempfile

try:
    from Bio import AlignIO, SeqIO
    from Bio.Align import MultipleSeqAlignment
    from Bio.Seq import Seq
    from Bio.SeqRecord import SeqRecord
    import dendropy
except ImportError:
    sys.exit(77)

IUPAC = {"A": "A", "C": "C", "G": "G", "T": "T", "U": "T", "R": "AG", "Y": "CT", "K": "GT", "M": "AC",
         "S": "CG", "W": "AT", "B": "CGT", "D": "AGT", "H": "ACT", "V": "ACG", "N": "ACGT"}
AMINO = "ARNDCQEGHILKMFPSTWYV"
PROTEIN_SETS = {"B": "DN", "Z": "EQ", "X": AMINO}


def expected_cell(kind, c):
    """A cell as datadump prints it: "-", "?" or the state symbols."""
    if c in "-?":
        return c
    c = c.upper()
    if kind == "dna":
        states = IUPAC[c]
        return "?" if states == "ACGT" else states
    states = PROTEIN_SETS.get(c, c)
    return "?" if len(states) == len(AMINO) else "".join(sorted(states, key=AMINO.index))


def ours_cell(kind, cell):
    full = "ACGT" if kind == "dna" else AMINO
    return "?" if cell == full else cell


def alignment(rng, kind, names):
    plain = "ACGT" if kind == "dna" else AMINO
    odd = "acgtRYKMSWBDHVN-?" if kind == "dna" else "acdXBZ-?"
    nchar = rng.randint(40, 130)
    records = []
    for name in names:
        seq = "".join(rng.choice(plain) if rng.random() < 0.8 else rng.choice(odd) for _ in range(nchar))
        records.append(SeqRecord(Seq(seq), id=name, description="made by the test",
                                 annotations={"molecule_type": "DNA" if kind == "dna" else "protein"}))
    return MultipleSeqAlignment(records)


def vorn_convert(vorn, work, options, source, target):
    cmd = os.path.join(work, "convert.nex")
    with open(cmd, "w") as f:
        f.write("ToNEXUS %s fromFile='%s' toFile='%s' replace;\nQuit;\n" % (options, source, target))
    run = subprocess.run([vorn, "-n", cmd], cwd=work, capture_output=True, text=True)
    said = "".join(run.stdout.split())
    return run.returncode == 0 and "convertedtoNEXUS-formatfile" in said, run.stdout + run.stderr


def datadump(tool, path):
    run = subprocess.run([tool, path], capture_output=True, text=True)
    if run.returncode != 0:
        return None
    lines = run.stdout.splitlines()
    ntax = int(lines[0].split("\t")[1])
    return [(r[0], r[1:]) for r in (line.split("\t") for line in lines[2:2 + ntax])]


def check(problems, what, kind, peer_rows, mine, labels):
    """peer_rows: (name, sequence text) as a peer read the foreign file."""
    if mine is None:
        problems.append("%s: the converted file was refused" % what)
        return
    got = [m[0] for m in mine]
    want = [labels(name) for name, _ in peer_rows]
    if got != want:
        problems.append("%s: taxa %r, expected %r" % (what, got, want))
        return
    for (name, seq), (_, cells) in zip(peer_rows, mine):
        want_cells = [expected_cell(kind, c) for c in seq]
        got_cells = [ours_cell(kind, c) for c in cells]
        if got_cells != want_cells:
            i = next((i for i, (a, b) in enumerate(zip(got_cells, want_cells)) if a != b), len(want_cells))
            problems.append("%s: %s differs at character %d (%d against %d cells)"
                            % (what, name, i + 1, len(got_cells), len(want_cells)))


def token_label(name):
    # Names read as words: an underscore stands for a blank, as in NEXUS.
    return name.replace("_", " ")


def dendropy_rows(path, schema, kind, **options):
    if schema == "nexus":
        # Our files say "nucleotide", which DendroPy reads into a matrix of its own kind.
        matrix = dendropy.DataSet.get(path=path, schema="nexus").char_matrices[0]
    else:
        cls = dendropy.DnaCharacterMatrix if kind == "dna" else dendropy.ProteinCharacterMatrix
        matrix = cls.get(path=path, schema=schema, **options)
    return [(t.label, str(matrix[t])) for t in matrix.taxon_namespace]


def main():
    vorn, dump = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    problems = []
    checked = 0
    dendropy_foreign = 0
    rng = random.Random(20261207)
    with tempfile.TemporaryDirectory(prefix="tonexus-peers-") as work:
        for round_ in range(6):
            kind = "dna" if round_ % 2 == 0 else "protein"
            names = ["h.sapiens%d" % round_, "Pan_2", "O'Brien", "x%d.1" % round_, "taxon%02d" % round_]
            aln = alignment(rng, kind, names)
            dtype = "nucleotide" if kind == "dna" else "protein"
            for fmt, options in (("phylip", "format=PHYLIP interleaved"),
                                 ("phylip-sequential", "format=PHYLIP interleaved=no"),
                                 ("phylip-relaxed", "format=RelPHYLIP interleaved"),
                                 ("fasta", "format=FASTA")):
                source = os.path.join(work, "%d.%s" % (round_, fmt))
                target = source + ".nex"
                AlignIO.write(aln, source, fmt)
                ok, text = vorn_convert(vorn, work, options + " dataType=" + dtype, source, target)
                what = "round %d %s %s" % (round_, kind, fmt)
                if not ok:
                    problems.append("%s: ToNEXUS failed:\n%s" % (what, text))
                    continue
                peer_format = "fasta" if fmt == "fasta" else fmt
                peer = [(r.id, str(r.seq)) for r in AlignIO.read(source, peer_format)]
                labels = lambda n: n
                mine = datadump(dump, target)
                check(problems, what + " (Biopython)", kind, peer, mine, labels)
                schema = "fasta" if fmt == "fasta" else "phylip"
                options = {} if fmt == "fasta" else {"strict": fmt != "phylip-relaxed",
                                                     "interleaved": fmt != "phylip-sequential"}
                try:
                    peer2 = dendropy_rows(source, schema, kind, **options)
                except Exception as e:
                    peer2 = None
                    problems.append("%s: DendroPy could not read it: %s" % (what, e))
                if peer2 is not None and fmt == "fasta":
                    # DendroPy's FASTA labels hold the description too.
                    peer2 = [(label.split()[0], seq) for label, seq in peer2]
                if peer2 is not None:
                    check(problems, what + " (DendroPy)", kind, peer2, mine, labels)
                    dendropy_foreign += 1
                # DendroPy reads the converted file: its labels and cells.
                converted = dendropy_rows(target, "nexus", kind)
                check(problems, what + " (DendroPy reads the NEXUS file)", kind, converted, mine, lambda n: n)
                checked += 1
            # NBRF/PIR, written by Biopython (names without NEXUS punctuation).
            records = [SeqRecord(r.seq, id=r.id.replace("'", "").replace("-", ""), description="title",
                                 annotations=r.annotations) for r in aln]
            source = os.path.join(work, "%d.pir" % round_)
            SeqIO.write(records, source, "pir")
            ok, text = vorn_convert(vorn, work, "format=PIR", source, source + ".nex")
            if not ok:
                problems.append("round %d pir: ToNEXUS failed:\n%s" % (round_, text))
            else:
                peer = [(r.id, str(r.seq).rstrip("*")) for r in SeqIO.parse(source, "pir")]
                check(problems, "round %d %s pir" % (round_, kind), kind, peer, datadump(dump, source + ".nex"),
                      token_label)
                checked += 1

        # By hand: strict names with blanks, digits and a quote, a name line
        # of its own, digits in the rows, two trees after the matrix.
        source = os.path.join(work, "hand.phy")
        with open(source, "w") as f:
            f.write("4 12\nHomo sapieACGTRYNN-?AC\nPan 2\nACGT 10 ACGTAC GT\nGor'illa  ACGTACGTACGA\n"
                    "x.y       ACGTACGTACGC\n2\n((Homo_sapie,'Pan 2'),'Gor''illa',x.y);\n"
                    "(Homo_sapie,('Pan 2',x.y),'Gor''illa');\n")
        ok, text = vorn_convert(vorn, work, "format=PHYLIP interleaved=no dataType=nucleotide", source,
                                source + ".nex")
        if not ok:
            problems.append("hand-written PHYLIP: ToNEXUS failed:\n" + text)
        else:
            peer = [("Homo sapie", "ACGTRYNN-?AC"), ("Pan 2", "ACGTACGTACGT"), ("Gor'illa", "ACGTACGTACGA"),
                    ("x.y", "ACGTACGTACGC")]
            mine = datadump(dump, source + ".nex")
            check(problems, "hand-written PHYLIP", "dna", peer, mine, lambda n: n)
            trees = dendropy.TreeList.get(path=source + ".nex", schema="nexus")
            labels = [t.label for t in trees]
            if labels != ["PHYLIP1", "PHYLIP2"]:
                problems.append("hand-written PHYLIP: trees %r" % labels)
            else:
                splits = [sorted(sorted(n.taxon.label for n in node.leaf_nodes())
                                 for node in tree.internal_nodes() if node.parent_node) for tree in trees]
                if splits != [[["Homo sapie", "Pan 2"]], [["Pan 2", "x.y"]]]:
                    problems.append("hand-written PHYLIP: clades %r" % splits)
            checked += 1

    for p in problems:
        print(p)
    print("%d conversions checked (%d also against DendroPy's reading of the foreign file), %d problems"
          % (checked, dendropy_foreign, len(problems)))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
