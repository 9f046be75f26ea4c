#!/usr/bin/python3
"""Refusals of the quartet commands: each file stops at its error and says
why in the system's words; a quartet file in the written form reads back.

Usage: quartet_errors.py <vorn>
"""
import os
import subprocess
import sys
import tempfile
from vorn_run import cpu_limit

TAXA = "#NEXUS\nbegin taxa; dimensions ntax=5; taxlabels A B C D E; end;\n"
GENES = "begin trees; tree g1 = ((A,B),C,(D,E)); tree g2 = ((A,C),B,(D,E)); end;\n"
FIVE = "begin quartets; qlist 1,2|3,4 1,2|3,5 1,2|4,5 1,3|4,5:2.5 2,3|4,5; end;\n"

# (label, text after the taxa block, text the output must hold)
CASES = [
    ("qsearch without quartets", "begin vorn; qsearch; end;",
     "Error: The QSearch command requires previously stored quartet data, but none are available."),
    ("qscores without quartets", "begin vorn; qscores; end;",
     "Error: The QScores command requires previously stored quartet data"),
    ("qscores without trees", FIVE + "begin vorn; qscores; end;",
     "Error(#704): There are no trees in memory."),
    ("qmc program missing", FIVE + "begin vorn; qsearch method=QMC; end;",
     'Error: The program for QSearch was not found (tried "qmc").'),
    ("missing bar", "begin quartets; qlist 1,2,3,4; end;",
     'Error: Expecting vertical bar (|), found ",".'),
    ("missing comma", "begin quartets; qlist 1 2|3,4; end;", "Error: Expecting comma"),
    ("missing second comma", "begin quartets; qlist 1,2|3 4; end;", "Error: Expecting comma"),
    ("unknown taxon", "begin quartets; qlist 1,2|3,F; end;", 'Taxon identifier "F"'),
    ("taxon number out of range", "begin quartets; qlist 1,2|3,9; end;", 'Taxon number "9" is not valid.'),
    ("repeated taxon", "begin quartets; qlist 1,1|2,3; end;",
     "Error: Quartet 1,1|2,3 does not name four different taxa."),
    ("readqmc without a file", "begin quartets; readqmc; end;",
     "Error(#129): No file name was specified."),
    ("bad weight", "begin quartets; qlist 1,2|3,4:x; end;", 'Quartet weight "x" is not a valid number.'),
    # Numbers are decimal: "nan" and "inf" are no numbers at all.
    ("nan weight", "begin quartets; qlist 1,2|3,4:nan; end;", 'Quartet weight "nan" is not a valid number.'),
    ("infinite weight", "begin quartets; qlist 1,2|3,4:inf; end;", 'Quartet weight "inf" is not a valid number.'),
    ("negative weight", "begin quartets; qlist 1,2|3,4 1,2|3,5:-3; end;",
     'Quartet weight "-3" must be a finite number not less than 0.'),
    ("weight beyond a float", "begin quartets; qlist 1,2|3,4:1e39; end;",
     'Quartet weight "1e39" must be a finite number not less than 0.'),
    ("astral without trees", "begin vorn; astral; end;", "Error(#704): There are no trees in memory."),
    ("astral beyond the trees", GENES + "begin vorn; astral 1 3; end;", 'Error(#702): Tree identifier "3" is invalid.'),
    ("astral options", GENES + "begin vorn; astral / method=WO; end;",
     "Error: The Astral command has no options of its own."),
]


def run(vorn, text, files=None):
    with tempfile.TemporaryDirectory(prefix="vorn-quartets-") as tmp:
        home = os.path.join(tmp, "home")
        os.makedirs(home)
        with open(os.path.join(tmp, "case.nex"), "w", encoding="utf-8") as f:
            f.write(text)
        for name, body in (files or {}).items():
            with open(os.path.join(tmp, name), "w", encoding="utf-8") as f:
                f.write(body)
        env = {k: v for k, v in os.environ.items() if k not in ("HOME", "COLUMNS", "LINES")}
        env["HOME"] = home
        done = subprocess.run([vorn, "-n", "case.nex"], cwd=tmp, env=env, stdin=subprocess.DEVNULL,
                              capture_output=True, preexec_fn=cpu_limit(120))
        return done.returncode, done.stdout.decode("utf-8", "replace")


def main():
    vorn = os.path.abspath(sys.argv[1])
    failures = []
    for label, body, expect in CASES:
        status, out = run(vorn, TAXA + body + "\n")
        if status != 32 or expect not in out:
            failures.append("%s: status %d, expected %r in:\n%s" % (label, status, expect, out))
    # A file of quartets in the written form ("%d,%d|%d,%d:%.10f") reads
    # back with its weights.
    text = (TAXA + "begin quartets; readqmc file=q.txt; end;\n"
            "begin trees; tree t = ((A,B),C,(D,E)); end;\nbegin vorn; qscores; end;\n")
    status, out = run(vorn, text, {"q.txt": "1,2|3,4:2.5000000000\n1,2|3,5:1.0000000000\n2,3|1,4\n"})
    if status not in (0, 1) or "sum of quartet weights" not in out or "3.500000  (77.778%)" not in out:
        failures.append("readqmc: status %d\n%s" % (status, out))
    # A bad weight in a quartet file stops the reading there too, before
    # any search can report a total from it.
    text = TAXA + "begin quartets; readqmc file=q.txt; end;\nbegin vorn; qsearch; end;\n"
    status, out = run(vorn, text, {"q.txt": "1,2|3,4:2\n1,2|3,5:-nan\n"})
    if status != 32 or 'Quartet weight "-nan" is not a valid number.' not in out or "Total weight" in out:
        failures.append("readqmc bad weight: status %d\n%s" % (status, out))
    # The error names the line of the quartet at fault, not the next one.
    text = TAXA + "begin quartets; readqmc file=q.txt; end;\n"
    status, out = run(vorn, text, {"q.txt": "1,2|3,4\n1,1|2,3\n\n"})
    if status != 32 or "processing line 2 of file q.txt" not in out:
        failures.append("readqmc repeated taxon: status %d\n%s" % (status, out))
    for f in failures:
        print(f)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
