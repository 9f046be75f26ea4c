#!/usr/bin/python3
"""ToNEXUS against Biopython on one large FASTA alignment.

Generates (fixed seed) an alignment of 300 taxa x 100,000 sites written 60
columns a line (about 30 MB), converts it with `vorn` ToNEXUS (the whole
process, start-up included) and reads the same file with Biopython's
AlignIO.read(path, "fasta"); prints the median throughput of each in MB/s
and their ratio. The converted file is written three times: beside the input
on disk over the previous run's file (the output stream syncs it to the disk
before it replaces the old file), beside the input as a new file (nothing old
to protect, no sync), and in /dev/shm when there is one (memory).
Usage: tonexus_vs_biopython.py path/to/vorn [runs]
"""
import os
import random
import shutil
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
        targets = [("disk, replacing a file", tmp), ("disk, new file", tmp)]
        if os.path.isdir("/dev/shm"):
            targets.append(("memory", tempfile.mkdtemp(prefix="tonexus-bench-", dir="/dev/shm")))
        theirs = []
        ours = {where: [] for where, _ in targets}
        try:
            for _ in range(runs):
                for where, out_dir in targets:
                    cmd = os.path.join(tmp, "cmd.nex")
                    out = os.path.join(out_dir, "big.nex")
                    if where == "disk, new file" and os.path.exists(out):
                        os.remove(out)
                    elif where == "disk, replacing a file" and not os.path.exists(out):
                        with open(out, "w") as f:
                            f.write("an older file\n")
                    with open(cmd, "w") as f:
                        f.write(f"ToNEXUS format=FASTA fromFile={fasta} toFile={out} replace;\nQuit;\n")
                    start = time.perf_counter()
                    done = subprocess.run([vorn, "-n", cmd], cwd=tmp, capture_output=True, text=True)
                    ours[where].append(time.perf_counter() - start)
                    if done.returncode != 0 or "convertedtoNEXUS-formatfile" not in "".join(done.stdout.split()):
                        sys.exit("vorn failed:\n" + done.stdout + done.stderr)
                    with open(out) as f:
                        if f"Dimensions ntax={NTAX} nchar={NSITES};" not in f.read(4096):
                            sys.exit("the converted file has other dimensions")
                start = time.perf_counter()
                alignment = AlignIO.read(fasta, "fasta")
                theirs.append(time.perf_counter() - start)
                if len(alignment) != NTAX or alignment.get_alignment_length() != NSITES:
                    sys.exit("Biopython read a different alignment")
        finally:
            for where, out_dir in targets[2:]:
                shutil.rmtree(out_dir, ignore_errors=True)
        their_rate = megabytes / statistics.median(theirs)
        print(f"file: {megabytes:.1f} MB, {runs} runs each (medians)")
        print(f"Biopython AlignIO.read: {statistics.median(theirs):.3f} s = {their_rate:.1f} MB/s")
        for where, times in ours.items():
            rate = megabytes / statistics.median(times)
            print(f"vorn ToNEXUS, output on {where} (whole process): {statistics.median(times):.3f} s = "
                  f"{rate:.1f} MB/s; ratio to Biopython {rate / their_rate:.2f}")


if __name__ == "__main__":
    main()
