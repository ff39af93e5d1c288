#!/bin/sh
# Builds the Debian packages from the build folder (no new build: cpack installs what is built)
# and checks what each installs, its fields, the hardening of its programs and lintian's verdict.
#   deb_package_test.sh CPACK BUILD_DIR SOURCE_DIR GUI(ON|OFF) VERSION HARDENED(ON|OFF)
# Exit 77 (skipped) where cpack, dpkg-deb, dpkg-shlibdeps or readelf is missing; lintian is run
# where it is installed (scripts/deps --full installs it).
cpack=$1 build=$2 source=$3 gui=$4 version=$5 hardened=$6
for tool in "$cpack" dpkg-deb dpkg-shlibdeps readelf; do
  command -v "$tool" >/dev/null 2>&1 || { echo "$tool is missing: skipped"; exit 77; }
done
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
(cd "$build" && "$cpack" -G DEB -B "$out") >"$out/cpack.log" 2>&1 || { cat "$out/cpack.log"; exit 1; }
arch=$(dpkg --print-architecture)
cli="$out/tarvisel-cli_${version}_$arch.deb"
win="$out/tarvisel_${version}_$arch.deb"
status=0
fail() { echo "FAIL: $*"; status=1; }
ls "$out"/*.deb | sort >"$out/debs"
{ echo "$cli"; [ "$gui" = ON ] && echo "$win"; } | sort >"$out/want-debs"
diff -u "$out/want-debs" "$out/debs" || { echo "FAIL: not the packages wanted"; exit 1; }

# Every file a package installs, and nothing else (no test programs, libraries or headers).
files() {
  dpkg-deb -c "$1" | awk '$1 !~ /^d/ { print $6 }' | sort >"$out/files"
  sort >"$out/want"
  diff -u "$out/want" "$out/files" || fail "$(basename "$1"): the files differ from those wanted"
  dpkg-deb -c "$1" | awk '$6 ~ /^\.\/usr\/bin\// && $1 !~ /x/ { print $6 }' | grep . &&
    fail "$(basename "$1"): a program that cannot be run"
}
files "$cli" <<LIST
./usr/bin/tarvisel-cli
./usr/bin/tarvisel-sim
./usr/lib/udev/rules.d/70-tarvisel-modemmanager.rules
./usr/share/bash-completion/completions/tarvisel-cli
./usr/share/doc/tarvisel-cli/changelog.Debian.gz
./usr/share/doc/tarvisel-cli/copyright
./usr/share/lintian/overrides/tarvisel-cli
./usr/share/locale/en/LC_MESSAGES/tarvisel.mo
./usr/share/man/man1/tarvisel-cli.1.gz
./usr/share/man/man1/tarvisel-sim.1.gz
LIST
[ "$gui" = ON ] && files "$win" <<LIST
./usr/bin/tarvisel
./usr/share/applications/tarvisel.desktop
./usr/share/doc/tarvisel/changelog.Debian.gz
./usr/share/doc/tarvisel/copyright
./usr/share/lintian/overrides/tarvisel
./usr/share/man/man1/tarvisel.1.gz
./usr/share/pixmaps/tarvisel.xpm
./usr/share/tarvisel/translations/tarvisel_en.qm
LIST

# The fields, the copyright and changelog of one package (its name and file given).
fields() {
  name=$1 deb=$2
  for f in Package Version Architecture Maintainer Description; do dpkg-deb -f "$deb" "$f" >"$out/$f"; done
  [ "$(cat "$out/Package")" = "$name" ] || fail "Package: $(cat "$out/Package"), not $name"
  [ "$(cat "$out/Version")" = "$version" ] || fail "$name: Version $(cat "$out/Version"), not $version"
  [ "$(cat "$out/Architecture")" = "$arch" ] || fail "$name: Architecture $(cat "$out/Architecture")"
  [ -s "$out/Maintainer" ] || fail "$name: no Maintainer"
  [ "$(wc -l <"$out/Description")" -ge 2 ] || fail "$name: no long description"
  awk 'length($0) > 80' "$out/Description" | grep . && fail "$name: description lines over 80 characters"
  dpkg-deb --fsys-tarfile "$deb" | tar -xO "./usr/share/doc/$name/copyright" >"$out/copyright"
  cmp -s "$out/copyright" "$source/packaging/copyright" || fail "$name: copyright is not packaging/copyright"
  head -n 1 "$out/copyright" | grep -q '^Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/$' ||
    fail "$name: copyright is not in the machine-readable format"
  dpkg-deb --fsys-tarfile "$deb" | tar -xO "./usr/share/doc/$name/changelog.Debian.gz" | gzip -dc >"$out/changelog"
  head -n 1 "$out/changelog" | grep -q "^tarvisel ($version) " ||
    fail "$name: the changelog's last entry is not of $version: $(head -n 1 "$out/changelog")"
}
has() { printf '%s\n' "$1" | tr ',' '\n' | grep -q "^ *$2\( \|$\)"; }
fields tarvisel-cli "$cli"
depends=$(dpkg-deb -f "$cli" Depends)
echo "tarvisel-cli Depends: $depends"
# From the binaries: the C and C++ run-time libraries, libudev (the ports' facts), SQLite (the
# record of every download) and nettle (its images' SHA-256); no Qt, no desktop.
for lib in libc6 libstdc++6 libudev1 libsqlite3-0 libnettle8; do
  has "$depends" "$lib" || fail "tarvisel-cli: Depends lacks $lib"
done
printf '%s\n' "$depends" | grep -qi 'qt\|libx11\|libgl' && fail "tarvisel-cli depends on desktop libraries"
if [ "$gui" = ON ]; then
  fields tarvisel "$win"
  depends=$(dpkg-deb -f "$win" Depends)
  echo "tarvisel Depends: $depends"
  for lib in libqt6widgets6 qt6-qpa-plugins; do has "$depends" "$lib" || fail "tarvisel: Depends lacks $lib"; done
  printf '%s\n' "$depends" | tr ',' '\n' | grep -qx " *tarvisel-cli (= $version)" ||
    fail "tarvisel does not depend on tarvisel-cli (= $version)"
  [ "$(dpkg-deb -f "$win" Recommends)" = fonts-nanum ] || fail "Recommends: $(dpkg-deb -f "$win" Recommends)"
  # The desktop entry starts the program the package installs, with its icon.
  dpkg-deb --fsys-tarfile "$win" | tar -xO ./usr/share/applications/tarvisel.desktop >"$out/desktop"
  grep -qx 'Exec=tarvisel' "$out/desktop" || fail "desktop entry: Exec"
  grep -qx 'Icon=tarvisel' "$out/desktop" || fail "desktop entry: Icon"
fi

# The programs as packaged: no Qt in the command line's, and Debian's hardening in all.
mkdir "$out/root"
for deb in "$out"/*.deb; do dpkg-deb -x "$deb" "$out/root"; done
for program in "$out"/root/usr/bin/*; do
  name=$(basename "$program")
  readelf -d "$program" >"$out/dynamic"
  case $name in
    tarvisel-cli | tarvisel-sim) grep -qi 'NEEDED.*libQt' "$out/dynamic" && fail "$name needs Qt" ;;
  esac
  [ "$hardened" = ON ] || continue
  readelf -h "$program" | grep -q 'Type: *DYN' || fail "$name is not a PIE"
  readelf -l "$program" | grep -q GNU_RELRO || fail "$name has no RELRO"
  grep -q 'BIND_NOW\|FLAGS_1.*NOW' "$out/dynamic" || fail "$name is not bound now"
  readelf -W --dyn-syms "$program" | grep -q __stack_chk_fail || fail "$name has no stack protector"
  readelf -W --dyn-syms "$program" | grep -v __stack_chk_fail | grep -q '__[a-z0-9_]*_chk\b' ||
    fail "$name has no fortified calls"
done

# The packaged command line finds the packaged catalogue: English where the locale asks for it
# (installed or not), the texts as written in the C locale; against the packaged simulator.
"$out/root/usr/bin/tarvisel-sim" --link "$out/pty" >"$out/sim.out" 2>&1 &
sim=$!
trap 'kill $sim 2>/dev/null; rm -rf "$out"' EXIT
for _ in $(seq 100); do [ -e "$out/pty" ] && break; sleep 0.05; done
said() {
  env -u LC_ALL -u LC_MESSAGES -u LANGUAGE "$@" "$out/root/usr/bin/tarvisel-cli" info --device "$out/pty" 2>&1
}
said LANG=en_US.UTF-8 >"$out/english"
grep -q "Checking the handset's version" "$out/english" ||
  fail "the packaged tarvisel-cli does not speak English: $(cat "$out/english")"
said LANG=C >"$out/korean"
grep -q "단말기 버젼 확인중" "$out/korean" || fail "the packaged tarvisel-cli in the C locale: $(cat "$out/korean")"
kill $sim
wait $sim 2>/dev/null

# lintian: no error; its warnings and pedantic notes are shown.
if command -v lintian >/dev/null 2>&1; then
  lintian --pedantic --show-overrides --tag-display-limit 0 "$out"/*.deb >"$out/lintian" 2>&1
  cat "$out/lintian"
  grep -q '^E: ' "$out/lintian" && fail "lintian reports errors"
  [ "$hardened" = ON ] && grep -q 'hardening-no-' "$out/lintian" && fail "lintian: hardening missing"
else
  echo "lintian is not installed: not run"
fi
[ $status -eq 0 ] && echo "packages $(cd "$out" && echo *.deb) as wanted"
exit $status
