#!/usr/bin/env bash
# Takes a screenshot of each wizard page and box, as a person would see them:
# the real program in a real window (Xvfb with a window manager), driven by
# clicks and keys.
#   bash tools/screenshots.sh [BUILD_DIR] [OUT_DIR]
# Writes into OUT_DIR (default: screenshots/ in the build folder):
#   splash.png, page0-title.png, page1-file.png, page1-focus.png (the focus on
#   Back, Next the default), warning.png, filechooser.png, page2-options.png,
#   folderchooser.png, general-options.png, warning-folder.png,
#   page3-result.png, and help.png
#   when Help shows the text in the wizard's own window (no desktop viewer).
# Every step waits for the window it needs to be mapped (or gone) before it
# goes on, so a slow start or a busy machine does not lose a picture.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
build=$(realpath "${1:-build}")
out=$(realpath -m "${2:-$build/screenshots}")
program="$build/gui/tamarind"
[ -x "$program" ] || { echo "build first: bash build.sh run" >&2; exit 1; }

need=()
for p in xvfb xdotool imagemagick openbox x11-utils fonts-ipafont-gothic qt6-translations-l10n; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || need+=("$p")
done
if ((${#need[@]})); then apt-get update -qq && apt-get install -y -qq "${need[@]}"; fi

mkdir -p "$out"
work=$(mktemp -d)
cleanup() {
  kill "${app:-}" "${wm:-}" "${xvfb:-}" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

fail() { echo "screenshots: $*" >&2; exit 1; }

# Waits (at most 15 s) until CHECK succeeds; WHAT names it in the error.
wait_for() {
  local what=$1; shift
  for _ in $(seq 150); do "$@" && return 0; sleep 0.1; done
  fail "$what did not happen"
}

# A display of our own: the first free number from 90 on.
for n in $(seq 90 140); do [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] || break; done
export DISPLAY=":$n"
Xvfb "$DISPLAY" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 & xvfb=$!
wait_for "the X server's start" xdpyinfo >/dev/null 2>&1
openbox >/dev/null 2>&1 & wm=$!
wm_running() { xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id'; }
wait_for "the window manager's start" wm_running

# The visible window whose title matches the pattern, or nothing. Windows
# come and go while the search runs, so its complaints are not errors.
find_window() { xdotool search --onlyvisible --name "$1" 2>/dev/null | head -n 1 || true; }
mapped() {
  local id
  id=$(find_window "$1")
  [ -n "$id" ] && xwininfo -id "$id" 2>/dev/null | grep -q 'Map State: IsViewable'
}
# Waits until a window of that title is mapped and prints its id.
wait_window() {
  wait_for "the window \"$1\"" mapped "$1"
  sleep 0.5  # mapped, now let it paint
  find_window "$1"
}
gone() { [ -z "$(find_window "$1")" ]; }
# The program's one visible window besides the wizard (a chooser, whose
# title Qt chooses), or nothing.
other_window() {
  local id
  for id in $(xdotool search --onlyvisible --pid "$app" 2>/dev/null || true); do
    [ "$id" != "$wizard" ] && xwininfo -id "$id" 2>/dev/null | grep -q 'IsViewable' && echo "$id" && return
  done
  true
}
has_other_window() { [ -n "$(other_window)" ]; }
no_other_window() { [ -z "$(other_window)" ]; }
# A chooser: waited for, pictured, closed with Esc.
chooser() {
  local id
  wait_for "the $2" has_other_window
  sleep 0.5
  id=$(other_window)
  shot "$1" "$id"
  key "$id" Escape
  wait_for "the closing of the $2" no_other_window
}
wait_gone() { wait_for "the closing of \"$1\"" gone "$1"; }

# A picture of a window with its frame, cut from the screen, so that a box
# standing over the window is in it as a person sees it.
shot() {
  local file=$1 frame=$2 parent root
  # The frame is the window manager's window holding ours: the last one
  # below the root.
  root=$(xwininfo -root | sed -n 's/^.*Window id: \(0x[0-9a-f]*\).*/\1/p')
  parent_of() { xwininfo -tree -id "$1" | sed -n 's/^ *Parent window id: \(0x[0-9a-f]*\).*/\1/p'; }
  while parent=$(parent_of "$frame") && [ -n "$parent" ] && [ "$((parent))" -ne "$((root))" ]; do
    frame=$parent
  done
  xdotool mousemove 1 1  # no button lit up by the pointer
  sleep 0.3
  eval "$(xwininfo -id "$frame" | awk -F: '
    /Absolute upper-left X/ {print "x=" $2} /Absolute upper-left Y/ {print "y=" $2}
    /^ *Width/ {print "w=" $2} /^ *Height/ {print "h=" $2}' | tr -d ' ')"
  # shellcheck disable=SC2154  # set by the eval above
  import -window root -crop "${w}x${h}+${x}+${y}" +repage "$out/$file"
  echo "$out/$file"
}

# A private home, so that no settings of the person running this take part,
# and a locale that is not Japanese, as on most desktops.
cp -r examples/site "$work/site"
export HOME="$work/home" XDG_CONFIG_HOME="$work/home/.config" LANG=C.UTF-8 LC_ALL=C.UTF-8
mkdir -p "$HOME"
(cd "$work/site" && exec "$program") >"$work/program.log" 2>&1 & app=$!

# The splash comes first and stands for two seconds.
splash=$(wait_window '^Fm_Title$')
shot splash.png "$splash"
wizard=$(wait_window '^画像タグ整形ツール tamarind$')

# Clicks a point of the wizard, in the layout's own coordinates.
click() { xdotool mousemove --window "$wizard" "$1" "$2" click 1; }
# Keys go to the active window, as a person's do.
key() { xdotool windowactivate --sync "$1" >/dev/null 2>&1 || true; xdotool key "$2"; }
next() { click 554 316; sleep 0.5; }

shot page0-title.png "$wizard"
key "$wizard" Return  # Enter presses Next from the page's check box
sleep 0.5
shot page1-file.png "$wizard"
# Tab walks the page's controls, then the buttons from the left: six steps
# from the name box to Back, which shows the focus, Next its default frame.
for _ in 1 2 3 4 5 6; do key "$wizard" Tab; done
sleep 0.3
shot page1-focus.png "$wizard"
next  # nothing typed yet: the warning
box=$(wait_window '^警告$')
shot warning.png "$wizard"
key "$box" Return
wait_gone '^警告$'

click 564 216  # 参照...
chooser filechooser.png "file chooser"

click 450 184  # the name box
xdotool type --delay 20 "index.html"
key "$wizard" Return  # Enter in the name box presses Next
sleep 0.5
shot page2-options.png "$wizard"
click 581 260  # 参照... of the folder
chooser folderchooser.png "folder chooser"

click 306 316  # オプション
options=$(wait_window '^全般的なオプション$')
shot general-options.png "$options"
key "$options" Escape
wait_gone '^全般的なオプション$'

# A web root that is not there: said on leaving the page, which stays.
click 448 260  # the folder box
xdotool key ctrl+a
xdotool type --delay 20 "/no/such/folder"
key "$wizard" Return
box=$(wait_window '^警告$')
shot warning-folder.png "$wizard"
key "$box" Return
wait_gone '^警告$'
# The box has the keys again, its text selected: typing replaces it.
xdotool type --delay 20 "$work/site"

next  # the run
shot page3-result.png "$wizard"

# Help: the desktop's viewer where there is one, else the wizard's own window.
click 82 316
if help=$(wait_window '^ヘルプ - tamarind$' 2>/dev/null); then
  shot help.png "$help"
else
  echo "(Help went to the desktop's viewer: no help.png)"
fi

key "$wizard" Escape  # Esc is Cancel: the wizard closes, nothing saved
for _ in $(seq 50); do kill -0 "$app" 2>/dev/null || break; sleep 0.1; done
! kill -0 "$app" 2>/dev/null || fail "the wizard did not close on Esc"
