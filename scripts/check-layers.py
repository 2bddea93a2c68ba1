#!/usr/bin/env python3
"""Checks that the libraries form a tree, each using only libraries below it.

    check-layers.py [BUILD_DIR]

Each top folder is one library (LAYERS); a file belongs to the library of its
folder. Every quoted #include of a production file must name a file of its own
library or of one below it, and every folder of the tree must be in the map. With BUILD_DIR, the CMake target graph (from
cmake --graphviz) must have no cycle and each kestrum_* library may link only
libraries below it. Exits 1 and lists the offences when something is out of
place.
"""
import os
import re
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# Direct dependencies of each library, named by its folder (kestrum_<folder>);
# "below" is their transitive closure. main.cpp is the executable.
LAYERS = {
    "res": [],
    "localfs": ["res"],
    "profiles": ["res"],
    "cache": ["localfs", "res"],
    "ftp": ["res"],
    "sftp": ["ftp", "res"],
    "engine": ["localfs", "ftp", "cache", "profiles", "res"],
    "align": ["engine"],
    "cli": ["engine", "align", "profiles", "sftp"],
    "dialogs": ["profiles"],
    "app": ["cli", "dialogs", "engine", "align", "sftp"],
    "main": ["app", "cli"],
}

# Top folders that hold no library code.
NOT_LIBRARIES = {"bench", "build", "data", "scripts", "tests"}


def library_of(path):
    """The library a source path (relative to the root) belongs to, or None."""
    if path == "main.cpp":
        return "main"
    top = path.split("/", 1)[0]
    return top if top in LAYERS and "/" in path else None


def below(library):
    seen = set()
    stack = list(LAYERS[library])
    while stack:
        name = stack.pop()
        if name not in seen:
            seen.add(name)
            stack.extend(LAYERS[name])
    return seen


def check_includes():
    offences = []
    for entry in sorted(os.listdir(ROOT)):
        if os.path.isdir(os.path.join(ROOT, entry)) and not entry.startswith(".") and not entry.startswith("build") \
                and entry not in LAYERS and entry not in NOT_LIBRARIES:
            offences.append(f"{entry}/: a folder that is no library of the map")
    for folder in [name for name in LAYERS if name != "main"] + ["main.cpp"]:
        top = os.path.join(ROOT, folder)
        files = [top] if os.path.isfile(top) else [
            os.path.join(d, f) for d, _, names in os.walk(top) for f in names if f.endswith((".cpp", ".h"))
        ]
        for file in sorted(files):
            rel = os.path.relpath(file, ROOT)
            library = library_of(rel)
            if "/" in rel and rel.count("/") > 1:
                offences.append(f"{rel}: a library's files sit directly in its folder")
            allowed = below(library) | {library}
            with open(file, encoding="utf-8", errors="replace") as text:
                for number, line in enumerate(text, 1):
                    m = re.match(r'\s*#\s*include\s+"([^"]+)"', line)
                    if not m:
                        continue
                    target = library_of(m.group(1))
                    if target is not None and target not in allowed:
                        offences.append(f"{rel}:{number}: {library} includes {m.group(1)} of {target}")
    return offences


def check_targets(build_dir):
    with tempfile.TemporaryDirectory() as tmp:
        dot = os.path.join(tmp, "graph.dot")
        subprocess.run(["cmake", f"--graphviz={dot}", build_dir], check=True, stdout=subprocess.DEVNULL)
        with open(dot) as text:
            graph = text.read()
    names = dict(re.findall(r'"(node\d+)"\s*\[\s*label\s*=\s*"([^"]+)"', graph))
    edges = {}
    for a, b in re.findall(r'"(node\d+)"\s*->\s*"(node\d+)"', graph):
        edges.setdefault(names[a], set()).add(names[b])
    offences = []
    for target, deps in sorted(edges.items()):
        if not target.startswith("kestrum_") or target[8:] not in LAYERS:
            continue
        allowed = below(target[8:])
        for dep in sorted(deps):
            if dep.startswith("kestrum_") and dep[8:] not in allowed:
                offences.append(f"target {target} links {dep}, which is not below it")
    # A cycle among the project's libraries.
    state = {}

    def visit(node, path):
        state[node] = 1
        for dep in edges.get(node, ()):
            if not dep.startswith("kestrum"):
                continue
            if state.get(dep) == 1:
                offences.append("cycle: " + " -> ".join(path + [dep]))
            elif dep not in state:
                visit(dep, path + [dep])
        state[node] = 2

    for node in sorted(edges):
        if node not in state:
            visit(node, [node])
    return offences


def main():
    offences = check_includes()
    if len(sys.argv) > 1:
        offences += check_targets(sys.argv[1])
    for line in offences:
        print(line)
    if offences:
        print(f"{len(offences)} layering offence(s)")
        return 1
    print("layers: every library uses only libraries below it")
    return 0


if __name__ == "__main__":
    sys.exit(main())
