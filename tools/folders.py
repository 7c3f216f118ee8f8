#!/usr/bin/python3
"""Checks that the program's folders depend on each other one way only.

Reads the #include "../folder/..." lines of every source file in the
product folders, prints which folder includes which, and fails (exit 1)
naming the circle when two folders reach each other. `make test` runs it.
"""
import re
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
FOLDERS = ("util", "telnet", "res", "shell", "config", "translog", "serial", "net", "dialogs", "about", "app")
INCLUDE = re.compile(r'^\s*#\s*include\s+"\.\./([^/"]+)/', re.M)


def graph():
    edges = {}
    for folder in FOLDERS:
        for source in sorted((ROOT / folder).glob("*.[ch]*")) if (ROOT / folder).is_dir() else ():
            for target in INCLUDE.findall(source.read_text(encoding="utf-8")):
                if target != folder:
                    edges.setdefault(folder, {}).setdefault(target, []).append(source.name)
    return edges


def circle(edges):
    """A list of folders that reach each other, or None."""
    state = {}

    def visit(folder, path):
        state[folder] = "open"
        for target in sorted(edges.get(folder, {})):
            if state.get(target) == "open":
                return path[path.index(target):] + [target]
            if target not in state:
                found = visit(target, path + [target])
                if found:
                    return found
        state[folder] = "done"
        return None

    for folder in sorted(edges):
        if folder not in state:
            found = visit(folder, [folder])
            if found:
                return found
    return None


def main():
    edges = graph()
    for folder in FOLDERS:
        if folder in edges:
            print(f"{folder:9} -> {', '.join(sorted(edges[folder]))}")
    found = circle(edges)
    if found:
        steps = [f"{a} -> {b} ({', '.join(sorted(set(edges[a][b])))})" for a, b in zip(found, found[1:])]
        print("folders include each other in a circle:\n  " + "\n  ".join(steps), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
