#!/usr/bin/env bash
# The bash completion of qovorlix-syscfg on the default simulated machine (run inside
# `qosim run`): commands, per-command options, board names from the driver's tree.
# usage: syscfg_completion.sh SOURCE_DIR
set -u
source "$1/tools/completion/qovorlix-syscfg.bash"
fails=0
# Each row: the words typed (the last one being completed) | the expected completions.
while IFS='|' read -r typed expected; do
  [ -z "$typed" ] && continue
  read -r -a COMP_WORDS <<<"$typed"
  [[ $typed == *' ' ]] && COMP_WORDS+=("")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  COMPREPLY=()
  _qovorlix_syscfg
  got=$(printf '%s\n' "${COMPREPLY[@]}" | sort | tr '\n' ' ' | sed 's/ $//')
  want=$(printf '%s\n' $expected | sort | tr '\n' ' ' | sed 's/ $//')
  if [ "$got" != "$want" ]; then
    echo "FAIL '$typed': got '$got', expected '$want'"
    fails=$((fails + 1))
  fi
done <<'TABLE'
qovorlix-syscfg li|list
qovorlix-syscfg f|firmware
qovorlix-syscfg --json w|watch
qovorlix-syscfg --ver|--verbose --version
qovorlix-syscfg show KEL|KEL0 KEL1 KEL2 KEL3 KEL4
qovorlix-syscfg --library x.so diag qovorlix1|qovorlix1
qovorlix-syscfg diag KEL0 |
qovorlix-syscfg watch --c|--color --count
qovorlix-syscfg firmware --y|--yes
qovorlix-syscfg refresh --a|--async
qovorlix-syscfg --color a|auto always
TABLE
echo "$fails failure(s)"
[ $fails -eq 0 ]
