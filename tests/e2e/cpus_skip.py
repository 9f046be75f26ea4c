#!/usr/bin/python3
"""The processors a transcript declares in <name>.cpus: the case is skipped
(77, saying why) only when the process may use fewer, and a case that does
run is still compared, so a wrong transcript fails whatever it declares.

Usage: cpus_skip.py <vorn>"""
import os
import shutil
import subprocess
import sys
import tempfile

from vorn_run import usable_processors

RUNNER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "run_e2e.py")
CASE = "#NEXUS\nbegin data; dimensions ntax=4 nchar=2; matrix a AC b AC c AG d AG; end;\nbegin vorn; quit; end;\n"


def main():
    vorn = sys.argv[1]
    usable = usable_processors()
    failures = []
    with tempfile.TemporaryDirectory() as tmp:
        case = os.path.join(tmp, "cpus.nex")
        with open(case, "w") as f:
            f.write(CASE)

        def declare(n):
            with open(os.path.join(tmp, "cpus.cpus"), "w") as f:
                f.write("%d\n" % n)

        def runner(bless=False):
            env = dict(os.environ, VORN_E2E_BLESS="1" if bless else "0")
            return subprocess.run([sys.executable, RUNNER, vorn, case], env=env, capture_output=True, text=True)

        declare(usable)
        runner(bless=True)
        if runner().returncode != 0:
            failures.append("a case needing the %d usable processors did not pass" % usable)
        declare(usable + 1)
        r = runner()
        if r.returncode != 77 or "needs %d processors, this process may use %d" % (usable + 1, usable) not in r.stdout:
            failures.append("a case needing one processor more: status %d, %r" % (r.returncode, r.stdout))
        shutil.copy(case, os.path.join(tmp, "cpus.out"))
        declare(usable)
        if runner().returncode != 1:
            failures.append("a wrong transcript needing the usable processors was not reported failed")
    for f in failures:
        print("FAIL:", f)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
