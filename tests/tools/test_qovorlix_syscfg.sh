#!/bin/sh
# qovorlix-syscfg's commands on the default simulated machine (run inside `qosim run`).
# usage: test_qovorlix_syscfg.sh QOVORLIX_SYSCFG LIBRARY QOSIM SOURCE_DIR
set -u
tool=$1 lib=$2 qosim=$3 src=$4
fails=0
fail() { echo "FAIL $*"; fails=$((fails + 1)); }
check() { [ "$2" = "$3" ] || fail "$1: exit $3, expected $2"; }
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
run() { NO_COLOR=1 "$tool" --library "$lib" "$@" >"$out/stdout" 2>"$out/stderr"; }
# Golden output; the library's own trace lines ("[...] item KEL7 left out: ...") are not the host's.
golden() { grep -v '^\[' "$2" | diff -u "$src/tests/tools/golden/$1" - || fail "golden $1"; }
py() { python3 - "$out/stdout" "$@" || { fail "python check"; cat "$out/stdout"; }; }
waitfor() { for _ in $(seq 100); do grep -q "$1" "$2" 2>/dev/null && return 0; sleep 0.1; done; return 1; }

# probe --json: one document with the checks a host relies on.
run --json probe; check probe 0 $?
py <<'PY'
import json, sys
d = json.load(open(sys.argv[1]))
assert d["ok"] and d["releasedTo"] == 0 and all(d["entryPoints"].values()), d
assert d["identity"]["version"] == "23.3.0" and all(d["facts"].values()), d
PY

# list: the table of the default machine, byte for byte.
run list; check list 0 $?
golden syscfg_list.txt "$out/stdout"
run --json list; check list_json 0 $?
py <<'PY'
import json, sys
d = json.load(open(sys.argv[1]))
assert [i["item"] for i in d["items"]] == ["KEL0", "KEL1", "KEL2", "KEL4"], d
assert d["notServed"] == [{"device": "qovorlix3", "item": "KEL3", "pciAddress": "0c:00.0",
                           "reason": "its product is not one the library serves, or its identity could not be read"}], d["notServed"]
assert not any(i["pendingPowerCycle"] for i in d["items"]) and d["items"][1]["device"] == "qovorlix1", d
PY
# Boards the library leaves out for a missing bus property or a missing device interface: the
# list's "not served" section gives the reason, and naming one says why it is unknown.
"$qosim" ctl plug "$src/tests/tools/syscfg_not_served.json" >/dev/null
run list; check list_not_served 0 $?
golden syscfg_not_served.txt "$out/stdout"
run show KEL7; check not_served_item 3 $?
golden syscfg_not_served_item.txt "$out/stderr"
"$qosim" ctl unplug qovorlix7 >/dev/null
"$qosim" ctl unplug qovorlix8 >/dev/null

# show --json: typed values, readable names, unknown tags unnamed, hardware readings read now.
"$qosim" ctl set device=qovorlix1 temperature=61 description="Prüfstand Ω 𝄞" >/dev/null
run --json show KEL1; check show 0 $?
py <<'PY'
import json, sys
props = {p["tag"]: p for p in json.load(open(sys.argv[1]))["properties"]}
assert props["0x0101D000"] == {"tag": "0x0101D000", "name": "item name", "type": "string", "value": "KEL1"}
assert props["0x0102E000"]["value"] == 61.0 and props["0x0102E000"]["name"] == "temperature sensor 0: reading (C)"
assert props["0x01066000"]["value"] is None                    # no lower limit (NaN)
assert props["0x0102A000"]["name"] is None and props["0x0102A000"]["value"] == 0x40000000
assert props["0x01015000"]["value"] == "2025-09-08T16:20:00Z", props["0x01015000"]
assert props["0x1900E000"]["value"] is True and props["0x01003000"]["value"] == 0x3C5D
assert props["0x0100A000"]["value"] == "Prüfstand Ω 𝄞", props["0x0100A000"]   # UTF-8 both ways
PY
run show KEL1
grep -q '^0x0100A000  description  *string  *"Prüfstand Ω 𝄞"$' "$out/stdout" || fail "show text: non-ASCII"

# refresh: synchronous re-reads the board; asynchronous answers "refresh pending", then the notice.
"$qosim" ctl set device=qovorlix0 temperature=71 >/dev/null
run --json refresh KEL0; check refresh 0 $?
py <<'PY'
import json, sys
d = json.load(open(sys.argv[1]))
t = {p["tag"]: p["value"] for p in d["properties"]}
assert d["result"] == "0x00000000" and t["0x0102E000"] == 71.0 and t["0x01061000"] == 2, d
assert "0x0101D000" not in t     # only the hardware readings
names = {p["tag"]: p["name"] for p in d["properties"]}
assert names["0x01063001"] == "fan 1: speed (rpm)" and t["0x01063001"] == 2380, names
PY
"$qosim" ctl set device=qovorlix0 temperature=73 >/dev/null
run --json refresh --async KEL0; check refresh_async 0 $?
py <<'PY'
import json, sys
d = json.load(open(sys.argv[1]))
t = {p["tag"]: p["value"] for p in d["properties"]}
assert d["result"] == "0x80040377" and d["meaning"] == "refresh pending" and d["noticeMs"] is not None, d
assert t["0x0102E000"] == 73.0, t
PY

# A temperature sensor that does not answer: show still shows the board (exit 0, a note);
# refresh shows what it could read and fails (exit 1; --json "complete": false).
"$qosim" ctl inject target=qovorlix0 command=0x80200405 errno=5 count=-1 >/dev/null
run show KEL0; check show_partial 0 $?
grep -q "some hardware readings of KEL0 cannot be read now: 0x00000001 (partly done)" "$out/stderr" || fail "show_partial: $(cat "$out/stderr")"
run --json refresh KEL0; check refresh_partial 1 $?
py <<'PY'
import json, sys
d = json.load(open(sys.argv[1]))
tags = {p["tag"] for p in d["properties"]}
assert d["complete"] is False and d["result"] == "0x00000001" and "0x0102E000" not in tags, d
assert "0x01063000" in tags     # the fans still answered
PY
run refresh KEL0; check refresh_partial_text 1 $?
golden syscfg_refresh_partial.txt "$out/stderr"
"$qosim" ctl inject target=qovorlix0 command=0x80200405 errno=5 count=-1 >/dev/null
run --json refresh --async KEL0; check refresh_partial_async 1 $?
py <<'PY'
import json, sys
d = json.load(open(sys.argv[1]))
assert d["complete"] is False and d["failedReadings"] == ["temperature sensor 0"] and d["exitCode"] == 1, d
assert "temperature sensor 0: read failed" in d["error"], d
PY
"$qosim" ctl clear-responses >/dev/null

# diag: passes; a board reporting a failed self-test fails with exit 1.
run diag KEL0; check diag 0 $?
grep -q "passed (0x00000000 (success))" "$out/stdout" || fail "diag output: $(cat "$out/stdout")"
"$qosim" ctl set device=qovorlix2 diagnostic=0 >/dev/null
run diag KEL2; check diag_failed 1 $?
grep -q "FAILED (0x80004005 (unspecified failure))" "$out/stdout" || fail "diag failed output: $(cat "$out/stdout")"
"$qosim" ctl set device=qovorlix2 diagnostic=1 >/dev/null

# Unknown items: exit 3, the message names the boards; --json adds an error document.
for cmd in "show KEL9" "refresh KEL9" "diag KEL9"; do
  run --json $cmd; check "$cmd" 3 $?
  py <<'PY'
import json, sys
d = json.load(open(sys.argv[1]))    # exactly one document
assert d == {"error": 'unknown item "KEL9"; the boards are KEL0, KEL1, KEL2, KEL4', "exitCode": 3}, d
PY
done
# Item names that are not UTF-8 (stray byte, overlong, surrogate, beyond U+10FFFF, cut short).
for name in 'KEL\377' '\300\200' '\355\240\200' '\364\220\200\200' 'KEL\342\202'; do
  run show "$(printf "$name")"; check "bad_utf8 $name" 2 $?
done
# The library named by the environment when --library is not given.
QOVORLIX_LIBRARY=$lib "$tool" diag KEL0 >/dev/null 2>&1; check library_from_environment 0 $?

# firmware: images that cannot be used (exit 2), a good update, a failing one, a busy board.
head -c 4096 /dev/urandom >"$out/image.zip"
cp "$out/image.zip" "$out/image.bin"
: >"$out/empty.bin"
run firmware KEL2 "$out/none.zip"; check image_missing 2 $?
# An image the board's pattern ("*.zip") does not take is refused before anything is written.
run firmware KEL2 "$out/image.bin"; check image_pattern 2 $?
grep -q 'the image image.bin does not match the image pattern "\*.zip" of KEL2' "$out/stderr" || fail "pattern: $(cat "$out/stderr")"
"$qosim" ctl firmware-progress device=KEL2 | grep -q '"status": -304425' || fail "pattern: an update was started"
cp "$out/empty.bin" "$out/empty.zip"
run firmware KEL2 "$out/empty.zip"; check image_empty 2 $?
grep -q "is empty" "$out/stderr" || fail "empty image message"
run firmware KEL2 "$out"; check image_directory 2 $?
run firmware KEL9 "$out/image.zip"; check firmware_unknown 3 $?
run --json firmware qovorlix2 "$out/image.zip"; check firmware 0 $?
py <<'PY'
import json, sys
lines = [json.loads(l) for l in open(sys.argv[1])]    # JSON lines: started, progress..., ended
assert [l["event"] for l in lines][0] == "started" and lines[-1]["event"] == "ended", lines
assert all("time" in l for l in lines) and lines[1]["event"] == "progress", lines
d = lines[-1]
assert d["succeeded"] and d["percent"] == 100 and d["size"] == 4096 and d["image"] == "image.zip", d
assert d["pendingPowerCycle"] and d["item"] == "KEL2" and "exitCode" not in d, d
PY
# The list tells that the written image waits for a power cycle, until the board is cycled.
run list; check list_pending 0 $?
grep -q '^KEL2 .* (pending power cycle)  none$' "$out/stdout" || fail "pending power cycle: $(cat "$out/stdout")"
"$qosim" ctl power-cycle qovorlix2 >/dev/null
run --json list
py <<'PY'
import json, sys
assert not any(i["pendingPowerCycle"] for i in json.load(open(sys.argv[1]))["items"])
PY
"$qosim" ctl firmware-fault device=KEL2 status=-52040 atPercent=40 >/dev/null
run firmware KEL2 "$out/image.zip"; check firmware_fault 1 $?
grep -q "firmware update of KEL2: failed (state 5, 40%, Error: -52040)" "$out/stdout" || fail "fault: $(cat "$out/stdout")"
# A second update while one runs is refused (exit 4); Ctrl-C waits for the write to end (130).
"$qosim" ctl firmware-config device=KEL2 durationMs=2000 >/dev/null
"$tool" --library "$lib" --json firmware KEL2 "$out/image.zip" >"$out/first" 2>&1 &
pid=$!
for _ in $(seq 50); do "$qosim" ctl firmware-progress device=KEL2 | grep -q '"busy": true' && break; sleep 0.1; done
run firmware KEL2 "$out/image.zip"; check firmware_busy 4 $?
grep -q "a firmware update already runs on KEL2" "$out/stderr" || fail "busy message: $(cat "$out/stderr")"
kill -INT $pid; wait $pid; check firmware_interrupted 130 $?
python3 -c 'import json,sys; d=[json.loads(l) for l in open(sys.argv[1])][-1]; assert d["interrupted"] and d["succeeded"] and d["exitCode"] == 130, d' "$out/first" \
  || fail "interrupted update: $(cat "$out/first")"

# watch: a board plugged and unplugged is reported once each; SIGTERM ends it with 143.
"$tool" --library "$lib" --json watch >"$out/watch" 2>"$out/watch.err" &
pid=$!
waitfor '"watching"' "$out/watch" || fail "watch did not start"
"$qosim" ctl plug "$src/sim/boards/hotplug-vx210.json" >/dev/null
waitfor '"arrived"' "$out/watch" || fail "no arrival"
"$qosim" ctl unplug qovorlix5 >/dev/null
waitfor '"removed"' "$out/watch" || fail "no removal"
sleep 0.5
kill -TERM $pid; wait $pid; check watch 143 $?
python3 - "$out/watch" <<'PY' || { fail "watch output"; cat "$out/watch"; }
import json, sys
docs = [json.loads(l) for l in open(sys.argv[1])]
events = [(d["event"], d.get("items")) for d in docs]
assert events == [("watching", ["KEL0", "KEL1", "KEL2", "KEL4"]), ("arrived", ["KEL5"]),
                  ("removed", ["KEL5"]), ("stopped", None)], events
assert all(d["time"].endswith("Z") and d["time"][10] == "T" for d in docs), docs
assert docs[-1]["reason"] == "SIGTERM" and docs[-1]["exitCode"] == 143 and docs[-1]["events"] == 2, docs[-1]
PY
# watch --count ends after that many events (status 0), --timeout after that many seconds.
"$tool" --library "$lib" watch --count 1 >"$out/watch" 2>&1 &
pid=$!
waitfor 'watching' "$out/watch" || fail "watch --count did not start"
"$qosim" ctl plug "$src/sim/boards/hotplug-vx210.json" >/dev/null
wait $pid; check watch_count 0 $?
grep -q "arrived  KEL5" "$out/watch" && grep -q "^1 event: no longer watching" "$out/watch" || fail "watch --count: $(cat "$out/watch")"
"$qosim" ctl unplug qovorlix5 >/dev/null
run --json watch --timeout 0.5; check watch_timeout 0 $?
python3 -c 'import json,sys; d=[json.loads(l) for l in open(sys.argv[1])]; assert d[-1]["reason"] == "timeout" and len(d) == 2, d' "$out/stdout" \
  || fail "watch --timeout: $(cat "$out/stdout")"

# No library: exit 1. A machine without boards: an empty list, and items are unknown.
"$tool" --library /nonexistent.so list 2>"$out/stderr"; check no_library 1 $?
grep -q "cannot load /nonexistent.so" "$out/stderr" || fail "no library message"
for d in qovorlix0 qovorlix1 qovorlix2 qovorlix3 qovorlix4; do "$qosim" ctl unplug $d >/dev/null; done
run list; check empty_list 0 $?
[ "$(cat "$out/stdout")" = "no boards" ] || fail "empty list: $(cat "$out/stdout")"
run show KEL0; check empty_show 3 $?

echo "$fails failure(s)"
[ $fails -eq 0 ]
