#!/usr/bin/python3
"""SaveAssum under a file-size limit: the write fails part way, and the run
must say so (error 107) without saying the assumptions were written.

Usage: saveassum_write_error.py <vorn>
"""
import os
import resource
import signal
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from vorn_run import run_vorn  # noqa: E402

COMMANDS = """#NEXUS
begin data; dimensions ntax=3 nchar=40;
  matrix a 0101010101010101010101010101010101010101 b 1111111111111111111100000000000000000000
         c 1010101010101010101010101010101010101010;
end;
wts 2: 1-10, 3: 11-20;
saveassum file=assumptions.nex replace;
"""


def limit_file_size():
    # A write past the limit then fails with EFBIG instead of ending the run.
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (100, 100))


def main():
    run = run_vorn(os.path.abspath(sys.argv[1]), COMMANDS, limit_file_size)
    text = run.stdout
    problems = []
    if "Error(#107): I/O error" not in text:
        problems.append("no I/O error was reported")
    if "written to file" in text:
        problems.append("the failed save was reported as written")
    if run.returncode != 32:
        problems.append("exit status %d, expected 32" % run.returncode)
    for p in problems:
        print(p)
    if problems:
        print(text)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
