#!/bin/sh
# tarvisel-cli's help as help2man reads it: the program's --help, then each command's options
# from its own --help, under a heading of their own with the command's usage.
#   cli-help.sh TARVISEL_CLI --help|--version
cli=$1
[ "$2" = --help ] || exec "$cli" "$2"
"$cli" --help | sed 's/^Subcommands:$/Commands:/'
for command in $("$cli" --help | awk 'tolower($0) ~ /^subcommands:/ { on = 1; next } on && NF { print $1 }'); do
  echo
  "$cli" "$command" --help | awk '
    /^Usage:/ { sub(/^Usage: */, ""); print $0 ":"; next }
    /^ *(-h,--help|--help-all) / { next }
    /^ / { print }'
done
