#!/usr/bin/env bash
# desktop_e2e.sh ORVUTRAY ORVU HEADLESS_DESKTOP: the app in a headless desktop on the offline
# tool: the tray icon is embedded, clicks open and close the panel, a second start hands over a
# sign-in link, and a manual sync is announced. Exit 77 (skipped) without the desktop programs.
set -uo pipefail
app=$1 orvu=$2
if [ -z "${ORVU_E2E_INSIDE:-}" ]; then
    for p in Xvfb xdpyinfo xwininfo trayer dbus-run-session dbus-monitor dunst xdotool python3; do
        command -v $p >/dev/null || { echo "SKIP: $p is missing (scripts/install-packages)"; exit 77; }
    done
    n=60; while [ -e /tmp/.X$n-lock ]; do n=$((n + 1)); done
    exec env ORVU_E2E_INSIDE=1 "$3" --notifications --a11y --display :$n -- "$0" "$@"
fi
# libxkbcommon-x11 strndup()s key names that are not NUL-terminated, which strict checks flag.
[ -n "${ASAN_OPTIONS:-}" ] && export ASAN_OPTIONS=$ASAN_OPTIONS:strict_string_checks=0
fail() { echo "FAIL: $*"; exit 1; }
until_ok() { for _ in $(seq 200); do "$@" >/dev/null 2>&1 && return 0; sleep 0.1; done; return 1; }
signin_mail() { "$orvu" login --email demo@orvu.io --json >/dev/null 2>&1; "$orvu" admin mail demo@orvu.io; }
window() { xwininfo -root -tree | grep "\"$1\": (\"orvutray\"" | grep -v ' 1x1+' | head -1; }
viewable() { local id; id=$(window Orvu | awk '{print $1}'); [ -n "$id" ] && xwininfo -id $id | grep -q IsViewable; }
embedded() { [ -n "$(window orvutray)" ]; }

# Notes is bound before the app starts (through the tool, then stored as the app stores it).
"$orvu" admin seed-demo >/dev/null && "$orvu" login --verify "$(signin_mail)" >/dev/null || fail seed
"$orvu" init "$HOME/notes" --repo notes >/dev/null && "$orvu" logout >/dev/null || fail init
mkdir -p "$XDG_CONFIG_HOME/Orvu"
python3 - "$HOME/notes" >"$XDG_CONFIG_HOME/Orvu/OrvuTray.conf" <<'PY' || fail bindings
import json, sys
bindings = json.dumps([{"repoId": json.load(open(sys.argv[1] + "/.orvu/config"))["repoId"],
                        "slug": "notes", "displayName": "Notes", "folderPath": sys.argv[1],
                        "needsRelink": False}])
print('[General]\nio.orvu.tray.repoBindings="@ByteArray(%s)"' % bindings.replace('"', '\\"'))
PY
dbus-monitor "interface='org.freedesktop.Notifications',member='Notify'" >"$HOME/bus.log" 2>&1 & monitor=$!
"$app" & pid=$!
trap 'kill $pid $monitor 2>/dev/null' EXIT
until_ok embedded || fail "the tray icon was not embedded"
read -r w h x y < <(window orvutray | sed -E 's/.* ([0-9]+)x([0-9]+)[+-][0-9]+[+-][0-9]+ +\+([0-9]+)\+([0-9]+).*/\1 \2 \3 \4/')
# A click that lands while the freshly embedded icon is still being mapped is lost: try again.
opened=0
for _ in 1 2 3; do
    xdotool mousemove $((x + w / 2)) $((y + h / 2)) click 1
    for _ in $(seq 80); do viewable && { opened=1; break 2; }; sleep 0.1; done
done
[ $opened = 1 ] || fail "no panel"
xdotool click 1 && until_ok eval "! viewable" || fail "a second click did not close the panel"
timeout 10 "$app" "$(signin_mail)" || fail "the second start did not hand over its link"
until_ok "$orvu" whoami || fail "the link did not sign the app in"
timeout 10 "$app" && until_ok viewable || fail "a plain second start did not show the panel"
# The manual sync is started from the panel's sync button, found as a screen reader finds it.
sleep 2
/usr/bin/python3 - <<'PY' || fail "no sync button in the panel"

import sys, pyatspi
def walk(node):
    yield node
    for child in (node.getChildAtIndex(i) for i in range(node.childCount)):
        yield from walk(child) if child else ()
for node in walk(pyatspi.Registry.getDesktop(0)):
    if node.getRoleName() == "push button" and (node.name or "").startswith(("Sync", "Download")):
        sys.exit(0 if node.queryAction().doAction(0) else 1)
sys.exit(1)
PY
until_ok grep -q '"Orvu Sync"' "$HOME/bus.log" || fail "no Orvu Sync notification"
grep -A2 '"Orvu Sync"' "$HOME/bus.log" | grep -q pulled || fail "the notification lacks the pull"
echo PASS
