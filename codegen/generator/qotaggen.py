#!/usr/bin/env python3
"""Property tags of a board item: from codegen/descriptions/properties.json to the library's
tag constants and refresh dispatch and to the hosts' tag names and hardware readings.

    qotaggen.py --library-out FILE.h --hosts-out FILE.h PROPERTIES.json

The description is loaded and checked before anything is written; a fault is refused with exit
status 1 and one line "FILE: ENTRY: FAULT" on stderr. Outputs whose content did not change are
left alone (Ninja re-stats them).

A description: {"namespace", "groups", "tags", "_comment"}.
  groups: {"name", "constant", "hostName", "element", "count", "comment"}: a refresh group of
          dynamic tags, re-read together. "hostName" names the group in a refresh's failures
          (a group without one is not checked by the hosts); "element" names one element of
          a group with indexed tags ("fan" -> "fan 2: speed (rpm)"); "count" is the constant
          of the tag holding the number of elements.
  tags:   {"tag" (hex text, low 12 bits zero: they carry the element index), "constant",
          "type", "kind" (static, dynamic), "group", "hostName", "indexed", "element",
          "hostChecked" (true, or "each" for every element below the group's count),
          "refreshOnRequest" (default true for dynamic tags), "comment"}.
"""

import argparse
import os
import re
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from emit import c_string, generate, read_json  # noqa: E402

TOP_KEYS = {"namespace", "groups", "tags", "_comment"}
GROUP_KEYS = {"name", "constant", "hostName", "element", "count", "comment"}
TAG_KEYS = {"tag", "constant", "type", "kind", "group", "hostName", "indexed", "element",
            "hostChecked", "refreshOnRequest", "comment"}
TYPES = {"bool", "int32", "uint32", "double", "string", "timestamp", "guid"}
KINDS = {"static", "dynamic"}
INDEX_MASK = 0xFFF          # an indexed tag's element index lives in the low 12 bits
MAX_TEXT_BYTES = 127
CONSTANT = re.compile(r"k[A-Z][A-Za-z0-9]*\Z")
IDENTIFIER = re.compile(r"[A-Za-z_][A-Za-z0-9_]*(::[A-Za-z_][A-Za-z0-9_]*)*\Z")
GROUP_NAME = re.compile(r"[a-z][a-z0-9]*\Z")


class TagError(Exception):
    pass


class Group:
    __slots__ = ("name", "constant", "hostName", "element", "count", "tags")


class Tag:
    __slots__ = ("number", "constant", "type", "kind", "group", "hostName", "indexed",
                 "element", "hostChecked", "refreshOnRequest")


class Properties:
    def __init__(self, namespace, groups, tags):
        self.namespace = namespace
        self.groups = groups    # in description order
        self.tags = tags        # in description order

    def on_request(self):
        """The dynamic tags a refresh is asked for, ascending."""
        return sorted((t for t in self.tags if t.refreshOnRequest), key=lambda t: t.number)

    def refreshed(self):
        """Every tag a refresh group writes, ascending."""
        return sorted((t for t in self.tags if t.group is not None), key=lambda t: t.number)


# --- loading and checks ------------------------------------------------------------------------

def _fail(path, entry, fault):
    raise TagError("%s: %s: %s" % (path, entry, fault))


def _keys(path, entry, data, allowed, required):
    if not isinstance(data, dict):
        _fail(path, entry, "must be an object")
    for key in data:
        if key not in allowed:
            _fail(path, entry, "unknown key \"%s\"" % key)
    for key in required:
        if key not in data:
            _fail(path, entry, "\"%s\" is missing" % key)


def _text(path, entry, data, key, optional=True):
    value = data.get(key)
    if value is None and optional:
        return None
    if not isinstance(value, str) or not value:
        _fail(path, entry, "%s must be a non-empty string" % key)
    if any(ord(c) < 0x20 or ord(c) == 0x7F for c in value):
        _fail(path, entry, "%s holds a control character" % key)
    if len(value.encode("utf-8")) > MAX_TEXT_BYTES:
        _fail(path, entry, "%s is longer than %d bytes" % (key, MAX_TEXT_BYTES))
    return value


def _constant(path, entry, data, seen):
    name = _text(path, entry, data, "constant", optional=False)
    if not CONSTANT.match(name):
        _fail(path, entry, "constant \"%s\" is not a k-prefixed C++ name" % name)
    if name in seen:
        _fail(path, entry, "constant \"%s\" is used twice" % name)
    seen.add(name)
    return name


def _comment(path, entry, data):
    comment = data.get("comment")
    if comment is None:
        return
    lines = comment if isinstance(comment, list) else [comment]
    if not lines or not all(isinstance(line, str) for line in lines):
        _fail(path, entry, "comment must be a string or a list of strings")


def parse_group(path, index, data, constants):
    entry = "groups[%d]" % index
    _keys(path, entry, data, GROUP_KEYS, ("name", "constant"))
    g = Group()
    g.name = _text(path, entry, data, "name", optional=False)
    entry = "groups[%d] (%s)" % (index, g.name)
    if not GROUP_NAME.match(g.name):
        _fail(path, entry, "name must be lower-case letters and digits")
    g.constant = _constant(path, entry, data, constants)
    g.hostName = _text(path, entry, data, "hostName")
    g.element = _text(path, entry, data, "element")
    g.count = _text(path, entry, data, "count")
    _comment(path, entry, data)
    g.tags = []
    return g


def _number(path, entry, data):
    text = data["tag"]
    if not isinstance(text, str) or not re.fullmatch(r"0x[0-9A-F]{1,8}", text):
        _fail(path, entry, "tag must be hex text 0x... (upper-case digits, at most 32 bits)")
    number = int(text, 16)
    if number == 0:
        _fail(path, entry, "tag must be non-zero")
    if number & INDEX_MASK:
        _fail(path, entry, "low 12 bits of the tag are set (they carry an element's index)")
    return number


def _flag(path, entry, data, key, default):
    value = data.get(key, default)
    if not isinstance(value, bool):
        _fail(path, entry, "%s must be true or false" % key)
    return value


def parse_tag(path, index, data, groups, constants):
    entry = "tags[%d]" % index
    if isinstance(data, dict) and isinstance(data.get("tag"), str):
        entry += " (%s)" % data["tag"]
    _keys(path, entry, data, TAG_KEYS, ("tag", "constant", "type", "kind"))
    t = Tag()
    t.number = _number(path, entry, data)
    t.constant = _constant(path, entry, data, constants)
    t.type, t.kind = data["type"], data["kind"]
    if t.type not in TYPES:
        _fail(path, entry, "type \"%s\" is not one of %s" % (t.type, ", ".join(sorted(TYPES))))
    if t.kind not in KINDS:
        _fail(path, entry, "kind \"%s\" is not static or dynamic" % t.kind)
    t.hostName = _text(path, entry, data, "hostName")
    t.element = _text(path, entry, data, "element")
    t.indexed = _flag(path, entry, data, "indexed", False)
    _comment(path, entry, data)
    t.group = None
    if t.kind == "static":
        for key in ("group", "hostChecked", "refreshOnRequest"):
            if key in data:
                _fail(path, entry, "a static tag has no %s" % key)
    else:
        name = _text(path, entry, data, "group", optional=False)
        if name not in groups:
            _fail(path, entry, "group \"%s\" is not declared" % name)
        t.group = groups[name]
    t.refreshOnRequest = _flag(path, entry, data, "refreshOnRequest", t.kind == "dynamic")
    t.hostChecked = data.get("hostChecked", False)
    if not (isinstance(t.hostChecked, bool) or t.hostChecked == "each"):
        _fail(path, entry, "hostChecked must be true, false or \"each\"")
    _check_naming(path, entry, t)
    return t


def _check_naming(path, entry, t):
    if t.indexed:
        if t.hostName is not None:
            _fail(path, entry, "an indexed tag names its element, not a hostName")
        if t.element is None:
            _fail(path, entry, "an indexed tag needs its \"element\"")
        if t.group is None or t.group.element is None:
            _fail(path, entry, "an indexed tag belongs to a group that names its element")
    elif t.element is not None:
        _fail(path, entry, "only an indexed tag has an element")
    if t.hostChecked == "each" and not t.indexed:
        _fail(path, entry, "hostChecked \"each\" needs an indexed tag")
    if t.hostChecked and (t.group is None or t.group.hostName is None):
        _fail(path, entry, "hostChecked in a group without hostName")


def _check_groups(path, props, by_constant):
    for i, g in enumerate(props.groups):
        entry = "groups[%d] (%s)" % (i, g.name)
        if not any(t.refreshOnRequest for t in g.tags):
            _fail(path, entry, "no tag of the group is refreshed on request")
        if g.count is not None:
            counter = by_constant.get(g.count)
            if counter is None or counter.group is not g or counter.indexed:
                _fail(path, entry, "count \"%s\" is not a plain tag of the group" % g.count)
        each = [t for t in g.tags if t.hostChecked == "each"]
        if each and g.count is None:
            _fail(path, entry, "a tag checked for each element needs the group's count")
        if len(each) > 1:
            _fail(path, entry, "more than one tag checked for each element")
        if g.hostName is not None and not any(t.hostChecked for t in g.tags):
            _fail(path, entry, "hostName but no tag is hostChecked")
        if g.element is not None and not any(t.indexed for t in g.tags):
            _fail(path, entry, "element but no indexed tag")
        elements = [t.element for t in g.tags if t.indexed]
        for e in elements:
            if elements.count(e) > 1:
                _fail(path, entry, "element \"%s\" is named twice" % e)


def parse(data, path):
    entry = "top level"
    _keys(path, entry, data, TOP_KEYS, ("namespace", "groups", "tags"))
    namespace = data["namespace"]
    if not isinstance(namespace, str) or not IDENTIFIER.match(namespace):
        _fail(path, entry, "namespace must be a C++ namespace name")
    for key in ("groups", "tags"):
        if not isinstance(data[key], list) or not data[key]:
            _fail(path, entry, "%s must be a non-empty list" % key)
    group_constants, constants = set(), set()  # the groups' constants are enumerators
    groups = {}
    for i, item in enumerate(data["groups"]):
        g = parse_group(path, i, item, group_constants)
        if g.name in groups:
            _fail(path, "groups[%d] (%s)" % (i, g.name), "group name is used twice")
        groups[g.name] = g
    tags, numbers, host_names = [], {}, {}
    for i, item in enumerate(data["tags"]):
        t = parse_tag(path, i, item, groups, constants)
        entry = "tags[%d] (0x%X)" % (i, t.number)
        if t.number in numbers:
            _fail(path, entry, "tag is also %s" % numbers[t.number])
        numbers[t.number] = t.constant
        if t.hostName is not None:
            if t.hostName in host_names:
                _fail(path, entry, "hostName \"%s\" is also %s's" % (t.hostName,
                                                                   host_names[t.hostName]))
            host_names[t.hostName] = t.constant
        if t.group is not None:
            t.group.tags.append(t)
        tags.append(t)
    props = Properties(namespace, list(groups.values()), tags)
    _check_groups(path, props, {t.constant: t for t in tags})
    return props


def load(path):
    data = read_json(path, TagError, "top level: ")
    return parse(data, path)


# --- output ------------------------------------------------------------------------------------

HEADER_NOTE = ("// Generated by codegen/generator/qotaggen.py from\n"
               "// codegen/descriptions/properties.json; do not edit.")


def _hex(number):
    return "0x%X" % number


def _rows(items, per_line, indent="    "):
    return [indent + ", ".join(items[k:k + per_line]) + ","
            for k in range(0, len(items), per_line)]


def library_header(props):
    groups = props.groups
    lines = [HEADER_NOTE,
             "// The board item's property tags, the tags it re-reads from the hardware on",
             "// request and the refresh group each of those belongs to.",
             "#pragma once", "", "#include <cstdint>", "",
             "namespace %s {" % props.namespace, "", "namespace tags {"]
    for t in props.tags:
        what = ("indexed " if t.indexed else "") + t.type
        if t.group is not None:
            what += ", " + t.group.name + ("" if t.refreshOnRequest else " (answered as static)")
        lines.append("inline constexpr std::uint32_t %s = %s;  // %s" % (t.constant, _hex(t.number),
                                                                      what))
    on_request = props.on_request()
    lines += ["}  // namespace tags", "",
              "// The %d tags whose values are read from the hardware on request (update kind 2),"
              % len(on_request),
              "// ascending. An element of an indexed tag (base + index 1 and up) is not among",
              "// them: it is answered as static, as is a tag its group writes that is not",
              "// refreshed on request.",
              "inline constexpr std::uint32_t kDynamicTags[] = {"]
    lines += _rows(["tags::%s" % t.constant for t in on_request], 4)
    lines += ["};", "",
              "// The refresh that re-reads a dynamic tag.",
              "enum class tRefreshGroup : std::uint8_t {"]
    lines += ["  %s,  // %s" % (g.constant, g.name) for g in groups]
    lines += ["};", "",
              "struct tRefreshEntry {", "  std::uint32_t tag;", "  tRefreshGroup group;", "};",
              "",
              "// One entry per tag of kDynamicTags, in its order.",
              "inline constexpr tRefreshEntry kRefreshDispatch[] = {"]
    lines += ["    {tags::%s, tRefreshGroup::%s}," % (t.constant, t.group.constant)
              for t in on_request]
    lines += ["};", "",
              "// The entry of a tag refreshed on request; nullptr for any other tag.",
              "constexpr const tRefreshEntry* refreshEntryOf(std::uint32_t tag) noexcept {",
              "  for (const tRefreshEntry& entry : kRefreshDispatch)",
              "    if (entry.tag == tag) return &entry;",
              "  return nullptr;", "}", "",
              "// The update kind the item cache asks for: 2 (read on request) for the tags of",
              "// kDynamicTags, 1 (read once) for every other.",
              "constexpr int tagUpdateKindOf(std::uint32_t tag) noexcept {",
              "  return refreshEntryOf(tag) != nullptr ? 2 : 1;", "}", "",
              "}  // namespace %s" % props.namespace, ""]
    return "\n".join(lines)


def _host_groups(props):
    lines, rows = [], []
    for g in props.groups:
        if g.hostName is None:
            continue
        present = [t for t in g.tags if t.hostChecked is True]
        each = [t for t in g.tags if t.hostChecked == "each"]
        name = "kPresent%s" % g.constant[1:]
        lines.append("inline constexpr unsigned %s[] = {%s};"
                     % (name, ", ".join(_hex(t.number) for t in present)))
        count = next(_hex(t.number) for t in g.tags if t.constant == g.count) if each else "0"
        rows.append("    {%s, %s, %s, %s}," % (c_string(g.hostName), name, count,
                                               _hex(each[0].number) if each else "0"))
    return lines, rows


def hosts_header(props):
    on_request = props.on_request()
    lines = [HEADER_NOTE,
             "// What the hosts know of the board item's property tags: their readable names, the",
             "// tags to ask the expert for when reading the hardware, and the refresh groups a",
             "// partial refresh names as failed. Plain data; nothing of the library.",
             "#pragma once", "", "#include <cstdint>", "#include <span>", "",
             "namespace hosttags {", "",
             "struct NamedTag {", "  std::uint32_t tag;", "  const char* name;", "};",
             "inline constexpr NamedTag kNamedTags[] = {"]
    lines += ["    {%s, %s}," % (_hex(t.number), c_string(t.hostName))
              for t in props.tags if t.hostName is not None]
    lines += ["};", "",
              "// Tags with one value per element (base + index below 0x1000), shown as",
              "// \"<element> <index>: <what>\".",
              "struct ElementTag {", "  std::uint32_t base;", "  const char* element;",
              "  const char* what;", "};",
              "inline constexpr ElementTag kElementTags[] = {"]
    lines += ["    {%s, %s, %s}," % (_hex(t.number), c_string(t.group.element), c_string(t.element))
              for t in props.tags if t.indexed]
    lines += ["};", "",
              "// The tags the expert re-reads from the board on request (ascending): dated",
              "// readings, temperatures, fans, firmware version.",
              "inline constexpr unsigned kHardwareReadings[] = {"]
    lines += _rows([_hex(t.number) for t in on_request], 8)
    lines += ["};", "",
              "// Every tag a refresh writes (ascending; indexed tags as their base): the",
              "// hardware readings and what their groups write with them.",
              "inline constexpr unsigned kRefreshedTags[] = {"]
    lines += _rows([_hex(t.number) for t in props.refreshed()], 8)
    group_lines, group_rows = _host_groups(props)
    lines += ["};", "",
              "// A refresh group as the board answers it: `what` is missing when a tag of",
              "// `present` is, or when `each` is for an element below the value of `count`.",
              "struct ReadingGroup {", "  const char* what;",
              "  std::span<const unsigned> present;",
              "  unsigned count;  // 0: no tag checked per element", "  unsigned each;", "};"]
    lines += group_lines
    lines += ["inline constexpr ReadingGroup kReadingGroups[] = {"] + group_rows
    lines += ["};", "", "}  // namespace hosttags", ""]
    return "\n".join(lines)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--library-out", required=True)
    parser.add_argument("--hosts-out", required=True)
    parser.add_argument("properties")
    args = parser.parse_args(argv)
    return generate("qotaggen", lambda: load(args.properties), TagError,
                    [(args.library_out, library_header), (args.hosts_out, hosts_header)])


if __name__ == "__main__":
    sys.exit(main())
