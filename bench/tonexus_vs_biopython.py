#!/usr/bin/python3
"""ToNEXUS against Biopython on one large FASTA alignment.

Generates (fixed seed) an alignment of 300 taxa x 100,000 sites written 60
columns a line (about 30 MB), converts it with `vorn` ToNEXUS (the whole
process, start-up included) and reads the same file with Biopython's
AlignIO.read(path, "fasta"); prints the median throughput of each in MB/s
and their ratio. Usage: tonexus_vs_biopython.py path/to/vorn [runs]
"""
import os
import random
import statistics
import subprocess
import sys
import tempfile
import time

NTAX, NSITES, WIDTH = 300, 100_000, 60


def write_fasta(path):
    rng = random.Random(4242)
    base = [rng.choice("ACGT") for _ in range(NSITES)]
    with open(path, "w") as f:
        for t in range(NTAX):
            seq = base[:]
            for _ in range(NSITES // 20):
                seq[rng.randrange(NSITES)] = rng.choice("ACGT-N")
            text = "".join(seq)
            f.write(f">taxon_{t + 1} generated\n")
            for i in range(0, NSITES, WIDTH):
                f.write(text[i:i + WIDTH] + "\n")


def main():
    vorn = os.path.abspath(sys.argv[1])
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 5
    from Bio import AlignIO
    with tempfile.TemporaryDirectory(prefix="tonexus-bench-") as tmp:
        fasta = os.path.join(tmp, "big.fas")
        write_fasta(fasta)
        megabytes = os.path.getsize(fasta) / 1e6
        cmd = os.path.join(tmp, "convert.nex")
        with open(cmd, "w") as f:
            f.write(f"ToNEXUS format=FASTA fromFile={fasta} toFile={tmp}/big.nex replace;\nQuit;\n")
        ours, theirs = [], []
        for _ in range(runs):
            start = time.perf_counter()
            done = subprocess.run([vorn, "-n", cmd], cwd=tmp, capture_output=True, text=True)
            ours.append(time.perf_counter() - start)
            if done.returncode != 0 or "converted to NEXUS-format file" not in done.stdout:
                sys.exit("vorn failed:\n" + done.stdout + done.stderr)
            start = time.perf_counter()
            alignment = AlignIO.read(fasta, "fasta")
            theirs.append(time.perf_counter() - start)
            if len(alignment) != NTAX or alignment.get_alignment_length() != NSITES:
                sys.exit("Biopython read a different alignment")
        with open(os.path.join(tmp, "big.nex")) as f:
            if f"Dimensions ntax={NTAX} nchar={NSITES};" not in f.read():
                sys.exit("the converted file has other dimensions")
        ours_rate = megabytes / statistics.median(ours)
        their_rate = megabytes / statistics.median(theirs)
        print(f"file: {megabytes:.1f} MB, {runs} runs each (medians)")
        print(f"vorn ToNEXUS (whole process): {statistics.median(ours):.3f} s = {ours_rate:.1f} MB/s")
        print(f"Biopython AlignIO.read:       {statistics.median(theirs):.3f} s = {their_rate:.1f} MB/s")
        print(f"ratio (vorn MB/s / Biopython MB/s): {ours_rate / their_rate:.2f}")


if __name__ == "__main__":
    main()
