#!/usr/bin/python3
"""Abrupt ends of a running vorn program.

A batch job killed by a scheduler (SIGTERM) or by a closed terminal (SIGHUP)
must leave what it printed in its output and its log, must not leave a
fragment in place of a file, and must exit with 128 + the signal. A tree
file whose writing fails part way (a file-size limit, as a full disk) must
leave the old file as it was.

Usage: run_signals.py <vorn>
"""
import os
import random
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from vorn_run import cpu_limit, wait_for_cpu  # noqa: E402


def data_block(ntax, nchar, seed):
    rng = random.Random(seed)
    rows = "\n".join("    t%d %s" % (i, "".join(rng.choice("ACGT") for _ in range(nchar)))
                     for i in range(ntax))
    return ("begin data;\n  dimensions ntax=%d nchar=%d;\n  format datatype=dna;\n  matrix\n%s\n  ;\nend;\n"
            % (ntax, nchar, rows))


def wait_for(path, text, seconds):
    until = time.time() + seconds
    while time.time() < until:
        if os.path.exists(path) and text in open(path, errors="replace").read():
            return True
        time.sleep(0.05)
    return False


def prepare(tmp, commands, old_lines):
    """The command file and a good tree file the run must not spoil; the latter's text."""
    old_trees = "".join("[an earlier tree file, line %d]\n" % i for i in range(old_lines))
    for name, text in (("keep.tre", old_trees), ("run.nex", commands)):
        with open(os.path.join(tmp, name), "w") as f:
            f.write(text)
    return old_trees


def check_files(tmp, name, old_trees):
    failures = []
    if open(os.path.join(tmp, "keep.tre")).read() != old_trees:
        failures.append("%s: keep.tre was changed" % name)
    stray = [n for n in os.listdir(tmp) if n.startswith(".")]
    if stray:
        failures.append("%s: temporary files left: %s" % (name, stray))
    return failures


def run_case(vorn, name, signo, args, commands, watch, stdin_pipe):
    failures = []
    with tempfile.TemporaryDirectory(prefix="vorn-sig-") as tmp:
        old_trees = prepare(tmp, commands, 20000)
        out = open(os.path.join(tmp, "stdout"), "w")
        err = open(os.path.join(tmp, "stderr"), "w")
        stdin = subprocess.PIPE if stdin_pipe else subprocess.DEVNULL
        env = dict(os.environ, HOME=tmp)
        proc = subprocess.Popen([vorn] + args + ["run.nex"], cwd=tmp, env=env, stdin=stdin, stdout=out,
                                stderr=err)
        log = os.path.join(tmp, "run.log")
        # A search prints nothing while it runs, so its start cannot be
        # watched for; its data are read within moments of processor time.
        if watch:
            started = wait_for(os.path.join(tmp, watch[0]), watch[1], 600)
            time.sleep(0.5)
        else:
            started = wait_for_cpu(proc, 1.5)
        proc.send_signal(signo)
        try:
            rc = proc.wait(timeout=300)
        except subprocess.TimeoutExpired:
            proc.kill()
            rc = proc.wait()
        out.close()
        err.close()
        stdout = open(os.path.join(tmp, "stdout"), errors="replace").read()
        if not started:
            failures.append("%s: the run never reached the point to signal" % name)
        if rc != 128 + signo:
            failures.append("%s: exit status %d, expected %d" % (name, rc, 128 + signo))
        if "Data matrix has" not in stdout and "Processing of file" not in stdout:
            failures.append("%s: output printed before the signal is missing:\n%s" % (name, stdout[-500:]))
        said = "Run stopped by %s" % ("SIGTERM" if signo == signal.SIGTERM else "SIGHUP")
        if said not in stdout:
            failures.append("%s: the output does not say the run was stopped:\n%s" % (name, stdout[-500:]))
        if os.path.exists(log):
            text = open(log, errors="replace").read()
            if "Heuristic search settings" not in text:
                failures.append("%s: the log lacks what was printed:\n%s" % (name, text[-500:]))
        failures += check_files(tmp, name, old_trees)
    return failures


def random_tree(rng, names):
    parts = list(names)
    while len(parts) > 3:
        a = parts.pop(rng.randrange(len(parts)))
        b = parts.pop(rng.randrange(len(parts)))
        parts.append("(%s,%s)" % (a, b))
    return "(%s);" % ",".join(parts)


def limited_write_case(vorn, ignore_signal):
    """Savetrees over a good file under a file-size limit smaller than the new text.

    Whether the run was started with SIGXFSZ ignored or with its default
    action (a shell's ulimit -f), the write must fail as on a full disk:
    exit status 32, error 107, what was printed kept in the output file, the
    old file byte for byte and no temporary file left.
    """
    import resource
    rng = random.Random(4)
    names = ["t%d" % i for i in range(6)]
    trees = "".join("  tree r%d = [&U] %s\n" % (i, random_tree(rng, names)) for i in range(400))
    commands = ("#NEXUS\n" + data_block(6, 20, 5) + "begin trees;\n" + trees + "end;\n"
                "savetrees file=keep.tre format=newick replace;\nquit;\n")
    name = "fsize/%s" % ("ignored" if ignore_signal else "default")
    failures = []
    with tempfile.TemporaryDirectory(prefix="vorn-fsize-") as tmp:
        old_trees = prepare(tmp, commands, 2000)

        def limit():
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN if ignore_signal else signal.SIG_DFL)
            resource.setrlimit(resource.RLIMIT_FSIZE, (4096, 4096))

        with open(os.path.join(tmp, "stdout"), "w") as out_file:
            rc = subprocess.run([vorn, "-n", "run.nex"], cwd=tmp, env=dict(os.environ, HOME=tmp),
                                stdin=subprocess.DEVNULL, stdout=out_file, stderr=subprocess.DEVNULL,
                                preexec_fn=cpu_limit(120, limit)).returncode
        out = open(os.path.join(tmp, "stdout"), errors="replace").read()
        if rc != 32:
            failures.append("%s: exit status %d, expected 32" % (name, rc))
        if "Error(#107): I/O error" not in out or "saved to file" in out:
            failures.append("%s: the failed save was not reported as such:\n%s" % (name, out[-600:]))
        if "Data matrix has" not in out:
            failures.append("%s: output printed before the save is missing" % name)
        os.remove(os.path.join(tmp, "stdout"))
        failures += check_files(tmp, name, old_trees)
    return failures


def limited_score_file_case(vorn):
    """PScores writing its score file past a file-size limit: the write error
    is reported and the success line is not printed; the old file stays."""
    import resource
    rng = random.Random(6)
    names = ["t%d" % i for i in range(6)]
    trees = "".join("  tree r%d = [&U] %s\n" % (i, random_tree(rng, names)) for i in range(600))
    commands = ("#NEXUS\n" + data_block(6, 20, 5) + "begin trees;\n" + trees + "end;\n"
                "pscores all / ci ri scorefile=keep.tre replace;\nquit;\n")
    failures = []
    with tempfile.TemporaryDirectory(prefix="vorn-fsize-") as tmp:
        old_trees = prepare(tmp, commands, 2000)

        def limit():
            resource.setrlimit(resource.RLIMIT_FSIZE, (4096, 4096))

        run = subprocess.run([vorn, "-n", "run.nex"], cwd=tmp, env=dict(os.environ, HOME=tmp),
                             stdin=subprocess.DEVNULL, capture_output=True, preexec_fn=cpu_limit(120, limit))
        out = run.stdout.decode("utf-8", "replace")
        if run.returncode != 32 or "Error" not in out or "Tree scores written" in out:
            failures.append("score file: status %d, the failed write not reported as such:\n%s"
                            % (run.returncode, out[-600:]))
        failures += check_files(tmp, "score file", old_trees)
    return failures


SIM_LOOP = """begin taxa; dimensions ntax=4; taxlabels a b c d; end;
begin trees; tree t = [&R] ((a:0.1,b:0.1):0.2,(c:0.25,d:0.25):0.05); end;
begin dnasim;
  lset nst=1 basefreq=equal rates=equal pinvar=0;
  truetree source=memory treenum=1;
  simdata nchar=20;
  beginsim nreps=%d seed=3 showModel=no monitor=no resultsFile=(name=keep.tre replace);
    nj showtree=no;
    tally nj;
  endsim;
end;
quit;
"""


def limited_sim_results_case(vorn):
    """A simulation loop whose results file fails part way (a file-size
    limit, as a full disk): error 107 once, the loop stops there with the
    batch failed instead of running every replicate and saying the results
    were written; the old file stays."""
    import resource
    failures = []
    with tempfile.TemporaryDirectory(prefix="vorn-fsize-") as tmp:
        old_trees = prepare(tmp, "#NEXUS\n" + SIM_LOOP % 500, 2000)

        def limit():
            resource.setrlimit(resource.RLIMIT_FSIZE, (1024, 1024))

        run = subprocess.run([vorn, "-n", "run.nex"], cwd=tmp, env=dict(os.environ, HOME=tmp),
                             stdin=subprocess.DEVNULL, capture_output=True, preexec_fn=cpu_limit(300, limit))
        out = run.stdout.decode("utf-8", "replace")
        replicates = out.count("Starting replicate")
        if run.returncode != 32 or out.count("Error(#107)") != 1 or "Simulation results written" in out:
            failures.append("sim results: status %d, the failed write not reported as such:\n%s"
                            % (run.returncode, out[-600:]))
        if not 0 < replicates < 500:
            failures.append("sim results: %d replicates ran after the file failed" % replicates)
        failures += check_files(tmp, "sim results", old_trees)
    return failures


def sim_signal_case(vorn, signo, threaded):
    """SIGTERM or SIGHUP during a simulation loop: the run says which signal
    stopped it (not that a user aborted it), exits with 128 + the signal, and
    the results file holds exactly the replicates finished by then, each
    row whole, and the interrupted replicate's row as far as its tallies
    went, as an error leaves it. With `threaded` each replicate also runs a threaded
    SVDQuartets, whose threads see the signal before the main thread does."""
    name = "sim/%s%s" % ("TERM" if signo == signal.SIGTERM else "HUP", "/threads" if threaded else "")
    loop = SIM_LOOP % 1000000
    if threaded:
        # Six taxa: fifteen quartets, shared by the two threads.
        loop = loop.replace("ntax=4; taxlabels a b c d;", "ntax=6; taxlabels a b c d e f;")
        loop = loop.replace("(c:0.25,d:0.25):0.05)", "(c:0.25,(d:0.2,(e:0.1,f:0.1):0.1):0.05):0.05)")
        loop = loop.replace("    tally nj;\n", "    tally nj;\n    svdquartets nthreads=2 seed=4; tally svd;\n")
    failures = []
    with tempfile.TemporaryDirectory(prefix="vorn-sig-") as tmp:
        prepare(tmp, "#NEXUS\n" + loop, 2000)
        with open(os.path.join(tmp, "stdout"), "w") as out:
            proc = subprocess.Popen([vorn, "-n", "run.nex"], cwd=tmp, env=dict(os.environ, HOME=tmp),
                                    stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.DEVNULL)
            started = wait_for(os.path.join(tmp, "stdout"), "Starting replicate 3", 600)
            proc.send_signal(signo)
            rc = proc.wait(timeout=300)
        text = open(os.path.join(tmp, "stdout"), errors="replace").read()
        os.remove(os.path.join(tmp, "stdout"))
        if not started or rc != 128 + signo:
            failures.append("%s: started %s, exit status %d" % (name, started, rc))
        said = "Run stopped by %s" % ("SIGTERM" if signo == signal.SIGTERM else "SIGHUP")
        if said not in text or "aborted" in text or \
                'keep.tre" stopped; the file keeps what was finished before.' not in text:
            failures.append("%s: the stop and the file kept are not said as they are:\n%s" % (name, text[-600:]))
        rows = open(os.path.join(tmp, "keep.tre")).read().split("\n")
        columns = len(rows[0].split("\t"))
        reps = ["".join(r.split("\t")[1:2]) for r in rows[1:-1]]
        # Every row whole but the interrupted replicate's, which goes as far
        # as its tallies went (three fields each), as after an error.
        last = len(rows[-2].split("\t")) if len(rows) > 2 else columns
        whole = rows[-1] == "" and all(len(r.split("\t")) == columns for r in rows[1:-2]) and \
            last <= columns and (last - 2) % 3 == 0
        # The row of a replicate is written before the next one starts.
        begun = text.count("Starting replicate")
        if not rows[0].startswith("Length\tRep\tnj_Ntrees") or not whole or \
                reps != [str(i + 1) for i in range(len(reps))] or not begun - 1 <= len(reps) <= begun:
            failures.append("%s: %d replicates begun, the file holds %r ... %r"
                            % (name, begun, rows[:2], rows[-3:]))
        if any(n.startswith(".") for n in os.listdir(tmp)):
            failures.append("%s: temporary files left" % name)
    return failures


def interrupted_savedist_case(vorn):
    """Ctrl-C (SIGINT) while SaveDist writes a large matrix over a good file
    in a detached run: the run ends as stopped by the user (status 16, the
    file "aborted by user", not failed), the old file stays as it was and no
    temporary file is left."""
    commands = ("#NEXUS\n" + data_block(2000, 20, 8) +
                "savedist file=keep.tre triangle=both replace;\nquit;\n")
    failures = []
    with tempfile.TemporaryDirectory(prefix="vorn-int-") as tmp:
        old_trees = prepare(tmp, commands, 2000)
        out_path = os.path.join(tmp, "stdout")
        with open(out_path, "w") as out:
            proc = subprocess.Popen([vorn, "-n", "-u", "run.nex"], cwd=tmp, env=dict(os.environ, HOME=tmp),
                                    stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.DEVNULL)
            # The new text goes to a temporary file beside the old one: once
            # that exists, the matrix is being written.
            started = False
            until = time.time() + 600
            while not started and time.time() < until and proc.poll() is None:
                started = any(n.startswith(".") for n in os.listdir(tmp))
                time.sleep(0.01)
            proc.send_signal(signal.SIGINT)
            try:
                rc = proc.wait(timeout=300)
            except subprocess.TimeoutExpired:
                proc.kill()
                rc = proc.wait()
        text = open(out_path, errors="replace").read()
        if not started:
            failures.append("savedist/INT: the matrix was never being written:\n%s" % text[-500:])
        if rc != 16 or "aborted by user" not in text or "terminated due to errors" in text:
            failures.append("savedist/INT: status %d, not reported as stopped by the user:\n%s" % (rc, text[-600:]))
        failures += check_files(tmp, "savedist/INT", old_trees)
    return failures


def interrupted_showdist_case(vorn):
    """Ctrl-C (SIGINT) while ShowDist prints a large matrix, commands read
    from standard input under -n: the table stops and says so, and the next
    command runs."""
    commands = ("#NEXUS\n" + data_block(2000, 20, 9) + "showdist;\ntime;\nquit;\n")
    failures = []
    with tempfile.TemporaryDirectory(prefix="vorn-int-") as tmp:
        out_path = os.path.join(tmp, "stdout")
        with open(os.path.join(tmp, "commands"), "w") as f:
            f.write(commands)
        with open(out_path, "w") as out, open(os.path.join(tmp, "commands")) as cmds:
            proc = subprocess.Popen([vorn, "-n"], cwd=tmp, env=dict(os.environ, HOME=tmp),
                                    stdin=cmds, stdout=out, stderr=subprocess.DEVNULL)
            # Well into the table: the banner and the data take far less.
            until = time.time() + 600
            while time.time() < until and proc.poll() is None and os.path.getsize(out_path) < 1000000:
                time.sleep(0.01)
            proc.send_signal(signal.SIGINT)
            try:
                proc.wait(timeout=300)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()
        text = open(out_path, errors="replace").read()
        if "Display of distance matrix canceled by user." not in text or "Current date and time" not in text:
            failures.append("showdist/INT: the stopped table is not said, or the next command did not run:\n%s"
                            % text[-600:])
    return failures


def main():
    vorn = os.path.abspath(sys.argv[1])
    long_search = ("log file=run.log replace;\n" + data_block(40, 300, 11) +
                   "hsearch addSeq=random nreps=1000000 rseed=3 swap=tbr;\n"
                   "savetrees file=keep.tre replace;\nquit;\n")
    waiting = ("log file=run.log replace;\n" + data_block(6, 20, 5) +
               "hsearch;\nsavetrees file=other.tre replace;\n")
    failures = []
    # Computing: the search polls the abort flag.
    failures += run_case(vorn, "search/TERM", signal.SIGTERM, ["-n"], "#NEXUS\n" + long_search,
                         None, False)
    failures += run_case(vorn, "search/HUP", signal.SIGHUP, ["-n"], "#NEXUS\n" + long_search, None, False)
    # Waiting for the next command on standard input.
    failures += run_case(vorn, "waiting/TERM", signal.SIGTERM, [], "#NEXUS\n" + waiting,
                         ("other.tre", "End;"), True)
    failures += limited_write_case(vorn, True)
    failures += limited_write_case(vorn, False)
    failures += limited_score_file_case(vorn)
    failures += limited_sim_results_case(vorn)
    for signo in (signal.SIGTERM, signal.SIGHUP):
        for threaded in (False, True):
            failures += sim_signal_case(vorn, signo, threaded)
    failures += interrupted_savedist_case(vorn)
    failures += interrupted_showdist_case(vorn)
    if failures:
        print("\n".join(failures))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
