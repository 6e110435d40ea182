"""Driver interface descriptions: loading, validation and block layout.

A description (codegen/descriptions/*.json) lists one driver interface: its class tree, the
records its blocks carry and every method with its command code, request and response fields.
load() reads one file, checks everything the generated code relies on and computes the
natural-alignment layout of every block; any fault raises DescriptionError naming the file and
the entry. Nothing is written by this module.
"""

import json
import re

SCALARS = {
    # type: (size, alignment, C++ type)
    "u8": (1, 1, "std::uint8_t"),
    "u16": (2, 2, "std::uint16_t"),
    "u32": (4, 4, "std::uint32_t"),
    "u64": (8, 8, "std::uint64_t"),
    "i32": (4, 4, "std::int32_t"),
    "char": (1, 1, "char"),
}
# Types a block or record field may have ("char" only names the element of a text buffer).
FIELD_SCALARS = ("u8", "u16", "u32", "u64", "i32")

REQUEST_ROLES = ("input", "inputRecord", "address", "unused", "status")
RESPONSE_ROLES = ("result", "output", "status")

ROOT_INTERFACE = "iInterfaceProxy"
CALL_BLOCK_SIZE = 32  # bits 29..16 of every command code
IDENTIFIER = re.compile(r"^[A-Za-z_][A-Za-z0-9_]*$")

TOP_KEYS = {
    "_comment": False, "driverInterface": True, "namespace": True, "header": True,
    "sourceName": True, "sourceLines": True, "commandNumbering": True, "proxy": True,
    "interfaces": True, "records": False, "constants": False, "methods": True,
    "contractNamespace": False,
}
# A shared constants file: the driver's constants common to several interfaces, no methods.
SHARED_KEYS = {"_comment": False, "constants": True}
CONSTANT_KEYS = {"name": True, "type": True, "value": True, "comment": True,
                 "checkLiterals": False}
# Types a constant may have besides the field scalars ("i64" for sentinels and the platform's
# codes, "text" for a NUL-terminated name).
CONSTANT_TYPES = FIELD_SCALARS + ("i64", "text")
CONSTANT_RANGES = {"u8": (0, 0xFF), "u16": (0, 0xFFFF), "u32": (0, 0xFFFFFFFF),
                   "u64": (0, 0xFFFFFFFFFFFFFFFF), "i32": (-0x80000000, 0x7FFFFFFF),
                   "i64": (-0x8000000000000000, 0x7FFFFFFFFFFFFFFF)}
METHOD_KEYS = {
    "interface": True, "name": True, "command": True, "line": False, "request": True,
    "requestSize": True, "response": True, "responseSize": True,
}
FIELD_KEYS = {
    "name": True, "type": True, "role": True, "at": True, "parameter": False,
    "element": False, "const": False, "pass": False,
}


class DescriptionError(Exception):
    """A description the generator refuses; the message names the file and the entry."""


class Constant:
    def __init__(self, name, type_, value, text, comment, check_literals):
        self.name = name
        self.type = type_             # a scalar of CONSTANT_TYPES or "text"
        self.value = value            # int, or str for "text"
        self.text = text              # the value as the description writes it (hex kept)
        self.comment = comment
        self.check_literals = check_literals  # tests/tools/check_contract_literals.py looks for it


class Field:
    def __init__(self, name, role, type_, size, align, offset, parameter=0, element=None,
                 element_size=0, const=False, record=None, passing=None):
        self.name = name
        self.role = role
        self.type = type_            # scalar name or record name
        self.size = size
        self.align = align
        self.offset = offset
        self.parameter = parameter   # 1-based, 0 when the field is no parameter
        self.element = element       # address fields: element type name
        self.element_size = element_size
        self.const = const           # address fields: the driver only reads the buffer
        self.record = record         # Record when the type is a record
        self.passing = passing       # inputRecord fields: "reference" or "pointer"


class Record:
    def __init__(self, name, size, align, fields):
        self.name = name
        self.size = size
        self.align = align
        self.fields = fields  # list of Field (role "member")


class Method:
    def __init__(self, index, interface, name, command, line, request, request_size, response,
                 response_size):
        self.index = index
        self.interface = interface
        self.name = name
        self.command = command
        self.line = line  # None until assigned when the description lets the generator choose
        self.request = request
        self.request_size = request_size
        self.response = response
        self.response_size = response_size

    @property
    def has_status(self):
        return any(f.role == "status" for f in self.request)

    def field(self, block, role):
        return [f for f in (self.request if block == "request" else self.response)
                if f.role == role]

    @property
    def result(self):
        found = self.field("response", "result")
        return found[0] if found else None

    def parameters(self):
        """(position, field) of every parameter in parameter order."""
        params = [(f.parameter, f) for f in self.request + self.response if f.parameter]
        return sorted(params, key=lambda p: p[0])


class Interface:
    def __init__(self, name, bases):
        self.name = name
        self.bases = bases


class Description:
    def __init__(self, path):
        self.path = path
        self.driver_interface = None
        self.namespace = None
        self.header = None
        self.source_name = None
        self.source_lines = None
        self.command_numbering = None
        self.proxy_name = None
        self.proxy_interface = None
        self.interfaces = []
        self.records = []
        self.constants = []
        self.methods = []
        self.contract_namespace = None  # qodrv::<this> in the generated constants header

    def interface(self, name):
        for i in self.interfaces:
            if i.name == name:
                return i
        return None

    def record(self, name):
        for r in self.records:
            if r.name == name:
                return r
        return None

    def slot_order(self):
        """Interfaces in the order their methods take virtual slots: the proxy's interface, then
        its bases depth-first in declaration order, each interface once."""
        seen = []

        def visit(name):
            if name == ROOT_INTERFACE or name in seen:
                return
            seen.append(name)
            for base in self.interface(name).bases:
                visit(base)

        visit(self.proxy_interface)
        return seen


def align_up(value, alignment):
    return (value + alignment - 1) // alignment * alignment


def layout(fields):
    """Natural-alignment layout: assigns offsets in order, returns (size, alignment) with the size
    rounded up to the largest member's alignment. Fields are (size, align) pairs."""
    offset = 0
    largest = 1
    offsets = []
    for size, alignment in fields:
        offset = align_up(offset, alignment)
        offsets.append(offset)
        offset += size
        largest = max(largest, alignment)
    return offsets, align_up(offset, largest) if fields else 0, largest


class _Checker:
    def __init__(self, path):
        self.path = path

    def fail(self, where, message):
        raise DescriptionError("%s: %s: %s" % (self.path, where, message) if where
                               else "%s: %s" % (self.path, message))

    def keys(self, where, obj, allowed):
        if not isinstance(obj, dict):
            self.fail(where, "expected an object")
        for key in obj:
            if key not in allowed:
                self.fail(where, "unknown key '%s'" % key)
        for key, required in allowed.items():
            if required and key not in obj:
                self.fail(where, "missing key '%s'" % key)

    def text(self, where, value, what, identifier=False):
        if not isinstance(value, str) or not value:
            self.fail(where, "%s must be a non-empty string" % what)
        if identifier and not IDENTIFIER.match(value):
            self.fail(where, "%s '%s' is not an identifier" % (what, value))
        return value

    def integer(self, where, value, what, low=0, high=None):
        if isinstance(value, bool) or not isinstance(value, int):
            self.fail(where, "%s must be an integer" % what)
        if value < low or (high is not None and value > high):
            self.fail(where, "%s %d out of range" % (what, value))
        return value


def load(path):
    """Reads and validates one description; returns a Description or raises DescriptionError."""
    try:
        with open(path, encoding="utf-8") as f:
            text = f.read()
    except OSError as e:
        raise DescriptionError("%s: cannot read: %s" % (path, e.strerror))
    try:
        data = json.loads(text, object_pairs_hook=_no_duplicate_keys)
    except ValueError as e:
        raise DescriptionError("%s: not valid JSON: %s" % (path, e))
    return parse(data, path)


def _no_duplicate_keys(pairs):
    obj = {}
    for key, value in pairs:
        if key in obj:
            raise ValueError("duplicate key '%s'" % key)
        obj[key] = value
    return obj


class SharedConstants:
    """A file of constants only: the driver's values every interface shares."""

    def __init__(self, path):
        self.path = path
        self.constants = []


def is_shared(data):
    return isinstance(data, dict) and "driverInterface" not in data


def parse(data, path):
    c = _Checker(path)
    if is_shared(data):
        c.keys("", data, SHARED_KEYS)
        shared = SharedConstants(path)
        _parse_constants(c, shared, data["constants"])
        return shared
    d = Description(path)
    c.keys("", data, TOP_KEYS)
    d.driver_interface = c.text("driverInterface", data["driverInterface"], "driverInterface",
                                identifier=True)
    d.namespace = c.text("namespace", data["namespace"], "namespace", identifier=True)
    d.header = c.text("header", data["header"], "header")
    if not re.match(r"^[A-Za-z0-9_/]+$", d.header):
        c.fail("header", "'%s' is not a relative path without extension" % d.header)
    d.source_name = c.text("sourceName", data["sourceName"], "sourceName")
    if len(d.source_name) > 100:
        c.fail("sourceName", "longer than the 100 characters a status record holds")
    d.source_lines = data["sourceLines"]
    if d.source_lines not in ("generated", "given"):
        c.fail("sourceLines", "must be 'generated' or 'given', not %r" % (d.source_lines,))
    d.command_numbering = data["commandNumbering"]
    if d.command_numbering not in ("methodName", "free"):
        c.fail("commandNumbering", "must be 'methodName' or 'free', not %r"
               % (d.command_numbering,))

    d.contract_namespace = c.text("contractNamespace",
                                  data.get("contractNamespace", d.driver_interface),
                                  "contractNamespace", identifier=True)

    proxy = data["proxy"]
    c.keys("proxy", proxy, {"name": True, "interface": True})
    d.proxy_name = c.text("proxy", proxy["name"], "proxy name", identifier=True)
    d.proxy_interface = c.text("proxy", proxy["interface"], "proxy interface", identifier=True)

    _parse_interfaces(c, d, data["interfaces"])
    _parse_records(c, d, data.get("records", []))
    _parse_constants(c, d, data.get("constants", []))
    _parse_methods(c, d, data["methods"])
    return d


def _parse_interfaces(c, d, interfaces):
    if not isinstance(interfaces, list) or not interfaces:
        c.fail("interfaces", "must be a non-empty list")
    for n, entry in enumerate(interfaces):
        where = "interfaces[%d]" % n
        c.keys(where, entry, {"name": True, "bases": True})
        name = c.text(where, entry["name"], "interface name", identifier=True)
        where = "interface '%s'" % name
        if name == ROOT_INTERFACE or d.interface(name):
            c.fail(where, "declared twice")
        if name == d.proxy_name:
            c.fail(where, "has the proxy class's name")
        bases = entry["bases"]
        if not isinstance(bases, list) or not bases or bases[0] != ROOT_INTERFACE:
            c.fail(where, "bases must start with '%s'" % ROOT_INTERFACE)
        for base in bases:
            if bases.count(base) > 1:
                c.fail(where, "base '%s' listed twice" % base)
            if base != ROOT_INTERFACE and not d.interface(base):
                c.fail(where, "base '%s' is not declared before it" % base)
        d.interfaces.append(Interface(name, list(bases)))
    if not d.interface(d.proxy_interface):
        c.fail("proxy", "interface '%s' is not declared" % d.proxy_interface)
    reachable = d.slot_order()
    for i in d.interfaces:
        if i.name not in reachable:
            c.fail("interface '%s'" % i.name, "is not in the class tree of '%s'"
                   % d.proxy_interface)


def _scalar_or_record(c, d, where, type_, what):
    if type_ in FIELD_SCALARS:
        size, align, _ = SCALARS[type_]
        return size, align, None
    record = d.record(type_) if isinstance(type_, str) else None
    if record is None:
        c.fail(where, "%s type %r is neither a scalar (%s) nor a declared record"
               % (what, type_, ", ".join(FIELD_SCALARS)))
    return record.size, record.align, record


def _parse_records(c, d, records):
    if not isinstance(records, list):
        c.fail("records", "must be a list")
    for n, entry in enumerate(records):
        where = "records[%d]" % n
        c.keys(where, entry, {"name": True, "size": True, "align": True, "fields": True})
        name = c.text(where, entry["name"], "record name", identifier=True)
        where = "record '%s'" % name
        if d.record(name) or name in SCALARS:
            c.fail(where, "declared twice")
        fields = entry["fields"]
        if not isinstance(fields, list) or not fields:
            c.fail(where, "fields must be a non-empty list")
        members = []
        for m, f in enumerate(fields):
            fwhere = "%s field %d" % (where, m)
            c.keys(fwhere, f, {"name": True, "type": True, "at": True})
            fname = c.text(fwhere, f["name"], "field name", identifier=True)
            fwhere = "%s field '%s'" % (where, fname)
            if any(x.name == fname for x in members):
                c.fail(fwhere, "name used twice")
            if f["type"] not in FIELD_SCALARS:
                c.fail(fwhere, "type %r is not a scalar (%s)" % (f["type"], ", ".join(FIELD_SCALARS)))
            size, align, _ = SCALARS[f["type"]]
            members.append(Field(fname, "member", f["type"], size, align,
                                 c.integer(fwhere, f["at"], "offset")))
        offsets, size, align = layout([(f.size, f.align) for f in members])
        for f, computed in zip(members, offsets):
            if f.offset != computed:
                c.fail("%s field '%s'" % (where, f.name),
                       "offset %d in the description, natural alignment puts it at %d"
                       % (f.offset, computed))
        if c.integer(where, entry["size"], "size") != size:
            c.fail(where, "size %d in the description, the computed layout is %d bytes"
                   % (entry["size"], size))
        if c.integer(where, entry["align"], "align") != align:
            c.fail(where, "alignment %d in the description, the computed alignment is %d"
                   % (entry["align"], align))
        d.records.append(Record(name, size, align, members))


def _parse_constants(c, d, constants):
    if not isinstance(constants, list):
        c.fail("constants", "must be a list")
    for n, entry in enumerate(constants):
        where = "constants[%d]" % n
        c.keys(where, entry, CONSTANT_KEYS)
        name = c.text(where, entry["name"], "constant name", identifier=True)
        where = "constant '%s'" % name
        if any(x.name == name for x in d.constants):
            c.fail(where, "declared twice")
        type_ = entry["type"]
        if type_ not in CONSTANT_TYPES:
            c.fail(where, "type %r is not one of %s" % (type_, ", ".join(CONSTANT_TYPES)))
        value, text = _constant_value(c, where, type_, entry["value"])
        comment = c.text(where, entry["comment"], "comment")
        check = entry.get("checkLiterals", True)
        if not isinstance(check, bool):
            c.fail(where, "'checkLiterals' is a boolean")
        d.constants.append(Constant(name, type_, value, text, comment, check))


def _constant_value(c, where, type_, value):
    """(value, its text as written): integers as numbers or "0x..." hex text (unsigned types)."""
    if type_ == "text":
        text = c.text(where, value, "value")
        if any(ord(ch) < 0x20 or ch in '"\\' for ch in text):
            c.fail(where, "a text value holds no control characters, quotes or backslashes")
        return text, text
    if isinstance(value, str) and re.match(r"^0x[0-9A-Fa-f]+$", value) and type_[0] == "u":
        number, text = int(value, 16), "0x" + value[2:].upper()
    elif isinstance(value, int) and not isinstance(value, bool):
        number, text = value, str(value)
    else:
        c.fail(where, "value %r is no integer (hex text only for unsigned types)" % (value,))
    low, high = CONSTANT_RANGES[type_]
    if not low <= number <= high:
        c.fail(where, "value %s does not fit %s" % (text, type_))
    return number, text


def _parse_command(c, where, value):
    if isinstance(value, str) and re.match(r"^0x[0-9A-Fa-f]{1,8}$", value):
        return int(value, 16)
    c.fail(where, "command must be a hexadecimal text such as \"0x80200405\", not %r" % (value,))


def _parse_fields(c, d, where, entries, roles, block):
    if not isinstance(entries, list):
        c.fail(where, "%s must be a list" % block)
    fields = []
    for n, f in enumerate(entries):
        fwhere = "%s %s field %d" % (where, block, n)
        c.keys(fwhere, f, FIELD_KEYS)
        name = c.text(fwhere, f["name"], "field name", identifier=True)
        fwhere = "%s %s field '%s'" % (where, block, name)
        if any(x.name == name for x in fields):
            c.fail(fwhere, "name used twice in the block")
        role = f["role"]
        if role not in roles:
            c.fail(fwhere, "role %r is not one of %s in a %s block" % (role, ", ".join(roles), block))
        size, align, record = _scalar_or_record(c, d, fwhere, f["type"], "field")
        at = c.integer(fwhere, f["at"], "offset")
        wants_parameter = role in ("input", "inputRecord", "address", "output")
        if wants_parameter != ("parameter" in f):
            c.fail(fwhere, "a field of role %s %s" %
                   (role, "needs a parameter" if wants_parameter else "takes no parameter"))
        parameter = c.integer(fwhere, f["parameter"], "parameter", 1, 127) if wants_parameter else 0
        if ("element" in f) != (role == "address"):
            c.fail(fwhere, "'element' belongs to address fields and every address field needs one")
        if "const" in f and (role != "address" or not isinstance(f["const"], bool)):
            c.fail(fwhere, "'const' is a boolean of address fields")
        element, element_size = None, 0
        if role == "address":
            if f["type"] != "u64":
                c.fail(fwhere, "an address travels as u64, not %s" % f["type"])
            element = f["element"]
            if element in SCALARS:
                element_size = SCALARS[element][0]
            elif isinstance(element, str) and d.record(element):
                element_size = d.record(element).size
            else:
                c.fail(fwhere, "element %r is neither a scalar nor a declared record" % (element,))
        if role == "status" and f["type"] != "i32":
            c.fail(fwhere, "the status word is i32, not %s" % f["type"])
        if role in ("input", "output", "unused") and record is not None:
            c.fail(fwhere, "a %s field must be a scalar; records are inputRecord or result" % role)
        if role == "inputRecord" and record is None:
            c.fail(fwhere, "an inputRecord field needs a record type")
        if ("pass" in f) != (role == "inputRecord") or f.get("pass", "reference") not in (
                "reference", "pointer"):
            c.fail(fwhere, "an inputRecord field is passed by 'reference' or 'pointer' ('pass'); "
                   "other fields take no 'pass'")
        if role == "unused" and f["type"] not in FIELD_SCALARS:
            c.fail(fwhere, "unused bytes need a scalar type")
        fields.append(Field(name, role, f["type"], size, align, at, parameter, element,
                            element_size, bool(f.get("const", False)), record,
                            f.get("pass")))
    return fields


def _check_layout(c, where, block, fields, expected_size):
    offsets, size, _ = layout([(f.size, f.align) for f in fields])
    for f, computed in zip(fields, offsets):
        if f.offset != computed:
            c.fail("%s %s field '%s'" % (where, block, f.name),
                   "offset %d in the description, natural alignment puts it at %d"
                   % (f.offset, computed))
    if c.integer(where, expected_size, "%sSize" % block) != size:
        c.fail(where, "%s block of %d bytes in the description, the computed layout is %d bytes"
               % (block, expected_size, size))


def _parse_methods(c, d, methods):
    if not isinstance(methods, list) or not methods:
        c.fail("methods", "must be a non-empty list")
    names, commands = {}, {}
    for index, m in enumerate(methods):
        where = "methods[%d]" % index
        c.keys(where, m, METHOD_KEYS)
        name = c.text(where, m["name"], "method name", identifier=True)
        where = "method '%s' (entry %d)" % (name, index + 1)
        if name in names:
            c.fail(where, "name already used by entry %d" % names[name])
        if name in (d.proxy_name, ROOT_INTERFACE) or d.interface(name):
            c.fail(where, "name clashes with a class name")
        names[name] = index + 1
        interface = c.text(where, m["interface"], "interface", identifier=True)
        if not d.interface(interface):
            c.fail(where, "interface '%s' is not declared in the class tree" % interface)

        command = _parse_command(c, where, m["command"])
        if command in commands:
            c.fail(where, "command 0x%08X already used by '%s'" % (command, commands[command]))
        commands[command] = name
        if (command >> 16) & 0x3FFF != CALL_BLOCK_SIZE:
            c.fail(where, "command 0x%08X: bits 29..16 hold %d, the call block is %d bytes"
                   % (command, (command >> 16) & 0x3FFF, CALL_BLOCK_SIZE))
        if command >> 30 == 3:
            c.fail(where, "command 0x%08X: direction 3 (read and write) is not a driver direction"
                   % command)
        if d.command_numbering == "methodName":
            digits = "op%04X" % (command & 0xFFFF)
            if name != digits:
                c.fail(where, "command 0x%08X belongs to a method named '%s'" % (command, digits))

        line = None
        if d.source_lines == "given":
            if "line" not in m:
                c.fail(where, "missing key 'line' (this description gives the source lines)")
            line = c.integer(where, m["line"], "line", 1, 0xFFFFFFFF)
        elif "line" in m:
            c.fail(where, "key 'line': this description lets the generator choose the lines")

        request = _parse_fields(c, d, where, m["request"], REQUEST_ROLES, "request")
        response = _parse_fields(c, d, where, m["response"], RESPONSE_ROLES, "response")
        _check_layout(c, where, "request", request, m["requestSize"])
        _check_layout(c, where, "response", response, m["responseSize"])
        method = Method(index, interface, name, command, line, request, m["requestSize"],
                        response, m["responseSize"])
        _check_status_and_parameters(c, where, method)
        d.methods.append(method)

    _check_order(c, d)
    if d.source_lines == "given":
        for before, after in zip(d.methods, d.methods[1:]):
            if after.line <= before.line:
                c.fail("method '%s' (entry %d)" % (after.name, after.index + 1),
                       "line %d does not follow line %d of '%s'"
                       % (after.line, before.line, before.name))


def _check_status_and_parameters(c, where, m):
    request_status = m.field("request", "status")
    response_status = m.field("response", "status")
    if len(request_status) > 1 or len(response_status) > 1:
        c.fail(where, "more than one status word in a block")
    if request_status:
        if not response_status:
            c.fail(where, "the request carries a status word but the response has none")
        if m.response[-1].role != "status":
            c.fail(where, "the response's status word must be its last field")
        after = m.request[m.request.index(request_status[0]) + 1:]
        if any(f.role != "unused" for f in after):
            c.fail(where, "only unused bytes may follow the request's status word")
    else:
        # A method without status word sends its request and takes no answer at all.
        if m.response or m.response_size:
            c.fail(where, "a method without status word in its request has no response block")
    results = m.field("response", "result")
    if len(results) > 1:
        c.fail(where, "more than one result")
    if results and m.response[0].role != "result":
        c.fail(where, "the result must be the response's first field")

    positions = [p for p, _ in m.parameters()]
    if positions != list(range(1, len(positions) + 1)):
        c.fail(where, "parameters %s are not numbered 1..%d without gaps or repeats"
               % (positions, len(positions)))
    inputs = [f.parameter for f in m.request if f.parameter]
    outputs = [f.parameter for f in m.response if f.parameter]
    if inputs != sorted(inputs):
        c.fail(where, "request parameters must appear in parameter order")
    if outputs != sorted(outputs):
        c.fail(where, "response outputs must appear in parameter order")
    if inputs and outputs and max(inputs) > min(outputs):
        c.fail(where, "output parameter %d comes before input parameter %d"
               % (min(outputs), max(inputs)))


def _check_order(c, d):
    order = d.slot_order()
    last = 0
    for m in d.methods:
        rank = order.index(m.interface)
        if rank < last:
            c.fail("method '%s' (entry %d)" % (m.name, m.index + 1),
                   "interface '%s' comes before '%s' in the class tree's slot order; "
                   "list the methods in slot order" % (m.interface, order[last]))
        last = rank
