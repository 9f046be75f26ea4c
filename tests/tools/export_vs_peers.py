#!/usr/bin/python3
"""Export against Biopython and DendroPy, and round trips through ToNEXUS.

Random DNA and protein matrices (fixed seeds) with gaps, missing data,
IUPAC codes, polymorphic and uncertain cells and labels with blanks and
quotes are written as NEXUS and read by our data-block reader (datadump):
that is the expected matrix. `vorn` executes each file, deletes a taxon,
excludes characters and exports it; the exported files are read by
Biopython (AlignIO.read) and DendroPy to the expected matrix (labels as each
format writes them), and every format that ToNEXUS reads is converted back
and must give the same taxa and cells. Translation to amino acids is
compared with Biopython's Seq.translate under each genetic code.
Usage: export_vs_peers.py path/to/vorn path/to/datadump
"""
import os
import random
import re
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
try:
    from Bio import AlignIO
    from Bio.Seq import Seq
    import dendropy
except ImportError:
    sys.exit(77)
from tonexus_vs_peers import datadump, expected_cell, ours_cell  # noqa: E402

AMINO = "ARNDCQEGHILKMFPSTWYV"
GEN_CODES = [("standard", 1), ("vertMito", 2), ("yeastMito", 3), ("invertMito", 5), ("altYeast", 12),
             ("ncbi4", 4), ("ncbi6", 6), ("ncbi9", 9), ("ncbi10", 10), ("ncbi13", 13), ("ncbi14", 14),
             ("ncbi16", 16), ("ncbi21", 21)]


def nexus_label(label):
    return "'" + label.replace("'", "''") + "'"


def random_matrix(rng, kind, ntax, nchar):
    plain = "ACGT" if kind == "dna" else AMINO
    odd = ["-", "?", "R", "Y", "N", "(AG)", "{CT}"] if kind == "dna" else ["-", "?", "B", "Z", "X", "(AR)", "{KL}"]
    # Taxon 6 has letters of two bytes within the ten characters of a strict PHYLIP name.
    labels = ["Hs %d (x) y" % i if i % 3 == 0 else "t%d_O'Hara" % i if i % 3 == 1 else
              "Café São %d" % i if i == 5 else "tax.%d" % i for i in range(ntax)]
    rows = [[rng.choice(plain) if rng.random() < 0.85 else rng.choice(odd) for _ in range(nchar)]
            for _ in range(ntax)]
    return labels, rows


def write_nexus(path, kind, labels, rows):
    with open(path, "w") as f:
        f.write("#NEXUS\nBegin data;\n  Dimensions ntax=%d nchar=%d;\n" % (len(rows), len(rows[0])))
        f.write("  Format datatype=%s gap=- missing=?;\n  Matrix\n" % ("dna" if kind == "dna" else "protein"))
        for label, row in zip(labels, rows):
            f.write("%s %s\n" % (nexus_label(label), "".join(row)))
        f.write("  ;\nEnd;\n")


def vorn_run(vorn, work, commands):
    cmd = os.path.join(work, "commands.nex")
    with open(cmd, "w") as f:
        f.write(commands + "\nQuit;\n")
    run = subprocess.run([vorn, "-n", cmd], cwd=work, capture_output=True, text=True)
    return run.returncode, run.stdout + run.stderr


def as_cells(kind, text):
    return [expected_cell(kind, c) for c in text]


def strict_phylip_label(label):
    """At most 10 bytes, a UTF-8 character kept whole or left out."""
    cut = label.encode()[:10].decode(errors="ignore")
    for c in ",;()":
        cut = cut.replace(c, "")
    return cut.replace("_", " ").strip()


def relaxed_label(label):
    for c in ",;()":
        label = label.replace(c, "")
    return label.replace(" ", "_")


def lossy(kind, cell):
    """What a format without brackets keeps of a cell: a protein state set
    that no equate stands for becomes missing."""
    if kind == "protein" and len(cell) > 1 and cell not in ("?", "DN", "EQ"):
        return "?"
    return cell


def compare(problems, what, got, want):
    if got is None:
        problems.append("%s: not read" % what)
        return
    if [g[0] for g in got] != [w[0] for w in want]:
        problems.append("%s: taxa %r, expected %r" % (what, [g[0] for g in got], [w[0] for w in want]))
        return
    for (name, cells), (_, want_cells) in zip(got, want):
        if list(cells) != list(want_cells):
            i = next((i for i, (a, b) in enumerate(zip(cells, want_cells)) if a != b), min(len(cells), len(want_cells)))
            problems.append("%s: %s differs at column %d (%d against %d columns)"
                            % (what, name, i + 1, len(cells), len(want_cells)))
            return


def dendropy_matrix(path, schema, kind, **options):
    if schema == "nexus":
        matrix = dendropy.DataSet.get(path=path, schema="nexus").char_matrices[0]
    else:
        cls = dendropy.DnaCharacterMatrix if kind == "dna" else dendropy.ProteinCharacterMatrix
        matrix = cls.get(path=path, schema=schema, **options)
    rows = []
    for taxon in matrix.taxon_namespace:
        cells = []
        for state in matrix[taxon]:
            symbol = state.symbol
            if symbol is None:  # a polymorphism or uncertainty without a symbol of its own
                members = sorted(s.symbol for s in state.fundamental_states)
                cells.append("".join(sorted(members, key=("ACGT" if kind == "dna" else AMINO).index)))
            else:
                cells.append(expected_cell(kind, symbol))
        rows.append((taxon.label, cells))
    return rows


def check_round(problems, vorn, dump, work, rng, round_, kind):
    labels, rows = random_matrix(rng, kind, 7, rng.randint(30, 90))
    source = os.path.join(work, "m%d.nex" % round_)
    write_nexus(source, kind, labels, rows)
    full = datadump(dump, source)
    if full is None:
        problems.append("round %d: the source matrix was refused" % round_)
        return 0
    nchar = len(rows[0])
    excluded = {2, 5, 6, nchar - 1}  # 0-based
    deleted = 3
    kept = [(name, [ours_cell(kind, c) for i, c in enumerate(cells) if i not in excluded])
            for t, (name, cells) in enumerate(full) if t != deleted]
    exclude = " ".join(str(i + 1) for i in sorted(excluded))
    exports = [
        ("PHYLIP", "format=PHYLIP charsPerLine=All interleaved=no", "phylip"),
        ("PHYLIP interleaved", "format=PHYLIP interleaved charsPerLine=20", "phylip"),
        ("RelPHYLIP", "format=RelPHYLIP charsPerLine=All interleaved=no", "phylip-relaxed"),
        ("FASTA", "format=FASTA charsPerLine=60 interleaved=no", "fasta"),
        # FASTA has no interleaved form: each record must still hold its whole sequence.
        ("FASTA interleaved", "format=FASTA charsPerLine=7 interleaved", "fasta"),
        ("NEXUS", "format=Nexus nexusBlocks=data interleaved=no", "nexus"),
        ("NEXUS taxaChar", "format=Nexus nexusBlocks=taxaChar interleaved charsPerLine=25", "nexus"),
    ]
    checked = 0
    for name, options, peer_format in exports:
        target = os.path.join(work, "m%d-%s" % (round_, name.replace(" ", "_")))
        status, text = vorn_run(vorn, work, "Execute '%s';\nDelete %d;\nExclude %s;\nExport %s file='%s' replace;"
                                % (source, deleted + 1, exclude, options, target))
        what = "round %d %s %s" % (round_, kind, name)
        if status != 0 or "Data matrix exported" not in text:
            problems.append("%s: Export failed:\n%s" % (what, text))
            continue
        bracketed = peer_format == "nexus"
        want = [(n, cells if bracketed else [lossy(kind, c) for c in cells]) for n, cells in kept]
        if peer_format == "phylip":
            want_labels = [strict_phylip_label(n) for n, _ in kept]
        elif peer_format == "phylip-relaxed":
            want_labels = [relaxed_label(n) for n, _ in kept]
        elif peer_format == "fasta":
            want_labels = [n.replace(" ", "_") for n, _ in kept]
        else:
            want_labels = [n for n, _ in kept]
        want = [(label, cells) for label, (_, cells) in zip(want_labels, want)]
        # Biopython reads letters; a bracketed NEXUS cell is not one letter.
        if not bracketed:
            try:
                aln = AlignIO.read(target, peer_format)
                compare(problems, what + " (Biopython)", [(r.id.replace("_", " ") if peer_format == "phylip" else r.id,
                                                           as_cells(kind, str(r.seq))) for r in aln], want)
            except Exception as e:  # noqa: BLE001
                problems.append("%s: Biopython could not read it: %s" % (what, e))
        else:
            with open(target) as f:
                head, matrix = f.read().split("Matrix", 1)
            # Bracketed cells become "?" for Biopython, labels kept.
            row = re.compile(r"^(\s*(?:'(?:[^']|'')*'|\S+))(.*)$")
            plain = head + "Matrix" + "\n".join(
                row.sub(lambda m: m.group(1) + re.sub(r"[({][^)}]*[)}]", "?", m.group(2)), line)
                for line in matrix.split("\n"))
            plain_path = target + ".letters.nex"
            with open(plain_path, "w") as f:
                f.write(plain)
            try:
                aln = AlignIO.read(plain_path, "nexus")
                # Cells of several states were bracketed or equated: compared by DendroPy below.
                mask = [[len(c) > 1 and c != "?" for c in cells] for _, cells in want]
                # Biopython keeps the "_" of an unquoted NEXUS word, which stands for a blank.
                got = [(r.id.replace("_", " "), ["?" if m else c for c, m in zip(as_cells(kind, str(r.seq)), ms)])
                       for r, ms in zip(aln, mask)]
                compare(problems, what + " (Biopython)", got,
                        [(n.replace("_", " "), ["?" if m else c for c, m in zip(cells, ms)])
                         for (n, cells), ms in zip(want, mask)])
            except Exception as e:  # noqa: BLE001
                problems.append("%s: Biopython could not read it: %s" % (what, e))
        schema = {"phylip": "phylip", "phylip-relaxed": "phylip", "fasta": "fasta", "nexus": "nexus"}[peer_format]
        options = {}
        if schema == "phylip":
            options = {"strict": peer_format == "phylip", "interleaved": "interleaved" in name}
        try:
            got = dendropy_matrix(target, schema, kind, **options)
            if schema != "nexus":
                got = [(n.replace("_", " ") if peer_format == "phylip" else n.replace(" ", "_"), cells)
                       for n, cells in got]
            compare(problems, what + " (DendroPy)", got, want)
        except Exception as e:  # noqa: BLE001
            problems.append("%s: DendroPy could not read it: %s" % (what, e))
        checked += 1
    checked += check_round_trips(problems, vorn, dump, work, round_, kind, source, deleted, exclude, kept)
    return checked


def check_round_trips(problems, vorn, dump, work, round_, kind, source, deleted, exclude, kept):
    """Export, ToNEXUS (where it reads the format) and our reader again."""
    dtype = "nucleotide" if kind == "dna" else "protein"
    trips = [("PHYLIP", "format=RelPHYLIP interleaved charsPerLine=17", "format=RelPHYLIP interleaved", False),
             ("FASTA", "format=FASTA charsPerLine=13 interleaved=no", "format=FASTA", False),
             ("Nexus", "format=Nexus interleaved charsPerLine=11", None, True),
             ("Text", "format=Text interleaved charsPerLine=9", "format=text interleaved", True),
             ("TabText", "format=TabText interleaved=no charsPerLine=All", "format=tabText interleaved=no", True)]
    if kind == "dna":
        trips.append(("MEGA", "format=MEGA interleaved=no charsPerLine=All", "format=MEGA interleaved=no", False))
    checked = 0
    for name, export, tonexus, bracketed in trips:
        exported = os.path.join(work, "trip%d.%s" % (round_, name))
        back = exported + ".nex"
        commands = "Execute '%s';\nDelete %d;\nExclude %s;\nExport %s file='%s' replace;" % (
            source, deleted + 1, exclude, export, exported)
        if tonexus:
            commands += "\nToNEXUS %s dataType=%s fromFile='%s' toFile='%s' replace;" % (tonexus, dtype, exported,
                                                                                          back)
        else:
            back = exported
        status, text = vorn_run(vorn, work, commands)
        what = "round trip %d %s %s" % (round_, kind, name)
        if status != 0:
            problems.append("%s: failed:\n%s" % (what, text))
            continue
        mine = datadump(dump, back)
        if mine is None:
            problems.append("%s: not read back" % what)
            continue
        # Labels as the format writes them; blanks and underscores are one.
        got = [(n.replace(" ", "_"), [ours_cell(kind, c) for c in cells]) for n, cells in mine]
        want = [((relaxed_label(n) if name == "PHYLIP" else n).replace(" ", "_"),
                 cells if bracketed else [lossy(kind, c) for c in cells]) for n, cells in kept]
        compare(problems, what, got, want)
        checked += 1
    return checked


def check_layout_round_trips(problems, vorn, dump, work, rng):
    """Every format ToNEXUS reads, as Export writes it by default (rows of
    more than 100 columns, a name longer than a text table's name field) and
    interleaved, converted back with the same layout: the same taxa and cells."""
    labels = ["A taxon name longer than thirty two characters", "b", "Hs 2 (x) y", "t3_O'Hara", "Ωμέγα Zürich São"]
    rows = [[rng.choice("ACGT") if rng.random() < 0.9 else rng.choice("-?RN") for _ in range(157)] for _ in labels]
    source = os.path.join(work, "wide.nex")
    write_nexus(source, "dna", labels, rows)
    full = datadump(dump, source)
    if full is None:
        problems.append("layout round trips: the source matrix was refused")
        return 0
    formats = [("PHYLIP", "PHYLIP", strict_phylip_label), ("RelPHYLIP", "RelPHYLIP", relaxed_label),
               ("FASTA", "FASTA", None), ("Text", "text", None), ("TabText", "tabText", None), ("MEGA", "MEGA", None)]
    checked = 0
    for export, tonexus, label_of in formats:
        for interleaved in ("interleaved=no", "interleaved"):
            exported = os.path.join(work, "wide-%s-%s.txt" % (export, interleaved[-2:]))
            # FASTA has no interleaved form: its records are read whole.
            back_layout = "" if export == "FASTA" else interleaved
            status, text = vorn_run(vorn, work, "Execute '%s';\nExport format=%s %s file='%s' replace;\n"
                                    "ToNEXUS format=%s %s fromFile='%s' toFile='%s.nex' replace;"
                                    % (source, export, interleaved, exported, tonexus, back_layout, exported, exported))
            what = "layout round trip %s %s" % (export, interleaved)
            if status != 0:
                problems.append("%s: failed:\n%s" % (what, text))
                continue
            mine = datadump(dump, exported + ".nex")
            if mine is None:
                problems.append("%s: not read back" % what)
                continue
            got = [(n.replace(" ", "_"), [ours_cell("dna", c) for c in cells]) for n, cells in mine]
            want = [((label_of(n) if label_of else n).replace(" ", "_"), [ours_cell("dna", c) for c in cells])
                    for n, cells in full]
            compare(problems, what, got, want)
            checked += 1
    return checked


def check_hennig_round_trip(problems, vorn, dump, work, rng):
    """Standard data through Hennig86 and back: states, missing data, labels."""
    labels = ["Alpha one", "b2", "3rd taxon", "E.coli"]
    rows = [[rng.choice("0123?") for _ in range(25)] for _ in labels]
    source = os.path.join(work, "std.nex")
    with open(source, "w") as f:
        f.write("#NEXUS\nBegin data;\n  Dimensions ntax=%d nchar=25;\n  Format symbols=\"0123\";\n  Matrix\n"
                % len(labels))
        for label, row in zip(labels, rows):
            f.write("%s %s\n" % (nexus_label(label), "".join(row)))
        f.write("  ;\nEnd;\n")
    checked = 0
    # Hennig86 has no interleaved matrix: an interleaved export is written whole.
    for interleaved in ("interleaved=no", "interleaved charsPerLine=10"):
        exported = os.path.join(work, "std%d.hng" % checked)
        status, text = vorn_run(vorn, work, "Execute '%s';\nExport format=Hennig %s file='%s' replace;\n"
                                "ToNEXUS format=Hennig86 fromFile='%s' toFile='%s.nex' replace;"
                                % (source, interleaved, exported, exported, exported))
        if status != 0:
            problems.append("Hennig86 round trip (%s) failed:\n%s" % (interleaved, text))
            continue
        mine = datadump(dump, exported + ".nex")
        want = [("T3rd_taxon" if n == "3rd taxon" else re.sub(r"[^A-Za-z0-9]", "_", n), row)
                for n, row in zip(labels, rows)]
        compare(problems, "Hennig86 round trip (%s)" % interleaved,
                [(n.replace(" ", "_"), cells) for n, cells in mine or []], want)
        checked += 1
    return checked


def check_gcg(problems, vorn, dump, work, rng):
    """A GCG-MSF file read by Biopython and converted by ToNEXUS."""
    names = ["seqA", "Seq_2", "x.3"]
    seqs = ["".join(rng.choice("ACGT.~") for _ in range(57)) for _ in names]
    path = os.path.join(work, "aln.msf")
    with open(path, "w") as f:
        f.write("!!NA_MULTIPLE_ALIGNMENT 1.0\n\n  aln.msf  MSF: 57  Type: N  Check: 1234 ..\n\n")
        for n in names:
            f.write(" Name: %s  Len: 57  Check: 1000  Weight: 1.00\n" % n)
        f.write("\n//\n\n")
        for start in range(0, 57, 50):
            f.write("             %d\n" % (start + 1))
            for n, s in zip(names, seqs):
                block = s[start:start + 50]
                f.write("%-12s %s\n" % (n, " ".join(block[i:i + 10] for i in range(0, len(block), 10))))
            f.write("\n")
    status, text = vorn_run(vorn, work, "ToNEXUS format=GCG fromFile='%s' toFile='%s.nex' replace;" % (path, path))
    if status != 0:
        problems.append("GCG: ToNEXUS failed:\n" + text)
        return 0
    try:
        import warnings
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            peer = [(r.id, as_cells("dna", str(r.seq).replace(".", "-").replace("~", "-")))
                    for r in AlignIO.read(path, "msf")]
    except Exception as e:  # noqa: BLE001
        problems.append("GCG: Biopython could not read it: %s" % e)
        return 0
    mine = datadump(dump, path + ".nex")
    # Both of GCG's gap symbols are gaps here.
    compare(problems, "GCG (Biopython)", [(n, ["-" if c == "?" else c for c in cells]) for n, cells in mine or []],
            peer)
    return 1


def check_translation(problems, vorn, work, rng):
    """translateToAA under each code against Biopython, the notes counted."""
    codons = ["".join(rng.choice("ACGT") for _ in range(3)) for _ in range(60)]
    seqs = ["".join(rng.sample(codons, 40)) for _ in range(3)]
    seqs.append(seqs[0][:3] + "AC-" + "---" + "ANG" + seqs[0][12:])  # a partial gap, a full gap, an ambiguity
    labels = ["s%d" % i for i in range(len(seqs))]
    source = os.path.join(work, "codons.nex")
    write_nexus(source, "dna", labels, [list(s) for s in seqs])
    checked = 0
    for name, table in GEN_CODES:
        target = os.path.join(work, "aa-%s.fas" % name)
        status, text = vorn_run(vorn, work, "Execute '%s';\nExport format=FASTA charsPerLine=All translateToAA "
                                "genCode=%s showGenCode=no file='%s' replace;" % (source, name, target))
        if status != 0:
            problems.append("translation %s: failed:\n%s" % (name, text))
            continue
        got = {r.id: str(r.seq) for r in AlignIO.read(target, "fasta")}
        stops = 0
        for label, seq in zip(labels, seqs):
            want = ""
            for i in range(0, len(seq), 3):
                codon = seq[i:i + 3]
                if codon == "---":
                    want += "-"
                elif "-" in codon or "N" in codon:
                    want += "X"
                else:
                    aa = str(Seq(codon).translate(table=table))
                    stops += aa == "*"
                    want += aa
            if got.get(label) != want:
                problems.append("translation %s: %s is %s, Biopython %s" % (name, label, got.get(label), want))
        said = re.search(r"Note: (\d+) stop codons", text)
        if (int(said.group(1)) if said else 0) != stops:
            problems.append("translation %s: %s stop codons noted, %d made" % (name, said and said.group(1), stops))
        if "1 triplet containing DNA ambiguity" not in text or "1 triplet containing either 1 or 2 gap" not in text:
            problems.append("translation %s: the ambiguity and gap notes are missing:\n%s" % (name, text))
        checked += 1
    return checked


def main():
    vorn, dump = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    problems = []
    checked = 0
    rng = random.Random(43)
    with tempfile.TemporaryDirectory(prefix="export-peers-") as work:
        for round_ in range(4):
            checked += check_round(problems, vorn, dump, work, rng, round_, "dna" if round_ % 2 == 0 else "protein")
        checked += check_translation(problems, vorn, work, rng)
        checked += check_hennig_round_trip(problems, vorn, dump, work, rng)
        checked += check_layout_round_trips(problems, vorn, dump, work, rng)
        checked += check_gcg(problems, vorn, dump, work, rng)
    for p in problems:
        print(p)
    print("%d exports checked, %d problems" % (checked, len(problems)))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
