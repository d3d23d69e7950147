#!/usr/bin/env python3
"""Sums an export in ncdu's JSON format, read with Python's own JSON parser
(names as raw bytes: ncdu writes them so), for the tests to hold qvdisk's
figures against what ncdu, gdu and du say.

    ncdu_sums.py FILE [--apparent] [--names]

Prints "files N dirs N size N": files and directories below the root
(entries excluded by pattern left out, as qvdisk leaves them out), and the
files' sizes (dsize, or asize with --apparent) with a hard-linked file
(same dev and ino) counted once. gdu's exports carry cumulative sizes on
directories and mark only the later names of a hard-linked file: its
directories' sizes are not used, and its marked names count 0. --names
prints each entry's path too, bytes escaped as Python writes them.
"""
import json
import sys


def main():
    path = sys.argv[1]
    apparent = "--apparent" in sys.argv
    names = "--names" in sys.argv
    with open(path, "rb") as f:
        text = f.read().decode("utf-8", "surrogateescape")
    doc = json.loads(text)
    assert doc[0] == 1, "major version"
    gdu = doc[2].get("progname") == "gdu"
    key = "asize" if apparent else "dsize"
    files = dirs = size = 0
    seen = set()
    lines = []
    # (node, parent path, parent dev), iteratively.
    stack = [(doc[3], None, 0)]
    while stack:
        node, parent, pdev = stack.pop()
        info = node[0] if isinstance(node, list) else node
        if info.get("excluded") not in (None, "otherfs", "othfs", "kernfs", "loop", "cache"):
            continue
        name = info["name"]
        here = name if parent is None else parent + "/" + name
        dev = info.get("dev", pdev)
        if names and parent is not None:
            lines.append(here.encode("utf-8", "surrogateescape"))
        if isinstance(node, list):
            if parent is not None:
                dirs += 1
            for child in node[1:]:
                stack.append((child, here, dev))
            continue
        if parent is None:
            continue
        files += 1
        linked = info.get("hlnkc") or info.get("nlink", 1) > 1
        if gdu and linked:
            continue  # counted by gdu under the first name
        if linked and not gdu:
            ident = (dev, info["ino"])
            if ident in seen:
                continue
            seen.add(ident)
        size += info.get(key, 0)
    print("files %d dirs %d size %d" % (files, dirs, size))
    for line in sorted(lines):
        print(line)


if __name__ == "__main__":
    main()
