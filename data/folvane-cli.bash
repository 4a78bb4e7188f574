# Bash completion for folvane-cli: commands and their options as its own --help
# lists them, the sixteen block modes, ecc's list and detect, and .part and .toml files
# where a job is asked for.
_folvane_cli() {
  local cur prev words cword command i
  _init_completion || return
  command=""
  for ((i = 1; i < cword; i++)); do
    [[ ${words[i]} != -* ]] && { command=${words[i]}; break; }
  done
  if [[ -z $command ]]; then
    COMPREPLY=($(compgen -W '$("$1" --help 2>/dev/null |
      awk '"'"'/^[A-Za-z].*:$/ { c = (tolower($0) == "commands:") } c && /^  [a-z]/ { print $1 }'"'"')
      --help --version' -- "$cur"))
    return
  fi
  case $prev in
    --mode)
      COMPREPLY=($(compgen -W '{0..15}' -- "$cur"))
      return ;;
    --table | --data | --row)
      _filedir
      return ;;
    --from)
      _filedir '@(part|toml)'
      return ;;
  esac
  if [[ $cur == -* ]]; then
    COMPREPLY=($(compgen -W '$("$1" "$command" --help 2>/dev/null | grep -o -- "--[a-z][a-z-]*" | sort -u)
      --help' -- "$cur"))
    return
  fi
  case $command in
    table) _filedir ;;
    ecc)
      # A word after ecc names what it does; an image follows detect.
      if [[ ${words[cword - 1]} == ecc ]]; then
        COMPREPLY=($(compgen -W 'list detect' -- "$cur"))
      else
        _filedir
      fi ;;
    *) _filedir '@(part|toml)' ;;
  esac
} && complete -F _folvane_cli folvane-cli
