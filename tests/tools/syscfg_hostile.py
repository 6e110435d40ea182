#!/usr/bin/env python3
"""qovorlix-syscfg under hostile invocations, on the default simulated machine (run inside
`qosim run`): arguments that are not UTF-8, stdout on a full disk or a closed pipe, every --json
failure as one parsed document whose exitCode is the exit status, typos, both board names.

usage: syscfg_hostile.py QOVORLIX_SYSCFG LIBRARY QOSIM
"""
import json
import os
import pty
import select
import shutil
import subprocess
import sys

import tempfile

tool, lib, qosim = sys.argv[1], sys.argv[2], sys.argv[3]
work = tempfile.mkdtemp(prefix="syscfg-hostile-")
image_zip = os.path.join(work, "image.zip").encode()
with open(image_zip, "wb") as f:
    f.write(b"PK\x03\x04" + bytes(4092))
bad_name_zip = os.path.join(work.encode(), b"x\xff.zip")
with open(bad_name_zip, "wb") as f:
    f.write(b"PK\x03\x04" + bytes(60))
with open(os.path.join(work, "x.bin"), "wb") as f:
    f.write(b"not an archive")
env = dict(os.environ, NO_COLOR="1")
fails = []


def run(args, stdout=subprocess.PIPE, stdin=subprocess.DEVNULL):
    cmd = [tool.encode(), b"--library", lib.encode()] + [a if isinstance(a, bytes) else a.encode() for a in args]
    p = subprocess.run(cmd, stdout=stdout, stderr=subprocess.PIPE, stdin=stdin, env=env, timeout=60)
    return p.returncode, (p.stdout or b""), p.stderr


def check(name, ok, detail=""):
    if not ok:
        fails.append(f"{name}: {detail}")


# (name, arguments, expected exit, text the message must hold). Each runs three ways: text, with
# --json (one document on stdout, exitCode == status), and with stdout on /dev/full.
FAILURES = [
    ("non-UTF-8 item", ["show", b"KEL\xff"], 2, "not valid UTF-8"),
    ("non-UTF-8 overlong item", ["diag", b"\xc0\x80"], 2, "not valid UTF-8"),
    ("non-UTF-8 image name", ["firmware", "KEL2", bad_name_zip], 2, "\\xFF"),
    ("non-UTF-8 missing image", ["firmware", "KEL2", b"/nonexistent/x\xff.zip"], 2, "\\xFF"),
    ("image against the pattern", ["firmware", "KEL2", os.path.join(work, "x.bin").encode()], 2,
     'does not match the image pattern "*.zip" of KEL2'),
    ("unknown command", ["lsit"], 2, "unknown command 'lsit' (nearest: list)"),
    ("unknown command non-UTF-8", [b"sh\xffow", "KEL0"], 2, "unknown command 'sh\\xFFow'"),
    ("no command", [], 2, "no command given; the commands are list, show,"),
    ("unknown option", ["list", "--frobnicate"], 2, "--frobnicate"),
    ("missing item", ["show"], 2, "item"),
    ("bad colour", ["--color=purple", "list"], 2, "purple"),
    ("bad watch count", ["watch", "--count", "many"], 2, "many"),
    ("unknown item", ["show", "KEL9"], 3, 'unknown item "KEL9"; the boards are KEL0, KEL1, KEL2, KEL4'),
    ("unknown driver name", ["refresh", "qovorlix9"], 3, 'unknown item "KEL9"'),
    ("not served", ["diag", "KEL3"], 3, "the driver has the board qovorlix3, but the library does not serve it"),
    ("not served, driver name", ["show", "qovorlix3"], 3, "does not serve it"),
    ("no library", ["--library", "/nonexistent/lib.so", "list"], 1, "cannot load /nonexistent/lib.so"),
    ("failed diagnostic", ["diag", "KEL2"], 1, "FAILED"),
]

subprocess.run([qosim, "ctl", "set", "device=qovorlix2", "diagnostic=0"], check=True, stdout=subprocess.DEVNULL)
for name, args, code, text in FAILURES:
    rc, out, err = run(args)
    check(name, rc == code, f"exit {rc}, expected {code}; stderr {err!r}")
    where = err.decode("utf-8", "replace") + out.decode("utf-8", "replace")
    check(name, text in where, f"{text!r} not in {where!r}")
    check(name + " (stderr UTF-8)", err.decode("utf-8", "strict") is not None)
    # --json after the command as well as before it.
    for placed in (["--json"] + args, args + ["--json"]):
        rc, out, err = run(placed)
        try:
            doc = json.loads(out.decode("utf-8"))  # exactly one document, valid UTF-8
            check(name + " --json", doc["exitCode"] == rc == code and isinstance(doc["error"], str),
                  f"exit {rc}, document {doc}")
        except (ValueError, KeyError, UnicodeDecodeError) as e:
            check(name + " --json", False, f"{e}: {out!r}")
    with open("/dev/full", "wb") as full:
        rc, _, err = run(["--json"] + args, stdout=full)
    check(name + " >/dev/full", rc == 1 and b"cannot write the output" in err, f"exit {rc}, {err!r}")
subprocess.run([qosim, "ctl", "set", "device=qovorlix2", "diagnostic=1"], check=True, stdout=subprocess.DEVNULL)

# Commands that succeed: on a full disk status 1 with a message, on a closed pipe a quiet 141,
# whether or not --json; never a crash.
SUCCEEDING = [["list"], ["show", "KEL0"], ["show", "qovorlix1"], ["diag", "KEL0"], ["refresh", "KEL1"],
              ["probe"], ["--help"], ["--version"], ["watch", "--count", "0", "--timeout", "0.3"]]
for args in SUCCEEDING:
    for extra in ([], ["--json"]):
        if args[0].startswith("--") and extra:
            continue
        name = " ".join(extra + args)
        rc, out, err = run(extra + args)
        check(name, rc == 0 and out and not err, f"exit {rc}, stderr {err!r}")
        with open("/dev/full", "wb") as full:
            rc, _, err = run(extra + args, stdout=full)
        check(name + " >/dev/full", rc == 1 and b"cannot write the output: No space left on device" in err,
              f"exit {rc}, {err!r}")
        r, w = os.pipe()
        os.close(r)
        with os.fdopen(w, "wb") as closed:
            rc, _, err = run(extra + args, stdout=closed)
        check(name + " | closed pipe", rc == 141 and err == b"", f"exit {rc}, {err!r}")

# Both board names, any case, mean the same board.
for spelled in ["KEL1", "qovorlix1", "kel1", "QOVORLIX1"]:
    rc, out, err = run(["--json", "show", spelled])
    ok = rc == 0 and json.loads(out)["item"] == "KEL1"
    check("board name " + spelled, ok, f"exit {rc}, {err!r}")

# --version names the host and its version; the options may follow the command.
rc, out, _ = run(["--version"])
check("--version", rc == 0 and out.startswith(b"qovorlix-syscfg "), repr(out))
rc, out, _ = run(["list", "--json", "--color=never"])
check("options after the command", rc == 0 and "items" in json.loads(out), repr(out))
rc, out, _ = run(["--color=always", "list"])
check("--color=always", rc == 0 and b"\033[1m" in out, repr(out[:40]))
rc, out, _ = run(["list"])
check("NO_COLOR", rc == 0 and b"\033[" not in out, repr(out[:40]))



# On a terminal the firmware write waits for a confirmation: "n" writes nothing (exit 1), "y"
# writes; --yes does not ask.
def run_tty(args, answer):
    pid, fd = pty.fork()
    if pid == 0:
        os.execve(tool, [tool, "--library", lib] + args, env)
    output, sent = b"", False
    while True:
        ready, _, _ = select.select([fd], [], [], 20)
        if not ready:
            break
        try:
            data = os.read(fd, 4096)
        except OSError:
            break
        if not data:
            break
        output += data
        if not sent and b"[y/N]" in output:
            os.write(fd, answer)
            sent = True
    _, status = os.waitpid(pid, 0)
    os.close(fd)
    return os.waitstatus_to_exitcode(status), output


def progress_status():
    p = subprocess.run([qosim, "ctl", "firmware-progress", "device=KEL2"], stdout=subprocess.PIPE, check=True)
    return json.loads(p.stdout)["status"]


for answer, code, text in [(b"n\n", 1, b"was not confirmed; nothing was written"), (b"\n", 1, b"not confirmed"),
                           (b"y\n", 0, b"loaded at the board's next power cycle")]:
    before = progress_status()
    rc, output = run_tty(["firmware", "KEL2", image_zip.decode()], answer)
    check(f"confirmation {answer!r}", rc == code and b"Write image.zip (4096 bytes) to KEL2" in output and text in output,
          f"exit {rc}, {output!r}")
    if code != 0:
        check(f"confirmation {answer!r}: nothing written", progress_status() == before == -304425)
rc, output = run_tty(["firmware", "--yes", "KEL2", image_zip.decode()], b"n\n")
check("--yes", rc == 0 and b"[y/N]" not in output, f"exit {rc}, {output!r}")

shutil.rmtree(work)
for f in fails:
    print("FAIL", f)
print(f"{len(fails)} failure(s)")
sys.exit(1 if fails else 0)
