#!/usr/bin/env python3
"""Checks that the subfolders of a library include only downwards, and that
no Qt header shows above the GUI layer.

A library's subfolders are stacked: a source file may include headers of its
own subfolder and of the subfolders below it, never of one above.  The stacks
are listed here, lowest first; "" stands for the library's own root folder.
Prints every offending include and exits 1 when there is one.
"""
import os
import re
import sys

STACKS = {
    "dbf_engine": ["", "expr", "table", "index", "handler"],
    "sql_engine": ["", "front", "expr", "store", "query"],
}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"')


def layer_of(library, relpath):
    parts = relpath.split("/")
    return parts[0] if len(parts) > 1 else ""


QT_INCLUDE = re.compile(r'^\s*#\s*include\s*[<"](Q[A-Za-z]*|Qt[A-Za-z]*/[^>"]*)[>"]')


def qt_leaks(root):
    """Qt stays behind the GUI layer: its headers and the window's code
    (app/) include no Qt header."""
    bad = []
    places = [("platform/gui", (".h",)), ("app", (".h", ".cpp"))]
    for folder, endings in places:
        base = os.path.join(root, folder)
        if not os.path.isdir(base):
            continue
        for name in sorted(os.listdir(base)):
            if not name.endswith(endings):
                continue
            with open(os.path.join(base, name), encoding="utf-8", errors="replace") as f:
                for number, line in enumerate(f, 1):
                    if QT_INCLUDE.match(line):
                        bad.append(f"{folder}/{name}:{number}: includes a Qt header")
    return bad


def main(root):
    bad = []
    for library, stack in STACKS.items():
        base = os.path.join(root, library)
        for folder, _, files in os.walk(base):
            for name in files:
                if not name.endswith((".h", ".cpp")):
                    continue
                path = os.path.join(folder, name)
                rel = os.path.relpath(path, base).replace(os.sep, "/")
                here = layer_of(library, rel)
                if here not in stack:
                    bad.append(f"{library}/{rel}: folder '{here}' is not in the layer list")
                    continue
                with open(path, encoding="utf-8", errors="replace") as f:
                    for number, line in enumerate(f, 1):
                        m = INCLUDE.match(line)
                        if not m or not m.group(1).startswith(library + "/"):
                            continue
                        target = layer_of(library, m.group(1)[len(library) + 1:])
                        if target not in stack or stack.index(target) > stack.index(here):
                            bad.append(f"{library}/{rel}:{number}: includes {m.group(1)} from a layer above")
    bad += qt_leaks(root)
    for line in bad:
        print(line)
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1] if len(sys.argv) > 1 else "."))
