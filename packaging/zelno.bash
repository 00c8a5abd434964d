# bash completion for zelno: the mode word first, then file names.
_zelno() {
    local cur=${COMP_WORDS[COMP_CWORD]}
    if [ "$COMP_CWORD" -eq 1 ]; then
        mapfile -t COMPREPLY < <(compgen -W "e ea d s sa --help --version" -- "$cur")
    else
        compopt -o default
        COMPREPLY=()
    fi
}
complete -F _zelno zelno
