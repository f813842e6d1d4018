#!/usr/bin/env python3
"""Checks that every row of docs/faults.md names tests that exist in the build's test list, so
the fault matrix cannot point at a test that was renamed or removed.

  check_fault_matrix.py BUILD_DIR FAULTS_MD
"""
import json
import re
import subprocess
import sys


def registered_tests(build):
    out = subprocess.run(["ctest", "--show-only=json-v1"], cwd=build, capture_output=True,
                         text=True, check=True, timeout=120).stdout
    return {t["name"] for t in json.loads(out)["tests"]}


def rows(text):
    """(row id, [test names]) for every table row of the matrix."""
    for line in text.splitlines():
        cells = [c.strip() for c in line.strip().strip("|").split("|")]
        if len(cells) >= 4 and re.fullmatch(r"[A-Z]\d+", cells[0]):
            yield cells[0], re.findall(r"`([^`]+)`", cells[-1])


def main():
    build, doc = sys.argv[1], sys.argv[2]
    known = registered_tests(build)
    problems, count = [], 0
    for row, names in rows(open(doc, encoding="utf-8").read()):
        count += 1
        if not names:
            problems.append(f"{row}: names no test")
        problems += [f"{row}: no test called {n}" for n in names if n not in known]
    if count < 24:
        problems.append(f"only {count} rows; the matrix must cover at least 24 faults")
    for p in problems:
        print(p)
    print(f"{count} rows checked, {len(problems)} problems")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
