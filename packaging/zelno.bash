# bash completion for zelno: the key options and the mode word first, then
# file names; a variable name after --key-env.
_zelno() {
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD - 1]} i=1
    if [ "$prev" = --key-env ]; then
        mapfile -t COMPREPLY < <(compgen -v -- "$cur")
        return
    fi
    if [ "$prev" = --key-file ]; then
        compopt -o default
        COMPREPLY=()
        return
    fi
    # The mode word's place: past the key options and their values.
    while [ "$i" -lt "$COMP_CWORD" ] && [[ ${COMP_WORDS[i]} == --key-* ]]; do i=$((i + 2)); done
    if [ "$COMP_CWORD" -eq "$i" ]; then
        local words="e ea d s sa"
        [ "$i" -eq 1 ] && words+=" --key-file --key-env --help --version"
        mapfile -t COMPREPLY < <(compgen -W "$words" -- "$cur")
    else
        compopt -o default
        COMPREPLY=()
    fi
}
complete -F _zelno zelno
