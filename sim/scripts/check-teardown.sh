#!/usr/bin/env bash
# `qosim run` leaves nothing behind on the real machine: the mount table, /dev and /proc/driver
# are the same before and after, whether the command succeeds, fails, leaves a process holding a
# node open, or the launcher is interrupted.
set -euo pipefail
qosim=${1:?usage: check-teardown.sh PATH-TO-QOSIM}
node='/dev/qo/qovorlix0\qovorlixtarrowk_vorlixtarrow\0'

state() {
  awk '{print $5, $9}' /proc/self/mountinfo | sort
  ls -A /dev /proc/driver | sort
  ls -A /tmp | grep -i qosim || true
}
before=$(state)
fail() { echo "FAIL: $*" >&2; exit 1; }

"$qosim" run -- true || fail "qosim run -- true returned $?"
set +e
"$qosim" run -- sh -c 'exit 3'; rc=$?
set -e
[ "$rc" -eq 3 ] || fail "exit status 3 came back as $rc"
"$qosim" run -- sh -c '"$0" ctl unplug qovorlix2 >/dev/null && "$0" ctl devqo-remove >/dev/null' "$qosim" \
  || fail "control commands inside the machine failed"
# A process that outlives the command and keeps a node open must not keep the launcher alive.
start=$(date +%s)
"$qosim" run -- sh -c "sleep 3 < '$node' >/dev/null 2>&1 & sleep 0.2" || fail "background holder run failed"
[ $(( $(date +%s) - start )) -lt 10 ] || fail "teardown waited for a process holding a node open"
# Interrupting the launcher ends the command and still tears everything down.
"$qosim" run -- sleep 30 &
pid=$!
sleep 0.5
kill -TERM "$pid"
set +e
wait "$pid"; rc=$?
set -e
[ "$rc" -eq $((128 + 15)) ] || fail "interrupted run returned $rc, expected 143"
sleep 0.2
after=$(state)
if [ "$before" != "$after" ]; then
  diff <(echo "$before") <(echo "$after") >&2 || true
  fail "the real machine changed"
fi
[ ! -e /dev/qo ] && [ ! -e /proc/driver/qo ] && [ ! -e /dev/.qosim ] || fail "simulator files visible outside"
echo "qosim teardown: nothing left behind"
