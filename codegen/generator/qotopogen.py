#!/usr/bin/env python3
"""Routing topographies: from the descriptions in codegen/topographies/ to the library's
topography records and the simulated driver's routing graph.

    qotopogen.py --library-out FILE.cpp --sim-out FILE.h TOPOGRAPHY.json...

Every description is loaded and checked before anything is written; a fault is refused with
exit status 1 and one line "FILE: ENTRY: FAULT" on stderr. Outputs whose content did not change
are left alone (Ninja re-stats them).

A description: {"name", "comment", "defaults", "terminals", "edges"}.
  terminals: entries {"name", "id", "isExternal", "isOwned", "visibility", "busType", "busLine",
             "busName", "alias" (the canonical terminal's name), "isMaskedOut", "comment",
             "for"}; "defaults" gives attributes every entry starts from.
  edges:     entries {"from", "to", "cost", "bidirectional", "comment", "for"}, directed from the
             driving terminal to the driven one.
  "for": {"n": [start, stop(, step)], ...} repeats the entry for every combination of the
  variables (half-open ranges, first variable outermost). Names may then hold {EXPRESSION}
  and the numeric attributes (id, busLine, cost) may be EXPRESSION texts; expressions use
  integers, the entry's variables, + - * // % and parentheses.
"""

import argparse
import ast
import itertools
import json
import os
import re
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from emit import c_string, generate, read_json  # noqa: E402

MAX_TOPOGRAPHIES = 32     # the library's registry holds 32 records
MAX_NAME_BYTES = 127      # the driver reports the name in a 128-byte buffer with its NUL
MAX_TERMINAL_NAME_BYTES = 255
MAX_RANGE = 1 << 16       # entries one "for" may produce

TERMINAL_KEYS = {"name", "id", "isExternal", "isOwned", "visibility", "busType", "busLine",
                 "busName", "alias", "isMaskedOut", "comment", "for"}
DEFAULT_KEYS = {"isExternal", "isOwned", "visibility", "busType", "busLine", "busName",
                "isMaskedOut"}
EDGE_KEYS = {"from", "to", "cost", "bidirectional", "comment", "for"}
TOP_KEYS = {"name", "comment", "defaults", "terminals", "edges"}


class TopographyError(Exception):
    pass


class Terminal:
    __slots__ = ("name", "id", "isExternal", "isOwned", "visibility", "busType", "busLine",
                 "busName", "isAlias", "canonicalName", "isMaskedOut")


class Topography:
    def __init__(self, name, path, terminals, edges):
        self.name = name
        self.path = path
        self.terminals = terminals   # in description order
        self.edges = edges           # (from id, to id, cost), directed, in description order


# --- expressions -------------------------------------------------------------------------------

_OPS = {ast.Add: lambda a, b: a + b, ast.Sub: lambda a, b: a - b, ast.Mult: lambda a, b: a * b,
        ast.FloorDiv: lambda a, b: a // b, ast.Mod: lambda a, b: a % b}


def evaluate(text, variables):
    """Integer arithmetic over the entry's variables; raises ValueError for anything else."""
    def walk(node):
        if isinstance(node, ast.Expression):
            return walk(node.body)
        if isinstance(node, ast.Constant) and type(node.value) is int:
            return node.value
        if isinstance(node, ast.Name):
            if node.id not in variables:
                raise ValueError("unknown variable %r" % node.id)
            return variables[node.id]
        if isinstance(node, ast.UnaryOp) and isinstance(node.op, ast.USub):
            return -walk(node.operand)
        if isinstance(node, ast.BinOp) and type(node.op) in _OPS:
            left, right = walk(node.left), walk(node.right)
            if type(node.op) in (ast.FloorDiv, ast.Mod) and right == 0:
                raise ValueError("division by zero")
            return _OPS[type(node.op)](left, right)
        raise ValueError("not an integer expression: %r" % text)
    try:
        tree = ast.parse(text.strip(), mode="eval")
    except SyntaxError:
        raise ValueError("not an integer expression: %r" % text) from None
    return walk(tree)


_FIELD = re.compile(r"\{([^{}]*)\}")


def expand_name(template, variables):
    if not variables:
        return template
    return _FIELD.sub(lambda m: str(evaluate(m.group(1), variables)), template)


def number(value, variables, what):
    if type(value) is int:
        return value
    if isinstance(value, str):
        return evaluate(value, variables)
    raise ValueError("%s must be an integer or an expression text" % what)


def combinations(bindings):
    """The variable bindings of a "for" object (a single empty binding without one)."""
    if bindings is None:
        return [{}]
    if not isinstance(bindings, dict) or not bindings:
        raise ValueError("\"for\" must be an object of ranges")
    names, ranges = [], []
    for var, bounds in bindings.items():
        if not re.fullmatch(r"[A-Za-z_][A-Za-z0-9_]*", var):
            raise ValueError("bad variable name %r" % var)
        if (not isinstance(bounds, list) or len(bounds) not in (2, 3)
                or any(type(b) is not int for b in bounds)):
            raise ValueError("range of %r must be [start, stop] or [start, stop, step]" % var)
        if len(bounds) == 3 and bounds[2] <= 0:
            raise ValueError("range of %r needs a positive step" % var)
        r = range(*bounds)
        if len(r) == 0:
            raise ValueError("range of %r is empty" % var)
        names.append(var)
        ranges.append(r)
    total = 1
    for r in ranges:
        total *= len(r)
    if total > MAX_RANGE:
        raise ValueError("\"for\" produces %d entries (at most %d)" % (total, MAX_RANGE))
    return [dict(zip(names, values)) for values in itertools.product(*ranges)]


# --- loading and checks ------------------------------------------------------------------------

def _text(value, what, allow_empty=True, max_bytes=None):
    if not isinstance(value, str):
        raise ValueError("%s must be a text" % what)
    if not allow_empty and not value:
        raise ValueError("%s is empty" % what)
    if any(ord(c) < 0x20 or c == "\x7f" for c in value):
        raise ValueError("%s holds a control character" % what)
    if max_bytes is not None and len(value.encode("utf-8")) > max_bytes:
        raise ValueError("%s is longer than %d bytes" % (what, max_bytes))
    return value


def _flag(value, what):
    if type(value) is not bool:
        raise ValueError("%s must be true or false" % what)
    return value


def _terminal(entry, defaults, variables):
    t = Terminal()
    attrs = dict(defaults)
    attrs.update({k: v for k, v in entry.items() if k not in ("for", "comment")})
    if "name" not in attrs or "id" not in attrs:
        raise ValueError("a terminal needs \"name\" and \"id\"")
    t.name = _text(expand_name(_text(attrs["name"], "name"), variables), "name", False,
                   MAX_TERMINAL_NAME_BYTES)
    t.id = number(attrs["id"], variables, "id")
    if not 0 < t.id <= 0xFFFFFFFF:
        raise ValueError("id %d of %s is outside 1..4294967295 (0 means 'no terminal')" % (t.id, t.name))
    t.isExternal = _flag(attrs.get("isExternal", False), "isExternal")
    t.isOwned = _flag(attrs.get("isOwned", False), "isOwned")
    t.isMaskedOut = _flag(attrs.get("isMaskedOut", False), "isMaskedOut")
    t.visibility = _text(attrs.get("visibility", ""), "visibility")
    t.busType = _text(attrs.get("busType", ""), "busType")
    t.busName = _text(attrs.get("busName", ""), "busName")
    t.busLine = number(attrs.get("busLine", 0), variables, "busLine")
    if not 0 <= t.busLine <= 0xFFFFFFFF:
        raise ValueError("busLine %d of %s is outside 0..4294967295" % (t.busLine, t.name))
    alias = attrs.get("alias")
    t.isAlias = alias is not None
    t.canonicalName = _text(alias, "alias", False) if t.isAlias else t.name
    return t


def _entry_label(kind, index, entry):
    name = entry.get("name") if kind == "terminals" else entry.get("from")
    label = "%s[%d]" % (kind, index)
    if isinstance(name, str):
        label += " (%s)" % json.dumps(name, ensure_ascii=False)[1:-1]  # one line, whatever it holds
    return label


def _entries(entries, kind, allowed_keys, fail):
    """(label, entry) for each entry of a section: an object holding only the allowed keys
    (else fail(label, message))."""
    for index, entry in enumerate(entries):
        label = _entry_label(kind, index, entry if isinstance(entry, dict) else {})
        if not isinstance(entry, dict):
            fail(label, "must be an object")
        for key in entry:
            if key not in allowed_keys:
                fail(label, "unknown key \"%s\"" % key)
        yield label, entry


def parse(data, path):
    """The checked topography of one description; TopographyError names file and entry."""
    def fail(entry, message):
        raise TopographyError("%s: %s: %s" % (path, entry, message))

    if not isinstance(data, dict):
        fail("top level", "must be an object")
    for key in data:
        if key not in TOP_KEYS:
            fail("top level", "unknown key \"%s\"" % key)
    for key in ("name", "terminals", "edges"):
        if key not in data:
            fail("top level", "\"%s\" is missing" % key)
    try:
        name = _text(data["name"], "name", False, MAX_NAME_BYTES)
    except ValueError as e:
        fail("name", str(e))
    defaults = data.get("defaults", {})
    if not isinstance(defaults, dict):
        fail("defaults", "must be an object")
    for key in defaults:
        if key not in DEFAULT_KEYS:
            fail("defaults", "unknown key \"%s\"" % key)

    terminals, by_name, by_id, folded = [], {}, {}, {}
    if not isinstance(data["terminals"], list) or not data["terminals"]:
        fail("terminals", "must be a non-empty array")
    for label, entry in _entries(data["terminals"], "terminals", TERMINAL_KEYS, fail):
        try:
            for variables in combinations(entry.get("for")):
                t = _terminal(entry, defaults, variables)
                if t.name in by_name:
                    fail(label, "terminal name \"%s\" is used twice" % t.name)
                if t.name.casefold() in folded:
                    fail(label, "terminal name \"%s\" equals \"%s\" when case is ignored"
                         % (t.name, folded[t.name.casefold()]))
                if t.id in by_id:
                    fail(label, "terminal id %d of \"%s\" is already used by \"%s\""
                         % (t.id, t.name, by_id[t.id].name))
                by_name[t.name] = t
                by_id[t.id] = t
                folded[t.name.casefold()] = t.name
                terminals.append(t)
        except ValueError as e:
            fail(label, str(e))
    for t in terminals:
        if t.isAlias:
            target = by_name.get(t.canonicalName)
            if target is None:
                fail("terminal %s" % t.name, "alias of unknown terminal \"%s\"" % t.canonicalName)
            if target.isAlias:
                fail("terminal %s" % t.name, "alias of \"%s\", itself an alias" % t.canonicalName)

    edges, seen = [], set()
    if not isinstance(data["edges"], list):
        fail("edges", "must be an array")
    for label, entry in _entries(data["edges"], "edges", EDGE_KEYS, fail):
        for key in ("from", "to", "cost"):
            if key not in entry:
                fail(label, "\"%s\" is missing" % key)
        try:
            both = _flag(entry.get("bidirectional", False), "bidirectional")
            for variables in combinations(entry.get("for")):
                ends = []
                for key in ("from", "to"):
                    end = expand_name(_text(entry[key], key), variables)
                    t = by_name.get(end)
                    if t is None:
                        raise ValueError("unknown terminal \"%s\"" % end)
                    if t.isAlias:
                        raise ValueError("edges join canonical terminals; \"%s\" is an alias of \"%s\""
                                         % (end, t.canonicalName))
                    ends.append(t)
                if ends[0] is ends[1]:
                    raise ValueError("edge from \"%s\" to itself" % ends[0].name)
                cost = number(entry["cost"], variables, "cost")
                if not 0 < cost <= 0x7FFFFFFF:
                    raise ValueError("cost %d is outside 1..2147483647" % cost)
                pairs = [(ends[0], ends[1])] + ([(ends[1], ends[0])] if both else [])
                for a, b in pairs:
                    if (a.id, b.id) in seen:
                        raise ValueError("edge from \"%s\" to \"%s\" is given twice" % (a.name, b.name))
                    seen.add((a.id, b.id))
                    edges.append((a.id, b.id, cost))
        except ValueError as e:
            fail(label, str(e))
    return Topography(name, path, terminals, edges)


def load(paths):
    topographies, names = [], {}
    for path in paths:
        data = read_json(path, TopographyError)
        topo = parse(data, path)
        if topo.name in names:
            raise TopographyError("%s: name: topography \"%s\" is also described in %s"
                                  % (path, topo.name, names[topo.name]))
        names[topo.name] = path
        topographies.append(topo)
    if len(topographies) > MAX_TOPOGRAPHIES:
        raise TopographyError("%s: top level: more than %d topographies (the registry's size)"
                              % (paths[-1], MAX_TOPOGRAPHIES))
    if not topographies:
        raise TopographyError("(no files): top level: no topography given")
    return topographies


# --- output ------------------------------------------------------------------------------------

HEADER_NOTE = ("// Generated by codegen/generator/qotopogen.py from codegen/topographies/*.json; do not edit.\n")


def _b(flag):
    return "1" if flag else "0"


def library_source(topographies):
    lines = [HEADER_NOTE,
             "// The board family's topography records (qoarkra/TopographyInfo.h): static data only.",
             "#include \"qoarkra/TopographyInfo.h\"", "",
             "namespace qoark {", "namespace {", ""]
    for i, topo in enumerate(topographies):
        lines.append("// %s: %d terminals" % (topo.name, len(topo.terminals)))
        lines.append("constexpr tTerminalInfo kTerminals%d[] = {" % i)
        for t in topo.terminals:
            lines.append("    {%s, %du, %s, %s, %s, %s, %du, %s, %s, %s, %s}," % (
                c_string(t.name), t.id, _b(t.isExternal), _b(t.isOwned), c_string(t.visibility),
                c_string(t.busType), t.busLine, c_string(t.busName), _b(t.isAlias),
                c_string(t.canonicalName), _b(t.isMaskedOut)))
        lines.append("};")
        lines.append("constexpr tTopographyInfo kTopography%d{%s, %du, kTerminals%d};"
                     % (i, c_string(topo.name), len(topo.terminals), i))
        lines.append("")
    lines.append("constexpr const tTopographyInfo* kTopographies[] = {%s};"
                 % ", ".join("&kTopography%d" % i for i in range(len(topographies))))
    lines += ["", "}  // namespace", "",
              "std::span<const tTopographyInfo* const> builtinTopographies() noexcept { return kTopographies; }",
              "", "}  // namespace qoark", ""]
    return "\n".join(lines)


def sim_header(topographies):
    lines = [HEADER_NOTE,
             "// The simulated driver's routing graphs: terminals (as the library's records give them)",
             "// and directed edges between terminal ids. Plain data; nothing of the library.",
             "#pragma once", "", "#include <cstddef>", "#include <cstdint>", "#include <string_view>", "",
             "namespace qotopo {", "",
             "struct Terminal {",
             "  const char* name;",
             "  std::uint32_t id;",
             "  bool isExternal, isOwned, isAlias, isMaskedOut;",
             "  const char* visibility;",
             "  const char* busType;",
             "  std::uint32_t busLine;",
             "  const char* busName;",
             "  const char* canonicalName;",
             "  std::uint32_t canonicalId;  // the terminal an alias stands for (its own id otherwise)",
             "};", "",
             "// From the driving terminal to the driven one.",
             "struct Edge {", "  std::uint32_t from, to, cost;", "};", "",
             "struct Topography {",
             "  const char* name;",
             "  const Terminal* terminals;",
             "  std::size_t terminalCount;",
             "  const Edge* edges;",
             "  std::size_t edgeCount;",
             "};", ""]
    for i, topo in enumerate(topographies):
        ids = {t.name: t.id for t in topo.terminals}
        lines.append("inline constexpr Terminal kTerminals%d[] = {" % i)
        for t in topo.terminals:
            lines.append("    {%s, %du, %s, %s, %s, %s, %s, %s, %du, %s, %s, %du}," % (
                c_string(t.name), t.id, str(t.isExternal).lower(), str(t.isOwned).lower(),
                str(t.isAlias).lower(), str(t.isMaskedOut).lower(), c_string(t.visibility),
                c_string(t.busType), t.busLine, c_string(t.busName), c_string(t.canonicalName),
                ids[t.canonicalName]))
        lines.append("};")
        lines.append("inline constexpr Edge kEdges%d[] = {" % i)
        for k in range(0, len(topo.edges), 6):
            lines.append("    " + " ".join("{%du, %du, %du}," % e for e in topo.edges[k:k + 6]))
        lines.append("};")
        lines.append("")
    lines.append("inline constexpr Topography kTopographies[] = {")
    for i, topo in enumerate(topographies):
        lines.append("    {%s, kTerminals%d, %d, kEdges%d, %d}," % (
            c_string(topo.name), i, len(topo.terminals), i, len(topo.edges)))
    lines += ["};", "",
              "inline const Topography* findTopography(std::string_view name) {",
              "  for (const Topography& t : kTopographies)",
              "    if (name == t.name) return &t;",
              "  return nullptr;",
              "}", "", "}  // namespace qotopo", ""]
    return "\n".join(lines)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--library-out", required=True)
    parser.add_argument("--sim-out", required=True)
    parser.add_argument("topographies", nargs="+")
    args = parser.parse_args(argv)
    return generate("qotopogen", lambda: load(args.topographies), TopographyError,
                    [(args.library_out, library_source), (args.sim_out, sim_header)])


if __name__ == "__main__":
    sys.exit(main())
