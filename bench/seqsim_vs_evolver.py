#!/usr/bin/python3
"""Sequence simulation against PAML's evolver (option 5).

50 taxa x 10^6 sites under HKY+G4 (kappa 4, shape 0.5, frequencies
A 0.3 C 0.2 G 0.2 T 0.3) on one Yule tree of height 0.5: vorn_bench's
BM_SeqSimHkyG4ToFile simulates and writes a PHYLIP file and also writes the
tree it uses; evolver simulates the same on that tree and writes its
sequences. Both write to /dev/shm when there is one. Prints the CPU times
(user + system; medians of `runs`) and the ratio ours / evolver's.
Usage: seqsim_vs_evolver.py path/to/vorn_bench [runs]
"""
import json
import os
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile

MCBASE = """ 0     * 0: sequences in paml format (mc.paml)
 12345  * random number seed (odd number)

50 1000000 1  * <# seqs>  <# nucleotide sites>  <# replicates>
-1         * <tree length, use -1 if tree below has absolute branch lengths>

{tree}

4          * model: 0:JC69, 1:K80, 2:F81, 3:F84, 4:HKY85, 5:T92, 6:TN93, 7:REV
4          * kappa or rate parameters in model
0.5  4     * <alpha>  <#categories for discrete gamma>

0.3 0.2 0.3 0.2    * base frequencies
  T        C        A        G
"""


def child_cpu(run):
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    run()
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)


def main():
    bench = os.path.abspath(sys.argv[1])
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 3
    evolver = shutil.which("paml-evolver")
    if not evolver:
        print("paml-evolver is not installed (Debian package paml)")
        return 77
    base = "/dev/shm" if os.path.isdir("/dev/shm") else None
    work = tempfile.mkdtemp(prefix="seqsim-bench-", dir=base)
    try:
        env = dict(os.environ, VORN_SEQSIM_NEWICK=os.path.join(work, "yule.tre"), VORN_SEQSIM_DIR=work)
        ours, theirs = [], []
        for _ in range(runs):
            def run_ours():
                subprocess.run([bench, "--benchmark_filter=BM_SeqSimHkyG4ToFile", "--benchmark_format=json",
                                "--benchmark_min_time=0.01"], env=env, check=True, capture_output=True)
            ours.append(child_cpu(run_ours))
            with open(os.path.join(work, "yule.tre")) as f:
                tree = f.read().strip()
            with open(os.path.join(work, "MCbase.dat"), "w") as f:
                f.write(MCBASE.format(tree=tree))

            def run_evolver():
                subprocess.run([evolver, "5", "MCbase.dat"], cwd=work, check=True, capture_output=True)
            theirs.append(child_cpu(run_evolver))
            size = os.path.getsize(os.path.join(work, "mc.paml"))
            if size < 50 * 1000000:
                raise SystemExit("evolver wrote only %d bytes" % size)
        a, b = statistics.median(ours), statistics.median(theirs)
        # The benchmark process also builds its tree and runs a warm-up
        # pass; its CPU time is the whole process, as evolver's is.
        print("vorn_bench (simulate + write PHYLIP): %.2f s CPU (median of %d)" % (a, runs))
        print("paml-evolver 5:                       %.2f s CPU (median of %d)" % (b, runs))
        print("ratio vorn / evolver: %.3f" % (a / b))
        return 0
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
