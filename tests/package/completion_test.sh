#!/usr/bin/env bash
# completion_test.sh TELVIK COMPLETION: the bash completion offers every +Name= option and flag that
# `TELVIK --help` names, so that an option added to the program cannot be forgotten there, and
# completes option names and fixed values as a user types them. COMPLETION is the script itself,
# or a data folder (ROOT/usr/share) whose bash-completion/completions/telvik bash-completion's own
# loader must find.
telvik=$1 completion=$2
if [ -d "$completion" ]; then
    . /usr/share/bash-completion/bash_completion
    XDG_DATA_DIRS=$completion __load_completion telvik
else
    . "$completion"
fi
set -eo pipefail

registered=$(complete -p telvik) || { echo "FAILED: no completion is registered for telvik"; exit 1; }
func=${registered#*-F } func=${func%% *}

# What pressing Tab after WORD offers, one candidate a line, as readline would insert it.
offers() {
    COMP_LINE="telvik $1" COMP_POINT=$((${#1} + 7)) COMP_WORDS=(telvik "$1") COMP_CWORD=1
    COMPREPLY=()
    "$func" telvik "$1" telvik
    printf '%s\n' "${COMPREPLY[@]}"
}

failed=0
expect() { # expect WORD CANDIDATE...: exactly these are offered
    local got want
    got=$(offers "$1" | sort)
    want=$(printf '%s\n' "${@:2}" | sort)
    if [ "$got" != "$want" ]; then
        echo "FAILED: after '$1' the completion offers [${got//$'\n'/ }], expected [${want//$'\n'/ }]"
        failed=1
    fi
}

# The option lines of the help start with the options themselves.
names=$("$telvik" --help | grep '^  +' | grep -o '+[A-Za-z0-9]*=' | sort -u)
[ -n "$names" ] || { echo "FAILED: $telvik --help names no +Name= option"; exit 1; }
for name in $names; do
    offers "${name%=}" | grep -qxF -- "$name" ||
        { echo "FAILED: --help names $name, the completion does not offer it"; failed=1; }
done
for flag in $("$telvik" --help | grep '^  -' | grep -oE -- '(^|[ ,])--?[A-Za-z][a-z-]*' | tr -d ' ,'); do
    offers "$flag" | grep -qxF -- "$flag" ||
        { echo "FAILED: --help names $flag, the completion does not offer it"; failed=1; }
done

expect +Resp +Response=
expect +Visible= Always Never OnError
expect +Visible=n
expect +Output=j Json
expect +Match= First Any
expect +RS232=COM9 COM9
expect --v --version
expect +Nothing
exit $failed
