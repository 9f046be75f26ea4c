#!/usr/bin/env python3
"""Refusals of Filter, RevFilter, SortTrees and tree lists under a filter.

Usage: filter_checks.py VORN

Commands are given one at a time on standard input, so that an error does
not end the run; each refusal must print its error number, leave no filter
behind when it says so, and later commands must still see every tree.
"""
import os
import re
import select
import signal
import subprocess
import sys
import tempfile
import time

DATA = """#NEXUS
begin data; dimensions ntax=5 nchar=6; format symbols="012"; matrix
A 000010
B 001110
C 110101
D 111002
E 101102
; end;
begin trees;
  tree a = [&U] (A,B,(C,(D,E)));
  tree b = [&U] (A,B,((C,D),E));
  tree c = [&U] (A,B,((C,D),E));
  tree d = [&U] (A,(B,(D,E)),C);
end;
"""

TREES_ONLY = """#NEXUS
begin taxa; dimensions ntax=5; taxlabels A B C D E; end;
begin trees;
  tree a = [&U] (A,B,(C,(D,E)));
  tree b = [&U] (A,B,((C,D),E));
end;
"""


def run(vorn, work, text, commands):
    path = os.path.join(work, "f.nex")
    with open(path, "w") as f:
        f.write(text)
    script = "execute f.nex;\n" + "".join(c + "\n" for c in commands) + "quit;\n"
    r = subprocess.run([vorn, "-n"], cwd=work, input=script, capture_output=True, text=True)
    return r.stdout


def chunks(out):
    # The output of each command after the first (the execute).
    return re.split(r"\nvorn> ", out)[2:]


def expect(condition, message, out):
    if not condition:
        sys.exit(message + "\n" + out)


TEN = """#NEXUS
begin data; dimensions ntax=10 nchar=4; format symbols="01"; matrix
a 0000 b 0101 c 1010 d 1111 e 0011 f 0110 g 1100 h 1001 i 0001 j 1000; end;
"""


def interrupted_filter(vorn, work):
    """Scores 2,027,025 trees by Filter, with SIGINT sent 0.3 s after the
    trees are stored."""
    with open(os.path.join(work, "ten.nex"), "w") as f:
        f.write(TEN + "set warnreset=no warntree=no increase=auto maxtrees=2100000;\n"
                "generatetrees all;\nfilter best;\nshowtrees 1;\n")
    p = subprocess.Popen([vorn, "-n", "ten.nex"], cwd=work, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    out = b""
    until = time.time() + 120
    while b"trees stored in tree buffer" not in out and time.time() < until:
        if select.select([p.stdout], [], [], 1)[0]:
            chunk = os.read(p.stdout.fileno(), 4096)
            if not chunk:
                break
            out += chunk
    time.sleep(0.3)
    p.send_signal(signal.SIGINT)
    out += p.stdout.read()
    p.wait()
    return out.decode("utf-8", "replace")


def main():
    vorn = os.path.abspath(sys.argv[1])
    with tempfile.TemporaryDirectory() as work:
        cmds = ["filter;", "filter sd=2;", "filter off;", "filter purge;", "filter best maxscore=10;",
                "filter from=9 sd=1;", "revfilter;", "pscores;"]
        out = run(vorn, work, DATA, cmds)
        parts = chunks(out)
        for code, part in zip(["735", "736", "738", "738", "737", "709", "738"], parts):
            expect("Error(#%s)" % code in part, "expected error %s" % code, part)
        expect("Tree #          1       2       3       4" in parts[7], "a refusal left a filter", parts[7])

        # Under a filter: a tree list naming only hidden trees, SortTrees.
        out = run(vorn, work, DATA, ["filter best;", "pscores 1;", "sorttrees;", "filter purge;", "pscores;",
                                     "sorttrees;"])
        parts = chunks(out)
        expect("Error(#745)" in parts[1], "hidden tree listed", parts[1])
        expect("Error(#782)" in parts[2], "sorting under a filter", parts[2])
        expect("2 tree(s) previously hidden by filter deleted." in parts[3], "purge count", parts[3])
        expect(re.search(r"Tree #\s+1\s+2\n", parts[4]) and "Length          9       9" in parts[4],
               "purge kept the wrong trees", parts[4])

        # Score criteria need data; tree criteria do not. RevFilter, as its
        # row of the command table says, needs characters or distances.
        out = run(vorn, work, TREES_ONLY, ["filter best;", "filter numle=1;", "revfilter;", "filter off;"])
        parts = chunks(out)
        expect("Error(#786)" in parts[0], "scores without data", parts[0])
        expect("Number of trees retained by filter   = 1" in parts[1], "numLE without data", parts[1])
        expect("Error(#210)" in parts[2] and "reversed" not in parts[2], "RevFilter without data", parts[2])
        expect("Tree filter removed; 2 trees now available" in parts[3], "filter off", parts[3])

        # A stopped Filter is the progress window's: it stops at once, with
        # no question about a search, and every tree stays available.
        # The signal comes on the clock; a machine that filters every tree
        # before it arrives has nothing stopped to show.
        out = interrupted_filter(vorn, work)
        finished = "Number of trees retained by filter" in out
        expect("stop the search" not in out and
               ("Filtering canceled.  All trees are now available." in out or finished),
               "stopping a filter", out)
    print("filter checks passed")


if __name__ == "__main__":
    main()
