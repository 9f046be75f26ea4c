#!/usr/bin/python3
"""RAxMLSearch with the RAxML 8 of Debian (skipped when it is not installed):
the model options of the command line under JC and HKY+I+G with estimated
frequencies, the partition file, the stored tree against RAxML run directly
with the same command line, the bootstrap consensus, the temporary directory
removed or kept, and the refusals (F81, protein data, a character partition
beside a model partition, a program that cannot be found). The RAxML runs
need two processors; with fewer only the refusals are checked and the check
reports itself skipped (77)."""
import os
import re
import shutil
import subprocess
import sys
import tempfile

from vorn_run import cpu_limit, splits, usable_processors

DATA = """#NEXUS
begin data; dimensions ntax=6 nchar=60; format datatype=dna;
matrix
  'A one' CCGTAATGCCTTAACCTAACAGAGTTTTTCGAACTCGTGTTGTCGAGCGACGGAAGTAGA
  'A one b' CCGTAATCCCTTTCCGTAACACAGTCTTTCGAGCTCGTGTTTTTGAGTGACGGAGCCAGA
  C3 AGGTAATGCCTAGCCCTGACAGAATAATTCGAACTGGAGTCTTCGAGCGACGGAATTTGA
  LongTaxonName_1 CCGTAATGCCATTACCTAACAGAGTTCATGGACCTCGTGTTGTTGAGCGACTGAATTAGA
  LongTaxonName_2 CGGTAATGCCTTTTGTTTAAAGAGTTTCTCCACCACATGTAGTCGGGCTACGTGGTTAGA
  'F:6' CCGTATTGCCCTCCCCTCACACAGTTTCGGGAACTCGTGTTCTCGACCGACGGTATTAGA
;
end;
"""
PROTEIN = """#NEXUS
begin data; dimensions ntax=4 nchar=10; format datatype=protein;
matrix
  a ACDEFGHIKL
  b ACDEFGHIKM
  c ACDEFGHIRM
  d ACDQFGHIRM
;
end;
"""
DEBIAN_NAMES = ("raxmlHPC-PTHREADS-AVX", "raxmlHPC-PTHREADS-SSE3", "raxmlHPC-PTHREADS", "raxmlHPC")


def run(vorn, tmp, text, path_env=None):
    path = os.path.join(tmp, "m.nex")
    with open(path, "w") as f:
        f.write(text)
    env = {k: v for k, v in os.environ.items() if k not in ("HOME", "COLUMNS", "LINES")}
    env["HOME"] = tmp
    if path_env is not None:
        env["PATH"] = path_env
    r = subprocess.run([vorn, "-n", path], cwd=tmp, env=env, stdin=subprocess.DEVNULL, capture_output=True,
                       text=True, preexec_fn=cpu_limit(300))
    return r.stdout + r.stderr


def command_lines(out):
    """The echoed command lines, unwrapped (the output engine breaks them at blanks)."""
    lines = []
    for m in re.finditer(r"Starting RAxML with command line: (.*?)\n\nBeginning RAxML", out, re.S):
        lines.append(" ".join(m.group(1).split("\n")))
    return lines


def searches(vorn, tmp, failures):
    """The three RAxML runs and the stored tree against RAxML run directly;
    False when the runs did not come out at all."""
    out = run(vorn, tmp, "#NEXUS\nexecute d.nex;\nbegin vorn;\n"
              "lset nst=1 basefreq=equal rates=equal;\n"
              "raxmlsearch pseed=12345 keepTempFiles showOutput=no;\n"
              "savetrees file=jc.tre format=newick brlens=user replace;\n"
              "charpartition halves = first:1-30, second:31-60;\n"
              "lset nst=2 basefreq=estimate rates=gamma shape=estimate pinvar=estimate tratio=estimate;\n"
              "raxmlsearch cpartition=halves showOutput=no showTree=no;\n"
              "raxmlsearch bootstrap nBootReps=10 keepTempFiles=no showOutput=no;\n"
              "end;\n")
    lines = command_lines(out)
    if len(lines) != 3 or "Bootstrap 50% majority-rule consensus tree (10 bootstrap trees)" not in out:
        print(out)
        print("FAIL: expected three RAxML runs and the bootstrap consensus")
        return False
    jc, hky, boot = lines
    program = jc.split(" && ")[1].split()[0]
    if program not in DEBIAN_NAMES:
        failures.append("factory raxmlBin ran %r" % program)
    for want in (" -m GTRCAT", " -V", " --JC69", " -T 2 -n vorn", " -N 1 -p 12345"):
        if want not in jc:
            failures.append("JC command line lacks %r: %s" % (want, jc))
    for want in (" -m GTRGAMMAIX --HKY85", " -q ", " -T 2 -n vorn -f d -N 1 -p "):
        if want not in hky:
            failures.append("HKY command line lacks %r: %s" % (want, hky))
    if not re.search(r" -b \d+ -N 10 -p \d+$", boot):
        failures.append("bootstrap command line: %s" % boot)
    dirs = [re.match(r"cd '([^']+)'", l).group(1) for l in lines]
    kept = re.findall(r"Temporary files kept in (\S+)", out)
    if kept != dirs[:2] or not all(os.path.isdir(d) for d in dirs[:2]) or os.path.exists(dirs[2]):
        failures.append("temporary directories %r, kept %r" % (dirs, kept))
    try:
        with open(os.path.join(dirs[1], "partition.txt")) as f:
            part = f.read()
        if part != "DNA, first = 1-30\nDNA, second = 31-60\n":
            failures.append("partition.txt %r" % part)
        # The same command line, run directly on the same data file.
        direct = os.path.join(tmp, "direct")
        os.mkdir(direct)
        shutil.copy(os.path.join(dirs[0], "vorndata.txt"), direct)
        args = jc.split(" && ", 1)[1].split()
        args[args.index("-s") + 1] = "vorndata.txt"
        args[args.index("-n") + 1] = "direct"
        subprocess.run(args, cwd=direct, capture_output=True, preexec_fn=cpu_limit(300), check=True)
        with open(os.path.join(direct, "RAxML_bestTree.direct")) as f:
            theirs = splits(f.read())
        with open(os.path.join(tmp, "jc.tre")) as f:
            ours = splits(f.read())
        if set(ours) != set(theirs):
            failures.append("stored tree %r differs from RAxML's %r" % (sorted(map(sorted, ours)),
                                                                       sorted(map(sorted, theirs))))
        elif any(abs(ours[s] - theirs[s]) > 1e-5 for s in ours):
            failures.append("branch lengths %r against RAxML's %r" % (ours, theirs))
    finally:
        for d in dirs[:2]:
            shutil.rmtree(d, ignore_errors=True)
    return True


def main():
    vorn = sys.argv[1]
    if not any(shutil.which(n) for n in DEBIAN_NAMES):
        print("RAxML is not installed; skipped")
        return 77
    failures = []
    with tempfile.TemporaryDirectory() as tmp:
        with open(os.path.join(tmp, "d.nex"), "w") as f:
            f.write(DATA)
        # The threaded RAxML of Debian, run with the two threads the command
        # line asks for, crawls on one processor until the run times out.
        usable = usable_processors()
        if usable >= 2:
            if not searches(vorn, tmp, failures):
                return 1
        else:
            print("RAxML runs skipped: this process may use %d processor; the refusals are still checked" % usable)

        refusals = [
            ("lset nst=1 basefreq=empirical rates=equal; raxmlsearch;",
             "RAxML does not support the F81 model"),
            ("lset nst=1 basefreq=equal rates=equal model=m1; lset nst=2 model=m2; "
             "modpartition two = m1: 1-30, m2: 31-60; lset mpartition=two; "
             "charpartition halves = first:1-30, second:31-60; raxmlsearch cpartition=halves;",
             "You specify both a character partition (\"cpartition\") when a model partition is also in effect."),
            ("raxmlsearch raxmlBin=./no/such/raxml;",
             "The program for RAxMLSearch was not found (tried \"./no/such/raxml\")."),
        ]
        for cmds, want in refusals:
            err = run(vorn, tmp, "#NEXUS\nexecute d.nex;\nbegin vorn; %s end;\n" % cmds)
            # Messages are wrapped at the output width.
            if want not in " ".join(err.split()) or "Starting RAxML" in err:
                failures.append("%s: expected %r in\n%s" % (cmds, want, err))
        # No RAxML on the PATH: every name tried is named and nothing runs.
        err = " ".join(run(vorn, tmp, "#NEXUS\nexecute d.nex;\nbegin vorn; raxmlsearch; end;\n",
                           path_env=os.path.join(tmp, "nothing")).split()).replace("- ", "-")
        m = re.search(r"The program for RAxMLSearch was not found \(tried (.*?)\)\.", err)
        tried = m.group(1).replace('"', "").split(", ") if m else []
        if not tried or tried[0] != "raxml" or tried[1:] != [n for n in DEBIAN_NAMES if n in tried[1:]] or \
                len(tried) < 4 or "raxmlBin" not in err or "Starting RAxML" in err or "127" in err:
            failures.append("no RAxML on the PATH: %s" % err)
        with open(os.path.join(tmp, "p.nex"), "w") as f:
            f.write(PROTEIN)
        err = run(vorn, tmp, "#NEXUS\nexecute p.nex;\nbegin vorn; raxmlsearch; end;\n")
        if "Non-DNA models are not yet supported in the RAxML interface" not in " ".join(err.split()):
            failures.append("protein data: %s" % err)
    for f in failures:
        print("FAIL:", f)
    return 1 if failures else (0 if usable >= 2 else 77)


if __name__ == "__main__":
    sys.exit(main())
