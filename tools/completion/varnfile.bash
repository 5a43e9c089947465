# bash completion for varnfile(1). Installed as
# share/bash-completion/completions/varnfile. Subcommands and options come
# from the tool's own --help, so they always match the installed tool.

_varnfile_subcommands() {
  "$1" --help 2>/dev/null | sed -n '/^Subcommands:/,$ s/^  \([a-z][a-z-]*\) .*/\1/p'
}

_varnfile_options() {
  "$1" "$2" --help 2>/dev/null | sed -n 's/^ *\(-[^ ]*\).*/\1/p' | tr ',' '\n'
}

_varnfile() {
  local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}
  local tool=${COMP_WORDS[0]} cmd="" i
  for ((i = 1; i < COMP_CWORD; i++)); do
    case ${COMP_WORDS[i]} in
      -*) ;;
      *) cmd=${COMP_WORDS[i]}; break ;;
    esac
  done
  if [[ -z $cmd ]]; then
    COMPREPLY=($(compgen -W "$(_varnfile_subcommands "$tool") help --help --version" -- "$cur"))
    return
  fi
  if [[ $cmd == help ]]; then
    COMPREPLY=($(compgen -W "$(_varnfile_subcommands "$tool")" -- "$cur"))
    return
  fi
  case $prev in
    -m | --method)
      COMPREPLY=($(compgen -W "none predictor chained-deflate chained-predictor deflate" -- "$cur"))
      return ;;
    --format)
      if [[ $cmd == import ]]; then
        COMPREPLY=($(compgen -W "jsonl csv text lines" -- "$cur"))
      else
        COMPREPLY=($(compgen -W "jsonl csv text" -- "$cur"))
      fi
      return ;;
    -i | --input | -o | --output | --file)
      COMPREPLY=($(compgen -f -- "$cur"))
      return ;;
    -c | --cmd | --command | -e | --extra | -v | --value | --flags | -d | --description | --at | --from | \
      -n | --limit | --aging | --wait)
      return ;;  # a number or a text of the user's
  esac
  if [[ $cur == -* ]]; then
    COMPREPLY=($(compgen -W "$(_varnfile_options "$tool" "$cmd")" -- "$cur"))
    return
  fi
  COMPREPLY=($(compgen -f -- "$cur"))
}

complete -o filenames -F _varnfile varnfile
