# bash completion for pelnik: options, then tagfiles and directories.
_pelnik() {
  local cur=${COMP_WORDS[COMP_CWORD]}
  if [[ $cur == -* ]]; then
    COMPREPLY=($(compgen -W '-a --add -d --debug -h --help -v --version' -- "$cur"))
  else
    compopt -o filenames 2>/dev/null
    COMPREPLY=($(compgen -f -- "$cur"))
  fi
}
complete -F _pelnik pelnik
