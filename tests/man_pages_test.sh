#!/bin/sh
# Each program prints the project's version (--version); its manual page exists, is of that
# version, and names every option its --help lists (tarvisel-cli: each command's as well).
#   man_pages_test.sh PAGES_DIR VERSION PROGRAM...
# Exit 77 (skipped) when no page was made (help2man is missing).
pages=$1 version=$2
shift 2
status=0
fail() { echo "FAIL: $*"; status=1; }
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
options() { grep -oE -- '(^|[ ,])--[A-Za-z0-9][A-Za-z0-9-]*' | sed 's/^[ ,]*//'; }
[ -f "$pages/$(basename "$1").1" ] || { echo "no manual pages in $pages (help2man missing?): skipped"; exit 77; }
for program in "$@"; do
  name=$(basename "$program")
  page="$pages/$name.1"
  got=$("$program" --version 2>&1)
  [ "$got" = "$name $version" ] || fail "$name --version: \"$got\", not \"$name $version\""
  [ -f "$page" ] && [ -f "$page.gz" ] || { fail "$name: no manual page $page(.gz)"; continue; }
  # The page's text without roff's escapes.
  sed -e 's/\\-/-/g' -e 's/\\f[BIRP]//g' -e 's/\\[,/]//g' "$page" >"$out/page"
  grep -q "^\.TH $(echo "$name" | tr a-z A-Z) \"1\" .*\"$name $version\"" "$out/page" ||
    fail "$name: the page's title is not of $name $version: $(grep '^\.TH' "$out/page")"
  grep -q "^$name - " "$out/page" || fail "$name: the page has no NAME line"
  "$program" --help >"$out/help" 2>&1 || fail "$name --help failed"
  # tarvisel-cli: each command's own options too, from its own --help.
  if [ "$name" = tarvisel-cli ]; then
    commands=$(awk 'tolower($0) ~ /^subcommands:/ { on = 1; next } on && NF { print $1 }' "$out/help")
    [ -n "$commands" ] || fail "tarvisel-cli --help lists no commands"
    for command in $commands; do
      grep -q "^\.SS \"$command\"\|^$command\b\|^\.B $command\b\|$command " "$out/page" ||
        fail "$name: the page does not name the command $command"
      "$program" "$command" --help >>"$out/help" 2>&1 || fail "$name $command --help failed"
    done
  fi
  before=$status n=0
  for option in $(options <"$out/help" | sort -u); do
    n=$((n + 1))
    grep -qE -- "(^|[^A-Za-z0-9-])$option([^A-Za-z0-9-]|\$)" "$out/page" || fail "$name: the page lacks $option"
  done
  [ $n -ge 2 ] || fail "$name: only $n options found in --help"
  [ $status = "$before" ] && echo "$name: the page names all $n options of --help"
done
exit $status
