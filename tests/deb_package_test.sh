#!/bin/sh
# Builds the Debian package from the build folder and checks what it installs and its fields.
#   deb_package_test.sh CPACK BUILD_DIR GUI(ON|OFF) VERSION
# Exit 77 (skipped) where cpack, dpkg-deb or dpkg-shlibdeps is missing.
cpack=$1 build=$2 gui=$3 version=$4
for tool in "$cpack" dpkg-deb dpkg-shlibdeps; do
  command -v "$tool" >/dev/null 2>&1 || { echo "$tool is missing: skipped"; exit 77; }
done
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
(cd "$build" && "$cpack" -G DEB -B "$out") >"$out/cpack.log" 2>&1 || { cat "$out/cpack.log"; exit 1; }
set -- "$out"/*.deb
[ $# -eq 1 ] && [ -f "$1" ] || { echo "no package (or several) in $out:"; ls "$out"; exit 1; }
deb=$1
status=0
fail() { echo "FAIL: $*"; status=1; }

# Every file it installs, and nothing else (no test programs, libraries or headers).
dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $6 }' | sort >"$out/files"
{
  echo ./usr/bin/tarvisel-cli
  echo ./usr/bin/tarvisel-sim
  echo ./usr/lib/udev/rules.d/70-tarvisel-modemmanager.rules
  [ "$gui" = ON ] && echo ./usr/bin/tarvisel && echo ./usr/share/applications/tarvisel.desktop &&
    echo ./usr/share/pixmaps/tarvisel.xpm
} | sort >"$out/want"
diff -u "$out/want" "$out/files" || fail "the files differ from those wanted"
dpkg-deb -c "$deb" | awk '$6 ~ /^\.\/usr\/bin\// && $1 !~ /x/ { print $6 }' | grep . && fail "a program that cannot be run"

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = tarvisel ] || fail "Package: $(field Package)"
[ "$(field Version)" = "$version" ] || fail "Version: $(field Version), not $version"
[ "$(field Architecture)" = "$(dpkg --print-architecture)" ] || fail "Architecture: $(field Architecture)"
[ -n "$(field Maintainer)" ] || fail "no Maintainer"
[ -n "$(field Description)" ] || fail "no Description"
depends=$(field Depends)
echo "Depends: $depends"
# From the binaries: the C and C++ run-time libraries, libudev (the ports' facts), SQLite (the
# record of every download) and nettle (its images' SHA-256).
for lib in libc6 libstdc++6 libudev1 libsqlite3-0 libnettle8; do
  printf '%s\n' "$depends" | tr ',' '\n' | grep -q "^ *$lib\( \|$\)" || fail "Depends lacks $lib"
done
if [ "$gui" = ON ]; then
  for lib in libqt6widgets6 qt6-qpa-plugins; do
    printf '%s\n' "$depends" | tr ',' '\n' | grep -q "^ *$lib\( \|$\)" || fail "Depends lacks $lib"
  done
  [ "$(field Recommends)" = fonts-nanum ] || fail "Recommends: $(field Recommends)"
fi
# The desktop entry starts the program the package installs, with its icon.
if [ "$gui" = ON ]; then
  dpkg-deb --fsys-tarfile "$deb" | tar -xO ./usr/share/applications/tarvisel.desktop >"$out/desktop"
  grep -qx 'Exec=tarvisel' "$out/desktop" || fail "desktop entry: Exec"
  grep -qx 'Icon=tarvisel' "$out/desktop" || fail "desktop entry: Icon"
fi
[ $status -eq 0 ] && echo "package $(basename "$deb") as wanted"
exit $status
