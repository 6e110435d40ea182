#!/usr/bin/env bash
# The case-folding generator refuses input that is not the data file it expects, and writes
# nothing in that case; on the real file it produces a table holding the known foldings.
set -euo pipefail
gen=$1
real=$2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail=0

expect_refused() {  # name, file content
  printf '%s' "$2" > "$tmp/in.txt"
  rm -f "$tmp/out.inc"
  if python3 "$gen" "$tmp/in.txt" "$tmp/out.inc" 2>"$tmp/err"; then
    echo "accepted $1"; fail=1
  elif [ -e "$tmp/out.inc" ]; then
    echo "wrote output for $1"; fail=1
  elif ! grep -q 'in.txt' "$tmp/err"; then
    echo "message for $1 does not name the file: $(cat "$tmp/err")"; fail=1
  fi
}

header='# CaseFolding-15.0.0.txt'
expect_refused "an empty file" ""
expect_refused "a file without the header" $'0041; C; 0061; # LATIN CAPITAL LETTER A\n'
expect_refused "a malformed line" "$header"$'\n0041; Q; 0061; # bad status\n'
expect_refused "a non-hex code point" "$header"$'\n00G1; C; 0061; # bad hex\n'
expect_refused "a file missing known foldings" "$header"$'\n0041; C; 0061; # LATIN CAPITAL LETTER A\n'
if python3 "$gen" "$tmp/does-not-exist.txt" "$tmp/out.inc" 2>/dev/null; then
  echo "accepted a missing file"; fail=1
fi

python3 "$gen" "$real" "$tmp/table.inc"
# U+00DF folds to "ss" and U+FB03 to "ffi": both expansions must be in the generated table.
grep -q '{2, {0x0073, 0x0073, 0x0000}}' "$tmp/table.inc" || { echo "\"ss\" missing"; fail=1; }
grep -q '{3, {0x0066, 0x0066, 0x0069}}' "$tmp/table.inc" || { echo "\"ffi\" missing"; fail=1; }
exit $fail
