#!/usr/bin/python3
"""Keeps includes pointing down the layers: a file may include headers of its own folder and of
the folders below it, never of a folder beside it or above it. Prints each include that breaks
the rule and exits 1 when there is one.

Usage: check_includes.py [REPOSITORY_ROOT]
"""

import pathlib
import re
import sys

# From the bottom up. A folder of analysis/ other than compute/ and framework/ is one analysis:
# analyses never include each other; the files at the top of analysis/ list them.
LAYERS = [
    "commlib/types",
    "commlib/coders",
    "commlib/transport",
    "commlib/core",
    "commlib/models",
    "commlib/demo",
    "commlib/api",
    "simulator",
    "acquisition",
    "recording",
    "session",
    "widgets",
    "plots",
    "analysis/compute",
    "analysis/framework",
    "analysis/*",
    "analysis",
    "accessories",
    "controls",
    "window",
    "app",
    "tools",
    "python",
]

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.MULTILINE)


def layer_of(path):
    """(rank, folder) of a path from the root, or None for what the rule leaves free (tests,
    benchmarks)."""
    for rank, layer in enumerate(LAYERS):
        if layer == "analysis/*":
            parts = path.split("/")
            if parts[0] == "analysis" and len(parts) > 2:
                return rank, "/".join(parts[:2])
        elif path == layer or path.startswith(layer + "/"):
            return rank, layer
    return None


def violations(root):
    found = []
    tops = sorted({layer.split("/")[0] for layer in LAYERS})
    for source in sorted(f for top in tops for f in (root / top).rglob("*")):
        if source.suffix not in (".h", ".cpp") or not source.is_file():
            continue
        relative = source.relative_to(root).as_posix()
        own = layer_of(relative)
        if own is None:
            continue
        for included in INCLUDE.findall(source.read_text(errors="replace")):
            other = layer_of(included)
            if other is None:
                if "/" in included and not (root / included).exists():
                    found.append(f"{relative}: {included} (no such file from the root)")
                continue
            if other[1] != own[1] and other[0] >= own[0]:
                found.append(f"{relative}: {included} ({own[1]} must not use {other[1]})")
    return found


def main():
    root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else ".").resolve()
    found = violations(root)
    for line in found:
        print(line)
    if found:
        print(f"{len(found)} include(s) point up or sideways")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
