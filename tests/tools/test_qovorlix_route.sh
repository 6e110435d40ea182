#!/bin/sh
# qovorlix-route's commands on the default simulated machine (run inside `qosim run`).
# usage: test_qovorlix_route.sh QOVORLIX_ROUTE LIBRARY QOSIM
set -u
tool=$1 lib=$2 qosim=$3
fails=0
check() { # NAME EXPECTED-RC ACTUAL-RC
  if [ "$2" != "$3" ]; then echo "FAIL $1: exit $3, expected $2"; fails=$((fails + 1)); fi
}
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
run() { "$tool" --library "$lib" "$@" >"$out/stdout" 2>"$out/stderr"; }

# terminals --json: every terminal of vorlix-matrix-a with its attributes; a filter narrows it.
run --json terminals qovorlix1; check terminals 0 $?
python3 - "$out/stdout" <<'PY' || fails=$((fails + 1))
import json, sys
doc = json.load(open(sys.argv[1]))
names = {t["name"]: t for t in doc["terminals"]}
assert doc["count"] == 23 == len(doc["terminals"]), doc["count"]
f = names["Front0"]
assert f["isExternal"] is True and f["id"] != 0 and f["canonicalName"] == "Front0", f
assert names["FpgaIn3"]["isExternal"] is False, names["FpgaIn3"]
PY
run --json terminals qovorlix1 --where isExternal=true; check terminals_where 0 $?
python3 -c 'import json,sys; d=json.load(open(sys.argv[1])); assert 0 < d["count"] < 23 and all(t["isExternal"] for t in d["terminals"]), d["count"]' "$out/stdout" || fails=$((fails + 1))

# route: calculated, reserved, programmed; the path by name, the ticket known to the driver.
run --json route qovorlix1 --from Front0 --to fpgain3; check route 0 $?
python3 -c 'import json,sys; d=json.load(open(sys.argv[1])); assert d["path"] == ["Front0","MuxA","MuxB","FpgaIn3"] and d["ticket"] > 0, d' "$out/stdout" || fails=$((fails + 1))

# probe --json: one document, the demotion included (the demote command's output kept out).
run --json probe --device qovorlix1 --from Front0 --to FpgaIn3 --demote "$qosim ctl demote device=qovorlix1 ticket={ticket}"
check probe 0 $?
python3 -c 'import json,sys; d=json.load(open(sys.argv[1])); assert d["ok"] and d["path"][-1] == "FpgaIn3" and d["demotion"]["reason"] == 101, d' "$out/stdout" || fails=$((fails + 1))

# route --dot -: Graphviz with the path's edges.
run route qovorlix1 --from Front0 --to FpgaIn3 --dot -; check route_dot 0 $?
grep -q '^digraph' "$out/stdout" && grep -q '"MuxA" -> "MuxB"' "$out/stdout" || { echo "FAIL route_dot"; cat "$out/stdout"; fails=$((fails + 1)); }

# Unknown device and terminal: exit 3 with a message naming them; bad usage: 2.
run terminals qovorlix99; check unknown_device 3 $?
grep -q 'unknown device "qovorlix99"' "$out/stderr" || { echo "FAIL unknown_device message"; fails=$((fails + 1)); }
run route qovorlix1 --from Front0 --to NoSuchTerminal; check unknown_terminal 3 $?
grep -q 'NoSuchTerminal' "$out/stderr" || { echo "FAIL unknown_terminal message"; cat "$out/stderr"; fails=$((fails + 1)); }
run route qovorlix1 --from Front0; check usage 2 $?
"$tool" --library /nonexistent.so terminals qovorlix1 2>"$out/stderr"; check no_library 1 $?
QOVORLIX_LIBRARY=$lib "$tool" terminals qovorlix1 >/dev/null 2>&1; check library_from_environment 0 $?
run release qovorlix1 123456; check release_unknown 3 $?

# route --hold keeps the route until SIGINT, then releases it: exit 130, no route left.
"$tool" --library "$lib" --json route qovorlix1 --from Front0 --to FpgaIn3 --hold >"$out/hold" 2>&1 &
pid=$!
for _ in $(seq 50); do grep -q ticket "$out/hold" 2>/dev/null && break; sleep 0.1; done
ticket=$(python3 -c 'import json,sys; print(json.loads(open(sys.argv[1]).readline())["ticket"])' "$out/hold")
"$qosim" ctl routes device=qovorlix1 | grep -q "\"ticket\": *$ticket[,}]\?$" || { echo "FAIL hold: route $ticket not in the driver"; fails=$((fails + 1)); }
# watch-demotions: its own session's demotions until SIGTERM (exit 143). The held route's
# demotion goes to the session that made it.
"$tool" --library "$lib" watch-demotions qovorlix1 >"$out/watch" 2>&1 &
wpid=$!
for _ in $(seq 50); do grep -q watching "$out/watch" 2>/dev/null && break; sleep 0.1; done
"$qosim" ctl demote device=qovorlix1 ticket="$ticket" >/dev/null
for _ in $(seq 50); do grep -q '"demotion":1' "$out/hold" 2>/dev/null && break; sleep 0.1; done
grep -q '"demotion":1' "$out/hold" || { echo "FAIL hold: no demotion printed"; cat "$out/hold"; fails=$((fails + 1)); }
grep -q "\"event\":\"demotion\".*\"ticket\":$ticket" "$out/hold" || { echo "FAIL hold: the demotion does not name ticket $ticket"; cat "$out/hold"; fails=$((fails + 1)); }
# A demotion of every route of the device reaches every subscribed session, the watcher's too.
"$qosim" ctl demote device=qovorlix1 >/dev/null
for _ in $(seq 50); do grep -q 'demotion 1:' "$out/watch" 2>/dev/null && break; sleep 0.1; done
grep -q "demotion 1: this session's reservations were withdrawn; it holds no route (reason 101)" "$out/watch" || { echo "FAIL watch: no demotion"; cat "$out/watch"; fails=$((fails + 1)); }
kill -INT $pid; wait $pid; check hold_interrupted 130 $?
kill -TERM $wpid; wait $wpid; check watch_terminated 143 $?
grep -q 'terminated: session closed' "$out/watch" || { echo "FAIL watch output"; cat "$out/watch"; fails=$((fails + 1)); }
"$qosim" ctl routes device=qovorlix1 | grep -q "\"ticket\": *$ticket[,}]\?$" && { echo "FAIL hold: route $ticket left behind"; fails=$((fails + 1)); }

# release: a route held by another running process is released by ticket; then it is unknown.
"$tool" --library "$lib" --json route qovorlix1 --from Front1 --to FpgaIn3 --hold >"$out/hold2" 2>&1 &
pid=$!
for _ in $(seq 50); do grep -q ticket "$out/hold2" 2>/dev/null && break; sleep 0.1; done
ticket=$(python3 -c 'import json,sys; print(json.loads(open(sys.argv[1]).readline())["ticket"])' "$out/hold2")
run --json release qovorlix1 "$ticket"; check release_held 0 $?
grep -q '"released":true' "$out/stdout" || { echo "FAIL release output"; cat "$out/stdout"; fails=$((fails + 1)); }
"$qosim" ctl routes device=qovorlix1 | grep -q "\"ticket\": *$ticket[,}]\?$" && { echo "FAIL release: route $ticket left"; fails=$((fails + 1)); }
run release qovorlix1 "$ticket"; check release_again 3 $?
kill -INT $pid; wait $pid; check hold2_interrupted 130 $?
tail -n1 "$out/hold2" | python3 -c 'import json,sys; d=json.loads(sys.stdin.read()); assert d["event"] == "end" and d["signal"] == "SIGINT" and d["exitCode"] == 130, d' || fails=$((fails + 1))

# The hostile invocations and the golden reasons (a table of their own).
python3 "$(dirname "$0")/route_hostile.py" "$tool" "$lib" "$qosim" || fails=$((fails + 1))

echo "$fails failure(s)"
[ $fails -eq 0 ]
