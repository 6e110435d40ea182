#!/usr/bin/env python3
"""Tests of check_contract_literals.py: what counts as a repeated contract literal, where the
values come from, and the allow-list (ctest contract_literals_checker, label unit)."""

import contextlib
import io
import os
import re
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import check_contract_literals as check  # noqa: E402

DESCRIPTIONS = [os.path.join(check.ROOT, "codegen", "descriptions", name)
                for name in ("driver.json", "vorlixtarrow.json", "routing.json")]


class Matches(unittest.TestCase):
    HEXES = {0x80200405: "op0405 command", 0xFFFEA3CF: "conflict"}
    DECIMALS = {-89137: "conflict"}
    NAMES = [(re.compile(check.QUOTED.format("routing_routing")), "routing_routing", "name")]

    def found(self, code):
        return [literal for _, literal, _ in
                check.matches(code, self.HEXES, self.DECIMALS, self.NAMES)]

    def test_literals_in_code_and_strings_count_comments_do_not(self):
        cases = [
            ("call(0x80200405u);", ["0x80200405u"]),
            ("call(0x80200405ul, 0x802004050);", ["0x80200405ul"]),
            ("le(0xFFFEA3CF, 4)", ["0xFFFEA3CF"]),
            ("x = -89137;", ["-89137"]),
            ('find("failed: -89137")', ["-89137"]),
            ("x = -891370; y = 89137;", []),
            ('R"({"name": "routing_routing"})"', ["routing_routing"]),
            ('"{\\"name\\": \\"routing_routing\\"}"', ["routing_routing"]),
            ('"/dev/qo/qovorlix1\\\\routing_routing\\\\0"', []),
            ("// answers 0x80200405 and -89137 for \"routing_routing\"", []),
            ("/* 0x80200405\n -89137 */ f(kOp0405Command);", []),
            ('const char* c = "// not a comment"; g(-89137);', ["-89137"]),
        ]
        for code, expected in cases:
            self.assertEqual(self.found(code), expected, code)

    def test_lines_are_those_of_the_file(self):
        code = "a;\n/* two\nlines */\nf(0x80200405);\n"
        self.assertEqual(check.matches(code, self.HEXES, self.DECIMALS, self.NAMES),
                         [(4, "0x80200405", "op0405 command")])


class Values(unittest.TestCase):
    def test_values_come_from_the_descriptions(self):
        hexes, decimals, names = check.contract_values(DESCRIPTIONS)
        self.assertEqual(hexes[0x80200406], "vorlixtarrow::op0406 command")
        self.assertEqual(hexes[0x0020800A], "routing::resetTerminal command")
        self.assertEqual(decimals[-89137], "kStatusReservationConflict")
        self.assertEqual(hexes[-89137 & 0xFFFFFFFF], "kStatusReservationConflict")
        self.assertEqual(hexes[0x8000000000000000], "kNeverSet")
        self.assertNotIn(-52005, decimals)  # also the platform's own code: not checked
        self.assertNotIn(128, hexes)        # kTopographyNameSize: not checked
        self.assertEqual(sorted(n[1] for n in names),
                         ["qovorlixtarrowk_vorlixtarrow", "routing_routing"])


class Tree(unittest.TestCase):
    def run_check(self, root, allow):
        out = io.StringIO()
        with contextlib.redirect_stdout(out):
            status = check.main(["--root", root, "--allow", allow] + DESCRIPTIONS)
        return status, out.getvalue()

    def test_a_literal_fails_an_allowed_one_passes_a_stale_entry_fails(self):
        with tempfile.TemporaryDirectory() as root:
            os.makedirs(os.path.join(root, "sim"))
            with open(os.path.join(root, "sim", "a.cpp"), "w") as f:
                f.write("int s = -89137;  // conflict\n")
            allow = os.path.join(root, "allow")
            with open(allow, "w") as f:
                f.write("# nothing allowed\n")
            status, out = self.run_check(root, allow)
            self.assertEqual(status, 1)
            self.assertIn("sim/a.cpp:1: -89137 (kStatusReservationConflict)", out)
            with open(allow, "w") as f:
                f.write("sim/a.cpp -89137  # pinned\n")
            self.assertEqual(self.run_check(root, allow)[0], 0)
            with open(allow, "w") as f:
                f.write("sim/a.cpp -89137\nsim/b.cpp *\n")
            status, out = self.run_check(root, allow)
            self.assertEqual(status, 1)
            self.assertIn("sim/b.cpp: allowed *, but no longer there", out)


if __name__ == "__main__":
    unittest.main(verbosity=2)
