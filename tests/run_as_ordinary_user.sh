#!/bin/sh
# Runs the given test binary with the given gtest filter as an ordinary user. Root hides
# EACCES and the EBUSY of a pty whose exclusive flag outlived a close, so CI (root) must not be
# the only one that runs the pty tests.
binary=$1
filter=$2
if [ "$(id -u)" -ne 0 ]; then
  exec "$binary" --gtest_filter="$filter"
fi
if ! command -v setpriv >/dev/null 2>&1; then
  echo "setpriv missing: cannot drop root" >&2
  exit 1
fi
# The build folder may not be reachable by another user: run a copy from a private folder.
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
cp "$binary" "$dir/tests"
chmod 755 "$dir" "$dir/tests"
cd "$dir" || exit 1
setpriv --reuid=65534 --regid=65534 --clear-groups env HOME="$dir" "$dir/tests" --gtest_filter="$filter"
