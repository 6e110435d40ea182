# bash completion for qosim                                        -*- shell-script -*-
_qosim_requests="ping list plug unplug devqo-remove devqo-create respond inject clear-responses
responses notify notify-raw log log-clear subscriptions set get enum-fault generation module-file
relocation-fault firmware-update firmware-progress firmware-fault firmware-config power-cycle
demote routes"

_qosim_keys() {
    case $1 in
        plug) echo "board= boards=" ;;
        unplug|get|firmware-progress|power-cycle|routes) echo "device=" ;;
        respond) echo "target= command= method= interface= output= result= status= errno= count= then= restartMs=" ;;
        inject) echo "target= command= method= interface= errno= count= then= restartMs=" ;;
        notify) echo "node= port= cookie= subscriptionKind= wireKind= payload= lengthField= type= payloadSizeField=" ;;
        notify-raw) echo "port= bytes=" ;;
        log) echo "clear=" ;;
        set) echo "device= temperature= temperatureLimit= fans= fanSpeed= module= firmwareVersion= description= driverFaults= topographyName=" ;;
        enum-fault) echo "device= operation= status=" ;;
        module-file) echo "name= text=" ;;
        relocation-fault) echo "answer=" ;;
        firmware-update) echo "device= target= size= flag= hash= version=" ;;
        firmware-fault) echo "device= status= atPercent= count= operation=" ;;
        firmware-config) echo "device= durationMs= versionAfterUpdate=" ;;
        demote) echo "device= ticket=" ;;
    esac
}

# Machine ids (qosim ls, root only; nothing when it cannot list).
_qosim_machines() {
    qosim ls 2>/dev/null | awk 'NR > 1 && $1 ~ /^[0-9]+$/ { print $1 }'
}

_qosim() {
    local cur prev words cword
    _init_completion -n = || return

    if [[ $cword -eq 1 ]]; then
        COMPREPLY=($(compgen -W "run exec ls ctl check-boards --help --version" -- "$cur"))
        return
    fi
    local command=${words[1]} i
    # After "--" (run, exec) the rest is a command line of its own.
    for ((i = 2; i < cword; i++)); do
        if [[ ${words[i]} == -- ]]; then
            _command_offset $((i + 1))
            return
        fi
    done
    case $prev in
        --boards) _filedir json; return ;;
        --machine) COMPREPLY=($(compgen -W "$(_qosim_machines)" -- "$cur")); return ;;
        --socket) _filedir; return ;;
    esac
    case $command in
        run)
            [[ $cur == -* ]] && COMPREPLY=($(compgen -W "--boards --" -- "$cur")) || _command_offset $cword
            ;;
        exec)
            [[ $cur == -* ]] && COMPREPLY=($(compgen -W "--machine --" -- "$cur")) || _command_offset $cword
            ;;
        check-boards)
            [[ $cur == -* ]] && COMPREPLY=($(compgen -W "--strict" -- "$cur")) || _filedir json
            ;;
        ctl)
            local request="" j
            for ((j = 2; j < cword; j++)); do
                case ${words[j]} in
                    --socket|--machine) ((j++)) ;;
                    --*) ;;
                    *) request=${words[j]}; break ;;
                esac
            done
            if [[ -z $request ]]; then
                COMPREPLY=($(compgen -W "--socket --machine $_qosim_requests" -- "$cur"))
            elif [[ $request == plug && $cur != *=* ]]; then
                COMPREPLY=($(compgen -W "$(_qosim_keys plug)" -- "$cur"))
                _filedir json
            else
                COMPREPLY=($(compgen -W "$(_qosim_keys "$request")" -- "$cur"))
                [[ ${COMPREPLY-} == *= ]] && compopt -o nospace
            fi
            ;;
    esac
} && complete -F _qosim qosim
