"""Runs the vorn program on a command text in a fresh directory, the way
the e2e check scripts beside this file need it."""
import os
import subprocess
import tempfile


def run_vorn(vorn, text):
    """The finished run of `vorn -n` on text, in a fresh working and home
    directory and with nothing on standard input."""
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "m.nex")
        with open(path, "w") as f:
            f.write(text)
        env = {k: v for k, v in os.environ.items() if k not in ("HOME", "COLUMNS", "LINES")}
        env["HOME"] = tmp
        with open(os.devnull) as devnull:
            return subprocess.run([vorn, "-n", path], cwd=tmp, env=env, stdin=devnull, capture_output=True,
                                  text=True, timeout=120)
