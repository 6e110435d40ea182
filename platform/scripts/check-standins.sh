#!/usr/bin/env bash
# Reads the built stand-ins and checks what a platform library must look like from outside:
# the file and SONAME are the platform's names, only the entry points are exported, and the
# hardening of everything the project ships (BIND_NOW, RELRO, non-executable stack).
#   check-standins.sh <directory of the stand-ins>
set -euo pipefail
dir=$1
fail=0

check() {
  local soname=$1; shift
  local lib=$dir/$soname
  if [ ! -f "$lib" ]; then echo "$soname: missing"; fail=1; return; fi
  local exported expected
  exported=$(nm -D --defined-only "$lib" | awk '{print $3}' | sed 's/@.*//' | sort -u)
  expected=$(printf '%s\n' "$@" | sort -u)
  if [ "$exported" != "$expected" ]; then
    echo "$soname: exports"; diff <(echo "$expected") <(echo "$exported") || true; fail=1
  fi
  local dyn segments
  dyn=$(readelf -d "$lib")
  grep -q "SONAME.*\[${soname//./\\.}\]" <<<"$dyn" || { echo "$soname: wrong SONAME"; fail=1; }
  grep -qE 'BIND_NOW|FLAGS_1.*NOW' <<<"$dyn" || { echo "$soname: no BIND_NOW"; fail=1; }
  segments=$(readelf -lW "$lib")
  grep -q 'GNU_RELRO' <<<"$segments" || { echo "$soname: no RELRO"; fail=1; }
  if grep 'GNU_STACK' <<<"$segments" | grep -q 'RWE'; then echo "$soname: executable stack"; fail=1; fi
}

check libqokeldevenum.so.1 qokeldevenum_initialize qokeldevenum_getAllKelDevices qokeldevenum_finalize
check libqovorlixapi.so.1 qoVorlix_UpdateFirmware qoVorlix_GetFirmwareUpdateProgress
check libqorelocations.so.0 get_relocated_dir

[ $fail -eq 0 ] && echo "stand-ins: names, exports and hardening as the platform ships them"
exit $fail
