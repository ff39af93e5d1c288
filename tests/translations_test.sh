#!/bin/sh
# Every text the program shows has its English: the texts in Tr(), TrFormat() and TrLater()
# anywhere under src/ and sim/ (not the tests) have a translation in po/en.po, and the window's
# own texts (tr(), translate() under src/qt) one in src/qt/translations/tarvisel_en.ts that is
# not unfinished. An English "translation" still in Hangul counts as missing.
#   translations_test.sh SOURCE_DIR LUPDATE
# Exits 77 (skipped) when gettext's or Qt's tools are missing.
set -eu
src=$1
lupdate=${2:-}
for tool in xgettext msgmerge msgfmt perl; do
  command -v "$tool" >/dev/null 2>&1 || { echo "$tool is missing: skipped"; exit 77; }
done
# The sources are UTF-8; xgettext reads them in the locale's character set.
export LC_ALL=C.UTF-8
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0

cd "$src"
find src sim \( -name '*.cpp' -o -name '*.h' \) -not -path '*/tests/*' | LC_ALL=C sort >"$work/files"
xgettext --from-code=UTF-8 --language=C++ -k -kTr -kTrFormat -kTrLater --sort-output \
  -f "$work/files" -o "$work/texts.pot" 2>"$work/xgettext.err" || { cat "$work/xgettext.err"; exit 1; }
count=$(grep -c '^msgid ' "$work/texts.pot" || true)
# A scan that finds nothing is a broken scan, not a complete catalogue.
if [ "$count" -lt 20 ]; then
  echo "xgettext found only $count texts in Tr(): the scan is broken"
  exit 1
fi
msgmerge --quiet --no-fuzzy-matching --no-wrap po/en.po "$work/texts.pot" -o "$work/merged.po"
msgfmt --check --statistics -o "$work/en.mo" "$work/merged.po" 2>"$work/stats"
cat "$work/stats"
if grep -Eq 'untranslated|fuzzy' "$work/stats"; then
  echo "texts without English in po/en.po (add them):"
  msgattrib --untranslated --no-obsolete "$work/merged.po" | grep -A3 '^#:' || true
  failed=1
fi
# msgstr lines still in Hangul (U+AC00..U+D7A3), obsolete entries left out.
hangul=$(msgattrib --no-obsolete --no-wrap "$work/merged.po" |
  perl -CSD -ne 'print if /^msgstr / .. /^$/ and /\p{Hangul}/' || true)
if [ -n "$hangul" ]; then
  echo "translations in po/en.po still in Korean:"
  echo "$hangul"
  failed=1
fi

if [ -z "$lupdate" ]; then
  echo "no lupdate: the window's translations not checked"
else
  for ts in src/qt/translations/*_en.ts; do
    cp "$ts" "$work/window.ts"
    "$lupdate" -silent -no-obsolete -locations none src/qt -ts "$work/window.ts" >"$work/lupdate.out" 2>&1 ||
      { cat "$work/lupdate.out"; exit 1; }
    if grep -q 'type="unfinished"' "$work/window.ts"; then
      echo "window texts without English in $ts (lupdate, then fill them in):"
      grep -B1 'type="unfinished"' "$work/window.ts" | grep '<source>' || true
      failed=1
    fi
    if perl -CSD -ne 'print if /<translation[^>]*>.*\p{Hangul}/' "$work/window.ts" | grep -q .; then
      echo "translations in $ts still in Korean:"
      perl -CSD -ne 'print if /<translation[^>]*>.*\p{Hangul}/' "$work/window.ts"
      failed=1
    fi
    if ! cmp -s "$ts" "$work/window.ts"; then
      # Texts gone from the code: harmless, but the file should follow the code.
      echo "note: $ts differs from what lupdate makes of the code now"
    fi
  done
fi
exit $failed
