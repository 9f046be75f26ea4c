#!/usr/bin/python3
"""Simulation blocks refuse what they cannot do, with the reason.

Each case is a small command file run with -n in a fresh directory: the run
must fail (status 32) and print the expected error with the line of the file
it occurred on; where a loop had opened
its results file, the file must hold what was written before the failure.

Usage: sim_errors.py <vorn>
"""
import os
import subprocess
import sys
import tempfile
from vorn_run import cpu_limit

HEAD = """#NEXUS
begin taxa; dimensions ntax=4; taxlabels a b c d; end;
begin trees;
  tree rooted = [&R] ((a:0.1,b:0.1):0.1,(c:0.1,d:0.1):0.1);
end;
begin vorn; lset nst=1 basefreq=equal rates=equal pinvar=0; end;
"""
TREE = "truetree source=memory treenum=1; simdata nchar=20;"

CASES = [
    ("begin dnasim; begin dnasim; end;", "Simulation blocks are not allowed to be nested."),
    ("begin vorn; truetree source=memory treenum=1; end;",
     'The "TrueTree" command can only be issued from within a simulation block.'),
    ("begin vorn; endsim; end;", 'The "EndSim" command can only be issued from within a simulation block.'),
    ("begin trees; tree unrooted = [&U] (a:0.1,b:0.1,(c:0.1,d:0.1):0.1); end;"
     " begin dnasim; truetree source=memory treenum=1; end;", '"True" trees for simulation must be rooted.'),
    ("begin trees; tree nolengths = [&R] ((a,b),(c,d)); end; begin dnasim; truetree source=memory treenum=1; end;",
     "Trees used as true tree(s) for simulation must contain branch lengths."),
    ("begin dnasim; truetree source=memory treenum=(1:0.5 9:0.5); end;", "Invalid tree number specified: 9"),
    ("begin dnasim; truetree source=memory; end;", "No tree numbers were given in the 'TrueTree' command."),
    ("begin dnasim; truetree source=memory treenum=1 scaleBrlens=-1; end;",
     "The 'scaleBrlens' value must be a nonnegative number."),
    ("begin dnasim; truetree source=memory treenum=1 mscoalescent theta=0; end;",
     "The 'theta' value must be a positive number."),
    ("begin dnasim; truetree treenum=1; end;", "You must specify a model tree type."),
    ("begin dnasim; truetree source=yule; end;",
     "You must specify a (positive) tree height for Yule and birth-death models."),
    ("begin dnasim; truetree source=bd height=1 lambda=1 mu=2; end;", "Lambda must exceed mu in the birth-death model."),
    ("begin dnasim; truetree source=yule height=1 mscoalescent; end;",
     "Multispecies coalescent simulation is (currently) not permitted"),
    ("begin dnasim; %s beginsim nreps=1; tally; endsim; end;" % TREE,
     "No results file has been opened for TALLY command."),
    ("begin vorn; lset nst=2 tratio=estimate; end; begin dnasim; %s beginsim nreps=1; endsim; end;" % TREE,
     "Estimated parameters and/or empirical state frequencies are not allowed in models used for simulation."),
    ("begin vorn; lset basefreq=empirical; end; begin dnasim; %s beginsim nreps=1; endsim; end;" % TREE,
     "Estimated parameters and/or empirical state frequencies are not allowed in models used for simulation."),
    # Refused where the model is named, with no loop after it.
    ("begin dnasim; lset nst=2 tratio=estimate model=est; lset nst=1; sitemodels est; end;",
     "Estimated parameters and/or empirical state frequencies are not allowed in models used for simulation."),
    ("begin vorn; lset nst=2 tratio=estimate; end; begin dnasim; sitemodels default; end;",
     "Estimated parameters and/or empirical state frequencies are not allowed in models used for simulation."),
    ("begin dnasim; simdata nchar=(1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 20 21); end;",
     "At most 20 values may be given for the 'nchar' option."),
    ("begin dnasim; simdata multilocus nchar=10; end;", "The 'nchar' option is not valid in \"multilocus\" mode."),
    ("begin dnasim; simdata multilocus nloci=3; end;",
     "In \"multilocus\" mode, you must specify values for both the number of loci"),
    ("begin dnasim; simdata nloci=3; end;", "The 'nloci' option is only valid in \"multilocus\" mode."),
    ("begin dnasim; simdata nchar=0; end;", "Expecting positive integer value, found: 0"),
    ("begin dnasim; simdata nchar=-5; end;", "Expecting positive integer value, found: -5"),
    ("begin dnasim; simdata nchar=(10 -5); end;", "Expecting positive integer value, found: -5"),
    ("begin dnasim; simdata nchar=10; beginsim; endsim; end;", "No model trees have been defined."),
    ("begin dnasim; truetree source=memory treenum=1; beginsim; endsim; end;",
     "No character counts or sequence lengths were specified."),
    ("begin dnasim; %s beginsim nreps=1; beginsim; endsim; endsim; end;" % TREE,
     "Nested BeginSim commands are not permitted."),
    ("begin dnasim; %s beginsim nreps=1; nj; end;" % TREE, "The simulation loop has no end."),
    ("begin vorn; delete b; end; begin trees; tree pruned = [&R] (a:0.2,(c:0.1,d:0.1):0.1); end;"
     " begin dnasim; %s beginsim nreps=1; endsim; end;" % TREE,
     "A simulation cannot begin while taxa are deleted."),
    ("begin dnasim; sitemodels nosuchmodel; end;", 'Model "nosuchmodel" has not been defined.'),
    ("begin dnasim; sitemodels default:-1; end;", "Expecting a proportion or weight; instead found '-1'"),
    ("begin dnasim; sitemodels default:x; end;", "Expecting a proportion or weight; instead found 'x'"),
    ("begin dnasim; localrate -1: a b; end;", 'Rate "-1" is not valid.'),
    ("begin dnasim; localrate 2 a b; end;", "Expecting colon (:) found 'a'."),
    ("begin dnasim; %s beginsim resultsFile=name=x.txt; endsim; end;" % TREE,
     "Expecting left parenthesis ('(') found \"name\"."),
    # Three taxa can never show two taxa in each state: the redraws stop.
    ("begin taxa; dimensions ntax=3; taxlabels a b c; end;"
     "begin trees; tree t = [&R] ((a:1,b:1):1,c:2); end;"
     "begin twostatesim; truetree source=memory treenum=1; simdata nchar=5;"
     " beginsim nreps=1 discreteMode; endsim; end;",
     "A character could not meet the criteria for acceptance in 1000000 attempts"),
]

# A loop that fails after its first tally, before the replicate ends,
# keeps that tally: the replicate's row as far as it went ends the file.
ABORTED = ("begin dnasim; %s beginsim nreps=3 seed=1 resultsFile=(name=r.txt replace);"
           " usertree (a,b,(c,d)); tally t; usertree nosuchtree; endsim; end;" % TREE)


def run(vorn, text):
    with tempfile.TemporaryDirectory(prefix="vorn-sim-") as tmp:
        env = {k: v for k, v in os.environ.items() if k not in ("HOME", "COLUMNS", "LINES")}
        env["HOME"] = tmp
        with open(os.path.join(tmp, "case.nex"), "w", encoding="utf-8") as f:
            f.write(text + "\nquit;\n")
        with open(os.devnull) as devnull:
            done = subprocess.run([vorn, "-n", "case.nex"], cwd=tmp, env=env, stdin=devnull,
                                  capture_output=True, preexec_fn=cpu_limit(120))
        files = {}
        for name in os.listdir(tmp):
            if name.endswith(".txt"):
                with open(os.path.join(tmp, name), encoding="utf-8") as f:
                    files[name] = f.read()
        out = done.stdout.decode("utf-8", "replace") + done.stderr.decode("utf-8", "replace")
        return done.returncode, " ".join(out.split()), files


def main():
    vorn = sys.argv[1]
    failures = []
    for body, expected in CASES:
        status, out, _ = run(vorn, HEAD + body)
        if status != 32 or " ".join(expected.split()) not in out:
            failures.append("%s\n  status %d, expected 32 and %r\n  got: %s" % (body, status, expected, out[-300:]))
        # Inside the replicate loop too, the error names the file's line.
        elif "Error occurred while processing line" not in out:
            failures.append("%s\n  the error names no line of the file: %s" % (body, out[-300:]))
    status, out, files = run(vorn, HEAD + ABORTED)
    text = files.get("r.txt", "")
    if status != 32 or text != "Length\tRep\tt_Ntrees\tt_correct\tt_P\n20\t1\t1\t1.000000\t1.000000\n":
        failures.append("aborted loop: status %d, results file %r\n  %s" % (status, text, out[-300:]))
    for f in failures:
        print("FAIL:", f)
    print("%d of %d cases failed" % (len(failures), len(CASES) + 1))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
