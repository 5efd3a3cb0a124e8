#!/usr/bin/env bash
# Starts Quorvel under Xvfb with a tray host and writes PNG screenshots of the main window, each
# menu, the tree popup, the tray popup and the About box into screenshots/ (or $1).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
out=${1:-$root/screenshots}
bash scripts/setup.sh --screenshots
bash scripts/build.sh >/dev/null
mkdir -p "$out"

work=$(mktemp -d)
export XDG_RUNTIME_DIR=$work/run XDG_CONFIG_HOME=$work/config
mkdir -m 700 -p "$XDG_RUNTIME_DIR"
cp build/Quorvel "$work/" && cp -r build/HELP "$work/"
# A small address book, so the tree has something to show.
printf '0 0 Sales\r\n1 1 JSMITH\r\n1 2 PC12 (room 5)\r\n0 0 Servers\r\n1 2 10.0.0.5 (mail)\r\n1 3 WORKGROUP\r\n' \
    | iconv -f UTF-8 -t CP1251 >"$work/Quorvel.dat"

display=:$((90 + RANDOM % 100))
Xvfb "$display" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    kill "$xvfb" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
export DISPLAY=$display
for _ in $(seq 50); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done

trayer --edge bottom --align right --widthtype pixel --width 120 --height 24 \
    --transparent false --tint 0xd4d0c8 >/dev/null 2>&1 &
pids+=($!)
sleep 1
(cd "$work" && ./Quorvel >/dev/null 2>&1) &
pids+=($!)

win=
for _ in $(seq 100); do
    win=$(xdotool search --onlyvisible --name '^Quorvel' 2>/dev/null | head -n 1 || true)
    [[ -n $win ]] && break
    sleep 0.1
done
[[ -n $win ]] || { echo "the main window did not appear" >&2; exit 1; }
sleep 1
eval "$(xdotool getwindowgeometry --shell "$win")"   # X, Y, WIDTH, HEIGHT

shot() {  # name [margin below the window for open menus]
    local extra=${2:-0}
    sleep 0.6
    /usr/bin/import -window root -crop "$((WIDTH + 260))x$((HEIGHT + extra))+$X+$Y" +repage "$out/$1.png"
    echo "$out/$1.png"
}

xdotool windowfocus --sync "$win" 2>/dev/null || true
shot main-window
# Menus: Alt puts the focus on the menu bar, Down opens the first menu, Right the next one.
xdotool key --window "$win" alt; sleep 0.3; xdotool key Down
shot menu-message
xdotool key Down Down Down Right
shot menu-message-import
xdotool key Escape Escape Right Down
shot menu-extra
xdotool key Right
shot menu-help
xdotool key Escape Escape
sleep 0.3
# The tree's popup, opened on the second root group.
xdotool mousemove --sync $((X + 40)) $((Y + 95)) click 3
shot tree-popup
xdotool key Escape
# The tray icon's popup: trayer sits at the bottom right of the screen.
xdotool mousemove --sync $((1024 - 12)) $((768 - 12)) click 3
sleep 0.6
/usr/bin/import -window root -crop 400x260+624+508 +repage "$out/tray-popup.png"
echo "$out/tray-popup.png"
xdotool key Escape
# The About box, from the toolbar's last button.
xdotool windowfocus --sync "$win" 2>/dev/null || true
xdotool key --window "$win" alt; sleep 0.3; xdotool key Left Down Up Return
sleep 0.8
/usr/bin/import -window root -crop 700x500+0+0 +repage "$out/about.png"
echo "$out/about.png"
xdotool key Escape
