#!/usr/bin/python3
"""An interrupt in any window of a simulation loop asks whether to stop, and
the results file keeps exactly the finished replicates.

The program's test switch VORN_TEST_INTERRUPT_AT_POLL=k raises the interrupt
at the k-th poll of the abort flag, so the run is interrupted once, at each
place the program looks for an interrupt in turn: simulating, reading the
replicate's data block, the analysis commands, Tally, writing the row, and
after the loop. No timing is involved. In default mode (-n) the question is
answered yes: an interrupt while the replicate's data are made or one of its
commands runs stops the loop there ("in replicate N": the finished rows, and
the stopped replicate's row as far as its tallies went, as an error leaves
it), one while a replicate is ended stops it after that replicate. An
interrupt before the loop or after it stops the file as anywhere else, but
a results file already written keeps every row.

A long command of a replicate (a bootstrap of a million replicates) is
stopped by the interrupt's "yes" itself, and by a termination signal: both
keep the finished tally of that replicate in its row.

With "threaded" the replicate's analyses are a distance tree and a
threaded SVDQuartets run instead, whose worker threads and whose distance
calculation look at the interrupt flag without polling it.

Usage: sim_interrupt_windows.py <vorn> [threaded]
"""
import os
import re
import subprocess
import sys
import tempfile
from vorn_run import cpu_limit

NREPS = 3
SIM = """#NEXUS
begin taxa; dimensions ntax=5; taxlabels a b c d e; end;
begin trees; tree t = [&R] (((a:0.1,b:0.1):0.1,c:0.2):0.1,(d:0.25,e:0.25):0.05); end;
begin dnasim;
  lset nst=1 basefreq=equal rates=equal pinvar=0;
  truetree source=memory treenum=1;
  simdata nchar=300;
  beginsim nreps=%d seed=3 showModel=no monitor=no resultsFile=(name=res.txt replace);
%s  endsim;
end;
"""
ANALYSES = {
    "search": ("""    hsearch; tally pars;
    bootstrap nreps=2 seed=5 grpfreq=no; tally boot;
""", "pars", "boot"),
    "threaded": ("""    dset distance=p; nj; tally nj;
    svdquartets nthreads=2 seed=4; tally svd;
""", "nj", "svd"),
}
LABELS = ()
QUESTION = "Do you really want to stop the simulation (after the current replicate)?"
OLD = "old results\n"


def run(vorn, tmp, k):
    with open(os.path.join(tmp, "res.txt"), "w") as f:
        f.write(OLD)
    env = dict(os.environ, HOME=tmp, VORN_TEST_INTERRUPT_AT_POLL=str(k))
    done = subprocess.run([vorn, "-n", "sim.nex"], cwd=tmp, env=env, stdin=subprocess.DEVNULL,
                          capture_output=True, preexec_fn=cpu_limit(300))
    with open(os.path.join(tmp, "res.txt")) as f:
        return done.stdout.decode("utf-8", "replace"), f.read()


def steady(out):
    """The output without what differs from run to run: times and dates."""
    return re.sub(r"^.*([Tt]ime used|built on|\d\d:\d\d:\d\d \d{4}).*$", "", out, flags=re.M)


def check(k, out, res):
    """What is wrong with the run interrupted at poll k (empty when nothing)."""
    started = "Starting replicate 1" in out
    if not started:
        # Before the loop: the file is not touched.
        return [] if res == OLD else ["poll %d: stopped before the loop, yet the file changed" % k]
    if "interrupted; the file was left as it was" in out:
        return ["poll %d: the results were abandoned" % k]
    rows = res.split("\n")
    if rows[0] != "Length\tRep" + "".join("\t%s_Ntrees\t%s_correct\t%s_P" % (t, t, t) for t in LABELS):
        return ["poll %d: no header: %r" % (k, rows[:2])]
    reps = [r.split("\t")[1] for r in rows[1:] if r]
    stop = re.search(r"Simulation stopped by the user after replicate (\d+)\.", out)
    inside = re.search(r"Simulation stopped by the user in replicate (\d+)\.", out)
    if QUESTION in out and inside:
        # Stopped in the replicate: the rows before it whole, its own row
        # (when it reached a tally) as far as its tallies went.
        n = int(inside.group(1))
        whole = 2 + 3 * len(LABELS)
        done = [r.split("\t") for r in rows[1:] if r]
        if reps[:n - 1] != [str(i + 1) for i in range(n - 1)] or len(reps) > n or \
                any(len(r) != whole for r in done[:n - 1]) or \
                (len(reps) == n and (reps[-1] != str(n) or not 2 < len(done[-1]) <= whole)):
            return ["poll %d: stopped in replicate %d, the file holds %r" % (k, n, rows)]
        if "Simulation results written to file: res.txt" not in out or "aborted by user" not in out:
            return ["poll %d: stopped in replicate %d without the file announced and the run stopped" % (k, n)]
        return []
    if QUESTION in out:
        # Stopped after the replicate in progress, or the loop's last
        # replicate ended it anyway.
        last = int(stop.group(1)) if stop else NREPS
        if stop is None and "Simulation results written" not in out:
            return ["poll %d: asked, then neither stopped nor finished" % k]
    else:
        # The interrupt came after the loop: every replicate is there, and
        # the rest of the file was not run.
        if "Starting replicate %d" % NREPS not in out or stop or "aborted by user" not in out:
            return ["poll %d: the loop ended without its question: %r" % (k, out[-400:])]
        last = NREPS
    wanted = [str(i + 1) for i in range(last)] + (["means"] if last == NREPS else [])
    if reps != wanted:
        return ["poll %d: the file holds replicates %r, expected %r" % (k, reps, wanted)]
    if "Simulation results written to file: res.txt" not in out:
        return ["poll %d: the results file was not announced" % k]
    return []


LONG = """#NEXUS
begin taxa; dimensions ntax=5; taxlabels a b c d e; end;
begin trees; tree t = [&R] (((a:0.1,b:0.1):0.1,c:0.2):0.1,(d:0.25,e:0.25):0.05); end;
begin dnasim;
  lset nst=1 basefreq=equal rates=equal pinvar=0;
  set criterion=distance;
  truetree source=memory treenum=1;
  simdata nchar=300;
  beginsim nreps=3 seed=3 showModel=no monitor=no resultsFile=(name=res.txt replace);
    nj; tally a;
    bootstrap nreps=1000000 seed=5 search=nj grpfreq=no; tally b;
  endsim;
end;
"""


def long_command(vorn, tmp):
    """Interrupt and terminate inside the long bootstrap (poll 3000)."""
    failures = []
    with open(os.path.join(tmp, "long.nex"), "w") as f:
        f.write(LONG)
    for switch, said in (("3000", "Simulation stopped by the user in replicate 1."),
                         ("3000:15", "Run stopped by SIGTERM")):
        env = dict(os.environ, HOME=tmp, VORN_TEST_INTERRUPT_AT_POLL=switch)
        try:
            done = subprocess.run([vorn, "-n", "long.nex"], cwd=tmp, env=env, stdin=subprocess.DEVNULL,
                                  capture_output=True, timeout=60)
        except subprocess.TimeoutExpired:
            failures.append("poll %s: the bootstrap ran on" % switch)
            continue
        out = done.stdout.decode("utf-8", "replace")
        with open(os.path.join(tmp, "res.txt")) as f:
            rows = f.read().split("\n")
        if said not in out or rows[1:] != ["300\t1\t1\t1.000000\t1.000000", ""]:
            failures.append("poll %s: %r, file %r" % (switch, out[-300:], rows))
    return failures


def main():
    global SIM, LABELS
    vorn = os.path.abspath(sys.argv[1])
    body, *LABELS = ANALYSES[sys.argv[2] if len(sys.argv) > 2 else "search"]
    SIM = SIM % (NREPS, body)
    failures = []
    after = 0  # runs interrupted after the loop
    with tempfile.TemporaryDirectory(prefix="vorn-simint-") as tmp:
        with open(os.path.join(tmp, "sim.nex"), "w") as f:
            f.write(SIM)
        # Past the run's last poll the switch raises nothing: the sweep ends
        # after a stretch of runs that print what the run uninterrupted
        # prints. (A few polls are made only when enough time has passed,
        # so the count of polls varies a little from run to run; and an
        # interrupt that comes just before the flag is reset for a new
        # command is rightly lost.)
        plain = steady(run(vorn, tmp, 0)[0])
        k, unchanged = 0, 0
        while unchanged < 15:
            k += 1
            out, res = run(vorn, tmp, k)
            if steady(out) == plain:
                unchanged += 1
                continue
            unchanged = 0
            failures += check(k, out, res)
            after += QUESTION not in out and "Starting replicate 1" in out
            if k >= 5000:
                failures.append("more than 5000 polls: the sweep is too long to run")
                break
        if len(sys.argv) <= 2:
            failures += long_command(vorn, tmp)
    if after == 0:
        failures.append("the sweep did not reach past the loop (%d polls)" % k)
    for f in failures[:20]:
        print(f)
    print("%d runs, one interrupt each; %d failed" % (k, len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
