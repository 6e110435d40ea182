# bash completion for qovorlix-syscfg: commands, options, board names (KEL<n>, qovorlix<n>).
_qovorlix_syscfg_boards() {
  local d names=""
  for d in /proc/driver/qo/qovorlix*; do
    [ -d "$d" ] || continue
    d=${d##*/qovorlix}
    names+=" KEL$d qovorlix$d"
  done
  printf '%s' "$names"
}

_qovorlix_syscfg() {
  local cur prev words cword
  _init_completion -n = 2>/dev/null || {
    cur=${COMP_WORDS[COMP_CWORD]}
    prev=${COMP_WORDS[COMP_CWORD - 1]}
    words=("${COMP_WORDS[@]}")
    cword=$COMP_CWORD
  }
  local commands="list show refresh diag firmware watch probe"
  local global="--library --json --verbose --color --version --help --help-all"
  case $prev in
    --library) _filedir 'so*' 2>/dev/null || COMPREPLY=($(compgen -f -- "$cur")); return ;;
    --color) COMPREPLY=($(compgen -W "auto always never" -- "$cur")); return ;;
    --mode | --count | --timeout) return ;;
  esac
  if [[ $cur == --color=* ]]; then
    COMPREPLY=($(compgen -W "auto always never" -- "${cur#--color=}"))
    return
  fi
  local i command="" positional=0
  for ((i = 1; i < cword; i++)); do
    case ${words[i]} in
      --library | --color | --mode | --count | --timeout) ((i++)) ;;
      -*) ;;
      *) if [ -z "$command" ]; then command=${words[i]}; else ((positional++)); fi ;;
    esac
  done
  if [ -z "$command" ]; then
    COMPREPLY=($(compgen -W "$commands $global" -- "$cur"))
    return
  fi
  local options="$global"
  case $command in
    refresh) options+=" --async --timeout" ;;
    diag) options+=" --mode" ;;
    firmware) options+=" --yes --timeout" ;;
    watch) options+=" --count --timeout" ;;
  esac
  if [[ $cur == -* ]]; then
    COMPREPLY=($(compgen -W "$options" -- "$cur"))
    return
  fi
  case $command in
    show | refresh | diag)
      [ $positional -eq 0 ] && COMPREPLY=($(compgen -W "$(_qovorlix_syscfg_boards)" -- "$cur")) ;;
    firmware)
      if [ $positional -eq 0 ]; then
        COMPREPLY=($(compgen -W "$(_qovorlix_syscfg_boards)" -- "$cur"))
      elif [ $positional -eq 1 ]; then
        _filedir zip 2>/dev/null || COMPREPLY=($(compgen -f -- "$cur"))
      fi ;;
  esac
}
complete -F _qovorlix_syscfg qovorlix-syscfg
