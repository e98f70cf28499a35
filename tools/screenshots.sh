#!/usr/bin/env bash
# Takes a screenshot of each wizard page, as a person would see it: the real
# program in a real window (Xvfb with a window manager), driven by clicks.
#   bash tools/screenshots.sh [BUILD_DIR] [OUT_DIR]
# Writes splash.png, page0-title.png, page1-file.png, warning.png, page2-options.png and
# page3-result.png into OUT_DIR (default: screenshots/ in the build folder).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
build=$(realpath "${1:-build}")
out=$(realpath -m "${2:-$build/screenshots}")
program="$build/gui/tamarind"
[ -x "$program" ] || { echo "build first: bash build.sh run" >&2; exit 1; }

need=()
for p in xvfb xdotool imagemagick openbox fonts-ipafont-gothic; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || need+=("$p")
done
if ((${#need[@]})); then apt-get update -qq && apt-get install -y -qq "${need[@]}"; fi

mkdir -p "$out"
work=$(mktemp -d)
display=":$((90 + RANDOM % 50))"
cleanup() {
  kill "${app:-}" "${wm:-}" "${xvfb:-}" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

Xvfb "$display" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 & xvfb=$!
sleep 1
export DISPLAY=$display
openbox >/dev/null 2>&1 & wm=$!
sleep 1

# A private home, so that no settings of the person running this take part.
cp -r examples/site "$work/site"
export HOME="$work/home" XDG_CONFIG_HOME="$work/home/.config"
mkdir -p "$HOME"
(cd "$work/site" && exec "$program") >/dev/null 2>&1 & app=$!
# The splash comes first and stands for two seconds.
sleep 0.8
import -window root "$out/splash.png"
echo "$out/splash.png"
window=""
for _ in $(seq 50); do
  window=$(xdotool search --onlyvisible --name '画像タグ整形ツール' 2>/dev/null | head -n 1) && [ -n "$window" ] && break
  sleep 0.2
done
[ -n "$window" ] || { echo "the wizard did not appear" >&2; exit 1; }
sleep 1

shot() { sleep 0.4; import -window root -crop "$(geometry)" +repage "$out/$1"; echo "$out/$1"; }
geometry() {
  # The window with its frame: the frame's geometry comes from the window
  # manager's parent window.
  eval "$(xdotool getwindowgeometry --shell "$window")"
  echo "$((WIDTH + 40))x$((HEIGHT + 60))+$((X - 20))+$((Y - 45))"
}
# Clicks a point of the dialog, in the layout's own coordinates.
click() { xdotool mousemove --window "$window" "$1" "$2" click 1; }
next() { click 554 316; }

shot page0-title.png
next
shot page1-file.png
next  # nothing typed yet: the warning
shot warning.png
xdotool key --window "$(xdotool getactivewindow)" Return
sleep 0.3
click 450 184  # the name box
xdotool type --delay 20 "index.html"
next
shot page2-options.png
next
shot page3-result.png
