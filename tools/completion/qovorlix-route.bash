# bash completion for qovorlix-route: commands, options, board names (KEL<n>, qovorlix<n>).
. "${BASH_SOURCE[0]%/*}/qovorlix-host.bash" || return

_qovorlix_route_value() {
  case $prev in
    --dot) _filedir dot 2>/dev/null || COMPREPLY=($(compgen -f -- "$cur")) ;;
    --device) COMPREPLY=($(compgen -W "$(_qovorlix_boards)" -- "$cur")) ;;
    --where)
      COMPREPLY=($(compgen -W "name= id= visibility= busType= busName= busLine= canonicalName=
        isExternal= isOwned= isAlias= isMaskedOut=" -- "$cur"))
      compopt -o nospace 2>/dev/null ;;
    --from | --to | --demote) ;;
    *) return 1 ;;
  esac
  return 0
}

_qovorlix_route_positional() {
  case $command in
    terminals | route | release | watch-demotions)
      [ $positional -eq 0 ] && COMPREPLY=($(compgen -W "$(_qovorlix_boards)" -- "$cur")) ;;
  esac
}

_qovorlix_route() {
  local commands="terminals route release watch-demotions probe"
  local global="--library --json --verbose --color --version --help --help-all"
  local valued="--dot --device --where --from --to --demote"
  local -A command_options=([terminals]="--where --dot"
    [route]="--from --to --ignore-reservations --hold --dot" [probe]="--device --from --to --demote")
  _qovorlix_complete _qovorlix_route
}
complete -F _qovorlix_route qovorlix-route
