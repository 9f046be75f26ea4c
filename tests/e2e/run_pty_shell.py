#!/usr/bin/python3
"""The shell escape, Edit and the Python shell at a real terminal.

"!" alone starts an interactive shell after the note about "exit"; "!" with
a command asks for further "!" lines until an empty one; Edit runs $EDITOR
on the one quoted file name, after "--" (an empty EDITOR is error 162); "Python;" enters
the interactive interpreter and Ctrl-D or sys.exit() returns to the program.

Usage: run_pty_shell.py <vorn>
"""
import os
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from run_pty import Terminal  # noqa: E402


def session(vorn, tmp, env, steps):
    """Runs the steps (text expected, line typed); returns the failures."""
    failures = []
    term = Terminal([vorn], tmp, env)
    for shown, typed in steps:
        if not term.expect(shown):
            failures.append("not shown: %r\nafter: %r" % (shown, term.seen[-300:]))
            break
        if typed is not None:
            term.type(typed)
    rc = term.finish()
    if rc != 0:
        failures.append("exit status %r, expected 0" % rc)
    return failures


def main():
    vorn = os.path.abspath(sys.argv[1])
    failures = []
    with tempfile.TemporaryDirectory(prefix="vorn-pty-") as tmp:
        base = {"HOME": tmp, "TERM": "xterm", "PATH": "/usr/bin:/bin", "SHELL": "/bin/sh"}
        for name in ("ASAN_OPTIONS", "LSAN_OPTIONS", "UBSAN_OPTIONS"):
            if name in os.environ:
                base[name] = os.environ[name]
        # The editor records the arguments it was given: the file name
        # after the "--" that ends the editor's options.
        editor = "sh -c 'printf \"[%s]\" \"$@\" > edited.txt' editor"
        env = dict(base, EDITOR=editor)
        failures += session(vorn, tmp, env, [
            ("vorn> ", "!"),
            ('Type "exit" (or hit ctrl-D) to return to VORN', "echo inside-$((40+2))"),
            ("inside-42", "exit"),
            ("vorn> ", "!echo first-$((1+1))"),
            ("first-2", None),
            ("!", "echo second-$((1+2))"),
            ("second-3", None),
            ("!", ""),
            ("vorn> ", "edit 'my \"notes\" it''s.txt'"),
            ("vorn> ", "python"),
            ("Entering Python shell", "import vorn; print(6 * 7)"),
            ("[python] 42", "\x04"),
            ("vorn> ", "quit"),
        ])
        edited = os.path.join(tmp, "edited.txt")
        got = open(edited).read() if os.path.exists(edited) else "<not run>"
        if got != "[--][my \"notes\" it's.txt]":
            failures.append("the editor was given %r" % got)

        # sys.exit() leaves the Python shell, not the program, and neither
        # does the shell's own exit status.
        failures += session(vorn, tmp, base, [
            ("vorn> ", "python"),
            ("Entering Python shell", "import sys; sys.exit(3)"),
            ("vorn> ", "python"),
            ("Entering Python shell", "x = 6 * 7"),
            (">>> ", "print(x)"),
            ("42", "\x04"),
            ("vorn> ", "quit"),
        ])

        failures += session(vorn, tmp, dict(base, EDITOR=""), [
            ("vorn> ", "edit notes.txt"),
            ("No default editor has been assigned.", None),
            ("vorn> ", "quit"),
        ])
    if failures:
        print("\n".join(failures))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
