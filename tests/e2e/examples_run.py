#!/usr/bin/python3
"""One bundled example, run in a copy of the examples folder. A command file
(one with a VORN block) runs alone to its end with status 0. A data file
holds no Quit: executed from a batch file or typed at the prompt it reads
without an error and leaves the program running, so that the search and
SaveTrees after it write their tree file."""
import os
import re
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
EXAMPLES = os.path.join(HERE, "..", "..", "examples")


def run(vorn, cwd, args, typed=None):
    """`vorn -n` in cwd (also its home, so no start-up file of the user's is
    read) with typed on standard input, or nothing there."""
    env = {k: v for k, v in os.environ.items() if k not in ("HOME", "COLUMNS", "LINES")}
    env["HOME"] = cwd
    return subprocess.run([vorn, "-n"] + args, cwd=cwd, env=env, text=True, timeout=300, input=typed,
                          stdin=subprocess.DEVNULL if typed is None else None,
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT)


def main():
    vorn, example = sys.argv[1], sys.argv[2]
    failures = []
    with tempfile.TemporaryDirectory() as tmp:
        for name in os.listdir(EXAMPLES):
            shutil.copy(os.path.join(EXAMPLES, name), tmp)
        name = example + ".nex"
        text = open(os.path.join(tmp, name)).read()
        if re.search(r"^\s*begin\s+vorn\s*;", text, re.I | re.M):
            alone = run(vorn, tmp, [name])
            if alone.returncode != 0 or "Error" in alone.stdout:
                failures.append("%s alone: status %d\n%s" % (name, alone.returncode, alone.stdout[-800:]))
        else:
            if re.search(r"^\s*quit\s*;", text, re.I | re.M):
                failures.append("%s is a data file and holds Quit" % name)
            after = "hsearch;\nsavetrees file=%s replace;\nquit;\n"
            with open(os.path.join(tmp, "batch.nex"), "w") as f:
                f.write("#NEXUS\nbegin vorn;\nexecute %s;\n%send;\n" % (name, after % "batch.tre"))
            batch = run(vorn, tmp, ["batch.nex"])
            typed = run(vorn, tmp, [], "execute %s;\n%s" % (name, after % "typed.tre"))
            for how, result, tree in (("batch", batch, "batch.tre"), ("typed", typed, "typed.tre")):
                if result.returncode != 0 or "Error" in result.stdout or not os.path.exists(os.path.join(tmp, tree)):
                    failures.append("%s executed (%s): status %d, %s %s\n%s"
                                    % (name, how, result.returncode, tree,
                                       "written" if os.path.exists(os.path.join(tmp, tree)) else "missing",
                                       result.stdout[-800:]))
    for f in failures:
        print(f)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
