#!/usr/bin/env python3
"""Generates the driver-interface proxies and their tables from the interface descriptions.

    qocodegen.py --out DIR [--tables-out DIR] [--tests-out DIR] DESCRIPTION.json...
    qocodegen.py --check DESCRIPTION.json...

Every description is read and validated first (description.py); on any fault the generator
prints one line naming the file and the entry and exits with status 1 without writing anything.
Then it writes, for each description with header path H (e.g. codegen/qovorlixatomicsae/
tInterfaceProxy_vorlixtarrow):
  DIR/H.h, DIR/H.cpp            the interface classes, the proxy, its blocks and methods;
and, for all descriptions together:
  TABLES/qodrvdesc/qoDriverInterfaceTables.h     plain-data tables for the simulator and tests;
  TESTS/qodrvdesc/qoGeneratedProxyInvokers.h     one test invoker per method;
  CONTRACT/qodrv/qoDriverConstants.h             the contract's constants, command words and
                                                 method enums, for the library, simulator, tests.
A description without driverInterface holds shared constants only (codegen/descriptions/
driver.json: the status words every interface answers); it adds to the constants header.
Files whose contents did not change are left alone, so the build does not recompile them.
Python 3 standard library only.
"""

import argparse
import os
import string
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from emit import write_if_changed  # noqa: E402
import description as desc  # noqa: E402

TEMPLATES = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "templates")
LINE_MARKER = "@@LINE@@"

TABLE_TYPES = {"u8": "Type::U8", "u16": "Type::U16", "u32": "Type::U32", "u64": "Type::U64",
               "i32": "Type::I32"}
TABLE_ROLES = {"input": "Role::Input", "inputRecord": "Role::InputRecord",
               "address": "Role::Address", "unused": "Role::Unused", "status": "Role::Status",
               "result": "Role::Result", "output": "Role::Output"}


def template(name):
    with open(os.path.join(TEMPLATES, name), encoding="utf-8") as f:
        return string.Template(f.read())


def cpp_type(d, type_name):
    if type_name in desc.SCALARS:
        return desc.SCALARS[type_name][2]
    assert d.record(type_name) is not None
    return type_name


def hex32(value):
    return "0x%08Xu" % value


def command_constant(m):
    """kOp0406Command, kCalculateRouteCommand: the generated name of a method's command word."""
    return "k%s%sCommand" % (m.name[0].upper(), m.name[1:])


# ---- proxy header -------------------------------------------------------------------------------

def signature(d, m):
    """(return type, parameter list text) of a method."""
    params = []
    for _, f in m.parameters():
        if f.role == "input":
            params.append("%s %s" % (cpp_type(d, f.type), f.name))
        elif f.role == "inputRecord":
            if f.passing == "pointer":
                params.append("const %s* %s" % (f.type, f.name))
            else:
                params.append("const %s& %s" % (f.type, f.name))
        elif f.role == "address":
            params.append("%s%s* %s" % ("const " if f.const else "", cpp_type(d, f.element),
                                        f.name))
        elif f.role == "output":
            params.append("%s* %s" % (cpp_type(d, f.type), f.name))
    if m.has_status:
        params.append("nQOAPAL000::tStatus& status")
    result = m.result
    return (cpp_type(d, result.type) if result else "void"), params


def joined(head, params, tail, indent="    "):
    """head + parameters + tail on one line when it fits in 100 columns, else one parameter a
    line."""
    line = head + ", ".join(params) + tail
    if len(line.split("\n")[-1]) <= 100 or not params:
        return line
    return head + "\n" + ",\n".join(indent + p for p in params) + tail


def blocks_namespace(d):
    return "n" + d.proxy_name[1:]


def source_constant(d):
    return "k%sSource" % d.proxy_name[1:]


def emit_record(r):
    out = ["struct %s {" % r.name]
    for f in r.fields:
        out.append("  %s %s;" % (desc.SCALARS[f.type][2], f.name))
    out.append("};")
    out.append("static_assert(sizeof(%s) == %d && alignof(%s) == %d);"
               % (r.name, r.size, r.name, r.align))
    for f in r.fields:
        out.append("static_assert(offsetof(%s, %s) == %d);" % (r.name, f.name, f.offset))
    return "\n".join(out) + "\n"


def emit_block(d, name, fields, size):
    out = ["struct %s {" % name]
    for f in fields:
        out.append("  %s %s;" % (cpp_type(d, f.type), f.name))
    out.append("};")
    out.append("static_assert(sizeof(%s) == %d);" % (name, size))
    for f in fields:
        out.append("static_assert(offsetof(%s, %s) == %d);" % (name, f.name, f.offset))
    return out


def emit_blocks(d):
    out = []
    for m in d.methods:
        out.append("// %s: command %s" % (m.name, hex32(m.command)[:-1]))
        out.append("inline constexpr unsigned long kCommand_%s = qodrv::%s::%s;"
                   % (m.name, d.contract_namespace, command_constant(m)))
        out += emit_block(d, "tRequest_%s" % m.name, m.request, m.request_size)
        if m.response:
            out += emit_block(d, "tResponse_%s" % m.name, m.response, m.response_size)
        out.append("")
    return "\n".join(out)


def emit_interfaces(d):
    out = []
    for i in d.interfaces:
        bases = ", ".join("public virtual %s" % ("nQOAPAL000::" + b if b == desc.ROOT_INTERFACE
                                                  else b) for b in i.bases)
        head = "class %s : %s {" % (i.name, bases)
        if len(head) > 100:
            head = "class %s\n    : %s {" % (i.name, ",\n      ".join(
                "public virtual %s" % ("nQOAPAL000::" + b if b == desc.ROOT_INTERFACE else b)
                for b in i.bases))
        out.append(head)
        out.append(" public:")
        own = [m for m in d.methods if m.interface == i.name]
        for m in own:
            ret, params = signature(d, m)
            out.append(joined("  virtual %s %s(" % (ret, m.name), params, ") noexcept = 0;",
                              "      "))
        if not own:
            out.append("  // No methods of its own: it gathers its bases.")
        out.append("};")
        out.append("")
    return "\n".join(out)


def emit_declarations(d):
    out = []
    for interface in d.slot_order():
        own = [m for m in d.methods if m.interface == interface]
        if not own:
            continue
        out.append("")
        out.append("  // %s" % interface)
        for m in own:
            ret, params = signature(d, m)
            out.append(joined("  %s %s(" % (ret, m.name), params, ") noexcept override;",
                              "      "))
    return "\n".join(out) + "\n"


def emit_method(d, m, body_status, body_plain):
    ret, params = signature(d, m)
    fill = []
    precheck = []
    line = str(m.line) if m.line is not None else LINE_MARKER
    for f in m.request:
        if f.role == "input":
            fill.append("  request.%s = %s;" % (f.name, f.name))
        elif f.role == "address":
            fill.append("  request.%s = reinterpret_cast<std::uintptr_t>(%s);" % (f.name, f.name))
        elif f.role == "inputRecord":
            source = f.name if f.passing == "pointer" else "&" + f.name
            fill.append("  std::memcpy(&request.%s, %s, sizeof request.%s);"
                        % (f.name, source, f.name))
            if f.passing == "pointer":
                precheck += [
                    "  if (%s == nullptr) {" % f.name,
                    "    status.setCode(nQOAPALS100::tStatus::kInvalidParameter, kComponentName,",
                    "                   %s, %s);" % (source_constant(d), line),
                    "    return%s;" % ("" if ret == "void" else " {}"),
                    "  }"]
    head = joined("inline %s %s::%s(" % (ret, d.proxy_name, m.name), params, ") noexcept {")
    names = dict(head=head, blocks_ns=blocks_namespace(d), source_const=source_constant(d))
    if not m.has_status:
        return body_plain.substitute(name=m.name, fill="".join(x + "\n" for x in fill), **names)
    outputs = []
    for f in m.response:
        if f.role == "output":
            outputs.append("  if (%s != nullptr) *%s = response.%s;" % (f.name, f.name, f.name))
    result = m.result
    return body_status.substitute(
        name=m.name, **names,
        zero="" if result is None else " {}",
        precheck="".join(x + "\n" for x in precheck),
        fill="".join(x + "\n" for x in fill),
        statusField=m.field("request", "status")[0].name,
        responseStatus=m.field("response", "status")[0].name,
        outputs="".join(x + "\n" for x in outputs),
        line=line,
        finish="" if result is None else "  return response.%s;\n" % result.name)


def emit_proxy(d):
    body_status = template("method.tmpl")
    body_plain = template("method_nostatus.tmpl")
    constants = "".join("// %s\nusing qodrv::%s::%s;\n" % (c.comment, d.contract_namespace, c.name)
                        for c in d.constants)
    definitions = "\n".join(emit_method(d, m, body_status, body_plain) for m in d.methods)
    text = template("proxy.h.tmpl").substitute(
        description=os.path.basename(d.path), proxy=d.proxy_name, driver=d.driver_interface,
        source=d.source_name, namespace=d.namespace, interface=d.proxy_interface,
        blocks_ns=blocks_namespace(d), source_const=source_constant(d),
        constants=("\n" + constants) if constants else "",
        records="\n".join(emit_record(r) for r in d.records),
        blocks=emit_blocks(d), interfaces=emit_interfaces(d),
        declarations=emit_declarations(d), definitions=definitions)
    text = _fix_null_check_lines(d, text)
    cpp = template("proxy.cpp.tmpl").substitute(
        description=os.path.basename(d.path), header=d.header, namespace=d.namespace,
        proxy=d.proxy_name)
    return text, cpp


def _fix_null_check_lines(d, text):
    """Numbers the markers: every method reports the line of its status merge, and a record
    null check in the same method reports that line too."""
    lines = text.split("\n")
    marker_lines = [n for n, line in enumerate(lines) if LINE_MARKER in line]
    if d.source_lines != "generated":
        if marker_lines:
            raise AssertionError("line markers in a description with given lines")
        for m in d.methods:
            if not m.has_status:
                m.line = 0
        return text
    index = 0
    reported = []
    for m in d.methods:
        if not m.has_status:
            m.line = 0
            continue
        count = 2 if any(f.passing == "pointer" for f in m.request) else 1
        group = marker_lines[index:index + count]
        index += count
        m.line = group[-1] + 1  # 1-based number of the status merge's line
        for n in group:
            lines[n] = lines[n].replace(LINE_MARKER, str(m.line))
        reported.append(m.line)
    if index != len(marker_lines):
        raise AssertionError("line markers do not match the methods")
    if reported != sorted(set(reported)):
        raise AssertionError("generated lines are not increasing")
    return "\n".join(lines)


# ---- tables -------------------------------------------------------------------------------------

def table_field(f):
    type_ = "Type::Record" if f.record is not None else TABLE_TYPES[f.type]
    return '{"%s", %s, %s, %d, %d, %d, %d}' % (f.name, TABLE_ROLES[f.role], type_, f.offset,
                                              f.size, f.parameter, f.element_size)


def emit_tables(descriptions):
    fields, methods = [], []
    for d in descriptions:
        for m in d.methods:
            base = "k%s_%s" % (d.driver_interface, m.name)
            fields.append("inline constexpr Field %s_request[] = {\n%s};\n" % (
                base, "".join("    %s,\n" % table_field(f) for f in m.request)))
            if m.response:
                fields.append("inline constexpr Field %s_response[] = {\n%s};\n" % (
                    base, "".join("    %s,\n" % table_field(f) for f in m.response)))
            methods.append(
                '    {"%s", "%s", "%s", %s, %d, %d,\n     detail::%s_request, %d, %s, %d, %s, %d},\n'
                % (d.driver_interface, m.interface, m.name, hex32(m.command), m.request_size,
                   m.response_size, base, len(m.request),
                   "detail::%s_response" % base if m.response else "nullptr", len(m.response),
                   "true" if m.has_status else "false", m.line))
    return template("tables.h.tmpl").substitute(
        descriptions=", ".join("codegen/descriptions/" + os.path.basename(d.path)
                               for d in descriptions),
        fields="".join(fields), methods="".join(methods))


# ---- test invokers ------------------------------------------------------------------------------

def emit_invokers(descriptions):
    functions, table = [], []
    namespace = descriptions[0].namespace
    for d in descriptions:
        for m in d.methods:
            fname = "%s_%s" % (d.driver_interface, m.name)
            args = []
            for position, f in m.parameters():
                if f.role == "input":
                    args.append("static_cast<%s>(args.value[%d])" % (cpp_type(d, f.type), position))
                elif f.role == "inputRecord":
                    pointer = "static_cast<const %s::%s*>(args.record[%d])" % (d.namespace, f.type,
                                                                               position)
                    args.append(pointer if f.passing == "pointer" else "*" + pointer)
                elif f.role == "address":
                    element = cpp_type(d, f.element)
                    if d.record(f.element):
                        element = "%s::%s" % (d.namespace, element)
                    args.append("static_cast<%s%s*>(args.buffer[%d])"
                                % ("const " if f.const else "", element, position))
                elif f.role == "output":
                    args.append("static_cast<%s*>(args.output[%d])" % (cpp_type(d, f.type),
                                                                     position))
            if m.has_status:
                args.append("status")
            call = "target.%s(%s)" % (m.name, ", ".join(args))
            body = ["inline void %s(%s::nQOAPAL000::tDeviceInterfaceProxy& proxy,"
                    % (fname, d.namespace),
                    "    [[maybe_unused]] const Arguments& args, [[maybe_unused]] Outcome& outcome,",
                    "    [[maybe_unused]] %s::nQOAPAL000::tStatus& status) {" % d.namespace,
                    "  %s::%s& target = static_cast<%s::%s&>(proxy);"
                    % (d.namespace, m.interface, d.namespace, d.proxy_name)]
            if m.result is not None:
                body.append("  const auto value = %s;" % call)
                body.append("  static_assert(sizeof value <= sizeof outcome.result);")
                body.append("  std::memcpy(outcome.result, &value, sizeof value);")
                body.append("  outcome.resultSize = sizeof value;")
            else:
                body.append("  %s;" % call)
            body.append("}")
            functions.append("\n".join(body) + "\n")
            table.append('    {"%s", "%s", %s, &detail::%s},\n'
                         % (d.driver_interface, m.name, "true" if m.has_status else "false", fname))
    includes = "".join('#include "%s.h"\n' % d.header for d in descriptions)
    return template("invokers.h.tmpl").substitute(
        descriptions=", ".join("codegen/descriptions/" + os.path.basename(d.path)
                               for d in descriptions),
        includes=includes, namespace=namespace, functions="\n".join(functions),
        table="".join(table))


# ---- contract constants -------------------------------------------------------------------------

CONSTANT_CPP = {"u8": ("std::uint8_t", "u"), "u16": ("std::uint16_t", "u"),
                "u32": ("std::uint32_t", "u"), "u64": ("std::uint64_t", "ull"),
                "i32": ("std::int32_t", ""), "i64": ("std::int64_t", "")}


def emit_constant(c):
    out = ["// %s" % c.comment]
    if c.type == "text":
        out.append('inline constexpr char %s[] = "%s";' % (c.name, c.value))
    else:
        type_, suffix = CONSTANT_CPP[c.type]
        out.append("inline constexpr %s %s = %s%s;" % (type_, c.name, c.text, suffix))
    return "\n".join(out) + "\n"


def emit_contract_interface(d):
    commands = "".join("inline constexpr std::uint32_t %s = %s;\n" % (command_constant(m),
                                                                     hex32(m.command))
                       for m in d.methods)
    cases = "".join("    case %s: return Method::%s;\n" % (command_constant(m), m.name)
                    for m in d.methods)
    return template("constants_interface.tmpl").substitute(
        driver=d.driver_interface, description=os.path.basename(d.path),
        space=d.contract_namespace,
        constants="".join("\n" + emit_constant(c) for c in d.constants),
        commands=commands, count=len(d.methods),
        enumerators="".join("  %s,\n" % m.name for m in d.methods),
        command_table="".join("    %s,\n" % command_constant(m) for m in d.methods),
        name_table="".join('    "%s",\n' % m.name for m in d.methods), cases=cases)


def emit_contract(shared, descriptions):
    names = [os.path.basename(x.path) for x in shared + descriptions]
    common = "".join("\n" + emit_constant(c) for s in shared for c in s.constants)
    if common:
        common = "\n// ---- Shared by every interface ----\n" + common
    return template("constants.h.tmpl").substitute(
        descriptions=", ".join("codegen/descriptions/" + n for n in names), shared=common,
        interfaces="".join(emit_contract_interface(d) for d in descriptions))


# ---- driver -------------------------------------------------------------------------------------

def load_all(paths):
    descriptions = []
    for path in paths:
        d = desc.load(path)
        if isinstance(d, desc.SharedConstants):
            _check_constant_names(d, descriptions)
            descriptions.append(d)
            continue
        for other in interfaces_of(descriptions):
            if other.driver_interface == d.driver_interface:
                raise desc.DescriptionError("%s: driverInterface '%s' is already described by %s"
                                            % (path, d.driver_interface, other.path))
            if other.proxy_name == d.proxy_name or other.header == d.header:
                raise desc.DescriptionError("%s: proxy '%s' clashes with %s"
                                            % (path, d.proxy_name, other.path))
            if other.namespace != d.namespace:
                raise desc.DescriptionError("%s: namespace '%s' differs from '%s' of %s"
                                            % (path, d.namespace, other.namespace, other.path))
            clash = ({r.name for r in other.records} | {i.name for i in other.interfaces}) & (
                {r.name for r in d.records} | {i.name for i in d.interfaces})
            if clash:
                raise desc.DescriptionError("%s: '%s' is also declared by %s"
                                            % (path, sorted(clash)[0], other.path))
        _check_constant_names(d, descriptions)
        descriptions.append(d)
    return descriptions


def interfaces_of(loaded):
    return [d for d in loaded if not isinstance(d, desc.SharedConstants)]


def _check_constant_names(d, loaded):
    """Constant names are unique over all descriptions: a shared one would be hidden by an
    interface's namespace, and the proxies bring every interface's into one namespace."""
    for other in loaded:
        clash = {c.name for c in other.constants} & {c.name for c in d.constants}
        if clash:
            raise desc.DescriptionError("%s: constant '%s' is also declared by %s"
                                        % (d.path, sorted(clash)[0], other.path))


def generate(loaded):
    """All outputs as {relative path: (root key, text)}."""
    files = {}
    shared = [d for d in loaded if isinstance(d, desc.SharedConstants)]
    descriptions = interfaces_of(loaded)
    if not descriptions:
        raise desc.DescriptionError("%s: no interface described" % loaded[0].path)
    files["qodrv/qoDriverConstants.h"] = ("contract", emit_contract(shared, descriptions))
    for d in descriptions:
        header, cpp = emit_proxy(d)
        files[d.header + ".h"] = ("out", header)
        files[d.header + ".cpp"] = ("out", cpp)
    files["qodrvdesc/qoDriverInterfaceTables.h"] = ("tables", emit_tables(descriptions))
    files["qodrvdesc/qoGeneratedProxyInvokers.h"] = ("tests", emit_invokers(descriptions))
    return files


def main(argv=None):
    parser = argparse.ArgumentParser(description="Generate driver-interface proxies and tables.")
    parser.add_argument("--out", help="root of the generated proxies")
    parser.add_argument("--tables-out", help="root of qodrvdesc/qoDriverInterfaceTables.h")
    parser.add_argument("--tests-out", help="root of qodrvdesc/qoGeneratedProxyInvokers.h")
    parser.add_argument("--contract-out", help="root of qodrv/qoDriverConstants.h")
    parser.add_argument("--check", action="store_true", help="validate only, write nothing")
    parser.add_argument("descriptions", nargs="+")
    options = parser.parse_args(argv)
    if not options.check and not options.out:
        parser.error("--out is required unless --check is given")
    try:
        descriptions = load_all(options.descriptions)
        files = generate(descriptions)
    except desc.DescriptionError as e:
        print("qocodegen: error: %s" % e, file=sys.stderr)
        return 1
    if options.check:
        return 0
    roots = {"out": options.out, "tables": options.tables_out or options.out,
             "tests": options.tests_out or options.out,
             "contract": options.contract_out or options.tables_out or options.out}
    for relative, (root, text) in sorted(files.items()):
        write_if_changed(os.path.join(roots[root], relative), text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
