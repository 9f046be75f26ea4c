#!/usr/bin/python3
"""GarliSearch against stand-in programs (GARLI itself is not packaged): the
configuration file's keys in order with the values the options and the
model give, the NEXUS data file with its garli block (kappa checked against
the ti/tv ratio and the written frequencies), the tree the stand-in writes
read back with its Translate table, a program given by a relative path, and
a failing program's return code."""
import os
import re
import subprocess
import sys
import tempfile

from vorn_run import cpu_limit, splits

DATA = """#NEXUS
begin data; dimensions ntax=5 nchar=24; format datatype=dna;
matrix
  'Homo sapiens' ACTGCCTAGAGTCACTTGAACGAA
  Pan ACTGCCTAGAATCACTTGAACGAA
  Gorilla ACTGCTTAGAGTCGCTTAAACGAA
  Pongo ACTACCTGGAGCCGCTTAAGCGTA
  'Hylo:bates' ACTACTTGGAGTCGCTTAAACGTA
;
end;
"""
GENERAL = ["datafname", "constraintfile", "streefname", "attachmentspertaxon", "ofprefix", "randseed",
           "availablememory", "logevery", "saveevery", "refinestart", "outputeachbettertopology",
           "outputcurrentbesttopology", "enforcetermconditions", "genthreshfortopoterm", "scorethreshforterm",
           "significanttopochange", "outputphyliptree", "outputmostlyuselessfiles", "writecheckpoints", "restart",
           "outgroup", "resampleproportion", "inferinternalstateprobs", "outputsitelikelihoods",
           "optimizeinputonly", "collapsebranches", "searchreps", "bootstrapreps", "linkmodels",
           "subsetspecificrates", "datatype", "ratematrix", "statefrequencies", "ratehetmodel", "numratecats",
           "invariantsites"]
MASTER = ["nindivs", "holdover", "selectionintensity", "holdoverpenalty", "stopgen", "stoptime", "startoptprec",
          "minoptprec", "numberofprecreductions", "treerejectionthreshold", "topoweight", "modweight",
          "brlenweight", "randnniweight", "randsprweight", "limsprweight", "intervallength", "intervalstostore",
          "limsprrange", "meanbrlenmuts", "gammashapebrlen", "gammashapemodel", "uniqueswapbias",
          "distanceswapbias"]
# The stand-in keeps the files it was given and answers with a NEXUS tree
# file that names the taxa through a Translate table, as GARLI writes it.
STUB = """#!/bin/sh
[ "$1" = "-b" ] || exit 9
# The configuration is named in the directory the command changed into.
[ "$2" = "vorn_garli.conf" ] && [ -f vorn_garli.conf ] || exit 7
cp "$2" vorndata.nex "$GARLI_STUB_OUT"/ || exit 8
cat > vorn.best.tre <<'END'
#nexus
begin trees;
translate
 1 'Homo sapiens',
 2 Pan,
 3 Gorilla,
 4 Pongo,
 5 'Hylo:bates';
tree best = [&U][!GarliScore -100.0] ((1:0.01,2:0.02):0.03,3:0.04,(4:0.05,5:0.06):0.07);
end;
END
if ! grep -q "^bootstrapreps = 0$" "$2"; then
cat > vorn.boot.tre <<'END'
#nexus
begin trees;
translate 1 'Homo sapiens', 2 Pan, 3 Gorilla, 4 Pongo, 5 'Hylo:bates';
tree b1 = [&U] ((1,2),3,(4,5));
tree b2 = [&U] ((1,2),4,(3,5));
tree b3 = [&U] ((1,3),2,(4,5));
end;
END
fi
echo "stand-in done"
"""
FAIL_STUB = "#!/bin/sh\necho failing\nexit 3\n"


def run(vorn, tmp, text):
    path = os.path.join(tmp, "m.nex")
    with open(path, "w") as f:
        f.write(text)
    env = {k: v for k, v in os.environ.items() if k not in ("HOME", "COLUMNS", "LINES")}
    env["HOME"] = tmp
    env["GARLI_STUB_OUT"] = os.path.join(tmp, "got")
    r = subprocess.run([vorn, "-n", path], cwd=tmp, env=env, stdin=subprocess.DEVNULL, capture_output=True,
                       text=True, preexec_fn=cpu_limit(120))
    return r.stdout + r.stderr


def read_conf(tmp):
    with open(os.path.join(tmp, "got", "vorn_garli.conf")) as f:
        return f.read()


def main():
    vorn = sys.argv[1]
    failures = []
    with tempfile.TemporaryDirectory() as tmp:
        os.mkdir(os.path.join(tmp, "got"))
        os.mkdir(os.path.join(tmp, "bin"))
        for name, text in (("bin/garlistub", STUB), ("bin/garlifail", FAIL_STUB)):
            with open(os.path.join(tmp, name), "w") as f:
                f.write(text)
            os.chmod(os.path.join(tmp, name), 0o755)
        with open(os.path.join(tmp, "d.nex"), "w") as f:
            f.write(DATA)
        out = run(vorn, tmp, "#NEXUS\nexecute d.nex;\nbegin vorn;\noutgroup 2 3;\n"
                  "lset nst=2 tratio=2 basefreq=empirical rates=gamma shape=0.5 ncat=4 pinvar=0;\n"
                  "garlisearch garliBin=bin/garlistub seed=77 nSearchReps=3 memory=256;\n"
                  "savetrees file=g.tre format=newick brlens=user replace;\nend;\n")
        line = re.search(r"Starting Garli with command line: (.*?)\n\nBeginning", out, re.S)
        if not line or "Tree from Garli (also stored in tree buffer):" not in out:
            print(out)
            print("FAIL: no Garli run and tree")
            return 1
        line = " ".join(line.group(1).split("\n"))
        m = re.match(r"cd '(/tmp/vorn\.[^']+)' && '([^']+)' -b (\S+)$", line)
        if not m or m.group(2) != os.path.join(tmp, "bin/garlistub") or \
                m.group(3) != "vorn_garli.conf":
            failures.append("command line %r" % line)
        elif os.path.exists(m.group(1)):
            failures.append("temporary directory %s left behind" % m.group(1))
        if "| stand-in done" not in out:
            failures.append("program output not shown with its prefix")
        conf = read_conf(tmp).splitlines()
        keys = [l.split(" = ")[0] for l in conf if " = " in l]
        values = dict(l.split(" = ", 1) for l in conf if " = " in l)
        if conf[0] != "[general]" or "[master]" not in conf:
            failures.append("sections: %r" % conf)
        if keys != GENERAL + MASTER:
            failures.append("keys in order: %r" % keys)
        want = {"datafname": "vorndata.nex", "randseed": "77", "availablememory": "256", "searchreps": "3",
                "bootstrapreps": "0", "outgroup": "2-3", "datatype": "nucleotide", "ratematrix": "fixed",
                "statefrequencies": "fixed", "ratehetmodel": "gammafixed", "numratecats": "4",
                "invariantsites": "none", "ofprefix": "vorn", "outputphyliptree": "1", "streefname": "stepwise"}
        for k, v in want.items():
            if values.get(k) != v:
                failures.append("%s = %r, expected %r" % (k, values.get(k), v))
        with open(os.path.join(tmp, "got", "vorndata.nex")) as f:
            data = f.read()
        if "dimensions ntax=5 nchar=24;" not in data or "'Hylo:bates' ACTACTTGGAGTCGCTTAAACGTA" not in data:
            failures.append("data block:\n%s" % data)
        block = re.search(r"begin garli;\n (.*)end;", data, re.S)
        nums = re.findall(r"[-0-9.e]+", block.group(1)) if block else []
        if not block or not block.group(1).startswith(" r 1 ") or len(nums) != 11:
            failures.append("garli block %r" % (block.group(1) if block else data))
        else:
            kappa, freqs, shape = float(nums[1]), [float(x) for x in nums[6:10]], float(nums[10])
            a, c, g, t = freqs
            # ti/tv ratio 2 as the HKY kappa of these frequencies
            want_kappa = 2.0 * (a + g) * (c + t) / (a * g + c * t)
            if abs(kappa - want_kappa) > 1e-4 * want_kappa or shape != 0.5 or abs(sum(freqs) - 1) > 1e-4:
                failures.append("garli block values %r (kappa expected %g)" % (nums, want_kappa))
        with open(os.path.join(tmp, "g.tre")) as f:
            tree = splits(f.read())
        # Each split as the side without Gorilla (the first label in order).
        want_tree = {frozenset(["Homosapiens"]): 0.01, frozenset(["Pan"]): 0.02,
                     frozenset(["Homosapiens", "Pan", "Pongo", "Hylobates"]): 0.04, frozenset(["Pongo"]): 0.05,
                     frozenset(["Hylobates"]): 0.06, frozenset(["Pongo", "Hylobates"]): 0.07,
                     frozenset(["Homosapiens", "Pan"]): 0.03}
        if set(tree) != set(want_tree) or any(abs(tree[k] - want_tree[k]) > 1e-6 for k in tree):
            failures.append("stored tree %r" % tree)

        # Bootstrap trees: the majority-rule consensus keeps (Homo, Pan) and
        # (Pongo, Hylobates), each in two of three trees, and replaces them.
        out = run(vorn, tmp, "#NEXUS\nexecute d.nex;\nbegin vorn;\n"
                  "garlisearch garliBin=bin/garlistub bootstrap nBootReps=3;\n"
                  "savetrees file=b.tre format=newick replace;\nend;\n")
        if "Bootstrap 50% majority-rule consensus tree (3 bootstrap trees)" not in out or \
                "bootstrapreps = 3" not in read_conf(tmp):
            failures.append("bootstrap run:\n%s" % out)
        else:
            with open(os.path.join(tmp, "b.tre")) as f:
                text = f.read()
            groups = {s for s in splits(text) if 1 < len(s) < 4}
            if text.count(";") != 1 or groups != {frozenset(["Homosapiens", "Pan"]), frozenset(["Pongo", "Hylobates"])}:
                failures.append("bootstrap consensus in memory %r" % text)
            # Every group of the three trees is listed with its count, as a
            # bootstrap of the program's own lists them.
            rows = set(re.findall(r"^([.*]{5}) +(\d+) +([\d.]+%)$", out, re.M))
            if rows != {("...**", "2", "66.67%"), ("..***", "2", "66.67%"), ("..*.*", "1", "33.33%"),
                        (".*.**", "1", "33.33%")}:
                failures.append("bootstrap group table %r" % sorted(rows))
        err = run(vorn, tmp, "#NEXUS\nexecute d.nex;\nbegin vorn; garlisearch garliBin=bin/garlifail; end;\n")
        if "Garli search failed, return code = 3" not in err or "| failing" not in err:
            failures.append("failing program:\n%s" % err)
        # A codon model needs whole codons: 24 characters are 8, 23 are none.
        out = run(vorn, tmp, "#NEXUS\nexecute d.nex;\nbegin vorn; garlisearch garliBin=bin/garlistub codonModel; end;\n")
        if "datatype = codon" not in read_conf(tmp):
            failures.append("codon model on 24 characters:\n%s" % out)
        os.remove(os.path.join(tmp, "got", "vorn_garli.conf"))
        out = run(vorn, tmp, "#NEXUS\nexecute d.nex;\nbegin vorn; exclude 24; garlisearch garliBin=bin/garlistub "
                             "codonModel; end;\n")
        if "must be a multiple of 3 for codon-based" not in " ".join(out.split()) or \
                os.path.exists(os.path.join(tmp, "got", "vorn_garli.conf")):
            failures.append("codon model on 23 characters:\n%s" % out)
        err = run(vorn, tmp, "#NEXUS\nexecute d.nex;\nbegin vorn; garlisearch; end;\n")
        if "The program for GarliSearch was not found (tried \"garli\")." not in " ".join(err.split()) or \
                "Starting Garli" in err:
            failures.append("missing program:\n%s" % err)
    for f in failures:
        print("FAIL:", f)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
