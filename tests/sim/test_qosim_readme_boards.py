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
And no README example may give a machine without a board the library serves. Also the defaults
table of sim/README.md, row by row, against the model of a board that gives no field.

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


def seconds_1904(text):
    """'2026-01-12 09:30' (UTC) as seconds since 1904-01-01 00:00 UTC."""
    import datetime
    t = datetime.datetime.strptime(text.strip(), "%Y-%m-%d %H:%M").replace(tzinfo=datetime.timezone.utc)
    return int((t - datetime.datetime(1904, 1, 1, tzinfo=datetime.timezone.utc)).total_seconds())


def documented_value(text, device, number):
    """The model value one default of the table states, or raise ValueError for a text not known."""
    text = text.strip()
    words = {
        "trailing digits of the device name (else 0)": number,
        "0x51000000 + device number": 0x51000000 + number,
        "the device name": device,
        "absent": None,
        "zeros": {"hex": "00" * 16},
        "none": [],
        "all off": {"extraResults": 0, "extraConflicts": 0, "extraPathIds": 0, "unterminatedName": False},
    }
    if text in words:
        return words[text]
    m = re.fullmatch(r"\{durationMs (\d+)\}", text)
    if m:
        return {"durationMs": int(m.group(1)), "versionAfterUpdate": None}
    m = re.fullmatch(r'"(.*)"', text)
    if m:
        return m.group(1).replace("<device>", device)
    m = re.fullmatch(r"(0x[0-9A-Fa-f]+|\d+)( \(.*\))?", text)
    if m:
        return int(m.group(1), 0)
    if text.startswith("["):
        return json.loads(text)
    raise ValueError(text)


def check_documented_defaults(source, qosim):
    """The defaults table of sim/README.md against the model of a board that gives none."""
    text = open(os.path.join(source, "sim", "README.md"), encoding="utf-8").read()
    rows = re.findall(r"^\| (`[^|]*`) \| ([^|]*) \| [^|]*\|$", text, re.M)
    rows = [(re.findall(r"`([^`]+)`", names), default.strip()) for names, default in rows]
    rows = [(names, default) for names, default in rows if "deviceNumber" in names or default]
    start = next((i for i, (names, _) in enumerate(rows) if names == ["deviceNumber"]), None)
    if start is None:
        return ["sim/README.md: no defaults table (a row for `deviceNumber`)"]
    device, number = "qovorlix6", 6
    doc = {"boards": [{"device": device, "interfaces": [{"name": "qovorlixtarrowk_vorlixtarrow"}]}]}
    with tempfile.TemporaryDirectory() as scratch:
        path = os.path.join(scratch, "boards.json")
        with open(path, "w", encoding="utf-8") as f:
            json.dump(doc, f)
        got = subprocess.run([qosim, "run", "--boards", path, "--", qosim, "ctl", "get", "device=" + device],
                             capture_output=True, text=True)
    if got.returncode != 0:
        return [f"qosim ctl get of the smallest board: {got.stdout}{got.stderr}"]
    model = json.loads(got.stdout)["board"]
    failures, compared = [], 0
    for names, default in rows[start:]:
        if names and names[0] in ("dated0",):
            m = re.fullmatch(r"(.*) / (.*) UTC, (\d+)", default)
            if not m:
                failures.append(f"sim/README.md: dated default {default!r} not understood")
                continue
            values = [{"seconds": seconds_1904(m.group(1)), "value": int(m.group(3))},
                      {"seconds": seconds_1904(m.group(2)), "value": int(m.group(3))}]
        else:
            parts = [default] if len(names) == 1 else re.split(r", (?![^\[]*\])", default)
            if len(parts) != len(names):
                failures.append(f"sim/README.md: defaults {default!r} do not match the fields {names}")
                continue
            try:
                values = [documented_value(p, device, number) for p in parts]
            except ValueError as e:
                failures.append(f"sim/README.md: the default {e} of {names} is not understood by this test")
                continue
        for name, value in zip(names, values):
            compared += 1
            if model.get(name, "(missing)") != value:
                failures.append(f"sim/README.md documents {name} = {value!r} by default, the machine has "
                                f"{model.get(name, '(missing)')!r}")
    if compared < 20:
        failures.append(f"only {compared} documented defaults compared")
    return failures


def main():
    source, qosim, syscfg, library = sys.argv[1:5]
    found = examples(source)
    from_readmes = [n for n, _ in found if ".md:" in n]
    # Not vacuous: the READMEs do hold board-file examples.
    if len(from_readmes) < 2:
        print(f"only {len(from_readmes)} board-file examples found in the READMEs")
        return 1
    failures = check_documented_defaults(source, qosim)
    with tempfile.TemporaryDirectory() as scratch:
        for name, doc in found:
            failures += check(name, doc, qosim, syscfg, library, scratch)
            print(f"{name}: checked")
    for f in failures:
        print("FAIL " + f)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
