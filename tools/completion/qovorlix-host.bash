# What the bash completions of the reference hosts (qovorlix-syscfg, qovorlix-route) share:
# board names from the driver's tree, the words typed so far, the global options and the walk
# to the command, and the order in which a word is completed. Sourced by each host's completion
# from the directory it was loaded from.

# Board names (KEL<n>, qovorlix<n>) of the boards the driver's tree lists.
_qovorlix_boards() {
  local d names=""
  for d in /proc/driver/qo/qovorlix*; do
    [ -d "$d" ] || continue
    d=${d##*/qovorlix}
    names+=" KEL$d qovorlix$d"
  done
  printf '%s' "$names"
}

# Sets the caller's cur, prev, words and cword (without bash-completion: from COMP_WORDS).
_qovorlix_words() {
  _init_completion -n = 2>/dev/null || {
    cur=${COMP_WORDS[COMP_CWORD]}
    prev=${COMP_WORDS[COMP_CWORD - 1]}
    words=("${COMP_WORDS[@]}")
    cword=$COMP_CWORD
  }
}

# Completes the value of a global option the previous word names; fails when it names none.
_qovorlix_global_value() {
  case $prev in
    --library) _filedir 'so*' 2>/dev/null || COMPREPLY=($(compgen -f -- "$cur")); return 0 ;;
    --color) COMPREPLY=($(compgen -W "auto always never" -- "$cur")); return 0 ;;
  esac
  return 1
}

# Completes --color=WHEN; fails for any other word.
_qovorlix_color_equals() {
  [[ $cur == --color=* ]] || return 1
  COMPREPLY=($(compgen -W "auto always never" -- "${cur#--color=}"))
}

# Sets the caller's command (the first word that is no option, empty when there is none yet)
# and positional (how many words follow it), skipping the values of the global options and of
# those in `valued`; with no command yet, completes the command names `commands` and the global
# options.
_qovorlix_command() {
  local i valued=" --library --color $valued "
  command="" positional=0
  for ((i = 1; i < cword; i++)); do
    case ${words[i]} in
      -*) [[ $valued == *" ${words[i]} "* ]] && ((i++)) ;;
      *) if [ -z "$command" ]; then command=${words[i]}; else ((positional++)); fi ;;
    esac
  done
  [ -n "$command" ] && return 0
  COMPREPLY=($(compgen -W "$commands $global" -- "$cur"))
  return 1
}

# Completes an option among `options` when the word being completed is one.
_qovorlix_option() {
  [[ $cur == -* ]] || return 1
  COMPREPLY=($(compgen -W "$options" -- "$cur"))
}

# Completes the word being typed for a host whose completion sets `commands` (its command
# names), `global` (its global options), `valued` (its own options taking a value) and
# `command_options` (the options of each command, by command name) and names in $1 the prefix
# of its two functions: PREFIX_value completes the value of one of its own options the previous
# word names (failing when it names none), PREFIX_positional the words after the command.
_qovorlix_complete() {
  local cur prev words cword command positional
  _qovorlix_words
  _qovorlix_global_value && return 0
  "$1_value" && return 0
  _qovorlix_color_equals && return 0
  _qovorlix_command || return 0
  local options="$global ${command_options[$command]-}"
  _qovorlix_option && return 0
  "$1_positional"
}
