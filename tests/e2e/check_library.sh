#!/usr/bin/env bash
# Reads the built shared library and checks its public face and its hardening:
#  - every exported (defined, dynamic) symbol is one the linker version script names;
#  - the expert factory is exported;
#  - SONAME, BIND_NOW, RELRO and a non-executable stack;
#  - no link against the closed platform libraries (they are loaded at first use, so the
#    library loads on a machine without them).
set -euo pipefail
lib=$1
map=$2
fail=0

allowed=$(grep -oE '^[[:space:]]+[A-Za-z_][A-Za-z0-9_]*;' "$map" | tr -d ' \t;' | sort -u)
exported=$(nm -D --defined-only "$lib" | awk '{print $3}' | sed 's/@.*//' | sort -u)

for s in $exported; do
  if ! grep -qx "$s" <<<"$allowed"; then
    echo "unexpected export: $s"; fail=1
  fi
done
grep -qx createVorlixAtomicSysApiExpert <<<"$exported" || { echo "factory not exported"; fail=1; }

dyn=$(readelf -d "$lib")
grep -q 'SONAME.*\[libqovorlixatomicsae\.so\.23\]' <<<"$dyn" || { echo "wrong SONAME"; fail=1; }
grep -qE 'BIND_NOW|FLAGS_1.*NOW' <<<"$dyn" || { echo "not linked with BIND_NOW"; fail=1; }
for platform in libqokeldevenum libqovorlixapi libqorelocations; do
  if grep -q "NEEDED.*\[$platform\." <<<"$dyn"; then
    echo "linked against the platform library $platform (must be loaded at first use)"; fail=1
  fi
done

segments=$(readelf -lW "$lib")
grep -q 'GNU_RELRO' <<<"$segments" || { echo "no RELRO segment"; fail=1; }
stack=$(grep 'GNU_STACK' <<<"$segments" || true)
[ -n "$stack" ] || { echo "no GNU_STACK header"; fail=1; }
if grep -qE 'RWE' <<<"$stack"; then echo "executable stack"; fail=1; fi

[ $fail -eq 0 ] && echo "exports: $(wc -w <<<"$exported") intended; SONAME, BIND_NOW, RELRO, NX stack present; no platform library needed"
exit $fail
