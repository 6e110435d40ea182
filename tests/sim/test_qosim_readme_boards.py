#!/usr/bin/env python3
"""Every board-file example of the READMEs, as the Markdown holds it now, in a machine of its own.

The fenced JSON blocks of every README that are board files ({"boards": [...]}) or one board
({"device": ..., "interfaces": [...]}, the form `qosim ctl plug` also takes), and the board files
of sim/boards/ the READMEs point to, are each:
  1. validated by `qosim check-boards` (exit 0), whose warnings say which boards the library will
     leave out;
  2. made the board file of a fresh `qosim run`, inside which the configuration host lists the
     items the library serves.
The two must agree: a board check-boards does not warn about is served as KEL<n>, a board it
says is left out is not. (A board that "may be left out" by a fault it describes is not judged.)
And no README example may give a machine without a board the library serves.

usage: test_qosim_readme_boards.py SOURCE_DIR QOSIM SYSCFG LIBRARY
"""
import glob
import json
import os
import re
import subprocess
import sys
import tempfile

FENCE = re.compile(r"^```json[^\n]*\n(.*?)^```", re.S | re.M)
WARNING = re.compile(r"^qosim: warning: board file .*?: board \d+ \(([^)]*)\): (left out|may be left out|not served): ")


def readmes(source):
    found = []
    for path in sorted(glob.glob(os.path.join(source, "**", "README.md"), recursive=True)):
        rel = os.path.relpath(path, source)
        if rel.split(os.sep)[0] in ("build", ".git") or "/build" in rel:
            continue
        found.append(path)
    return found


def examples(source):
    """(name, board file object) for every example found."""
    out = []
    for path in readmes(source):
        text = open(path, encoding="utf-8").read()
        for index, match in enumerate(FENCE.finditer(text)):
            block = match.group(1)
            line = text.count("\n", 0, match.start()) + 1
            try:
                doc = json.loads(block)
            except json.JSONDecodeError as e:
                # A JSON block that names boards must be a valid one.
                if '"interfaces"' in block or '"boards"' in block:
                    out.append((f"{os.path.relpath(path, source)}:{line}", {"invalid": str(e)}))
                continue
            if isinstance(doc, dict) and "boards" in doc:
                out.append((f"{os.path.relpath(path, source)}:{line}", doc))
            elif isinstance(doc, dict) and "device" in doc and "interfaces" in doc:
                out.append((f"{os.path.relpath(path, source)}:{line} (one board)", {"boards": [doc]}))
    for path in sorted(glob.glob(os.path.join(source, "sim", "boards", "*.json"))):
        out.append((os.path.relpath(path, source), json.load(open(path, encoding="utf-8"))))
    return out


def device_number(board):
    if "deviceNumber" in board:
        v = board["deviceNumber"]
        return int(v, 0) if isinstance(v, str) else int(v)
    m = re.search(r"(\d+)$", board["device"])
    return int(m.group(1)) if m else 0


def check(name, doc, qosim, syscfg, library, scratch):
    failures = []
    if "invalid" in doc:
        return [f"{name}: not valid JSON: {doc['invalid']}"]
    path = os.path.join(scratch, "boards.json")
    with open(path, "w", encoding="utf-8") as f:
        json.dump(doc, f)
    checked = subprocess.run([qosim, "check-boards", path], capture_output=True, text=True)
    if checked.returncode != 0:
        return [f"{name}: qosim check-boards exits {checked.returncode}: {checked.stderr.strip()}"]
    left_out, unsure = set(), set()
    for line in checked.stderr.splitlines():
        m = WARNING.match(line)
        if m and m.group(2) == "left out":
            left_out.add(m.group(1))
        elif m and m.group(2) == "may be left out":
            unsure.add(m.group(1))
    run = subprocess.run([qosim, "run", "--boards", path, "--", syscfg, "--library", library, "--json", "list"],
                         capture_output=True, text=True)
    try:
        listed = json.loads(run.stdout)
    except json.JSONDecodeError:
        return [f"{name}: the host's list is not JSON (exit {run.returncode}): {run.stdout}{run.stderr}"]
    served = {item.get("item") for item in listed.get("items", [])}
    if ".md:" in name and not served:
        failures.append(f"{name}: the example gives a machine with no boards the library serves "
                        f"({checked.stderr.strip()})")
    for board in doc["boards"]:
        device, item = board["device"], f"KEL{device_number(board)}"
        if device in unsure:
            continue
        if device in left_out and item in served:
            failures.append(f"{name}: check-boards says {device} is left out, but the library serves {item}")
        if device not in left_out and item not in served:
            failures.append(f"{name}: {device} draws no warning from check-boards, but the library does not "
                            f"serve {item} (served: {sorted(served)}; {run.stderr.strip()})")
    return failures


def main():
    source, qosim, syscfg, library = sys.argv[1:5]
    found = examples(source)
    from_readmes = [n for n, _ in found if ".md:" in n]
    # Not vacuous: the READMEs do hold board-file examples.
    if len(from_readmes) < 2:
        print(f"only {len(from_readmes)} board-file examples found in the READMEs")
        return 1
    failures = []
    with tempfile.TemporaryDirectory() as scratch:
        for name, doc in found:
            failures += check(name, doc, qosim, syscfg, library, scratch)
            print(f"{name}: checked")
    for f in failures:
        print("FAIL " + f)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
