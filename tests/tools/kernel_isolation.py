#!/usr/bin/env python3
"""Checks that a linked program holds VEX-encoded (AVX, AVX2, FMA)
instructions only inside the AVX2 kernels.

The AVX2 kernel file is the one file compiled with AVX2 code generation; if
its flags reach another file, or an inline function from a header is emitted
there and the linker keeps that copy, a CPU without AVX2 stops on an illegal
instruction outside the kernels. The kernels are told by their namespace.

A library linked in that picks its own kernels for the CPU at run time (the
serial OpenBLAS) is named with --dispatching ARCHIVE: the functions the
archive defines, by their exact symbol names, are left out of the check.

Usage: kernel_isolation.py [--dispatching ARCHIVE]... PROGRAM
                           [KERNEL_NAMESPACE[,KERNEL_NAMESPACE...]]
Every namespace named must hold some AVX2 code.
Exit 77 (skipped) where objdump is missing or the program is not x86-64.
"""
import re
import shutil
import subprocess
import sys

SKIP = 77
# Mnemonics objdump prints with a leading v that are not VEX-encoded.
NOT_VEX = {"verr", "verw", "vmcall", "vmlaunch", "vmresume", "vmxoff", "vmxon", "vmread", "vmwrite",
           "vmptrld", "vmptrst", "vmclear", "vmfunc"}

FUNC = re.compile(r"^[0-9a-f]+ <(.*)>:$")
INSN = re.compile(r"^\s*[0-9a-f]+:\s+(?:\S+ )?\s*([a-z][a-z0-9.]*)")


def vex_functions(program):
    out = subprocess.run(["objdump", "-d", "--no-show-raw-insn", "-C", program], check=True,
                         capture_output=True, text=True).stdout
    if "x86-64" not in out[:2000]:
        return None
    found = {}
    func = None
    for line in out.splitlines():
        m = FUNC.match(line)
        if m:
            func = m.group(1)
            continue
        m = INSN.match(line)
        if func and m:
            op = m.group(1)
            if op.startswith("v") and op not in NOT_VEX:
                found.setdefault(func, op)
    return found


def archive_functions(archive):
    """Names of the code symbols (global, local and weak) the archive defines."""
    out = subprocess.run(["nm", "--defined-only", archive], check=True, capture_output=True,
                         text=True).stdout
    names = set()
    for line in out.splitlines():
        fields = line.split()
        if len(fields) == 3 and fields[1] in "TtWw":
            names.add(fields[2])
    if not names:
        raise SystemExit(f"{archive}: no functions found")
    return names


def main():
    args = sys.argv[1:]
    dispatching = set()
    while len(args) >= 2 and args[0] == "--dispatching":
        dispatching |= archive_functions(args[1])
        args = args[2:]
    if not args:
        print(__doc__)
        return 2
    program = args[0]
    namespaces = (args[1] if len(args) > 1 else "unoavx2::").split(",")
    if not shutil.which("objdump"):
        print("objdump not found: skipped")
        return SKIP
    found = vex_functions(program)
    if found is None:
        print("not an x86-64 program: skipped")
        return SKIP
    dispatched = {f for f in found if f in dispatching}
    found = {f: op for f, op in found.items() if f not in dispatched}
    if dispatched:
        print(f"{len(dispatched)} functions of run-time dispatching libraries left out")
    inside = {f for f in found if any(ns in f for ns in namespaces)}
    outside = {f: op for f, op in found.items() if f not in inside}
    for f, op in sorted(outside.items()):
        print(f"VEX instruction {op} outside the AVX2 kernels, in {f}")
    for namespace in namespaces:
        if not any(namespace in f for f in inside):
            print(f"no VEX instruction in any {namespace} function: the AVX2 kernels are missing "
                  "or were built without AVX2 code generation")
            return 1
    print(f"{len(inside)} kernel functions use AVX2; {len(outside)} others use VEX instructions")
    return 1 if outside else 0


if __name__ == "__main__":
    sys.exit(main())
