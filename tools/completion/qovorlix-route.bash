# bash completion for qovorlix-route: commands, options, board names (KEL<n>, qovorlix<n>).
. "${BASH_SOURCE[0]%/*}/qovorlix-host.bash" || return

_qovorlix_route() {
  local cur prev words cword command positional
  _qovorlix_words
  local commands="terminals route release watch-demotions probe"
  local global="--library --json --verbose --color --version --help --help-all"
  _qovorlix_global_value && return
  case $prev in
    --dot) _filedir dot 2>/dev/null || COMPREPLY=($(compgen -f -- "$cur")); return ;;
    --device) COMPREPLY=($(compgen -W "$(_qovorlix_boards)" -- "$cur")); return ;;
    --where)
      COMPREPLY=($(compgen -W "name= id= visibility= busType= busName= busLine= canonicalName=
        isExternal= isOwned= isAlias= isMaskedOut=" -- "$cur"))
      compopt -o nospace 2>/dev/null
      return ;;
    --from | --to | --demote) return ;;
  esac
  _qovorlix_color_equals && return
  _qovorlix_command --dot --device --where --from --to --demote || return 0
  local options="$global"
  case $command in
    terminals) options+=" --where --dot" ;;
    route) options+=" --from --to --ignore-reservations --hold --dot" ;;
    probe) options+=" --device --from --to --demote" ;;
  esac
  _qovorlix_option && return
  case $command in
    terminals | route | release | watch-demotions)
      [ $positional -eq 0 ] && COMPREPLY=($(compgen -W "$(_qovorlix_boards)" -- "$cur")) ;;
  esac
}
complete -F _qovorlix_route qovorlix-route
