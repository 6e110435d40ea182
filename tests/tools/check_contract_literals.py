#!/usr/bin/env python3
"""Fails when a driver-contract value is written as a literal outside the interface descriptions.

    check_contract_literals.py [--root DIR] [--allow FILE] DESCRIPTION.json...

The values come from the descriptions themselves (codegen/generator/description.py): every
interface's published name, every method's command word, and every constant whose
checkLiterals is not false (status words, sentinels, the maker's vendor id). The C++ sources of
the library, the simulator, the platform stand-ins, the hosts, the tests, the benchmarks and the
fuzz targets must take them from the generated qodrv/qoDriverConstants.h instead. Comments are
not searched; string literals are (a board text written inside a test repeats the name too),
where a name counts as written when it stands quoted on its own.
Matches the allow-list names (FILE VALUE lines, '*' for every value) are left alone.

Prints one line "FILE:LINE: VALUE (NAME)" per match and exits 1 when there is any; 0 otherwise.
"""

import argparse
import os
import re
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
SEARCHED = ("include", "qo", "qoapal", "qoarkra", "qoroco", "qosysq", "routingAdaptorInterface",
            "source", "sysapicpp", "platform", "sim", "tools", "tests", "bench", "fuzz")
EXTENSIONS = (".cpp", ".cc", ".h", ".hpp", ".inc", ".def")
HEX = re.compile(r"(?<![\w.])0[xX]([0-9A-Fa-f']+)(?:[uUlL]{0,3})(?!\w)")
DECIMAL = re.compile(r"-\s*(\d+)(?![\w.])")
# A name as a quoted text of its own ("name", also \"name\" inside a string); a node path or
# an expected output holding the name inside a longer text is not the name's literal.
QUOTED = r'\\?"{}\\?"'


def contract_values(paths):
    """({number: name} for hex literals, {negative number: name} for decimal ones,
    [(regex, text, name)] for interface names)."""
    sys.path.insert(0, os.path.join(ROOT, "codegen", "generator"))
    import description as desc  # noqa: E402
    hexes, decimals, names = {}, {}, []
    for path in paths:
        d = desc.load(path)
        for c in d.constants:
            if not c.check_literals:
                continue
            if c.type == "text":
                names.append((re.compile(QUOTED.format(re.escape(c.value))), c.value, c.name))
            elif c.value < 0:
                decimals[c.value] = c.name
                hexes[c.value & 0xFFFFFFFF] = c.name  # the same word read as unsigned
            else:
                hexes[c.value] = c.name
        if isinstance(d, desc.SharedConstants):
            continue
        names.append((re.compile(QUOTED.format(re.escape(d.driver_interface))),
                      d.driver_interface, "%s::kInterfaceName" % d.contract_namespace))
        for m in d.methods:
            hexes[m.command] = "%s::%s command" % (d.contract_namespace, m.name)
    return hexes, decimals, names


def strip_comments(text):
    """The text with every comment blanked (line breaks kept), string literals left whole."""
    out, i, n = [], 0, len(text)
    while i < n:
        ch = text[i]
        if text.startswith("//", i):
            j = text.find("\n", i)
            i = n if j < 0 else j
        elif text.startswith("/*", i):
            j = text.find("*/", i + 2)
            j = n if j < 0 else j + 2
            out.append(re.sub(r"[^\n]", " ", text[i:j]))
            i = j
        elif ch == "R" and text.startswith('R"', i) and not re.match(r"\w", text[i - 1:i]):
            delimiter = text[i + 2:text.find("(", i)]
            j = text.find(")%s\"" % delimiter, i)
            j = n if j < 0 else j + len(delimiter) + 2
            out.append(text[i:j])
            i = j
        elif ch in "\"'":
            j = i + 1
            while j < n and text[j] != ch and text[j] != "\n":
                j += 2 if text[j] == "\\" else 1
            out.append(text[i:j + 1])
            i = j + 1
        else:
            out.append(ch)
            i += 1
    return "".join(out)


def matches(text, hexes, decimals, names):
    """(line, literal, name) of every contract value in the code of one file."""
    code = strip_comments(text)
    found = []

    def line_of(pos):
        return code.count("\n", 0, pos) + 1

    for m in HEX.finditer(code):
        value = int(m.group(1).replace("'", ""), 16)
        if value in hexes:
            found.append((line_of(m.start()), m.group(0), hexes[value]))
    for m in DECIMAL.finditer(code):
        value = -int(m.group(1))
        if value in decimals:
            found.append((line_of(m.start()), "-" + m.group(1), decimals[value]))
    for regex, literal, name in names:
        for m in regex.finditer(code):
            found.append((line_of(m.start()), literal, name))
    return sorted(found)


def allowed_entries(path):
    entries = set()
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.split("#", 1)[0].split()
            if line:
                if len(line) != 2:
                    raise SystemExit("%s: expected 'FILE VALUE' lines, not %r" % (path, line))
                entries.add((line[0], line[1]))
    return entries


def sources(root):
    for top in SEARCHED:
        for directory, subdirectories, files in os.walk(os.path.join(root, top)):
            subdirectories.sort()
            for name in sorted(files):
                if name.endswith(EXTENSIONS):
                    path = os.path.join(directory, name)
                    yield os.path.relpath(path, root).replace(os.sep, "/"), path


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--root", default=ROOT, help="source tree to search")
    parser.add_argument("--allow", default=os.path.join(HERE, "contract_literals.allow"))
    parser.add_argument("descriptions", nargs="+")
    options = parser.parse_args(argv)
    hexes, decimals, names = contract_values(options.descriptions)
    allowed = allowed_entries(options.allow)
    used = set()
    faults = 0
    for relative, path in sources(options.root):
        with open(path, encoding="utf-8", errors="replace") as f:
            text = f.read()
        for line, literal, name in matches(text, hexes, decimals, names):
            entry = next((e for e in ((relative, literal), (relative, "*")) if e in allowed), None)
            if entry:
                used.add(entry)
                continue
            print("%s:%d: %s (%s): use the generated name" % (relative, line, literal, name))
            faults += 1
    for entry in sorted(allowed - used):
        print("%s: allowed %s, but no longer there: drop it from %s"
              % (entry[0], entry[1], os.path.basename(options.allow)))
        faults += 1
    print("%d contract literals outside the descriptions" % faults)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
