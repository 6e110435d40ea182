# bash completion for qovorlix-syscfg: commands, options, board names (KEL<n>, qovorlix<n>).
. "${BASH_SOURCE[0]%/*}/qovorlix-host.bash" || return

_qovorlix_syscfg() {
  local cur prev words cword command positional
  _qovorlix_words
  local commands="list show refresh diag firmware watch probe"
  local global="--library --json --verbose --color --version --help --help-all"
  _qovorlix_global_value && return
  case $prev in
    --mode | --count | --timeout) return ;;
  esac
  _qovorlix_color_equals && return
  _qovorlix_command --mode --count --timeout || return 0
  local options="$global"
  case $command in
    refresh) options+=" --async --timeout" ;;
    diag) options+=" --mode" ;;
    firmware) options+=" --yes --timeout" ;;
    watch) options+=" --count --timeout" ;;
  esac
  _qovorlix_option && return
  case $command in
    show | refresh | diag)
      [ $positional -eq 0 ] && COMPREPLY=($(compgen -W "$(_qovorlix_boards)" -- "$cur")) ;;
    firmware)
      if [ $positional -eq 0 ]; then
        COMPREPLY=($(compgen -W "$(_qovorlix_boards)" -- "$cur"))
      elif [ $positional -eq 1 ]; then
        _filedir zip 2>/dev/null || COMPREPLY=($(compgen -f -- "$cur"))
      fi ;;
  esac
}
complete -F _qovorlix_syscfg qovorlix-syscfg
