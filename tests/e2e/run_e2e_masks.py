#!/usr/bin/python3
"""The transcript masks of run_e2e.py leave a run's output the same whether
or not the machine was slow enough for a search to show its status display.

The texts are what a likelihood search printed with the status interval at
one second and at none (shortened), and the rows of the other kinds of
status display.

Usage: run_e2e_masks.py
"""
import sys

from run_e2e import mask

QUIET = """No topological constraints in effect
Trees are unrooted

Heuristic search completed
   Total number of rearrangements tried = 9760
   Time used = 0.41 sec (CPU time = 0.40 sec)
"""
SLOW = """No topological constraints in effect
Trees are unrooted

    Elapsed   Taxa      Rearr.  -- Number of trees --        Best
       time  added      tried      saved   to swap        tree(s)
-----------------------------------------------------------------
    0:00:01      -         21          0         -    11632.47976
    0:00:02      -        961          0         -    11629.88008
  123:00:34      -       9760          1         -    11626.43839

Heuristic search completed
   Total number of rearrangements tried = 9760
   Time used = 34.16 sec (CPU time = 33.59 sec)
"""
# A bootstrap's table, with the replicate columns, and quartet puzzling's
# status lines, which have no table heading.
BOOT = """Trees are unrooted

    Elapsed        AddSeq   Taxa      Rearr. -- Number of trees --   ----- Best trees ----
       time    Rep    rep  added      tried     saved   to swap      this rep      overall
------------------------------------------------------------------------------------------
    0:01:00      7      1      9     123456         1         -        812          812
    0:01:00  Number of quartets evaluated = 100 (10.0%)

Bootstrap completed
"""


def main():
    failures = []
    if mask(SLOW, "/w", "/h") != mask(QUIET, "/w", "/h"):
        failures.append("a search's status table is not masked:\n" + mask(SLOW, "/w", "/h"))
    if mask(BOOT, "/w", "/h") != "Trees are unrooted\n\nBootstrap completed\n":
        failures.append("a bootstrap's status table is not masked:\n" + mask(BOOT, "/w", "/h"))
    # Lines that only look like the display stay.
    kept = "Time 0:00:01\n  tally 00:00:01.50\n"
    if mask(kept, "/w", "/h") != kept:
        failures.append("masked more than the status display: %r" % mask(kept, "/w", "/h"))
    for f in failures:
        print(f)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
