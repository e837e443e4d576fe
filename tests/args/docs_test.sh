#!/usr/bin/env bash
# The man page and the bash completion each program writes from its argument definition,
# against the options its --help lists (a help of 80 columns at most): every option of every
# command is in the page and is offered by the completion, every command completes, and the
# page renders without a warning.
# Arguments: KESTRUNE-CLI KESTRUNE-MKIMAGE KESTRUNE-BOXSIM
set -uo pipefail
cli="$1" mkimage="$2" boxsim="$3"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
passed=0 failed=0
pass() { passed=$((passed + 1)); }
fail() { failed=$((failed + 1)); echo "FAIL: $*"; }

# The completion of WORDS... (the last one being completed) by PROGRAM's own script.
complete_words() {
  local program="$1"
  shift
  bash -c '
    source "$1"; shift
    COMP_WORDS=("$@"); COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    f="$(complete -p "${COMP_WORDS[0]}" | sed -E "s/.* -F ([^ ]+) .*/\1/")"
    "$f"; printf "%s\n" "${COMPREPLY[@]}"' _ "$work/$program.bash" "$@"
}

# PROGRAM BINARY COMMAND...: each command's options, from its --help ("" is the program).
while read -r program binary commands; do
  "$binary" --man-page "test page" >"$work/$program.1" || fail "$program --man-page"
  "$binary" --bash-completion >"$work/$program.bash" || fail "$program --bash-completion"
  if grep -q "^\.TH ${program^^} \"1\" .*\"$program " "$work/$program.1"; then pass; else
    fail "$program(1): no header naming it"
  fi
  warnings="$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$work/$program.1" 2>&1 >/dev/null)"
  if [ -z "$warnings" ]; then pass; else fail "$program(1) warns: $warnings"; fi
  for command in "" $commands; do
    words=("$program" ${command:+"$command"})
    "$binary" ${command:+"$command"} --help >"$work/help" || fail "${words[*]} --help"
    long="$(awk 'length > 80' "$work/help")"
    if [ -z "$long" ]; then pass; else fail "${words[*]} --help: lines over 80 columns: $long"; fi
    options="$(grep -oE '^  (-[A-Za-z0-9], )?--[A-Za-z0-9-]+' "$work/help" | grep -oE -- '--?[A-Za-z0-9-]+')"
    [ -n "$options" ] || fail "${words[*]} --help lists no option"
    offered="$(complete_words "$program" "${words[@]}" -)"
    section="$(if [ -z "$command" ]; then sed '/^\.SH "COMMAND /,$d' "$work/$program.1"; else
      sed -n "/^\.SH \"COMMAND ${command^^}\"/,/^\.SH \"COMMAND /p" "$work/$program.1"; fi)"
    for option in $options; do
      if grep -qxF -- "$option" <<<"$offered"; then pass; else fail "${words[*]} $option: not completed"; fi
      if grep -qF -- "\\fB${option//-/\\-}\\fR" <<<"$section"; then pass; else
        fail "${words[*]} $option: not in the page's section"
      fi
    done
  done
done <<EOF_PROGRAMS
kestrune-cli $cli info serve station ports help
kestrune-mkimage $mkimage
kestrune-boxsim $boxsim
EOF_PROGRAMS

# Commands, arguments and values complete: WORDS... -> one expected word.
while read -r want words; do
  read -ra line <<<"$words"
  [ "${line[-1]}" = '""' ] && line[-1]=""
  got="$(cd "$work" && complete_words "${line[0]}" "${line[@]}")"
  if grep -qxF -- "$want" <<<"$got"; then pass; else fail "completion of '$words': no $want in: $got"; fi
done <<'EOF_CASES'
serve kestrune-cli se
station kestrune-cli help st
--port kestrune-cli serve --po
COM1 kestrune-cli station --port ""
--module-version kestrune-mkimage -o x.dl --module 1 --module-v
kestrune-cli.bash kestrune-cli info kestrune-cli.b
--no-type1 kestrune-boxsim --no
EOF_CASES
# An option's value is not taken for an option.
if [ -z "$(complete_words kestrune-cli kestrune-cli serve --expect-oui "")" ]; then pass; else
  fail "kestrune-cli serve --expect-oui: offers words"
fi

echo "docs: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
