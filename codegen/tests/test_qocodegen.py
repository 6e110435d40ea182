#!/usr/bin/env python3
"""Tests of the driver-interface generator: block layout, every refusal of a faulty
description (with its message), the committed descriptions, the generated outputs, and that a
small test description compiles.

    python3 codegen/tests/test_qocodegen.py            (ctest: codegen_generator_tests)
Environment (optional): QO_CXX = a C++ compiler for the compile test, QO_SOURCE_DIR.
"""

import copy
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

from generator_testing import CODEGEN, HERE, SOURCE_DIR, assert_refused  # noqa: F401

import description as desc  # noqa: E402
import qocodegen  # noqa: E402

SAMPLE = os.path.join(HERE, "data", "sample.json")
MAIN = os.path.join(CODEGEN, "descriptions", "vorlixtarrow.json")
ROUTING = os.path.join(CODEGEN, "descriptions", "routing.json")
SHARED = os.path.join(CODEGEN, "descriptions", "driver.json")


def sample():
    with open(SAMPLE, encoding="utf-8") as f:
        return json.load(f)


def method(data, name):
    return next(m for m in data["methods"] if m["name"] == name)


class Layout(unittest.TestCase):
    def test_fields_take_their_natural_alignment(self):
        offsets, size, align = desc.layout([(4, 4), (8, 8), (4, 4), (2, 2), (8, 8), (4, 4), (4, 4)])
        self.assertEqual(offsets, [0, 8, 16, 20, 24, 32, 36])  # op0903
        self.assertEqual((size, align), (40, 8))

    def test_tail_padding_to_the_largest_member(self):
        # op0904: the fields end at 20, the block holds a u64: 24 bytes.
        self.assertEqual(desc.layout([(8, 8), (4, 4), (4, 4), (4, 4)])[1], 24)
        # A 16-byte record of alignment 4 and a status word: 20 bytes (op0603).
        self.assertEqual(desc.layout([(16, 4), (4, 4)])[1], 20)
        # u64 + u8 and no status word: 16 bytes (op830B).
        self.assertEqual(desc.layout([(8, 8), (1, 1)])[1], 16)
        # u8 then status: the status word sits at 4.
        self.assertEqual(desc.layout([(1, 1), (4, 4)]), ([0, 4], 8, 4))

    def test_empty_block(self):
        self.assertEqual(desc.layout([]), ([], 0, 1))


class Refusals(unittest.TestCase):
    """Each fault is refused with a message naming the file, the entry and the fault."""

    def refused(self, data, *fragments):
        with self.assertRaises(desc.DescriptionError) as caught:
            desc.parse(data, "faulty.json")
        message = str(caught.exception)
        self.assertTrue(message.startswith("faulty.json: "), message)
        for fragment in fragments:
            self.assertIn(fragment, message)
        return message

    def test_sample_is_accepted(self):
        d = desc.parse(sample(), "sample.json")
        self.assertEqual([m.name for m in d.methods], ["op0101", "op0102", "op0201", "op0202"])

    def test_unknown_and_missing_keys(self):
        data = sample()
        data["colour"] = 1
        self.refused(data, "unknown key 'colour'")
        data = sample()
        del data["proxy"]
        self.refused(data, "missing key 'proxy'")
        data = sample()
        method(data, "op0101")["request"][0]["size"] = 1
        self.refused(data, "method 'op0101' (entry 1) request field 0", "unknown key 'size'")

    def test_constants_are_typed_ranged_and_commented(self):
        cases = [
            ({"type": "float"}, "type 'float' is not one of"),
            ({"type": "u8", "value": 256}, "value 256 does not fit u8"),
            ({"type": "i32", "value": -0x80000001}, "does not fit i32"),
            ({"type": "i32", "value": "0x10"}, "no integer (hex text only for unsigned types)"),
            ({"type": "u32", "value": True}, "no integer"),
            ({"type": "text", "value": 'a"b'}, "no control characters, quotes or backslashes"),
            ({"comment": ""}, "comment must be a non-empty string"),
            ({"checkLiterals": 1}, "'checkLiterals' is a boolean"),
        ]
        for change, fragment in cases:
            data = sample()
            data["constants"][0].update(change)
            self.refused(data, "constant 'kSampleSentinel'", fragment)
        data = sample()
        data["constants"][1]["name"] = "kSampleSentinel"
        self.refused(data, "constant 'kSampleSentinel'", "declared twice")
        data = sample()
        data["constants"][0]["colour"] = 1
        self.refused(data, "constants[0]", "unknown key 'colour'")

    def test_shared_constants_file_holds_constants_only(self):
        shared = desc.parse({"constants": [{"name": "kX", "type": "i32", "value": -1,
                                            "comment": "x"}]}, "shared.json")
        self.assertEqual([(c.name, c.value, c.check_literals) for c in shared.constants],
                         [("kX", -1, True)])
        with self.assertRaises(desc.DescriptionError) as caught:
            desc.parse({"constants": [], "methods": []}, "shared.json")
        self.assertIn("shared.json: unknown key 'methods'", str(caught.exception))

    def test_duplicate_method_name(self):
        data = sample()
        method(data, "op0102")["name"] = "op0101"
        self.refused(data, "method 'op0101' (entry 2)", "name already used by entry 1")

    def test_duplicate_command(self):
        data = sample()
        data["commandNumbering"] = "free"
        method(data, "op0102")["command"] = "0x80200101"
        self.refused(data, "method 'op0102' (entry 2)", "command 0x80200101 already used by 'op0101'")

    def test_command_must_carry_the_call_block_size(self):
        data = sample()
        method(data, "op0101")["command"] = "0x80180101"
        self.refused(data, "method 'op0101'", "bits 29..16 hold 24, the call block is 32 bytes")

    def test_direction_three_is_refused(self):
        data = sample()
        method(data, "op0101")["command"] = "0xC0200101"
        self.refused(data, "method 'op0101'", "direction 3")

    def test_command_must_be_hex_text(self):
        data = sample()
        method(data, "op0101")["command"] = 2149581057
        self.refused(data, "method 'op0101'", "hexadecimal text")

    def test_name_must_match_the_command_digits(self):
        data = sample()
        method(data, "op0101")["command"] = "0x80200111"
        self.refused(data, "method 'op0101'", "command 0x80200111 belongs to a method named 'op0111'")
        data["commandNumbering"] = "free"
        desc.parse(data, "free.json")  # free numbering accepts any name

    def test_offset_differing_from_natural_alignment(self):
        data = sample()
        method(data, "op0101")["request"][1]["at"] = 4
        self.refused(data, "method 'op0101' (entry 1) request field 'value1'",
                     "offset 4 in the description, natural alignment puts it at 8")

    def test_block_size_differing_from_the_layout(self):
        data = sample()
        method(data, "op0101")["requestSize"] = 20
        self.refused(data, "method 'op0101'", "request block of 20 bytes in the description, "
                     "the computed layout is 24 bytes")
        data = sample()
        method(data, "op0101")["responseSize"] = 16
        self.refused(data, "response block of 16 bytes")

    def test_status_word_missing_from_the_response(self):
        data = sample()
        m = method(data, "op0201")
        m["response"] = []
        m["responseSize"] = 0
        self.refused(data, "method 'op0201'", "the request carries a status word but the response has none")

    def test_status_word_must_end_the_response(self):
        data = sample()
        m = method(data, "op0101")
        m["response"] = [{"name": "status", "type": "i32", "role": "status", "at": 0},
                         {"name": "out3", "type": "u32", "role": "output", "parameter": 3, "at": 4}]
        m["responseSize"] = 8
        m["request"] = m["request"]
        self.refused(data, "the response's status word must be its last field")

    def test_only_unused_bytes_after_the_request_status(self):
        data = sample()
        m = method(data, "op0201")
        m["request"] = [{"name": "status", "type": "i32", "role": "status", "at": 0},
                        {"name": "value0", "type": "u32", "role": "input", "parameter": 1, "at": 4}]
        m["requestSize"] = 8
        self.refused(data, "only unused bytes may follow the request's status word")

    def test_status_word_must_be_i32(self):
        data = sample()
        method(data, "op0201")["request"][2]["type"] = "u32"
        self.refused(data, "the status word is i32, not u32")

    def test_method_without_status_has_no_response(self):
        data = sample()
        m = method(data, "op0202")
        m["response"] = [{"name": "status", "type": "i32", "role": "status", "at": 0}]
        m["responseSize"] = 4
        self.refused(data, "method 'op0202'", "without status word in its request has no response block")

    def test_two_status_words(self):
        data = sample()
        m = method(data, "op0201")
        m["request"][1] = {"name": "status2", "type": "i32", "role": "status", "at": 8}
        self.refused(data, "more than one status word")

    def test_parameters_must_be_numbered_without_gaps(self):
        data = sample()
        method(data, "op0101")["response"][1]["parameter"] = 4
        self.refused(data, "method 'op0101'", "parameters [1, 2, 4] are not numbered 1..3")

    def test_output_parameter_before_an_input(self):
        data = sample()
        m = method(data, "op0101")
        m["request"][1]["parameter"] = 3
        m["response"][1]["parameter"] = 2
        self.refused(data, "output parameter 2 comes before input parameter 3")

    def test_parameter_on_a_field_that_takes_none(self):
        data = sample()
        method(data, "op0201")["request"][1]["parameter"] = 2
        self.refused(data, "request field 'unused0'", "a field of role unused takes no parameter")
        data = sample()
        del method(data, "op0101")["request"][0]["parameter"]
        self.refused(data, "request field 'value0'", "a field of role input needs a parameter")

    def test_role_not_allowed_in_the_block(self):
        data = sample()
        method(data, "op0101")["request"][0]["role"] = "output"
        self.refused(data, "role 'output' is not one of")

    def test_unknown_type(self):
        data = sample()
        method(data, "op0101")["request"][0]["type"] = "u24"
        self.refused(data, "type 'u24' is neither a scalar")

    def test_address_needs_u64_and_a_known_element(self):
        data = sample()
        method(data, "op0201")["request"][0]["element"] = "tMissing"
        self.refused(data, "element 'tMissing' is neither a scalar nor a declared record")
        data = sample()
        del method(data, "op0201")["request"][0]["element"]
        self.refused(data, "every address field needs one")

    def test_input_record_needs_a_record_and_a_passing(self):
        data = sample()
        del method(data, "op0102")["request"][0]["pass"]
        self.refused(data, "passed by 'reference' or 'pointer'")
        data = sample()
        method(data, "op0101")["request"][0]["role"] = "inputRecord"
        method(data, "op0101")["request"][0]["pass"] = "pointer"
        self.refused(data, "an inputRecord field needs a record type")

    def test_more_than_one_result_or_result_not_first(self):
        data = sample()
        m = method(data, "op0101")
        m["response"][1] = {"name": "result2", "type": "u32", "role": "result", "at": 4}
        m["request"][1]["parameter"] = 2
        self.refused(data, "method 'op0101'", "more than one result")
        data = sample()
        m = method(data, "op0101")
        m["response"][0:2] = [
            {"name": "out3", "type": "u32", "role": "output", "parameter": 3, "at": 0},
            {"name": "result", "type": "u16", "role": "result", "at": 4}]
        self.refused(data, "method 'op0101'", "the result must be the response's first field")

    def test_interface_of_a_method_must_be_declared(self):
        data = sample()
        method(data, "op0201")["interface"] = "iInterfaceProxy_elsewhere"
        self.refused(data, "method 'op0201' (entry 3)",
                     "interface 'iInterfaceProxy_elsewhere' is not declared in the class tree")

    def test_base_must_be_declared_before_use(self):
        data = sample()
        data["interfaces"].reverse()
        self.refused(data, "interface 'iInterfaceProxy_sample'",
                     "base 'iInterfaceProxy_sample_part' is not declared before it")

    def test_bases_start_with_the_root(self):
        data = sample()
        data["interfaces"][0]["bases"] = ["iInterfaceProxy_other"]
        self.refused(data, "bases must start with 'iInterfaceProxy'")

    def test_every_interface_in_the_proxy_tree(self):
        data = sample()
        data["interfaces"][1]["bases"] = ["iInterfaceProxy"]
        self.refused(data, "interface 'iInterfaceProxy_sample_part'",
                     "is not in the class tree of 'iInterfaceProxy_sample'")

    def test_proxy_interface_must_be_declared(self):
        data = sample()
        data["proxy"]["interface"] = "iInterfaceProxy_nowhere"
        self.refused(data, "proxy", "interface 'iInterfaceProxy_nowhere' is not declared")

    def test_methods_in_slot_order(self):
        data = sample()
        data["methods"].insert(0, data["methods"].pop(2))
        self.refused(data, "method 'op0101' (entry 2)",
                     "interface 'iInterfaceProxy_sample' comes before 'iInterfaceProxy_sample_part'")

    def test_given_lines_must_be_present_and_increasing(self):
        data = sample()
        data["sourceLines"] = "given"
        self.refused(data, "method 'op0101' (entry 1)", "missing key 'line'")
        for n, m in enumerate(data["methods"]):
            m["line"] = 10 * (n + 1)
        method(data, "op0201")["line"] = 20
        self.refused(data, "method 'op0201' (entry 3)", "line 20 does not follow line 20 of 'op0102'")

    def test_generated_lines_take_no_line(self):
        data = sample()
        method(data, "op0101")["line"] = 5
        self.refused(data, "method 'op0101'", "lets the generator choose the lines")

    def test_record_layout_checked(self):
        data = sample()
        data["records"][0]["size"] = 5
        self.refused(data, "record 'tSampleRecord'", "size 5 in the description, the computed layout is 8 bytes")
        data = sample()
        data["records"][0]["fields"][1]["at"] = 5
        self.refused(data, "record 'tSampleRecord' field 'b'", "offset 5 in the description")
        data = sample()
        data["records"][0]["align"] = 8
        self.refused(data, "alignment 8 in the description, the computed alignment is 4")

    def test_duplicate_field_and_interface_names(self):
        data = sample()
        method(data, "op0101")["request"][1]["name"] = "value0"
        self.refused(data, "request field 'value0'", "name used twice in the block")
        data = sample()
        data["interfaces"].append(copy.deepcopy(data["interfaces"][0]))
        self.refused(data, "interface 'iInterfaceProxy_sample_part'", "declared twice")

    def test_invalid_json_and_duplicate_keys(self):
        with tempfile.TemporaryDirectory() as scratch:
            broken = os.path.join(scratch, "broken.json")
            with open(broken, "w") as f:
                f.write('{"driverInterface": "x",')
            with self.assertRaises(desc.DescriptionError) as caught:
                desc.load(broken)
            self.assertIn("broken.json: not valid JSON", str(caught.exception))
            with open(broken, "w") as f:
                f.write('{"driverInterface": "x", "driverInterface": "y"}')
            with self.assertRaises(desc.DescriptionError) as caught:
                desc.load(broken)
            self.assertIn("duplicate key 'driverInterface'", str(caught.exception))
            with self.assertRaises(desc.DescriptionError) as caught:
                desc.load(os.path.join(scratch, "missing.json"))
            self.assertIn("missing.json: cannot read", str(caught.exception))


class CommittedDescriptions(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.main, cls.routing = qocodegen.load_all([MAIN, ROUTING])
        cls.files = qocodegen.generate([cls.main, cls.routing])

    def test_main_interface_has_its_101_methods_with_status_but_one(self):
        self.assertEqual(len(self.main.methods), 101)
        self.assertEqual([m.name for m in self.main.methods if not m.has_status], ["op830B"])
        own = [m for m in self.main.methods if m.interface == "iInterfaceProxy_vorlixtarrow"]
        self.assertEqual(len(own), 39)
        self.assertEqual(self.main.methods[0].name, "op0901")
        self.assertEqual(self.main.methods[-1].name, "op0607")

    def test_main_interface_slot_order_follows_the_class_tree(self):
        self.assertEqual(self.main.slot_order(), [
            "iInterfaceProxy_vorlixtarrow", "iInterfaceProxy_zurazerudddk",
            "iInterfaceProxy_zurazerudddk_attribute", "iInterfaceProxy_zurazerudddk_configuration",
            "iInterfaceProxy_zurazerudddk_io", "iInterfaceProxy_zurazerudddk_irq",
            "iInterfaceProxy_zurazerudddk_fifo", "iInterfaceProxy_zurazerudddk_flash",
            "iInterfaceProxy_zurazerudddk_p2p",
            "iInterfaceProxy_zurazerudddk_configure_personality_common",
            "iInterfaceProxy_readwrite", "iInterfaceProxy_vorlixsync",
            "iInterfaceProxy_vorlixififo", "iInterfaceProxy_vorlixio"])

    def test_generated_lines_are_distinct_increasing_and_point_at_the_status_merge(self):
        header = self.files["codegen/qovorlixatomicsae/tInterfaceProxy_vorlixtarrow.h"][1]
        text = header.split("\n")
        lines = [m.line for m in self.main.methods if m.has_status]
        self.assertEqual(len(lines), 100)
        self.assertEqual(lines, sorted(set(lines)))
        for m in self.main.methods:
            if m.has_status:
                self.assertIn("status.setCode(response.status", text[m.line - 1], m.name)
                self.assertIn(", %d);" % m.line, text[m.line - 1], m.name)

    def test_routing_lines_are_the_described_ones(self):
        self.assertEqual([m.line for m in self.routing.methods],
                         [61, 97, 125, 154, 180, 206, 232, 261, 288, 315, 345])
        self.assertEqual([m.command for m in self.routing.methods],
                         [0x208000 + n for n in range(9)] + [0x20800A, 0x20800B])

    def test_sizes_follow_the_layout(self):
        for d in (self.main, self.routing):
            for m in d.methods:
                self.assertEqual(desc.layout([(f.size, f.align) for f in m.request])[1],
                                 m.request_size, m.name)
        by_name = {m.name: m for m in self.main.methods}
        self.assertEqual(by_name["op0603"].request_size, 20)
        self.assertEqual(by_name["op0904"].request_size, 24)
        self.assertEqual((by_name["op830B"].request_size, by_name["op830B"].response_size), (16, 0))
        self.assertEqual(by_name["op832E"].request_size, 56)

    def test_tables_header_lists_every_method_once(self):
        tables = self.files["qodrvdesc/qoDriverInterfaceTables.h"][1]
        entries = re.findall(r'\{"(qovorlixtarrowk_vorlixtarrow|routing_routing)", "(\w+)", "(\w+)", '
                             r'(0x[0-9A-F]{8})u, (\d+), (\d+),', tables)
        self.assertEqual(len(entries), 112)
        self.assertEqual(len({(e[0], e[3]) for e in entries}), 112)
        self.assertRegex(tables, r'"op830B", 0x4020830Bu, 16, 0,\s+detail::\w+_request, 2, '
                                 r'nullptr, 0, false, 0\}')
        self.assertNotIn("#include \"qoapal", tables)

    def test_every_block_and_record_is_static_asserted(self):
        header = self.files["codegen/qovorlixatomicsae/tInterfaceProxy_vorlixtarrow.h"][1]
        for m in self.main.methods:
            self.assertIn("static_assert(sizeof(tRequest_%s) == %d);" % (m.name, m.request_size),
                          header)
            for f in m.request:
                self.assertIn("static_assert(offsetof(tRequest_%s, %s) == %d);"
                              % (m.name, f.name, f.offset), header)
            for f in m.response:
                self.assertIn("static_assert(offsetof(tResponse_%s, %s) == %d);"
                              % (m.name, f.name, f.offset), header)
        self.assertIn("static_assert(sizeof(tIoModuleRecord) == 16 && alignof(tIoModuleRecord) == 4);",
                      header)

    def test_contract_header_names_every_command_and_enumerates_the_methods(self):
        header = self.files["qodrv/qoDriverConstants.h"][1]
        for d, space in ((self.main, "vorlixtarrow"), (self.routing, "routing")):
            body = header[header.index("namespace %s {" % space):]
            body = body[:body.index("}  // namespace %s" % space)]
            self.assertIn('inline constexpr char kInterfaceName[] = "%s";' % d.driver_interface,
                          body)
            enum = body[body.index("enum class Method"):body.index("};", body.index("enum"))]
            self.assertEqual(re.findall(r"^  (\w+),$", enum, re.M), [m.name for m in d.methods])
            for m in d.methods:
                constant = qocodegen.command_constant(m)
                self.assertIn("inline constexpr std::uint32_t %s = 0x%08Xu;"
                              % (constant, m.command), body)
                self.assertIn("case %s: return Method::%s;" % (constant, m.name), body)
        self.assertIn("kOp0406Command = 0x80200406u;", header)
        self.assertIn("kCalculateRouteCommand = 0x00208001u;", header)
        proxy = self.files["codegen/qovorlixatomicsae/tInterfaceProxy_routing.h"][1]
        self.assertIn("kCommand_calculateRoute = qodrv::routing::kCalculateRouteCommand;", proxy)
        self.assertIn("using qodrv::routing::kTopographyNameSize;", proxy)

    def test_shared_constants_come_first_and_names_stay_unique(self):
        shared = SHARED
        loaded = qocodegen.load_all([shared, MAIN, ROUTING])
        header = qocodegen.generate(loaded)["qodrv/qoDriverConstants.h"][1]
        self.assertLess(header.index("kStatusBadArgument = -52005;"),
                        header.index("namespace vorlixtarrow {"))
        self.assertIn("inline constexpr std::uint64_t kNeverSet = 0x8000000000000000ull;", header)
        self.assertIn("inline constexpr std::int32_t kStatusReservationConflict = -89137;", header)
        with self.assertRaises(desc.DescriptionError) as caught:
            qocodegen.load_all([shared, shared])
        self.assertIn("constant 'kStatusBadArgument' is also declared by", str(caught.exception))

    def test_two_descriptions_of_one_interface_are_refused(self):
        with self.assertRaises(desc.DescriptionError) as caught:
            qocodegen.load_all([MAIN, MAIN])
        self.assertIn("driverInterface 'qovorlixtarrowk_vorlixtarrow' is already described",
                      str(caught.exception))


class CommandLine(unittest.TestCase):
    def run_generator(self, *args):
        return subprocess.run([sys.executable, os.path.join(CODEGEN, "generator", "qocodegen.py")]
                              + list(args), capture_output=True, text=True)

    def test_a_faulty_description_writes_nothing_and_exits_1(self):
        with tempfile.TemporaryDirectory() as scratch:
            data = sample()
            method(data, "op0101")["requestSize"] = 99
            faulty = os.path.join(scratch, "faulty.json")
            with open(faulty, "w") as f:
                json.dump(data, f)
            out = os.path.join(scratch, "out")
            done = self.run_generator("--out", out, SAMPLE, faulty)
            self.assertEqual(done.returncode, 1)
            self.assertRegex(done.stderr, r"^qocodegen: error: .*faulty\.json: method 'op0101' "
                                          r"\(entry 1\): request block of 99 bytes")
            self.assertFalse(os.path.exists(out))

    def test_check_only_and_unchanged_files_left_alone(self):
        self.assertEqual(self.run_generator("--check", MAIN, ROUTING).returncode, 0)
        with tempfile.TemporaryDirectory() as scratch:
            self.assertEqual(self.run_generator("--out", scratch, SAMPLE).returncode, 0)
            header = os.path.join(scratch, "codegen", "sample", "tInterfaceProxy_sample.h")
            tables = os.path.join(scratch, "qodrvdesc", "qoDriverInterfaceTables.h")
            self.assertTrue(os.path.isfile(header) and os.path.isfile(tables))
            os.utime(header, (1000, 1000))
            self.assertEqual(self.run_generator("--out", scratch, SAMPLE).returncode, 0)
            self.assertEqual(os.stat(header).st_mtime, 1000)


@unittest.skipUnless(os.environ.get("QO_CXX"), "QO_CXX names no compiler")
class Compiles(unittest.TestCase):
    def test_sample_description_compiles_and_checks_itself(self):
        with tempfile.TemporaryDirectory() as scratch:
            # With the committed descriptions: the platform layer's contract header takes the
            # interface names of the generated constants.
            done = subprocess.run([sys.executable, os.path.join(CODEGEN, "generator", "qocodegen.py"),
                                   "--out", scratch, SHARED, SAMPLE, MAIN, ROUTING],
                                  capture_output=True, text=True)
            self.assertEqual(done.returncode, 0, done.stderr)
            probe = os.path.join(scratch, "probe.cpp")
            with open(probe, "w") as f:
                f.write("""
#include "codegen/sample/tInterfaceProxy_sample.h"
#include "qodrvdesc/qoDriverInterfaceTables.h"
#include "qodrvdesc/qoGeneratedProxyInvokers.h"
namespace ns = nQOVORLIXATOMICSAE_23_3;
static_assert(qodrvdesc::kMethodCount == 4 + 101 + 11);
static_assert(qodrvdesc::findMethod("sample_sample", 0x80200101u)->requestSize == 24);
static_assert(qodrvdesc::findMethodByName("sample_sample", "op0202")->responseSize == 0);
static_assert(!qodrvdesc::findMethodByName("sample_sample", "op0202")->hasStatus);
static_assert(sizeof(ns::nInterfaceProxy_sample::tRequest_op0101) == 24);
static_assert(std::is_abstract_v<ns::iInterfaceProxy_sample>);
static_assert(!std::is_abstract_v<ns::tInterfaceProxy_sample>);
namespace sm = qodrv::sample;
static_assert(sm::methodOf(0x40200102u) == sm::Method::op0102);
static_assert(!sm::methodOf(0x40200103u));
static_assert(sm::methodNamed("op0201") == sm::Method::op0201 && !sm::methodNamed("op02"));
static_assert(sm::commandOf(sm::Method::op0101) == sm::kOp0101Command);
static_assert(sm::kOp0101Command == 0x80200101u && sm::kMethodCount == 4);
static_assert(std::string_view(sm::nameOf(sm::Method::op0202)) == "op0202");
static_assert(std::string_view(sm::kInterfaceName) == "sample_sample");
static_assert(sm::kSampleSentinel == 0x8000000000000000ull && sm::kSampleRefused == -71234);
static_assert(std::is_same_v<decltype(sm::kSampleSentinel), const std::uint64_t>);
static_assert(std::string_view(ns::kSampleText) == "sample text");
int main() { ns::tInterfaceProxy_sample proxy; return proxy.isOpen() ? 1 : 0; }
""")
            compiled = subprocess.run(
                [os.environ["QO_CXX"], "-std=c++20", "-Wall", "-Wextra", "-Werror", "-fsyntax-only",
                 "-include", "type_traits", "-I", SOURCE_DIR, "-I", scratch, probe],
                capture_output=True, text=True)
            self.assertEqual(compiled.returncode, 0, compiled.stderr)


if __name__ == "__main__":
    unittest.main(verbosity=2)
