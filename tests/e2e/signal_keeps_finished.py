#!/usr/bin/python3
"""A run ended by SIGTERM or SIGHUP keeps in its file what it had finished,
exactly as a stop by the user (SIGINT) keeps it.

Each command writes a file of finished parts (the trees of bootstrap and
jackknife replicates under each criterion, the rows of LScores with and
without the topology tests, the trees of SVDQuartets bootstrap replicates
and of Puzzle's steps). The program's test switch
VORN_TEST_INTERRUPT_AT_POLL=k:signo has the program send itself the signal
just after its k-th poll of the abort flag, so every signal arrives at the
same place of the same run: no timing is involved. For each k at which
SIGINT leaves a file holding finished parts, SIGTERM and SIGHUP must end
the run with 128 + the signal, say which signal stopped it, and leave the
same file byte for byte.

Usage: signal_keeps_finished.py <vorn>
"""
import os
import random
import re
import signal
import subprocess
import sys
import tempfile
import time

from vorn_run import cpu_limit


def data(seed):
    rng = random.Random(seed)
    names = ["t%d" % i for i in range(8)]
    rows = "\n".join("  %s %s" % (n, "".join(rng.choice("ACGT") for _ in range(60))) for n in names)
    trees = []
    for i in range(12):
        parts = list(names)
        while len(parts) > 3:
            a = parts.pop(rng.randrange(len(parts)))
            b = parts.pop(rng.randrange(len(parts)))
            parts.append("(%s,%s)" % (a, b))
        trees.append("  tree r%d = [&U] (%s);\n" % (i, ",".join(parts)))
    return ("#NEXUS\nbegin data; dimensions ntax=8 nchar=60; format datatype=dna;\nmatrix\n%s\n;\nend;\n"
            "begin trees;\n%send;\nset warntree=no;\n" % (rows, "".join(trees)))


BOOT = "%s nreps=100000 seed=3 grpfreq=no treefile=out.tre replace"
CASES = [
    ("bootstrap/parsimony", BOOT % "bootstrap", r"\ttree B_"),
    ("jackknife/parsimony", BOOT % "jackknife", r"\ttree B_"),
    ("bootstrap/distance", "set criterion=distance; " + BOOT % "bootstrap", r"\ttree B_"),
    ("jackknife/distance", "set criterion=distance; " + BOOT % "jackknife", r"\ttree B_"),
    ("bootstrap/likelihood", "set criterion=likelihood; " + BOOT % "bootstrap search=faststep", r"\ttree B_"),
    ("jackknife/likelihood", "set criterion=likelihood; " + BOOT % "jackknife search=faststep", r"\ttree B_"),
    ("bootstrap/hennig", BOOT % "bootstrap format=hennig", r"\(t"),
    ("lscores", "lscores all / scorefile=out.tre replace", r"^\d+\t"),
    ("lscores/tests", "lscores all / khtest=bootstrap shtest=yes autest=yes bootreps=20000 seed=4 "
                      "scorefile=out.tre replace", r"^\d+\t"),
    ("svdquartets", "svdquartets evalq=all nthreads=2 bootstrap=standard nreps=100000 seed=3 "
                    "treefile=out.tre replace", r"\ttree SVDQ_"),
    ("puzzle", "puzzle nPuzzles=100000 seed=3 treefile=out.tre replace", r"tree puzzle_"),
]

# What a stop by the user says of the finished parts, which the signals must
# say as well: Puzzle counts the steps done, the bootstrap and jackknife the
# replicates.
SUMMARY = {"puzzle": [r"Puzzling step terminated after \d+ replicates"]}
SUMMARY.update((name, [r"(Bootstrap|Jackknife) aborted after \d+ replicate"]) for name, _, _ in CASES
               if name.startswith(("bootstrap", "jackknife")))


def run(vorn, tmp, command, k, signo):
    """Exit status, output and the file (None when there is none) of the
    command signalled at poll k."""
    path = os.path.join(tmp, "out.tre")
    if os.path.exists(path):
        os.remove(path)
    with open(os.path.join(tmp, "c.nex"), "w") as f:
        f.write(data(7) + "%s;\nquit;\n" % command)
    env = dict(os.environ, HOME=tmp, VORN_TEST_INTERRUPT_AT_POLL="%d:%d" % (k, signo))
    done = subprocess.run([vorn, "-n", "c.nex"], cwd=tmp, env=env, stdin=subprocess.DEVNULL, capture_output=True,
                          preexec_fn=cpu_limit(300))
    text = open(path).read() if os.path.exists(path) else None
    return done.returncode, done.stdout.decode("utf-8", "replace"), text


def split(text, part):
    """The finished parts of a file and the rest of its lines (without the
    time a tree file is stamped with and the heading of each replicate)."""
    parts, rest = [], []
    for line in (text or "").split("\n"):
        if re.search(part, line):
            parts.append(line)
        elif line and not re.search(r"\d\d:\d\d:\d\d \d{4}", line) and not line.startswith("[Trees found in"):
            rest.append(line)
    return parts, rest


def agrees(kept, reference, part, ordered):
    """Whether `kept` holds finished parts as `reference` does: the same text
    around them, and parts of one run the other's. A signal that comes at
    the same poll may not stop at the same place (a few polls are made only
    when enough time has passed), so the parts of one are a prefix of the
    other's; a file in score order, a subset."""
    parts, rest = split(kept, part)
    ref_parts, ref_rest = split(reference, part)
    if not parts or rest != ref_rest:
        return False
    if ordered:
        # A user's stop that comes during a replicate's last refit only
        # cuts the fit short, and the replicate is still counted; a
        # termination ends at the next poll, without it. So the file may
        # lack that one replicate, never more.
        n = min(len(parts), len(ref_parts))
        return parts[:n] == ref_parts[:n] and len(parts) >= len(ref_parts) - 1
    return set(parts) <= set(ref_parts) or set(ref_parts) <= set(parts)


def check_case(vorn, name, command, part, ordered):
    failures = []
    compared = 0
    with tempfile.TemporaryDirectory(prefix="vorn-sigkeep-") as tmp:
        k = 16
        while compared < 2 and k < 10 ** 8:
            k *= 4
            rc, out, kept = run(vorn, tmp, command, k, signal.SIGINT)
            if rc == 0:
                break  # the switch came after the run's last poll
            parts = len(split(kept, part)[0])
            if rc != 16 or parts == 0:
                continue
            compared += 1
            for signo, label in ((signal.SIGTERM, "SIGTERM"), (signal.SIGHUP, "SIGHUP")):
                src, sout, skept = run(vorn, tmp, command, k, signo)
                if src != 128 + signo or "Run stopped by %s" % label not in sout:
                    failures.append("%s, poll %d, %s: status %d, the stop not said:\n%s"
                                    % (name, k, label, src, sout[-500:]))
                for line in SUMMARY.get(name, []):
                    if re.search(line, out) and not re.search(line, sout):
                        failures.append("%s, poll %d, %s: no %r as SIGINT shows:\n%s"
                                        % (name, k, label, line, sout[-800:]))
                if ordered and parts == 1 and skept is None:
                    compared -= signo == signal.SIGTERM  # that one replicate (see agrees): try a later poll
                    continue
                if not agrees(skept, kept, part, ordered):
                    failures.append("%s, poll %d, %s: the file does not keep what SIGINT's does (%d finished "
                                    "parts):\n%r\nagainst\n%r" % (name, k, label, parts, (skept or "")[-300:],
                                                                   kept[-300:]))
    if compared == 0:
        failures.append("%s: no poll found at which SIGINT kept finished parts" % name)
    return failures


def sent_from_outside(vorn, signo):
    """The signal sent by another process, as a scheduler sends it, once the
    file being written (a hidden file beside the target until the run ends)
    shows a second finished replicate: the run keeps replicates 1..n, closed."""
    command = "set criterion=distance; " + BOOT % "bootstrap"
    with tempfile.TemporaryDirectory(prefix="vorn-sigkeep-") as tmp:
        with open(os.path.join(tmp, "c.nex"), "w") as f:
            f.write(data(7) + "%s;\nquit;\n" % command)
        with open(os.path.join(tmp, "stdout"), "w") as out:
            proc = subprocess.Popen([vorn, "-n", "c.nex"], cwd=tmp, env=dict(os.environ, HOME=tmp),
                                    stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT,
                                    preexec_fn=cpu_limit(300))
            shown = False
            while not shown and proc.poll() is None:
                for name in os.listdir(tmp):
                    if name.startswith(".out.tre"):
                        try:
                            shown = shown or "replicate #2]" in open(os.path.join(tmp, name)).read()
                        except OSError:
                            pass
                time.sleep(0.01)
            proc.send_signal(signo)
            rc = proc.wait(timeout=300)
        path = os.path.join(tmp, "out.tre")
        text = open(path).read() if os.path.exists(path) else ""
        numbers = [int(n) for n in re.findall(r"\ttree B_(\d+)\.1 = ", text)]
        left = [n for n in os.listdir(tmp) if n.startswith(".")]
    if not shown or rc != 128 + signo or len(numbers) < 2 or numbers != list(range(1, len(numbers) + 1)) \
            or not text.endswith(";\nend;\n") or left:
        return ["outside %d: shown %s, status %d, replicates %r, file ending %r, left %r"
                % (signo, shown, rc, numbers[:3] + ["..."] + numbers[-3:], text[-40:], left)]
    return []


def stopped_before_written(vorn, signo):
    """SVDQuartets writes its quartet and MRP files only once every quartet
    is scored: a stop (by the user or a signal, sent once the files are open
    beside their targets) before then leaves the old files as they were, and
    a run that said it wrote them leaves them whole."""
    rng = random.Random(11)
    rows = "\n".join("  t%d %s" % (i, "".join(rng.choice("ACGT") for _ in range(2000))) for i in range(60))
    old = "[an earlier file]\n"
    with tempfile.TemporaryDirectory(prefix="vorn-sigkeep-") as tmp:
        with open(os.path.join(tmp, "c.nex"), "w") as f:
            f.write("#NEXUS\nbegin data; dimensions ntax=60 nchar=2000; format datatype=dna;\nmatrix\n%s\n;\nend;\n"
                    "svdquartets evalq=all nthreads=2 qfile=q.txt mrpfile=m.nex replace;\nquit;\n" % rows)
        for name in ("q.txt", "m.nex"):
            with open(os.path.join(tmp, name), "w") as f:
                f.write(old)
        with open(os.path.join(tmp, "stdout"), "w") as out:
            proc = subprocess.Popen([vorn, "-n", "c.nex"], cwd=tmp, env=dict(os.environ, HOME=tmp),
                                    stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT,
                                    preexec_fn=cpu_limit(300))
            while proc.poll() is None and not any(n.startswith(".q.txt") for n in os.listdir(tmp)):
                time.sleep(0.01)
            proc.send_signal(signo)
            rc = proc.wait(timeout=300)
        out = open(os.path.join(tmp, "stdout"), errors="replace").read()
        texts = [open(os.path.join(tmp, name)).read() for name in ("q.txt", "m.nex")]
    if "Quartet information written" in out:
        whole = texts[0].startswith("1,") and texts[1].rstrip().endswith("end;")
        return [] if whole else ["svdquartets, signal %d after the files were written: %r" % (signo, texts)]
    if rc == 0 or texts != [old, old]:
        return ["svdquartets stopped by signal %d before writing: status %d, files %r"
                % (signo, rc, [t[:40] for t in texts])]
    return []


def main():
    vorn = os.path.abspath(sys.argv[1])
    only = sys.argv[2:]
    failures = []
    for name, command, part in CASES:
        if not only or name in only:
            failures += check_case(vorn, name, command, part, not name.startswith("lscores"))
    if not only:
        for signo in (signal.SIGTERM, signal.SIGHUP):
            failures += sent_from_outside(vorn, signo)
        for signo in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            failures += stopped_before_written(vorn, signo)
    for f in failures:
        print(f)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
