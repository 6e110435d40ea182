#!/usr/bin/env python3
"""qosim's command line against hostile and ordinary invocations, from outside any machine and
from a second terminal into a machine already running (as root; the non-root rows drop to
nobody with setpriv).

Each row: arguments, expected exit status, texts the output (stdout + stderr) must hold, and
texts it must not. Output must never hold a byte that is not UTF-8 (arguments that are not are
shown escaped) and no row may end by a signal.

usage: test_qosim_command_line.py QOSIM SOURCE_DIR
"""
import json
import os
import re
import socket
import subprocess
import sys
import time

QOSIM = sys.argv[1]
SOURCE = sys.argv[2]
FAILURES = []
NOBODY = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]


def run(args, prefix=(), env=None):
    p = subprocess.run(list(prefix) + [QOSIM] + args, capture_output=True, env=env, timeout=60)
    return p.returncode, p.stdout + p.stderr


def expect(label, args, status, has=(), lacks=(), prefix=(), env=None):
    code, out = run(args, prefix, env)
    text = out.decode("utf-8", errors="replace")
    problems = []
    if code != status:
        problems.append(f"exit {code}, expected {status}")
    if code < 0:
        problems.append(f"killed by signal {-code}")
    try:
        out.decode("utf-8")
    except UnicodeDecodeError:
        problems.append("output is not UTF-8 (a raw byte passed through)")
    for h in has:
        if h not in text:
            problems.append(f"no {h!r}")
    for l in lacks:
        if l in text:
            problems.append(f"unexpected {l!r}")
    if problems:
        FAILURES.append(f"{label}: {'; '.join(problems)}\n    {args}\n    {text.strip()}")
    return text


def table_outside():
    bad = b"\xff\xfe".decode("utf-8", errors="surrogateescape")
    env_without = {k: v for k, v in os.environ.items() if k != "QOSIM_CONTROL"}
    rows = [
        ("no command", [], 64, ["usage:"], []),
        ("unknown command", ["frobnicate"], 64, ["unknown command 'frobnicate'"], []),
        ("a typo names the nearest", ["rnu"], 64, ["unknown command 'rnu'", "run"], []),
        ("non-UTF-8 command", [bad], 64, ["unknown command '\\xFF\\xFE'"], []),
        ("version", ["--version"], 0, ["qosim 23."], []),
        ("help lists exec and ls", ["--help"], 0, ["qosim exec", "qosim ls", "method=op0405"], []),
        ("run without command", ["run"], 64, ["no command given"], []),
        ("run --boards without file", ["run", "--boards"], 64, ["--boards needs a FILE"], []),
        ("run unknown option", ["run", "--bards=x", "true"], 64, ["unknown option --bards=x"], []),
        ("run non-UTF-8 board file", ["run", "--boards", bad + ".json", "--", "true"], 65,
         ["\\xFF\\xFE.json", "cannot be opened"], []),
        ("check-boards without file", ["check-boards"], 64, ["no FILE given"], []),
        ("check-boards non-UTF-8 name", ["check-boards", bad], 65, ["\\xFF\\xFE"], []),
        ("check-boards unknown option", ["check-boards", "--strikt", "f.json"], 64, ["unknown option --strikt"], []),
        ("ctl without request", ["ctl"], 2, ["no request given"], []),
        ("ctl unknown request", ["ctl", "plgu"], 2, ["unknown request 'plgu'", "plug"], []),
        ("ctl non-UTF-8 request", ["ctl", bad], 2, ["unknown request '\\xFF\\xFE'"], []),
        ("ctl unknown key", ["ctl", "respond", "trget=KEL1"], 2, ['unknown key "trget"', "target"], []),
        ("ctl key of a request without keys", ["ctl", "ping", "x=1"], 2, ["(it takes none)"], []),
        ("ctl unknown method", ["ctl", "respond", "method=op9999"], 2, ['no driver method is named "op9999"'], []),
        ("ctl method and command", ["ctl", "respond", "method=op0405", "command=1"], 2, ["not both"], []),
        ("ctl non-UTF-8 value", ["ctl", "unplug", "device=qo" + bad], 2, ["qo\\xFF\\xFE", "not UTF-8"], []),
        ("ctl bare argument where none fits", ["ctl", "respond", "KEL1"], 2, ['expected KEY=VALUE, got "KEL1"'], []),
        ("ctl --socket and --machine", ["ctl", "--socket", "/x", "--machine", "1", "ping"], 2, ["not both"], []),
        ("ctl to a socket that is not there", ["ctl", "--socket", "/nonexistent/control", "ping"], 3,
         ["cannot connect"], []),
        ("ctl to a machine that is not one", ["ctl", "--machine", "1", "ping"], 3,
         ["no simulated machine 1 is running"], []),
        ("exec without command", ["exec", "--machine", "1"], 64, ["no command given"], []),
        ("exec into a process that is not a machine", ["exec", "--machine", "1", "--", "true"], 69,
         ["no simulated machine 1 is running"], []),
        ("exec with an id that is no number", ["exec", "--machine", "one", "--", "true"], 64,
         ['machine id "one" is not a process id'], []),
        ("exec unknown option", ["exec", "--mashine", "1", "true"], 64, ["unknown option --mashine"], []),
        ("ls takes no argument", ["ls", "x"], 64, ["unexpected argument x"], []),
    ]
    for label, args, status, has, lacks in rows:
        expect(label, args, status, has, lacks, env=env_without)
    # Output that cannot be written: a full disk is a message and 1, a closed pipe a quiet 141.
    boards = os.path.join(SOURCE, "sim", "boards", "default.json")
    for label, args in (("help", ["--help"]), ("version", ["--version"]), ("check-boards", ["check-boards", boards]),
                        ("ls", ["ls"])):
        with open("/dev/full", "wb") as full:
            p = subprocess.run([QOSIM] + args, stdout=full, stderr=subprocess.PIPE, timeout=60)
        if p.returncode != 1 or b"No space left on device" not in p.stderr:
            FAILURES.append(f"{label} >/dev/full: exit {p.returncode}: {p.stderr!r}")
        r, w = os.pipe()
        os.close(r)
        p = subprocess.run([QOSIM] + args, stdout=w, stderr=subprocess.PIPE, timeout=60)
        os.close(w)
        if p.returncode != 141 or b"cannot write" in p.stderr:
            FAILURES.append(f"{label} into a closed pipe: exit {p.returncode}, not a quiet 141: {p.stderr!r}")
    # Only root uses a machine from outside.
    expect("exec as nobody", ["exec", "--", "true"], 77, ["only root"], prefix=NOBODY, env=env_without)
    expect("ls as nobody", ["ls"], 77, ["only root"], prefix=NOBODY, env=env_without)
    expect("ctl as nobody outside a machine", ["ctl", "ping"], 3, ["only root"], prefix=NOBODY, env=env_without)


def raw_request(path, request):
    s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    s.connect(path)
    s.sendall((json.dumps(request) + "\n").encode())
    data = b""
    while not data.endswith(b"\n"):
        chunk = s.recv(65536)
        if not chunk:
            break
        data += chunk
    s.close()
    return json.loads(data)


def table_second_terminal():
    machine = subprocess.Popen([QOSIM, "run", "--", "sleep", "120"], stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    mid = str(machine.pid)
    sock = f"/proc/{mid}/root/dev/.qosim/control"
    for _ in range(200):
        if os.path.exists(sock):
            break
        time.sleep(0.05)
    try:
        listed = expect("ls shows the machine", ["ls"], 0, ["MACHINE", mid, "sleep 120"])
        if not re.search(rf"^{mid}\s+5\s", listed, re.M):
            FAILURES.append(f"ls: machine {mid} does not show its 5 boards:\n{listed}")
        # A command run in it sees its nodes and reaches its control socket.
        expect("exec sees the nodes", ["exec", "--machine", mid, "--", "sh", "-c", "ls /dev/qo; echo $QOSIM_CONTROL"], 0,
               ["qovorlix1\\routing_routing\\0", "/dev/.qosim/control"])
        expect("exec passes the status through", ["exec", "--machine", mid, "--", "sh", "-c", "exit 7"], 7)
        expect("exec of a command not there", ["exec", "--machine", mid, "--", "no-such-command-qosim"], 127,
               ["command not found"])
        expect("ctl from inside through exec", ["exec", "--machine", mid, "--", QOSIM, "ctl", "get", "KEL1"], 0,
               ['"device": "qovorlix1"'])
        # ... and ctl from outside, with the board named both ways and the method by name.
        expect("ctl --machine ping", ["ctl", "--machine", mid, "ping"], 0, [f'"pid": {mid}'])
        expect("ctl respond by method", ["ctl", "--machine", mid, "respond", "target=KEL1", "method=op0405",
                                         "status=-52030", "count=1"], 0, ['"id"'])
        rules = raw_request(sock, {"cmd": "responses"})["rules"]
        if not rules or rules[-1].get("target") != "qovorlix1" or rules[-1].get("status") != -52030:
            FAILURES.append(f"respond target=KEL1 method=op0405: not a rule for qovorlix1: {rules}")
        # method= is the command of that method, as the driver's tables give it.
        log_rule = rules[-1].get("command") if rules else None
        check = subprocess.run([QOSIM, "ctl", "--machine", mid, "respond", "target=KEL1", "command=" + str(log_rule),
                                "status=-52030", "count=1"], capture_output=True)
        if log_rule is None or check.returncode != 0:
            FAILURES.append(f"the command of method op0405 ({log_rule}) is not one the machine takes")
        expect("ctl unplug KEL2 by item name", ["ctl", "--machine", mid, "unplug", "KEL2"], 0)
        expect("ctl unplug it again", ["ctl", "--machine", mid, "unplug", "qovorlix2"], 1, ["not plugged"])
        expect("ctl plug a README-style file", ["ctl", "--machine", mid, "plug",
                                                os.path.join(SOURCE, "sim", "boards", "hotplug-vx210.json")], 0,
               ["qovorlix5"])
        # A process inside the machine is not the machine: the message names the machine's id.
        child = subprocess.run(["pgrep", "-P", mid, "sleep"], capture_output=True, text=True).stdout.split()
        if child:
            expect("exec with the id of a process inside", ["exec", "--machine", child[0], "--", "true"], 69,
                   [f"runs inside simulated machine {mid}"])
        # A second machine beside this one reaches only itself, even without QOSIM_CONTROL.
        expect("ctl inside another machine without QOSIM_CONTROL",
               ["run", "--", "env", "-u", "QOSIM_CONTROL", QOSIM, "ctl", "ping"], 3,
               ["reaches only its own"], [f'"pid": {mid}'])
        # Every request the machine serves is in qosim --help.
        refused = raw_request(sock, {"cmd": "no-such-request"})
        served = re.search(r"\((.*)\)", refused["error"]).group(1).split(", ")
        help_text = run(["--help"])[1].decode()
        for name in served:
            if not re.search(rf"^\s+{re.escape(name)}\s", help_text, re.M):
                FAILURES.append(f"--help does not list the control request {name}")
    finally:
        machine.terminate()
        machine.wait(timeout=30)
    if machine.returncode != 143:
        FAILURES.append(f"the machine's command ended with {machine.returncode}, not 143 (SIGTERM forwarded)")


def main():
    if os.geteuid() != 0:
        print("must run as root (qosim run, qosim exec)")
        return 1
    table_outside()
    table_second_terminal()
    for f in FAILURES:
        print("FAIL " + f)
    print(f"{len(FAILURES)} failures")
    return 1 if FAILURES else 0


if __name__ == "__main__":
    sys.exit(main())
