#!/usr/bin/python3
"""Questions of the vorn program at a real terminal (a pseudo-terminal).

Each question, and the command prompt, must be on the screen before the
program waits for the answer, on a capable terminal and on a dumb one
(TERM=dumb): the data-reset question (warnReset) and the unsaved-trees
question at Quit, answered only once they have been seen. The question
that MinF on Dollo characters raises, declined and then accepted. A termination
signal that arrives while the line editor waits for a command ends the run
with 128 + the signal, as anywhere else. Ctrl-C during a long analysis
(a simulation loop, AutoModel) asks before it stops anything.

The waits are long so that a busy machine, which may give the program a small
share of a processor, only slows the test; a question that never comes still
fails it.

Usage: run_pty.py <vorn>
"""
import os
import pty
import random
import re
import select
import signal
import sys
import tempfile
import time

DATA = """#NEXUS
begin data;
  dimensions ntax=5 nchar=4;
  format datatype=dna missing=? gap=-;
  matrix
    A  ACTG
    B  ACTG
    C  ACTA
    D  ACTA
    E  ACTT
  ;
end;
hsearch;
"""


class Terminal:
    def __init__(self, argv, cwd, env):
        self.pid, self.fd = pty.fork()
        if self.pid == 0:
            os.chdir(cwd)
            os.execve(argv[0], argv, env)
        self.seen = ""

    def expect(self, text, seconds=600, pattern=False):
        """True when `text` (a regular expression if `pattern`) appears in
        the output not yet matched."""
        until = time.time() + seconds
        find = (lambda: re.search(text, self.seen)) if pattern else (lambda: text in self.seen)
        while not find():
            left = until - time.time()
            if left <= 0:
                return False
            ready, _, _ = select.select([self.fd], [], [], left)
            if not ready:
                continue
            try:
                chunk = os.read(self.fd, 4096)
            except OSError:
                return False
            if not chunk:
                return False
            self.seen += chunk.decode("utf-8", "replace")
        end = re.search(text, self.seen).end() if pattern else self.seen.index(text) + len(text)
        self.matched, self.seen = self.seen[:end], self.seen[end:]
        return True

    def type(self, line):
        os.write(self.fd, (line + "\r").encode())

    def finish(self):
        deadline = time.time() + 600
        while time.time() < deadline:
            pid, status = os.waitpid(self.pid, os.WNOHANG)
            if pid:
                return os.waitstatus_to_exitcode(status)
            try:
                if select.select([self.fd], [], [], 0.2)[0]:
                    os.read(self.fd, 4096)
            except OSError:
                pass
        os.kill(self.pid, 9)
        os.waitpid(self.pid, 0)
        return None


SIM = """#NEXUS
begin taxa; dimensions ntax=4; taxlabels a b c d; end;
begin trees; tree t = [&R] ((a:0.1,b:0.1):0.2,(c:0.25,d:0.25):0.05); end;
begin dnasim;
  lset nst=1 basefreq=equal rates=equal pinvar=0;
  truetree source=memory treenum=1;
  simdata nchar=20000;
  beginsim nreps=100000 seed=3 showModel=no monitor=no resultsFile=(name=res.txt replace);
  endsim;
end;
"""


def sim_interrupt_case(vorn, tmp, env):
    """Ctrl-C during a simulation loop asks whether to stop; the loop stops
    in the replicate in progress (while its data are made) or after it (while
    it ends), and the results file keeps every whole replicate, each with its
    row."""
    failures = []
    with open(os.path.join(tmp, "sim.nex"), "w") as f:
        f.write(SIM)
    term = Terminal([vorn], tmp, env)
    if not term.expect("vorn> "):
        return ["sim: no command prompt: %r" % term.seen[-300:]]
    term.type("execute sim.nex")
    if not term.expect("Starting replicate 3"):
        failures.append("sim: the loop did not run: %r" % term.seen[-300:])
    os.kill(term.pid, signal.SIGINT)
    if not term.expect("Do you really want to stop the simulation (after the current replicate)?"):
        failures.append("sim: no question after Ctrl-C: %r" % term.seen[-300:])
    term.type("y")
    stopped = term.expect(r"Simulation stopped by the user (after|in) replicate ", pattern=True)
    inside = stopped and term.matched.endswith("in replicate ")
    last = term.seen.split(".", 1)[0] if stopped else ""
    if not stopped or not last.isdigit():
        failures.append("sim: no stop in or after the replicate: %r" % term.seen[-300:])
    elif inside:
        last = str(int(last) - 1)
    if not term.expect("Simulation results written to file: res.txt") or not term.expect("vorn> "):
        failures.append("sim: results not kept or no prompt after the stop: %r" % term.seen[-300:])
    term.type("quit")
    term.expect("(Y/n) ", 30) and term.type("y")
    term.finish()
    path = os.path.join(tmp, "res.txt")
    rows = open(path).read().split("\n") if os.path.exists(path) else ["(no results file)"]
    body = [r for r in rows[1:] if r]
    if rows[0] != "Length\tRep" or not last.isdigit() or \
            body != ["20000\t%d" % (i + 1) for i in range(int(last))]:
        failures.append("sim: results file is not the whole replicates: %r" % ((rows[:3] + rows[-3:]),))
    return failures


DOLLO = """#NEXUS
begin data;
  dimensions ntax=5 nchar=6;
  format symbols="01";
  matrix
  a 000000
  b 110000
  c 111100
  d 111111
  e 001111
  ;
end;
begin assumptions; typeset * t = dollo: all; end;
begin vorn; set warnreset=no; hsearch; pset opt=minf; end;
"""


def minf_decline_case(vorn, tmp, env):
    """Declining the change from MinF to AccTran on Dollo characters stops
    the command with nothing described and the setting left as MinF, so the
    next command asks again; accepting goes on under AccTran."""
    failures = []
    with open(os.path.join(tmp, "dollo.nex"), "w") as f:
        f.write(DOLLO)
    term = Terminal([vorn], tmp, env)
    question = "optimization setting to ACCTRAN? (Y/n) "
    if not term.expect("vorn> "):
        return ["minf: no command prompt: %r" % term.seen[-300:]]
    term.type("execute dollo.nex")
    if not term.expect("vorn> "):
        failures.append("minf: the file did not run: %r" % term.seen[-300:])
    term.type("describetrees 1 / plot=none")
    if not term.expect(question):
        failures.append("minf: no question before describing: %r" % term.seen[-300:])
    term.type("n")
    if not term.expect("vorn> ") or "Tree description" in term.seen or "Tree length" in term.seen:
        failures.append("minf: a declined change still described the tree: %r" % term.seen[-300:])
    term.type("describetrees 1 / plot=none")
    if not term.expect(question):
        failures.append("minf: the declined setting was not kept: %r" % term.seen[-300:])
    term.type("y")
    if not term.expect("Accelerated transformation (ACCTRAN)") or not term.expect("Tree length = 8"):
        failures.append("minf: an accepted change did not describe under AccTran: %r" % term.seen[-300:])
    term.expect("vorn> ")
    term.type("quit")
    term.expect("(Y/n) ", 30) and term.type("y")
    term.finish()
    return failures


def automodel_data(path, ntax=12, nchar=15000, seed=7):
    """A DNA matrix whose sites are nearly all distinct patterns, so that
    each of AutoModel's fits takes a while: the fits left after the stop
    must outlast the time a busy machine may take to deliver the rows to
    this script, or the table is done before Ctrl-C arrives."""
    rng = random.Random(seed)
    base = [rng.choice("ACGT") for _ in range(nchar)]
    with open(path, "w") as f:
        f.write("#NEXUS\nbegin data; dimensions ntax=%d nchar=%d; format datatype=dna;\nmatrix\n"
                % (ntax, nchar))
        for t in range(ntax):
            p = 0.15 * (1 + t % 4)
            f.write("t%d %s\n" % (t + 1, "".join(c if rng.random() > p else rng.choice("ACGT") for c in base)))
        f.write(";\nend;\n")


def automodel_interrupt_case(vorn, tmp, env):
    """Ctrl-C during AutoModel asks whether to stop, as a search does: "no"
    lets the fits go on, "yes" stops them with a line that says so, and the
    prompt comes back."""
    failures = []
    automodel_data(os.path.join(tmp, "am_data.nex"))
    with open(os.path.join(tmp, "am.nex"), "w") as f:
        f.write("#NEXUS\nexecute am_data.nex;\nnj;\n")
    term = Terminal([vorn], tmp, env)
    if not term.expect("vorn> "):
        return ["automodel: no command prompt: %r" % term.seen[-300:]]
    term.type("execute am.nex")
    term.expect("vorn> ")
    term.type("automodel modelset=j11")
    question = "Do you really want to stop the search? (Y/n) "
    # Rows of the table show the fits under way: "no" at the second lets
    # them go on, "yes" at the first row after that stops them. The program
    # may have printed more rows before the question, so the second stop
    # waits for any row that follows the answer.
    done = r"Automated model selection stopped by the user after (\d+) models"
    stopped_text = ""
    for row, answer in ((r"\n     2  ", "n"), (r"\n +\d+  ", "y")):
        if not term.expect(row, pattern=True):
            failures.append("automodel: no row %s: %r" % (row.strip(), term.seen[-300:]))
        os.kill(term.pid, signal.SIGINT)
        if answer == "n":
            if not term.expect(question):
                failures.append("automodel: no question after Ctrl-C at row %s: %r"
                                % (row.strip(), term.seen[-300:]))
            term.type(answer)
            continue
        # A Ctrl-C that lands while the "no" is still being taken stops the
        # fits at once, as a second Ctrl-C does; otherwise it asks again.
        if not term.expect(re.escape(question) + "|" + done, pattern=True):
            failures.append("automodel: neither question nor stop after Ctrl-C at row %s: %r"
                            % (row.strip(), term.seen[-300:]))
        elif question in term.matched[-len(question):]:
            term.type(answer)
        else:
            stopped_text = term.matched
    # The fit under way when the question came may finish first; j11 with
    # four variants makes 88.
    stopped = re.search(done, stopped_text + (term.matched if term.expect("vorn> ") else ""))
    if not stopped or not 3 <= int(stopped.group(1)) < 88 or "Model selection results" in term.matched:
        failures.append("automodel: not stopped after the fits made: %r" % term.matched[-300:])
    term.type("quit")
    term.expect("(Y/n) ", 30) and term.type("y")
    term.finish()
    return failures


def main():
    vorn = os.path.abspath(sys.argv[1])
    failures = []
    with tempfile.TemporaryDirectory(prefix="vorn-pty-") as tmp:
        with open(os.path.join(tmp, "a.nex"), "w") as f:
            f.write(DATA)
        # A dumb terminal (Emacs shell buffers, IDE consoles) must see the
        # command prompt before it types too.
        for term_type in ("xterm", "dumb"):
            env = {"HOME": tmp, "TERM": term_type, "PATH": "/usr/bin:/bin"}
            history = os.path.join(tmp, ".vornhistory")
            if os.path.exists(history):
                os.remove(history)
            term = Terminal([vorn, "a.nex"], tmp, env)
            steps = [
                ("vorn> ", "execute a.nex"),
                ("Are you sure you want to reset the active datafile? (Y/n) ", "n"),
                ("vorn> ", "quit"),
                ("Do you want to quit anyway? (Y/n) ", "y"),
            ]
            for shown, answer in steps:
                if not term.expect(shown):
                    failures.append("TERM=%s: not shown before the answer: %r\nafter: %r"
                                    % (term_type, shown, term.seen[-300:]))
                    term.type(answer)  # answer anyway, to see the rest
                    continue
                term.type(answer)
            rc = term.finish()
            if rc != 0:
                failures.append("TERM=%s: exit status %r, expected 0" % (term_type, rc))
            # An interactive run keeps its history, put in place by rename
            # (the line editor keeps none on a dumb terminal).
            if term_type != "dumb" and "execute a.nex" not in (open(history).read() if os.path.exists(history)
                                                                else ""):
                failures.append("TERM=%s: the typed commands are not in the history" % term_type)
            stray = [n for n in os.listdir(tmp) if n.startswith(".vornhistory.")]
            if stray:
                failures.append("TERM=%s: temporary history files left: %s" % (term_type, stray))
        env = {"HOME": tmp, "TERM": "xterm", "PATH": "/usr/bin:/bin"}
        failures += sim_interrupt_case(vorn, tmp, env)
        failures += minf_decline_case(vorn, tmp, env)
        failures += automodel_interrupt_case(vorn, tmp, env)

        # The signal goes to the process the moment the prompt shows, while
        # the line editor may still be setting up; a few rounds each, since
        # a thread other than the main one taking it is a matter of timing.
        for signo in (signal.SIGTERM, signal.SIGHUP) * 3:
            term = Terminal([vorn], tmp, env)
            if not term.expect("vorn> "):
                failures.append("no command prompt: %r" % term.seen[-300:])
            os.kill(term.pid, signo)
            rc = term.finish()
            if rc != 128 + signo:
                failures.append("signal %d at the prompt: exit status %r, expected %d" % (signo, rc, 128 + signo))
    if failures:
        print("\n".join(failures))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
