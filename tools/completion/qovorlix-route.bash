# bash completion for qovorlix-route: commands, options, board names (KEL<n>, qovorlix<n>).
_qovorlix_route_boards() {
  local d names=""
  for d in /proc/driver/qo/qovorlix*; do
    [ -d "$d" ] || continue
    d=${d##*/qovorlix}
    names+=" KEL$d qovorlix$d"
  done
  printf '%s' "$names"
}

_qovorlix_route() {
  local cur prev words cword
  _init_completion -n = 2>/dev/null || {
    cur=${COMP_WORDS[COMP_CWORD]}
    prev=${COMP_WORDS[COMP_CWORD - 1]}
    words=("${COMP_WORDS[@]}")
    cword=$COMP_CWORD
  }
  local commands="terminals route release watch-demotions probe"
  local global="--library --json --verbose --color --version --help --help-all"
  case $prev in
    --library) _filedir 'so*' 2>/dev/null || COMPREPLY=($(compgen -f -- "$cur")); return ;;
    --color) COMPREPLY=($(compgen -W "auto always never" -- "$cur")); return ;;
    --dot) _filedir dot 2>/dev/null || COMPREPLY=($(compgen -f -- "$cur")); return ;;
    --device) COMPREPLY=($(compgen -W "$(_qovorlix_route_boards)" -- "$cur")); return ;;
    --where)
      COMPREPLY=($(compgen -W "name= id= visibility= busType= busName= busLine= canonicalName=
        isExternal= isOwned= isAlias= isMaskedOut=" -- "$cur"))
      compopt -o nospace 2>/dev/null
      return ;;
    --from | --to | --demote) return ;;
  esac
  if [[ $cur == --color=* ]]; then
    COMPREPLY=($(compgen -W "auto always never" -- "${cur#--color=}"))
    return
  fi
  local i command="" positional=0
  for ((i = 1; i < cword; i++)); do
    case ${words[i]} in
      --library | --color | --dot | --device | --where | --from | --to | --demote) ((i++)) ;;
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
    terminals) options+=" --where --dot" ;;
    route) options+=" --from --to --ignore-reservations --hold --dot" ;;
    probe) options+=" --device --from --to --demote" ;;
  esac
  if [[ $cur == -* ]]; then
    COMPREPLY=($(compgen -W "$options" -- "$cur"))
    return
  fi
  case $command in
    terminals | route | release | watch-demotions)
      [ $positional -eq 0 ] && COMPREPLY=($(compgen -W "$(_qovorlix_route_boards)" -- "$cur")) ;;
  esac
}
complete -F _qovorlix_route qovorlix-route
