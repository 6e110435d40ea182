#!/usr/bin/env bash
# Every ELF executable and shared library of a build tree: no RPATH/RUNPATH entry that makes the
# loader search a directory that depends on where the program is started (an empty entry or '.'
# is the current directory; any other relative path is relative to it). $ORIGIN entries are fine.
# Then the hosts of the build tree find the build tree's library by themselves, from any
# directory, without --library, $QOVORLIX_LIBRARY or LD_LIBRARY_PATH.
# usage: check-build-rpaths.sh BUILD_DIR QOSIM
set -uo pipefail
build=$1
qosim=$2
bad=0
checked=0
with_path=0
while IFS= read -r -d '' f; do
  # ELF files only (magic 7F 'E' 'L' 'F'), executables and shared objects (not objects, archives).
  [ "$(head -c 4 "$f" 2>/dev/null | od -An -tx1 | tr -d ' ')" = 7f454c46 ] || continue
  type=$(readelf -h "$f" 2>/dev/null | sed -n 's/^ *Type: *\([A-Z]*\).*/\1/p')
  case $type in EXEC|DYN) ;; *) continue ;; esac
  checked=$((checked + 1))
  paths=$(readelf -d "$f" 2>/dev/null | sed -n 's/.*(\(RPATH\|RUNPATH\)).*\[\(.*\)\]$/\1 \2/p')
  [ -n "$paths" ] && with_path=$((with_path + 1))
  while read -r kind value; do
    [ -n "$kind" ] || continue
    # Every ':'-separated entry, empty ones included (leading, trailing or doubled ':').
    rest=$value
    while :; do
      e=${rest%%:*}
      why=
      case $e in
        '') why="an empty entry (the current directory)" ;;
        .|./*) why="'$e' (the current directory)" ;;
        '$ORIGIN'|'$ORIGIN/'*|'${ORIGIN}'|'${ORIGIN}/'*|/*) ;;
        *) why="the relative entry '$e'" ;;
      esac
      if [ -n "$why" ]; then
        echo "${f#"$build"/}: $kind [$value] has $why"
        bad=1
      fi
      [ "$rest" = "$e" ] && break
      rest=${rest#*:}
    done
  done <<<"$paths"
done < <(find "$build" -type f \( -perm -u+x -o -name '*.so' -o -name '*.so.*' \) -print0)

# Not vacuous: the library, the stand-ins and both hosts were among the files checked.
[ "$checked" -ge 6 ] || { echo "only $checked ELF files found under $build"; bad=1; }
[ "$with_path" -ge 2 ] || { echo "the hosts' build RPATHs were not seen ($with_path files with one)"; bad=1; }

# The hosts of the build tree load the build tree's library by its SONAME through their RPATH.
cd /
syscfg=$build/tools/qovorlix-syscfg/qovorlix-syscfg
route=$build/tools/qovorlix-route/qovorlix-route
out=$(env -u QOVORLIX_LIBRARY -u LD_LIBRARY_PATH "$syscfg" probe 2>&1) \
  || { echo "qovorlix-syscfg probe from /: $out"; bad=1; }
grep -q "released to 0" <<<"$out" || { echo "qovorlix-syscfg probe: $out"; bad=1; }
out=$(env -u QOVORLIX_LIBRARY -u LD_LIBRARY_PATH "$qosim" run -- "$route" probe 2>&1) \
  || { echo "qovorlix-route probe from / in a simulated machine: $out"; bad=1; }
[ "$bad" = 0 ] && echo "$checked ELF files checked, $with_path with an RPATH/RUNPATH; the hosts find the library"
exit $bad
