#!/usr/bin/python3
"""A run ended by SIGTERM or SIGHUP while an outside search program works
(RAxMLSearch, GarliSearch) ends that program and everything it started, and
removes the temporary directory it worked in.

The stand-in program records its own process, a child it starts and the
directory it was run in, then waits. The signal is sent once that record
exists (what the program did, not a time); after the run has ended, none of
those processes may be left running and the directory must be gone.

Usage: outside_program_signals.py <vorn>
"""
import os
import signal
import subprocess
import sys
import tempfile
import time

from vorn_run import cpu_limit

DATA = """#NEXUS
begin data; dimensions ntax=5 nchar=20; format datatype=dna;
matrix
  a ACGTACGTACGTACGTACGT
  b ACGTACGTACGTACGTACGA
  c ACGTACGAACGTACGTACGA
  d ACGTTCGAACGTACCTACGA
  e ACTTTCGAACGTACCTACGA
;
end;
"""
# The record is put in place whole: the test reads it as soon as it shows.
STUB = """#!/bin/sh
echo "$$ $(pwd)" > "$STUB_MARK.part"
sleep 1000 &
echo $! >> "$STUB_MARK.part"
mv "$STUB_MARK.part" "$STUB_MARK"
wait
"""


def running(pid):
    """Whether the process exists and is not a zombie waiting to be reaped."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except OSError:
        return False


def case(vorn, command, signo):
    name = "%s/%s" % (command.split()[0], signal.Signals(signo).name)
    with tempfile.TemporaryDirectory(prefix="vorn-outside-") as tmp:
        stub = os.path.join(tmp, "stub.sh")
        with open(stub, "w") as f:
            f.write(STUB)
        os.chmod(stub, 0o755)
        mark = os.path.join(tmp, "mark")
        with open(os.path.join(tmp, "m.nex"), "w") as f:
            f.write(DATA + "%s='%s';\nquit;\n" % (command, stub))
        env = dict(os.environ, HOME=tmp, STUB_MARK=mark)
        with open(os.path.join(tmp, "out"), "w") as out:
            proc = subprocess.Popen([vorn, "-n", "m.nex"], cwd=tmp, env=env, stdin=subprocess.DEVNULL, stdout=out,
                                    stderr=subprocess.STDOUT, preexec_fn=cpu_limit(120))
            while not os.path.exists(mark) and proc.poll() is None:
                time.sleep(0.01)
            started = os.path.exists(mark)
            proc.send_signal(signo)
            rc = proc.wait(timeout=120)
        text = open(os.path.join(tmp, "out")).read()
        first, second = open(mark).read().split("\n")[:2] if started else ("0 ", "0")
        pids = [int(first.split()[0]), int(second)]
        directory = first.split(" ", 1)[1]
        left = [p for p in pids if running(p)]
        # Ended by the test only when the program failed to end them.
        for p in left:
            os.kill(p, signal.SIGKILL)
        failures = []
        if not started or rc != 128 + signo or "Run stopped by %s" % signal.Signals(signo).name not in text:
            failures.append("%s: started %s, status %d:\n%s" % (name, started, rc, text[-400:]))
        if left:
            failures.append("%s: the outside program's processes %r were left running" % (name, left))
        if started and os.path.exists(directory):
            failures.append("%s: the temporary directory %s was left" % (name, directory))
            subprocess.run(["rm", "-rf", "--", directory])
        return failures


def main():
    vorn = os.path.abspath(sys.argv[1])
    failures = []
    for command in ("raxmlsearch raxmlBin", "garlisearch garliBin"):
        for signo in (signal.SIGTERM, signal.SIGHUP):
            failures += case(vorn, command, signo)
    for f in failures:
        print(f)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
