"""Runs the vorn program on a command text in a fresh directory, the way
the e2e check scripts beside this file need it."""
import os
import re
import resource
import subprocess
import tempfile
import time


def _home_env(home):
    """The environment a run sees: no terminal size, and home in the run's
    own directory so that no start-up file of the user's is read."""
    env = {k: v for k, v in os.environ.items() if k not in ("HOME", "COLUMNS", "LINES")}
    env["HOME"] = home
    return env


def cpu_limit(seconds, then=None):
    """A preexec function that lets the child use `seconds` of processor
    time (all its threads together) and then ends it (SIGXCPU, SIGKILL 5 s
    of processor time later). It guards against a run that spins; a limit
    on the clock would also end runs that are only slow because the machine
    is busy. `then`, when given, runs after it in the child (other limits)."""
    def limit():
        resource.setrlimit(resource.RLIMIT_CPU, (seconds, seconds + 5))
        if then is not None:
            then()
    return limit


def start_vorn(vorn, tmp, text):
    """`vorn -n` on text started in tmp (its working and home directory)
    with nothing on standard input, its output going to tmp/out.txt as it
    comes (read it with read_output); the caller waits for or signals it."""
    with open(os.path.join(tmp, "case.nex"), "w") as f:
        f.write(text)
    with open(os.path.join(tmp, "out.txt"), "w") as out:
        return subprocess.Popen([vorn, "-n", "case.nex"], cwd=tmp, env=_home_env(tmp), stdin=subprocess.DEVNULL,
                                stdout=out, stderr=subprocess.STDOUT, preexec_fn=cpu_limit(900))


def read_output(tmp):
    """What a run begun by start_vorn has printed so far."""
    with open(os.path.join(tmp, "out.txt")) as f:
        return f.read()


def cpu_seconds(proc):
    """The processor time the process has used so far, or None once it is gone."""
    try:
        with open("/proc/%d/stat" % proc.pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
    except OSError:
        return None
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def wait_for_cpu(proc, seconds, limit=900):
    """True once the process has used `seconds` of processor time: a point
    inside a long computation however busy the machine is, where a wait
    measured by the clock may end before the program has got there."""
    until = time.time() + limit
    while time.time() < until and proc.poll() is None:
        used = cpu_seconds(proc)
        if used is None:
            return False
        if used >= seconds:
            return True
        time.sleep(0.05)
    return False


def run_vorn(vorn, text, preexec_fn=None):
    """The finished run of `vorn -n` on text, in a fresh working and home
    directory and with nothing on standard input; preexec_fn, when given,
    runs in the child before the program (to set limits)."""
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "m.nex")
        with open(path, "w") as f:
            f.write(text)
        env = _home_env(tmp)
        with open(os.devnull) as devnull:
            return subprocess.run([vorn, "-n", path], cwd=tmp, env=env, stdin=devnull, capture_output=True,
                                  text=True, preexec_fn=cpu_limit(600, preexec_fn))


def pooled_classes(stdout, last):
    """The rows of PatFitTest's pooled tables: {(steps, state mask): (class
    probability, observed)}, with a pooled last class ">k" read as `last`."""
    got, label = {}, None
    for line in stdout.splitlines():
        r = re.match(r"^(.{10})(.{10})\s+(\d+\.\d{8})\s+(\d+\.\d{3})\s+(\d+\.\d{3})", line)
        if not r or r.group(1).strip() == "Total":
            continue
        if r.group(1).strip():
            label = r.group(1).strip()
        s = last if label.startswith(">") else int(label)
        mask = sum(1 << "ACGT".index(ch) for ch in r.group(2) if ch != " ")
        got[(s, mask)] = (float(r.group(3)), float(r.group(4)))
    return got


def splits(newick):
    """{frozenset of tip labels on the side without the first tip: branch length} of an unrooted tree."""
    tokens = re.findall(r"'(?:[^']|'')*'|[(),;]|:[-0-9.eE+]+|[^(),:;\s]+", newick)
    stack, tips, result, last = [], [], {}, None
    for tok in tokens:
        if tok == "(":
            stack.append([])
        elif tok == ")":
            last = frozenset().union(*stack.pop())
            result.setdefault(last, 0.0)
            if stack:
                stack[-1].append(last)
        elif tok == ",":
            last = None
        elif tok.startswith(":"):
            if last is not None:
                result[last] = result.get(last, 0.0) + float(tok[1:])
        elif tok != ";":
            label = tok.strip("'").replace("''", "'")
            # Compared as letters and digits: the tree-file writer and the
            # RAxML data file each change punctuation in their own way.
            label = re.sub(r"[^A-Za-z0-9]", "", label)
            tips.append(label)
            last = frozenset([label])
            result.setdefault(last, 0.0)
            stack[-1].append(last)
    every = frozenset(tips)
    first = sorted(tips)[0]
    out = {}
    for s, length in result.items():
        side = s if first not in s else every - s
        if 0 < len(side) < len(every):
            out[side] = out.get(side, 0.0) + length
    return out


def usable_processors():
    """The processors this process may run on (its affinity mask, as the
    program counts them), not those the machine has."""
    return len(os.sched_getaffinity(0))
