#!/usr/bin/env bash
# The bash completion of tarvisel-cli, run as bash runs it on a Tab: the commands, every option
# each command's --help lists, the values of --type and --speed, the ports under by-id for
# --device and the images for download.
#   completion_test.sh TARVISEL_CLI COMPLETION_FILE
# Exit 77 (skipped) without bash-completion (scripts/deps --full installs it).
cli=$1 script=$2
[ -r /usr/share/bash-completion/bash_completion ] || { echo "bash-completion is missing: skipped"; exit 77; }
# shellcheck disable=SC1091
source /usr/share/bash-completion/bash_completion
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The by-id folder of this test: two adapters' links.
mkdir "$work/by-id"
ln -s /dev/null "$work/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0"
ln -s /dev/null "$work/by-id/usb-Prolific_PL2303-if00-port0"
_tarvisel_cli_by_id=$work/by-id
# shellcheck disable=SC1090
source "$script"
[ "$(complete -p tarvisel-cli)" = "complete -F _tarvisel_cli tarvisel-cli" ] || { echo "FAIL: not registered"; exit 1; }
status=0
fail() { echo "FAIL: $*"; status=1; }

# What a Tab offers after the words given (the last one is the word being completed).
offers() {
  COMP_WORDS=(tarvisel-cli "$@")
  COMP_CWORD=$#
  COMP_LINE="tarvisel-cli $*"
  COMP_POINT=${#COMP_LINE}
  COMPREPLY=()
  _tarvisel_cli "$cli" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
  printf '%s\n' "${COMPREPLY[@]}" | sort
}
# wants EXPECTED... -- WORDS...: each expected word is offered.
wants() {
  local expected=()
  while [ "$1" != -- ]; do expected+=("$1"); shift; done
  shift
  local got
  got=$(offers "$@")
  for e in "${expected[@]}"; do
    grep -qxF -- "$e" <<<"$got" || fail "after '$*': '$e' not offered (offered: $(echo $got))"
  done
}

commands=$("$cli" --help | awk 'tolower($0) ~ /^subcommands:/ { on = 1; next } on && NF { print $1 }')
[ "$(echo $commands)" = "download info todm ports watch history record serve" ] || fail "tarvisel-cli --help lists: $(echo $commands)"
wants $commands -- ""
wants download -- d
[ "$(offers w)" = watch ] || fail "'w' completes to $(offers w), not watch"
for command in $commands; do
  # Every option of the command's --help, however it is set out there.
  options=$("$cli" "$command" --help | tr ' ,=[' '\n\n\n\n' | grep -E '^--[A-Za-z0-9]' | sort -u)
  [ -n "$options" ] || fail "$command --help lists no options"
  wants $options -- "$command" --
done
wants init sync status -- record ""
for what in sync status; do
  options=$("$cli" record "$what" --help | tr ' ,=[' '\n\n\n\n' | grep -E '^--[A-Za-z0-9]' | sort -u)
  wants $options -- record "$what" --
done
wants normal emergency font change-emergency change-normal -- download fw.bin --type ""
[ "$(offers download fw.bin --type change-n)" = change-normal ] || fail "--type change-n"
wants 57600 115200 -- info --speed ""
wants "$work/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0" "$work/by-id/usb-Prolific_PL2303-if00-port0" \
  -- download fw.bin --device ""
[ "$(offers info --device "$work/by-id/usb-P")" = "$work/by-id/usb-Prolific_PL2303-if00-port0" ] ||
  fail "--device by-id prefix: $(offers info --device "$work/by-id/usb-P")"
# The image: *.bin files, not others.
mkdir "$work/images" && touch "$work/images/fw.bin" "$work/images/notes.txt"
(cd "$work/images" && got=$(offers download "") && [ "$got" = fw.bin ]) || fail "download offers not just fw.bin"
[ $status -eq 0 ] && echo "completion offers the commands, their options and values"
exit $status
