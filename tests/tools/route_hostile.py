#!/usr/bin/env python3
"""qovorlix-route under hostile invocations, inside the default simulated machine.

usage: route_hostile.py QOVORLIX_ROUTE LIBRARY QOSIM

Each row of CASES runs the host once; how its output is taken decides what is checked:
  text   stdout/stderr kept; the expected exit status and the patterns below
  json   --json: stdout must be exactly one JSON document, {"error", "exitCode"} on failure
         with exitCode equal to the exit status
  full   stdout is /dev/full: a message on stderr and status 1 (a failure that writes nothing
         to stdout keeps its own status)
  pipe   stdout is a pipe already closed by its reader: status 141 and nothing on stderr
Every run also checks that no raw byte that is not UTF-8 reaches stdout or stderr.
The REASONS rows are golden: the whole stderr line a user sees for each routing failure.
"""
import json
import os
import re
import subprocess
import sys
import time

tool, lib, qosim = sys.argv[1:4]
failures = []


def ctl(*words):
    """One qosim control request on the first routing board; its output."""
    argv = [qosim, "ctl", words[0], "device=qovorlix1", *words[1:]]
    return subprocess.run(argv, capture_output=True, check=True).stdout


def driver_faults(*faults):
    """The board's scripted driver answers from now on (none: it answers normally again)."""
    ctl("set", "driverFaults=" + json.dumps(list(faults)))


def run(args, mode="text", env=None):
    argv = [os.fsencode(tool), b"--library", os.fsencode(lib)] + [
        a if isinstance(a, bytes) else a.encode() for a in args]
    environment = dict(os.environ)
    environment.pop("NO_COLOR", None)
    environment.update(env or {})
    if mode == "full":
        with open("/dev/full", "wb") as full:
            p = subprocess.run(argv, stdout=full, stderr=subprocess.PIPE, env=environment)
        return p.returncode, b"", p.stderr
    if mode == "pipe":
        r, w = os.pipe()
        os.close(r)  # the reader is gone before the host writes anything
        p = subprocess.run(argv, stdout=w, stderr=subprocess.PIPE, env=environment)
        os.close(w)
        return p.returncode, b"", p.stderr
    p = subprocess.run(argv, capture_output=True, env=environment)
    return p.returncode, p.stdout, p.stderr


def utf8(data):
    try:
        data.decode("utf-8")
        return True
    except UnicodeDecodeError:
        return False


def check(name, args, mode, rc, out_pattern=None, err_pattern=None, env=None):
    got, out, err = run(args, mode, env)
    problems = []
    if got != rc:
        problems.append(f"exit {got}, expected {rc}")
    if not utf8(out) or not utf8(err):
        problems.append("raw bytes that are not UTF-8 in the output")
    text_out, text_err = out.decode("utf-8", "replace"), err.decode("utf-8", "replace")
    if mode == "json":
        try:
            doc = json.loads(text_out)
        except ValueError as e:
            problems.append(f"stdout is not one JSON document ({e})")
            doc = None
        if doc is not None and rc != 0:
            if not isinstance(doc, dict) or not isinstance(doc.get("error"), str):
                problems.append("no \"error\" text")
            elif doc.get("exitCode") != got:
                problems.append(f"exitCode {doc.get('exitCode')} but status {got}")
            if text_err:
                problems.append("stderr not empty under --json")
        if doc is not None and out_pattern and not re.search(out_pattern, json.dumps(doc)):
            problems.append(f"document lacks /{out_pattern}/")
    elif out_pattern and not re.search(out_pattern, text_out):
        problems.append(f"stdout lacks /{out_pattern}/")
    if mode == "pipe" and text_err:
        problems.append("stderr not empty for a closed pipe")
    if mode == "full" and rc == 1 and "cannot write the output" not in text_err:
        problems.append("no write-failure message")
    if err_pattern and not re.search(err_pattern, text_err):
        problems.append(f"stderr lacks /{err_pattern}/")
    if problems:
        failures.append(name)
        print(f"FAIL {name}: {'; '.join(problems)}\n  stdout: {text_out[:400]!r}\n"
              f"  stderr: {text_err[:400]!r}")


ROUTE = ["route", "qovorlix1", "--from", "Front0", "--to", "FpgaIn3"]
NODE = open(next(
    os.path.join(d, "interfacePath")
    for d in (os.path.join("/proc/driver/qo/qovorlix1/deviceInterfaces", e)
              for e in os.listdir("/proc/driver/qo/qovorlix1/deviceInterfaces"))
    if os.path.basename(d).startswith("routing_routing"))).read().strip("\0\n")

# name, arguments, mode, status, stdout pattern, stderr pattern[, environment]
CASES = [
    # bytes that are not UTF-8, wherever an argument goes
    ("bad_utf8_terminal", ["route", "qovorlix1", "--from", b"Front\xff", "--to", "FpgaIn3"], "text", 3,
     None, r'unknown terminal "Front\\xFF" on qovorlix1 \(nearest: Front0, Front1, Front2\)'),
    ("bad_utf8_terminal_json", ["--json", "route", "qovorlix1", "--from", b"Front\xff", "--to", "FpgaIn3"],
     "json", 3, r"Front\\\\xFF", None),
    ("bad_utf8_destination_json", ["route", "qovorlix1", "--from", "Front0", "--to", b"\xc3(", "--json"],
     "json", 3, r"unknown terminal", None),
    ("bad_utf8_device", ["terminals", b"qovorlix\xff"], "text", 3, None, r'unknown device "qovorlix\\xFF"'),
    ("bad_utf8_device_json", ["--json", "terminals", b"KEL\xfe1"], "json", 3, r"unknown device", None),
    ("bad_utf8_command", [b"rout\xe9"], "text", 2, None, r"unknown command 'rout\\xE9' \(nearest: route\)"),
    ("bad_utf8_command_json", ["--json", b"\xff"], "json", 2, r"unknown command", None),
    ("bad_utf8_where", ["terminals", "qovorlix1", "--where", b"name=\xff"], "text", 0, r"0 of 23 terminals", None),
    ("bad_utf8_attribute_json", ["--json", "terminals", "qovorlix1", "--where", b"na\xffme=x"], "json", 2,
     r"unknown terminal attribute", None),
    ("bad_utf8_library", ["--library", b"/nonexistent/\xff.so", "terminals", "qovorlix1"], "text", 1,
     None, r"cannot load /nonexistent/\\xFF\.so"),
    ("bad_utf8_ticket_json", ["--json", "release", "qovorlix1", b"1\xff"], "json", 2, None, None),
    ("bad_utf8_node_json", ["--json", "terminals", b"/dev/qo/\xff"], "json", 3, r"unknown device", None),
    ("bad_utf8_probe_json", ["--json", "probe", "--device", "qovorlix1", "--from", b"\xff"], "json", 3,
     r'"ok": false', None),
    # standard output full or closed
    ("full_terminals", ["terminals", "qovorlix1"], "full", 1, None, None),
    ("full_terminals_json", ["--json", "terminals", "qovorlix1"], "full", 1, None, None),
    ("full_route", ROUTE, "full", 1, None, None),
    ("full_error_json", ["--json", "terminals", "qovorlix99"], "full", 1, None, None),
    ("full_help", ["--help"], "full", 1, None, None),
    ("full_version", ["--version"], "full", 1, None, None),
    ("full_release", ["release", "qovorlix1", "77777"], "full", 3, None, r"no route with ticket 77777"),
    ("pipe_terminals", ["terminals", "qovorlix1"], "pipe", 141, None, None),
    ("pipe_terminals_json", ["terminals", "qovorlix1", "--json"], "pipe", 141, None, None),
    ("pipe_route_dot", ROUTE + ["--dot", "-"], "pipe", 141, None, None),
    ("pipe_error_json", ["--json", "route", "qovorlix1", "--from", "Nope", "--to", "FpgaIn3"], "pipe", 141,
     None, None),
    ("pipe_watch_json", ["--json", "watch-demotions", "qovorlix1"], "pipe", 141, None, None),
    ("pipe_hold", ROUTE + ["--hold"], "pipe", 141, None, None),
    # every failure under --json is one document with its exit code
    ("json_unknown_terminal", ["--json", "route", "qovorlix1", "--from", "Front0", "--to", "FpgaIn33"],
     "json", 3, r'"nearest": \["FpgaIn3"', None),
    ("json_unknown_device", ["--json", "terminals", "qovorlix99"], "json", 3, r"qovorlix99", None),
    ("json_unknown_device_kel", ["--json", "route", "KEL7", "--from", "Front0", "--to", "FpgaIn3"],
     "json", 3, r"KEL7", None),
    ("json_no_routing", ["--json", "terminals", "KEL0"], "json", 3, r"no routing interface", None),
    ("json_unknown_ticket", ["--json", "release", "qovorlix1", "123456"], "json", 3, r"ticket 123456", None),
    ("json_missing_option", ["--json", "route", "qovorlix1", "--from", "Front0"], "json", 2, r"--to", None),
    ("json_bad_ticket", ["release", "qovorlix1", "many", "--json"], "json", 2, None, None),
    ("json_unknown_command", ["--json", "rotue", "qovorlix1"], "json", 2, r"nearest: route", None),
    ("json_no_command", ["--json"], "json", 2, None, None),
    ("json_bad_color", ["--json", "--color=sometimes", "terminals", "qovorlix1"], "json", 2, r"color", None),
    ("json_no_library", ["--json", "--library", "/nonexistent.so", "terminals", "qovorlix1"], "json", 1,
     r"cannot load", None),
    ("json_unknown_attribute", ["--json", "terminals", "qovorlix1", "--where", "nmae=Front0"], "json", 2,
     r"nearest: name", None),
    ("json_masked", ["--json", "route", "qovorlix1", "--from", "Front3", "--to", "FpgaIn3"], "json", 1,
     r'"reason": "masked"', None),
    ("json_no_path", ["--json", "route", "qovorlix1", "--from", "FpgaIn0", "--to", "Front0"], "json", 1,
     r'"reason": "no path"', None),
    ("json_dot_unwritable", ["--json"] + ROUTE + ["--dot", "/nonexistent/dir/r.dot"], "json", 1,
     r"cannot write /nonexistent/dir/r\.dot", None),
    ("json_route_ok", ["--json"] + ROUTE, "json", 0, r'"path": \["Front0", "MuxA", "MuxB", "FpgaIn3"\]', None),
    # habits: commands and options in any order, both board names and a node path
    ("unknown_command", ["rotue", "qovorlix1"], "text", 2, None, r"^qovorlix-route: unknown command 'rotue' \(nearest: route\)$"),
    ("unknown_command_far", ["frobnicate"], "text", 2, None, r"unknown command 'frobnicate' \(commands: terminals, route"),
    ("help_word", ["help"], "text", 0, r"Subcommands:[\s\S]*watch-demotions", None),
    ("version", ["--version"], "text", 0, r"^qovorlix-route \d+\.\d+\.\d+\n$", None),
    ("options_after", ["terminals", "qovorlix1", "--json", "--color", "never"], "json", 0, r'"count": 23', None),
    ("board_kel", ["terminals", "KEL1"], "text", 0, r"23 of 23 terminals", None),
    ("board_kel_lower", ["--json", "route", "kel1", "--from", "Front0", "--to", "FpgaIn3"], "json", 0,
     r'"device": "qovorlix1"', None),
    ("board_node", ["--json", "terminals", NODE], "json", 0, r'"count": 23', None),
    ("color_always", ["--color=always", "terminals", "qovorlix1"], "text", 0, r"\x1b\[", None),
    ("color_never", ["--color=never", "terminals", "qovorlix1"], "text", 0, r"^(?!.*\x1b)", None),
    ("color_auto_pipe", ["terminals", "qovorlix1"], "text", 0, r"^(?![\s\S]*\x1b)", None, {"NO_COLOR": ""}),
    ("no_color_env", ["terminals", "qovorlix1"], "text", 0, r"^(?![\s\S]*\x1b)", None, {"NO_COLOR": "1"}),
    ("verbose_detail", ["--verbose", "--json", "release", "qovorlix1", "1"], "json", 3, r'"status": -89130', None),
]

for case in CASES:
    check(*case)

# Golden: the reasons a route is refused, as one stderr line each.
REASONS = [
    ("reason_masked", ["route", "qovorlix1", "--from", "Front3", "--to", "FpgaIn3"], 1,
     "qovorlix-route: no route from Front3 to FpgaIn3 on qovorlix1: terminal Front3 is masked out "
     "(the board does not route it)\n"),
    ("reason_masked_destination", ["route", "KEL1", "--from", "MuxB", "--to", "front3"], 1,
     "qovorlix-route: no route from MuxB to front3 on qovorlix1: terminal Front3 is masked out "
     "(the board does not route it)\n"),
    ("reason_no_path", ["route", "qovorlix1", "--from", "FpgaIn0", "--to", "Front0"], 1,
     "qovorlix-route: no route from FpgaIn0 to Front0 on qovorlix1: no path between the two terminals\n"),
    ("reason_unknown", ["route", "qovorlix1", "--from", "TrigBus9", "--to", "FpgaIn3"], 3,
     "qovorlix-route: unknown terminal \"TrigBus9\" on qovorlix1 (nearest: TrigBus0, TrigBus1, TrigBus2)\n"),
    ("reason_unknown_device", ["terminals", "qovorlix9"], 3,
     "qovorlix-route: unknown device \"qovorlix9\" (nearest: qovorlix0, qovorlix1, qovorlix2)\n"),
    ("reason_unknown_ticket", ["release", "KEL1", "424242"], 3,
     "qovorlix-route: no route with ticket 424242 on qovorlix1; a route ends with the process that made it\n"),
]


def golden(name, args, rc, expected):
    got, out, err = run(args)
    if got != rc or err.decode("utf-8", "replace") != expected:
        failures.append(name)
        print(f"FAIL {name}: exit {got} (expected {rc})\n  got:      {err!r}\n  expected: {expected.encode()!r}")


for row in REASONS:
    golden(*row)

# Held by another session: a `route --hold` in the background holds Front0 -> MuxA -> MuxB ->
# FpgaIn3; a second host asking for FpgaIn3 is told who is in the way and how to take it.
holder = subprocess.Popen([tool, "--library", lib, "--json"] + ROUTE + ["--hold"],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE)
start = json.loads(holder.stdout.readline())
if start.get("event") != "start" or not start.get("ticket"):
    failures.append("hold_start")
    print(f"FAIL hold_start: {start}")
golden("reason_held", ["route", "qovorlix1", "--from", "Front1", "--to", "FpgaIn3"], 1,
       "qovorlix-route: no route from Front1 to FpgaIn3 on qovorlix1: terminal MuxA is held by a route "
       "of another session; --ignore-reservations takes it (that route is demoted)\n")
check("json_held", ["--json", "route", "qovorlix1", "--from", "Front1", "--to", "FpgaIn3"], "json", 1,
      r'"reason": "reserved".*"terminal": "MuxA"')
# Nothing was taken from the holder by the explanation.
routes = json.loads(ctl("routes"))
states = {r["ticket"]: r["state"] for r in routes["routes"]}
if states.get(start.get("ticket")) not in ("programmed", "Programmed"):
    failures.append("held_untouched")
    print(f"FAIL held_untouched: {routes}")
# Taking the terminals demotes the holder: its demotion line names its ticket.
check("take_held", ["--json", "route", "qovorlix1", "--from", "Front1", "--to", "FpgaIn3",
                    "--ignore-reservations"], "json", 0, r'"ticket"')
event = json.loads(holder.stdout.readline())
if (event.get("event") != "demotion" or event.get("ticket") != start.get("ticket")
        or event.get("reserved") is not False or not re.match(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z$",
                                                               event.get("time", ""))):
    failures.append("hold_demotion")
    print(f"FAIL hold_demotion: {event}")
holder.terminate()
end = json.loads(holder.stdout.readline())
holder.wait()
if holder.returncode != 143 or end.get("event") != "end" or end.get("exitCode") != 143 \
        or end.get("signal") != "SIGTERM" or holder.stdout.read() != b"":
    failures.append("hold_end")
    print(f"FAIL hold_end: status {holder.returncode}, {end}")

# A held route whose reader goes away: the next demotion line cannot be written, and the host
# ends quietly with 141 after giving the route back.
r, w = os.pipe()
holder = subprocess.Popen([tool, "--library", lib] + ROUTE + ["--hold"], stdout=w, stderr=subprocess.PIPE)
os.close(w)
reader = os.fdopen(r, "rb")
first = reader.readline()
ticket = int(first.split()[1])
reader.close()
ctl("demote", f"ticket={ticket}")
try:
    holder.wait(timeout=10)
except subprocess.TimeoutExpired:
    holder.kill()
    holder.wait()
err = holder.stderr.read()
routes = json.loads(ctl("routes"))
if holder.returncode != 141 or err or any(r["ticket"] == ticket for r in routes["routes"]):
    failures.append("hold_reader_gone")
    print(f"FAIL hold_reader_gone: status {holder.returncode}, stderr {err!r}, routes {routes['routes']}")
check("full_hold", ROUTE + ["--hold"], "full", 1, None, None)
check("hold_dot_stdout", ROUTE + ["--hold", "--dot", "-"], "pipe", 141, None, None)

# A reservation the driver refuses as a conflict names the holders it reports.
driver_faults({"method": "reserveRoute", "status": -89137})
check("reserve_conflict", ROUTE, "text", 1, None,
      r"^qovorlix-route: cannot reserve the route from Front0 to FpgaIn3 on qovorlix1: its terminals are "
      r"held by a route of another session; --ignore-reservations takes them \(that route is demoted\)\n$")
check("reserve_conflict_json", ["--json"] + ROUTE, "json", 1, r'"status": -89137')
# A driver status is given its meaning; where in the library it was raised only with --verbose.
driver_faults({"method": "programRoute", "status": -52024})
golden("driver_status", ROUTE, 1,
       "qovorlix-route: programming the route from Front0 to FpgaIn3 on qovorlix1 failed: -52024 (I/O error)\n")
check("driver_status_verbose", ["--verbose"] + ROUTE, "text", 1, None,
      r'failed: -52024 \(I/O error\); detail \{.*"file":"[^"]*tInterfaceProxy_routing".*"line":180')
check("driver_status_verbose_json", ["--verbose", "--json"] + ROUTE, "json", 1,
      r'"detail": \{.*"line": 180.*"error": "programming the route [^"]*\(I/O error\)", "exitCode": 1')
check("driver_status_json", ["--json"] + ROUTE, "json", 1, r'^(?!.*"detail").*"meaning": "I/O error"')
# A calculation the transport fails is that failure, not "no path".
driver_faults({"method": "calculateRoute", "errno": 5})
golden("calculate_transport", ROUTE, 1,
       "qovorlix-route: calculating the route from Front0 to FpgaIn3 failed: -52024 (I/O error)\n")
driver_faults()

# Bash completion: commands, options of the command, board names from the driver's tree.
completion = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "completion",
                          "qovorlix-route.bash")
boards = " ".join(f"KEL{b[8:]} {b}" for b in sorted(os.listdir("/proc/driver/qo")) if b.startswith("qovorlix"))
COMPLETIONS = [
    ("rou", "route"),
    ("--json wat", "watch-demotions"),
    ("route --ign", "--ignore-reservations"),
    ("--color ne", "never"),
    ("terminals ''", boards),
    ("route --json KEL", " ".join(w for w in boards.split() if w.startswith("KEL"))),
    ("release qovorlix1 ''", ""),
]
for line, expected in COMPLETIONS:
    script = (f'source "$1"; COMP_WORDS=(qovorlix-route {line}); COMP_CWORD=$((${{#COMP_WORDS[@]}} - 1)); '
              '_qovorlix_route; echo "${COMPREPLY[*]}"')
    got = subprocess.run(["bash", "-c", script, "bash", completion], capture_output=True, text=True)
    if got.returncode != 0 or sorted(got.stdout.split()) != sorted(expected.split()):
        failures.append("completion")
        print(f"FAIL completion of {line!r}: {got.stdout.strip()!r} {got.stderr.strip()!r}, expected {expected!r}")

print(f"{len(failures)} failure(s) of {len(CASES) + len(REASONS) + len(COMPLETIONS) + 17} checks")
sys.exit(1 if failures else 0)
