#!/usr/bin/python3
"""An interrupted bootstrap or jackknife (by a search or by clustering) says
it was aborted and after how many replicates, and still shows the consensus of the replicates done; a
finished one says how many replicates were completed.

Usage: bootstrap_abort_summary.py <vorn>
"""
import os
import re
import signal
import subprocess
import sys
import tempfile

from vorn_run import cpu_limit, read_output, start_vorn, wait_for_cpu

DATA = """#NEXUS
begin data; dimensions ntax=8 nchar=12; format datatype=standard symbols="01";
matrix
  a 000000000000
  b 110000001100
  c 111100000110
  d 001111000011
  e 000011110001
  f 100000111100
  g 010101010101
  h 101000111010
;
end;
"""

# Far more replicates than a run does before the interrupt.
MANY = 1000000


def interrupted(vorn, command, saved=None):
    """The output; with `saved`, also the exit status and the text of that file
    (None when there is none)."""
    with tempfile.TemporaryDirectory(prefix="vorn-boot-") as tmp:
        proc = start_vorn(vorn, tmp, DATA + "begin vorn;\n  set warntree=no;\n  %s;\nend;\n" % command)
        # Interrupted once the run has had a second and a half of processor
        # time, however busy the machine: a wait by the clock may end before
        # the first replicate on a loaded processor. (Its output reaches the
        # file only in blocks, so it cannot be watched for.)
        wait_for_cpu(proc, 1.5)
        proc.send_signal(signal.SIGINT)
        rc = proc.wait()
        if saved is None:
            return read_output(tmp)
        path = os.path.join(tmp, saved)
        return read_output(tmp), rc, open(path).read() if os.path.exists(path) else None


def svdq_interrupted(vorn):
    """The SVDQuartets bootstrap stopped: the run ends as stopped by the user
    and its tree file holds the trees of the replicates done, closed, with
    the outgroup they were rooted by."""
    command = ("outgroup f g; svdquartets evalq=all nthreads=1 bootstrap=standard nreps=%d seed=3 "
               "treefile=b.tre replace" % MANY)
    out, rc, trees = interrupted(vorn, command, "b.tre")
    found = re.search(r"\nBootstrap aborted after (\d+) replicates\n", out)
    rows = len(re.findall(r"^\ttree SVDQ_\d+ = ", trees or "", re.M))
    if rc != 16 or not found or "majority-rule consensus tree" not in out[found.end():]:
        return ["svdquartets: status %d, no abort summary or consensus\n%s" % (rc, out[-1200:])]
    closed = (trees or "").endswith("end;\n\nbegin VORN;\n\toutgroup f g;\nend;\n")
    if not 0 < rows <= int(found.group(1)) or not closed:
        return ["svdquartets: %s replicates, %d trees in a file ending %r"
                % (found.group(1), rows, (trees or "")[-80:])]
    return []


def swept(vorn, command, summary):
    """The run interrupted once at each poll of the abort flag in turn (the
    test switch VORN_TEST_INTERRUPT_AT_POLL, no timing involved): from the
    first poll inside the loop on, every interrupt stops the run after the
    replicates done, one more for each later poll, until they are all done.
    An interrupt that some step drops shows as a finished run in between."""
    failures, outcomes = [], []
    with tempfile.TemporaryDirectory(prefix="vorn-boot-") as tmp:
        with open(os.path.join(tmp, "case.nex"), "w") as f:
            f.write(DATA + "begin vorn;\n  set warntree=no;\n  %s;\nend;\n" % command)
        k = 0
        while k < 200 and outcomes[-5:] != ["done"] * 5:
            k += 1
            env = dict(os.environ, HOME=tmp, VORN_TEST_INTERRUPT_AT_POLL=str(k))
            out = subprocess.run([vorn, "-n", "case.nex"], cwd=tmp, env=env, stdin=subprocess.DEVNULL,
                                 capture_output=True, preexec_fn=cpu_limit(300)).stdout.decode("utf-8", "replace")
            found = re.search(summary, out)
            if found:
                outcomes.append(int(found.group(1)))
                if "majority-rule consensus tree" not in out[found.end():]:
                    failures.append("%s, poll %d: no consensus of the replicates done" % (command, k))
            elif "5 bootstrap replicates completed" in out:
                outcomes.append("done")
            else:
                outcomes.append("before")
    stops = [o for o in outcomes if o not in ("before", "done")]
    inside = outcomes[outcomes.index(stops[0]):outcomes.index("done", outcomes.index(stops[0]))] if stops else []
    if stops != list(range(1, 5)) or inside != stops:
        failures.append("%s: by poll, %r" % (command, outcomes))
    return failures


def main():
    vorn = os.path.abspath(sys.argv[1])
    failures = []
    for command, summary in (
            ("bootstrap nreps=%d seed=3 search=faststep grpfreq=no" % MANY,
             r"\nBootstrap aborted after (\d+) replicate\(s\)\n"),
            ("jackknife nreps=%d seed=3 search=heuristic grpfreq=no" % MANY,
             r"\nJackknife aborted after (\d+) replicate\(s\)\n"),
            ("bootstrap nreps=%d seed=3 search=bandb grpfreq=no" % MANY,
             r"\nBootstrap aborted after (\d+) replicates\n"),
            # Clustering replicates say so with the method's name.
            ("set criterion=distance; bootstrap nreps=%d seed=3 search=nj grpfreq=no" % MANY,
             r"\nNeighbor-joining bootstrap run aborted after (\d+) replicate\(s\)\n"),
            ("set criterion=distance; bootstrap nreps=%d seed=3 search=upgma grpfreq=no" % MANY,
             r"\nUPGMA bootstrap run aborted after (\d+) replicate\(s\)\n"),
            ("set criterion=distance; jackknife nreps=%d seed=3 search=nj grpfreq=no" % MANY,
             r"\nNeighbor-joining bootstrap run aborted after (\d+) replicate\(s\)\n")):
        out = interrupted(vorn, command)
        found = re.search(summary, out)
        if not found or not 0 < int(found.group(1)) < MANY:
            failures.append("%s: no abort summary\n%s" % (command, out[-1200:]))
        elif "majority-rule consensus tree" not in out[found.end():]:
            failures.append("%s: no consensus of the replicates done\n%s" % (command, out[-1200:]))
    failures += svdq_interrupted(vorn)
    failures += swept(vorn, "set criterion=distance; bootstrap nreps=5 seed=3 search=nj grpfreq=no",
                      r"\nNeighbor-joining bootstrap run aborted after (\d+) replicate\(s\)\n")
    with tempfile.TemporaryDirectory(prefix="vorn-boot-") as tmp:
        proc = start_vorn(vorn, tmp, DATA + "begin vorn;\n  set warntree=no;\n"
                          "  bootstrap nreps=7 seed=3 search=faststep grpfreq=no;\nend;\n")
        proc.wait()
        if "\n7 bootstrap replicates completed\n" not in read_output(tmp):
            failures.append("finished run: no completion line\n" + read_output(tmp)[-1200:])
    for f in failures:
        print(f)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
