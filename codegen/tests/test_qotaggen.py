#!/usr/bin/env python3
"""Tests of the property-tag generator: every refusal of a faulty description (one line naming
file and entry, nothing written), one small good description and its outputs, the committed
description, and the outputs compiled with the project's compiler.

    python3 codegen/tests/test_qotaggen.py            (ctest: codegen_property_tag_tests)
Environment (optional): QO_CXX = a C++ compiler for the compile test.
"""

import copy
import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

from generator_testing import CODEGEN, HERE, SOURCE_DIR, assert_refused  # noqa: F401

import qotaggen as tg  # noqa: E402

COMMITTED = os.path.join(CODEGEN, "descriptions", "properties.json")

SMALL = {
    "namespace": "tSmall",
    "groups": [
        {"name": "clock", "constant": "kClock", "hostName": "clock reading"},
        {"name": "fans", "constant": "kFans", "hostName": "fans", "element": "fan",
         "count": "kFanCount"},
        {"name": "version", "constant": "kVersion"},
    ],
    "tags": [
        {"tag": "0x1000", "constant": "kName", "type": "string", "kind": "static",
         "hostName": "name"},
        {"tag": "0x3000", "constant": "kClockTime", "type": "timestamp", "kind": "dynamic",
         "group": "clock", "hostName": "clock: time", "hostChecked": True},
        {"tag": "0x2000", "constant": "kVersionText", "type": "string", "kind": "dynamic",
         "group": "version"},
        {"tag": "0x5000", "constant": "kFanCount", "type": "int32", "kind": "dynamic",
         "group": "fans", "hostName": "fans", "hostChecked": True},
        {"tag": "0x4000", "constant": "kFanSpeed", "type": "uint32", "kind": "dynamic",
         "group": "fans", "indexed": True, "element": "speed", "hostChecked": "each"},
        {"tag": "0x6000", "constant": "kFanState", "type": "int32", "kind": "dynamic",
         "group": "fans", "indexed": True, "element": "state", "refreshOnRequest": False},
    ],
}


def small():
    return copy.deepcopy(SMALL)


def tag(data, constant):
    return next(t for t in data["tags"] if t["constant"] == constant)


class Refusals(unittest.TestCase):
    """Each fault refused with one message naming the file, the entry and the fault."""

    CASES = [
        # (label, edit, fragments of the message)
        ("unknown top key", lambda d: d.update(extra=1), ["top level", "unknown key \"extra\""]),
        ("missing tags", lambda d: d.pop("tags"), ["top level", "\"tags\" is missing"]),
        ("bad namespace", lambda d: d.update(namespace="a b"), ["C++ namespace name"]),
        ("unknown tag key", lambda d: d["tags"][0].update(colour=1),
         ["tags[0] (0x1000)", "unknown key \"colour\""]),
        ("unknown group key", lambda d: d["groups"][0].update(colour=1),
         ["groups[0]", "unknown key \"colour\""]),
        ("tag not hex text", lambda d: d["tags"][0].update(tag=4096), ["tags[0]", "hex text"]),
        ("tag above 32 bits", lambda d: d["tags"][0].update(tag="0x100000000"), ["hex text"]),
        ("tag zero", lambda d: d["tags"][0].update(tag="0x0"), ["non-zero"]),
        ("element index bits set", lambda d: d["tags"][0].update(tag="0x1001"),
         ["tags[0]", "low 12 bits"]),
        ("repeated tag", lambda d: d["tags"][2].update(tag="0x3000"),
         ["tags[2] (0x3000)", "also kClockTime"]),
        ("repeated constant", lambda d: d["tags"][2].update(constant="kName"),
         ["tags[2] (0x2000)", "\"kName\" is used twice"]),
        ("constant not a k-name", lambda d: d["tags"][0].update(constant="name"),
         ["not a k-prefixed C++ name"]),
        ("unknown type", lambda d: d["tags"][0].update(type="float"), ["type \"float\""]),
        ("unknown kind", lambda d: d["tags"][0].update(kind="sometimes"), ["kind \"sometimes\""]),
        ("dynamic without group", lambda d: tag(d, "kVersionText").pop("group"),
         ["tags[2] (0x2000)", "group must be"]),
        ("undeclared group", lambda d: tag(d, "kVersionText").update(group="power"),
         ["group \"power\" is not declared"]),
        ("static in a group", lambda d: d["tags"][0].update(group="clock"),
         ["tags[0] (0x1000)", "a static tag has no group"]),
        ("static refreshed on request", lambda d: d["tags"][0].update(refreshOnRequest=True),
         ["a static tag has no refreshOnRequest"]),
        ("repeated host name", lambda d: tag(d, "kClockTime").update(hostName="name"),
         ["tags[1] (0x3000)", "hostName \"name\" is also kName's"]),
        ("indexed with a host name", lambda d: tag(d, "kFanSpeed").update(hostName="speed"),
         ["tags[4] (0x4000)", "names its element"]),
        ("indexed without element", lambda d: tag(d, "kFanSpeed").pop("element"),
         ["needs its \"element\""]),
        ("element of a plain tag", lambda d: d["tags"][0].update(element="x"),
         ["only an indexed tag has an element"]),
        ("indexed in a group without element", lambda d: d["groups"][1].pop("element"),
         ["tags[4] (0x4000)", "group that names its element"]),
        ("each on a plain tag", lambda d: tag(d, "kFanCount").update(hostChecked="each"),
         ["\"each\" needs an indexed tag"]),
        ("checked in a group the hosts do not name", lambda d: tag(d, "kVersionText").update(
            hostChecked=True), ["tags[2] (0x2000)", "group without hostName"]),
        ("hostChecked not a flag", lambda d: tag(d, "kClockTime").update(hostChecked=1),
         ["hostChecked must be true, false or \"each\""]),
        ("flag not boolean", lambda d: tag(d, "kFanSpeed").update(indexed=1),
         ["indexed must be true or false"]),
        ("each without count", lambda d: d["groups"][1].pop("count"),
         ["groups[1] (fans)", "needs the group's count"]),
        ("count of another group", lambda d: d["groups"][1].update(count="kClockTime"),
         ["groups[1] (fans)", "count \"kClockTime\" is not a plain tag of the group"]),
        ("group never refreshed", lambda d: tag(d, "kVersionText").update(
            refreshOnRequest=False), ["groups[2] (version)", "no tag of the group is refreshed"]),
        ("host name without checked tag", lambda d: tag(d, "kClockTime").pop("hostChecked"),
         ["groups[0] (clock)", "no tag is hostChecked"]),
        ("element named twice", lambda d: tag(d, "kFanState").update(element="speed"),
         ["groups[1] (fans)", "element \"speed\" is named twice"]),
        ("repeated group", lambda d: d["groups"][2].update(name="clock", constant="kOther"),
         ["groups[2] (clock)", "used twice"]),
        ("group name not lower case", lambda d: d["groups"][2].update(name="Version"),
         ["lower-case"]),
        ("control character", lambda d: d["tags"][0].update(hostName="na\tme"),
         ["tags[0] (0x1000)", "control character"]),
        ("text too long", lambda d: d["tags"][0].update(hostName="n" * 128), ["127 bytes"]),
        ("empty groups", lambda d: d.update(groups=[]), ["groups must be a non-empty list"]),
    ]

    def test_faults_are_refused_with_file_and_entry(self):
        assert_refused(self, self.CASES, small, tg.parse, tg.TagError)

    def test_command_line_writes_nothing_on_refusal(self):
        tmp = tempfile.mkdtemp()
        try:
            faulty = os.path.join(tmp, "faulty.json")
            data = small()
            data["tags"][0]["tag"] = "0x1001"
            with open(faulty, "w", encoding="utf-8") as f:
                json.dump(data, f)
            lib, hosts = os.path.join(tmp, "lib.h"), os.path.join(tmp, "hosts.h")
            run = subprocess.run([sys.executable, tg.__file__, "--library-out", lib,
                                  "--hosts-out", hosts, faulty], capture_output=True, text=True)
            self.assertEqual(run.returncode, 1)
            self.assertEqual(run.stderr.count("\n"), 1, run.stderr)
            self.assertIn("faulty.json: tags[0] (0x1001): low 12 bits", run.stderr)
            self.assertFalse(os.path.exists(lib) or os.path.exists(hosts))
        finally:
            shutil.rmtree(tmp)


class Small(unittest.TestCase):
    """One good description: what each output holds, and in which order."""

    def test_library_header(self):
        text = tg.library_header(tg.parse(small(), "small.json"))
        self.assertIn("namespace tSmall {", text)
        self.assertIn("inline constexpr std::uint32_t kFanState = 0x6000;  "
                      "// indexed int32, fans (answered as static)", text)
        # Ascending; the fan state, written by its group but not refreshed alone, is left out.
        self.assertIn("inline constexpr std::uint32_t kDynamicTags[] = {\n"
                      "    tags::kVersionText, tags::kClockTime, tags::kFanSpeed, "
                      "tags::kFanCount,\n};", text)
        self.assertIn("  kClock,  // clock\n  kFans,  // fans\n  kVersion,  // version\n", text)
        self.assertIn("    {tags::kVersionText, tRefreshGroup::kVersion},\n"
                      "    {tags::kClockTime, tRefreshGroup::kClock},\n"
                      "    {tags::kFanSpeed, tRefreshGroup::kFans},\n"
                      "    {tags::kFanCount, tRefreshGroup::kFans},\n};", text)

    def test_hosts_header(self):
        text = tg.hosts_header(tg.parse(small(), "small.json"))
        self.assertNotIn("tSmall", text)  # nothing of the library
        self.assertIn("kNamedTags[] = {\n    {0x1000, \"name\"},\n    {0x3000, \"clock: time\"},\n"
                      "    {0x5000, \"fans\"},\n};", text)
        self.assertIn("kElementTags[] = {\n    {0x4000, \"fan\", \"speed\"},\n"
                      "    {0x6000, \"fan\", \"state\"},\n};", text)
        self.assertIn("kHardwareReadings[] = {\n    0x2000, 0x3000, 0x4000, 0x5000,\n};", text)
        self.assertIn("kRefreshedTags[] = {\n    0x2000, 0x3000, 0x4000, 0x5000, 0x6000,\n};", text)
        self.assertIn("kPresentClock[] = {0x3000};", text)
        self.assertIn("kPresentFans[] = {0x5000};", text)
        # The version group has no host name: the hosts do not check it.
        self.assertIn("kReadingGroups[] = {\n    {\"clock reading\", kPresentClock, 0, 0},\n"
                      "    {\"fans\", kPresentFans, 0x5000, 0x4000},\n};", text)


class Committed(unittest.TestCase):
    def test_committed_description(self):
        props = tg.load(COMMITTED)
        by = {t.constant: t for t in props.tags}
        self.assertEqual(len(props.on_request()), 16)
        self.assertEqual([t.number for t in props.on_request()], sorted(
            [0x1015000, 0x1016000, 0x102E000, 0x102F000, 0x1061000, 0x1062000, 0x1063000,
             0x1064000, 0x1065000, 0x1066000, 0x1067000, 0x1069000, 0x1089000, 0x1900F000,
             0x19010000, 0x19011000]))
        # Fan state: refreshed with the fans, answered as static.
        self.assertEqual(by["kFanState"].group.name, "fans")
        self.assertFalse(by["kFanState"].refreshOnRequest)
        self.assertIn(0x1088000, [t.number for t in props.refreshed()])
        self.assertEqual([g.hostName for g in props.groups if g.hostName],
                         ["dated reading 1", "dated reading 2", "temperature sensor 0", "fans"])


@unittest.skipUnless(os.environ.get("QO_CXX"), "QO_CXX not set")
class Compiled(unittest.TestCase):
    """The committed description's outputs compile (warnings are errors) and answer lookups."""

    def test_outputs_compile_and_answer(self):
        tmp = tempfile.mkdtemp()
        try:
            lib = os.path.join(tmp, "lib", "tPropertyTags.h")
            hosts = os.path.join(tmp, "qohosttags", "qoHostPropertyTags.h")
            self.assertEqual(tg.main(["--library-out", lib, "--hosts-out", hosts, COMMITTED]), 0)
            main = os.path.join(tmp, "main.cpp")
            with open(main, "w", encoding="utf-8") as f:
                f.write(r'''
#include "lib/tPropertyTags.h"
#include "qohosttags/qoHostPropertyTags.h"
using namespace VorlixSysapiExpert;
static_assert(tagUpdateKindOf(tags::kFanSpeed) == 2);
static_assert(tagUpdateKindOf(tags::kFanSpeed + 1) == 1);  // fan 1's speed
static_assert(tagUpdateKindOf(tags::kFanState) == 1);
static_assert(tagUpdateKindOf(tags::kItemName) == 1);
static_assert(refreshEntryOf(tags::kDated1Marker)->group == tRefreshGroup::kDated1);
static_assert(refreshEntryOf(tags::kFanState) == nullptr);
static_assert(sizeof kDynamicTags == sizeof hosttags::kHardwareReadings);
int main() {
  for (unsigned i = 0; i < sizeof kDynamicTags / sizeof kDynamicTags[0]; ++i)
    if (kDynamicTags[i] != hosttags::kHardwareReadings[i]) return 1;
  return 0;
}
''')
            exe = os.path.join(tmp, "answer")
            build = subprocess.run([os.environ["QO_CXX"], "-std=c++20", "-Wall", "-Wextra",
                                    "-Wshadow", "-Werror", "-I", tmp, main, "-o", exe],
                                   capture_output=True, text=True)
            self.assertEqual(build.returncode, 0, build.stderr)
            self.assertEqual(subprocess.run([exe]).returncode, 0)
        finally:
            shutil.rmtree(tmp)


if __name__ == "__main__":
    unittest.main()
