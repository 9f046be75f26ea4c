#!/usr/bin/env python3
"""An interrupted permutation test, at a terminal.

Usage: permute_abort.py VORN

A PTP test of many replicates is interrupted (SIGINT) and the stop is
confirmed: the results must count only the replicates completed (the rows
add up to the number reported, and P is a fraction of that number, not of
the planned one), and the data must be the user's again (a search then
finds the length of the unpermuted data).
"""
import os
import re
import select
import signal
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
from run_pty import Terminal  # noqa: E402


class RecordingTerminal(Terminal):
    """A terminal that keeps the text each expect read before its match."""

    consumed = ""

    def expect(self, text, seconds=20):
        until = time.time() + seconds
        while text not in self.seen:
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
        at = self.seen.index(text)
        self.consumed = self.seen[:at].replace("\r", "")
        self.seen = self.seen[at + len(text):]
        return True


DATA = """#NEXUS
begin data; dimensions ntax=12 nchar=30; format symbols="01"; matrix
t1  000000000000000000000000000000
t2  110000000011100000000011111000
t3  111000000011110000000001111100
t4  111100000011111000000000111110
t5  111110000001111100000000011111
t6  111111000000111110000000001111
t7  111111100000011111000000000111
t8  111111110000001111100000000011
t9  111111111000000111110000000001
t10 111111111100000011111000000000
t11 011111111110000001111100000000
t12 001111111111000000111110000000
;
end;
"""


def main():
    vorn = os.path.abspath(sys.argv[1])
    with tempfile.TemporaryDirectory(prefix="vorn-perm-") as tmp:
        with open(os.path.join(tmp, "d.nex"), "w") as f:
            f.write(DATA)
        env = {"HOME": tmp, "TERM": "dumb", "PATH": "/usr/bin:/bin"}
        term = RecordingTerminal([vorn], tmp, env)
        failures = []

        def step(shown, answer, seconds=30):
            if not term.expect(shown, seconds):
                failures.append("not shown: %r\nafter: %r" % (shown, term.seen[-400:]))
                return False
            if answer is not None:
                term.type(answer)
            return True

        step("vorn> ", "execute d.nex;")
        step("vorn> ", "set warnreset=no warntree=no maxtrees=20 increase=no;")
        step("vorn> ", "permute test=ptp nreps=1000000 pseed=11;")
        step("PTP test with heuristic search:", None)
        time.sleep(1.0)
        os.kill(term.pid, signal.SIGINT)
        step("(Y/n)", "y")
        # A search stopped while it holds unchecked rearrangements asks about
        # them too; they are not wanted.
        while term.expect("(Y/n)", 2):
            if "stopped by the user after " in term.consumed:
                failures.append("asked after the results: %r" % term.consumed[-300:])
                break
            term.type("n")
        original = None
        if step("stopped by the user after ", None) and step("vorn> ", None, 60):
            block = term.consumed
            done = int(re.match(r"(\d+)", block).group(1))
            p = float(re.search(r"P = ([0-9.]+)", block).group(1))
            rows = re.findall(r"^\s+[0-9.]+\*?\s+(\d+)\s*$", block, re.M)
            star = re.search(r"^\s+(\d+)\.0+\*", block, re.M)
            original = star.group(1) if star else None
            if not 0 < done < 1000000:
                failures.append("replicates completed: %d" % done)
            if sum(int(r) for r in rows) != done:
                failures.append("rows add up to %d, not %d" % (sum(int(r) for r in rows), done))
            if abs(p * done - round(p * done)) > 1e-3 * done or p <= 0:
                failures.append("P = %f is not a fraction of %d replicates" % (p, done))
        term.type("hsearch;")  # at the prompt that ended the results
        if step("Score of best tree(s) found = ", None):
            again = re.match(r"\s*(\d+)", term.seen).group(1)
            if again != original:
                failures.append("after the test a search finds %s, before it %s" % (again, original))
        step("vorn> ", "quit;")
        if term.expect("(Y/n)", 5):  # the trees of the last search are not saved
            term.type("y")
        term.finish()
    if failures:
        print("\n".join(failures))
        return 1
    print("interrupted permutation test checked")
    return 0


if __name__ == "__main__":
    sys.exit(main())
