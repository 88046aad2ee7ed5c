# bash completion for corvane-engine, corvane-fpctl and corvane-mount.
#
# Options and commands are read from the tool's own --help each time, so the
# completion always matches the installed version. The same file is
# installed under each tool's name, as bash-completion loads it by that name.

# Prints the options, value-taking options and commands that `TOOL [COMMAND]
# --help` lists, one per line, as "opt NAME", "val NAME TYPE" or "cmd NAME".
_corvane_help_words() {
  "$@" --help 2>/dev/null | awk '
    /^[^ ].*:[ \t]*$/ { section = $0; next }     # "Options:", "Commands:", ...
    /^  [^ ]/ {
      # The left column ends at the first run of two spaces (or the line).
      left = substr($0, 3)
      cut = index(left, "  ")
      if (cut > 0) left = substr(left, 1, cut - 1)
      n = split(left, word, " ")
      if (word[1] ~ /^-/) {
        type = (n > 1 && word[2] !~ /:$/) ? word[2] : ""
        m = split(word[1], names, ",")
        for (i = 1; i <= m; i++) {
          if (type == "") print "opt " names[i]; else print "val " names[i] " " type
        }
      } else if (section ~ /^(Sub)?[Cc]ommands:/) {
        print "cmd " word[1]
      }
    }'
}

# The engine's scope ids, for --domain; nothing when no engine answers.
_corvane_domains() {
  timeout 3 corvane-fpctl domains 2>/dev/null | awk 'NR > 1 { print $1 }'
}

_corvane_complete() {
  local tool=$1 cur=${COMP_WORDS[COMP_CWORD]} prev=""
  ((COMP_CWORD > 0)) && prev=${COMP_WORDS[COMP_CWORD - 1]}
  COMPREPLY=()

  # The command (fpctl's fetch, create, ...) is the first word that the
  # tool lists as one; its own --help then has the options that apply.
  local words command="" i
  words=$(_corvane_help_words "$tool")
  for ((i = 1; i < COMP_CWORD; i++)); do
    if grep -qx "cmd ${COMP_WORDS[i]}" <<<"$words"; then
      command=${COMP_WORDS[i]}
      words=$(_corvane_help_words "$tool" "$command")
      break
    fi
  done

  # The value of an option that takes one.
  local type
  type=$(awk -v o="$prev" '$1 == "val" && $2 == o { print $3; exit }' <<<"$words")
  if [[ -n $type ]]; then
    case $prev:$type in
      --domain:*) mapfile -t COMPREPLY < <(compgen -W "$(_corvane_domains)" -- "$cur") ;;
      -o:* | --type:* | --version-hex:*) ;;  # FUSE options, type names, hex: no files
      *:TEXT | *:FILE* | *:DIR* | *:PATH*) mapfile -t COMPREPLY < <(compgen -f -- "$cur") ;;
    esac
    return 0
  fi

  if [[ $cur == -* ]]; then
    mapfile -t COMPREPLY < <(compgen -W "$(awk '$1 != "cmd" { print $2 }' <<<"$words")" -- "$cur")
  elif [[ -z $command ]] && grep -q '^cmd ' <<<"$words"; then
    mapfile -t COMPREPLY < <(compgen -W "$(awk '$1 == "cmd" { print $2 }' <<<"$words")" -- "$cur")
  else
    mapfile -t COMPREPLY < <(compgen -f -- "$cur")
  fi
  return 0
}

complete -o filenames -F _corvane_complete corvane-engine corvane-fpctl corvane-mount
