#!/usr/bin/env bash
# Checks the wizard's menu entry: it has search keywords in English and in
# Japanese, as lists ending in ";", and desktop-file-validate finds no error
# or warning in it. Exits 77 (skipped) after the keywords where
# desktop-file-validate is not installed (Debian's desktop-file-utils).
#   DesktopEntry.sh FILE
set -uo pipefail
entry=$1
status=0

for key in 'Keywords' 'Keywords\[ja\]'; do
  line=$(grep -E "^${key}=" "$entry")
  if [ -z "$line" ]; then
    echo "$entry: no ${key//\\/} line"
    status=1
  elif ! [[ "$line" =~ ^[^=]+=[^\;]+(\;[^\;]+)*\;$ ]]; then
    echo "$entry: ${key//\\/} is not a list of words each ending in ';': $line"
    status=1
  fi
done

if ! command -v desktop-file-validate >/dev/null; then
  ((status)) && exit 1
  echo "skipped: desktop-file-validate is not installed (desktop-file-utils)"
  exit 77
fi
report=$(desktop-file-validate "$entry" 2>&1)
valid=$?
[ -n "$report" ] && echo "$report"
if [ $valid -ne 0 ] || grep -qE ': (error|warning):' <<<"$report"; then
  echo "$entry: desktop-file-validate finds fault with it"
  status=1
fi
exit $status
