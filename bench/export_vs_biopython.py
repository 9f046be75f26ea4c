#!/usr/bin/python3
"""Export against Biopython's AlignIO.write on one large DNA alignment.

Generates (fixed seed) 1,000 taxa x 100,000 sites with gaps, missing data
and ambiguity codes as a NEXUS file, reads it once in `vorn` and times
Export to FASTA and to PHYLIP from inside the same process (through the
embedded Python module, so that reading the matrix is not counted), and
times Biopython's AlignIO.write of the same alignment to FASTA. Both write
to /dev/shm when there is one. Prints the medians in MB/s of text written,
by wall time and by CPU time of the process (user and system, steadier on a
busy machine), and the ratios of our FASTA rates to Biopython's.
Usage: export_vs_biopython.py path/to/vorn [runs]
"""
import os
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

NTAX, NSITES = 1000, 100_000


def write_nexus(path):
    rng = random.Random(43)
    pool = "ACGT" * 40 + "-?RYN"
    with open(path, "w") as f:
        f.write("#NEXUS\nbegin data;\n  dimensions ntax=%d nchar=%d;\n" % (NTAX, NSITES))
        f.write("  format datatype=dna missing=? gap=-;\n  matrix\n")
        base = [rng.choice(pool) for _ in range(NSITES)]
        for t in range(NTAX):
            for _ in range(NSITES // 50):
                base[rng.randrange(NSITES)] = rng.choice(pool)
            f.write("taxon_%04d %s\n" % (t, "".join(base)))
        f.write("  ;\nend;\n")


def main():
    vorn = os.path.abspath(sys.argv[1])
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 5
    from Bio import AlignIO
    work = tempfile.mkdtemp(prefix="export-bench-")
    out_dir = tempfile.mkdtemp(prefix="export-bench-", dir="/dev/shm") if os.path.isdir("/dev/shm") else work
    try:
        source = os.path.join(work, "big.nex")
        write_nexus(source)
        fasta = os.path.join(out_dir, "vorn.fas")
        phylip = os.path.join(out_dir, "vorn.phy")
        cmd = os.path.join(work, "run.nex")
        with open(cmd, "w") as f:
            f.write("Execute '%s';\nbegin python;\n" % source)
            f.write("    import time, vorn\n")
            # The first round prepares the data for every later command: not counted.
            f.write("    for i in range(%d):\n" % (runs + 1))
            for name, options, target in (("FASTA", "format=FASTA charsPerLine=60", fasta),
                                          ("PHYLIP", "format=PHYLIP charsPerLine=All interleaved=no", phylip)):
                f.write("        t, c = time.perf_counter(), time.process_time()\n")
                f.write("        vorn.cmd(\"Export %s file='%s' replace;\")\n" % (options, target))
                f.write("        print('TIME %s', time.perf_counter() - t, time.process_time() - c)\n" % name)
            f.write("end;\nQuit;\n")
        done = subprocess.run([vorn, "-n", cmd], cwd=work, capture_output=True, text=True)
        ours = {"FASTA": [], "PHYLIP": []}
        for line in done.stdout.splitlines():
            if line.startswith("[python] TIME "):
                name, wall, cpu = line.split()[2:5]
                ours[name].append((float(wall), float(cpu)))
        ours = {name: times[1:] for name, times in ours.items()}
        if done.returncode != 0 or len(ours["FASTA"]) != runs:
            sys.exit("vorn failed:\n" + done.stdout[-3000:] + done.stderr[-3000:])
        alignment = AlignIO.read(source, "nexus")
        if len(alignment) != NTAX or alignment.get_alignment_length() != NSITES:
            sys.exit("Biopython read a different alignment")
        theirs = []
        target = os.path.join(out_dir, "biopython.fas")
        for _ in range(runs):
            start, cpu = time.perf_counter(), time.process_time()
            AlignIO.write(alignment, target, "fasta")
            theirs.append((time.perf_counter() - start, time.process_time() - cpu))
        # The same sequences in both files, line breaks aside.
        ours_seqs = [r.seq for r in AlignIO.read(fasta, "fasta")]
        if [str(s) for s in ours_seqs] != [str(r.seq).replace("?", "N") for r in alignment]:
            sys.exit("the two FASTA files hold different sequences")
        rates = {}
        print("alignment: %d taxa x %d sites, %d runs each (medians)" % (NTAX, NSITES, runs))
        for name, path, times in (("vorn Export FASTA", fasta, ours["FASTA"]),
                                  ("vorn Export PHYLIP", phylip, ours["PHYLIP"]),
                                  ("Biopython AlignIO.write fasta", target, theirs)):
            mb = os.path.getsize(path) / 1e6
            wall = statistics.median(t[0] for t in times)
            cpu = statistics.median(t[1] for t in times)
            rates[name] = (mb / wall, mb / cpu)
            print("%s: %.1f MB; wall %.3f s = %.1f MB/s; CPU %.3f s = %.1f MB/s"
                  % (name, mb, wall, mb / wall, cpu, mb / cpu))
        for name in ("vorn Export FASTA", "vorn Export PHYLIP"):
            ours_rate, theirs_rate = rates[name], rates["Biopython AlignIO.write fasta"]
            print("%s against Biopython's FASTA: %.2fx by wall time, %.2fx by CPU time"
                  % (name, ours_rate[0] / theirs_rate[0], ours_rate[1] / theirs_rate[1]))
    finally:
        shutil.rmtree(work, ignore_errors=True)
        if out_dir != work:
            shutil.rmtree(out_dir, ignore_errors=True)


if __name__ == "__main__":
    main()
