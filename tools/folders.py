#!/usr/bin/python3
"""Checks that the program's folders depend on each other one way only, by
what they include and by what they call.

Includes: the #include "../folder/..." lines of every source file. Calls: a
folder uses another when one of its files names a function or variable that
only the other folder's .cpp files define (Universal Ctags finds the
definitions; members and locals belong to their class or function). Prints
both graphs and fails (exit 1) naming the circle when two folders reach each
other by either. `make test` runs it.
"""
import json
import re
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
FOLDERS = ("util", "telnet", "res", "history", "shell", "config", "translog", "serial", "net", "bridge", "dialogs",
           "about", "app")
INCLUDE = re.compile(r'^\s*#\s*include\s+"\.\./([^/"]+)/', re.M)
COMMENTS_AND_STRINGS = re.compile(r'//[^\n]*|/\*.*?\*/|"(\\.|[^"\\])*"', re.S)
WORD = re.compile(r"\b[A-Za-z_]\w*\b")


def sources(folder):
    path = ROOT / folder
    return sorted(path.glob("*.[ch]*")) if path.is_dir() else []


def include_graph():
    edges = {}
    for folder in FOLDERS:
        for source in sources(folder):
            for target in INCLUDE.findall(source.read_text(encoding="utf-8")):
                if target != folder:
                    edges.setdefault(folder, {}).setdefault(target, set()).add(source.name)
    return edges


def definitions():
    """{name: folders whose .cpp files define it at file or namespace level}."""
    defined = {}
    for folder in FOLDERS:
        cpps = [str(source) for source in sources(folder) if source.suffix == ".cpp"]
        if not cpps:
            continue
        tags = subprocess.run(["ctags", "--output-format=json", "--kinds-C++=fv", "--fields=+K", "-f", "-"] + cpps,
                              capture_output=True, text=True, check=True).stdout
        for line in tags.splitlines():
            tag = json.loads(line)
            if tag.get("_type") == "tag" and not tag.get("scope"):
                defined.setdefault(tag["name"], set()).add(folder)
    return defined


def call_graph():
    defined = definitions()
    edges = {}
    for folder in FOLDERS:
        text = COMMENTS_AND_STRINGS.sub(" ", "\n".join(s.read_text(encoding="utf-8") for s in sources(folder)))
        for word in set(WORD.findall(text)):
            owners = defined.get(word, set())
            if folder in owners:
                continue
            for owner in owners:
                edges.setdefault(folder, {}).setdefault(owner, set()).add(word)
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


def check(title, edges, how):
    print(title)
    for folder in FOLDERS:
        if folder in edges:
            print(f"  {folder:9} -> {', '.join(sorted(edges[folder]))}")
    found = circle(edges)
    if found:
        steps = [f"{a} -> {b} ({', '.join(sorted(edges[a][b]))})" for a, b in zip(found, found[1:])]
        print(f"folders {how} each other in a circle:\n  " + "\n  ".join(steps), file=sys.stderr)
        return False
    return True


def main():
    included = check("Includes:", include_graph(), "include")
    called = check("Calls:", call_graph(), "call")
    return 0 if included and called else 1


if __name__ == "__main__":
    sys.exit(main())
