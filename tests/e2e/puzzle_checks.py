#!/usr/bin/python3
"""Puzzle beyond the transcript: its refusals, each before any quartet is
evaluated and leaving the likelihood settings as they were; the distance
criterion and rooted triples under parsimony on data simulated here; and an
interrupt during the puzzling steps, after which the consensus of the steps
completed is still built.

Usage: puzzle_checks.py <vorn>
"""
import math
import os
import random
import re
import signal
import sys
import tempfile
import time

from vorn_run import read_output, start_vorn

TRUE_GROUPS = {"......**", "....**..", "....****", "...*****", "..******"}


def simulate_jc(seed, nsites, internal, terminal):
    """8 sequences under JC on ((((t1,t2),t3),t4),((t5,t6),(t7,t8)))."""
    rng = random.Random(seed)
    a, b, c, d, e, f = internal
    edges = [("r", "A", a), ("r", "B", b), ("A", "C", c), ("A", "t4", terminal), ("C", "D", d),
             ("C", "t3", terminal), ("D", "t1", terminal), ("D", "t2", terminal), ("B", "E", e),
             ("B", "F", f), ("E", "t5", terminal), ("E", "t6", terminal), ("F", "t7", terminal),
             ("F", "t8", terminal)]
    seqs = {"r": [rng.choice("ACGT") for _ in range(nsites)]}
    for parent, child, length in edges:
        same = 0.25 + 0.75 * math.exp(-4.0 * length / 3.0)
        seqs[child] = [x if rng.random() < same else rng.choice([y for y in "ACGT" if y != x])
                       for x in seqs[parent]]
    return {"t%d" % i: "".join(seqs["t%d" % i]) for i in range(1, 9)}


def data_block(rows):
    names = sorted(rows, key=lambda s: int(re.sub(r"\D", "", s) or 0))
    body = "\n".join("  %s %s" % (n, rows[n]) for n in names)
    return ("#NEXUS\nbegin data; dimensions ntax=%d nchar=%d; format datatype=dna;\nmatrix\n%s\n;\nend;\n"
            % (len(rows), len(rows[names[0]]), body))


def random_rows(ntax, nchar, seed):
    rng = random.Random(seed)
    return {"t%d" % i: "".join(rng.choice("ACGT") for _ in range(nchar)) for i in range(1, ntax + 1)}


def run(vorn, text):
    with tempfile.TemporaryDirectory(prefix="vorn-puzzle-") as tmp:
        start_vorn(vorn, tmp, text).wait()
        return read_output(tmp)


def groups_with_percent(out):
    """{dot pattern: percent} of the last frequency table. A step count of a
    million or more is shown with two decimals (it formats in e-notation
    under %g), so the counts are read with or without them."""
    table = out.rsplit("frequency of occurrence", 1)[-1]
    return {m.group(1): float(m.group(2))
            for m in re.finditer(r"^([.*]{8})\s+\d+(?:\.\d+)?\s+([\d.]+)%", table, re.M)}


def main():
    vorn = os.path.abspath(sys.argv[1])
    failures = []

    def expect(label, out, *texts, absent=()):
        # Messages are wrapped to the screen width.
        out = re.sub(r"\s+", " ", out)
        for t in texts:
            if t not in out:
                failures.append("%s: missing %r" % (label, t))
        for t in absent:
            if t in out:
                failures.append("%s: unexpected %r" % (label, t))

    # The taxon limit comes first: 477 taxa pass it (and meet the next
    # refusal), 478 do not.
    many = random_rows(478, 2, 1)
    out = run(vorn, data_block(many) + "begin vorn; puzzle nPuzzles=0; end;\n")
    expect("478 taxa", out, "Error(#532): Limit of 477 taxa exceeded for quartet puzzling.", absent=("#535",))
    del many["t478"]
    out = run(vorn, data_block(many) + "begin vorn; puzzle nPuzzles=0; end;\n")
    expect("477 taxa", out, "Error(#535): You must specify a nonzero value for the number of puzzling steps.",
           absent=("#532", "Quartet puzzling analysis"))

    small = data_block(random_rows(6, 40, 2))
    lset_show = "lset ?;\n"
    refusals = [
        ("clock", "lset clock=yes;\n", "puzzle;", "Error(#534): Quartet puzzling is not supported with "
         "molecular-clock constraint."),
        ("estimated shape", "lset rates=gamma shape=estimate;\n", "puzzle;",
         "Error(#564): Estimation of model parameters (other than branch lengths) is not allowed during "
         "quartet puzzling."),
        ("approximate with estimation", "lset rates=gamma shape=estimate;\n", "puzzle allowParEst=yes;",
         "Error: Use of approximate likelihoods is not allowed when model parameters are being estimated "
         "during quartet puzzling."),
    ]
    for label, setup, command, message in refusals:
        out = run(vorn, small + "begin vorn; set criterion=likelihood;\n" + setup + command + "\nend;\n")
        expect(label, out, message, absent=("Number of quartets to examine",))
    # A run changes the likelihood settings it needs and gives them back.
    out = run(vorn, small + "begin vorn; set errorStop=no; end;\nbegin vorn; set criterion=likelihood;\n" + lset_show +
              "puzzle nPuzzles=20;\n" + lset_show + "end;\n")
    expect("settings", out, "Tree found by quartet-puzzling")
    shown = re.findall(r"Usage: LSet.*?\nprocessor[^\n]*", out, re.S)
    if len(shown) != 2 or shown[0] != shown[1]:
        failures.append("settings: the LSet settings shown before and after a run differ")

    # A tree file that cannot be opened ends the command before any quartet
    # is evaluated.
    out = run(vorn, small + "begin vorn; set criterion=distance; puzzle nPuzzles=5 treefile=no-such-dir/p.tre; end;\n")
    expect("tree file", out, "Error(#130): File", "could not be opened", absent=("Quartet puzzling analysis",))

    # Standard data are taken under the Mk model, which gives no ML distances
    # for the approximation: the quartets are scored exactly, as with
    # useApproxLim=no, and the settings say so.
    mk = data_block({n: r.translate(str.maketrans("ACGT", "0123")) for n, r in random_rows(8, 60, 5).items()})
    mk = mk.replace("datatype=dna", 'datatype=standard symbols="0123"')
    by_mode = []
    for option in ("", " useApproxLim=no"):
        out = run(vorn, mk + "begin vorn; set criterion=likelihood; puzzle nPuzzles=50 seed=2%s; end;\n" % option)
        expect("Mk" + option, out, 'Quartets evaluated using "exact" likelihood calculations',
               "Tree found by quartet-puzzling stored in tree buffer", absent=("Error",))
        by_mode.append(groups_with_percent(out))
    if not by_mode[0] or by_mode[0] != by_mode[1]:
        failures.append("Mk: the default run differs from useApproxLim=no: %s" % by_mode)

    out = run(vorn, data_block(random_rows(3, 20, 3)) + "begin vorn; set criterion=distance; puzzle; end;\n")
    expect("three taxa", out, "Tree-puzzling ", "for unrooted trees", absent=("Quartet puzzling analysis",))

    # Distance criterion and rooted triples on clear signal.
    easy = data_block(simulate_jc(11, 2000, (0.05, 0.06, 0.05, 0.08, 0.07, 0.05), 0.1))
    out = run(vorn, easy + "begin vorn; set criterion=distance; puzzle nPuzzles=200 seed=5; end;\n")
    expect("distance", out, "Optimality criterion = distance", "Number of quartets to examine = 70")
    got = groups_with_percent(out)
    if {g for g, p in got.items() if p == 100.0} != TRUE_GROUPS:
        failures.append("distance: groups at 100%% are %s" % sorted(got))
    # Under midpoint or Lundberg rooting the consensus is rooted by the
    # outgroup while the command runs; the setting stays.
    for method in ("midpoint", "lundberg"):
        out = run(vorn, easy + "begin vorn; set rootmethod=%s; puzzle nPuzzles=20 seed=5; set errorStop=no; set ?; "
                  "end;\n" % method)
        expect(method, out, "Tree found by quartet-puzzling stored in tree buffer")
        if not re.search(r"^rootMethod\s.*\s%s$" % method, out, re.M):
            failures.append("%s: the rooting setting was not kept" % method)
    # An automatic seed is drawn for each run and not kept in the option.
    out = run(vorn, easy + "begin vorn; set errorStop=no; end;\nbegin vorn; set criterion=distance warnTree=no;\n"
              "puzzle nPuzzles=5 showTree=no grpFreq=no; puzzle nPuzzles=5 showTree=no grpFreq=no; puzzle ?; end;\n")
    seeds = re.findall(r"Starting seed = (\d+)", out)
    if len(seeds) != 2 or seeds[0] == seeds[1] or not re.search(r"^seed\s.*\s0$", out, re.M):
        failures.append("automatic seeds: %s, option %s" % (seeds, re.findall(r"^seed\s.*$", out, re.M)))
    out = run(vorn, easy + "begin vorn; set criterion=parsimony; ctype dollo.up:all;\n"
              "puzzle nPuzzles=200 seed=5 penalties=full; end;\n")
    expect("rooted triples", out, "Number of quartets to examine = 56", "Groups found in one or more trees",
           'Using "full" penalization')

    def interrupted(text, when, saved=None):
        """The output; with `saved`, also the exit status and that file's text."""
        with tempfile.TemporaryDirectory(prefix="vorn-puzzle-") as tmp:
            proc = start_vorn(vorn, tmp, text)
            path = os.path.join(tmp, "out.txt")
            until = time.time() + 600
            while time.time() < until and when not in open(path).read():
                time.sleep(0.05)
            proc.send_signal(signal.SIGINT)
            rc = proc.wait()
            if saved is None:
                return open(path).read()
            kept = os.path.join(tmp, saved)
            return open(path).read(), rc, open(kept).read() if os.path.exists(kept) else None

    # An interrupt while the quartets are evaluated ends the command.
    out = interrupted(data_block(random_rows(40, 300, 4)) + "begin vorn; set criterion=likelihood;\n"
                      "puzzle useApproxLim=no dstatus=1; end;\n", "Number of quartets evaluated")
    expect("interrupted evaluation", out, "Quartet puzzling analysis aborted during quartet evaluation.",
           absent=("Tree found by quartet-puzzling", "Puzzling step terminated"))
    # An interrupt during the steps: the consensus of those completed.
    # Their trees are saved too, weighted by how often each was found.
    out, rc, trees = interrupted(easy + "begin vorn; set criterion=distance;\n"
                                 "puzzle nPuzzles=2000000000 dstatus=1 seed=3 showTree=no treefile=pz.tre replace;"
                                 " end;\n", "puzzling steps completed", "pz.tre")
    expect("interrupt", out, "Puzzling step terminated after", "Tree found by quartet-puzzling stored in tree buffer",
           "Trees for each puzzling step written to treefile:")
    done = re.search(r"terminated after (\d+) replicates", out)
    weights = [float(w) for w in re.findall(r"^tree puzzle_\d+ = \[&U\] \[&W ([\d.e+]+)\]", trees or "", re.M)]
    # The weights are written with six digits (%g).
    if rc != 16 or not done or not (trees or "").endswith("end;\n") or \
            abs(sum(weights) - int(done.group(1))) > 1e-5 * int(done.group(1)) * len(weights):
        failures.append("interrupt: status %d, the steps' trees not saved whole (weights %s):\n%s"
                        % (rc, sum(weights), (trees or "")[-300:]))
    got = groups_with_percent(out)
    if not done or {g for g, p in got.items() if p == 100.0} != TRUE_GROUPS:
        failures.append("interrupt: no consensus of the completed steps (%s)" % sorted(got))
    elif not re.search(r"\.\.\.\.\.\.\*\*\s+%s(?:\.0+)?\s" % done.group(1), out):
        failures.append("interrupt: group counts are not the %s steps completed" % done.group(1))

    for f in failures:
        print(f)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
