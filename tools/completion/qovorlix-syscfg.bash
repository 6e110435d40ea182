# bash completion for qovorlix-syscfg: commands, options, board names (KEL<n>, qovorlix<n>).
. "${BASH_SOURCE[0]%/*}/qovorlix-host.bash" || return

_qovorlix_syscfg_value() {
  case $prev in
    --mode | --count | --timeout) return 0 ;;
  esac
  return 1
}

_qovorlix_syscfg_positional() {
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

_qovorlix_syscfg() {
  local commands="list show refresh diag firmware watch probe"
  local global="--library --json --verbose --color --version --help --help-all"
  local valued="--mode --count --timeout"
  local -A command_options=([refresh]="--async --timeout" [diag]="--mode"
    [firmware]="--yes --timeout" [watch]="--count --timeout")
  _qovorlix_complete _qovorlix_syscfg
}
complete -F _qovorlix_syscfg qovorlix-syscfg
