"""What every generator of codegen/ writes its output with: C string literals and files that are
rewritten only when their text changes (so the build does not recompile what includes them)."""

import json
import os
import sys


def c_string(text):
    """A C string literal; bytes outside printable ASCII as 3-digit octal escapes (a following
    digit cannot extend them)."""
    out = ['"']
    for b in text.encode("utf-8"):
        c = chr(b)
        if c in "\\\"":
            out.append("\\" + c)
        elif 0x20 <= b < 0x7F and c != "?":
            out.append(c)
        else:
            out.append("\\%03o" % b)
    out.append('"')
    return "".join(out)


def write_if_changed(path, text):
    """Writes text to path through a temporary file unless path holds it already; True when
    written."""
    try:
        with open(path, encoding="utf-8") as f:
            if f.read() == text:
                return False
    except OSError:
        pass
    os.makedirs(os.path.dirname(path) or ".", exist_ok=True)
    temporary = path + ".tmp"
    with open(temporary, "w", encoding="utf-8") as f:
        f.write(text)
    os.replace(temporary, path)
    return True


def generate(program, load, error_type, outputs):
    """A generator's run: load() the inputs; on error_type prints "program: why" and answers 1;
    otherwise writes render(inputs) to each (path, render) of outputs and answers 0."""
    try:
        loaded = load()
    except error_type as e:
        print("%s: %s" % (program, e), file=sys.stderr)
        return 1
    for path, render in outputs:
        write_if_changed(path, render(loaded))
    return 0


def read_json(path, error_type, place=""):
    """The JSON document at path; a file that cannot be read or is not JSON raises error_type
    naming the path (and place, when given, before what is wrong)."""
    try:
        with open(path, encoding="utf-8") as f:
            return json.load(f)
    except (OSError, UnicodeDecodeError) as e:
        raise error_type("%s: %scannot be read: %s" % (path, place, e)) from None
    except json.JSONDecodeError as e:
        raise error_type("%s: line %d: not JSON: %s" % (path, e.lineno, e.msg)) from None
