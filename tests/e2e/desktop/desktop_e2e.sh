#!/usr/bin/env bash
# desktop_e2e.sh DESKTOP ORVUTRAY ORVU SCRIPTS: the app on a headless desktop (trayer: XEmbed,
# xfce: StatusNotifierItem, none: no tray at first, sway: Wayland), on the offline tool; what is
# checked is in each FAIL message. The harness exits 77 (skipped) without the desktop programs.
set -uo pipefail
desktop=$1 app=$2 orvu=$3 scripts=$4
[ -n "${ORVU_E2E_INSIDE:-}" ] || exec env ORVU_E2E_INSIDE=1 "$scripts/headless-desktop" --notifications --a11y --tray $desktop -- "$0" "$@"
# libxkbcommon-x11 strndup()s key names that are not NUL-terminated, which strict checks flag.
[ -n "${ASAN_OPTIONS:-}" ] && export ASAN_OPTIONS=$ASAN_OPTIONS:strict_string_checks=0
export PATH=$scripts/desktop:$PATH
fail() { echo "FAIL: $*"; exit 1; }
until_ok() { for _ in $(seq ${WAIT:-200}); do "$@" >/dev/null 2>&1 && return 0; sleep 0.1; done; return 1; }
viewable() { x-window Orvu | grep -q IsViewable; }
link=$(seed-bound-repo "$orvu") || fail seed
dbus-monitor "interface='org.freedesktop.Notifications',member='Notify'" >"$HOME/bus.log" 2>&1 & monitor=$!
"$app" & pid=$!
trap 'kill $pid $monitor 2>/dev/null' EXIT
case $desktop in
trayer)
    until_ok x-window orvutray && read -r _ w h x y _ < <(x-window orvutray) || fail "the tray icon was not embedded"
    # A click that lands while the freshly embedded icon is still being mapped is lost: try again.
    for _ in 1 2 3; do click $((x + w / 2)) $((y + h / 2)) && WAIT=80 until_ok viewable && break; done; viewable || fail "no panel"
    timeout 10 "$app" "$link" || fail "the second start did not hand over its link"
    until_ok "$orvu" whoami || fail "the link did not sign the app in"
    # The manual sync is started from the panel's sync button, found as a screen reader finds it.
    sleep 2; a11y-press "push button" Sync Download || fail "no sync button in the panel"
    until_ok grep -q '"Orvu Sync"' "$HOME/bus.log" && grep -A2 '"Orvu Sync"' "$HOME/bus.log" | grep -q pulled || fail "no Orvu Sync notification of the pull"
    grep -A3 'member=Notify' "$HOME/bus.log" | grep -q '"io.orvu.tray"' || fail "the notification has no icon" ;;
xfce)
    until_ok sni-menu || fail "no item with a menu registered with the StatusNotifierWatcher"
    sleep 1; click 1266 14; until_ok viewable && read -r _ w h x y _ < <(x-window Orvu) || fail "a click on the item opened no panel"
    ((y >= 28 && y <= 40 && x <= 1266 && x + w >= 1266 && x + w <= 1280)) || fail "the panel at $x,$y is not under the icon"
    click 1266 14; until_ok eval "! viewable" || fail "a second click did not close the panel"
    [ "$(sni-menu | grep . | paste -sd '|')" = "No repos|Open Orvu|Sign In...|Check for Updates…|Start at Login|Quit Orvu" ] || fail "exported menu"
    sni-menu "Open Orvu" && until_ok viewable || fail "the menu's Open Orvu opened no panel"
    entry=$XDG_CONFIG_HOME/autostart/io.orvu.tray.desktop; [ ! -e "$entry" ] && sni-menu "Start at Login" && until_ok test -e "$entry" || fail "Start at Login wrote no entry"
    desktop-file-validate "$entry" && [ "$(sed -n 's/^Exec=//p' "$entry")" = "$(readlink -f "$app")" ] || fail "bad entry: $(cat "$entry")"
    sni-menu "Start at Login" && until_ok eval "! test -e $entry" || fail "turning Start at Login off kept the entry" ;;
none)
    until_ok viewable && wmctrl -i -c "$(x-window Orvu | cut -d' ' -f1)" || fail "without a tray no window"
    until_ok eval "! kill -0 $pid" || fail "closing the window did not end the app"
    "$app" & pid=$!; until_ok viewable && sleep 3 || fail "the window did not appear again"
    trayer --edge top --align right --widthtype request --height 28 --SetDockType true >/dev/null 2>&1 & WAIT=50 until_ok x-window orvutray || fail "the icon was not in the tray 5 s after the tray appeared"
    until_ok eval "! viewable" || fail "the window stayed once the tray took the icon" ;;
sway)
    panel() { sway-window io.orvu.tray; }; until_ok sni-menu || fail "no tray item"
    xmessage -geometry 600x400 "another window" & sleep 2; click 1265 13; until_ok panel && read -r x y w h < <(panel) || fail "a click on the icon opened no panel"
    echo "move 900 600" >"$POINTER"; sleep 0.5; echo "move $((x + w / 2)) $((y + h / 2))" >"$POINTER"; sleep 1
    panel >/dev/null || fail "the pointer crossing another window into the panel closed it"
    wtype -s 400 -k Escape; until_ok eval "! panel" || fail "Escape did not close the panel"
    # A click within 300 ms of the panel closing itself counts as the click that closed it.
    sleep 0.5; click 1265 13; until_ok panel || fail "a click opened no panel again"
    click 1265 13; until_ok eval "! panel" || fail "a second click did not close the panel" ;;
esac
echo PASS
