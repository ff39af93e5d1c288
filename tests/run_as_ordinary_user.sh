#!/bin/sh
# Runs the given test binary with the given gtest filter as an ordinary user. Root hides
# EACCES and the EBUSY of a pty whose exclusive flag outlived a close, so CI (root) must not be
# the only one that runs the pty tests.
#   run_as_ordinary_user.sh BINARY FILTER [VAR=PROGRAM]...
# Each VAR=PROGRAM is a program the tests run: copied beside the tests and named to them in VAR.
binary=$1
filter=$2
shift 2
if [ "$(id -u)" -ne 0 ]; then
  for pair in "$@"; do export "$pair"; done
  exec "$binary" --gtest_filter="$filter"
fi
if ! command -v setpriv >/dev/null 2>&1; then
  echo "setpriv missing: cannot drop root" >&2
  exit 1
fi
# The build folder may not be reachable by another user: run copies from a private folder.
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
cp "$binary" "$dir/tests"
chmod 755 "$dir" "$dir/tests"
programs=""
for pair in "$@"; do
  var=${pair%%=*}
  program=${pair#*=}
  cp "$program" "$dir/$(basename "$program")"
  chmod 755 "$dir/$(basename "$program")"
  programs="$programs $var=$dir/$(basename "$program")"
done
cd "$dir" || exit 1
# shellcheck disable=SC2086  # each word of $programs is one VAR=PATH
setpriv --reuid=65534 --regid=65534 --clear-groups env HOME="$dir" $programs "$dir/tests" --gtest_filter="$filter"
