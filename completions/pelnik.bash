# bash completion for pelnik: options, then tagfiles and directories.
# Options are offered only for a word that begins with "-" and only before
# "--".  Everything else is left to readline's own file name completion
# (-o default), which keeps names with spaces and other special characters
# whole and quotes them as the line needs.
_pelnik() {
  local i
  COMPREPLY=()
  [[ $2 == -* ]] || return 0
  for ((i = 1; i < COMP_CWORD; i++)); do
    [[ ${COMP_WORDS[i]} == -- ]] && return 0
  done
  mapfile -t COMPREPLY < <(compgen -W '-a --add -d --debug -h --help -v --version' -- "$2")
}
complete -o default -F _pelnik pelnik
