#!/usr/bin/env python3
"""The layering at link level.

Usage: check_links.py NM LAYER_FILE TEST_LINK_FILE LAYER=LIBRARY...

LAYER_FILE has one line per layer, bottom to top: "<layer>: <declared layers>".
1. Every symbol a layer's static library leaves undefined must be defined by
   the library itself, by a layer it declares, or by no layer at all (the C++
   runtime, LAPACK and the like): a symbol that only a higher or undeclared
   layer defines is an upward call that the include check cannot see (a
   declaration written by hand, say).
2. TEST_LINK_FILE has one line per layer's unit-test program, "<layer>:
   <libraries it links>": a layer's tests link no layer above it, so that
   each layer is built and tested without those above.
"""
import subprocess
import sys


def read_layers(path):
    order, declared = [], {}
    for line in open(path).read().splitlines():
        if line.strip():
            name, _, deps = line.partition(":")
            order.append(name.strip())
            declared[name.strip()] = set(deps.split())
    return order, declared


def symbols(nm, library):
    """(defined, undefined) global symbols of a static library."""
    out = subprocess.run([nm, "-g", library], capture_output=True, text=True, check=True).stdout
    defined, undefined = set(), set()
    for line in out.splitlines():
        parts = line.split()
        if len(parts) == 2 and parts[0] == "U":
            undefined.add(parts[1])
        elif len(parts) == 3 and parts[1] not in ("U", "w", "v"):
            defined.add(parts[2])
    return defined, undefined - defined


def main():
    nm, layer_file, test_link_file = sys.argv[1:4]
    order, declared = read_layers(layer_file)
    libraries = dict(arg.split("=", 1) for arg in sys.argv[4:])
    faults = []

    defined, undefined = {}, {}
    for layer, library in libraries.items():
        defined[layer], undefined[layer] = symbols(nm, library)
    resolved_below = 0
    for layer in libraries:
        allowed = declared[layer] | {layer}
        for symbol in sorted(undefined[layer]):
            owners = {other for other in libraries if symbol in defined[other]}
            if owners & allowed:
                resolved_below += 1
            elif owners:
                faults.append("lib%s.a needs %s, defined only by %s" % (layer, symbol, ", ".join(sorted(owners))))
    # A check that read nothing would pass on anything.
    if len(libraries) > 1 and resolved_below == 0:
        faults.append("no symbol of one layer was found defined by another: nm output not understood")

    for line in open(test_link_file).read().splitlines():
        layer, _, links = line.partition(":")
        layer = layer.strip()
        if layer not in order:
            continue
        allowed = declared[layer] | {layer}
        for lib in links.split():
            if lib in order and lib not in allowed:
                faults.append("the %s tests link %s, which the %s layer does not declare" % (layer, lib, layer))

    for fault in faults:
        print(fault)
    print("%d libraries, %d symbols resolved by declared layers, %d faults"
          % (len(libraries), resolved_below, len(faults)))
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
