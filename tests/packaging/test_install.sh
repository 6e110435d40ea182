#!/usr/bin/env bash
# Installs a build tree into a scratch root, then builds a host project outside the tree against
# it twice (CMake package, pkg-config) and runs it: each must report routing API version 3. Then
# runs the installed configuration host inside the installed simulated machine (needs root).
# usage: test_install.sh BUILD_DIR SOURCE_DIR [DEB...]
# With .deb files, the scratch root is filled by unpacking them instead of by cmake --install.
set -euo pipefail
build=$1
source=$2
shift 2
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
root=$scratch/root
prefix=$root/usr

if [ $# -gt 0 ]; then
  for deb in "$@"; do dpkg-deb -x "$deb" "$root"; done
else
  DESTDIR=$root cmake --install "$build" --prefix /usr >/dev/null
fi
# The multiarch library directory, where Debian's loader, pkg-config and CMake look.
libdir=$prefix/lib/$(gcc -print-multiarch)
[ -e "$libdir/libqovorlixatomicsae.so" ] || { echo "no development link in $libdir"; exit 1; }
for f in include/qovorlixatomicsae/qoroco_ra.h include/qovorlixatomicsae/sysapi_host.h \
         bin/qosim bin/qovorlix-syscfg bin/qovorlix-route bin/qo-drvcall; do
  [ -e "$prefix/$f" ] || { echo "missing: /usr/$f"; exit 1; }
done
if command -v help2man >/dev/null; then
  for t in qosim qovorlix-syscfg qovorlix-route qo-drvcall; do
    [ -s "$prefix/share/man/man1/$t.1.gz" ] || { echo "missing man page: $t"; exit 1; }
    # A tool with its own man-page sections (tools/man/<tool>.h2m) has them in its page.
    [ -e "$source/tools/man/$t.h2m" ] || continue
    for section in EXAMPLES ENVIRONMENT "EXIT STATUS" FILES; do
      zcat "$prefix/share/man/man1/$t.1.gz" | grep -Eq "^\.SH \"?$section\"?\$" \
        || { echo "man page of $t has no $section section"; exit 1; }
    done
  done
fi
# The installed hosts carry the install RPATH, not the build tree's: the configuration host's
# names only the stand-ins' directory beside it, the routing host has none.
readelf -d "$prefix/bin/qovorlix-syscfg" | grep -Eq '\(RPATH\).*\[\$ORIGIN/\.\./lib/[^]:]*/qovorlix-sim\]$' \
  || { echo "installed qovorlix-syscfg RPATH: $(readelf -d "$prefix/bin/qovorlix-syscfg" | grep PATH)"; exit 1; }
if readelf -d "$prefix/bin/qovorlix-route" | grep -Eq '\((RPATH|RUNPATH)\)'; then
  echo "installed qovorlix-route has an RPATH: $(readelf -d "$prefix/bin/qovorlix-route" | grep PATH)"; exit 1
fi
# Bash completion where bash-completion looks, for each tool that has one, and it registers.
for t in qosim qovorlix-syscfg qovorlix-route; do
  [ -e "$source/tools/completion/$t.bash" ] || continue
  f=$prefix/share/bash-completion/completions/$t
  [ -s "$f" ] || { echo "missing bash completion: /usr/share/bash-completion/completions/$t"; exit 1; }
  bash -c "source '$f' && complete -p '$t'" >/dev/null 2>&1 \
    || { echo "bash completion of $t does not register a completion"; exit 1; }
done

# Through the CMake package.
cmake -S "$source/tests/packaging/consumer" -B "$scratch/cmake" -G Ninja \
  -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_C_COMPILER_LAUNCHER= >/dev/null
cmake --build "$scratch/cmake" >/dev/null
out=$(LD_LIBRARY_PATH=$libdir "$scratch/cmake/consumer")
[ "$out" = "API version: 3" ] || { echo "cmake consumer: $out"; exit 1; }
# It must have run the installed library, not one of the build tree.
LD_LIBRARY_PATH=$libdir ldd "$scratch/cmake/consumer" | grep "$libdir/libqovorlixatomicsae.so.23" >/dev/null \
  || { echo "cmake consumer does not use the installed library"; exit 1; }

# Through pkg-config (the file names the installed prefix, /usr), built as C++ this time.
export PKG_CONFIG_PATH=$libdir/pkgconfig PKG_CONFIG_LIBDIR=$libdir/pkgconfig
export PKG_CONFIG_SYSROOT_DIR=$root
[ "$(PKG_CONFIG_SYSROOT_DIR= pkg-config --variable=prefix qovorlixatomicsae)" = /usr ] \
  || { echo "pkg-config file does not name the prefix /usr"; exit 1; }
flags=$(pkg-config --cflags --libs qovorlixatomicsae)
c++ -std=c++17 -Wall -Wextra -Werror -x c++ "$source/tests/packaging/consumer/consumer.c" \
  $flags -o "$scratch/pc-consumer"
out=$(LD_LIBRARY_PATH=$libdir "$scratch/pc-consumer")
[ "$out" = "API version: 3" ] || { echo "pkg-config consumer: $out"; exit 1; }

# The installed simulated machine starts with its installed default board file and serves the
# installed library to the installed configuration host, which finds the installed stand-ins.
syscfg="$prefix/bin/qovorlix-syscfg --library $libdir/libqovorlixatomicsae.so.23"
out=$("$prefix/bin/qosim" run -- sh -c "$syscfg probe && $syscfg list" 2>&1) \
  || { echo "installed qosim/qovorlix-syscfg: $out"; exit 1; }
# (The boards are listed through the enumeration stand-in.)
grep -q "released to 0" <<<"$out" && grep -q "KEL0" <<<"$out" \
  || { echo "installed qovorlix-syscfg under the installed qosim: $out"; exit 1; }
# Any host run inside it finds the stand-ins: qosim puts their directory first in LD_LIBRARY_PATH.
out=$("$prefix/bin/qosim" run -- sh -c 'echo "$LD_LIBRARY_PATH"' 2>&1)
[ "${out%%:*}" = "$libdir/qovorlix-sim" ] || { echo "LD_LIBRARY_PATH inside the installed qosim: $out"; exit 1; }
# ... and it is the installed board file that it reads (the source tree's is there too).
boards=$prefix/share/qovorlix-sim/boards/default.json
echo '{' >"$boards"
out=$("$prefix/bin/qosim" run -- true 2>&1) && { echo "qosim ignored a broken $boards"; exit 1; }
grep -qF "$boards" <<<"$out" || { echo "installed qosim does not read $boards: $out"; exit 1; }
echo "installed tree serves both consumers and the simulated machine"
