#!/usr/bin/env python3
"""Tests of the topography generator: every refusal of a faulty description (one line naming
file and entry, nothing written), the expansion rules, the committed descriptions, and the
outputs compiled with the project's compiler.

    python3 codegen/tests/test_qotopogen.py            (ctest: codegen_topography_tests)
Environment (optional): QO_CXX = a C++ compiler for the compile test, QO_SOURCE_DIR.
"""

import copy
import glob
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

from generator_testing import CODEGEN, HERE, SOURCE_DIR, assert_refused  # noqa: F401

import qotopogen as tg  # noqa: E402

COMMITTED = sorted(glob.glob(os.path.join(CODEGEN, "topographies", "*.json")))

SMALL = {
    "name": "t-small",
    "defaults": {"visibility": "public"},
    "terminals": [
        {"name": "In{n}", "id": "1 + n", "for": {"n": [0, 3]}, "isExternal": True, "busLine": "n"},
        {"name": "Hub", "id": 10},
        {"name": "Out", "id": 11},
        {"name": "Port", "id": 12, "alias": "Out"},
    ],
    "edges": [
        {"from": "In{n}", "to": "Hub", "for": {"n": [0, 3]}, "cost": "n + 1"},
        {"from": "Hub", "to": "Out", "cost": 2, "bidirectional": True},
    ],
}


def small():
    return copy.deepcopy(SMALL)


class Expansion(unittest.TestCase):
    def test_ranges_names_and_expressions(self):
        topo = tg.parse(small(), "s.json")
        self.assertEqual([(t.name, t.id, t.busLine) for t in topo.terminals[:3]],
                         [("In0", 1, 0), ("In1", 2, 1), ("In2", 3, 2)])
        # Costs from the expression; the bidirectional edge twice.
        self.assertEqual(topo.edges, [(1, 10, 1), (2, 10, 2), (3, 10, 3), (10, 11, 2), (11, 10, 2)])
        port = topo.terminals[-1]
        self.assertTrue(port.isAlias)
        self.assertEqual(port.canonicalName, "Out")
        self.assertEqual(topo.terminals[3].canonicalName, "Hub")  # a canonical terminal names itself

    def test_cross_product_first_variable_outermost(self):
        self.assertEqual(tg.combinations({"a": [0, 2], "b": [5, 11, 5]}),
                         [{"a": 0, "b": 5}, {"a": 0, "b": 10}, {"a": 1, "b": 5}, {"a": 1, "b": 10}])

    def test_expressions(self):
        self.assertEqual(tg.evaluate("(m + 1) % 16", {"m": 15}), 0)
        self.assertEqual(tg.evaluate("-3 + 10 // 3 * 2", {}), 3)
        for bad in ("__import__('os')", "n ** 2", "1.5", "n / 2", "x", "1 % 0", ""):
            with self.assertRaises(ValueError, msg=bad):
                tg.evaluate(bad, {"n": 2})

    def test_c_strings_escape_utf8_as_octal(self):
        self.assertEqual(tg.c_string('Straße"\\?1'), '"Stra\\303\\237e\\"\\\\\\0771"')


class Refusals(unittest.TestCase):
    """Each fault refused with one message naming the file, the entry and the fault."""

    CASES = [
        # (label, edit, fragments of the message)
        ("id 0", lambda d: d["terminals"][1].update(id=0), ["terminals[1] (Hub)", "outside 1..4294967295"]),
        ("id above 32 bits", lambda d: d["terminals"][1].update(id=1 << 32), ["outside 1..4294967295"]),
        ("duplicate id", lambda d: d["terminals"][1].update(id=2), ["terminals[1] (Hub)", "id 2", "\"In1\""]),
        ("duplicate id in a range", lambda d: d["terminals"][0].update(id="1"), ["terminals[0] (In{n})", "id 1"]),
        ("duplicate name", lambda d: d["terminals"][2].update(name="Hub"), ["terminals[2]", "used twice"]),
        ("names equal by case folding", lambda d: d["terminals"][2].update(name="HUB"),
         ["\"HUB\" equals \"Hub\""]),
        ("full case folding", lambda d: d["terminals"].extend(
            [{"name": "Maß", "id": 40}, {"name": "MASS", "id": 41}]), ["\"MASS\" equals \"Maß\""]),
        ("alias of unknown", lambda d: d["terminals"][3].update(alias="Nowhere"),
         ["terminal Port", "unknown terminal \"Nowhere\""]),
        ("alias of alias", lambda d: d["terminals"].append({"name": "P2", "id": 13, "alias": "Port"}),
         ["terminal P2", "itself an alias"]),
        ("edge to unknown", lambda d: d["edges"][1].update(to="Nowhere"), ["edges[1] (Hub)", "\"Nowhere\""]),
        ("edge from range to unknown", lambda d: d["edges"][0].update(**{"for": {"n": [0, 4]}}),
         ["edges[0] (In{n})", "unknown terminal \"In3\""]),
        ("edge at an alias", lambda d: d["edges"][1].update(to="Port"), ["alias of \"Out\""]),
        ("self loop", lambda d: d["edges"][1].update(to="Hub"), ["to itself"]),
        ("duplicate edge", lambda d: d["edges"].append({"from": "Out", "to": "Hub", "cost": 1}),
         ["edges[2] (Out)", "given twice"]),
        ("zero cost", lambda d: d["edges"][1].update(cost=0), ["cost 0"]),
        ("cost expression fails", lambda d: d["edges"][0].update(cost="n // 0"), ["division by zero"]),
        ("unknown terminal key", lambda d: d["terminals"][1].update(colour=1), ["unknown key \"colour\""]),
        ("unknown edge key", lambda d: d["edges"][1].update(weight=1), ["unknown key \"weight\""]),
        ("unknown top key", lambda d: d.update(extra=1), ["top level", "\"extra\""]),
        ("unknown default", lambda d: d["defaults"].update(id=1), ["defaults", "\"id\""]),
        ("missing edges", lambda d: d.pop("edges"), ["\"edges\" is missing"]),
        ("name too long", lambda d: d.update(name="n" * 128), ["name", "127 bytes"]),
        ("control character", lambda d: d["terminals"][1].update(name="Hu\nb"), ["control character"]),
        ("flag not boolean", lambda d: d["terminals"][1].update(isOwned=1), ["isOwned must be true or false"]),
        ("empty range", lambda d: d["terminals"][0].update(**{"for": {"n": [3, 3]}}), ["empty"]),
        ("range too large", lambda d: d["terminals"][0].update(**{"for": {"n": [0, 70000]}}), ["at most"]),
        ("template variable unknown", lambda d: d["terminals"][0].update(name="In{k}"), ["unknown variable"]),
        ("bus line negative", lambda d: d["terminals"][1].update(busLine=-1), ["busLine -1"]),
    ]

    def test_faults_are_refused_with_file_and_entry(self):
        assert_refused(self, self.CASES, small, tg.parse, tg.TopographyError)

    def test_command_line_writes_nothing_on_refusal(self):
        tmp = tempfile.mkdtemp()
        try:
            good = os.path.join(tmp, "good.json")
            twin = os.path.join(tmp, "twin.json")
            for path in (good, twin):
                with open(path, "w", encoding="utf-8") as f:
                    import json
                    json.dump(small(), f)
            lib, sim = os.path.join(tmp, "lib.cpp"), os.path.join(tmp, "sim.h")
            run = subprocess.run([sys.executable, tg.__file__, "--library-out", lib, "--sim-out", sim,
                                  good, twin], capture_output=True, text=True)
            self.assertEqual(run.returncode, 1)
            self.assertEqual(run.stderr.count("\n"), 1, run.stderr)
            self.assertIn("twin.json: name: topography \"t-small\" is also described in", run.stderr)
            self.assertFalse(os.path.exists(lib) or os.path.exists(sim))
            # Accepted alone; a second run leaves the unchanged outputs untouched.
            args = [sys.executable, tg.__file__, "--library-out", lib, "--sim-out", sim, good]
            self.assertEqual(subprocess.run(args).returncode, 0)
            before = os.stat(lib).st_mtime_ns
            os.utime(lib, ns=(1, 1))
            self.assertEqual(subprocess.run(args).returncode, 0)
            self.assertEqual(os.stat(lib).st_mtime_ns, 1)
            self.assertNotEqual(before, 1)
        finally:
            shutil.rmtree(tmp)


class Committed(unittest.TestCase):
    def test_committed_descriptions(self):
        topos = tg.load(COMMITTED)
        names = [t.name for t in topos]
        self.assertGreaterEqual(len(topos), 3)
        self.assertIn("vorlix-matrix-a", names)
        self.assertTrue(any(len(t.terminals) > 1000 for t in topos))
        every = [term for t in topos for term in t.terminals]
        self.assertTrue(any(term.isAlias for term in every))
        self.assertTrue(any(term.isMaskedOut for term in every))
        self.assertTrue(any("ß" in term.name for term in every))
        # Some route needs more than 32 terminals: a chain of single-successor terminals.
        for t in topos:
            succ = {}
            for a, b, _ in t.edges:
                succ.setdefault(a, []).append(b)
            longest = 0
            for start in succ:
                n, at = 1, start
                while len(succ.get(at, [])) == 1 and n < 100:
                    at, n = succ[at][0], n + 1
                longest = max(longest, n)
            if t.name in ("vorlix-matrix-b", "vorlix-matrix-x"):
                self.assertGreater(longest, 32, t.name)


@unittest.skipUnless(os.environ.get("QO_CXX"), "QO_CXX not set")
class Compiled(unittest.TestCase):
    """The generated records and tables compile and agree byte for byte (UTF-8 names too)."""

    def test_outputs_compile_and_agree(self):
        tmp = tempfile.mkdtemp()
        try:
            lib = os.path.join(tmp, "records.cpp")
            sim = os.path.join(tmp, "qotopo", "qoTopographyTables.h")
            self.assertEqual(tg.main(["--library-out", lib, "--sim-out", sim] + COMMITTED), 0)
            main = os.path.join(tmp, "main.cpp")
            with open(main, "w", encoding="utf-8") as f:
                f.write(r'''
#include <cstdio>
#include <cstring>
#include "qoarkra/TopographyInfo.h"
#include "qotopo/qoTopographyTables.h"
int main() {
  auto records = qoark::builtinTopographies();
  if (records.size() != sizeof qotopo::kTopographies / sizeof qotopo::kTopographies[0]) return 1;
  for (std::size_t i = 0; i < records.size(); ++i) {
    const auto& r = *records[i];
    const auto& s = qotopo::kTopographies[i];
    if (std::strcmp(r.name, s.name) != 0 || r.terminalCount != s.terminalCount) return 2;
    for (std::size_t k = 0; k < s.terminalCount; ++k)
      if (std::strcmp(r.terminals[k].name, s.terminals[k].name) != 0 || r.terminals[k].id != s.terminals[k].id)
        return 3;
  }
  const auto* a = qotopo::findTopography("vorlix-matrix-a");
  for (std::size_t k = 0; a && k < a->terminalCount; ++k)
    if (a->terminals[k].id == 31) std::printf("%s", a->terminals[k].name);
  return 0;
}
''')
            exe = os.path.join(tmp, "agree")
            build = subprocess.run([os.environ["QO_CXX"], "-std=c++20", "-Wall", "-Wextra", "-Werror",
                                    "-I", SOURCE_DIR, "-I", tmp, main, lib, "-o", exe],
                                   capture_output=True, text=True)
            self.assertEqual(build.returncode, 0, build.stderr)
            run = subprocess.run([exe], capture_output=True)
            self.assertEqual(run.returncode, 0)
            self.assertEqual(run.stdout, "Großtakt".encode("utf-8"))
        finally:
            shutil.rmtree(tmp)


if __name__ == "__main__":
    unittest.main()
