#!/usr/bin/env python3
"""Checks that code names its texts: no production C++ file outside the string
table holds a bare string-table id, and res/message_ids.h names every id of
the table exactly once. Exits 1 and lists the places otherwise.

    check-message-ids.py

A line that must keep such a number for another purpose carries the comment
"// not a message id".
"""
import os
import re
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TABLE = "res/strings_table.cpp"
HEADER = "res/message_ids.h"


def read(rel):
    with open(os.path.join(ROOT, rel), encoding="utf-8") as text:
        return text.read()


def main():
    ids = {int(n) for n in re.findall(r"^\s*\{(\d+),", read(TABLE), re.M)}
    named = [int(n) for n in re.findall(r"inline constexpr int k\w+ = (\d+);", read(HEADER))]
    offences = []
    for missing in sorted(ids - set(named)):
        offences.append(f"{HEADER}: no name for id {missing}")
    for twice in sorted({n for n in named if named.count(n) > 1}):
        offences.append(f"{HEADER}: id {twice} named more than once")
    for unknown in sorted(set(named) - ids):
        offences.append(f"{HEADER}: id {unknown} is not in the string table")

    # Every library folder (one with a CMakeLists.txt) and the executable's source.
    libraries = sorted(
        d for d in os.listdir(ROOT)
        if os.path.isfile(os.path.join(ROOT, d, "CMakeLists.txt")) and d not in ("bench", "data", "tests")
    )
    for top in libraries + ["main.cpp"]:
        path = os.path.join(ROOT, top)
        files = [path] if os.path.isfile(path) else [
            os.path.join(d, f) for d, _, names in os.walk(path) for f in names if f.endswith((".cpp", ".h"))
        ]
        for file in sorted(files):
            rel = os.path.relpath(file, ROOT)
            if rel in (TABLE, HEADER):
                continue
            with open(file, encoding="utf-8", errors="replace") as text:
                for number, line in enumerate(text, 1):
                    if "not a message id" in line:
                        continue
                    code = re.sub(r'"(?:\\.|[^"\\])*"', '""', line)
                    for m in re.finditer(r"(?<![\w.])(\d{3,5})(?![\w.])", code):
                        if int(m.group(1)) in ids and int(m.group(1)) >= 42000:
                            offences.append(f"{rel}:{number}: bare message id {m.group(1)}")
    for line in offences:
        print(line)
    if offences:
        print(f"{len(offences)} place(s): use the constants of {HEADER}")
        return 1
    print("message ids: every text is named")
    return 0


if __name__ == "__main__":
    sys.exit(main())
