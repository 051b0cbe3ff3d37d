#!/usr/bin/env python3
"""Builds a text file into the program: writes a header declaring
`std::string_view NAME()` and a source defining it over the file's bytes.

usage: embed_text.py INPUT OUTPUT_STEM --name NAME
Writes OUTPUT_STEM.h and OUTPUT_STEM.cpp.
"""
import argparse
import os


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("input")
    ap.add_argument("stem")
    ap.add_argument("--name", required=True)
    a = ap.parse_args()
    data = open(a.input, "rb").read()
    base = os.path.basename(a.stem)
    source = os.path.basename(a.input)
    with open(a.stem + ".h", "w") as h:
        h.write(f"// Generated from {source} at build time; do not edit.\n#pragma once\n\n"
                f"#include <string_view>\n\n// The text of {source}.\nstd::string_view {a.name}();\n")
    rows = []
    for i in range(0, len(data), 16):
        rows.append("  " + ", ".join(str(b) for b in data[i:i + 16]) + ",")
    with open(a.stem + ".cpp", "w") as c:
        c.write(f"// Generated from {source} at build time; do not edit.\n#include \"{base}.h\"\n\n"
                f"namespace {{\nconst unsigned char kText[] = {{\n" + "\n".join(rows) + "\n  0};\n}\n\n"
                f"std::string_view {a.name}() {{ return {{reinterpret_cast<const char*>(kText), sizeof kText - 1}}; }}\n")


if __name__ == "__main__":
    main()
