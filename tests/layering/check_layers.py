#!/usr/bin/env python3
"""Fails when a unit includes a header of a layer it does not declare.

Usage: check_layers.py SRC_DIR LAYER_FILE
LAYER_FILE has one line per layer, bottom to top: "<layer>: <declared layers>".
Every `#include "<dir>/..."` in src/<layer>/ (subfolders included) must name
the layer itself or one it declares; a declared layer must stand below it.
No quoted include may climb with "..": "../search/x.h" or "qel/../search/x.h"
would reach any layer past the check and the include views.
"""
import pathlib
import re
import sys

INCLUDE = re.compile(r'^\s*#\s*include\s+"([A-Za-z0-9_]+)/')
QUOTED = re.compile(r'^\s*#\s*include\s+"([^"]*)"')


def main():
    src = pathlib.Path(sys.argv[1])
    order, declared = [], {}
    for line in pathlib.Path(sys.argv[2]).read_text().splitlines():
        if not line.strip():
            continue
        name, _, deps = line.partition(":")
        order.append(name.strip())
        declared[name.strip()] = set(deps.split())
    faults = []
    for rank, layer in enumerate(order):
        for dep in declared[layer]:
            if dep not in order[:rank]:
                faults.append(f"layer {layer} declares {dep}, which is not below it")
        allowed = declared[layer] | {layer}
        folder = src / layer
        for path in sorted(folder.rglob("*")):
            if path.suffix not in (".h", ".cpp", ".hpp", ".inc"):
                continue
            for number, text in enumerate(path.read_text(errors="replace").splitlines(), 1):
                quoted = QUOTED.match(text)
                if quoted and ".." in re.split(r"[/\\]", quoted.group(1)):
                    faults.append(f"{path.relative_to(src)}:{number}: {layer} includes "
                                  f"\"{quoted.group(1)}\", which climbs with ..")
                    continue
                match = INCLUDE.match(text)
                if match and match.group(1) in order and match.group(1) not in allowed:
                    faults.append(f"{path.relative_to(src)}:{number}: {layer} includes "
                                  f"{match.group(1)}/, which it does not declare")
    for fault in faults:
        print(fault)
    print(f"{len(order)} layers checked, {len(faults)} faults")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
