#!/usr/bin/python3
"""The tree commands on trees of one, two and three taxa, rooted and unrooted.

Usage: tiny_tree_commands.py <vorn>

Every command runs in a run of its own (an error ends a command file), on a
tree read rooted, then made rooted or unrooted by RootTrees or DerootTrees.
Each must either do its work or refuse (an error message, or a note that it
was ignored); it must never crash. CountSwaps's counts are checked.
"""
import os
import re
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
from vorn_run import cpu_limit  # noqa: E402

# No tree of one taxon can be written; that data set has no tree in memory.
TREES = {1: "", 2: "(a,b)", 3: "(a,(b,c))"}
PREPARE = {"as read": "", "rooted": "roottrees;", "unrooted": "deroottrees;"}
# A refusal: an error message, or a note that the command was ignored.
REFUSAL = re.compile(r"^Error(\(#\d+\))?: |command ignored", re.M | re.I)
# Command, and text its output holds when it does its work.
COMMANDS = [
    ("showtrees", "Tree one"),
    ("treeinfo", "in memory"),
    ("describetrees", "Tree length"),
    ("pscores", "Length"),
    ("countswaps", "= {count}\n"),
    ("defaults hsearch swap=spr reconlimit=1; countswaps", "= {count}\n"),
    ("defaults hsearch swap=nni; countswaps", "= {count}\n"),
    ("defaults hsearch swap=tbr reconlimit=infinity; countswaps", "= {count}\n"),
    ("hsearch start=current", "Heuristic search completed"),
    ("hsearch", "Heuristic search completed"),
    ("savetrees file=x.tre replace", "saved to file"),
    ("deroottrees", "unrooted"),
    ("roottrees", "converted from unrooted to rooted"),
]
MARK = "-- the command --"


# Neighbours of the tree: a rooted three-taxon tree has the two other
# rootings of its triplet; an unrooted tree of three or fewer taxa, or a
# rooted pair, has none.
def count(n, how):
    return 2 if n == 3 and how != "unrooted" else 0


def data_file(n):
    rows = "\n".join(f"{t} 0{i % 2}1" for i, t in enumerate("abc"[:n]))
    trees = f"begin trees; tree one = [&R] {TREES[n]}; end;\n" if TREES[n] else ""
    return (f"#NEXUS\nbegin data; dimensions ntax={n} nchar=3; format datatype=standard symbols=\"01\";\n"
            f"matrix\n{rows}\n;\nend;\n{trees}")


def main():
    vorn = os.path.abspath(sys.argv[1])
    failures = []
    runs = 0
    with tempfile.TemporaryDirectory() as work:
        for n in TREES:
            with open(os.path.join(work, f"tiny{n}.nex"), "w") as f:
                f.write(data_file(n))
            for how, prepare in PREPARE.items():
                for command, done in COMMANDS:
                    with open(os.path.join(work, "run.nex"), "w") as f:
                        f.write(f"#NEXUS\nexecute tiny{n}.nex;\n{prepare}\n[!{MARK}]\n{command};\nquit;\n")
                    run = subprocess.run([vorn, "-n", "run.nex"], cwd=work, stdin=subprocess.DEVNULL,
                                         capture_output=True, text=True, errors="replace", preexec_fn=cpu_limit(60))
                    runs += 1
                    out = run.stdout + run.stderr
                    own = out[out.find(MARK):] if MARK in out else out
                    # A refused preparation (no tree to root) ends the run at the command.
                    prepared = not REFUSAL.search(out[:out.find(MARK)] if MARK in out else "")
                    expected = done.format(count=count(n, how)) if "{count}" in done else done
                    case = f"{n} taxa, {how}, {command}"
                    if run.returncode < 0 or run.returncode >= 128 or "Sanitizer" in out:
                        failures.append(f"{case}: crashed (status {run.returncode})\n{out[-2000:]}")
                    elif REFUSAL.search(own) or not prepared:
                        pass
                    elif run.returncode != 0:
                        failures.append(f"{case}: status {run.returncode} without a refusal\n{out[-2000:]}")
                    elif expected not in own:
                        failures.append(f"{case}: neither a refusal nor \"{expected}\"\n{out[-2000:]}")
    for f in failures:
        print(f, file=sys.stderr)
    print(f"{runs - len(failures)} passed, {len(failures)} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
